"""Concatenation and flattening."""

from __future__ import annotations

import torch

from tavrix.flowscope.opkinds import get_torch_and_tensor_methods
from tavrix.pruning.opfamily import OpFamily, optional_adapter
from tavrix.pruning.rules.transformer import _cat_parameter_node_handler
from tavrix.pruning.shrink.rules import PassThrough
from tavrix.pruning.shrink.transformer import CatParameterRule, _vision_transformer_adapter

FLATTEN = OpFamily(
    "flatten",
    tuple(get_torch_and_tensor_methods("flatten")),
    label="_flatten_node_handler",
    cut=PassThrough(),
)
# untraced pieces become channels of their own, never removed
CAT = OpFamily(
    "cat", (torch.cat,), label="_cat_node_handler", cut=PassThrough(tensors_may_span=True)
)
# a class token or register concatenated to the stream loses the removed channels' entries
CAT_PARAMETER = OpFamily(
    "cat_parameter",
    (torch.cat,),
    rule_set="extended",
    label=_cat_parameter_node_handler,
    cut=CatParameterRule(),
    # a vision transformer holds its stream's width, which follows a class token's cut
    adapters=optional_adapter(
        "torchvision.models.vision_transformer", "VisionTransformer", _vision_transformer_adapter
    ),
)
