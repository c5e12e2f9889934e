"""Helpers shared by the graph tests: walk a traced module, read a node's record, small fakes."""

import logging

import torch
from torch import nn

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


class Fn(nn.Module):
    """A module that applies one function, so plain callables can be traced."""

    def __init__(self, fn):
        super().__init__()
        self.fn = fn

    def forward(self, t):
        return self.fn(t)


class FakeNode:
    """A node as far as gate placement cares: an operation and its input nodes."""

    def __init__(self, name, *inputs, operation=torch.relu):
        self.unique_name = name
        self.operation = operation
        self._inputs = list(inputs)

    def collect_all_input_nodes(self):
        return self._inputs

    def __repr__(self):
        return self.unique_name
