"""Extended label rules for transformers: attention (``nn.MultiheadAttention``,
``scaled_dot_product_attention``), parameters concatenated to a stream (a class token).

Written in Python: each handles one node per attention call, and the label work (merges,
fresh labels) runs in the engine. Every case they do not recognise goes to the rule the
extended set had before, so a pattern outside them stays a barrier with that rule's reason.

Attention ties its channels by heads. ``split`` of the extended rules chooses as for a
reshape into heads: ``"outer"`` removes whole heads, ``"inner"`` the same head_dim
positions from every head, ``"largest"`` whichever keeps more labels.
"""

from __future__ import annotations

import types
from typing import Any, List, Optional, Sequence

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.engine import oprules as ops
from tavrix.pruning.engine.ruleset import active_rule_set
from tavrix.pruning.explain import handler_rule
from tavrix.utils.argpick import get_argument

__all__ = ["head_groups", "is_parameter_like", "multi_head_attention_heads"]

Labels = List[int]


def _arg(node: Any, position: int, key: str, default: Any = None) -> Any:
    return get_argument(
        arg_pos=position, arg_key=key, args=node.args, kwargs=node.kwargs, default_value=default
    )


def _is_parameter(value: Any) -> bool:
    return (
        isinstance(value, TensorInfo)
        and isinstance(value.type, type)
        and issubclass(value.type, nn.Parameter)
    )


def is_parameter_like(value: Any) -> bool:
    """A tensor a cut can slice: a parameter, or a plain view of one (an expanded class
    token), which is cut through the parameter."""
    return _is_parameter(value) or (
        isinstance(value, TensorInfo) and getattr(value, "view_of", None) is not None
    )


def _record(state: Any, node: Any, labels: Sequence[int], axis: Optional[int]) -> None:
    """Records ``node`` with ``labels`` at the prunability they have now."""
    labels = list(labels)
    flags = [bool(state.is_prunable[label]) for label in labels]
    ops._add_node_output_channel_info(state, node, labels, flags, axis)


def _fresh(state: Any, shape: Sequence[int], axis: int) -> Labels:
    # the engine sizes new labels from a result shape; a tuple-valued node has none
    return list(ops._generate_new_channel_labels(state, types.SimpleNamespace(
        result_shape=tuple(shape)), axis))


def _last_axis_labels(state: Any, value: Any) -> Optional[Labels]:
    """The labels of a node whose channels lie along its last axis, else None."""
    if not isinstance(value, NodeInfo):
        return None
    shape = ops._get_shape(value)
    axis = ops._get_prune_dimension(state, value)
    if shape is None or axis is None or len(shape) == 0:
        return None
    if axis % len(shape) != len(shape) - 1:
        return None
    return list(ops._get_labels(state, value))


def head_groups(heads: int, head_dim: int, split: str) -> str:
    """Which positions of ``heads`` blocks of ``head_dim`` go together: ``"heads"`` (whole
    heads) or ``"positions"`` (position j of every head)."""
    if split == "outer":
        return "heads"
    if split == "inner":
        return "positions"
    return "heads" if heads >= head_dim else "positions"


def _tie_heads(state: Any, labels: Labels, heads: int, mode: str) -> None:
    width = len(labels) // heads
    if mode == "heads":
        for h in range(heads):
            ops._merge_labels(state, labels[h * width:(h + 1) * width])
    else:
        ops._merge_label_groups(state, [labels[h * width:(h + 1) * width] for h in range(heads)])


def multi_head_attention_heads(heads: int, kept: Sequence[int], width: int) -> int:
    """The heads left of a ``width``-wide attention of ``heads`` heads keeping positions
    ``kept``: whole heads gone, or the same positions gone from every head (heads stay).
    ValueError for anything else."""
    head_dim = width // heads
    per_head: List[List[int]] = [[] for _ in range(heads)]
    for position in kept:
        per_head[position // head_dim].append(position % head_dim)
    left = [h for h in range(heads) if per_head[h]]
    if all(len(per_head[h]) == head_dim for h in left):
        return len(left)
    if len(left) == heads and len({tuple(p) for p in per_head}) == 1:
        return heads
    raise ValueError(
        f"it keeps {[len(p) for p in per_head]} positions of its {heads} heads: neither whole "
        "heads nor the same positions of every head"
    )


# ---------------------------------------------------------------- concatenated parameters


@handler_rule("concatenation with a parameter (extended rules)")
def _cat_parameter_node_handler(state: Any, node: Any) -> None:
    """``torch.cat`` along an axis other than the channels, of traced pieces and parameters
    (a class token expanded over the batch) spanning all the channels: the parameters are cut
    with them. Everything else as the concatenation rule."""
    pieces = _arg(node, 0, "tensors")
    dim = _arg(node, 1, "dim", 0)
    shape = node.result_shape
    if isinstance(pieces, (list, tuple)) and isinstance(dim, int) and shape is not None:
        traced = [p for p in pieces if isinstance(p, NodeInfo)]
        others = [p for p in pieces if not isinstance(p, NodeInfo)]
        axes = {ops._get_prune_dimension(state, p) for p in traced}
        if traced and others and len(axes) == 1 and None not in axes:
            rank = len(shape)
            axis = next(iter(axes)) % rank
            if dim % rank != axis and all(
                is_parameter_like(p) and len(p.shape) == rank and p.shape[axis] == shape[axis]
                for p in others
            ):
                labels = ops._merge_label_groups(
                    state, [list(ops._get_labels(state, p)) for p in traced]
                )
                if any(getattr(p, "view_of", None) is not None for p in others):
                    # the code reads the pieces' sizes to expand the parameter to them
                    for piece in traced:
                        ops._note_count_read_for(piece)
                _record(state, node, labels, axis)
                return
    ops._cat_node_handler(state, node)


# ---------------------------------------------------------------- nn.MultiheadAttention


@handler_rule("multi-head attention (extended rules)")
def _multi_head_attention_node_handler(state: Any, node: Any) -> None:
    """``F.multi_head_attention_forward`` with packed q/k/v weights and no attention weights
    returned: query, key and value share the columns of ``in_proj_weight``, and its width is
    the width of q, k and v (``embed_dim`` checks both), so input position p, row p of q, k
    and v and column p of ``out_proj`` are one label, tied by heads; the output channels are
    ``out_proj``'s rows. Other forms are barriers."""
    query, key, value = (_arg(node, i, n) for i, n in enumerate(("query", "key", "value")))
    heads = _arg(node, 4, "num_heads")
    in_weight = _arg(node, 5, "in_proj_weight")
    in_bias = _arg(node, 6, "in_proj_bias")
    out_weight = _arg(node, 11, "out_proj_weight")
    out_bias = _arg(node, 12, "out_proj_bias")
    plain = (
        _arg(node, 7, "bias_k") is None
        and _arg(node, 8, "bias_v") is None
        and _arg(node, 9, "add_zero_attn") is False
        and _arg(node, 15, "need_weights", True) is False
        and _arg(node, 17, "use_separate_proj_weight", False) is False
        and _arg(node, 21, "static_k") is None
        and _arg(node, 22, "static_v") is None
        and isinstance(heads, int)
        and heads > 0
        and _is_parameter(in_weight)
        and _is_parameter(out_weight)
        and (in_bias is None or _is_parameter(in_bias))
        and (out_bias is None or _is_parameter(out_bias))
    )
    inputs = [_last_axis_labels(state, x) for x in (query, key, value)]
    shape = ops._get_shape(query)
    if not plain or any(labels is None for labels in inputs) or shape is None:
        ops._default_node_handler(state, node)
        return
    width = len(inputs[0])
    if (
        any(len(labels) != width for labels in inputs)
        or tuple(in_weight.shape) != (3 * width, width)
        or len(out_weight.shape) != 2
        or out_weight.shape[1] != width
        or width % heads
    ):
        ops._default_node_handler(state, node)
        return
    merged = list(ops._merge_label_groups(state, inputs))
    ops._note_attention_width(merged)
    _tie_heads(state, merged, heads, head_groups(heads, width // heads, active_rule_set().option(
        "split")))
    out_shape = (*shape[:-1], out_weight.shape[0])
    axis = len(out_shape) - 1
    ops._note_piece_shape(node, out_shape)
    ops._add_node_output_channel_info(state, node, _fresh(state, out_shape, axis), True, axis)


def _register() -> None:
    from tavrix.pruning.rules import register_extended_handler
    from tavrix.pruning.rules.coverage import LAYER_WEIGHT_ARGUMENTS

    register_extended_handler(torch.cat)(_cat_parameter_node_handler)
    register_extended_handler(F.multi_head_attention_forward)(_multi_head_attention_node_handler)
    LAYER_WEIGHT_ARGUMENTS[F.multi_head_attention_forward] = (11, "out_proj_weight")


_register()
