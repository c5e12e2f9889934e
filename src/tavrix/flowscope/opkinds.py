"""Which recorded operations keep, carry or reduce channels.

Every entry is an object the tracer records as ``NodeInfo.operation``: the
``torch`` function, the ``torch.nn.functional`` function, the tensor method,
its in-place variant and the operator dunders, whichever a model may call.
A form never recorded (``F.tanh`` arrives as ``Tensor.tanh``) is harmless to
list and keeps hand-built graphs working.
"""

from __future__ import annotations

from typing import Any, Iterable, List, Tuple

import torch
import torch.nn.functional as F

__all__ = [
    "ELEMENTWISE_OPS",
    "CHANNELWISE_OPS",
    "DROPOUT_OPS",
    "BINARY_ELEMENTWISE_OPS",
    "UNARY_REDUCE_OPS",
    "NORM_REDUCE_OPS",
    "VAR_REDUCE_OPS",
    "STD_REDUCE_OPS",
    "TRAIN_DEFAULT_DROPOUT_OPS",
    "CHANNEL_MIX_OPS",
    "get_torch_and_tensor_methods",
]

_Tensor = torch.Tensor


def _unique(ops: Iterable[Any]) -> Tuple[Any, ...]:
    """Ops in first-seen order, each once, skipping names this torch build lacks."""
    result: List[Any] = []
    for op in ops:
        if op is None:
            continue
        if not any(op is seen for seen in result):
            result.append(op)
    return tuple(result)


def _forms(*names: str, inplace: bool = True, functional: bool = True) -> Iterable[Any]:
    """torch.<name>, Tensor.<name>, F.<name> and, if asked, the `name_` variants."""
    variants = names + tuple(n + "_" for n in names) if inplace else names
    for n in variants:
        yield getattr(torch, n, None)
        yield getattr(_Tensor, n, None)
        if functional:
            yield getattr(F, n, None)


def get_torch_and_tensor_methods(name: str) -> Tuple[Any, ...]:
    """The ``torch`` function and the tensor method called ``name`` (those that exist)."""
    ops = _unique((getattr(torch, name, None), getattr(_Tensor, name, None)))
    if not ops:
        raise ValueError(f"torch has neither a function nor a tensor method named {name!r}")
    return ops


# Unary, shape-preserving and position-by-position: channels pass through on any axis.
ELEMENTWISE_OPS: Tuple[Any, ...] = _unique(
    [
        *_forms(
            "relu",
            "relu6",
            "gelu",
            "silu",
            "mish",
            "sigmoid",
            "tanh",
            "hardswish",
            "hardsigmoid",
            "hardtanh",
            "leaky_relu",
            "elu",
            "selu",
            "celu",
            "rrelu",
            "softplus",
            "softsign",
            "logsigmoid",
            "tanhshrink",
            "softshrink",
            "hardshrink",
            "threshold",
            "clamp",
            "clip",
            "clamp_min",
            "clamp_max",
            "exp",
            "log",
            "log1p",
            "sqrt",
            "rsqrt",
            "abs",
            "neg",
            "square",
            "reciprocal",
            "erf",
            "sin",
            "cos",
            "sign",
            "floor",
            "ceil",
            "round",
            "nan_to_num",
        ),
        # copies and dtype casts keep every element where it was
        *(
            getattr(_Tensor, n, None)
            for n in ("clone", "contiguous", "detach", "float", "half", "double", "bfloat16")
        ),
        torch.clone,
        torch.detach,
    ]
)

# Act on each channel separately, so they need the channels on axis 1.
CHANNELWISE_OPS: Tuple[Any, ...] = _unique(
    [
        F.batch_norm,
        torch.batch_norm,
        F.prelu,
        _Tensor.prelu,
        F.max_pool1d,
        F.max_pool2d,
        F.max_pool3d,
        torch.max_pool1d,
        torch.max_pool2d,
        torch.max_pool3d,
        F.avg_pool1d,
        F.avg_pool2d,
        F.avg_pool3d,
        F.adaptive_avg_pool1d,
        F.adaptive_avg_pool2d,
        F.adaptive_avg_pool3d,
        F.adaptive_max_pool1d,
        F.adaptive_max_pool2d,
        F.adaptive_max_pool3d,
        F.lp_pool1d,
        F.lp_pool2d,
        F.interpolate,
        F.upsample,
        F.upsample_nearest,
        F.upsample_bilinear,
    ]
)

DROPOUT_OPS: Tuple[Any, ...] = _unique(
    [
        F.dropout,
        F.dropout1d,
        F.dropout2d,
        F.dropout3d,
        F.alpha_dropout,
        F.feature_alpha_dropout,
        torch.dropout,
        torch.dropout_,
        torch.alpha_dropout,
        torch.alpha_dropout_,
        torch.feature_dropout,
        torch.feature_dropout_,
        torch.feature_alpha_dropout,
        torch.feature_alpha_dropout_,
    ]
)

# F.dropout* take `training=True` by default; alpha dropouts default to False and
# the torch.* forms take a required `train`.
TRAIN_DEFAULT_DROPOUT_OPS = frozenset([F.dropout, F.dropout1d, F.dropout2d, F.dropout3d])

_ADD_FORMS = (
    torch.add,
    _Tensor.add,
    _Tensor.add_,
    _Tensor.__add__,
    _Tensor.__radd__,
    _Tensor.__iadd__,
)
_SUB_FORMS = (
    torch.sub,
    torch.subtract,
    torch.rsub,
    _Tensor.sub,
    _Tensor.sub_,
    _Tensor.subtract,
    _Tensor.subtract_,
    _Tensor.__sub__,
    _Tensor.__rsub__,
    _Tensor.__isub__,
)
_MUL_FORMS = (
    torch.mul,
    torch.multiply,
    _Tensor.mul,
    _Tensor.mul_,
    _Tensor.multiply,
    _Tensor.multiply_,
    _Tensor.__mul__,
    _Tensor.__rmul__,
    _Tensor.__imul__,
)
_DIV_FORMS = (
    torch.div,
    torch.divide,
    torch.true_divide,
    _Tensor.div,
    _Tensor.div_,
    _Tensor.divide,
    _Tensor.divide_,
    _Tensor.true_divide,
    _Tensor.true_divide_,
    _Tensor.__truediv__,
    _Tensor.__rtruediv__,
    _Tensor.__itruediv__,
    getattr(_Tensor, "__div__", None),
    getattr(_Tensor, "__rdiv__", None),
    getattr(_Tensor, "__idiv__", None),
)

# Additions, subtractions, products and quotients: where branches meet.
CHANNEL_MIX_OPS = frozenset(_unique([*_ADD_FORMS, *_SUB_FORMS, *_MUL_FORMS, *_DIV_FORMS]))

# Two operands combined position by position under broadcasting.
BINARY_ELEMENTWISE_OPS: Tuple[Any, ...] = _unique(
    [
        *_ADD_FORMS,
        *_SUB_FORMS,
        *_MUL_FORMS,
        *_DIV_FORMS,
        torch.pow,
        _Tensor.pow,
        _Tensor.pow_,
        _Tensor.__pow__,
        _Tensor.__rpow__,
        _Tensor.__ipow__,
        torch.maximum,
        torch.minimum,
        _Tensor.maximum,
        _Tensor.minimum,
    ]
)

NORM_REDUCE_OPS = frozenset(_unique([torch.norm, _Tensor.norm, torch.linalg.vector_norm]))
VAR_REDUCE_OPS = frozenset(_unique([torch.var, _Tensor.var]))
STD_REDUCE_OPS = frozenset(_unique([torch.std, _Tensor.std]))

# Reductions over `dim` (position 1) with `keepdim` (position 2), plus the
# norm/var/std families whose layouts the engine reads separately.
UNARY_REDUCE_OPS: Tuple[Any, ...] = _unique(
    [
        *_forms(
            "mean",
            "sum",
            "nansum",
            "nanmean",
            "amax",
            "amin",
            "logsumexp",
            inplace=False,
            functional=False,
        ),
        *NORM_REDUCE_OPS,
        *VAR_REDUCE_OPS,
        *STD_REDUCE_OPS,
    ]
)
