"""Convolution and fully-connected handlers on graphs traced from small modules."""

import logging
from types import MappingProxyType

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo, flowscope_model
from tavrix.pruning.engine import oprules
from tavrix.pruning.engine.graphwalk import PruneGraphParser
from tavrix.utils.argpick import get_argument

from graph_helpers import LOGGER, infos, record, walk

GROUP_WARNING = "Found group convolution, it will not be pruned"


class Seq(nn.Module):
    """Runs its parts in order; plain callables too."""

    def __init__(self, *parts):
        super().__init__()
        self.parts = parts
        self.mods = nn.ModuleList(p for p in parts if isinstance(p, nn.Module))

    def forward(self, x):
        for part in self.parts:
            x = part(x)
        return x


@pytest.mark.parametrize(
    "second, out_labels",
    [(nn.Conv2d(8, 16, 3), range(8, 24)), (nn.ConvTranspose2d(8, 10, 3), range(8, 18))],
)
def test_conv_chain_gets_fresh_labels_and_keeps_input_prunable(recwarn, second, out_labels):
    state, nodes = walk(Seq(nn.Conv2d(3, 8, 3), nn.ReLU(), second), torch.randn(2, 3, 10, 10))
    first, relu, last = nodes
    assert record(state, first) == record(state, relu) == (list(range(8)), [True] * 8, 1)
    assert record(state, last) == (list(out_labels), [True] * len(out_labels), 1)
    assert len(recwarn) == 0


@pytest.mark.parametrize(
    "model, shape, warning, out, input_prunable, info",
    [
        # mean over the batch leaves (C, H, W) labelled along axis 0; unbatched convs follow
        (
            Seq(nn.Conv2d(3, 8, 3), lambda t: t.mean(0), nn.Conv2d(8, 4, 3)),
            (2, 3, 8, 8),
            "batch dimension (0)",
            (range(8, 12), 1),
            False,
            [],
        ),
        (
            Seq(nn.Conv2d(3, 8, 3), lambda t: t.mean(0), nn.Conv2d(8, 8, 3, groups=2)),
            (2, 3, 8, 8),
            "batch dimension (0)",
            (range(8), 0),
            True,
            ["Processing conv node along channel dimension"],
        ),
        # unbatched grouped conv that changes the size of axis 0: the labels would not fit
        (
            Seq(nn.Conv2d(3, 8, 3), lambda t: t.mean(0), nn.Conv2d(8, 16, 3, groups=2)),
            (2, 3, 8, 8),
            "batch dimension (0)",
            ([], None),
            False,
            [],
        ),
        # a linear on the width labels axis 3 of an NCHW tensor
        (
            Seq(nn.Linear(5, 6), nn.Conv2d(4, 8, 3)),
            (2, 4, 6, 5),
            "spatial dimension (3)",
            (range(6, 14), 1),
            False,
            [],
        ),
    ],
    ids=["batch", "batch-grouped", "batch-grouped-resized", "spatial"],
)
def test_input_pruned_along_batch_or_spatial_axis(
    caplog, model, shape, warning, out, input_prunable, info
):
    with caplog.at_level(logging.INFO, logger=LOGGER):
        with pytest.warns(UserWarning) as warned:
            state, nodes = walk(model, torch.randn(*shape))
    assert [str(w.message) for w in warned] == [
        f"Attempting to prune kernel operation along {warning}"
    ]
    labels, flags, dim = record(state, nodes[-1])
    assert (labels, all(flags), dim) == (list(out[0]), True, out[1])
    assert all(flag is input_prunable for flag in record(state, nodes[0])[1])
    assert infos(caplog) == info


@pytest.mark.parametrize(
    "conv, warning",
    [
        (nn.Conv2d(16, 16, 3, groups=16), None),  # depthwise
        (nn.ConvTranspose2d(16, 16, 3, groups=16), None),
        (nn.Conv2d(16, 32, 3, groups=2), GROUP_WARNING),
        (nn.ConvTranspose2d(16, 32, 3, groups=2), GROUP_WARNING),
        # depthwise with a channel multiplier: 32 outputs cannot carry the 16 input labels
        (nn.Conv2d(16, 32, 3, groups=16), GROUP_WARNING),
        (nn.ConvTranspose2d(16, 32, 3, groups=16), GROUP_WARNING),
        # weight (16, 1, 3, 3) like a depthwise one's, but two inputs per group: 8 outputs
        (nn.ConvTranspose2d(16, 8, 3, groups=8), GROUP_WARNING),
    ],
    ids=[
        "depthwise",
        "t-depthwise",
        "grouped",
        "t-grouped",
        "multiplier",
        "t-multiplier",
        "t-two-inputs-per-group",
    ],
)
def test_grouped_convolutions(recwarn, conv, warning):
    state, nodes = walk(Seq(nn.Conv2d(3, 16, 1), conv), torch.randn(2, 3, 8, 8))
    assert [str(w.message) for w in recwarn] == ([warning] if warning else [])
    shares = warning is None
    expected = (list(range(16)), [True] * 16, 1) if shares else ([], [], None)
    assert record(state, nodes[-1]) == expected
    assert record(state, nodes[0])[1] == [shares] * 16


def test_grouped_conv_on_unlabelled_input_is_a_silent_barrier(recwarn):
    state, nodes = walk(nn.Conv2d(4, 8, 3, groups=2), torch.randn(1, 4, 6, 6))
    assert record(state, nodes[0]) == ([], [], None)
    assert len(recwarn) == 0


class FunctionalConv(nn.Module):
    def __init__(self, form):
        super().__init__()
        self.first = nn.Conv2d(3, 8, 1)
        self.weight = nn.Parameter(torch.randn(8, 1, 3, 3))
        self.form = form

    def forward(self, x):
        x = self.first(x)
        if self.form == "keyword":
            return F.conv2d(x, self.weight, groups=8)
        if self.form == "positional":
            return F.conv2d(x, self.weight, None, 1, 0, 1, 8)
        return F.conv2d(x, self.weight * x.mean(), groups=8)


@pytest.mark.parametrize("form", ["keyword", "positional"])
def test_groups_by_keyword_or_position(form):
    state, nodes = walk(FunctionalConv(form), torch.randn(1, 3, 6, 6))
    assert record(state, nodes[-1]) == (list(range(8)), [True] * 8, 1)


def test_conv_with_input_dependent_weight_is_a_barrier_without_vetting():
    with pytest.warns(UserWarning) as warned:
        state, nodes = walk(FunctionalConv("input-weight"), torch.randn(1, 3, 6, 6))
    assert [str(w.message) for w in warned] == [
        "Conv layer have weight dependent on model inputs, this layer will not be pruned"
    ]
    assert record(state, nodes[-1]) == ([], [], None)


def test_hand_built_conv_rows_no_trace_can_reach(caplog, recwarn):
    # PyTorch rejects a grouped weight with one output channel and weights without shape.
    state = oprules.PruneGraphParserState()
    src = NodeInfo(
        F.conv2d,
        "conv2d",
        (TensorInfo((1, 3, 4, 4), torch.Tensor, 1), TensorInfo((4, 3, 1, 1), nn.Parameter, 2)),
        result_shape=(1, 4, 4, 4),
    )
    oprules._conv_node_handler(state, src)
    single = NodeInfo(
        F.conv2d,
        "conv2d",
        (src, TensorInfo((1, 2, 3, 3), nn.Parameter, 3), None, 1, 0, 1, 2),
        result_shape=(1, 1, 2, 2),
    )
    with caplog.at_level(logging.INFO, logger=LOGGER):
        oprules._conv_node_handler(pruning_state=state, node=single)
    assert infos(caplog) == ["Conv layer with single output channel, this layer will not be pruned"]
    assert record(state, single) == ([], [], None) and len(recwarn) == 0
    for weight, error in [(None, TypeError), (TensorInfo((8,), nn.Parameter, 4), ValueError)]:
        bad = NodeInfo(F.conv2d, "conv2d", (src, weight), result_shape=(1, 8, 2, 2))
        with pytest.raises(error):
            oprules._conv_node_handler(state, bad)
        assert bad not in state.channel_labels_by_nodes


@pytest.mark.parametrize(
    "model, shape, node_record, input_flags, info",
    [
        (
            Seq(nn.Linear(6, 64), nn.Linear(64, 10)),
            (8, 6),
            (list(range(64, 74)), [True] * 10, 1),
            [True] * 64,
            [],
        ),
        # conv1d output (N, C=5, L=64) is labelled along axis 1, not its last axis
        (
            Seq(nn.Conv1d(3, 5, 1), nn.Linear(64, 10)),
            (8, 3, 64),
            (list(range(5, 15)), [True] * 10, 2),
            [False] * 5,
            [],
        ),
        (
            Seq(nn.Conv1d(3, 5, 1), nn.Linear(64, 1)),
            (8, 3, 64),
            (list(range(5)), [True] * 5, 1),
            [True] * 5,
            [],
        ),
        (
            Seq(nn.Linear(6, 64), nn.Linear(64, 1)),
            (8, 6),
            ([], [], None),
            [False] * 64,
            ["Fully-connected layer with single output neuron, this layer will not be pruned"],
        ),
        (
            Seq(nn.ReLU(), nn.Linear(6, 1)),
            (8, 6),
            ([], [], None),
            [],
            ["Fully-connected layer with single output neuron, this layer will not be pruned"],
        ),
    ],
    ids=["2d", "3d-non-last", "single-non-last", "single-last", "single-unlabelled"],
)
def test_linear_decisions(caplog, recwarn, model, shape, node_record, input_flags, info):
    with caplog.at_level(logging.INFO, logger=LOGGER):
        state, nodes = walk(model, torch.randn(*shape))
    assert record(state, nodes[-1]) == node_record
    assert record(state, nodes[0])[1] == input_flags
    assert infos(caplog) == info
    assert len(recwarn) == 0


class InputWeightLinear(nn.Module):
    def forward(self, x, w):
        return F.linear(x, w)


def test_linear_with_input_dependent_weight_warns():
    with pytest.warns(
        UserWarning,
        match="^Fully-connected layer have weight dependent on model "
        "inputs, this layer will not be pruned$",
    ):
        state, nodes = walk(InputWeightLinear(), torch.randn(2, 6), torch.randn(4, 6))
    assert record(state, nodes[-1]) == ([], [], None)


@pytest.mark.parametrize(
    "weight_shape, result_shape, error",
    [((10, 64, 1), (8, 10), ValueError), ((10, 64), None, TypeError)],
)
def test_linear_malformed_shapes_fail_before_recording(weight_shape, result_shape, error):
    state = oprules.PruneGraphParserState()
    node = NodeInfo(
        F.linear,
        "linear",
        (TensorInfo((8, 64), torch.Tensor, 1), TensorInfo(weight_shape, nn.Parameter, 2)),
        result_shape=result_shape,
    )
    with pytest.raises(error):
        oprules._linear_node_handler(state, node)
    assert node not in state.channel_labels_by_nodes


def find_groups(model, x):
    nodes, _ = flowscope_model(model=model.eval(), args=(x,), kwargs={}, entry_point="__call__")
    prunable, unprunable, *_ = PruneGraphParser().find_prunable_groups(nodes)
    return [
        [([n.unique_name for n in ns], list(ls)) for ns, ls in groups]
        for groups in (prunable, unprunable)
    ]


def test_grouped_conv_through_the_walk_warns_and_stops_its_input():
    model = nn.Sequential(
        nn.Conv2d(3, 8, 1), nn.ReLU(), nn.Conv2d(8, 8, 3, groups=4), nn.Conv2d(8, 4, 1)
    )
    with pytest.warns(UserWarning, match=f"^{GROUP_WARNING}$"):
        prunable, unprunable = find_groups(model, torch.randn(1, 3, 6, 6))
    assert prunable == [(["conv2d_2"], [8, 9, 10, 11])]
    assert unprunable == [(["conv2d_0", "relu_0"], list(range(8)))]


def test_linear_on_3d_input_pruned_along_non_last_axis_through_the_walk():
    prunable, unprunable = find_groups(
        nn.Sequential(nn.Conv1d(3, 5, 1), nn.Linear(16, 10)), torch.randn(2, 3, 16)
    )
    assert prunable == [(["linear_0"], list(range(5, 15)))]
    assert unprunable == [(["conv1d_0"], list(range(5)))]


def _conv_with_call(args, kwargs):
    """A conv node whose recorded call is replaced by (args, kwargs) as given."""
    node = NodeInfo(F.conv2d, "conv2d", (), result_shape=(1, 4, 4, 4))
    node.args, node.kwargs = args, kwargs
    return node


SRC = TensorInfo((1, 3, 4, 4), torch.Tensor, 1)
WEIGHT = TensorInfo((4, 3, 1, 1), nn.Parameter, 2)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((SRC, WEIGHT), {}),
        ([SRC, WEIGHT], None),
        ((SRC,), {"weight": WEIGHT}),
        ([SRC], MappingProxyType({"weight": WEIGHT, "groups": 1})),
        ((), {"input": SRC, "weight": WEIGHT, "groups": 1}),
        ((SRC, WEIGHT, None, 1, 0, 1, 1), MappingProxyType({})),
    ],
)
def test_conv_reads_its_call_in_every_recorded_form(args, kwargs):
    state = oprules.PruneGraphParserState()
    node = _conv_with_call(args, kwargs)
    oprules._conv_node_handler(state, node)
    assert record(state, node) == ([0, 1, 2, 3], [True] * 4, 1)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((SRC,), {}),
        ((SRC,), None),
        ([SRC], {"bias": None}),
        ((SRC,), MappingProxyType({"bias": None})),
        (None, {"input": SRC}),
    ],
)
def test_conv_missing_weight_raises_the_accessors_error(args, kwargs):
    with pytest.raises(KeyError) as expected:
        get_argument(arg_pos=1, arg_key="weight", args=args, kwargs=kwargs)
    state = oprules.PruneGraphParserState()
    node = _conv_with_call(args, kwargs)
    with pytest.raises(KeyError) as info:
        oprules._conv_node_handler(state, node)
    assert type(info.value) is type(expected.value)
    assert str(info.value) == str(expected.value)
    assert node not in state.channel_labels_by_nodes
