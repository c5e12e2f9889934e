"""Concatenation and flatten handlers on graphs traced from small modules."""

import pytest
import torch
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo, flowscope_model
from tavrix.pruning.engine import oprules
from tavrix.pruning.engine.graphwalk import PruneGraphParser

from graph_helpers import Fn, record, walk
from models import MLP, DenseBlock


class Cat(nn.Module):
    """torch.cat of the branch outputs, each branch applied to the model input."""

    def __init__(self, *branches, dim=1):
        super().__init__()
        self.branches = nn.ModuleList(branches)
        self.dim = dim

    def forward(self, x):
        parts = [branch(x) for branch in self.branches]
        return torch.cat(parts) if self.dim is None else torch.cat(parts, self.dim)


MODEL_INPUT = nn.Identity()  # a tensor no node produced
ROLLED = Fn(lambda t: torch.roll(t, 1, 2))  # a node without prune dimension
BARRIER = ([], [], None)


@pytest.mark.parametrize(
    "model, shape, expected",
    [
        (Cat(nn.Conv2d(4, 16, 1)), (2, 4, 3, 3), (list(range(16)), [True] * 16, 1)),
        (
            Cat(nn.Conv2d(4, 16, 1), nn.Conv2d(4, 32, 1)),
            (2, 4, 3, 3),
            (list(range(48)), [True] * 48, 1),
        ),
        (
            Cat(nn.Conv2d(4, 16, 1), nn.Conv2d(4, 32, 1), dim=-3),
            (2, 4, 3, 3),
            (list(range(48)), [True] * 48, 1),
        ),
        (Cat(nn.Linear(6, 8), nn.Linear(6, 4), dim=-1), (2, 6), (list(range(12)), [True] * 12, 1)),
        # inputs without channels add fresh unprunable labels, sized from their shape
        (
            Cat(nn.Conv2d(4, 16, 1), ROLLED),
            (2, 4, 3, 3),
            (list(range(20)), [True] * 16 + [False] * 4, 1),
        ),
        (
            Cat(MODEL_INPUT, nn.Conv2d(4, 16, 1)),
            (2, 4, 3, 3),
            ([16, 17, 18, 19] + list(range(16)), [False] * 4 + [True] * 16, 1),
        ),
        # across the pruned axis, torch.cat's default dim included: positions merge
        (
            Cat(nn.Conv2d(4, 16, 1), nn.Conv2d(4, 16, 1), dim=0),
            (2, 4, 3, 3),
            (list(range(16)), [True] * 16, 1),
        ),
        (
            Cat(nn.Conv2d(4, 16, 1), nn.Conv2d(4, 16, 1), dim=None),
            (2, 4, 3, 3),
            (list(range(16)), [True] * 16, 1),
        ),
        (
            Cat(nn.Conv2d(4, 16, 1), Fn(lambda t: torch.roll(torch.cat([t] * 4, 1), 1, 2)), dim=0),
            (2, 4, 3, 3),
            BARRIER,
        ),
        # channels (axis 1) against width (axis 3): the inputs disagree on the axis
        (Cat(nn.Conv2d(3, 3, 1), nn.Linear(3, 3)), (2, 3, 3, 3), BARRIER),
        (Cat(MODEL_INPUT, ROLLED), (2, 4, 3, 3), BARRIER),
    ],
    ids=[
        "single",
        "channels",
        "dim-3",
        "linear-dim-1",
        "unlabelled-node",
        "model-input",
        "across",
        "default-dim",
        "across-unlabelled",
        "different-axes",
        "no-channels",
    ],
)
def test_concatenation(model, shape, expected):
    state, nodes = walk(model, torch.randn(*shape))
    assert record(state, nodes[-1]) == expected
    # the inputs' own records never change; a barrier stops every input channel
    for node in nodes[:-1]:
        labels, flags, _ = record(state, node)
        if node.unique_name.startswith("roll"):
            assert not labels
        elif node.unique_name.startswith(("conv", "linear")):
            assert flags == [expected is not BARRIER] * len(labels)
    if model.dim in (0, None) and expected is not BARRIER:
        # the second input now carries the first input's labels
        assert list(state.channel_labels_by_nodes[nodes[1]]) == list(range(16))


@pytest.mark.parametrize(
    "inputs, kwargs, message",
    [
        ([], {}, "Attempting to concatenate an empty list of tensors"),
        ([16, 32], {"dim": 0}, r"Attempting to merge label groups of different sizes: \(16, 32\)"),
        ([16, 16], {"dim": "C"}, "Pruning does not support named tensors"),
    ],
    ids=["empty", "merge-lengths", "named-dim"],
)
def test_concatenation_errors(inputs, kwargs, message):
    # PyTorch rejects all of these before a trace could record them.
    state = oprules.PruneGraphParserState()
    tensors = []
    for item in inputs:
        if isinstance(item, int):
            tensors.append(NodeInfo(torch.relu, "relu", (), result_shape=(2, item, 3, 3)))
            labels = oprules._generate_new_channel_labels(state, tensors[-1], 1)
            oprules._add_node_output_channel_info(state, tensors[-1], labels, True, 1)
        else:
            tensors.append(TensorInfo(item or (), torch.Tensor, len(tensors)))
            tensors[-1].shape = item
    before = (state.next_ch_label, dict(state.is_prunable))
    node = NodeInfo(torch.cat, "cat", (tensors,), kwargs, result_shape=(4, 16, 3, 3))
    with pytest.raises(oprules.PruningEngineRuntimeException, match=f"^{message}$"):
        oprules._cat_node_handler(pruning_state=state, node=node)
    assert node not in state.channel_labels_by_nodes
    assert (state.next_ch_label, dict(state.is_prunable)) == before


class ChannelShuffleUnit(nn.Module):
    """Half the channels pass through, the other half go through a branch."""

    def __init__(self, channels=16):
        super().__init__()
        self.stem = nn.Conv2d(3, channels, 1)
        self.branch = nn.Sequential(nn.Conv2d(channels // 2, 8, 1), nn.ReLU())

    def forward(self, x):
        x1, x2 = self.stem(x).chunk(2, dim=1)
        return torch.cat((x1, self.branch(x2)), dim=1)


def test_concatenating_a_chunk_piece_sizes_it_from_the_result():
    # chunk records one node for both pieces, so a piece has no shape of its own
    state, nodes = walk(ChannelShuffleUnit(), torch.randn(2, 3, 4, 4))
    chunk, branch_conv, cat = (
        next(n for n in nodes if n.unique_name.startswith(p)) for p in ("chunk", "conv2d_1", "cat")
    )
    assert chunk.result_shape is None
    labels, flags, dim = record(state, cat)
    branch_labels = list(state.channel_labels_by_nodes[branch_conv])
    assert dim == 1 and len(labels) == 16 and labels[8:] == branch_labels
    assert flags == [False] * 8 + [True] * 8


def test_two_unsized_pieces_in_one_concatenation_are_a_barrier():
    state = oprules.PruneGraphParserState()
    piece = NodeInfo(torch.chunk, "chunk", ())
    oprules._default_node_handler(state, piece)
    conv = NodeInfo(torch.relu, "relu", (), result_shape=(2, 4, 3, 3))
    oprules._add_node_output_channel_info(
        state, conv, oprules._generate_new_channel_labels(state, conv, 1), True, 1
    )
    node = NodeInfo(torch.cat, "cat", ([piece, conv, piece], 1), result_shape=(2, 12, 3, 3))
    oprules._cat_node_handler(state, node)
    assert list(state.channel_labels_by_nodes[node]) == []
    assert not any(state.is_prunable[label] for label in state.channel_labels_by_nodes[conv])


class Flatten(nn.Module):
    def __init__(self, head, *flatten_args):
        super().__init__()
        self.head = head
        self.flatten_args = flatten_args

    def forward(self, x):
        return torch.flatten(self.head(x), *self.flatten_args)


def pooled(size):
    return nn.Sequential(nn.Conv2d(3, 64, 1), nn.AdaptiveAvgPool2d(size))


@pytest.mark.parametrize(
    "model, shape, expected, source_prunable",
    [
        (Flatten(pooled(1), 1), (8, 3, 4, 4), (list(range(64)), 1), True),  # size-1 axes only
        (Flatten(pooled(1), -3, -1), (8, 3, 4, 4), (list(range(64)), 1), True),
        (Flatten(pooled(7), 1), (8, 3, 7, 7), ([], None), False),  # 64 x 7 x 7 would repeat
        (Flatten(pooled(7), 2), (8, 3, 7, 7), (list(range(64)), 1), True),  # axis before range
        (Flatten(nn.Linear(6, 64), 1, 2), (2, 3, 4, 5, 6), (list(range(64)), 3), True),  # after
        (Flatten(ROLLED, 1), (2, 3, 4, 4), ([], None), None),
        (Flatten(MODEL_INPUT, 1), (2, 3, 4, 4), ([], None), None),
        (Fn(lambda t: torch.relu(t).sum().flatten()), (2, 3), ([], None), None),  # 0-d source
    ],
    ids=[
        "size-one",
        "negative-bounds",
        "across",
        "before",
        "after",
        "unlabelled",
        "model-input",
        "scalar",
    ],
)
def test_flatten(model, shape, expected, source_prunable):
    state, nodes = walk(model, torch.randn(*shape))
    labels, flags, dim = record(state, nodes[-1])
    assert (labels, dim) == expected and all(flags)
    expected_flags = [] if source_prunable is None else [source_prunable] * 64
    assert list(state.is_prunable.values()) == expected_flags


def test_flatten_of_a_labelled_source_without_dimensions_is_an_error():
    # only a hand-built record can claim channels on a 0-d tensor
    state = oprules.PruneGraphParserState()
    src = NodeInfo(torch.relu, "relu", (), result_shape=())
    oprules._default_node_handler(state, src, prune_dimension=0)
    node = NodeInfo(torch.flatten, "flatten", (src,), result_shape=(1,))
    message = r"^Prune dimension index exceeds the number of dimensions \(0 >= 0\)$"
    with pytest.raises(oprules.PruningEngineRuntimeException, match=message):
        oprules._flatten_node_handler(state, node)
    assert node not in state.channel_labels_by_nodes


def test_mlp_flattening_its_input_then_pruning_linears():
    state, nodes = walk(MLP(3 * 4 * 4, [8, 6], 10), torch.randn(2, 3, 4, 4))
    assert record(state, nodes[0]) == BARRIER
    linears = [record(state, n) for n in nodes if n.unique_name.startswith("linear")]
    assert [(len(labels), all(flags), dim) for labels, flags, dim in linears] == [
        (8, True, 1),
        (6, True, 1),
        (10, True, 1),
    ]


@pytest.mark.parametrize("list_style", [False, True])
def test_dense_block_groups(list_style):
    block = nn.Sequential(nn.Conv2d(3, 4, 1), DenseBlock(2, 4, 2, list_style=list_style))
    nodes, _ = flowscope_model(
        model=block.eval(), args=(torch.randn(2, 3, 6, 6),), kwargs={}, entry_point="__call__"
    )
    prunable, unprunable, *_ = PruneGraphParser().find_prunable_groups(nodes)
    found = [([n.unique_name for n in ns], list(ls)) for ns, ls in prunable]
    assert unprunable == []
    # every earlier feature map travels through every later concatenation
    if list_style:
        stem = [
            "conv2d_0",
            "cat_0",
            "batch_norm_0",
            "relu_0",
            "cat_1",
            "batch_norm_2",
            "relu_2",
            "cat_2",
        ]
        first_growth = ["conv2d_2", "cat_1", "batch_norm_2", "relu_2", "cat_2"]
    else:
        stem = ["conv2d_0", "batch_norm_0", "relu_0", "cat_0", "batch_norm_2", "relu_2", "cat_1"]
        first_growth = ["conv2d_2", "cat_0", "batch_norm_2", "relu_2", "cat_1"]
    assert found == [
        (stem, [0, 1, 2, 3]),
        (["conv2d_1", "batch_norm_1", "relu_1"], list(range(4, 12))),
        (first_growth, [12, 13]),
        (["conv2d_3", "batch_norm_3", "relu_3"], list(range(14, 22))),
        (["conv2d_4", stem[-1]], [22, 23]),
    ]
