"""Rule sets of the channel-label engine: the standard rules (the default) and the extended
rules, which also prune grouped convolutions, per-channel parameters, axis moves, reshapes
that split or merge the channel axis, normalisations over it, slices and pieces of it::

    from tavrix.pruning import rules

    with rules.extended():
        plan = get_cutplan(model, (x,), {})   # or a calibrator's first call

The choice holds for every analysis started in the calling thread inside the block; other
threads and analyses after the block use the standard rules. A plan remembers the rule set
that made it (``plan.rule_record``), so shrinking and checking it work anywhere.

A new operation is supported end to end (label, cut, check, coverage) by registering one
family: ``tavrix.pruning.ops.register(OpFamily(...))``.
"""

from __future__ import annotations

from typing import Any, ContextManager

from tavrix.pruning.engine.oprules import (
    EXTENDED_NODE_HANDLER_REGISTRY,
    _register_extended_node_handler,
)
from tavrix.pruning.engine.ruleset import (
    EXTENDED_OPTIONS,
    STANDARD,
    RuleRecord,
    RuleSet,
    active_rule_set,
    extended_rule_set,
    use_rule_set,
)
from tavrix.pruning.rules.coverage import LAYER_CHANNEL_AXES, Coverage, LayerCoverage, coverage

__all__ = [
    "EXTENDED_NODE_HANDLER_REGISTRY",
    "EXTENDED_OPTIONS",
    "LAYER_CHANNEL_AXES",
    "STANDARD",
    "Coverage",
    "LayerCoverage",
    "RuleRecord",
    "RuleSet",
    "active",
    "coverage",
    "extended",
    "plan_rule_set",
    "register_extended_handler",
    "standard",
]

register_extended_handler = _register_extended_node_handler


def extended(**options: str) -> ContextManager[RuleSet]:
    """Use the extended rules for every analysis started in this thread inside the block.

    Options (see ``EXTENDED_OPTIONS``): ``split`` ("largest", "outer", "inner") picks the
    axis that keeps the labels when a reshape splits the channel axis (a split into heads:
    "outer" removes whole heads, "inner" the same positions in every head, "largest" the
    axis that keeps most labels); ``grouped_conv`` ("auto", "groups", "positions") cuts
    grouped convolutions by whole groups, by the same positions in every group, or by
    whichever leaves more channels to choose from. Usable as a decorator too.
    """
    return use_rule_set(extended_rule_set(**options))


def standard() -> ContextManager[RuleSet]:
    """Use the standard rules inside the block (inside an ``extended()`` block, say)."""
    return use_rule_set(STANDARD)


def active() -> RuleSet:
    """The rule set analyses started in the calling thread use now."""
    return active_rule_set()


def plan_rule_set(plan: Any) -> RuleSet:
    """The rule set that made ``plan`` (plans made before rule sets existed: standard)."""
    record = getattr(plan, "rule_record", None)
    return record.rule_set if isinstance(record, RuleRecord) else STANDARD


# the operation families file their handlers, cuts, replays and layer axes
from tavrix.pruning import ops as _ops  # noqa: E402, F401  isort: skip
