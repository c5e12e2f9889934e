"""Operation families: one object per family holds what every phase knows of its operations.

Each module here declares the families of one kind of operation (:class:`OpFamily`: the
operations, their label handler, cut, check replays, module adapters, coverage axes and rule
set). They are registered below, in this order, into the one registry
(:mod:`tavrix.pruning.opfamily`), which the label walk of the extended rules, the shrink, the
check and coverage read. A new operation is supported end to end by one more family::

    from tavrix.pruning import ops

    ops.register(ops.OpFamily("my_scale", (my_scale,), label=handler, cut=rule))
"""

from __future__ import annotations

from typing import Tuple

from tavrix.pruning.opfamily import OpFamily, families, forms, register, unregister
from tavrix.pruning.ops import (
    attention,
    cat_flatten,
    conv_linear,
    elementwise,
    embedding,
    matmul,
    norm,
    reshape,
)

__all__ = ["OpFamily", "families", "forms", "register", "unregister"]


def _families() -> Tuple[OpFamily, ...]:
    # The registration order. A function, not a module-level tuple: the family modules and
    # the phases import one another, and mypy infers a module's constants only once it has
    # checked that module.
    return (
        # the standard rules (labelled by the engine's standard registry)
        elementwise.ELEMENTWISE,
        elementwise.CHANNELWISE,
        norm.BATCH_NORM,
        elementwise.PRELU,
        elementwise.DROPOUT,
        elementwise.BINARY,
        elementwise.UNARY_REDUCE,
        conv_linear.CONV,
        conv_linear.CONV_TRANSPOSE,
        conv_linear.LINEAR,
        cat_flatten.FLATTEN,
        cat_flatten.CAT,
        # the extended rules, in front of the standard ones in an extended walk
        reshape.PERMUTE,
        reshape.TRANSPOSE,
        reshape.MOVEDIM,
        reshape.RESHAPE,
        reshape.EXPAND,
        reshape.GETITEM,
        reshape.PIECES,
        reshape.STACK,
        reshape.PAD,
        reshape.ROLL,
        reshape.FRESH_TENSOR,
        conv_linear.GROUPED_CONV,
        conv_linear.GROUPED_CONV_TRANSPOSE,
        elementwise.PARAMETER_BINARY,
        norm.LAYER_NORM,
        norm.GROUP_NORM,
        norm.INSTANCE_NORM,
        cat_flatten.CAT_PARAMETER,
        attention.MULTI_HEAD_ATTENTION,
        attention.SCALED_DOT_PRODUCT,
        elementwise.CHANNEL_MEAN,
        norm.RMS_NORM,
        embedding.EMBEDDING,
        elementwise.CONVERSION,
        matmul.MATMUL,
        matmul.ADDMM,
        attention.SOFTMAX,
        attention.HEAD_DIM_SCALE,
        reshape.SPLIT,
    )


_ORDER = _families()

for _family in _ORDER:
    register(_family)
del _family
