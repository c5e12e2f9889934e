"""Which rule set the graph walk uses, per thread, and what a plan keeps of it.

The standard rules are the default. ``use_rule_set`` (behind
``tavrix.pruning.rules.extended()``) makes every walk started in the calling
thread inside the block use another rule set; other threads and later walks
are not affected.
"""

from __future__ import annotations

import contextlib
import threading
from dataclasses import dataclass, field
from typing import Any, Dict, Iterator, Mapping, Optional, Tuple

__all__ = [
    "RuleSet",
    "RuleRecord",
    "STANDARD",
    "EXTENDED_OPTIONS",
    "active_rule_set",
    "use_rule_set",
    "extended_rule_set",
]

# option -> (allowed values, default)
EXTENDED_OPTIONS: Dict[str, Tuple[Tuple[str, ...], str]] = {
    # which axis of a split channel axis keeps the labels: the one that keeps
    # most of them, the outer one (whole heads) or the inner one (the same
    # positions in every head)
    "split": (("largest", "outer", "inner"), "largest"),
    # grouped convolutions: whole groups, the same positions in every group, or
    # whichever leaves more channels to choose from
    "grouped_conv": (("auto", "groups", "positions"), "auto"),
}


@dataclass(frozen=True)
class RuleSet:
    """A named rule set: the standard rules, or the extended ones with their options."""

    name: str
    options: Tuple[Tuple[str, str], ...] = ()

    @property
    def extended(self) -> bool:
        return self.name == "extended"

    def option(self, key: str) -> str:
        return dict(self.options).get(key, EXTENDED_OPTIONS[key][1])

    def option_index(self, key: str) -> int:
        """The position of the option's value among its allowed values."""
        return EXTENDED_OPTIONS[key][0].index(self.option(key))


STANDARD = RuleSet("standard")


def extended_rule_set(**options: str) -> RuleSet:
    """The extended rule set with ``options`` (see ``EXTENDED_OPTIONS``), checked."""
    chosen: Dict[str, str] = {}
    for key, value in options.items():
        if key not in EXTENDED_OPTIONS:
            raise TypeError(
                f"unknown option {key!r} of the extended rules; options are "
                + ", ".join(sorted(EXTENDED_OPTIONS))
            )
        allowed, _ = EXTENDED_OPTIONS[key]
        if value not in allowed:
            raise ValueError(f"{key} must be one of {', '.join(map(repr, allowed))}, got {value!r}")
        chosen[key] = value
    return RuleSet(
        "extended",
        tuple((key, chosen.get(key, default)) for key, (_, default) in EXTENDED_OPTIONS.items()),
    )


class _Active(threading.local):
    def __init__(self) -> None:
        self.rule_set: RuleSet = STANDARD


_ACTIVE = _Active()


def active_rule_set() -> RuleSet:
    """The rule set walks started in the calling thread use now."""
    return _ACTIVE.rule_set


@contextlib.contextmanager
def use_rule_set(rule_set: RuleSet) -> Iterator[RuleSet]:
    """Use ``rule_set`` for every walk started in this thread inside the block."""
    if not isinstance(rule_set, RuleSet):
        raise TypeError(f"expected a RuleSet, got {type(rule_set).__name__}")
    previous = _ACTIVE.rule_set
    _ACTIVE.rule_set = rule_set
    try:
        yield rule_set
    finally:
        _ACTIVE.rule_set = previous


@dataclass(frozen=True)
class RuleRecord:
    """What a plan keeps of the walk that made it: the rule set, the prune axis of every
    node, the handler the walk called for it (``handlers``: the engine registry's handler
    name, or a Python handler's ``__name__``), the branch that handler took where it names one
    (``decisions``: a convolution's ``"dense"``, ``"depthwise"``, ``"grouped"``, ...; a
    grouped one's ``"whole_groups"`` or ``"positions"`` under the extended rules; an even
    split's ``"channels"``; an attention's ``"heads"`` or ``"positions"``) and the shape of a
    piece of each tuple-valued node whose pieces are alike (``piece_shapes``: a chunk, an
    unbind, an attention call's output). Shrinking and checking read these rather than
    walking the graph again or deciding anew, so they work whatever rule set the calling
    thread has chosen and cut exactly what the walk labelled."""

    rule_set: RuleSet
    prune_dimension_by_nodes: Mapping[Any, Optional[int]] = field(repr=False)
    handlers: Mapping[Any, str] = field(repr=False)
    decisions: Mapping[Any, str] = field(repr=False)
    piece_shapes: Mapping[Any, Tuple[int, ...]] = field(repr=False)

    @property
    def name(self) -> str:
        return self.rule_set.name
