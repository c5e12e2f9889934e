"""Handler registry, dispatch, and the pass-through and barrier handlers."""

import logging

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope import TraceTensor, opkinds
from tavrix.flowscope.tracing import NodeInfo, TensorInfo, flowscope_model
from tavrix.pruning.engine import oprules as o
from tavrix.pruning.engine.oprules import PruningEngineRuntimeException

REGISTRY = o.PRUNING_NODE_HANDLER_REGISTRY


def trace(fn, *inputs):
    class Wrapper(nn.Module):
        def forward(self, *xs):
            return fn(*xs)

    nodes, _ = flowscope_model(model=Wrapper(), args=inputs, kwargs={}, entry_point="__call__")
    return {n.unique_name: n for n in nodes}, nodes


def walk(nodes, state=None):
    state = o.PruneGraphParserState() if state is None else state
    for n in nodes:
        o.get_node_handler(n)(state, n)
    return state


def record(state, n):
    labels = state.channel_labels_by_nodes[n]
    return labels, [state.is_prunable[x] for x in labels], state.prune_dimension_by_nodes[n]


# ------------------------------------------------------------------ registry


@pytest.mark.parametrize(
    "operations, handler",
    [
        (opkinds.ELEMENTWISE_OPS, "_elementwise_node_handler"),
        (opkinds.CHANNELWISE_OPS, "_channelwise_node_handler"),
        (opkinds.UNARY_REDUCE_OPS, "_unary_reduce_handler"),
        (opkinds.DROPOUT_OPS, "_dropout_node_handler"),
        (
            (
                F.conv1d,
                F.conv2d,
                F.conv3d,
                F.conv_transpose1d,
                F.conv_transpose2d,
                F.conv_transpose3d,
            ),
            "_conv_node_handler",
        ),
        ((F.linear,), "_linear_node_handler"),
        (opkinds.get_torch_and_tensor_methods("flatten"), "_flatten_node_handler"),
        (opkinds.BINARY_ELEMENTWISE_OPS, "_binary_elementwise_node_handler"),
        ((torch.cat,), "_cat_node_handler"),
    ],
)
def test_registry_after_load(operations, handler):
    assert operations
    for op in operations:
        assert REGISTRY[op] is getattr(o, handler)
        assert o.get_node_handler(NodeInfo(op, "x")) is getattr(o, handler)


def test_module_surface():
    assert o.__all__ == ["PruneGraphParserState", "get_node_handler"]
    assert o.CNN_PRUNE_DIM == 1
    assert o._LOGGER is logging.getLogger("tavrix.pruning.engine.oprules")
    assert isinstance(REGISTRY, dict)


def test_dispatch_get_first_then_registry_then_default():
    assert o.get_node_handler(NodeInfo(torch.cat, "__get__")) is o._tensor_get_node_handler
    assert o.get_node_handler(NodeInfo(torch.cat, "cat")) is o._cat_node_handler
    assert o.get_node_handler(NodeInfo(torch.roll, "roll")) is o._default_node_handler


@pytest.fixture
def scratch_ops():
    """Operations unknown to the catalogue; removed from the registry afterwards."""
    ops = [lambda x: x, lambda x: x]
    yield ops
    for op in ops:
        REGISTRY.pop(op, None)


def test_registration_forms_and_conflicts(scratch_ops):
    first, second = scratch_ops

    def handler(pruning_state, node):
        pass

    assert o._register_node_handler(first)(handler) is handler
    assert REGISTRY[first] is handler and second not in REGISTRY
    # the same handler again is a no-op
    assert o._register_node_handler([first])(handler) is handler
    before = dict(REGISTRY)
    assert o._register_node_handler(torch.cat)(o._cat_node_handler) is o._cat_node_handler
    assert REGISTRY == before
    # a clash stops at the clashing operation; earlier ones of the call stay
    with pytest.raises(ValueError) as info:
        o._register_node_handler((second, torch.cat))(handler)
    assert str(info.value) == f"Pruning handler for node {torch.cat} has already been registered"
    assert REGISTRY[second] is handler and REGISTRY[torch.cat] is o._cat_node_handler


# ------------------------------------------------------------------ pass-through and barrier


def test_tensor_get_leaves_source_prunable():
    names, nodes = trace(
        lambda x: F.relu(nn.functional.conv2d(x, torch.ones(4, 3, 1, 1))).dim(),
        torch.randn(1, 3, 4, 4),
    )
    state = walk(nodes)
    get = next(n for n in nodes if n.operation_name == "__get__")
    assert record(state, get) == ([], [], None)
    assert record(state, names["relu_0"]) == ([0, 1, 2, 3], [True] * 4, 1)


def test_default_handler_is_a_barrier():
    names, nodes = trace(
        lambda x: torch.roll(F.relu(F.conv2d(x, torch.ones(3, 3, 1, 1))), 1, 1),
        torch.randn(1, 3, 4, 4),
    )
    state = walk(nodes)
    assert record(state, names["relu_0"]) == ([0, 1, 2], [False] * 3, 1)
    assert record(state, names["roll_0"]) == ([], [], None)
    with pytest.raises(PruningEngineRuntimeException, match="already added"):
        o._default_node_handler(state, names["roll_0"])
    other = NodeInfo(torch.roll, "roll", (names["relu_0"],))
    o._default_node_handler(pruning_state=state, node=other, prune_dimension=1)
    assert record(state, other) == ([], [], 1)


def test_elementwise_keeps_labels_dimension_and_flags(caplog):
    names, nodes = trace(
        lambda x: torch.sigmoid(F.conv2d(x, torch.ones(2, 3, 1, 1))), torch.randn(1, 3, 4, 4)
    )
    state = o.PruneGraphParserState()
    conv, sigmoid = names["conv2d_0"], names["sigmoid_0"]
    o._add_node_output_channel_info(state, conv, [3, 4], [True, False], 1)
    with caplog.at_level(logging.DEBUG, logger="tavrix.pruning.engine.oprules"):
        o.get_node_handler(sigmoid)(state, sigmoid)
    assert record(state, sigmoid) == ([3, 4], [True, False], 1)
    assert [r.getMessage() for r in caplog.records] == [f"input_node: {NodeInfo}"]


def test_elementwise_on_model_input_carries_nothing():
    names, nodes = trace(torch.tanh, torch.randn(2, 3))
    state = walk(nodes)
    assert isinstance(names["tanh_0"].args[0], TensorInfo)
    assert record(state, names["tanh_0"]) == ([], [], None)


@pytest.mark.parametrize("handler", [o._elementwise_node_handler, o._channelwise_node_handler])
def test_source_by_keyword_is_not_implemented(handler):
    state = o.PruneGraphParserState()
    bad = NodeInfo(torch.relu, "relu", (), {"input": NodeInfo(torch.relu, "relu")})
    with pytest.raises(NotImplementedError) as info:
        handler(state, bad)
    assert str(info.value) == (
        "Unimplemented elementwise function call\nSome of the following functions "
        + str(tuple(opkinds.ELEMENTWISE_OPS))
        + ' in your model have their first argument set with a construction "function(input=input, '
        '...)". You should use "function(input, ...)" construction instead.'
    )
    assert len(state.channel_labels_by_nodes) == 0


@pytest.mark.parametrize("first", [3.0, TensorInfo((2,), torch.Tensor, 0), None])
def test_elementwise_rejects_untraced_source(first):
    state = o.PruneGraphParserState()
    with pytest.raises(
        PruningEngineRuntimeException,
        match="^Attempting to process elementwise operation for non-traced tensor$",
    ):
        o._elementwise_node_handler(state, NodeInfo(torch.relu, "relu", (first,)))
    assert len(state.channel_labels_by_nodes) == 0


def test_traced_model_input_is_a_valid_source():
    source = TensorInfo((2, 3), TraceTensor, 0)
    assert o._get_input_for_elementwise_node(NodeInfo(torch.relu, "relu", (source, 1))) is source


@pytest.mark.parametrize("source_dim", [2, None, 0])
def test_channelwise_needs_channel_axis(source_dim):
    names, nodes = trace(
        lambda x: F.batch_norm(F.relu(x), torch.zeros(4), torch.ones(4)), torch.randn(2, 4, 3)
    )
    state = o.PruneGraphParserState()
    relu, bn = names["relu_0"], names["batch_norm_0"]
    o._add_node_output_channel_info(state, relu, [0, 1, 2], True, source_dim)
    with pytest.warns(UserWarning) as caught:
        o.get_node_handler(bn)(state, bn)
    assert [str(w.message) for w in caught] == [
        "For channelwise operation batch_norm prune dimension should be 1, "
        f"but got {source_dim} dimension"
    ]
    assert record(state, relu) == ([0, 1, 2], [False] * 3, source_dim)
    assert record(state, bn) == ([], [], None)


def test_channelwise_keeps_channel_axis_labels(recwarn):
    names, nodes = trace(
        lambda x: F.batch_norm(F.conv1d(x, torch.ones(4, 2, 1)), torch.zeros(4), torch.ones(4)),
        torch.randn(2, 2, 3),
    )
    state = walk(nodes)
    assert record(state, names["batch_norm_0"]) == ([0, 1, 2, 3], [True] * 4, 1)
    assert not [w for w in recwarn if issubclass(w.category, UserWarning)]


@pytest.mark.parametrize(
    "operation, args, kwargs, warns",
    [
        (F.dropout, (0.5,), {}, True),
        (F.dropout, (0.5, False), {}, False),
        (F.dropout, (0.5,), {"training": False}, False),
        (F.dropout2d, (0.5,), {"training": True}, True),
        (F.alpha_dropout, (0.5,), {}, False),
    ],
)
def test_dropout_warns_in_training_mode_and_passes_channels(
    recwarn, operation, args, kwargs, warns
):
    state = o.PruneGraphParserState()
    src = NodeInfo(F.conv2d, "conv2d", result_shape=(1, 2, 3, 3))
    o._add_node_output_channel_info(state, src, [0, 1], True, 1)
    drop = NodeInfo(operation, operation.__name__, (src, *args), kwargs, (1, 2, 3, 3))
    o.get_node_handler(drop)(state, drop)
    messages = [str(w.message) for w in recwarn.list]
    recwarn.clear()
    expected = ["For proper pruning model with dropout it should be in eval mode"]
    assert messages == (expected if warns else [])
    assert record(state, drop) == ([0, 1], [True, True], 1)


def test_traced_dropout_in_train_mode_warns():
    names, nodes = trace(lambda x: F.dropout(F.relu(x), 0.1), torch.randn(2, 3))
    with pytest.warns(UserWarning, match="should be in eval mode"):
        walk(nodes)
