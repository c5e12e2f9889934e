"""Per-operation shrink rules and per-module attribute adapters.

A rule is registered for the operations a traced node may record (the same
objects the label engine dispatches on). It reads the node's kept positions
from the :class:`CutContext` and records which model tensors lose which
indices. An adapter turns a module's new tensor shapes into the attributes
its constructor takes (``out_channels``, ``num_features``, ...), so that
``repr(model)`` and a rebuild from the attributes agree with the weights.

Operations without a rule that touch a removed channel make the shrink fail,
as do tensors of a module type without an adapter: a cut that nothing proves
consistent is not made. The rules are filed with their operations by the families of
``tavrix.pruning.ops`` (the tables here are that registry's indexes).

Each rule set of the label engine has its rules: a plan is shrunk with the
rules of the set that made it. The extended set's registry holds what it adds
or replaces; every other operation uses the standard rule.
"""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

from torch import nn

from tavrix.flowscope.intercept import METADATA_GET
from tavrix.pruning.opfamily import (
    EXTENDED_SHRINK_RULES,
    FALLBACK_ADAPTERS,
    MODULE_ADAPTERS,
    MODULE_ADAPTERS_BY_NAME,
    SHRINK_RULES,
    ModuleAdapter,
)
from tavrix.pruning.shrink.context import CutContext, GraphAxes, OwnedTensor
from tavrix.pruning.shrink.context import node_argument as _arg

__all__ = [
    "ShrinkRule",
    "PassThrough",
    "PerChannelTensors",
    "ConvRule",
    "LinearRule",
    "SHRINK_RULES",
    "EXTENDED_SHRINK_RULES",
    "MODULE_ADAPTERS",
    "register_shrink_rule",
    "register_module_adapter",
    "rule_for",
    "adapter_for",
]

Shape = Tuple[int, ...]


class ShrinkRule:
    """How the nodes of some operations are shrunk."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        """Record the cuts ``node`` needs; raise ``ctx.error(...)`` when it cannot be cut."""
        raise NotImplementedError

    def producer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int]]:
        """The weight whose slices along the returned axis make ``node``'s output channels
        (used to rank channels by magnitude); None when the node makes no channels."""
        return None

    def consumer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int, Any]]:
        """The weight whose slices along the returned axis multiply the channels of the
        returned input node (its columns: what removing an input channel takes away); None
        when the node reads no channels through a weight."""
        return None

    def equal_cuts(self, axes: GraphAxes, node: Any) -> Sequence[Sequence[int]]:
        """Label lists of ``node``'s operands that must lose equally many channels (one
        attribute of the model sizes them all), for choosing channels the rule can cut;
        empty when the node asks for nothing of the kind."""
        return ()


_REGISTRIES = {"standard": SHRINK_RULES, "extended": EXTENDED_SHRINK_RULES}


def register_shrink_rule(
    operations: Any, rule: ShrinkRule, *, replace: bool = False, rule_set: str = "standard"
) -> None:
    """Use ``rule`` for nodes of each operation in ``operations`` (one or an iterable) in
    plans of ``rule_set`` ("standard", or "extended": plans of the extended rules)."""
    if not isinstance(rule, ShrinkRule):
        raise TypeError(f"expected a ShrinkRule, got {type(rule).__name__}")
    registry = _REGISTRIES.get(rule_set)
    if registry is None:
        raise ValueError(f"rule_set must be one of {sorted(_REGISTRIES)}, got {rule_set!r}")
    ops = (
        list(operations) if isinstance(operations, (list, tuple, set, frozenset)) else [operations]
    )
    for op in ops:
        known = registry.get(op)
        if known is not None and known is not rule and not replace:
            raise ValueError(f"a shrink rule for {op!r} is already registered")
    for op in ops:
        registry[op] = rule


def register_module_adapter(
    module_type: type, adapter: ModuleAdapter, *, replace: bool = False
) -> None:
    """Use ``adapter`` for modules of ``module_type`` and its subclasses.

    ``adapter(module, shapes, overrides)`` gets the new shape of each of the
    module's own parameters and buffers and the attributes rules set
    explicitly, and returns the attributes to set; it raises ``ValueError``
    when the shapes do not make a valid module.
    """
    if not (isinstance(module_type, type) and issubclass(module_type, nn.Module)):
        raise TypeError(f"expected a torch.nn.Module subclass, got {module_type!r}")
    known = MODULE_ADAPTERS.get(module_type)
    if known is not None and known is not adapter and not replace:
        raise ValueError(f"an adapter for {module_type.__name__} is already registered")
    MODULE_ADAPTERS[module_type] = adapter


def rule_for(node: Any, rule_set: str = "standard") -> Optional[ShrinkRule]:
    if node.operation_name == METADATA_GET:
        return _METADATA
    try:
        if rule_set == "extended":
            rule = EXTENDED_SHRINK_RULES.get(node.operation)
            if rule is not None:
                return rule
        return SHRINK_RULES.get(node.operation)
    except TypeError:  # an unhashable operation object
        return None


def adapter_for(module: nn.Module, rule_set: str = "standard") -> Optional[ModuleAdapter]:
    for cls in type(module).__mro__:
        adapter = MODULE_ADAPTERS.get(cls)
        if adapter is None:
            adapter = MODULE_ADAPTERS_BY_NAME.get(f"{cls.__module__}.{cls.__qualname__}")
        if adapter is not None:
            return adapter
    return FALLBACK_ADAPTERS.get(rule_set)


# --------------------------------------------------------------------------- rules


def _check_carried(ctx: CutContext, node: Any) -> None:
    """Removed channels of the node's inputs must reach its output: the node has no
    parameters to cut them from."""
    carried = ctx.removed_labels(node)
    for source in ctx.graph_axes.inputs.get(node, ()):
        lost = ctx.removed_labels(source)
        if lost and not lost <= carried:
            raise ctx.error(
                node,
                f"it reads {len(lost - carried)} removed channel(s) of {source.unique_name} "
                "that its output does not carry, and no rule cuts them from its parameters",
            )


def _channel_cut(ctx: CutContext, node: Any) -> Optional[Tuple[List[int], int, Tuple[int, ...]]]:
    """The kept channels, channel axis and result shape of a node whose output loses
    channels it carries from its inputs; None when it loses none."""
    _check_carried(ctx, node)
    keep = ctx.keep(node)
    if keep is None:
        return None
    axis = ctx.axis(node)
    shape = node.result_shape
    if axis is None or shape is None:
        raise ctx.error(node, "its output loses channels but has no known channel axis")
    return keep, axis, shape


def _spans(shape: Shape, result_shape: Shape, axis: int) -> bool:
    """Whether a broadcast operand of ``shape`` has more than one entry along ``axis``."""
    index = axis - (len(result_shape) - len(shape))
    return 0 <= index < len(shape) and shape[index] != 1


class _Metadata(ShrinkRule):
    """Shape reads run on the shrunk tensor and need nothing."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        return None


_METADATA = _Metadata()


class PassThrough(ShrinkRule):
    """Parameter-free operations that carry channels position by position.

    A tensor argument that is not a traced value (a parameter, buffer or
    constant) must not span the cut axis: nothing here could slice it.
    ``tensors_may_span`` is for concatenation, whose untraced pieces become
    channels of their own that are never removed.
    """

    def __init__(self, tensors_may_span: bool = False) -> None:
        self.tensors_may_span = tensors_may_span

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)
        if self.tensors_may_span or ctx.keep(node) is None:
            return
        axis = ctx.axis(node)
        shape = node.result_shape
        if axis is None or shape is None:
            raise ctx.error(node, "its output loses channels but has no known channel axis")
        for value in ctx.graph_axes.tensors.get(node, ()):
            if _spans(tuple(value.shape), shape, axis):
                owned = ctx.owners.get(value.tensor_uid)
                what = owned.name if owned is not None else "a tensor"
                raise ctx.error(
                    node,
                    f"it takes {what} of shape {tuple(value.shape)} across the cut axis {axis}, "
                    "which no rule slices",
                )


class PerChannelTensors(ShrinkRule):
    """Channel-wise operations with one entry per channel in each tensor argument
    (batch norm's affine parameters and running statistics, PReLU's weight)."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        _check_carried(ctx, node)
        keep = ctx.keep_along(node, 1, node, "output")
        if keep is None:
            return
        channels = len(ctx.labels(node))
        for value in ctx.graph_axes.tensors.get(node, ()):
            shape = tuple(value.shape)
            if len(shape) == 0 or (len(shape) == 1 and shape[0] == 1):
                continue  # one value shared by every channel
            if shape != (channels,):
                raise ctx.error(
                    node,
                    f"it takes a tensor of shape {shape}, expected one entry per channel "
                    f"({channels})",
                )
            ctx.slice(ctx.owned(value, node, "per-channel tensor"), 0, keep, node)


class ConvRule(ShrinkRule):
    """Convolutions and transposed convolutions: output channels and input channels of a
    dense one (``groups == 1``), and the channels of a depthwise one, whose ``groups`` follow
    them. Which of the two a node is, the walk decided (its ``"dense"`` or ``"depthwise"``
    branch); a convolution it labelled otherwise (a grouped one, say) is not cut."""

    def __init__(self, transposed: bool) -> None:
        self.transposed = transposed

    def _axes(self) -> Tuple[int, int]:
        # (axis of the weight along output channels, along input channels)
        return (1, 0) if self.transposed else (0, 1)

    def apply(self, ctx: CutContext, node: Any) -> None:
        source = _arg(node, 0, "input")
        out_keep = ctx.keep_along(node, 1, node, "output")
        in_keep = ctx.keep_along(source, 1, node, "input")
        if out_keep is None and in_keep is None:
            return
        decision = ctx.decision(node)
        if decision == "dense":
            self._cut_dense(ctx, node, source, out_keep, in_keep)
        elif decision == "depthwise":
            keep = out_keep if out_keep is not None else in_keep
            assert keep is not None  # one of them is, or the cut returned above
            self._cut_depthwise(ctx, node, keep)
        elif decision == "grouped":
            groups = _arg(node, 6, "groups", 1)
            raise ctx.error(node, f"grouped convolution (groups={groups}): no rule cuts it")
        else:
            raise ctx.refuse_decision(node, "the convolution rule")

    def _cut_dense(
        self,
        ctx: CutContext,
        node: Any,
        source: Any,
        out_keep: Optional[List[int]],
        in_keep: Optional[List[int]],
    ) -> None:
        weight = ctx.required(_arg(node, 1, "weight"), node, "weight")
        bias = ctx.owned(_arg(node, 2, "bias"), node, "bias")
        out_axis, in_axis = self._axes()
        shape = tuple(weight.tensor.shape)
        n_out, n_in = len(ctx.labels(node)), len(ctx.labels(source))
        if out_keep is not None and shape[out_axis] != n_out:
            raise ctx.error(node, f"the weight {shape} does not have {n_out} output channels")
        if in_keep is not None and shape[in_axis] != n_in:
            raise ctx.error(node, f"the weight {shape} does not have {n_in} input channels")
        if out_keep is not None:
            ctx.slice(weight, out_axis, out_keep, node)
            ctx.slice(bias, 0, out_keep, node)
        if in_keep is not None:
            ctx.slice(weight, in_axis, in_keep, node)

    def _cut_depthwise(self, ctx: CutContext, node: Any, keep: List[int]) -> None:
        # one channel per group, the input's labels on the output: the weight's first axis
        # holds the channels, transposed or not
        weight = ctx.required(_arg(node, 1, "weight"), node, "weight")
        bias = ctx.owned(_arg(node, 2, "bias"), node, "bias")
        shape = tuple(weight.tensor.shape)
        channels = len(ctx.labels(node))
        if shape[0] != channels or shape[1] != 1:
            raise ctx.error(
                node, f"the weight {shape} is not that of a depthwise convolution of {channels}"
            )
        if not all(isinstance(place.module, nn.modules.conv._ConvNd) for place in weight.places):
            raise ctx.error(
                node,
                "its groups argument is fixed in the call, so a depthwise convolution "
                "cannot lose channels",
            )
        ctx.slice(weight, 0, keep, node)
        ctx.slice(bias, 0, keep, node)
        ctx.set_module_attribute(weight, "groups", len(keep), node)

    def producer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int]]:
        if ctx.axis(node) != 1 or not ctx.labels(node):
            return None
        weight = ctx.owner_of(_arg(node, 1, "weight"))
        if weight is None:
            return None
        # a dense convolution's output axis; a grouped one's output channels lead its weight
        out_axis = self._axes()[0] if ctx.decision(node) == "dense" else 0
        if weight.tensor.shape[out_axis] != len(ctx.labels(node)):
            return None
        return weight, out_axis

    def consumer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int, Any]]:
        source = _arg(node, 0, "input")
        if ctx.decision(node) != "dense" or ctx.axis(source) != 1 or not ctx.labels(source):
            return None
        weight = ctx.owner_of(_arg(node, 1, "weight"))
        in_axis = self._axes()[1]
        if weight is None or weight.tensor.shape[in_axis] != len(ctx.labels(source)):
            return None
        return weight, in_axis, source


class LinearRule(ShrinkRule):
    """Fully-connected layers: output features and input features along the last axis."""

    def apply(self, ctx: CutContext, node: Any) -> None:
        source = _arg(node, 0, "input")
        out_keep = ctx.keep(node) if _last_axis(ctx, node) else None
        in_keep = ctx.keep(source) if _last_axis(ctx, source) else None
        if ctx.keep(source) is not None and in_keep is None:
            # channels along another axis pass a one-feature layer untouched
            _check_carried(ctx, node)
        if out_keep is None and in_keep is None:
            return
        weight = ctx.required(_arg(node, 1, "weight"), node, "weight")
        shape = tuple(weight.tensor.shape)
        if out_keep is not None:
            if shape[0] != len(ctx.labels(node)):
                raise ctx.error(node, f"the weight {shape} does not match the output features")
            ctx.slice(weight, 0, out_keep, node)
            # only then: a bias computed in the call (EVA's cat of q, k and v biases) may
            # stay when only inputs go
            slice_vector(ctx, _arg(node, 2, "bias"), out_keep, node, "bias")
        if in_keep is not None:
            if shape[1] != len(ctx.labels(source)):
                raise ctx.error(node, f"the weight {shape} does not match the input features")
            ctx.slice(weight, 1, in_keep, node)

    def producer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int]]:
        if ctx.axis(node) != len(node.result_shape or ()) - 1 or not ctx.labels(node):
            return None
        weight = ctx.owner_of(_arg(node, 1, "weight"))
        if weight is None or weight.tensor.shape[0] != len(ctx.labels(node)):
            return None
        return weight, 0

    def consumer_weight(self, ctx: CutContext, node: Any) -> Optional[Tuple[OwnedTensor, int, Any]]:
        source = _arg(node, 0, "input")
        shape = ctx.shape_of(source)
        if shape is None or ctx.axis(source) != len(shape) - 1 or not ctx.labels(source):
            return None
        weight = ctx.owner_of(_arg(node, 1, "weight"))
        if (
            weight is None
            or weight.tensor.dim() != 2
            or weight.tensor.shape[1] != len(ctx.labels(source))
        ):
            return None
        return weight, 1, source


def slice_vector(ctx: CutContext, info: Any, keep: Sequence[int], node: Any, role: str) -> None:
    """Cut a 1-D tensor of the call to ``keep``: a model tensor, or a concatenation a module
    made of its own (``torch.cat((self.q_bias, self.k_bias, self.v_bias))``), each piece of
    which keeps the kept positions in its own range."""
    parts = getattr(info, "cat_of", None)
    if parts is None:
        ctx.slice(ctx.owned(info, node, role), 0, keep, node)
        return
    pieces = [ctx.owners.get(uid) for uid in parts]
    sizes = [p.tensor.shape[0] if p is not None and p.tensor.dim() == 1 else -1 for p in pieces]
    if -1 in sizes or sum(sizes) != info.shape[0]:
        ctx.slice(ctx.owned(info, node, role), 0, keep, node)  # names what it is not
        return
    start = 0
    for piece, size in zip(pieces, sizes):
        ctx.slice(piece, 0, [i - start for i in keep if start <= i < start + size], node)
        start += size


def _last_axis(ctx: CutContext, node: Any) -> bool:
    """Whether a node (or each piece of a chunk or split) loses channels along its last axis."""
    shape = ctx.shape_of(node)
    if ctx.keep(node) is None or shape is None:
        return False
    return ctx.axis(node) == len(shape) - 1
