# The names tavrix loads on first use (see __init__.py), typed as their modules declare them.
from typing import List

from tavrix.pruning import rules as rules
from tavrix.pruning.cutplan import ModelCutplan as ModelCutplan
from tavrix.pruning.cutplan import get_cutplan as get_cutplan
from tavrix.pruning.distributed import AnalysisMismatchError as AnalysisMismatchError
from tavrix.pruning.explain import Explanation as Explanation
from tavrix.pruning.explain import explain as explain
from tavrix.pruning.explain import provenance as provenance
from tavrix.pruning.gate import record_statistics as record_statistics
from tavrix.pruning.gatecal import TavrixPruningCalibrator as TavrixPruningCalibrator
from tavrix.pruning.gatewire import GateReplayError as GateReplayError
from tavrix.pruning.importance import CRITERIA as CRITERIA
from tavrix.pruning.importance import GroupImportance as GroupImportance
from tavrix.pruning.importance import calibration_warnings as calibration_warnings
from tavrix.pruning.importance import channel_importance as channel_importance
from tavrix.pruning.recover import Fidelity as Fidelity
from tavrix.pruning.recover import RecoveryStats as RecoveryStats
from tavrix.pruning.recover import collect as collect
from tavrix.pruning.recover import compensate as compensate
from tavrix.pruning.recover import fidelity as fidelity
from tavrix.pruning.recover import outputs as outputs
from tavrix.pruning.recover import recalibrate_batchnorm as recalibrate_batchnorm
from tavrix.pruning.shrink import CheckReference as CheckReference
from tavrix.pruning.shrink import CheckReplayError as CheckReplayError
from tavrix.pruning.shrink import CheckResult as CheckResult
from tavrix.pruning.shrink import ConfigMismatchError as ConfigMismatchError
from tavrix.pruning.shrink import DivergingNode as DivergingNode
from tavrix.pruning.shrink import GroupCut as GroupCut
from tavrix.pruning.shrink import PlanMismatchError as PlanMismatchError
from tavrix.pruning.shrink import ShrinkError as ShrinkError
from tavrix.pruning.shrink import ShrinkReport as ShrinkReport
from tavrix.pruning.shrink import TensorChange as TensorChange
from tavrix.pruning.shrink import apply_plan as apply_plan
from tavrix.pruning.shrink import check_equal as check_equal
from tavrix.pruning.shrink import choose_channels as choose_channels
from tavrix.pruning.shrink import default_tolerance as default_tolerance
from tavrix.pruning.shrink import load_plan as load_plan
from tavrix.pruning.shrink import load_shrunk as load_shrunk
from tavrix.pruning.shrink import plan_record as plan_record
from tavrix.pruning.shrink import record_reference as record_reference
from tavrix.pruning.shrink import save_plan as save_plan
from tavrix.pruning.shrink import save_shrunk as save_shrunk
from tavrix.pruning.shrink import shrink as shrink
from tavrix.pruning.shrink import shrinkable as shrinkable
from tavrix.pruning.shrink.budget import call_macs as call_macs
from tavrix.pruning.shrink.budget import kept_share as kept_share
from tavrix.pruning.shrink.measure import compare_latency as compare_latency
from tavrix.pruning.shrink.measure import count_macs as count_macs

__version__: str
__all__: List[str]

def __dir__() -> List[str]: ...
