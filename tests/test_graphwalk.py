"""The graph walk driver on traced graphs of small real models."""

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import flowscope_model
from tavrix.pruning.engine import oprules
from tavrix.pruning.engine.graphwalk import PruneGraphParser

from models import MODEL_FACTORIES, make


def traced(model, example):
    graph, _ = flowscope_model(
        model=model.eval(), args=(example,), kwargs={}, entry_point="__call__"
    )
    return graph


def names(nodes):
    return [n.unique_name for n in nodes]


def test_conv_bn_relu_conv_chain():
    model = nn.Sequential(nn.Conv2d(3, 8, 3), nn.BatchNorm2d(8), nn.ReLU(), nn.Conv2d(8, 4, 3))
    graph = traced(model, torch.randn(1, 3, 8, 8))
    result = PruneGraphParser().find_prunable_groups(graph)
    prunable, unprunable, labels_by_nodes, dims, users = result
    assert [(names(nodes), labels) for nodes, labels in prunable] == [
        (["conv2d_0", "batch_norm_0", "relu_0"], list(range(8))),
        (["conv2d_1"], list(range(8, 12))),
    ]
    assert unprunable == []
    assert list(labels_by_nodes) == graph and list(dims) == graph
    conv, bn, relu = prunable[0][0]
    # the batch norm's x.dim() check is no consumer of the data
    assert users[conv] == [bn] and users[bn] == [relu]
    assert prunable[1][0][0] not in users


class Residual(nn.Module):
    def __init__(self):
        super().__init__()
        self.c1, self.c2, self.bn = nn.Conv2d(3, 4, 1), nn.Conv2d(4, 4, 1), nn.BatchNorm2d(4)

    def forward(self, x):
        y = F.relu(self.c1(x))
        return F.relu(self.bn(self.c2(y)) + y), torch.flatten(x, 1).sum()


def test_residual_add_joins_both_branches_into_one_group():
    graph = traced(Residual(), torch.randn(2, 3, 4, 4))
    prunable, unprunable, labels_by_nodes, _, users = PruneGraphParser().find_prunable_groups(graph)
    assert [(names(nodes), labels) for nodes, labels in prunable] == [
        (["conv2d_0", "relu_0", "conv2d_1", "batch_norm_0", "add_0", "relu_1"], [4, 5, 6, 7])
    ]
    relu = prunable[0][0][1]
    assert names(users[relu]) == ["conv2d_1", "add_0"]
    assert labels_by_nodes[relu] == [4, 5, 6, 7]


def check_contract(graph, result, state):
    assert len(result) == 5
    prunable, unprunable, labels_by_nodes, dims, users = result
    assert isinstance(prunable, list) and isinstance(unprunable, list)
    position = {n: i for i, n in enumerate(graph)}
    assert list(labels_by_nodes) == list(dims) == graph

    live = dict(state.nodes_by_channel_labels)
    seen_labels, seen_keys = [], set()
    for groups, flag in ((prunable, True), (unprunable, False)):
        for pair in groups:
            nodes, labels = pair
            assert nodes and labels
            assert [position[n] for n in nodes] == sorted({position[n] for n in nodes})
            key = (frozenset(nodes), flag)
            assert key not in seen_keys  # one group per carrier set and flag
            seen_keys.add(key)
            for label in labels:
                assert live[label] == set(nodes)
                assert state.is_prunable[label] is flag
            for n in nodes:
                assert n in dims and set(labels) <= set(labels_by_nodes[n])
            seen_labels += labels
    assert sorted(seen_labels) == sorted(live)

    for source, consumers in users.items():
        assert consumers
        assert [position[u] for u in consumers] == sorted({position[u] for u in consumers})
        assert all(source in u.collect_all_input_nodes() for u in consumers)
    for n in graph:
        if n.operation_name != "__get__":
            assert all(n in users[source] for source in n.collect_all_input_nodes())


# The squeeze-excite scale goes through .view(), a barrier, so the last pool
# of the network meets channels that lost their prune dimension.
EXPECTED_WARNINGS = {
    "se_resnet_small": [
        "For channelwise operation adaptive_avg_pool2d prune dimension should be 1, "
        "but got None dimension"
    ]
}


@pytest.mark.parametrize("name", sorted(MODEL_FACTORIES))
def test_driver_contract_on_every_model(name, recwarn):
    model, example = make(name)
    graph = traced(model, example)
    parser = PruneGraphParser()
    result = parser.find_prunable_groups(graph)
    assert [str(w.message) for w in recwarn.list] == EXPECTED_WARNINGS.get(name, [])
    check_contract(graph, result, parser.pruning_state)
    assert result[0], "every model here has something to prune"


def test_walk_calls_handlers_registered_later_and_lets_errors_through():
    graph = traced(nn.Sequential(nn.Conv2d(3, 4, 1), nn.ReLU()), torch.randn(1, 3, 4, 4))
    seen = []

    class Stop(Exception):
        pass

    def stop_at_relu(pruning_state, node):
        seen.append((len(pruning_state.channel_labels_by_nodes), node.unique_name))
        raise Stop

    relu_op = graph[-1].operation
    previous = oprules.PRUNING_NODE_HANDLER_REGISTRY.pop(relu_op)
    try:
        oprules._register_node_handler(relu_op)(stop_at_relu)
        with pytest.raises(Stop):
            PruneGraphParser().find_prunable_groups(iter(graph))
    finally:
        oprules.PRUNING_NODE_HANDLER_REGISTRY[relu_op] = previous
    assert seen == [(1, "relu_0")]


def python_dispatch(graph):
    """The walk done node by node from Python, through each handler's binding."""
    state = oprules.PruneGraphParserState()
    for node in graph:
        oprules.get_node_handler(node)(state, node)
    return state


def snapshot(state):
    return (
        list(state.channel_labels_by_nodes.items()),
        list(state.prune_dimension_by_nodes.items()),
        list(state.is_prunable.items()),
        state._derive_groups(),
    )


@pytest.mark.parametrize("name", sorted(MODEL_FACTORIES))
def test_walk_matches_dispatch_through_python(name, recwarn):
    graph = traced(*make(name))
    expected = snapshot(python_dispatch(graph))
    expected_warnings = [str(w.message) for w in recwarn.list]
    recwarn.clear()
    state = oprules.PruneGraphParserState()
    oprules._walk(state, graph)
    assert snapshot(state) == expected
    assert [str(w.message) for w in recwarn.list] == expected_warnings


def test_walk_with_a_foreign_state_fails_as_the_handler_binding_does():
    graph = traced(nn.Sequential(nn.Conv2d(3, 4, 1), nn.ReLU()), torch.randn(1, 3, 4, 4))
    # one object for both calls: the messages print its address
    foreign = object()
    with pytest.raises(TypeError) as expected:
        oprules.get_node_handler(graph[0])(foreign, graph[0])
    with pytest.raises(TypeError) as info:
        oprules._walk(foreign, graph)
    assert str(info.value) == str(expected.value)


class SharedLayers(nn.Module):
    """Layers called more than once, in the ways models do it."""

    def __init__(self, form):
        super().__init__()
        self.form = form
        self.stem = nn.Conv2d(3, 8, 1)
        self.block = nn.Conv2d(8, 8, 3, padding=1)
        self.bn = nn.BatchNorm2d(8)
        self.other = nn.Conv2d(3, 8, 1)
        self.small = nn.Conv2d(3, 3, 1)
        self.head = nn.Conv2d(16, 2, 1)

    def forward(self, x):
        if self.form == "loop":  # a block reused: its input and output channels are one
            y = F.relu(self.stem(x))
            for _ in range(2):
                y = F.relu(self.block(y))
            return self.head(torch.cat([y, y], 1))
        if self.form == "siamese":  # one branch on two inputs; it reads its weight's shape
            assert self.block.weight.shape[0] == 8
            a = F.relu(self.bn(self.block(F.relu(self.stem(x)))))
            b = F.relu(self.bn(self.block(F.relu(self.stem(x.flip(2))))))
            return self.head(torch.cat([a, b], 1))
        # "mismatched": the stem runs on the raw input and on small's channels, which
        # therefore cannot go; the batch norm also sees other's, which a flatten pins
        a = self.stem(x)
        c = self.stem(F.relu(self.small(x)))
        d = F.relu(self.other(x))
        return self.head(torch.cat([self.bn(a + c), self.bn(d)], 1)), d.flatten(1)


def groups_of(form):
    graph = traced(SharedLayers(form), torch.randn(2, 3, 6, 6))
    prunable, unprunable, *_ = PruneGraphParser().find_prunable_groups(graph)
    return (
        [(names(n), len(labels)) for n, labels in prunable],
        [(names(n), len(labels)) for n, labels in unprunable],
    )


def test_layer_called_twice_prunes_its_channels_one_way():
    prunable, unprunable = groups_of("loop")
    # stem, both calls of block: one set of 8 channels (block's input is its output)
    assert prunable[0] == (
        ["conv2d_0", "relu_0", "conv2d_1", "relu_1", "conv2d_2", "relu_2", "cat_0"],
        8,
    )
    prunable, unprunable = groups_of("siamese")
    assert (["conv2d_0", "relu_0", "conv2d_2", "relu_2"], 8) in prunable  # stem's two calls
    assert any(
        set(n) >= {"conv2d_1", "batch_norm_0", "conv2d_3", "batch_norm_1"} for n, _ in prunable
    )


def test_calls_that_disagree_make_the_shared_channels_unprunable():
    prunable, unprunable = groups_of("mismatched")
    assert prunable == [(["conv2d_4"], 2)]  # the head, an output
    assert (["conv2d_1", "relu_0"], 3) in unprunable  # small's, read by the stem's second call
