"""Operation catalogue, argument access and the small helpers."""

from __future__ import annotations

import itertools

import pytest
import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope import opkinds
from tavrix.flowscope.tracing import flowscope_model
from tavrix.pruning.engine import opsets
from tavrix.pruning.utils import are_indices_continuous
from tavrix.utils.argpick import ArgumentNotFoundError, get_argument
from tavrix.utils.common import get_submodule

from models import make

REGISTRY_COLLECTIONS = {
    "elementwise": opkinds.ELEMENTWISE_OPS,
    "channelwise": opkinds.CHANNELWISE_OPS,
    "dropout": opkinds.DROPOUT_OPS,
    "binary": opkinds.BINARY_ELEMENTWISE_OPS,
    "reduce": opkinds.UNARY_REDUCE_OPS,
}

OWN_HANDLERS = [
    F.conv1d, F.conv2d, F.conv3d, F.conv_transpose1d, F.conv_transpose2d, F.conv_transpose3d,
    F.linear, torch.cat, *opkinds.get_torch_and_tensor_methods("flatten"),
]  # fmt: skip


def test_registry_collections_are_disjoint_sequences_of_callables():
    for name, ops in REGISTRY_COLLECTIONS.items():
        assert isinstance(ops, (list, tuple)), name
        assert all(callable(op) for op in ops), name
        assert len(set(ops)) == len(ops), f"{name} lists an operation twice"
    for (a, ops_a), (b, ops_b) in itertools.combinations(REGISTRY_COLLECTIONS.items(), 2):
        assert not set(ops_a) & set(ops_b), f"{a} and {b} share operations"
    for op in OWN_HANDLERS:
        assert not any(op in ops for ops in REGISTRY_COLLECTIONS.values()), op


def test_engine_sets_are_consistent_with_the_registry():
    assert opsets.DROPOUT_TRAIN_DEFAULT_OPS <= set(opkinds.DROPOUT_OPS)
    assert F.dropout in opsets.DROPOUT_TRAIN_DEFAULT_OPS
    assert F.alpha_dropout not in opsets.DROPOUT_TRAIN_DEFAULT_OPS
    assert F.feature_alpha_dropout not in opsets.DROPOUT_TRAIN_DEFAULT_OPS
    special = opsets.NORM_OPS | opsets.VAR_OPS | opsets.STD_OPS
    assert special <= set(opkinds.UNARY_REDUCE_OPS)
    assert not opsets.NORM_OPS & opsets.VAR_OPS and not opsets.VAR_OPS & opsets.STD_OPS
    assert opsets.PRUNE_CHANNEL_MIX_OPS <= set(opkinds.BINARY_ELEMENTWISE_OPS)


def test_get_torch_and_tensor_methods():
    assert tuple(opkinds.get_torch_and_tensor_methods("flatten")) == (
        torch.flatten,
        torch.Tensor.flatten,
    )
    with pytest.raises(ValueError, match="no_such_op"):
        opkinds.get_torch_and_tensor_methods("no_such_op")


def _recorded(fn, *shapes):
    """The last non-metadata operation the tracer records for fn(*inputs)."""
    inputs = tuple(torch.rand(*s) + 0.5 for s in shapes)
    nodes, _ = flowscope_model(model=nn.Module(), args=inputs, entry_point=fn)
    return [n for n in nodes if n.operation_name != "__get__"][-1].operation


X4 = (2, 3, 4, 4)


def _inplace(op):
    def fn(x, y):
        z = x * 1
        return op(z, y)

    return fn


@pytest.mark.parametrize(
    "collection, fn, shapes",
    [
        ("elementwise", F.relu, [X4]),
        ("elementwise", nn.ReLU(inplace=True), [X4]),
        ("elementwise", lambda x: (x * 1).relu_(), [X4]),
        ("elementwise", nn.ReLU6(inplace=True), [X4]),
        ("elementwise", F.relu6, [X4]),
        ("elementwise", nn.GELU(), [X4]),
        ("elementwise", nn.GELU("tanh"), [X4]),
        ("elementwise", nn.SiLU(inplace=True), [X4]),
        ("elementwise", nn.Hardswish(), [X4]),
        ("elementwise", nn.Hardsigmoid(), [X4]),
        ("elementwise", nn.Sigmoid(), [X4]),
        ("elementwise", torch.sigmoid, [X4]),
        ("elementwise", F.sigmoid, [X4]),
        ("elementwise", nn.Tanh(), [X4]),
        ("elementwise", F.tanh, [X4]),
        ("elementwise", nn.LeakyReLU(0.1, inplace=True), [X4]),
        ("elementwise", nn.ELU(), [X4]),
        ("elementwise", nn.Mish(), [X4]),
        ("elementwise", nn.Softplus(), [X4]),
        ("elementwise", lambda x: x.clamp(0, 1), [X4]),
        ("elementwise", lambda x: torch.clamp(x, min=0), [X4]),
        ("elementwise", lambda x: x.contiguous(), [X4]),
        ("elementwise", torch.exp, [X4]),
        ("channelwise", nn.BatchNorm2d(3), [X4]),
        ("channelwise", nn.BatchNorm1d(3).eval(), [(2, 3)]),
        ("channelwise", nn.MaxPool2d(2), [X4]),
        ("channelwise", nn.AvgPool2d(2), [X4]),
        ("channelwise", nn.AdaptiveAvgPool2d(1), [X4]),
        ("channelwise", nn.AdaptiveMaxPool2d(1), [X4]),
        ("channelwise", nn.MaxPool1d(2), [(2, 3, 4)]),
        ("channelwise", nn.PReLU(3), [X4]),
        ("channelwise", nn.Upsample(scale_factor=2), [X4]),
        ("dropout", nn.Dropout(), [X4]),
        ("dropout", nn.Dropout().eval(), [X4]),
        ("dropout", nn.Dropout2d(), [X4]),
        ("dropout", nn.AlphaDropout(), [X4]),
        ("dropout", nn.FeatureAlphaDropout(), [X4]),
        ("dropout", lambda x: torch.dropout(x, 0.5, False), [X4]),
        ("binary", lambda x, y: x + y, [X4, X4]),
        ("binary", lambda x: 1 + x, [X4]),
        ("binary", lambda x, y: x - y, [X4, X4]),
        ("binary", lambda x: 1 - x, [X4]),
        ("binary", lambda x, y: x * y, [X4, X4]),
        ("binary", lambda x: 2 * x, [X4]),
        ("binary", lambda x, y: x / y, [X4, X4]),
        ("binary", lambda x: 1 / x, [X4]),
        ("binary", torch.add, [X4, X4]),
        ("binary", torch.mul, [X4, X4]),
        ("binary", _inplace(lambda z, y: z.__iadd__(y)), [X4, X4]),
        ("binary", _inplace(lambda z, y: z.__isub__(y)), [X4, X4]),
        ("binary", _inplace(lambda z, y: z.__imul__(y)), [X4, X4]),
        ("binary", _inplace(lambda z, y: z.__itruediv__(y)), [X4, X4]),
        ("binary", _inplace(lambda z, y: z.add_(y)), [X4, X4]),
        ("binary", lambda x: x**2, [X4]),
        ("reduce", lambda x: x.mean((2, 3)), [X4]),
        ("reduce", lambda x: torch.mean(x, dim=1), [X4]),
        ("reduce", lambda x: x.sum(1), [X4]),
        ("reduce", lambda x: x.amax(-1), [X4]),
        ("reduce", lambda x: torch.var(x, 1), [X4]),
        ("reduce", lambda x: x.std(1), [X4]),
        ("reduce", lambda x: x.norm(dim=1), [X4]),
        ("reduce", lambda x: torch.norm(x, 2, 1), [X4]),
    ],
)
def test_recorded_operations_are_catalogued(collection, fn, shapes):
    op = _recorded(fn, *shapes)
    assert op in REGISTRY_COLLECTIONS[collection], op


@pytest.mark.parametrize(
    "fn",
    [
        lambda x, y: x + y,
        lambda x, y: x.sub(y),
        lambda x, y: x * y,
        lambda x, y: torch.div(x, y),
        _inplace(lambda z, y: z.mul_(y)),
    ],
)
def test_channel_mix_ops_cover_recorded_forms(fn):
    assert _recorded(fn, X4, X4) in opsets.PRUNE_CHANNEL_MIX_OPS


@pytest.mark.parametrize(
    "fn, shape",
    [
        (nn.LayerNorm(4), X4),  # normalises the last axes: mixes positions
        (nn.GroupNorm(1, 3), X4),  # mixes the channels of a group
        (nn.InstanceNorm2d(3), X4),
        (lambda x: x.softmax(1), X4),
        (nn.PixelShuffle(2), (1, 8, 2, 2)),
        (lambda x: F.pad(x, (1, 1)), X4),
        (lambda x: x.view(2, -1), X4),
        (lambda x: x.transpose(1, 2), X4),
    ],
)
def test_channel_moving_operations_stay_uncatalogued(fn, shape):
    op = _recorded(fn, shape)
    assert not any(op in ops for ops in REGISTRY_COLLECTIONS.values()), op


def test_every_operation_of_the_test_models_is_accounted_for():
    # anything not listed here falls to the barrier handler; keep that list short
    known = set(itertools.chain(*REGISTRY_COLLECTIONS.values(), OWN_HANDLERS))
    expected_barriers = {
        torch.Tensor.view, torch.Tensor.reshape, torch.Tensor.transpose, torch.Tensor.matmul,
        torch.Tensor.softmax, F.layer_norm,
    }  # fmt: skip
    for name in (
        "resnet50_tiny",
        "mobilenetv2_small",
        "densenet_small",
        "se_resnet_small",
        "mlp",
        "transformer_block",
        "tiny_vit",
    ):
        model, x = make(name)
        nodes, _ = flowscope_model(model=model, args=(x,))
        unknown = (
            {n.operation for n in nodes if n.operation_name != "__get__"}
            - known
            - expected_barriers
        )
        assert not unknown, (name, unknown)


@pytest.mark.parametrize(
    "args, kwargs, default, expected",
    [
        ((1, 2, 3), {"dim": 9}, 0, 3),  # position wins over keyword
        ((1, 2), {"dim": 9}, 0, 9),
        ((1, 2), {}, 7, 7),
        ((1, 2), None, None, None),  # an explicit None default is returned
        ((), {"dim": False}, True, False),  # falsy values are still found
        (None, {"dim": 4}, 0, 4),
    ],
)
def test_get_argument(args, kwargs, default, expected):
    value = get_argument(arg_pos=2, arg_key="dim", args=args, kwargs=kwargs, default_value=default)
    assert value == expected


def test_get_argument_missing_without_default():
    with pytest.raises(ArgumentNotFoundError) as info:
        get_argument(arg_pos=1, arg_key="dim", args=(0,), kwargs={"other": 1})
    assert isinstance(info.value, KeyError)
    assert "1" in str(info.value) and "'dim'" in str(info.value)
    with pytest.raises(ValueError):
        get_argument(arg_pos=-1, arg_key="dim", args=(0,), kwargs={})
    with pytest.raises(TypeError):
        get_argument(1, "dim", (0,), {})  # keywords only


def test_get_submodule():
    model, _ = make("resnet18_tiny")
    assert get_submodule(model, "") is model
    assert get_submodule(model, "layer1.0.conv1") is model.layer1[0].conv1
    with pytest.raises(AttributeError, match="layer1.0"):
        get_submodule(model, "layer1.0.nothing")
    with pytest.raises(AttributeError):
        get_submodule(model, "layer1..conv1")
    with pytest.raises(AttributeError):
        get_submodule(model, "fc.weight")  # a parameter, not a module
    with pytest.raises(TypeError):
        get_submodule(model, None)


@pytest.mark.parametrize(
    "indices, expected",
    [
        ([], False),
        ([5], True),
        ([0, 1, 2, 3], True),
        ((3, 4, 5), True),
        ([0, 2, 3], False),
        ([3, 2, 1], False),
        ([1, 1, 2], False),
        ([-2, -1, 0], True),
    ],
)
def test_are_indices_continuous(indices, expected):
    assert are_indices_continuous(indices) is expected
