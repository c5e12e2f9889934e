"""The graph walk: labels the channels of a traced graph and groups them."""

from __future__ import annotations

from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

from tavrix.flowscope.tracing import provenance_enabled
from tavrix.pruning.engine.oprules import (
    EXTENDED_NODE_HANDLER_REGISTRY,
    PruneGraphParserState,
    _collect_node_users,
    _tie_shared_parameters,
    _walk,
    _walk_extended,
)
from tavrix.pruning.engine.ruleset import RuleRecord, active_rule_set

__all__ = ["GroupPair", "PruneGraphParser"]

# (nodes that carry the group's channels, in graph order; the group's labels)
GroupPair = Tuple[List[Any], Sequence[int]]


def _whole_head_splits(state: Any, graph: Sequence[Any]) -> List[Any]:
    """After an extended walk with ``split="largest"``: the reshape nodes the families say
    should split into whole heads (their ``whole_heads``), for a second walk."""
    from tavrix.pruning.opfamily import WHOLE_HEAD_SPLITS

    found: List[Any] = []
    if not WHOLE_HEAD_SPLITS:
        return found
    for node in graph:
        try:
            find = WHOLE_HEAD_SPLITS.get(node.operation)
        except TypeError:  # an unhashable operation object
            continue
        if find is not None:
            found.extend(find(state, node))
    return found


class PruneGraphParser:
    """Runs the node handlers over one traced graph.

    ``find_prunable_groups`` returns ``(prunable_groups, unprunable_groups,
    labels_by_nodes, prune_dimension_by_nodes, node_users)``. A group is the set
    of live labels that share one carrier set and one prunability; groups come in
    the order of their first label. Channels that several calls of one parameter
    stand for (a module called twice) are merged position by position, or made
    unprunable where the calls disagree. The two node maps are the state's live
    mappings (dict-like, insertion ordered); ``node_users`` maps each node that
    has users to the distinct nodes consuming its data, in graph order (metadata
    reads such as ``x.dim()`` are not users). With provenance on (the default,
    see :func:`tavrix.flowscope.tracing.provenance`) the state also records why
    each unprunable label is unprunable.

    The walk uses the rule set chosen in the calling thread (the standard rules
    unless inside ``tavrix.pruning.rules.extended()``); ``rule_record`` keeps
    it with the prune axes, each node's handler and branch and the piece shapes, for the
    plan.
    """

    def __init__(self) -> None:
        self.pruning_state: Optional[PruneGraphParserState] = None
        self.rule_record: Optional[RuleRecord] = None

    def find_prunable_groups(
        self, graph: Iterable[Any]
    ) -> Tuple[
        List[GroupPair],
        List[GroupPair],
        Mapping[Any, Sequence[int]],
        Mapping[Any, Optional[int]],
        Dict[Any, List[Any]],
    ]:
        if not isinstance(graph, (list, tuple)):
            graph = list(graph)  # walked twice
        rule_set = active_rule_set()
        state = PruneGraphParserState(record_causes=provenance_enabled())
        self.pruning_state = state
        if rule_set.extended:
            # the extended handlers in front of the standard registry, filed by the families
            import tavrix.pruning.ops  # noqa: F401

            # checked by the rule set; the engine takes each value's position
            split = rule_set.option_index("split")
            grouped_conv = rule_set.option_index("grouped_conv")
            registry = EXTENDED_NODE_HANDLER_REGISTRY
            _walk_extended(state, graph, registry, split=split, grouped_conv=grouped_conv)
            outer = (
                _whole_head_splits(state, graph) if rule_set.option("split") == "largest" else []
            )
            if outer:
                state = PruneGraphParserState(record_causes=provenance_enabled())
                self.pruning_state = state
                _walk_extended(
                    state,
                    graph,
                    registry,
                    split=split,
                    grouped_conv=grouped_conv,
                    outer_splits=outer,
                )
        else:
            # get_node_handler(node)(state, node) for every node, looped in C++
            _walk(state, graph)
        # a module called more than once: its calls' channels go together
        _tie_shared_parameters(state, graph, extended=rule_set.extended)
        node_users: Dict[Any, List[Any]] = _collect_node_users(graph)
        prunable_groups, unprunable_groups = state._derive_groups()
        handlers, decisions, piece_shapes = state._rule_record()
        self.rule_record = RuleRecord(
            rule_set, dict(state.prune_dimension_by_nodes), handlers, decisions, piece_shapes
        )
        return (
            prunable_groups,
            unprunable_groups,
            state.channel_labels_by_nodes,
            state.prune_dimension_by_nodes,
            node_users,
        )
