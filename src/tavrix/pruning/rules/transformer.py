"""Extended label rules for transformers: attention (``nn.MultiheadAttention``,
``scaled_dot_product_attention``, products written by hand), matrix products with a weight
(GPT-2's ``Conv1D``), RMSNorm (``rms_norm``, a mean over the channels), embeddings, parameters
concatenated to a stream (a class token), an even split of the channels, softmax and dtype
conversions.

Written in Python: each handles one node per call, and the label work (merges, fresh labels)
runs in the engine. Every case they do not recognise goes to the rule the extended set had
before, so a pattern outside them stays a barrier with that rule's reason.

Attention ties its channels by heads. ``split`` of the extended rules chooses as for a
reshape into heads: ``"outer"`` removes whole heads, ``"inner"`` the same head_dim
positions from every head, ``"largest"`` whichever keeps more labels.
"""

from __future__ import annotations

import types
from typing import Any, List, Optional, Sequence, Tuple

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.codereads import unpacked_size_unused
from tavrix.flowscope.tracing import NodeInfo, TensorInfo, held_sizes
from tavrix.pruning.engine import oprules as ops
from tavrix.pruning.engine.ruleset import active_rule_set
from tavrix.pruning.recording import handler_rule
from tavrix.utils.argpick import get_argument

__all__ = [
    "ADDMMS",
    "CONVERSIONS",
    "MATMULS",
    "SOFTMAXES",
    "SPLITS",
    "attention_layout",
    "channel_slice",
    "channel_split_size",
    "head_groups",
    "held_channel_slice",
    "is_parameter_like",
    "looked_up_parameter",
    "matmul_layout",
    "multi_head_attention_heads",
    "whole_heads_of_uneven_pieces",
]

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
    return list(
        ops._generate_new_channel_labels(
            state, types.SimpleNamespace(result_shape=tuple(shape)), axis
        )
    )


def _shape(state: Any, value: Any) -> Optional[Sequence[int]]:
    """A node's or tensor's shape; a piece's of a tuple-valued node (``q, k, v = qkv``)."""
    shape = ops._get_shape(value)
    if shape is None and isinstance(value, NodeInfo):
        return ops._piece_shape(state, value)
    return shape


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
            ops._merge_labels(state, labels[h * width : (h + 1) * width])
    else:
        ops._merge_label_groups(state, [labels[h * width : (h + 1) * width] for h in range(heads)])


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


def _is_empty(value: Any) -> bool:
    return isinstance(value, TensorInfo) and 0 in value.shape


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
        # an empty tensor adds nothing (a key/value cache starts as ``torch.tensor([])``)
        others = [p for p in pieces if not isinstance(p, NodeInfo) and not _is_empty(p)]
        if len(traced) == 1 and not others:
            ops._node_keep_state(state, node, traced[0])
            return
        axes = {ops._get_prune_dimension(state, p) for p in traced}
        only = next(iter(axes)) if len(axes) == 1 else None
        if traced and others and only is not None:
            rank = len(shape)
            axis = only % rank
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


@handler_rule("stack (extended rules)")
def _stack_node_handler(state: Any, node: Any) -> None:
    """``torch.stack`` of traced pieces with their channels along one axis (rotary
    embeddings' ``stack([-x[..., 1::2], x[..., ::2]], -1)`` of heads): position i of every
    piece sits at position i of the result, so they go together; the result keeps them along
    that axis, one further when the new axis comes before it."""
    pieces, dim, shape = _arg(node, 0, "tensors"), _arg(node, 1, "dim", 0), node.result_shape
    if (
        isinstance(pieces, (list, tuple))
        and pieces
        and all(isinstance(p, NodeInfo) for p in pieces)
        and isinstance(dim, int)
        and shape
    ):
        ranks = {len(_shape(state, p) or ()) for p in pieces}
        axes = {ops._get_prune_dimension(state, p) for p in pieces}
        labels = [list(ops._get_labels(state, p)) for p in pieces]
        rank = len(shape) - 1
        only = next(iter(axes)) if len(axes) == 1 else None
        if ranks == {rank} and only is not None and rank > 0:
            axis = only % rank
            if labels[0] and all(len(found) == len(labels[0]) for found in labels):
                merged = (
                    labels[0]
                    if all(found == labels[0] for found in labels)
                    else list(ops._merge_label_groups(state, labels))
                )
                _record(state, node, merged, axis + (dim % (rank + 1) <= axis))
                return
    ops._default_node_handler(state, node)


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
    inputs = [
        labels
        for labels in (_last_axis_labels(state, x) for x in (query, key, value))
        if labels is not None
    ]
    shape = ops._get_shape(query)
    if not plain or len(inputs) != 3 or shape is None:
        with state.rule(
            "multi-head attention returning its weights, with separate q/k/v "
            "weights, bias_k/bias_v or unlabelled inputs (extended rules)"
        ):
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
    _tie_heads(
        state, merged, heads, head_groups(heads, width // heads, active_rule_set().option("split"))
    )
    out_shape = (*shape[:-1], out_weight.shape[0])
    axis = len(out_shape) - 1
    ops._note_piece_shape(state, node, out_shape)
    ops._add_node_output_channel_info(state, node, _fresh(state, out_shape, axis), True, axis)


# ---------------------------------------------------------------- scaled_dot_product_attention


def attention_layout(state: Any, node: Any) -> Optional[str]:
    """How ``scaled_dot_product_attention``'s channels lie: ``"positions"`` (q, k and v
    labelled along head_dim), ``"heads"`` (along the heads axis), else None."""
    q, k, v = (_arg(node, i, n) for i, n in enumerate(("query", "key", "value")))
    if not all(isinstance(x, NodeInfo) for x in (q, k, v)):
        return None
    shapes = [
        _shape(state, x) for x in (q, k, v)
    ]  # v may be a piece: ``q, k, v = qkv.chunk(3, -1)``
    found = [ops._get_prune_dimension(state, x) for x in (q, k, v)]
    known = [s for s in shapes if s is not None and len(s) >= 3]
    axes = [a for a in found if a is not None]
    if len(known) != 3 or len(axes) != 3:
        return None
    rank = len(known[0])
    if any(len(s) != rank for s in known):
        return None
    axes = [a % rank for a in axes]
    if axes == [rank - 1] * 3:
        return "positions"
    if axes == [rank - 3] * 3:
        return "heads"
    return None


_PROJECTIONS = (F.linear, torch.addmm, torch.matmul, torch.Tensor.matmul)
_SHAPE_ONLY = frozenset(
    [
        "view",
        "reshape",
        "transpose",
        "permute",
        "contiguous",
        "split",
        "chunk",
        "unbind",
        "unflatten",
        "flatten",
        "__getitem__",
        "to",
        "type_as",
        "mul",
        "add",
        "cat",
        "neg",
    ]
)


def _note_attention_inputs(node: Any) -> None:
    """The attention code reads the shapes of q, k, v, of what they are made from (rotary
    embeddings read head_dim, ``hidden_states.shape[:-1]`` the tokens) and of its output, to
    split and merge heads; the heads and head_dim are this rule's, kept in step by the cut
    (the module's head counts follow), so these reads do not pin. Every piece of a
    concatenation leads back (timm's EVA rotates q and k past their prefix tokens)."""
    ops._note_count_read_for(node)
    for start in (_arg(node, i, n) for i, n in enumerate(("query", "key", "value"))):
        frontier: List[Any] = [start]
        seen: set = set()
        while frontier and len(seen) < 32:
            current = frontier.pop()
            if not isinstance(current, NodeInfo) or id(current) in seen:
                continue
            seen.add(id(current))
            ops._note_count_read_for(current)
            if current.operation in _PROJECTIONS:
                source = current.args[1] if current.operation is torch.addmm else current.args[0]
                for _ in range(2):  # the projection's input and what it is a view of
                    if not isinstance(source, NodeInfo):
                        break
                    ops._note_count_read_for(source)
                    if source.operation_name not in ("view", "reshape", "flatten"):
                        break
                    source = source.args[0]
                continue
            if current.operation_name not in _SHAPE_ONLY or not current.args:
                continue
            first = current.args[0]
            # a piece of the call's own (a key/value cache's start) is no step back
            frontier.extend(first if isinstance(first, (tuple, list)) else (first,))


_HEAD_SPLITS = frozenset(["view", "reshape", "unflatten"])
_TO_HEADS = _SHAPE_ONLY | {"expand", "repeat_interleave"}


def whole_heads_where_positions_pinned(state: Any, node: Any) -> List[Any]:
    """The reshapes into heads of an attention whose q and k head_dim positions the walk found
    all pinned (rotary embeddings rotate them in pairs with computed cos/sin, and slice
    head_dim by number): these split into whole heads in a second walk, so that such an
    attention loses whole heads where it could lose no positions. An attention with some
    positions free (rotary on part of head_dim) keeps them."""
    if attention_layout(state, node) == "heads":
        return []
    # q and k lost their labels (a product with a computed cos) or keep only pinned ones
    q, k = _arg(node, 0, "query"), _arg(node, 1, "key")
    labels = [*ops._get_labels(state, q), *ops._get_labels(state, k)]
    if any(state.is_prunable[label] for label in labels):
        return []
    return [
        split
        for start in (q, k, _arg(node, 2, "value"))
        for split in _splits_into_heads(state, start)
    ]


def _splits_into_heads(state: Any, start: Any) -> List[Any]:
    """The reshapes splitting a labelled axis on the way back from q, k or v to its
    projection."""
    found: List[Any] = []
    current, steps = start, 0
    while isinstance(current, NodeInfo) and steps < 16 and current.operation not in _PROJECTIONS:
        steps += 1
        if current.operation_name not in _TO_HEADS or not current.args:
            break
        first = current.args[0]
        if isinstance(first, (tuple, list)):
            first = next((p for p in first if isinstance(p, NodeInfo)), None)
        shape, before = current.result_shape, _shape(state, first)
        if (
            current.operation_name in _HEAD_SPLITS
            and shape is not None
            and before is not None
            and len(shape) > len(before)
            and ops._get_labels(state, first)
        ):
            found.append(current)
        current = first
    return found


_AXIS_MOVES = ("permute", "transpose", "contiguous")


def _behind_axis_moves(start: Any) -> Optional[Any]:
    """The first node the way back from ``start`` meets that is no permute, transpose or
    contiguous (within eight steps), else None."""
    current, steps = start, 0
    while isinstance(current, NodeInfo) and steps < 8 and current.args:
        steps += 1
        if current.operation_name not in _AXIS_MOVES:
            return current
        current = current.args[0]
    return None


def _uneven_split_of_heads(start: Any) -> Optional[Any]:
    """The reshape into heads that the way back from ``start`` (permutes, transposes) meets
    split into pieces of differing sizes along one of its axes (LeViT's q, k and v of each
    head: ``view(B, N, H, -1).split([16, 16, 32], dim=3)``), else None."""
    split = _behind_axis_moves(start)
    if split is None or split.operation_name != "split":
        return None
    sizes = _arg(split, 1, "split_size_or_sections")
    source = split.args[0]
    shape = source.result_shape if isinstance(source, NodeInfo) else None
    dim = _arg(split, 2, "dim", 0)
    if (
        isinstance(sizes, (list, tuple))
        and len(set(sizes)) > 1
        and shape is not None
        and isinstance(dim, int)
        and -len(shape) <= dim < len(shape)
        and source.operation_name in _HEAD_SPLITS
    ):
        return source
    return None


def whole_heads_of_uneven_pieces(state: Any, node: Any) -> List[Any]:
    """The reshapes into heads of a product of two traced tensors of which one is a piece of a
    head split into pieces of differing sizes (:func:`_uneven_split_of_heads`): no position
    of such a head is one of every piece, so only whole heads can go; the reshapes of both
    operands (AttentionDownsample's q, made apart from k and v) split into whole heads in a
    second walk."""
    a, b = _arg(node, 0, "input"), _arg(node, 1, "other")
    if not (isinstance(a, NodeInfo) and isinstance(b, NodeInfo)):
        return []
    pieces = [_uneven_split_of_heads(x) for x in (a, b)]
    if all(p is None for p in pieces):
        return []
    found: List[Any] = []
    for start, piece in zip((a, b), pieces):
        if piece is None:
            # rank kept, channels first: ``view(B, heads, key_dim, -1)`` of (B, C, H, W)
            piece = _reshape_behind(start)
            if piece is None:
                found.extend(_splits_into_heads(state, start))
                continue
        if ops._get_labels(state, piece.args[0]):
            found.append(piece)
    return found


def _reshape_behind(start: Any) -> Optional[Any]:
    """The reshape the way back from ``start`` (permutes, transposes) meets first, else None."""
    found = _behind_axis_moves(start)
    return found if found is not None and found.operation_name in _HEAD_SPLITS else None


def _mask_spans_heads(state: Any, node: Any) -> bool:
    """Whether the attention mask holds one entry per head (T5's relative position bias):
    nothing cuts its heads with q, k and v, so the heads must stay."""
    mask_shape = _shape(state, _arg(node, 3, "attn_mask"))
    return mask_shape is not None and len(mask_shape) >= 3 and mask_shape[-3] > 1


@handler_rule("scaled dot-product attention (extended rules)")
def _scaled_dot_product_attention_node_handler(state: Any, node: Any) -> None:
    """q and k lose the same positions; along head_dim (the same positions of every head) v's
    labels carry to the output; along the heads axis q, k and v lose whole heads together,
    and with grouped-query attention (``enable_gqa``) a key/value head goes with the query
    heads that read it. Other layouts are barriers."""
    layout = attention_layout(state, node)
    q, k, v = (_arg(node, i, n) for i, n in enumerate(("query", "key", "value")))
    if layout is not None:
        _note_attention_inputs(node)
    if layout == "positions":
        ops._decide(state, node, "positions")
        ops._merge_label_groups(
            state, [list(ops._get_labels(state, q)), list(ops._get_labels(state, k))]
        )
        _record(state, node, ops._get_labels(state, v), len(node.result_shape) - 1)
        return
    if layout == "heads" and _mask_spans_heads(state, node):
        with state.rule("attention mask with an entry per head (extended rules)"):
            ops._default_node_handler(state, node)
        return
    if layout == "heads":
        q_labels, k_labels, v_labels = (list(ops._get_labels(state, x)) for x in (q, k, v))
        if (
            len(k_labels) == len(v_labels)
            and len(q_labels) % len(k_labels) == 0
            and (len(q_labels) == len(k_labels) or _arg(node, 7, "enable_gqa", False) is True)
        ):
            ops._decide(state, node, "heads")
            ops._merge_label_groups(state, [k_labels, v_labels])
            repeats = len(q_labels) // len(k_labels)
            for g, label in enumerate(k_labels):
                ops._merge_labels(state, [label, *q_labels[g * repeats : (g + 1) * repeats]])
            _record(state, node, ops._get_labels(state, q), len(node.result_shape) - 3)
            return
    with state.rule("attention with q, k and v channels on different axes (extended rules)"):
        ops._default_node_handler(state, node)


# ---------------------------------------------------------------- normalisations, embeddings


def _reduced_axis(node: Any, rank: int) -> Optional[int]:
    dim = _arg(node, 1, "dim")
    if isinstance(dim, (tuple, list)) and len(dim) == 1:
        dim = dim[0]
    if not isinstance(dim, int) or isinstance(dim, bool) or not -rank <= dim < rank:
        return None
    return dim % rank


@handler_rule("mean over the channel axis (extended rules)")
def _channel_mean_node_handler(state: Any, node: Any) -> None:
    """``x.mean(channel_axis)`` (RMSNorm written by hand, a layer norm's statistics): the kept
    channels are averaged among themselves, so the channels stay prunable and the result
    carries none. Other reductions as under the standard rules."""
    source = _arg(node, 0, "input")
    shape = ops._get_shape(source) if isinstance(source, NodeInfo) else None
    axis = ops._get_prune_dimension(state, source) if shape else None
    if shape and axis is not None and _reduced_axis(node, len(shape)) == axis % len(shape):
        if len(ops._get_labels(state, source)) > 1 and _arg(node, 3, "dtype") is None:
            ops._add_node_output_channel_info(state, node, [], False, None)
            return
    ops._unary_reduce_handler(state, node)


@handler_rule("rms_norm (extended rules)")
def _rms_norm_node_handler(state: Any, node: Any) -> None:
    """``rms_norm`` over the channel axis (the last): cut with the channels, the remaining ones
    normalised among themselves; its weight goes with them."""
    source = _arg(node, 0, "input")
    normalized = _arg(node, 1, "normalized_shape")
    weight = _arg(node, 2, "weight")
    labels = _last_axis_labels(state, source)
    span = (
        1
        if isinstance(normalized, int)
        else len(normalized)
        if isinstance(normalized, (tuple, list))
        else 0
    )
    if labels is not None and span == 1 and _is_parameter(weight):
        _record(state, node, labels, len(node.result_shape) - 1)
        return
    if labels is not None and span > 1:
        ops._default_node_handler(state, node)
        return
    # over other axes than the channels: they pass
    ops._elementwise_node_handler(state, node, source)


@handler_rule("embedding (extended rules)")
def _embedding_node_handler(state: Any, node: Any) -> None:
    """``F.embedding`` of a (V, C) parameter: its C columns are output channels of their own,
    cut from the weight's columns."""
    weight = _arg(node, 1, "weight")
    shape = node.result_shape
    # max_norm renormalises the rows read by their norm over all columns
    if (
        _is_parameter(weight)
        and len(weight.shape) == 2
        and shape
        and _arg(node, 3, "max_norm") is None
    ):
        axis = len(shape) - 1
        ops._add_node_output_channel_info(
            state, node, ops._generate_new_channel_labels(state, node, axis), True, axis
        )
        # the code reads an embedding's shape for its tokens (positions, masks); its width is
        # the weight's, which the cut keeps in step
        ops._note_count_read_for(node)
        return
    ops._default_node_handler(state, node)


def looked_up_parameter(node: Any) -> Optional[TensorInfo]:
    """The (V, C) parameter whose rows ``node`` reads by a tensor of indices (Whisper's
    decoder positions, ``self.weight[position_ids]``: an embedding written as an index), else
    None. Only a lookup along the first axis keeps every column: the index is one tensor, and
    the result is the index's shape with the C columns after it."""
    if len(node.args) != 2 or node.kwargs:
        return None
    weight, index = node.args
    shape = node.result_shape
    if not (_is_parameter(weight) and len(weight.shape) == 2 and shape):
        return None
    index_shape = ops._get_shape(index) if isinstance(index, (NodeInfo, TensorInfo)) else None
    if index_shape is None or len(shape) != len(index_shape) + 1:
        return None
    return weight if shape[-1] == weight.shape[1] else None


def _held_slice_labels(state: Any, node: Any) -> Optional[Tuple[Labels, int]]:
    """The labels and axis of ``x[...]`` taking a slice of the channels by sizes that follow
    a cut, else None."""
    source = node.args[0] if node.args else None
    if not isinstance(source, NodeInfo):
        return None
    shape, axis = ops._get_shape(source), ops._get_prune_dimension(state, source)
    if not shape or axis is None:
        return None
    labels = list(ops._get_labels(state, source))
    if not labels:
        return None
    axis %= len(shape)
    taken = held_channel_slice(node, axis, len(shape), len(labels))
    if taken is None:
        return None
    selected, result = labels[taken.start : taken.stop], node.result_shape
    if not selected or not result or len(result) != len(shape) or result[axis] != len(selected):
        return None
    return selected, axis


def channel_slice(node: Any, axis: int, rank: int) -> Optional[slice]:
    """The slice ``x[...]`` takes along ``axis`` when its index holds only slices and at most
    one Ellipsis (every axis keeps its place) and that slice has no step; else None."""
    index = node.args[1] if len(node.args) == 2 and not node.kwargs else None
    items = index if type(index) is tuple else (index,)
    ellipses = [i for i, item in enumerate(items) if item is Ellipsis]
    if len(ellipses) > 1 or any(type(item) is not slice for item in items if item is not Ellipsis):
        return None
    if ellipses:
        before, after = items[: ellipses[0]], items[ellipses[0] + 1 :]
        if len(before) + len(after) > rank:
            return None
        items = before + (slice(None),) * (rank - len(before) - len(after)) + after
    elif len(items) > rank:
        return None
    found = items[axis] if axis < len(items) else slice(None)
    return found if found.step in (None, 1) else None


def held_channel_slice(node: Any, axis: int, rank: int, channels: int) -> Optional[slice]:
    """The channel slice of ``x[...]`` (see :func:`channel_slice`) when a numeric bound makes
    it one and every such bound follows a cut: a size the running module holds (the shrink
    sets it to the channels kept below it), or an end at or past the last channel (still
    past it after a cut). None otherwise: the label engine's slicing rule keeps what a number
    written in the code counts."""
    found = channel_slice(node, axis, rank)
    if found is None:
        return None
    held = held_sizes(node)
    start, stop = found.start, found.stop
    if start is not None and not (type(start) is int and (start == 0 or start in held)):
        return None
    if stop is not None and not (type(stop) is int and (stop >= channels or stop in held)):
        return None
    # no number to follow: the engine's rule pins nothing either
    return None if not start and stop is None else found


@handler_rule("getitem (extended rules)")
def _getitem_node_handler(state: Any, node: Any) -> None:
    """Indexing: rows of a 2-D parameter read by a tensor of indices are an embedding's
    lookup (its columns are output channels of their own, cut from the parameter's columns);
    a slice of the channels by sizes that follow a cut (:func:`held_channel_slice`) keeps
    the labels it selects and pins none; every other index is the label engine's slicing
    rule."""
    if looked_up_parameter(node) is not None:
        axis = len(node.result_shape) - 1
        ops._add_node_output_channel_info(
            state, node, ops._generate_new_channel_labels(state, node, axis), True, axis
        )
        ops._note_count_read_for(node)
        return
    taken = _held_slice_labels(state, node)
    if taken is not None:
        _record(state, node, *taken)
        return
    ops._getitem_node_handler(state, node)


# ---------------------------------------------------------------- matrix products


def _weight_product(state: Any, node: Any, x: Any, weight: Any) -> None:
    """``x @ W`` (and ``addmm(b, x, W)``, GPT-2's Conv1D) with a (in, out) parameter or the
    transpose of a (out, in) one (``x @ self.weight.T``, Falcon's linear layers): a linear
    layer with the weight's axes swapped. Its output channels are new; x's channels along its
    last axis are cut from the weight's rows."""
    shape = node.result_shape
    if isinstance(x, NodeInfo) and ops._get_prune_dimension(state, x) is not None:
        if _last_axis_labels(state, x) is None:
            ops._default_node_handler(state, node)
            return
    axis = len(shape) - 1
    ops._add_node_output_channel_info(
        state, node, ops._generate_new_channel_labels(state, node, axis), True, axis
    )


def matmul_layout(state: Any, a: Any, b: Any) -> Optional[str]:
    """How a product of two traced tensors carries channels: ``"contracted"`` (a's last axis
    with b's rows: q @ k^T), ``"rows"`` (a's rows), ``"columns"`` (b's columns: attention @ v),
    ``"batch"`` (the same batch axis of both: heads), ``"none"``; None when it cannot."""
    sa, sb = _shape(state, a), _shape(state, b)
    if sa is None or sb is None or len(sa) != len(sb) or len(sa) < 2:
        return None
    rank = len(sa)
    pa = ops._get_prune_dimension(state, a) if isinstance(a, NodeInfo) else None
    pb = ops._get_prune_dimension(state, b) if isinstance(b, NodeInfo) else None
    pa = None if pa is None else pa % rank
    pb = None if pb is None else pb % rank
    if pa is not None and pb is not None:
        if pa == rank - 1 and pb == rank - 2:
            return "contracted"
        if pa == pb < rank - 2 and sa[pa] == sb[pb]:
            return "batch"
        return None
    if pa is not None:
        if pa == rank - 2:
            return "rows"
        return "batch" if pa < rank - 2 and sb[pa] == 1 else None
    if pb is not None:
        if pb == rank - 1:
            return "columns"
        return "batch" if pb < rank - 2 and sa[pb] == 1 else None
    return "none"


@handler_rule("matrix product (extended rules)")
def _matmul_node_handler(state: Any, node: Any) -> None:
    """``a @ b``: with a parameter as b, a layer (see ``_weight_product``); of two traced
    tensors (hand-written attention), a batch axis of both (the heads) goes together. Products
    over head_dim positions (q @ k^T, attention @ v) are barriers (the code's own numbers size
    head_dim and the scale) unless the module call sizes its heads by the channel count it
    reads, which the walk decides at its end: then q and k lose the same positions and v's
    carry to the result. Other cases are barriers."""
    a, b = _arg(node, 0, "input"), _arg(node, 1, "other")
    if (
        isinstance(b, TensorInfo)
        and len(b.shape) == 2
        and (
            _is_parameter(b) or getattr(b, "view_transposed", False)  # x @ self.weight.T
        )
    ):
        _weight_product(state, node, a, b)
        return
    layout = matmul_layout(state, a, b) if node.result_shape else None

    def axis_of(x: Any) -> int:
        axis = ops._get_prune_dimension(state, x)
        assert axis is not None  # a layout is found for operands with channel axes only
        return axis % len(node.result_shape)

    if layout == "contracted":
        # q @ k^T over head_dim: hand-written attention sizes head_dim and the scale with
        # numbers of its own, which no cut can follow, unless they come from a count the
        # call reads (Swin: its input's width / heads)
        with state.rule(
            "q @ k^T over head_dim: the code's head_dim and scale are numbers "
            "(extended rules; whole heads go with split='outer')"
        ):
            a_labels, b_labels = (list(ops._get_labels(state, x)) for x in (a, b))
            if len(a_labels) != len(b_labels):
                ops._default_node_handler(state, node)
                return
            ops._merge_label_groups(state, [a_labels, b_labels])
            ops._add_node_output_channel_info(state, node, [], False, None)
            ops._note_head_dim_product(state, node)
    elif layout in ("rows", "columns"):
        # attention @ v over head_dim: one number of the code sizes q, k and v's head_dim
        with state.rule(
            "product carrying head_dim positions: the code's head_dim sizes q, k "
            "and v alike (extended rules; whole heads go with split='outer')"
        ):
            carrier = a if layout == "rows" else b
            _record(state, node, ops._get_labels(state, carrier), axis_of(carrier))
            ops._note_head_dim_product(state, node)
    elif layout == "batch":
        carriers = [
            x
            for x in (a, b)
            if isinstance(x, NodeInfo) and ops._get_prune_dimension(state, x) is not None
        ]
        labels = ops._merge_label_groups(state, [list(ops._get_labels(state, x)) for x in carriers])
        _record(state, node, labels, axis_of(carriers[0]))
    else:
        ops._default_node_handler(state, node)


@handler_rule("addmm (extended rules)")
def _addmm_node_handler(state: Any, node: Any) -> None:
    """``addmm(bias, x, W)`` with parameters W (in, out) and bias (out): GPT-2's Conv1D."""
    bias, x, weight = _arg(node, 0, "input"), _arg(node, 1, "mat1"), _arg(node, 2, "mat2")
    if (
        _is_parameter(weight)
        and len(weight.shape) == 2
        and (bias is None or _is_parameter(bias))
        and node.result_shape
    ):
        _weight_product(state, node, x, weight)
        # Conv1D: x.view(-1, nx) in, the leading axes read off x restored after
        if isinstance(x, NodeInfo) and x.operation_name == "view" and x.args:
            ops._note_count_read_for(x.args[0])
        return
    ops._default_node_handler(state, node)


#: the matrix products the extended rules read
MATMULS = tuple(
    op
    for op in (
        torch.matmul,
        torch.Tensor.matmul,
        torch.Tensor.__matmul__,
        torch.mm,
        torch.Tensor.mm,
        torch.bmm,
        torch.Tensor.bmm,
    )
)
ADDMMS = (torch.addmm, torch.Tensor.addmm)
ops.configure(matmuls=MATMULS)  # the walk's parameter ties read them too


def channel_split_size(
    state_or_axis: Any, node: Any, shape: Optional[Sequence[int]]
) -> Optional[int]:
    """The piece size of ``x.split(n, dim)`` along the channel axis (``state_or_axis``: the
    walk's state, or the channel axis) into equal pieces, else None."""
    size = _arg(node, 1, "split_size_or_sections", _arg(node, 1, "split_size"))
    if isinstance(size, (list, tuple)) and size and len(set(size)) == 1:
        size = size[0]
    dim = _arg(node, 2, "dim", 0)
    source = _arg(node, 0, "input", _arg(node, 0, "self"))
    if (
        not isinstance(size, int)
        or isinstance(size, bool)
        or size < 1
        or not isinstance(dim, int)
        or shape is None
        or not -len(shape) <= dim < len(shape)
    ):
        return None
    axis = (
        state_or_axis
        if isinstance(state_or_axis, int)
        else ops._get_prune_dimension(state_or_axis, source)
    )
    if axis is None or dim % len(shape) != axis % len(shape):
        return None
    width = shape[dim]
    return size if width % size == 0 and width > size else None


@handler_rule("split along the channel axis (extended rules)")
def _split_node_handler(state: Any, node: Any) -> None:
    """``x.split(n, channel_axis)`` into equal pieces (GPT-2's q, k, v): like ``chunk``,
    position i of every piece goes together. The size is a number in the call, so a cut needs
    the module to hold it in an attribute (``split_size``), which then follows."""
    source = _arg(node, 0, "input", _arg(node, 0, "self"))
    shape = ops._get_shape(source) if isinstance(source, NodeInfo) else None
    size = channel_split_size(state, node, shape)
    if size is None:
        ops._pieces_node_handler(state, node)
        return
    found = ops._get_prune_dimension(state, source)
    assert shape is not None and found is not None  # a size is found only then
    axis = found % len(shape)
    labels = list(ops._get_labels(state, source))
    merged = ops._merge_label_groups(
        state, [labels[i : i + size] for i in range(0, len(labels), size)]
    )
    piece = list(shape)
    piece[axis] = size
    ops._note_piece_shape(state, node, piece)
    # the shrink's rule makes the module's piece size follow
    ops._decide(state, node, "channels")
    _record(state, node, merged, axis)


SPLITS = (torch.split, torch.Tensor.split)


@handler_rule("softmax over the channel axis (extended rules)")
def _softmax_node_handler(state: Any, node: Any) -> None:
    """``softmax``/``log_softmax`` along another axis than the channels (attention scores over
    the keys): the channels pass. Along the channels it is a barrier (every output depends on
    all of them)."""
    source = _arg(node, 0, "input")
    shape = ops._get_shape(source) if isinstance(source, NodeInfo) else None
    axis = ops._get_prune_dimension(state, source) if shape else None
    dim = _arg(node, 1, "dim")
    if (
        axis is not None
        and shape is not None
        and isinstance(dim, int)
        and -len(shape) <= dim < len(shape)
        and (dim % len(shape) != axis % len(shape))
    ):
        ops._elementwise_node_handler(state, node, source)
        return
    ops._default_node_handler(state, node)


SOFTMAXES = tuple(
    getattr(owner, name)
    for name in ("softmax", "log_softmax")
    for owner in (F, torch, torch.Tensor)
)


@handler_rule("dtype conversion (extended rules)")
def _conversion_node_handler(state: Any, node: Any) -> None:
    """``x.to(dtype)``, ``x.float()``, ...: the channels pass (RMSNorm computes in float32)."""
    ops._elementwise_node_handler(state, node, _arg(node, 0, "self"))


#: the dtype conversions whose channels pass
CONVERSIONS = tuple(
    getattr(torch.Tensor, name)
    for name in ("to", "float", "double", "half", "bfloat16", "type_as")
    if hasattr(torch.Tensor, name)
)


# ---------------------------------------------------------------- metadata reads


@handler_rule("metadata read (extended rules)")
def _metadata_read_node_handler(state: Any, node: Any) -> None:
    """``x.shape``, ``x.size()``: no channels; the engine's count-read rule. A read whose
    channel count the code unpacks into a name it never reads again (``B, N, C = x.shape``
    with C unused) sizes nothing and pins nothing."""
    ops._metadata_read_node_handler(state, node)
    source = node.args[0] if node.args else None
    shape = _shape(state, source) if isinstance(source, (NodeInfo, TensorInfo)) else None
    axis = ops._get_prune_dimension(state, source) if shape else None
    if (
        shape
        and axis is not None
        and ops._get_labels(state, source)
        and unpacked_size_unused(node, axis % len(shape), len(shape))
    ):
        ops._note_unused_count_read(node)


ops.EXTENDED_NODE_HANDLER_REGISTRY["__get__"] = _metadata_read_node_handler
