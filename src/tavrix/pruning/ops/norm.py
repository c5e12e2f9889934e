"""Normalisations: batch, instance, layer, group and RMS norm.

Over the channel axis a normalisation's weights lose the removed channels' entries, and the
masked original recomputes it on the kept channels alone (it divides by their number)."""

from __future__ import annotations

from typing import Any, Dict

import torch
import torch.nn.functional as F
from torch import nn

from tavrix.flowscope.opkinds import CHANNELWISE_OPS
from tavrix.pruning.opfamily import OpFamily, Shape, forms
from tavrix.pruning.rules.transformer import _rms_norm_node_handler
from tavrix.pruning.shrink.context import CutContext
from tavrix.pruning.shrink.rules import PerChannelTensors, ShrinkRule, _arg, _check_carried

__all__ = ["LayerNormRule", "GroupNormRule", "RmsNormRule"]


def norm_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    sizes = {shape[0] for name, shape in shapes.items() if name != "num_batches_tracked"}
    if len(sizes) != 1:
        raise ValueError(f"per-channel tensors of different lengths: {sorted(sizes)}")
    return {"num_features": sizes.pop()}


class LayerNormRule(ShrinkRule):
    """layer_norm: over the channel axis, the weight and bias lose the removed entries (the
    module's ``normalized_shape`` follows them); over other axes nothing is cut."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)
        keep = ctx.keep(node)
        if keep is None:
            return
        axis = ctx.axis(node)
        shape = node.result_shape
        normalized = _arg(node, 1, "normalized_shape")
        span = 1 if isinstance(normalized, int) else len(normalized)
        if axis is None or shape is None or axis < len(shape) - span:
            return
        index = axis - (len(shape) - span)
        weight = ctx.owned(_arg(node, 2, "weight"), node, "weight")
        bias = ctx.owned(_arg(node, 3, "bias"), node, "bias")
        if weight is None and bias is None:
            raise ctx.error(node, "it has no weight or bias to tell which module normalises")
        ctx.slice(weight, index, keep, node)
        ctx.slice(bias, index, keep, node)


class GroupNormRule(ShrinkRule):
    """group_norm on axis 1: weight and bias lose the removed entries; whole groups go (the
    analysis made each group one label), so ``num_groups`` counts the groups left."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)
        keep = ctx.keep_along(node, 1, node, "output")
        if keep is None:
            return
        groups = _arg(node, 1, "num_groups")
        channels = len(ctx.labels(node))
        weight = ctx.owned(_arg(node, 2, "weight"), node, "weight")
        bias = ctx.owned(_arg(node, 3, "bias"), node, "bias")
        ctx.slice(weight, 0, keep, node)
        ctx.slice(bias, 0, keep, node)
        if groups == 1:
            return
        width = channels // groups
        kept_per_group = [0] * groups
        for position in keep:
            kept_per_group[position // width] += 1
        if any(count not in (0, width) for count in kept_per_group):
            raise ctx.error(node, f"it would keep part of a group: {kept_per_group} of {width}")
        left = sum(1 for count in kept_per_group if count)
        owned = weight if weight is not None else bias
        if owned is None or not all(
            isinstance(place.module, nn.GroupNorm) for place in owned.places
        ):
            raise ctx.error(node, "its num_groups is fixed in the call, so it cannot lose groups")
        ctx.set_module_attribute(owned, "num_groups", left, node)


def _layer_norm_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    found = {shape for name, shape in shapes.items() if name in ("weight", "bias")}
    if len(found) != 1:
        raise ValueError(f"weight and bias of different shapes: {sorted(found)}")
    return {"normalized_shape": found.pop()}


def _group_norm_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    found = {shape for name, shape in shapes.items() if name in ("weight", "bias")}
    if len(found) != 1:
        raise ValueError(f"weight and bias of different shapes: {sorted(found)}")
    (channels,) = found.pop()
    groups = int(overrides.get("num_groups", module.num_groups))
    if channels % groups:
        raise ValueError(f"{channels} channels do not split into {groups} groups")
    return {"num_channels": channels, "num_groups": groups}


def _layer_norm_kept(
    call: Any, axis: int, kept: torch.Tensor, result: torch.Tensor
) -> torch.Tensor:
    """A layer norm over the channel axis normalises the kept channels among themselves."""
    x = _arg(call, 0, "input")
    normalized = _arg(call, 1, "normalized_shape")
    sizes = [normalized] if isinstance(normalized, int) else list(normalized)
    first = x.dim() - len(sizes)
    if axis < first:
        return result
    sizes[axis - first] = len(kept)
    weight = _arg(call, 2, "weight")
    bias = _arg(call, 3, "bias")
    if weight is not None:
        weight = weight.index_select(axis - first, kept)
    if bias is not None:
        bias = bias.index_select(axis - first, kept)
    eps = _arg(call, 4, "eps", 1e-5)
    value = F.layer_norm(x.index_select(axis, kept), sizes, weight, bias, eps)
    return result.index_copy_(axis, kept, value.to(result.dtype))


def _group_norm_kept(
    call: Any, axis: int, kept: torch.Tensor, result: torch.Tensor
) -> torch.Tensor:
    """One group over all channels normalises the kept ones among themselves; with more
    groups whole groups go and the others are unaffected."""
    if _arg(call, 1, "num_groups") != 1 or axis != 1:
        return result
    x = _arg(call, 0, "input")
    weight = _arg(call, 2, "weight")
    bias = _arg(call, 3, "bias")
    weight = None if weight is None else weight.index_select(0, kept)
    bias = None if bias is None else bias.index_select(0, kept)
    eps = _arg(call, 4, "eps", 1e-5)
    value = F.group_norm(x.index_select(1, kept), 1, weight, bias, eps)
    return result.index_copy_(1, kept, value.to(result.dtype))


class RmsNormRule(ShrinkRule):
    """rms_norm over the channel axis: the weight loses the removed entries."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)
        keep = ctx.keep(node)
        if keep is None or ctx.axis(node) != len(node.result_shape) - 1:
            return
        weight = ctx.owned(_arg(node, 2, "weight"), node, "weight")
        ctx.slice(weight, 0, keep, node)


def _rms_norm_kept(call: Any, axis: int, kept: torch.Tensor, result: torch.Tensor) -> torch.Tensor:
    """An rms_norm over the channel axis normalises the kept channels among themselves."""
    x = _arg(call, 0, "input")
    if axis != x.dim() - 1:
        return result
    weight = _arg(call, 2, "weight")
    weight = None if weight is None else weight.index_select(0, kept)
    value = F.rms_norm(x.index_select(axis, kept), (len(kept),), weight, _arg(call, 3, "eps"))
    return result.index_copy_(axis, kept, value.to(result.dtype))


def _rms_norm_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    return {"normalized_shape": shapes["weight"]} if "weight" in shapes else {}


BATCH_NORM = OpFamily(
    "batch_norm",
    tuple(op for op in CHANNELWISE_OPS if op in (F.batch_norm, torch.batch_norm)),
    label="_channelwise_node_handler",
    cut=PerChannelTensors(),
    adapters={nn.modules.batchnorm._BatchNorm: norm_adapter},
)
LAYER_NORM = OpFamily(
    "layer_norm",
    forms("layer_norm", functional=True),
    rule_set="extended",
    label="_layer_norm_node_handler",
    cut=LayerNormRule(),
    masked_replay=_layer_norm_kept,
    adapters={nn.LayerNorm: _layer_norm_adapter},
)
GROUP_NORM = OpFamily(
    "group_norm",
    forms("group_norm", functional=True),
    rule_set="extended",
    label="_group_norm_node_handler",
    cut=GroupNormRule(),
    masked_replay=_group_norm_kept,
    adapters={nn.GroupNorm: _group_norm_adapter},
)
INSTANCE_NORM = OpFamily(
    "instance_norm",
    forms("instance_norm", functional=True),
    rule_set="extended",
    label="_instance_norm_node_handler",
    cut=PerChannelTensors(),
    adapters={nn.modules.instancenorm._InstanceNorm: norm_adapter},
)
RMS_NORM = OpFamily(
    "rms_norm",
    (F.rms_norm, torch.rms_norm),
    rule_set="extended",
    label=_rms_norm_node_handler,
    cut=RmsNormRule(),
    masked_replay=_rms_norm_kept,
    adapters={nn.RMSNorm: _rms_norm_adapter},
)
