"""What an analysis records for :mod:`tavrix.pruning.explain`: the rule a Python handler's
markings name, and the plan's record of why its unprunable groups are unprunable.

The label walk and get_cutplan write here; the read-out (explain) only reads.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Sequence, Tuple, TypeVar

from tavrix.flowscope.tracing import provenance

if TYPE_CHECKING:
    from tavrix.pruning.cutplan import ModelCutplan

__all__ = ["Provenance", "handler_rule", "provenance", "record_provenance"]

_F = TypeVar("_F", bound=Callable[..., Any])


def handler_rule(text: str) -> Callable[[_F], _F]:
    """Decorator for a handler written in Python: the rule its markings give by default."""
    if not isinstance(text, str) or not text:
        raise TypeError("handler_rule() takes a non-empty string")

    def decorate(handler: _F) -> _F:
        handler.__tavrix_rule__ = text  # type: ignore[attr-defined]
        return handler

    return decorate


@dataclass
class Provenance:
    """What an analysis keeps for :func:`tavrix.pruning.explain.explain`, as ``plan.provenance``."""

    #: (node or None, rule) of every cause an unprunable label has
    origins: List[Tuple[Any, str]]
    #: first label of each unprunable group -> [(indices into origins, channels)]
    causes: Dict[int, List[Tuple[Tuple[int, ...], int]]]
    #: nodes whose channels are all their own (layers): their inputs' channels stop there
    fresh_nodes: List[Any]
    #: (carrier, carrier, reader, reader): channels that two calls of one layer (the
    #: readers) read or make, tied after the walk
    ties: List[Tuple[Any, Any, Any, Any]]
    output_nodes: List[Any]
    #: prepended to module paths (a calibrator on a sub-module's entry point sets it)
    module_prefix: str = ""


def record_provenance(plan: ModelCutplan, state: Any, output_nodes: Sequence[Any]) -> None:
    """Called by get_cutplan once the plan is built; nothing is kept with provenance off."""
    if state is None or not getattr(state, "record_causes", False):
        return
    groups = plan.unprunable_groups
    origins, causes, fresh_nodes, ties = state._provenance(groups)
    by_label = {labels[0]: entries for (_, labels), entries in zip(groups, causes) if labels}
    plan.provenance = Provenance(
        origins=list(origins),
        causes=by_label,
        fresh_nodes=list(fresh_nodes),
        ties=[tuple(tie) for tie in ties],
        output_nodes=list(output_nodes),
    )
