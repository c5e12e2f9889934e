"""Shrink rules for plans of the extended rule set (``tavrix.pruning.rules.extended``).

The extended set's cuts (filed with their operations by the families of
``tavrix.pruning.ops``): grouped convolutions lose whole groups or the same positions in every
group, per-channel parameters of elementwise operations lose the removed
channels' entries, and operations that only move channels (axis moves,
reshapes, pieces, slices) cut nothing. The normalisations' cuts live with their
family in ``tavrix.pruning.ops.norm``.
"""

from __future__ import annotations

import math
from typing import Any, Dict, List, Sequence, Tuple

from torch import nn

from tavrix.flowscope.tracing import NodeInfo
from tavrix.pruning.shrink.context import CutContext, GraphAxes
from tavrix.pruning.shrink.rules import (
    ConvRule,
    PassThrough,
    ShrinkRule,
    _arg,
    _channel_cut,
    _check_carried,
    _spans,
)
from tavrix.pruning.shrink.sizes import _reshape_target as reshape_target
from tavrix.pruning.shrink.sizes import _runs_in as runs_in

__all__ = [
    "MovesChannels",
    "ReshapeRule",
    "ReadsNoChannels",
    "GroupedConvRule",
    "ParameterBinaryRule",
]

Shape = Tuple[int, ...]


class MovesChannels(ShrinkRule):
    """Operations that only move channels (permute, reshape, chunk, pad, roll, ...): the
    removed channels must reach the output; there is nothing to cut."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)


class ReshapeRule(MovesChannels):
    """Reshapes and views: nothing to cut. A reshape carrying its channel axis whole that is
    given the channel count a read of the same module call found on other channels
    (PVT's ``self.sr(x).reshape(B, C, -1)``, C read off the stream) only fits when both lose
    equally many: the two are tied for choosing channels, and the shrink's check of the
    reshape numbers refuses other counts. Heads merged back by that count (``reshape(B, N,
    C)``) lose as many channels as the count: their labels, one per head or per head_dim
    position, each stand for several."""

    #: an operand's labels may repeat: it loses as many channels as it holds removed labels
    proportional = True

    def equal_cuts(self, axes: GraphAxes, node: Any) -> Sequence[Sequence[int]]:
        labels = axes.labels.get(node)
        axis = axes.axes.get(node)
        source = node.args[0] if node.args else None
        shape = axes.shape_of(node)
        if not labels or axis is None or shape is None or not isinstance(source, NodeInfo):
            return ()
        source_shape, source_axis = axes.shape_of(source), axes.axes.get(source)
        if source_shape is None or source_axis is None or not 0 <= axis < len(shape):
            return ()
        width = shape[axis]
        if not 0 <= source_axis < len(source_shape) or source_shape[source_axis] > width:
            return ()  # the channels are split: their pieces are numbers of their own
        target = reshape_target(node)
        if target is None or len(target) != len(shape) or target[axis] != width:
            return ()
        # the read channels each of their own label (not heads sharing head_dim positions,
        # whose width merely equals the count); the reshaped ones may be heads merged back,
        # each label standing for as many channels (``proportional``)
        tied = [
            other
            for other in counts_read(axes, node)
            if len(other) == width and other != labels and len(set(other)) == width
        ]
        return [labels] + tied if tied else ()


def counts_read(axes: GraphAxes, node: Any) -> List[Sequence[int]]:
    """The label lists of the tensors whose shapes the module calls running ``node`` read
    before it (once each)."""
    at = axes.place(node)
    found: List[Sequence[int]] = []
    for place, path, labels in axes.shape_reads():
        if place >= at:
            break
        if runs_in(node.module_path, path) and all(labels is not seen for seen in found):
            found.append(labels)
    return found


class ReadsNoChannels(ShrinkRule):
    """Indexing (the channels a slice leaves out may go; those its bounds count from were kept
    by the analysis) and new_zeros / zeros_like (they read no values)."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        return None


class GroupedConvRule(ConvRule):
    """Convolutions with groups, as the walk labelled them (whole groups, the same positions
    in every group, or one channel per group): the kept channels of every remaining group
    sit at the same positions, so the weight keeps one slice per group and ``groups``
    counts the groups left (whole groups removed) or stays (the same positions removed from
    every group). Other convolutions as under the standard rules."""

    _GROUPED = ("whole_groups", "positions", "depthwise")

    def apply(self, ctx: CutContext, node: Any) -> None:
        if ctx.decision(node) not in self._GROUPED:
            super().apply(ctx, node)
            return
        groups = _arg(node, 6, "groups", 1)
        source = _arg(node, 0, "input")
        out_keep = ctx.keep_along(node, 1, node, "output")
        in_keep = ctx.keep_along(source, 1, node, "input")
        if out_keep is None and in_keep is None:
            return
        weight = ctx.required(_arg(node, 1, "weight"), node, "weight")
        bias = ctx.owned(_arg(node, 2, "bias"), node, "bias")
        shape = tuple(weight.tensor.shape)
        n_out_total, n_in_total = len(ctx.labels(node)), len(ctx.labels(source))
        if n_out_total % groups or n_in_total % groups:
            raise ctx.error(node, f"{n_in_total} -> {n_out_total} channels in {groups} groups")
        n_out, n_in = n_out_total // groups, n_in_total // groups
        expected = (n_in_total, n_out) if self.transposed else (n_out_total, n_in)
        if shape[:2] != expected:
            raise ctx.error(node, f"the weight {shape} does not fit {groups} groups")
        out_kept = list(range(n_out_total)) if out_keep is None else out_keep
        in_kept = list(range(n_in_total)) if in_keep is None else in_keep
        out_rel = _per_group(out_kept, n_out, groups)
        in_rel = _per_group(in_kept, n_in, groups)
        left = [g for g in range(groups) if out_rel[g] or in_rel[g]]
        shapes = {(tuple(out_rel[g]), tuple(in_rel[g])) for g in left}
        if len(shapes) != 1 or not all(out_rel[g] and in_rel[g] for g in left):
            raise ctx.error(
                node,
                f"its channels are cut unevenly across its {groups} groups (kept per group: "
                f"{[len(out_rel[g]) for g in range(groups)]} outputs, "
                f"{[len(in_rel[g]) for g in range(groups)]} inputs)",
            )
        first = left[0]
        if len(left) != groups and not all(
            isinstance(place.module, nn.modules.conv._ConvNd) for place in weight.places
        ):
            raise ctx.error(
                node, "its groups argument is fixed in the call, so it cannot lose whole groups"
            )
        if self.transposed:
            if in_keep is not None:
                ctx.slice(weight, 0, in_kept, node)
            if len(out_rel[first]) != n_out:
                ctx.slice(weight, 1, out_rel[first], node)
        else:
            if out_keep is not None:
                ctx.slice(weight, 0, out_kept, node)
            if len(in_rel[first]) != n_in:
                ctx.slice(weight, 1, in_rel[first], node)
        if out_keep is not None:
            ctx.slice(bias, 0, out_kept, node)
        if len(left) != groups:
            ctx.set_module_attribute(weight, "groups", len(left), node)


def _per_group(kept: List[int], width: int, groups: int) -> List[List[int]]:
    """Kept positions of each group, relative to the group's first channel."""
    result: List[List[int]] = [[] for _ in range(groups)]
    for position in kept:
        result[position // width].append(position % width)
    return result


class ParameterBinaryRule(PassThrough):
    """Elementwise operations with a parameter holding one entry per channel (a layer scale,
    a bias added by hand): the parameter loses the removed channels' entries."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        cut = _channel_cut(ctx, node)
        if cut is None:
            return
        keep, axis, shape = cut
        channels = len(ctx.labels(node))
        for value in ctx.graph_axes.tensors.get(node, ()):
            value_shape = tuple(value.shape)
            if not _spans(value_shape, shape, axis):
                continue
            index = axis - (len(shape) - len(value_shape))
            if value_shape[index] != channels:
                raise ctx.error(
                    node,
                    f"it takes a tensor of shape {value_shape} across the cut axis {axis}, "
                    f"expected one entry per channel ({channels})",
                )
            rows = getattr(value, "rows_of", None)
            if rows is not None and ctx.owners.get(value.tensor_uid) is None:
                # gathered from a parameter's rows (a bias table per head): its rows go
                owned = ctx.owners.get(rows)
                if index != 0 or owned is None or owned.tensor.shape[0] != channels:
                    raise ctx.error(
                        node,
                        f"it takes a tensor of shape {value_shape} gathered from a parameter "
                        f"whose rows are not its {channels} channels",
                    )
                ctx.slice(owned, 0, keep, node)
                continue
            base = getattr(value, "view_of", None)
            if base is not None and ctx.owners.get(value.tensor_uid) is None:
                # a reshape of a parameter made in the call (``self.gamma.reshape(1, -1, 1,
                # 1)``): the parameter's own axis of that many entries is cut
                owned = ctx.owners.get(base)
                sizes = tuple(owned.tensor.shape) if owned is not None else ()
                if sizes.count(channels) != 1 or math.prod(sizes) != channels:
                    raise ctx.error(
                        node,
                        f"it takes a view of shape {value_shape} of a tensor that is no "
                        f"parameter of the model with one entry per channel ({channels})",
                    )
                ctx.slice(owned, sizes.index(channels), keep, node)
                continue
            ctx.slice(ctx.owned(value, node, "per-channel parameter"), index, keep, node)


# Widths a model holding its stream's class token and position embeddings keeps (timm's
# vision transformers): the stream's channel count, which follows it
_STREAM_WIDTHS = ("embed_dim", "num_features", "head_hidden_size")


def parameter_holder_adapter(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    """A module of a type no adapter knows, holding a parameter a rule cuts (a block's layer
    scale, a class token): nothing to set, unless an integer attribute looks like the count
    it loses. A stream width under a known name follows when all the sizes it equals become
    one new size."""
    resized: Dict[int, set] = {}
    for registry in (module._parameters, module._buffers):
        for name, tensor in registry.items():
            if tensor is None or name not in shapes:
                continue
            for before, after in zip(tensor.shape, shapes[name]):
                if before != after:
                    resized.setdefault(int(before), set()).add(int(after))
    found = dict(overrides)
    for name, value in vars(module).items():
        if name in overrides:
            continue
        if type(value) is tuple and value and all(type(v) is int for v in value):
            # a shape the forward views a parameter with (poolformer's ``self.scale.view(
            # self.shape)``, shape (dim, 1, 1)): the one resized entry follows
            counts = [v for v in value if v in resized]
            if not counts:
                continue
            if len(counts) == 1 and len(resized[counts[0]]) == 1:
                new = next(iter(resized[counts[0]]))
                found[name] = tuple(new if v == counts[0] else v for v in value)
                continue
            raise ValueError(
                f"its attribute {name} = {value} may hold the channels it loses; register an "
                "adapter for its type (register_module_adapter) to say how it follows"
            )
        if type(value) is not int or value not in resized:
            continue
        if name in _STREAM_WIDTHS and len(resized[value]) == 1:
            found[name] = next(iter(resized[value]))
            continue
        raise ValueError(
            f"its attribute {name} = {value} may count the channels it loses; register an "
            "adapter for its type (register_module_adapter) to say how it follows"
        )
    # with the attributes a rule set (an attention module's head counts)
    return found


def __getattr__(name: str) -> Any:
    # the normalisations' cuts live with their family
    if name in ("LayerNormRule", "GroupNormRule"):
        from tavrix.pruning.ops import norm

        return getattr(norm, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
