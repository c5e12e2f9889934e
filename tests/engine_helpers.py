"""Helpers shared by the engine's handler tests: walk a traced module, read a node's record."""

import logging

from tavrix.flowscope.tracing import flowscope_model
from tavrix.pruning.engine import oprules

LOGGER = "tavrix.pruning.engine.oprules"


def walk(model, *inputs):
    """Trace one call of ``model`` (in eval mode) and run every node's handler."""
    nodes, _ = flowscope_model(model=model.eval(), args=inputs, kwargs={}, entry_point="__call__")
    state = oprules.PruneGraphParserState()
    for node in nodes:
        oprules.get_node_handler(node)(state, node)
    return state, nodes


def record(state, node):
    """(labels, prunability flags, prune dimension) recorded for ``node``."""
    labels = list(state.channel_labels_by_nodes[node])
    flags = [state.is_prunable[label] for label in labels]
    return labels, flags, state.prune_dimension_by_nodes[node]


def infos(caplog):
    """The engine's info records captured so far."""
    return [
        r.getMessage() for r in caplog.records if r.name == LOGGER and r.levelno == logging.INFO
    ]
