"""Where the gates of one prunable group go."""

import pytest
import torch
from torch import nn

from tavrix.flowscope.tracing import flowscope_model
from tavrix.pruning.cutplan import find_candidate_nodes, find_input_nodes, is_aggregate_node
from tavrix.pruning.engine.graphwalk import PruneGraphParser

from graph_helpers import FakeNode


class _Chain(nn.Module):
    """conv -> bn -> relu -> conv, optionally with the bn output also feeding a
    second conv, or with the relu output added back to the input."""

    def __init__(self, variant):
        super().__init__()
        self.variant = variant
        self.conv = nn.Conv2d(4, 4, 3, padding=1)
        self.bn = nn.BatchNorm2d(4)
        self.head = nn.Conv2d(4, 2, 1)
        self.side = nn.Conv2d(4, 2, 1)

    def forward(self, x):
        y = self.bn(self.conv(x))
        z = torch.relu(y)
        if self.variant == "residual":
            return self.head(z + x)
        out = self.head(z)
        if self.variant == "branch":
            out = out + self.side(y)
        return out


def _traced(variant):
    model = _Chain(variant).eval()
    graph, _ = flowscope_model(
        model=model, args=(torch.randn(1, 4, 6, 6),), kwargs={}, entry_point="__call__"
    )
    node_users = PruneGraphParser().find_prunable_groups(graph)[4]
    return {node.unique_name: node for node in graph}, node_users


def _names(nodes):
    return {node.unique_name for node in nodes}


@pytest.mark.parametrize(
    "variant, group, expected",
    [
        # The gate walks from the conv to the last node before leaving the group.
        ("plain", ["conv2d_0", "batch_norm_0", "relu_0"], {"relu_0"}),
        # A branch stops the walk where the tensor splits.
        ("branch", ["conv2d_0", "batch_norm_0", "relu_0"], {"batch_norm_0"}),
        # An aggregate node gets its own gate; the walk that meets it adds none.
        ("residual", ["conv2d_0", "batch_norm_0", "relu_0", "add_0"], {"add_0"}),
    ],
)
def test_traced_chains(variant, group, expected):
    nodes, users = _traced(variant)
    group_nodes = [nodes[name] for name in group]
    result = find_candidate_nodes(group_nodes, users, 0)
    assert isinstance(result, set)
    assert _names(result) == expected
    # The first conv reads only the model input: an entry while no gate exists.
    assert find_input_nodes(group_nodes, 0) == [nodes["conv2d_0"]]
    assert find_input_nodes(group_nodes, 5) == []


def test_is_aggregate_node_answers_with_booleans():
    nodes, _ = _traced("residual")
    assert is_aggregate_node(nodes["add_0"]) is True
    assert is_aggregate_node(node=nodes["relu_0"]) is False


def test_entry_nodes_look_only_at_the_first_input_and_inputless_nodes_only_open_gate_zero():
    outside = FakeNode("outside")
    source = FakeNode("source")  # no inputs, like a graph input
    a = FakeNode("a", source, outside)  # first input inside: not an entry
    b = FakeNode("b", outside, a)  # first input outside: entry
    group = [source, a, b]
    assert find_input_nodes(group, 0) == [source, b]
    assert find_input_nodes(group_nodes=group, gate_index=3) == [b]


def test_walk_ends_without_a_gate_at_dead_ends():
    outside = FakeNode("outside")
    a = FakeNode("a", outside)
    b = FakeNode("b", a)
    user = FakeNode("user", b)
    # a is not a key of node_users: nothing comes of its walk.
    assert find_candidate_nodes([a, b], {}, 0) == set()
    # an empty user list is treated as no users
    assert find_candidate_nodes([a, b], {a: [b], b: []}, 0) == set()
    assert find_candidate_nodes([a, b], {a: [b], b: [user]}, 0) == {b}
    # a user listed twice counts as a branch
    assert find_candidate_nodes([a, b], {a: [b, b]}, 0) == {a}


def test_group_without_entry_or_aggregate_has_no_candidates():
    source = FakeNode("source")
    tail = FakeNode("tail", source)
    add = FakeNode("add", tail, operation=torch.add)
    users = {source: [tail], tail: [FakeNode("out", tail)]}
    assert find_candidate_nodes([source, tail], users, 1) == set()
    assert find_candidate_nodes([source, tail], users, 0) == {tail}
    assert find_candidate_nodes([source, tail, add], users, 1) == {add}


def test_cyclic_users_are_rejected_instead_of_looping():
    outside = FakeNode("outside")
    a = FakeNode("a", outside)
    b = FakeNode("b", a)
    with pytest.raises(ValueError, match="cycle"):
        find_candidate_nodes([a, b], {a: [b], b: [a]}, 0)
