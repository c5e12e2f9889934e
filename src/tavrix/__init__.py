"""Tavrix: structured (channel) pruning analysis and calibration for PyTorch.

The public names live here (``import tavrix as tx``); each is loaded from its module on first
use, so ``import tavrix`` itself imports neither torch nor the extension modules. The modules
the names come from (``tavrix.pruning.shrink``, ``tavrix.pruning.gatecal``, ...) stay importable
as they are.
"""

from __future__ import annotations

import importlib
from typing import Any, Dict, List, Tuple

__version__ = "0.1.0"

# public name -> (module, attribute in it; None: the module itself)
_EXPORTS: Dict[str, Tuple[str, Any]] = {}


def _export(module: str, *names: str) -> None:
    for name in names:
        _EXPORTS[name] = (module, name)


_export("tavrix.pruning.gatecal", "TavrixPruningCalibrator")
_export("tavrix.pruning.cutplan", "ModelCutplan", "get_cutplan")
_export(
    "tavrix.pruning.importance",
    "CRITERIA",
    "GroupImportance",
    "calibration_warnings",
    "channel_importance",
)
_export("tavrix.pruning.gate", "record_statistics")
_export(
    "tavrix.pruning.shrink",
    "CheckReference",
    "CheckResult",
    "DivergingNode",
    "ShrinkReport",
    "GroupCut",
    "TensorChange",
    "check_equal",
    "choose_channels",
    "default_tolerance",
    "record_reference",
    "shrink",
    "shrinkable",
    # plan files
    "apply_plan",
    "load_plan",
    "load_shrunk",
    "plan_record",
    "save_plan",
    "save_shrunk",
    # errors
    "CheckReplayError",
    "ConfigMismatchError",
    "PlanMismatchError",
    "ShrinkError",
)
_export("tavrix.pruning.explain", "Explanation", "explain", "provenance")
_export(
    "tavrix.pruning.recover",
    "Fidelity",
    "RecoveryStats",
    "collect",
    "compensate",
    "fidelity",
    "outputs",
    "recalibrate_batchnorm",
)
# budgets: what a choice keeps, and what a call costs
_export("tavrix.pruning.shrink.budget", "call_macs", "kept_share")
_export("tavrix.pruning.shrink.measure", "compare_latency", "count_macs")
_export("tavrix.pruning.gatewire", "GateReplayError")
_export("tavrix.pruning.distributed", "AnalysisMismatchError")
_EXPORTS["rules"] = ("tavrix.pruning.rules", None)

__all__ = ["__version__", *sorted(_EXPORTS)]


def __getattr__(name: str) -> Any:
    try:
        module_name, attribute = _EXPORTS[name]
    except KeyError:
        raise AttributeError(f"module 'tavrix' has no attribute {name!r}") from None
    module = importlib.import_module(module_name)
    value = module if attribute is None else getattr(module, attribute)
    globals()[name] = value  # later reads skip this function
    return value


def __dir__() -> List[str]:
    return sorted(set(globals()) | set(_EXPORTS))
