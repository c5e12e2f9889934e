"""Operations that keep every channel where it is: activations, channel-wise operations,
dropout, reductions over other axes, binary elementwise operations, dtype conversions."""

from __future__ import annotations

from typing import Any, Dict

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.opkinds import (
    BINARY_ELEMENTWISE_OPS,
    CHANNELWISE_OPS,
    DROPOUT_OPS,
    ELEMENTWISE_OPS,
    UNARY_REDUCE_OPS,
)
from tavrix.pruning.opfamily import OpFamily, Shape
from tavrix.pruning.rules.transformer import (
    CONVERSIONS,
    _channel_mean_node_handler,
    _conversion_node_handler,
)
from tavrix.pruning.shrink.extended import ParameterBinaryRule, parameter_holder_adapter
from tavrix.pruning.shrink.rules import PassThrough, PerChannelTensors
from tavrix.pruning.shrink.transformer import ChannelMeanRule, _channel_mean_replay

# channel-wise operations whose tensors hold one entry per channel
_WITH_PARAMETERS = (F.batch_norm, torch.batch_norm, F.prelu, torch.prelu, torch.Tensor.prelu)
_PASS = PassThrough()


def prelu_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    return {"num_parameters": shapes["weight"][0]}


ELEMENTWISE = OpFamily("elementwise", ELEMENTWISE_OPS, label="_elementwise_node_handler", cut=_PASS)
CHANNELWISE = OpFamily(
    "channelwise",
    tuple(op for op in CHANNELWISE_OPS if op not in _WITH_PARAMETERS),
    label="_channelwise_node_handler",
    cut=_PASS,
)
PRELU = OpFamily(
    "prelu",
    tuple(op for op in CHANNELWISE_OPS if op in (F.prelu, torch.prelu, torch.Tensor.prelu)),
    label="_channelwise_node_handler",
    cut=PerChannelTensors(),
    adapters={nn.PReLU: prelu_adapter},
)
DROPOUT = OpFamily("dropout", DROPOUT_OPS, label="_dropout_node_handler", cut=_PASS)
BINARY = OpFamily(
    "binary_elementwise",
    BINARY_ELEMENTWISE_OPS,
    label="_binary_elementwise_node_handler",
    cut=_PASS,
)
UNARY_REDUCE = OpFamily("unary_reduce", UNARY_REDUCE_OPS, label="_unary_reduce_handler", cut=_PASS)
# a layer scale, a bias added by hand: the parameter loses the removed channels' entries; the
# module holding it may be of any type
PARAMETER_BINARY = OpFamily(
    "parameter_binary",
    BINARY_ELEMENTWISE_OPS,
    rule_set="extended",
    label="_parameter_binary_node_handler",
    cut=ParameterBinaryRule(),
    fallback_adapter=parameter_holder_adapter,
)
CONVERSION = OpFamily(
    "conversion", CONVERSIONS, rule_set="extended", label=_conversion_node_handler, cut=_PASS
)
CHANNEL_MEAN = OpFamily(
    "channel_mean",
    (torch.mean, torch.Tensor.mean),
    rule_set="extended",
    label=_channel_mean_node_handler,
    cut=ChannelMeanRule(),
    input_replay=_channel_mean_replay,
)
