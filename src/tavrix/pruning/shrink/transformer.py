"""Shrink rules for the transformer rules of the extended set
(``tavrix.pruning.rules.transformer``): parameters concatenated to a stream and
``nn.MultiheadAttention``, with how the masked original recomputes an attention that loses
head_dim positions."""

from __future__ import annotations

import math
from typing import Any, Dict, List, Optional, Sequence, Tuple, cast

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo, forward_reads, held_sizes
from tavrix.pruning.rules.transformer import (
    MATMULS,
    held_channel_slice,
    looked_up_parameter,
    multi_head_attention_heads,
)
from tavrix.pruning.shrink.context import CutContext, GraphAxes, OwnedTensor
from tavrix.pruning.shrink.cut import HEAD_DIM_NAMES
from tavrix.pruning.shrink.rules import (
    PassThrough,
    ShrinkRule,
    _arg,
    _channel_cut,
    _check_carried,
)
from tavrix.pruning.shrink.sizes import forward_may_read

__all__ = ["CatParameterRule", "IndexRule", "MultiHeadAttentionRule"]

Shape = Tuple[int, ...]


def _producer_weight(
    ctx: CutContext, node: Any, position: int, name: str, axis: int
) -> Optional[Tuple[OwnedTensor, int]]:
    """The weight argument that makes the node's channels along ``axis``, when a module owns
    it and it holds one entry per channel there."""
    weight = ctx.owner_of(_arg(node, position, name))
    if weight is None or weight.tensor.shape[axis] != len(ctx.labels(node)):
        return None
    return weight, axis


class CatParameterRule(ShrinkRule):
    """``torch.cat`` along another axis than the channels: parameters among the pieces (or the
    parameters they are views of, a class token expanded to the batch) lose the removed
    channels' entries."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        cut = _channel_cut(ctx, node)
        if cut is None:
            return
        keep, axis, shape = cut
        dim = _arg(node, 1, "dim", 0)
        if isinstance(dim, int) and dim % len(shape) == axis:
            # along the channels: a piece made in the call (RAFT's flow, computed from a
            # coordinate grid) brings channels of its own, which are never removed
            return
        for piece in _arg(node, 0, "tensors"):
            if isinstance(piece, NodeInfo) or not isinstance(piece, TensorInfo):
                continue
            if 0 in piece.shape:
                continue  # empty: adds nothing (a key/value cache's start)
            if piece.shape[axis] == 1:
                continue  # broadcast: no channel entries
            base = getattr(piece, "view_of", None)
            if base is None:
                ctx.slice(ctx.owned(piece, node, "concatenated parameter"), axis, keep, node)
                continue
            owned = ctx.owners.get(base)
            if (
                owned is None
                or owned.tensor.dim() != len(shape)
                or owned.tensor.shape[axis] != piece.shape[axis]
            ):
                raise ctx.error(
                    node,
                    f"a concatenated tensor of shape {tuple(piece.shape)} is a view of no "
                    "parameter of the model with its channels on the same axis",
                )
            ctx.slice(owned, axis, keep, node)


def _rows(kept: List[int], width: int) -> List[int]:
    """Rows of q, k and v in a packed ``in_proj_weight`` for kept positions."""
    return [*kept, *(width + p for p in kept), *(2 * width + p for p in kept)]


class MultiHeadAttentionRule(ShrinkRule):
    """``F.multi_head_attention_forward``: kept input positions keep their columns of
    ``in_proj_weight``, their rows of q, k and v and their columns of ``out_proj``; kept
    output channels keep ``out_proj``'s rows. ``num_heads`` counts the heads left."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        query = _arg(node, 0, "query")
        in_keep = ctx.keep(query)
        for other in (_arg(node, 1, "key"), _arg(node, 2, "value")):
            if ctx.keep(other) != in_keep:
                raise ctx.error(node, "its query, key and value lose different channels")
        out_keep = ctx.keep(node)
        if in_keep is None and out_keep is None:
            return
        width = len(ctx.labels(query))
        rank = len(ctx.shape_of(query) or ())
        for value, role in ((query, "input"), (node, "output")):
            if ctx.keep(value) is not None and ctx.axis(value) != rank - 1:
                raise ctx.error(node, f"its {role} loses channels along another axis than the last")
        in_weight = ctx.owned(_arg(node, 5, "in_proj_weight"), node, "in_proj_weight")
        in_bias = ctx.owned(_arg(node, 6, "in_proj_bias"), node, "in_proj_bias")
        out_weight = ctx.owned(_arg(node, 11, "out_proj_weight"), node, "out_proj_weight")
        out_bias = ctx.owned(_arg(node, 12, "out_proj_bias"), node, "out_proj_bias")
        if in_keep is not None:
            if in_weight is None:
                raise ctx.error(node, "its query, key and value projections are separate weights")
            heads = _arg(node, 4, "num_heads")
            try:
                left = multi_head_attention_heads(heads, in_keep, width)
            except ValueError as exc:
                raise ctx.error(node, str(exc)) from None
            if not all(isinstance(p.module, nn.MultiheadAttention) for p in in_weight.places):
                raise ctx.error(node, "its embed_dim and num_heads are fixed in the call")
            rows = _rows(in_keep, width)
            ctx.slice(in_weight, 0, rows, node)
            ctx.slice(in_weight, 1, in_keep, node)
            ctx.slice(in_bias, 0, rows, node)
            ctx.slice(out_weight, 1, in_keep, node)
            ctx.set_module_attribute(in_weight, "num_heads", left, node)
        if out_keep is not None:
            ctx.slice(out_weight, 0, out_keep, node)
            ctx.slice(out_bias, 0, out_keep, node)

    def producer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int]]:
        return _producer_weight(ctx, node, 11, "out_proj_weight", 0)


def _multi_head_attention_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    if not module._qkv_same_embed_dim or "in_proj_weight" not in shapes:
        raise ValueError("only packed q/k/v weights (in_proj_weight) are cut")
    rows, width = shapes["in_proj_weight"]
    heads = int(overrides.get("num_heads", module.num_heads))
    if rows != 3 * width or width % heads:
        raise ValueError(f"in_proj_weight {(rows, width)} does not fit {heads} heads")
    return {
        "embed_dim": width,
        "kdim": width,
        "vdim": width,
        "num_heads": heads,
        "head_dim": width // heads,
    }


# attributes of an attention module that count its heads, its key/value heads, its head_dim
# or its width (heads x head_dim); those holding the count before the cut follow it
_HEAD_COUNTS = ("num_heads", "num_attention_heads", "n_head", "n_heads")
_KV_HEAD_COUNTS = ("num_key_value_heads", "num_kv_heads", "n_kv_heads")
_HEAD_DIMS = HEAD_DIM_NAMES
_WIDTHS = ("all_head_size", "embed_dim", "split_size", "inner_dim", "attn_dim")
# heads x a head_dim of keys or values of their own (LeViT): any such product follows the heads
_PER_HEAD_WIDTHS = ("key_attn_dim", "val_attn_dim")


def _set_module_attribute(
    ctx: CutContext, node: Any, names: Tuple[str, ...], old: int, new: int
) -> bool:
    """Sets each of ``names`` that the module running ``node`` holds with value ``old``;
    whether the module holds any."""
    module = ctx.module_running(node)
    if module is None:
        return False
    found = False
    for name in names:
        value = vars(module).get(name)
        if type(value) is not int or value != old:
            continue
        found = True
        if old == new:
            continue
        label, values = ctx.module_attributes.setdefault(module, (node.module_path, {}))
        if values.get(name, new) != new:
            raise ctx.error(node, f"{label}.{name} would be set to {values[name]} and {new}")
        values[name] = new
    return found


def _refuse_unknown_head_dim(ctx: CutContext, node: Any, head_dim: int, kept: int) -> None:
    """An attention losing head_dim positions whose module holds that number under a name
    no rule updates (``self.hd = 8``) may split its heads by it: refused rather than cut,
    unless another rule of the cut already sets it to the kept count (a split by it)."""
    module = ctx.module_running(node)
    known = set(_HEAD_DIMS + _HEAD_COUNTS + _KV_HEAD_COUNTS + _WIDTHS)
    set_by_cut = ctx.module_attributes.get(module, (None, {}))[1] if module is not None else {}
    # an attribute the forward never reads is no number it passes (PVT's and Hiera's dim)
    for name, value in vars(module).items() if module is not None else ():
        if (
            type(value) is int
            and value == head_dim
            and name not in known
            and forward_may_read(module, name)
        ):
            if set_by_cut.get(name) == kept:
                continue
            raise ctx.error(
                node,
                f"it loses head_dim positions, and {node.module_path or 'the model'}"
                f".{name} holds the head_dim {head_dim}, a number no rule updates",
            )


class ScaledDotProductRule(ShrinkRule):
    """``scaled_dot_product_attention``: nothing to cut (q, k and v were cut where they were
    made); q and k must lose the same positions, v's removed channels are the output's. The
    attention module's head counts, head_dim and width attributes follow."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        q, k, v = (_arg(node, i, n) for i, n in enumerate(("query", "key", "value")))
        q_keep, k_keep, v_keep = ctx.keep(q), ctx.keep(k), ctx.keep(v)
        if q_keep is None and k_keep is None and v_keep is None:
            return
        layout = ctx.decision(node)
        if layout not in ("heads", "positions"):
            raise ctx.refuse_decision(node, "the attention rule")
        rank = len(node.result_shape)
        heads_axis = rank - 3
        # a tuple-valued operand is a piece (``q, k, v = qkv.chunk(3, -1)``): v's head_dim is
        # the output's, and so is q's when q is a piece of the same tuple
        q_shape = ctx.shape_of(q)
        if q_shape is None and q is v:
            q_shape = node.result_shape
        if q_shape is None:
            raise ctx.error(node, "its query is a piece of a tuple of unknown shape")
        if layout == "heads":
            _check_carried(ctx, node)
            _cut_whole_heads(ctx, node, q_shape, q_keep)
            return
        if q_keep != k_keep:
            raise ctx.error(node, "its query and key lose different positions")
        if ctx.removed_labels(v) != ctx.removed_labels(node):
            raise ctx.error(node, "its value and output lose different channels")
        head_dim, heads = q_shape[-1], q_shape[heads_axis]
        kept = head_dim if q_keep is None else len(q_keep)
        if node.result_shape[-1] == head_dim and (
            v_keep is None and kept == head_dim or (v_keep is not None and len(v_keep) == kept)
        ):
            if kept != head_dim:
                _refuse_unknown_head_dim(ctx, node, head_dim, kept)
            _set_module_attribute(ctx, node, _HEAD_DIMS, head_dim, kept)
            _set_module_attribute(ctx, node, _WIDTHS, heads * head_dim, heads * kept)
        elif q_keep is not None or v_keep is not None:
            raise ctx.error(
                node, "q/k and v would keep different head_dim, which one attribute sizes"
            )

    def equal_cuts(self, axes: GraphAxes, node: Any) -> Sequence[Sequence[int]]:
        # positions within the heads: q/k and v keep one head_dim
        q, v = _arg(node, 0, "query"), _arg(node, 2, "value")
        if not isinstance(q, NodeInfo) or not isinstance(v, NodeInfo) or node.result_shape is None:
            return ()
        if axes.decisions.get(node) == "heads":  # whole heads
            return ()
        return (axes.labels.get(q, []), axes.labels.get(v, []))


def _cut_whole_heads(
    ctx: CutContext, node: Any, q_shape: Tuple[int, ...], q_keep: Optional[List[int]]
) -> None:
    """The attention module running ``node`` loses whole heads (``q_shape``: the query's
    shape): its head counts follow (its key/value heads in proportion, whole groups of
    grouped-query attention go)."""
    heads_axis = len(q_shape) - 3
    heads, head_dim = q_shape[heads_axis], q_shape[-1]
    left = heads if q_keep is None else len(q_keep)
    _set_module_attribute(ctx, node, _HEAD_COUNTS, heads, left)
    _set_module_attribute(ctx, node, _WIDTHS, heads * head_dim, left * head_dim)
    module = ctx.module_running(node)
    for name in _KV_HEAD_COUNTS:
        kv_heads = vars(module).get(name) if module is not None else None
        if type(kv_heads) is int and 0 < kv_heads <= heads and heads % kv_heads == 0:
            if (left * kv_heads) % heads:
                raise ctx.error(node, f"it would keep part of a group of query heads ({name})")
            _set_module_attribute(ctx, node, (name,), kv_heads, left * kv_heads // heads)


def _attention_replay(call: Any, node: Any, input_mask: Any, result: Any) -> Any:
    """q and k lose head_dim positions: the default scale is 1/sqrt of the kept ones."""
    if _arg(call, 6, "scale") is not None:
        return result  # a scale given by the code stays what it is
    query, key = _arg(call, 0, "query"), _arg(call, 1, "key")
    found = input_mask(_arg(node, 0, "query"))
    if found is None or found[0] != query.dim() - 1:
        return result
    kept = found[1]
    value = F.scaled_dot_product_attention(
        query.index_select(-1, kept),
        key.index_select(-1, kept),
        _arg(call, 2, "value"),
        attn_mask=_arg(call, 3, "attn_mask"),
        dropout_p=_arg(call, 4, "dropout_p", 0.0),
        is_causal=_arg(call, 5, "is_causal", False),
        enable_gqa=_arg(call, 7, "enable_gqa", False),
    )
    return result.copy_(value)


class ChannelMeanRule(PassThrough):
    """A mean over the channel axis carries no channels (its input's are averaged among the
    kept ones); other means pass their channels."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        if ctx.labels(node) or ctx.axis(node) is not None:
            super().apply(ctx, node)


def _channel_mean_replay(call: Any, node: Any, input_mask: Any, result: Any) -> Any:
    if node.result_shape is None or not isinstance(result, torch.Tensor):
        return result
    found = input_mask(_arg(node, 0, "input"))
    if found is None:
        return result
    axis, kept = found
    source = _arg(call, 0, "input")
    dim = _arg(call, 1, "dim")
    dim = dim[0] if isinstance(dim, (tuple, list)) else dim
    if not isinstance(dim, int) or dim % source.dim() != axis:
        return result
    keepdim = _arg(call, 2, "keepdim", False)
    return source.index_select(axis, kept).mean(dim=axis, keepdim=keepdim).to(result.dtype)


class EmbeddingRule(ShrinkRule):
    """``F.embedding``: the weight's columns are the output channels."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        keep = ctx.keep(node)
        if keep is None:
            return
        if ctx.axis(node) != len(node.result_shape) - 1:
            raise ctx.error(node, "its output loses channels along another axis than the last")
        ctx.slice(ctx.owned(_arg(node, 1, "weight"), node, "weight"), 1, keep, node)

    def producer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int]]:
        return _producer_weight(ctx, node, 1, "weight", 1)


class IndexRule(ShrinkRule):
    """Indexing cuts nothing (the channels a slice leaves out may go; those a number in the
    code counts from were kept by the analysis). Rows of a parameter looked up by a tensor
    of indices (``self.weight[position_ids]``) are an embedding: the parameter's columns go.
    A slice bound the running module holds (``x[:, : self.num_1x1_c]``) becomes the number
    of channels kept below it."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        weight = looked_up_parameter(node)
        if weight is None:
            _follow_held_bounds(ctx, node)
            return
        keep = ctx.keep(node)
        if keep is None:
            return
        if ctx.axis(node) != len(node.result_shape) - 1:
            raise ctx.error(node, "its output loses channels along another axis than the last")
        ctx.slice(ctx.owned(weight, node, "looked-up parameter"), 1, keep, node)

    def producer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int]]:
        if looked_up_parameter(node) is None:
            return None
        return _producer_weight(ctx, node, 0, "input", 1)


def _follow_held_bounds(ctx: CutContext, node: Any) -> None:
    held = held_sizes(node)
    source = _arg(node, 0, "input")
    if not held or not isinstance(source, NodeInfo):
        return
    keep, axis, shape = ctx.keep(source), ctx.axis(source), ctx.shape_of(source)
    if keep is None or axis is None or not shape:
        return
    taken = held_channel_slice(node, axis, len(shape), shape[axis])
    if taken is None:
        return
    module = ctx.module_running(node)
    for bound in (taken.start, taken.stop):
        if bound not in held:
            continue
        read = forward_reads(module)
        names = [
            name
            for name, value in (vars(module).items() if module is not None else ())
            if type(value) is int and value == bound and name in read
        ]
        if len(names) != 1 or module is None:  # (no module: no names)
            owner = node.module_path or "its module"
            raise ctx.error(
                node,
                f"it slices its channels at {bound}, a number {owner} holds in "
                + (
                    "more than one attribute (" + ", ".join(names) + "): which one the code "
                    "reads is unknown"
                    if names
                    else "no attribute"
                ),
            )
        _set_attribute(ctx, node, module, names[0], sum(1 for p in keep if p < bound))


def _embedding_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    rows, columns = shapes["weight"]
    return {"num_embeddings": rows, "embedding_dim": columns}


class MatmulRule(ShrinkRule):
    """Matrix products. With a (in, out) weight (``x @ W``, ``addmm(b, x, W)``): kept outputs
    keep W's columns and b's entries, kept inputs W's rows. Of two traced tensors: contracted
    axes lose the same positions, other channels pass."""

    def __init__(self, addmm: bool) -> None:
        self.addmm = addmm

    def _operands(self, node: Any) -> Tuple[Any, Any, Any]:
        if self.addmm:
            return _arg(node, 1, "mat1"), _arg(node, 2, "mat2"), _arg(node, 0, "input")
        return _arg(node, 0, "input"), _arg(node, 1, "other"), None

    def apply(self, ctx: CutContext, node: Any) -> None:
        a, b, bias = self._operands(node)
        if isinstance(b, TensorInfo):
            out_keep = ctx.keep(node)
            in_keep = ctx.keep(a)
            if out_keep is None and in_keep is None:
                return
            weight, out_axis = _product_weight(ctx, b, node)
            rank = len(node.result_shape)
            if out_keep is not None:
                if ctx.axis(node) != rank - 1:
                    raise ctx.error(node, "its output loses channels along another axis")
                ctx.slice(weight, out_axis, out_keep, node)
                ctx.slice(ctx.owned(bias, node, "bias"), 0, out_keep, node)
            if in_keep is not None:
                if ctx.axis(a) != len(ctx.shape_of(a) or ()) - 1:
                    raise ctx.error(node, "its input loses channels along another axis")
                ctx.slice(weight, 1 - out_axis, in_keep, node)
            return
        if self._contracted(ctx, node, a, b):
            # q @ k^T over the same kept head_dim positions: nothing to cut; the module's
            # head_dim and width follow when it holds them
            keep, shape = ctx.keep(a), ctx.shape_of(a)
            if keep is not None and shape is not None and len(shape) >= 3:
                *_, heads, _, head_dim = shape
                _refuse_unknown_head_dim(ctx, node, head_dim, len(keep))
                _set_module_attribute(ctx, node, _HEAD_DIMS, head_dim, len(keep))
                _set_module_attribute(ctx, node, _WIDTHS, heads * head_dim, heads * len(keep))
            return
        _check_carried(ctx, node)
        shape = ctx.shape_of(a)
        if ctx.keep(a) is not None and shape and ctx.axis(a) == len(shape) - 3 == ctx.axis(node):
            _cut_whole_heads(ctx, node, shape, ctx.keep(a))  # q @ k^T written by hand
            # keys' and values' widths: heads x an axis of an operand or the result (attention
            # @ v: v's head_dim, along the last axis or, channels first, the one before; a
            # piece of q, k and v split unevenly has no size of its own there)
            left = len(cast(List[int], ctx.keep(a)))
            heads = shape[-3]
            for found in (shape, ctx.shape_of(b), node.result_shape):
                for size in (found or ())[-2:]:
                    if size > 0:
                        _set_module_attribute(
                            ctx, node, _PER_HEAD_WIDTHS, heads * size, left * size
                        )

    @staticmethod
    def _contracted(ctx: CutContext, node: Any, a: Any, b: Any) -> bool:
        """Whether the product contracts a's last axis with b's rows, both losing the same
        channels (the result carries none)."""
        if ctx.axis(node) is not None or not all(isinstance(x, NodeInfo) for x in (a, b)):
            return False
        a_shape, b_shape = ctx.shape_of(a), ctx.shape_of(b)
        if a_shape is None or b_shape is None or len(a_shape) != len(b_shape):
            return False
        rank = len(a_shape)
        a_axis, b_axis = ctx.axis(a), ctx.axis(b)
        if a_axis is None or b_axis is None:
            return False
        if (a_axis % rank, b_axis % rank) != (rank - 1, rank - 2):
            return False
        return ctx.removed_labels(a) == ctx.removed_labels(b)

    def producer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int]]:
        _, b, _ = self._operands(node)
        if not isinstance(b, TensorInfo):
            return None
        transposed = bool(getattr(b, "view_transposed", False))
        weight = ctx.owners.get(b.view_of if transposed else b.tensor_uid)
        axis = 0 if transposed else 1
        if (
            weight is None
            or weight.tensor.dim() != 2
            or weight.tensor.shape[axis] != len(ctx.labels(node))
        ):
            return None
        return weight, axis


def _product_weight(ctx: CutContext, b: TensorInfo, node: Any) -> Tuple[OwnedTensor, int]:
    """The parameter behind a product's (in, out) operand, and its axis of output channels:
    1 for the parameter itself, 0 when the operand is its transpose (``self.weight.T``)."""
    if not getattr(b, "view_transposed", False):
        return ctx.required(b, node, "weight"), 1
    owned = ctx.owners.get(b.view_of)
    if owned is None or tuple(owned.tensor.shape) != tuple(b.shape)[::-1]:
        raise ctx.error(
            node,
            f"its weight (shape {tuple(b.shape)}) is the transpose of no parameter of the "
            "model: the plan was made for another model object or before a cut",
        )
    return owned, 0


class SplitRule(ShrinkRule):
    """``x.split(n, dim)``: nothing to cut; along the channel axis the piece size ``n`` must
    follow the cut, so the module running it must hold ``n`` in an attribute: ``split_size``,
    or any other holding ``n`` (Res2Net's ``width``), the width it splits (CSPNet's
    ``expand_chs // 2``) or the list of the pieces' sizes (MixNet's ``splits``)."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)
        keep = ctx.keep(node)
        source = _arg(node, 0, "input", _arg(node, 0, "self"))
        # the walk split the channel axis into equal pieces of the recorded shape
        if keep is None or ctx.decision(node) != "channels":
            return
        axis, shape, piece = ctx.axis(node), ctx.shape_of(source), ctx.shape_of(node)
        if axis is None or shape is None or piece is None:
            raise ctx.error(node, "the walk split its channels into pieces of unknown size")
        size = piece[axis]
        module = ctx.module_running(node)
        pieces = shape[axis] // size
        # the attributes holding the piece size or the pieces' sizes, else those holding the
        # width split (``expand_chs // 2``): the code reads one of them
        exact: Dict[str, Any] = {}
        width: Dict[str, Any] = {}
        for name, value in list(vars(module).items()) if module is not None else ():
            if type(value) is int and value == size:
                exact[name] = len(keep)
            elif type(value) is int and value == pieces * size:
                width[name] = pieces * len(keep)
            elif type(value) in (list, tuple) and list(value) == [size] * pieces:
                exact[name] = type(value)([len(keep)] * pieces)
        found = exact or width
        if not found or module is None:  # (no module: nothing found)
            raise ctx.error(node, f"it splits by {size}, a number the module holds in no attribute")
        if len(found) == 1 or not exact:
            # the width split under several names (SKNet's in_channels and out_channels) is
            # that width under each of them
            for name, value in found.items():
                _set_attribute(ctx, node, module, name, value)
            return
        # several: fine only when the other rules of the cut set each of them to what the
        # split needs (GPT-2's split_size and embed_dim, both its width)
        ctx.after_rules.append(lambda: _check_split_attributes(ctx, node, module, size, found))


def _set_attribute(ctx: CutContext, node: Any, module: nn.Module, name: str, new: Any) -> None:
    label, values = ctx.module_attributes.setdefault(module, (node.module_path, {}))
    if values.get(name, new) != new:
        raise ctx.error(node, f"{label}.{name} would be set to {values[name]} and {new}")
    if vars(module).get(name) != new:
        values[name] = new


def _check_split_attributes(
    ctx: CutContext, node: Any, module: nn.Module, size: int, found: Dict[str, Any]
) -> None:
    values = ctx.module_attributes.get(module, (None, {}))[1]
    if all(values.get(name) == new for name, new in found.items()):
        return
    owner = node.module_path or type(module).__name__
    raise ctx.error(
        node,
        f"it splits by {size}, a number the module holds in more than one attribute ("
        + ", ".join(f"{owner}.{name}" for name in found)
        + "): which one the code reads is unknown",
    )


def _conv1d_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    """transformers' Conv1D (GPT-2): a (nx, nf) weight used as ``x @ W``."""
    nx, nf = shapes["weight"]
    return {name: value for name, value in (("nf", nf), ("nx", nx)) if hasattr(module, name)}


def _vision_transformer_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    # torchvision's VisionTransformer reshapes the patches by hidden_dim: the class token's width
    if "class_token" not in shapes:
        return {}
    return {"hidden_dim": shapes["class_token"][-1]}


def _multi_head_attention_replay(call: Any, node: Any, input_mask: Any, result: Any) -> Any:
    """The attention of the kept positions alone: removing head_dim positions changes the
    scale (1/sqrt(head_dim)) and the softmax, which zeroing alone does not."""
    found = input_mask(_arg(node, 0, "query"))
    if found is None:
        return result
    _, kept = found
    arg = lambda position, key, default=None: _arg(call, position, key, default)  # noqa: E731
    query, key, value = arg(0, "query"), arg(1, "key"), arg(2, "value")
    width = query.shape[-1]
    heads = multi_head_attention_heads(arg(4, "num_heads"), kept.tolist(), width)
    rows = torch.tensor(_rows(kept.tolist(), width), device=kept.device)
    in_weight, in_bias = arg(5, "in_proj_weight"), arg(6, "in_proj_bias")
    output, weights = F.multi_head_attention_forward(
        query.index_select(-1, kept),
        key.index_select(-1, kept),
        value.index_select(-1, kept),
        len(kept),
        heads,
        in_weight.index_select(0, rows).index_select(1, kept),
        None if in_bias is None else in_bias.index_select(0, rows),
        None,
        None,
        False,
        arg(10, "dropout_p"),
        arg(11, "out_proj_weight").index_select(1, kept),
        arg(12, "out_proj_bias"),
        training=arg(13, "training", True),
        key_padding_mask=arg(14, "key_padding_mask"),
        need_weights=False,
        attn_mask=arg(16, "attn_mask"),
        is_causal=arg(24, "is_causal", False),
    )
    return (output.to(result[0].dtype), weights)


def _holds_number(module: Optional[nn.Module], number: float) -> bool:
    """Whether the module or its class holds ``number`` as a float attribute."""
    if module is None:
        return False
    owners = [vars(module)] + [vars(cls) for cls in type(module).__mro__]
    return any(type(v) is float and v == number for owner in owners for v in owner.values())


def _head_dim_scale_replay(call: Any, node: Any, input_mask: Any, result: Any) -> Any:
    """``q * (C // heads) ** -0.5`` (or ``q / (C // heads) ** 0.5``) feeding a matrix product,
    with C a channel count the module call read (Swin): q losing the same head_dim positions
    in every head, the code's scale becomes that of the kept ones. A scale the module or its
    class holds as a number of its own stays what it is."""
    if len(call.args) != 2 or call.kwargs or not isinstance(result, torch.Tensor):
        return result
    x, scale = call.args
    if not isinstance(x, torch.Tensor) or type(scale) is not float or x.dim() == 0:
        return result
    found = input_mask(_arg(node, 0, "input"))
    width = x.shape[-1]
    if found is None or found[0] != x.dim() - 1 or len(found[1]) in (0, width):
        return result
    exponent = 0.5 if call.func in _DIVISIONS else -0.5
    if not math.isclose(scale, float(width) ** exponent, rel_tol=1e-12):
        return result
    if not input_mask.reads_count(node) or not input_mask.feeds(node, MATMULS):
        return result
    if _holds_number(input_mask.module(node), scale):
        return result
    kept = float(len(found[1])) ** exponent
    return result.copy_(x / kept if call.func in _DIVISIONS else x * kept)


_DIVISIONS = (torch.div, torch.Tensor.div, torch.Tensor.__truediv__)
