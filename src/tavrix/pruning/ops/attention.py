"""Attention: ``nn.MultiheadAttention``'s call, scaled dot-product attention, softmax over
the keys, and the scale a model applies by hand before a product over head_dim."""

from __future__ import annotations

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.pruning.opfamily import OpFamily
from tavrix.pruning.rules.transformer import (
    SOFTMAXES,
    _multi_head_attention_node_handler,
    _scaled_dot_product_attention_node_handler,
    _softmax_node_handler,
    whole_heads_where_positions_pinned,
)
from tavrix.pruning.shrink.rules import PassThrough
from tavrix.pruning.shrink.transformer import (
    _DIVISIONS,
    MultiHeadAttentionRule,
    ScaledDotProductRule,
    _attention_replay,
    _head_dim_scale_replay,
    _multi_head_attention_adapter,
    _multi_head_attention_replay,
)

MULTI_HEAD_ATTENTION = OpFamily(
    "multi_head_attention",
    (F.multi_head_attention_forward,),
    rule_set="extended",
    label=_multi_head_attention_node_handler,
    cut=MultiHeadAttentionRule(),
    input_replay=_multi_head_attention_replay,
    adapters={nn.MultiheadAttention: _multi_head_attention_adapter},
    # its out_proj is a layer the call reads by weight
    weight_argument=(11, "out_proj_weight"),
)
SCALED_DOT_PRODUCT = OpFamily(
    "scaled_dot_product_attention",
    (F.scaled_dot_product_attention,),
    rule_set="extended",
    label=_scaled_dot_product_attention_node_handler,
    cut=ScaledDotProductRule(),
    input_replay=_attention_replay,
    # rotary embeddings pin head_dim positions: whole heads instead, under split="largest"
    whole_heads=whole_heads_where_positions_pinned,
)
SOFTMAX = OpFamily(
    "softmax", SOFTMAXES, rule_set="extended", label=_softmax_node_handler, cut=PassThrough()
)
# labelled and cut as binary elementwise operations; only the masked original's scale changes
HEAD_DIM_SCALE = OpFamily(
    "head_dim_scale",
    (torch.mul, torch.Tensor.mul, torch.Tensor.__mul__, torch.Tensor.__rmul__, *_DIVISIONS),
    rule_set="extended",
    input_replay=_head_dim_scale_replay,
)
