"""Convolutions and linear layers: the layers whose output channels coverage counts."""

from __future__ import annotations

from typing import Any, Dict

import torch.nn.functional as F
from torch import nn

from tavrix.pruning.opfamily import OpFamily, Shape
from tavrix.pruning.shrink.extended import GroupedConvRule
from tavrix.pruning.shrink.rules import ConvRule, LinearRule

CONVS = (F.conv1d, F.conv2d, F.conv3d)
CONV_TRANSPOSES = (F.conv_transpose1d, F.conv_transpose2d, F.conv_transpose3d)


def conv_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    weight = shapes["weight"]
    groups = int(overrides.get("groups", module.groups))
    if module.transposed:
        in_channels, out_channels = weight[0], weight[1] * groups
    else:
        out_channels, in_channels = weight[0], weight[1] * groups
    if in_channels % groups or out_channels % groups:
        raise ValueError(
            f"{in_channels} input and {out_channels} output channels do not split into "
            f"{groups} groups"
        )
    return {"in_channels": in_channels, "out_channels": out_channels, "groups": groups}


def linear_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    out_features, in_features = shapes["weight"]
    return {"in_features": in_features, "out_features": out_features}


CONV = OpFamily(
    "conv",
    CONVS,
    label="_conv_node_handler",
    cut=ConvRule(transposed=False),
    adapters={nn.modules.conv._ConvNd: conv_adapter},
    layer_axis=1,
)
CONV_TRANSPOSE = OpFamily(
    "conv_transpose",
    CONV_TRANSPOSES,
    label="_conv_node_handler",
    cut=ConvRule(transposed=True),
    layer_axis=1,
)
LINEAR = OpFamily(
    "linear",
    (F.linear,),
    label="_linear_node_handler",
    cut=LinearRule(),
    adapters={nn.Linear: linear_adapter},
    layer_axis=-1,
)
# whole groups, or the same positions in every group
GROUPED_CONV = OpFamily(
    "grouped_conv",
    CONVS,
    rule_set="extended",
    label="_grouped_conv_node_handler",
    cut=GroupedConvRule(transposed=False),
)
GROUPED_CONV_TRANSPOSE = OpFamily(
    "grouped_conv_transpose",
    CONV_TRANSPOSES,
    rule_set="extended",
    label="_grouped_conv_node_handler",
    cut=GroupedConvRule(transposed=True),
)
