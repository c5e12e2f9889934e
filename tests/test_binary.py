"""Binary elementwise handler on graphs traced from small modules."""

import logging

import pytest
import torch
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo, flowscope_model
from tavrix.pruning.engine import oprules
from tavrix.pruning.engine.graphwalk import PruneGraphParser

from graph_helpers import LOGGER, Fn, record, walk
from models import BasicBlock, SqueezeExcite


class Residual(nn.Module):
    """a(x) + cat([b(x), roll(x)]): the upper half of the second operand is never prunable."""

    def __init__(self):
        super().__init__()
        self.a = nn.Conv2d(8, 16, 1)
        self.b = nn.Conv2d(8, 8, 1)

    def forward(self, x):
        return self.a(x) + torch.cat([self.b(x), torch.roll(x, 1, 2)], 1)


def test_residual_add_merges_position_wise_with_conjoined_prunability(caplog):
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        state, nodes = walk(Residual(), torch.randn(2, 8, 4, 4))
    a, b, _roll, cat, add = nodes
    assert record(state, add) == (list(range(16)), [True] * 8 + [False] * 8, 1)
    # the second operand's labels were absorbed by the first operand's, on every carrier
    assert list(state.channel_labels_by_nodes[b]) == list(range(8))
    assert list(state.channel_labels_by_nodes[cat]) == list(range(16))
    assert record(state, a)[1] == [True] * 8 + [False] * 8
    assert sorted(state.is_prunable) == list(range(16))
    messages = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert messages[-3:] == [
        f"input_1: {add.args[0]}, input_2: {add.args[1]}",
        "shape_1: (2, 16, 4, 4), shape_2: (2, 16, 4, 4)",
        "prune_dim_1: 1, prune_dim_2: 1",
    ]


class Combine(nn.Module):
    def __init__(self, first, second, op=torch.mul):
        super().__init__()
        self.first, self.second, self.op = first, second, op

    def forward(self, x, y):
        return self.op(self.first(x), self.second(y))


class Param(nn.Module):
    def __init__(self, *shape):
        super().__init__()
        self.p = nn.Parameter(torch.ones(*shape))

    def forward(self, _):
        return self.p


SPATIAL_MAP = Fn(lambda y: torch.sigmoid(y.mean(1, keepdim=True)))  # one channel, no labels
ROLL = Fn(lambda y: torch.roll(y, 1, 2))  # channels without labels
KEEP, BARRIER = (list(range(16)), [True] * 16, 1), ([], [], None)


@pytest.mark.parametrize(
    "model, y_shape, expected",
    [
        # a per-channel scale acts on each channel: nothing can be removed
        (Combine(nn.Conv2d(4, 16, 1), Param(16, 1, 1)), (1,), BARRIER),
        # a one-channel attention map is broadcast over every channel, in either order
        (Combine(nn.Conv2d(4, 16, 1), SPATIAL_MAP), (2, 3, 5, 5), KEEP),
        (Combine(SPATIAL_MAP, nn.Conv2d(4, 16, 1)), (2, 4, 5, 5), KEEP),
        # one labelled channel broadcast over 16: one label cannot name 16 channels
        (Combine(nn.Conv2d(4, 1, 1), ROLL), (2, 16, 5, 5), BARRIER),
        (Combine(nn.Conv2d(4, 1, 1), ROLL, torch.add), (2, 1, 5, 5), BARRIER),  # 1 against 1
        (Combine(nn.Conv2d(4, 16, 1), nn.Conv2d(3, 1, 1)), (2, 3, 5, 5), BARRIER),  # both labelled
        # channels against the width a linear labelled: different axes
        (Combine(nn.Conv2d(4, 5, 1), nn.Linear(5, 5), torch.add), (2, 5, 5, 5), BARRIER),
    ],
    ids=[
        "per-channel-param",
        "attention",
        "attention-first",
        "narrow-labelled",
        "one-and-one",
        "both-16-1",
        "axes-1-3",
    ],
)
def test_broadcast_decisions(recwarn, model, y_shape, expected):
    state, nodes = walk(model, torch.randn(2, 4, 5, 5), torch.randn(*y_shape))
    conv = next(n for n in nodes if n.unique_name == "conv2d_0")
    assert record(state, nodes[-1]) == expected
    assert set(record(state, conv)[1]) == {expected is KEEP}
    assert len(recwarn) == 0


class ChannelsOnAxisZero(nn.Module):
    def __init__(self):
        super().__init__()
        self.conv = nn.Conv2d(3, 16, 1)

    def forward(self, x, y):
        per_channel = self.conv(x).mean(0).mean((1, 2), keepdim=True)  # (16, 1, 1), axis 0
        return per_channel + torch.relu(y)


def test_shorter_operand_prune_dimension_is_aligned():
    state, nodes = walk(ChannelsOnAxisZero(), torch.randn(1, 3, 4, 4), torch.randn(8, 1, 4, 4))
    assert record(state, nodes[2]) == (list(range(16)), [True] * 16, 0)
    assert record(state, nodes[-1]) == KEEP


class Operands(nn.Module):
    def __init__(self, form):
        super().__init__()
        self.conv = nn.Conv2d(3, 4, 1)
        self.p = nn.Parameter(torch.ones(3, 1, 1))
        self.form = form

    def forward(self, x):
        if self.form == "untraced":
            return x * self.p
        if self.form == "keyword":
            return torch.add(self.conv(x), other=x[:, :1])
        y = self.conv(x)
        return 2.0 * y if self.form == "reflected" else y - 1


@pytest.mark.parametrize("form", ["number", "reflected"])
def test_number_operand_keeps_channels_without_shape_records(caplog, form):
    with caplog.at_level(logging.DEBUG, logger=LOGGER):
        state, nodes = walk(Operands(form), torch.randn(1, 3, 2, 2))
    assert record(state, nodes[-1]) == ([0, 1, 2, 3], [True] * 4, 1)
    messages = [r.getMessage() for r in caplog.records if r.name == LOGGER]
    assert [m for m in messages if m.startswith(("input_1", "shape_1"))] == [
        f"input_1: {nodes[-1].args[0]}, input_2: {nodes[-1].args[1]}"
    ]


def test_two_tensors_no_node_produced_make_a_barrier():
    state, nodes = walk(Operands("untraced"), torch.randn(1, 3, 2, 2))
    assert record(state, nodes[-1]) == BARRIER


def test_keyword_operand_is_not_supported():
    with pytest.raises(
        NotImplementedError,
        match="^Unimplemented binary function call, please contact TAVRIX team$",
    ):
        walk(Operands("keyword"), torch.randn(1, 3, 2, 2))


@pytest.mark.parametrize(
    "other, message",
    [
        (None, "Attempting to process binary operation with no traced inputs"),
        (
            TensorInfo((8, 8, 4, 4), torch.Tensor, 1),
            "Binary operation with different dimension sizes along the same axis",
        ),
        ("dim4", r"Prune dimension index exceeds the number of dimensions \(4 >= 4\)"),
        ("no-shape", "Cannot determine shape for one or more inputs for binary operation"),
    ],
)
def test_inconsistent_operands_raise_without_recording(other, message):
    # PyTorch rejects all of these before a trace could record them.
    state = oprules.PruneGraphParserState()
    first = NodeInfo(torch.relu, "relu", (), result_shape=(8, 16, 4, 4))
    oprules._add_node_output_channel_info(
        state, first, oprules._generate_new_channel_labels(state, first, 1), True, 1
    )
    if other == "dim4":
        other = NodeInfo(torch.relu, "relu", (), result_shape=(8, 16, 4, 4))
        oprules._default_node_handler(state, other, prune_dimension=4)
    elif other == "no-shape":
        other = TensorInfo((), torch.Tensor, 1)
        other.shape = None
    node = NodeInfo(torch.add, "add", (1.0, 2.0) if other is None else (first, other))
    with pytest.raises(oprules.PruningEngineRuntimeException, match=f"^{message}$"):
        oprules._binary_elementwise_node_handler(pruning_state=state, node=node)
    assert node not in state.channel_labels_by_nodes
    assert all(state.is_prunable.values())


def groups(model, x):
    nodes, _ = flowscope_model(model=model.eval(), args=(x,), kwargs={}, entry_point="__call__")
    prunable, unprunable, *_ = PruneGraphParser().find_prunable_groups(nodes)
    return [
        [([n.unique_name for n in ns], list(ls)) for ns, ls in found]
        for found in (prunable, unprunable)
    ]


def test_residual_stage_forms_one_group_across_its_blocks():
    stage = nn.Sequential(
        nn.Conv2d(3, 8, 3, padding=1, bias=False),
        nn.BatchNorm2d(8),
        nn.ReLU(inplace=True),
        BasicBlock(8, 8),
        BasicBlock(8, 8),
    )
    prunable, unprunable = groups(stage, torch.randn(2, 3, 8, 8))
    assert unprunable == []
    # each block's inner conv is its own group; the stem and both block outputs are one
    assert prunable == [
        (["conv2d_1", "batch_norm_1", "relu_1"], list(range(8, 16))),
        (["conv2d_3", "batch_norm_3", "relu_3"], list(range(24, 32))),
        (
            [
                "conv2d_0",
                "batch_norm_0",
                "relu_0",
                "conv2d_2",
                "batch_norm_2",
                "add_0",
                "relu_2",
                "conv2d_4",
                "batch_norm_4",
                "add_1",
                "relu_4",
            ],
            list(range(32, 40)),
        ),
    ]


@pytest.mark.parametrize("use_linear", [False, True])
def test_squeeze_excite_groups(use_linear):
    block = nn.Sequential(nn.Conv2d(3, 8, 1), SqueezeExcite(8, 4, use_linear=use_linear))
    prunable, unprunable = groups(block, torch.randn(2, 3, 6, 6))
    if not use_linear:
        # the excitation conv's channels scale the features channel by channel: one group
        assert prunable == [
            (
                ["conv2d_0", "adaptive_avg_pool2d_0", "conv2d_2", "sigmoid_0", "mul_0"],
                list(range(8)),
            ),
            (["conv2d_1", "relu_0"], [8, 9]),
        ]
        assert unprunable == []
    else:
        # the views between pooling, linears and the product carry no channels
        assert prunable == [(["linear_0", "relu_0"], [8, 9])]
        assert unprunable == [
            (["conv2d_0", "adaptive_avg_pool2d_0"], list(range(8))),
            (["linear_1", "sigmoid_0"], list(range(10, 18))),
        ]


class Res2NetSplit(nn.Module):
    """A Res2Net-style block: one piece of a split is added to a conv of another."""

    def __init__(self, piece_first):
        super().__init__()
        self.reduce = nn.Conv2d(3, 8, 1)
        self.branch = nn.Conv2d(4, 4, 3, padding=1)
        self.fuse = nn.Conv2d(8, 2, 1)
        self.piece_first = piece_first

    def forward(self, x):
        first, second = torch.split(self.reduce(x), 4, dim=1)
        branch = self.branch(first)
        mixed = second + branch if self.piece_first else branch * second
        return self.fuse(torch.cat([mixed, second], 1))


@pytest.mark.parametrize("piece_first", [True, False])
def test_split_piece_operand_is_sized_from_the_result(piece_first):
    # the piece has no shape of its own; it used to stop the analysis
    prunable, unprunable = groups(Res2NetSplit(piece_first), torch.randn(2, 3, 6, 6))
    assert prunable == [(["conv2d_2"], [12, 13])]  # the output, for get_cutplan to move
    # the piece spans the branch's full width: the branch's channels cannot go alone
    assert unprunable == [(["conv2d_0"], list(range(8))), (["conv2d_1"], [8, 9, 10, 11])]
