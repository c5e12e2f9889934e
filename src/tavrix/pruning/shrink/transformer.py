"""Shrink rules for the transformer rules of the extended set
(``tavrix.pruning.rules.transformer``): parameters concatenated to a stream and
``nn.MultiheadAttention``, with how the masked original recomputes an attention that loses
head_dim positions."""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.rules.transformer import multi_head_attention_heads
from tavrix.pruning.shrink.check import register_input_replay
from tavrix.pruning.shrink.context import CutContext, OwnedTensor
from tavrix.pruning.shrink.rules import (
    ShrinkRule,
    _arg,
    _check_carried,
    register_module_adapter,
    register_shrink_rule,
)

__all__ = ["CatParameterRule", "MultiHeadAttentionRule"]

Shape = Tuple[int, ...]


class CatParameterRule(ShrinkRule):
    """``torch.cat`` along another axis than the channels: parameters among the pieces (or the
    parameters they are views of, a class token expanded to the batch) lose the removed
    channels' entries."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)
        keep = ctx.keep(node)
        if keep is None:
            return
        axis = ctx.axis(node)
        shape = node.result_shape
        if axis is None or shape is None:
            raise ctx.error(node, "its output loses channels but has no known channel axis")
        for piece in _arg(node, 0, "tensors"):
            if isinstance(piece, NodeInfo) or not isinstance(piece, TensorInfo):
                continue
            if piece.shape[axis] == 1:
                continue  # broadcast: no channel entries
            base = getattr(piece, "view_of", None)
            if base is None:
                ctx.slice(ctx.owned(piece, node, "concatenated parameter"), axis, keep, node)
                continue
            owned = ctx.owners.get(base)
            if owned is None or owned.tensor.dim() != len(shape) or owned.tensor.shape[
                axis
            ] != piece.shape[axis]:
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
        rank = len(query.result_shape)
        for value, role in ((query, "input"), (node, "output")):
            if ctx.keep(value) is not None and ctx.axis(value) != rank - 1:
                raise ctx.error(node, f"its {role} loses channels along another axis than the last")
        in_weight = ctx.owned(_arg(node, 5, "in_proj_weight"), node, "in_proj_weight")
        in_bias = ctx.owned(_arg(node, 6, "in_proj_bias"), node, "in_proj_bias")
        out_weight = ctx.owned(_arg(node, 11, "out_proj_weight"), node, "out_proj_weight")
        out_bias = ctx.owned(_arg(node, 12, "out_proj_bias"), node, "out_proj_bias")
        if in_keep is not None:
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
        weight = ctx.owners.get(getattr(_arg(node, 11, "out_proj_weight"), "tensor_uid", None))
        if weight is None or weight.tensor.shape[0] != len(ctx.labels(node)):
            return None
        return weight, 0


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


def _register() -> None:
    register_shrink_rule(torch.cat, CatParameterRule(), rule_set="extended")
    register_shrink_rule(
        F.multi_head_attention_forward, MultiHeadAttentionRule(), rule_set="extended"
    )
    register_input_replay(F.multi_head_attention_forward, _multi_head_attention_replay)
    register_module_adapter(nn.MultiheadAttention, _multi_head_attention_adapter)
    try:
        from torchvision.models.vision_transformer import VisionTransformer
    except ImportError:  # torchvision is optional
        return
    register_module_adapter(VisionTransformer, _vision_transformer_adapter)


_register()
