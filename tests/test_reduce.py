"""Reduction handler on graphs traced from small modules."""

from fractions import Fraction

import pytest
import torch
from torch import nn

from tavrix.flowscope import TraceTensor
from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.engine import oprules

from graph_helpers import record, walk


class Reduced(nn.Module):
    """A conv labelling axis 1 of an (N, 8, H, W) tensor, then `fn` on its output."""

    def __init__(self, fn):
        super().__init__()
        self.conv = nn.Conv2d(3, 8, 1)
        self.fn = fn

    def forward(self, x):
        return self.fn(self.conv(x))


KEEPS = list(range(8))


@pytest.mark.parametrize(
    "fn, prune_dimension",
    [
        (lambda t: t.mean((2, 3)), 1),
        (lambda t: t.mean(0), 0),
        (lambda t: t.mean([2, 3], True), 1),
        (lambda t: t.mean(0, keepdim=True), 1),
        (lambda t: t.sum(dim=-1), 1),
        (lambda t: t.amax((-2, 0)), 0),
        (lambda t: torch.logsumexp(t, 3, True), 1),
        (lambda t: t.var(0, True, True), 1),  # (dim, unbiased, keepdim)
        (lambda t: torch.std(t, 2, keepdim=True), 1),
        (lambda t: t.norm(2.0, 0), 0),
        (lambda t: torch.norm(t, "fro", (2, 3)), 1),
        (lambda t: torch.linalg.vector_norm(t, 2, 0), 0),  # int order at position 1
        (lambda t: torch.linalg.vector_norm(t, 2.0, -1), 1),  # float order at position 1
    ],
    ids=[
        "spatial",
        "batch",
        "keepdim",
        "keepdim-kw",
        "neg",
        "amax-mixed",
        "logsumexp",
        "var",
        "std-kw",
        "norm-method",
        "norm-fro",
        "vector-norm-int",
        "vector-norm-float",
    ],
)
def test_channels_survive_the_reduction(recwarn, fn, prune_dimension):
    state, nodes = walk(Reduced(fn), torch.randn(2, 3, 4, 4))
    assert record(state, nodes[-1]) == (KEEPS, [True] * 8, prune_dimension)
    assert len(recwarn) == 0


@pytest.mark.parametrize(
    "fn",
    [
        lambda t: t.mean(),
        lambda t: t.sum(dim=None),
        lambda t: t.sum(dim=[]),  # an empty axis list reduces over every axis
        lambda t: t.mean(-3),
        lambda t: t.amax((1, 2), keepdim=True),
        lambda t: torch.var(t, True),  # (input, unbiased): every axis
        lambda t: t.std(1, True, True),
        lambda t: torch.linalg.vector_norm(t, 2.0, (1, 2)),
    ],
    ids=[
        "all",
        "none",
        "empty",
        "neg-channel",
        "amax-channel",
        "var-unbiased",
        "std-channel",
        "vector-norm-channel",
    ],
)
def test_reductions_that_remove_the_channels_are_barriers(fn):
    state, nodes = walk(Reduced(fn), torch.randn(2, 3, 4, 4))
    assert record(state, nodes[-1]) == ([], [], None)
    assert record(state, nodes[0])[1] == [False] * 8


def test_input_without_channels_is_a_barrier_whatever_is_reduced():
    class Rolled(nn.Module):
        def forward(self, x):
            return torch.roll(x, 1, 2).mean((2, 3))

    state, nodes = walk(Rolled(), torch.randn(2, 3, 4, 4))
    assert record(state, nodes[-1]) == ([], [], None)


X = TensorInfo((2, 8, 4, 4), TraceTensor, 1)


@pytest.mark.parametrize(
    "operation, args, kwargs, expected",
    [
        (torch.var, (X, True), {}, (None, False)),
        (torch.var, (X, 1, True, True), {}, ([1], True)),
        (torch.std, (X, False, (2, 3)), {}, ([2, 3], False)),
        (torch.std, (X, 1, True, False), {"keepdim": True}, ([1], True)),
        (torch.norm, (X, 2, 1), {}, ([1], False)),
        (torch.norm, (X, "nuc", (0, 1), True), {}, ([0, 1], True)),
        (torch.norm, (X, 2.0, 1), {}, ([1], False)),
        (torch.norm, (X, None, 2), {}, (None, False)),  # None at position 1 is the dimension
        (torch.norm, (X,), {"dim": -1, "keepdim": True}, ([-1], True)),
        (torch.sum, (X, (1, 2)), {}, ([1, 2], False)),
    ],
)
def test_argument_layouts(operation, args, kwargs, expected):
    node = NodeInfo(operation, operation.__name__, args, kwargs)
    dim, keepdim = oprules._get_args_for_unary_reduce(node=node)
    assert (dim, bool(keepdim)) == expected


@pytest.mark.parametrize(
    "arg, operation, expected",
    [
        (2, torch.norm, False),
        (2.5, torch.norm, False),
        (Fraction(3, 2), torch.norm, False),  # any numbers.Real
        ("fro", torch.norm, False),
        (1, torch.var, True),
        ((1, 2), torch.norm, True),
        (True, torch.std, False),
    ],
)
def test_first_argument_is_dimension(arg, operation, expected):
    assert oprules._unary_reduce_first_arg_is_dim(arg=arg, operation=operation) is expected


def test_first_argument_of_an_unknown_reduction():
    with pytest.raises(NotImplementedError, match="^Unknown reduction operation$"):
        oprules._unary_reduce_first_arg_is_dim(1, torch.sum)


def _labelled(state, shape, prune_dimension=1):
    node = NodeInfo(torch.relu, "relu", (), result_shape=shape)
    labels = oprules._generate_new_channel_labels(state, node, prune_dimension)
    oprules._add_node_output_channel_info(state, node, labels, True, prune_dimension)
    return node


@pytest.mark.parametrize(
    "dim, source_shape, source_dim, message",
    [
        ("C", (2, 8), 1, "Pruning does not support named tensors"),
        ([1, "H"], None, 1, "Pruning does not support named tensors"),  # before any shape read
        (1, None, 1, "Cannot determine shape for reduction operation input"),
        (1, (2, 8, 4, 4), 4, r"Prune dimension index exceeds the number of dimensions \(4 >= 4\)"),
    ],
)
def test_reduction_errors_leave_the_state_alone(dim, source_shape, source_dim, message):
    state = oprules.PruneGraphParserState()
    source = _labelled(state, (2, 8, 4, 4) if source_dim == 1 else (2, 8, 4, 4, 1), source_dim)
    source.result_shape = source_shape
    node = NodeInfo(torch.sum, "sum", (source, dim))
    with pytest.raises(oprules.PruningEngineRuntimeException, match=f"^{message}$"):
        oprules._unary_reduce_handler(pruning_state=state, node=node)
    assert node not in state.channel_labels_by_nodes
    assert all(state.is_prunable.values())
