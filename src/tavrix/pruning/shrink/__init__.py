"""Shrinking a model by a plan: choose the channels, remove them, prove the result equal to
the masked original, and keep the decision in a file that re-applies to a fresh model."""

from tavrix.pruning.shrink.check import (
    CheckReference,
    CheckReplayError,
    CheckResult,
    DivergingNode,
    check_equal,
    default_tolerance,
    record_reference,
)
from tavrix.pruning.shrink.choose import choose_channels, magnitude_importance, shrinkable
from tavrix.pruning.shrink.context import ShrinkError
from tavrix.pruning.shrink.cut import GroupCut, ShrinkReport, TensorChange, shrink
from tavrix.pruning.shrink.huggingface import ConfigMismatchError, RefusedSave
from tavrix.pruning.shrink.planfile import (
    PlanMismatchError,
    apply_plan,
    load_plan,
    load_shrunk,
    plan_record,
    save_plan,
    save_shrunk,
)
from tavrix.pruning.shrink.rules import (
    ShrinkRule,
    register_module_adapter,
    register_shrink_rule,
)

__all__ = [
    "CheckReference",
    "CheckReplayError",
    "CheckResult",
    "ConfigMismatchError",
    "DivergingNode",
    "GroupCut",
    "PlanMismatchError",
    "RefusedSave",
    "ShrinkError",
    "ShrinkReport",
    "ShrinkRule",
    "TensorChange",
    "apply_plan",
    "check_equal",
    "choose_channels",
    "default_tolerance",
    "load_plan",
    "load_shrunk",
    "magnitude_importance",
    "plan_record",
    "record_reference",
    "register_module_adapter",
    "register_shrink_rule",
    "save_plan",
    "save_shrunk",
    "shrink",
    "shrinkable",
]

# the operation families file their cuts, adapters and check replays
from tavrix.pruning import ops as _ops  # noqa: F401, E402  isort: skip
