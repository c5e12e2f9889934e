"""How much of a model the active rule set can prune.

Coverage is the share of the output channels of the model's convolution and linear layers
that lie in some prunable group. A layer is a traced convolution or linear call (each call
counts), or a ``Conv``/``Linear`` module whose weight an operation of the call reads
otherwise (``nn.MultiheadAttention`` reads its ``out_proj``): no rule sees such a layer's
channels, so they count as not prunable. Channels that reach the model's outputs can never
be pruned, whatever the rules, and are left out of the count; so are layers the call does
not use.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Dict, Mapping, Optional, Sequence, Tuple

from torch import nn

from tavrix.flowscope.intercept import METADATA_GET
from tavrix.flowscope.tracing import TensorInfo, flowscope_model
from tavrix.pruning.engine.graphwalk import PruneGraphParser
from tavrix.pruning.opfamily import LAYER_CHANNEL_AXES, LAYER_WEIGHT_ARGUMENTS
from tavrix.utils.common import iter_leaves

__all__ = [
    "LAYER_CHANNEL_AXES",
    "LAYER_WEIGHT_ARGUMENTS",
    "LayerCoverage",
    "Coverage",
    "coverage",
    "coverage_of",
]


@dataclass(frozen=True)
class LayerCoverage:
    """One layer call: its output channels (outputs of the model left out), how many of them
    lie in a prunable group, and how many in a prunable group of more than one label."""

    name: str
    channels: int
    prunable: int
    removable: int


@dataclass(frozen=True)
class Coverage:
    """Output channels of the convolution and linear layers, and the prunable ones.

    ``removable`` counts the channels of prunable groups with more than one label: a group
    of one label (channels that may only go all together) keeps it, so nothing of it can be
    removed.
    """

    channels: int
    prunable: int
    removable: int
    #: channels left out because they reach an output of the model
    at_outputs: int
    layers: Tuple[LayerCoverage, ...]

    @property
    def share(self) -> float:
        return self.prunable / self.channels if self.channels else 1.0

    @property
    def removable_share(self) -> float:
        return self.removable / self.channels if self.channels else 1.0

    def __str__(self) -> str:
        return (
            f"coverage {self.share:.3f}: {self.prunable:,} of {self.channels:,} layer output "
            f"channels prunable, {self.removable:,} in groups of more than one label "
            f"({self.at_outputs:,} at the model's outputs left out)"
        )


def coverage(
    model: Any,
    args: Any = (),
    kwargs: Optional[Dict[str, Any]] = None,
    *,
    entry_point: Any = "__call__",
) -> Coverage:
    """The coverage of one call of ``model`` under the rule set active in this thread."""
    nodes, outputs = flowscope_model(
        model=model, args=args, kwargs={} if kwargs is None else kwargs, entry_point=entry_point
    )
    prunable_groups, _, labels, dims, _ = PruneGraphParser().find_prunable_groups(nodes)
    weights = {}
    if isinstance(model, nn.Module):
        for name, module in model.named_modules():
            if isinstance(module, (nn.modules.conv._ConvNd, nn.Linear)):
                shape = module.weight.shape
                if isinstance(module, nn.modules.conv._ConvNd) and module.transposed:
                    out = shape[1] * module.groups
                else:
                    out = shape[0]
                weights[id(module.weight)] = (name, int(out))
    return coverage_of(nodes, outputs, prunable_groups, labels, dims, weight_layers=weights)


def coverage_of(
    nodes: Sequence[Any],
    outputs: Sequence[Any],
    prunable_groups: Sequence[Tuple[Sequence[Any], Sequence[int]]],
    labels_by_nodes: Mapping[Any, Sequence[int]],
    dims_by_nodes: Mapping[Any, Optional[int]],
    layer_axes: Optional[Mapping[Any, int]] = None,
    weight_layers: Optional[Mapping[Any, Tuple[str, int]]] = None,
) -> Coverage:
    """Coverage from a walk's result (the groups before outputs were made unprunable).

    ``weight_layers`` maps the tensor uid of a layer module's weight to (module name, output
    channels): such a weight, or a view of it, read by anything but a layer operation counts as
    a layer whose channels are not prunable unless that operation's rule labels them.
    """
    # the operation families' layer axes (``OpFamily.layer_axis``)
    axes = LAYER_CHANNEL_AXES if layer_axes is None else layer_axes
    output_ids = {id(node) for node in outputs}
    at_outputs = {label for node in outputs for label in labels_by_nodes.get(node, ())}
    prunable = {label for _, group in prunable_groups for label in group} - at_outputs
    removable = {
        label for _, group in prunable_groups if len(group) > 1 for label in group
    } - at_outputs
    layers = []
    total = covered = spare = excluded = 0
    for node in nodes:
        axis = _layer_axis(axes, node)
        shape = node.result_shape
        if axis is None or shape is None or not shape:
            continue
        axis = axis + len(shape) if axis < 0 else axis
        channels = shape[axis]
        if id(node) in output_ids:
            excluded += channels
            continue
        labels = labels_by_nodes.get(node, ())
        dim = dims_by_nodes.get(node)
        if dim is not None and dim < 0:
            dim += len(shape)
        if dim == axis and len(labels) == channels:
            gone = sum(1 for label in labels if label in at_outputs)
            good = sum(1 for label in labels if label in prunable)
            free = sum(1 for label in labels if label in removable)
        else:
            gone = good = free = 0
        excluded += gone
        total += channels - gone
        covered += good
        spare += free
        layers.append(LayerCoverage(node.unique_name, channels - gone, good, free))
    if weight_layers:
        seen = {
            leaf.tensor_uid
            for node in nodes
            if _layer_axis(axes, node) is not None
            for leaf in iter_leaves((node.args, node.kwargs))
            if isinstance(leaf, TensorInfo)
        }
        for node in nodes:
            if _layer_axis(axes, node) is not None or node.operation_name == METADATA_GET:
                continue
            for leaf in iter_leaves((node.args, node.kwargs)):
                if not isinstance(leaf, TensorInfo) or leaf.tensor_uid in seen:
                    continue
                # the weight itself, or a view of it made in the call (``x @ self.weight.T``)
                uid = leaf.tensor_uid
                if uid not in weight_layers and getattr(leaf, "view_of", None) is not None:
                    uid = leaf.view_of
                found = weight_layers.get(uid)
                if found is None or uid in seen:
                    continue
                seen.add(uid)
                name, channels = found
                if id(node) in output_ids:
                    excluded += channels
                    continue
                labels = _weight_output_labels(node, leaf, channels, labels_by_nodes)
                gone = sum(1 for label in labels if label in at_outputs)
                good = sum(1 for label in labels if label in prunable)
                free = sum(1 for label in labels if label in removable)
                excluded += gone
                total += channels - gone
                covered += good
                spare += free
                layers.append(LayerCoverage(name, channels - gone, good, free))
    return Coverage(total, covered, spare, excluded, tuple(layers))


def _weight_output_labels(
    node: Any, weight: Any, channels: int, labels_by_nodes: Mapping[Any, Sequence[int]]
) -> Sequence[int]:
    """The labels of the channels ``weight`` makes at ``node``, when a rule labels them."""
    try:
        place = LAYER_WEIGHT_ARGUMENTS.get(node.operation)
    except TypeError:
        return ()
    if place is None:
        return ()
    position, key = place
    value = (
        node.kwargs.get(key)
        if key in node.kwargs
        else (node.args[position] if position < len(node.args) else None)
    )
    labels = labels_by_nodes.get(node, ())
    return labels if value is weight and len(labels) == channels else ()


def _layer_axis(axes: Mapping[Any, int], node: Any) -> Optional[int]:
    try:
        return axes.get(node.operation)
    except TypeError:  # an unhashable operation object
        return None
