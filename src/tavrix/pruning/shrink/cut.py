"""Remove channels from a model in place, all or nothing, and report what changed."""

from __future__ import annotations

import functools
import math
import operator
import sys
from dataclasses import dataclass, field
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import torch
from torch import nn

from tavrix.flowscope.fingerprint import call_steps, digest, tensor_owner
from tavrix.flowscope.intercept import regather
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.shrink.context import (
    CutContext,
    GraphAxes,
    OwnedTensor,
    ShrinkError,
    node_text,
)
from tavrix.pruning.shrink.huggingface import update_configs, watch
from tavrix.pruning.shrink.rules import adapter_for, rule_for
from tavrix.pruning.shrink.sizes import (  # HEAD_DIM_NAMES: imported from here too
    HEAD_DIM_NAMES,  # noqa: F401
    check_reshape_sizes,
    check_scales,
)

__all__ = ["GroupCut", "TensorChange", "ShrinkReport", "shrink", "validated_removal"]

Shape = Tuple[int, ...]


@dataclass(frozen=True)
class GroupCut:
    """One prunable group before and after the cut."""

    index: int
    channels: int
    kept: int
    module_names: Tuple[str, ...]
    #: positions (in the group's label order) of the channels kept
    keep: Tuple[int, ...] = ()


@dataclass(frozen=True)
class TensorChange:
    """One parameter or buffer that lost indices."""

    name: str
    before: Shape
    after: Shape
    #: axis -> indices kept along it
    keep: Dict[int, Tuple[int, ...]]
    is_parameter: bool


@dataclass
class ShrinkReport:
    """What :func:`shrink` did; ``table()`` is the before/after table."""

    parameters_before: int
    parameters_after: int
    groups: List[GroupCut]
    tensors: List[TensorChange]
    #: module name -> attribute -> (before, after)
    module_attributes: Dict[str, Dict[str, Tuple[Any, Any]]]
    #: module name -> attributes set by rules rather than read off the shapes (groups)
    overrides: Dict[str, Dict[str, Any]]
    #: modules with parameters that the analysed call never used (left as they are)
    unseen_modules: List[str]
    #: the fingerprint, or a function making it when first asked for
    _fingerprint: Any = field(default=None, repr=False, compare=False)
    #: the rule set of the plan that was applied ("standard" or "extended")
    rule_set: str = "standard"
    #: transformers models (by name, "" for the model itself): config field -> (before, after)
    config_changes: Dict[str, Dict[str, Tuple[Any, Any]]] = field(default_factory=dict)
    #: transformers models whose config cannot describe them: why their save_pretrained refuses
    config_mismatches: Dict[str, str] = field(default_factory=dict)
    _config_update: Any = field(default=None, repr=False, compare=False)

    @property
    def fingerprint(self) -> Dict[str, Any]:
        """The analysed call (per node: operation, result shape, owning module) and the
        model's parameter and buffer shapes before the cut, with a digest of both."""
        if callable(self._fingerprint):
            self._fingerprint = self._fingerprint()
        return self._fingerprint

    @property
    def parameters_removed(self) -> int:
        return self.parameters_before - self.parameters_after

    def table(self, rows: Sequence[Tuple[str, str, str, str]] = ()) -> str:
        """The table; ``rows`` adds (quantity, before, after, change) lines under parameters."""
        lines = [("", "before", "after", "change")]
        lines.append(
            (
                "parameters",
                f"{self.parameters_before:,}",
                f"{self.parameters_after:,}",
                _percent(self.parameters_before, self.parameters_after),
            )
        )
        lines.extend(rows)
        widths = [max(len(line[i]) for line in lines) for i in range(4)]
        text = [
            "  ".join(
                cell.ljust(widths[i]) if i == 0 else cell.rjust(widths[i])
                for i, cell in enumerate(line)
            ).rstrip()
            for line in lines
        ]
        text.append("")
        text.append("group  channels kept  modules")
        for group in self.groups:
            names = list(group.module_names)
            shown = ", ".join(names[:4]) + (f" (+{len(names) - 4} more)" if len(names) > 4 else "")
            text.append(f"#{group.index:<5} {group.channels:>8} {group.kept:>4}  {shown or '-'}")
        for name, changed in self.config_changes.items():
            fields = ", ".join(f"{key} {old} -> {new}" for key, (old, new) in changed.items())
            text.append(f"config{' of ' + name if name else ''}: {fields}")
        for name in self.config_mismatches:
            text.append(
                f"save_pretrained{' of ' + name if name else ''} refuses: the config "
                "cannot describe the shrunk model (config_mismatches says why)"
            )
        if self.unseen_modules:
            names = self.unseen_modules
            text.append(
                "not in the analysed call, left as they are: "
                + ", ".join(names[:6])
                + (f" (+{len(names) - 6} more)" if len(names) > 6 else "")
            )
        return "\n".join(text)

    def __str__(self) -> str:
        return self.table()


def _percent(before: float, after: float) -> str:
    if before == 0:
        return "-"
    return f"{100.0 * (after - before) / before:+.1f}%"


def validated_removal(plan: ModelCutplan, removed: Any) -> Dict[int, List[int]]:
    """``removed`` checked against the plan's prunable groups: {group index: labels}, each
    group's labels once each in group order, groups without labels left out."""
    if not isinstance(removed, Mapping):
        raise TypeError(
            "removed must map prunable group indices to labels, got " + type(removed).__name__
        )
    groups = plan.prunable_groups
    result: Dict[int, List[int]] = {}
    for key, labels in removed.items():
        index = _index(key, "group index")
        if not 0 <= index < len(groups):
            raise ValueError(f"no prunable group {index}: the plan has {len(groups)}")
        group_labels = groups[index][1]
        members = dict(zip(group_labels, range(len(group_labels))))
        if isinstance(labels, (str, bytes)) or not hasattr(labels, "__iter__"):
            raise TypeError(f"the labels of group {index} must be a sequence of integers")
        chosen = set()
        for label in labels:
            value = _index(label, "label")
            if value not in members:
                raise ValueError(f"label {value} is not a channel of prunable group {index}")
            chosen.add(value)
        if len(chosen) >= len(members):
            raise ValueError(
                f"removing all {len(members)} channels of prunable group {index} would leave "
                "its layers without channels"
            )
        if chosen:
            result[index] = sorted(chosen, key=members.__getitem__)
    return result


def _index(value: Any, what: str) -> int:
    if isinstance(value, bool):
        raise TypeError(f"{what} must be an integer, got {value!r}")
    if isinstance(value, torch.Tensor) and value.numel() == 1 and not value.is_floating_point():
        return int(value.item())
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {value!r}") from None


def shrink(
    model: nn.Module, plan: ModelCutplan, removed: Mapping[int, Sequence[int]]
) -> ShrinkReport:
    """Remove the labels in ``removed`` ({prunable group index: labels}) from ``model``, in place.

    Producers lose output channels (with the matching normalisation entries),
    consumers outside the group lose the matching input channels, depthwise
    convolutions their groups; module attributes follow the new shapes.
    Parameters are new ``nn.Parameter`` objects: gradients, optimiser state
    and hooks on the old tensors do not carry over.

    Raises :class:`ShrinkError` naming the module and the reason when any part
    cannot be cut consistently; the model is then unchanged.
    """
    if not isinstance(model, nn.Module):
        raise TypeError(f"shrink expects a torch.nn.Module, got {type(model).__name__}")
    axes = GraphAxes(plan)
    chosen = validated_removal(plan, removed)
    ctx, (changes, attributes, overrides) = _planned_cut(model, axes, chosen)
    rule_set = axes.rule_set.name
    parameters = {id(o.tensor): o.tensor.numel() for o in ctx.owners.values() if _is_param(o)}
    unseen = _unseen_modules(ctx)
    module_by_uid = {
        key: owned.module_name or type(model).__name__ for key, owned in ctx.owners.items()
    }
    shapes = {owned.name: list(owned.tensor.shape) for owned in ctx.owners.values()}
    watched = watch(model)
    commit(changes, attributes)
    config = update_configs(watched, (owned.name for owned, _, _, _ in changes))

    groups = []
    names_by_node = plan.prunable_module_names_by_nodes
    for index, (nodes, labels) in enumerate(plan.prunable_groups):
        names: List[str] = []
        for node in nodes:
            name = names_by_node.get(node)
            if name is not None and name not in names:
                names.append(name)
        gone = set(chosen.get(index, ()))
        keep = (
            tuple(i for i, label in enumerate(labels) if label not in gone)
            if gone
            else tuple(range(len(labels)))
        )
        groups.append(GroupCut(index, len(labels), len(keep), tuple(names), keep))
    before = sum(parameters.values())
    return ShrinkReport(
        parameters_before=before,
        parameters_after=before
        - sum(math.prod(old) - math.prod(new) for o, _, old, new in changes if _is_param(o)),
        groups=groups,
        tensors=[
            TensorChange(owned.name, old, new, keep, _is_param(owned))
            for owned, keep, old, new in changes
        ],
        module_attributes={name: attrs for name, _, attrs in attributes if attrs},
        overrides=overrides,
        unseen_modules=unseen,
        _fingerprint=functools.partial(call_fingerprint, axes.graph, module_by_uid, shapes),
        rule_set=rule_set,
        config_changes=config.changes,
        config_mismatches=config.mismatches,
        _config_update=config,
    )


def _planned_cut(
    model: nn.Module,
    axes: GraphAxes,
    chosen: Mapping[int, Sequence[int]],
    owners: Optional[Dict[int, OwnedTensor]] = None,
) -> Tuple[CutContext, Tuple[Any, Any, Any]]:
    """Every rule's cuts of ``chosen``, resolved and checked; the model is not touched.
    Raises ShrinkError as :func:`shrink` does."""
    labels = (label for group in chosen.values() for label in group)
    ctx = CutContext(model, axes, labels, owners)
    run_rules(ctx)
    follow_head_widths(ctx)
    resolved = resolve_cuts(ctx.cuts, ctx.module_attributes, axes.rule_set.name)
    check_reshape_sizes(ctx, resolved[1])
    check_scales(ctx, resolved[1])
    return ctx, resolved


# Widths a model or its classifier head keeps of the features it computes (timm's
# ``num_features`` and ``head_hidden_size``, a head's ``in_features``); the forward mostly
# reads them only to build a new classifier (``reset_classifier``)
HEAD_WIDTHS = ("num_features", "head_hidden_size", "in_features")
# A width that follows with them where the module keeps it equal to one of them (a timm
# vision transformer's ``embed_dim``, which its ``reset_classifier`` reads); elsewhere it may
# be an attention's heads' width that only equals its stream's (GPT-2's)
STREAM_WIDTHS = ("embed_dim",)


def follow_head_widths(ctx: CutContext) -> None:
    """A module holding no tensor of its own with a width of :data:`HEAD_WIDTHS` (or of
    :data:`STREAM_WIDTHS` equal to one of them) takes the new width of the last channels of that count it computes (ConvNeXt's ``num_features`` is
    its stream's width where the head reads it). Known only from the running modules the
    trace records: without provenance they stay."""
    last: Dict[Tuple[str, int], int] = {}
    for node in reversed(ctx.graph_axes.graph):
        labels, path = ctx.labels(node), node.module_path
        if not labels or path is None:
            continue
        keep = ctx.keep(node)
        width = len(labels) if keep is None else len(keep)
        parts = path.split(".") if path else []
        for depth in range(len(parts) + 1):
            last.setdefault((".".join(parts[:depth]), len(labels)), width)
    if not any(old != new for (_, old), new in last.items()):
        return
    for name, module in ctx.model.named_modules():
        if any(t is not None for t in (*module._parameters.values(), *module._buffers.values())):
            continue  # its adapter decides
        state = vars(module)
        widths = [a for a in HEAD_WIDTHS if type(state.get(a)) is int]
        alike = [a for a in STREAM_WIDTHS if any(state.get(a) == state[w] for w in widths)]
        for attribute in (*widths, *alike):
            value = state.get(attribute)
            new = last.get((name, value)) if type(value) is int else None
            if new is None or new == value:
                continue
            ctx.module_attributes.setdefault(module, (name, {}))[1].setdefault(attribute, new)


def _is_param(owned: OwnedTensor) -> bool:
    return owned.places[0].is_parameter


def run_rules(ctx: CutContext) -> None:
    """Ask the rule of every node that touches a removed channel for its cuts."""
    inputs = ctx.graph_axes.inputs
    for node in ctx.graph_axes.graph:
        if ctx.keep(node) is None and all(ctx.keep(source) is None for source in inputs[node]):
            continue
        rule = rule_for(node, ctx.graph_axes.rule_set.name)
        if rule is None:
            raise ctx.error(node, "it touches removed channels and no shrink rule knows it")
        rule.apply(ctx, node)
    for check in ctx.after_rules:
        check()
    if not ctx.cuts:
        return
    # a cut tensor must be cut alike wherever the call uses it
    tensors = ctx.graph_axes.tensors
    for node in ctx.graph_axes.graph:
        for value in tensors[node]:
            owned = ctx.owners.get(value.tensor_uid)
            if owned is None or id(owned.tensor) not in ctx.cuts:
                continue
            if not any(user is node for user in ctx.cut_by[id(owned.tensor)]):
                first = ctx.cut_by[id(owned.tensor)][0]
                raise ctx.error(
                    node,
                    f"it uses {owned.name} with all its channels, while {node_text(first)} cuts it",
                )


def resolve_cuts(
    cuts: Mapping[int, Tuple[OwnedTensor, Dict[int, Tuple[int, ...]]]],
    module_attributes: Mapping[nn.Module, Tuple[str, Dict[str, Any]]],
    rule_set: str = "standard",
) -> Tuple[
    List[Tuple[OwnedTensor, Dict[int, Tuple[int, ...]], Shape, Shape]],
    List[Tuple[str, nn.Module, Dict[str, Tuple[Any, Any]]]],
    Dict[str, Dict[str, Any]],
]:
    """New shapes of the cut tensors and new attributes of their modules, all checked.

    ``cuts``: id(tensor) -> (tensor, {axis: kept indices}); ``module_attributes``:
    attributes rules set explicitly, per module; ``rule_set``: the rule set of the plan
    (its rules may know module types no adapter is registered for).
    """
    changes = []
    new_shapes: Dict[int, Shape] = {}
    for key, (owned, keep) in cuts.items():
        before = tuple(owned.tensor.shape)
        after = list(before)
        for axis, indices in keep.items():
            # ascending and in range: made so by the rules, checked when read from a file
            after[axis] = len(indices)
        new_shapes[key] = tuple(after)
        changes.append((owned, dict(sorted(keep.items())), before, tuple(after)))

    modules: Dict[nn.Module, str] = {}
    for owned, _, _, _ in changes:
        for place in owned.places:
            modules.setdefault(place.module, place.module_name)
    for module, (name, _) in module_attributes.items():
        modules.setdefault(module, name)
    attributes = []
    overrides: Dict[str, Dict[str, Any]] = {}
    holders = {place.module for owned, _, _, _ in changes for place in owned.places}
    for module, name in modules.items():
        label = name or type(module).__name__
        adapter = adapter_for(module, rule_set)
        if adapter is None and module not in holders:
            adapter = _set_only  # none of its tensors changes: the attributes rules set
        if adapter is None:
            raise ShrinkError(
                f"cannot shrink {label} ({type(module).__name__}): no adapter knows how its "
                "attributes follow its tensors (register one with register_module_adapter); "
                "the model was not changed"
            )
        shapes = {
            tensor_name: new_shapes.get(id(tensor), tuple(tensor.shape))
            for registry in (module._parameters, module._buffers)
            for tensor_name, tensor in registry.items()
            if tensor is not None
        }
        forced = dict(module_attributes.get(module, (name, {}))[1])
        try:
            values = adapter(module, shapes, forced)
        except ValueError as error:
            raise ShrinkError(
                f"cannot shrink {label} ({type(module).__name__}): {error}; the model was not "
                "changed"
            ) from None
        changed = {
            attr: (getattr(module, attr), value)
            for attr, value in values.items()
            if getattr(module, attr) != value
        }
        attributes.append((name, module, changed))
        if forced:
            overrides[name] = forced
    return changes, attributes, overrides


def _set_only(
    module: nn.Module, shapes: Dict[str, Shape], overrides: Dict[str, Any]
) -> Dict[str, Any]:
    return dict(overrides)


def _sliced(
    tensor: torch.Tensor,
    keep: Dict[int, Tuple[int, ...]],
    indices: Dict[Tuple[int, Any], torch.Tensor],
    pieces: Optional[List[Tuple[int, torch.Tensor, torch.Tensor, torch.Tensor]]] = None,
) -> torch.Tensor:
    """``tensor`` keeping ``keep`` ({axis: indices}); into ``pieces``, when given, per axis
    (axis, kept index, removed index, removed part), which with the result give it back."""
    with torch.no_grad():
        result = tensor.detach()
        for axis, kept in keep.items():
            key = (id(kept), result.device)
            index = indices.get(key)
            if index is None:
                index = torch.tensor(kept, dtype=torch.long, device=result.device)
                indices[key] = index
            if pieces is not None:
                gone = _complement(kept, result.shape[axis], result.device)
                pieces.append((axis, index, gone, result.index_select(axis, gone)))
            result = result.index_select(axis, index)
        if (
            tensor.dim() == 4
            and not tensor.is_contiguous()
            and tensor.is_contiguous(memory_format=torch.channels_last)
        ):
            result = result.contiguous(memory_format=torch.channels_last)
    return result


def _complement(kept: Sequence[int], size: int, device: Any) -> torch.Tensor:
    mask = torch.ones(size, dtype=torch.bool)
    mask[list(kept)] = False
    return mask.nonzero().reshape(-1).to(device)


class _Replaced:
    """A tensor the cut replaced, kept (the same object: the plan names tensors by identity)
    to be put back on a failure. When nothing but the model held it, its memory is let go
    at once and only the parts the cut removed are kept: with its replacement they give it
    back bitwise, in the memory it took."""

    def __init__(self, old: torch.Tensor, pieces: Optional[List[Any]]) -> None:
        self.probe: Any = None
        self.tensor = old
        self.pieces = pieces
        self.layout: Optional[Tuple[Shape, Tuple[int, ...]]] = None

    def release(self) -> None:
        # held by nothing but this object: as many references as an object only it holds
        # (read alike, so whatever the interpreter counts for the call counts for both),
        # and one owner of its data
        alone = object()
        self.probe = alone
        del alone
        if (
            self.pieces is None
            or sys.getrefcount(self.tensor) > sys.getrefcount(self.probe)
            # a method of torch's tensors that its stubs leave out
            or (self.tensor._use_count() > 1)  # type: ignore[attr-defined]
        ):
            self.pieces = None  # held elsewhere too: letting go would free nothing
            return
        old = self.tensor
        self.layout = (tuple(old.shape), old.stride())
        with torch.no_grad():
            old.data = torch.empty(0, dtype=old.dtype, device=old.device)

    def restore(self, new: torch.Tensor) -> torch.Tensor:
        if self.layout is not None:
            with torch.no_grad(), torch.inference_mode(False):
                data = new.detach()
                for axis, kept, gone, part in reversed(self.pieces or ()):
                    sizes = list(data.shape)
                    sizes[axis] = len(kept) + len(gone)
                    whole = data.new_empty(sizes)
                    whole.index_copy_(axis, kept, data)
                    whole.index_copy_(axis, gone, part)
                    data = whole
                shape, stride = self.layout
                if data.stride() != stride:
                    data = torch.empty_strided(
                        shape, stride, dtype=data.dtype, device=data.device
                    ).copy_(data)
                self.tensor.data = data
            self.layout = None
        return self.tensor


def _releasable(tensor: torch.Tensor) -> bool:
    """Whether a rebuild from pieces gives ``tensor`` back exactly (not a view, no
    gradient, a dense layout)."""
    return (
        tensor._base is None
        and tensor.grad is None
        and not tensor.is_meta
        and (
            tensor.is_contiguous()
            or (tensor.dim() == 4 and tensor.is_contiguous(memory_format=torch.channels_last))
        )
    )


def commit(
    changes: Sequence[Tuple[OwnedTensor, Dict[int, Tuple[int, ...]], Shape, Shape]],
    attributes: Sequence[Tuple[str, nn.Module, Dict[str, Tuple[Any, Any]]]],
    data: Optional[Mapping[int, torch.Tensor]] = None,
) -> None:
    """Install the new attributes, then the new tensors one module after the other, each old
    tensor's memory let go as soon as its replacement is in place (the model and one new
    tensor, not two models); on any failure put everything back, the same objects.

    ``data``: id(old tensor) -> the values of its replacement (weights being loaded), taken
    instead of the old tensor's kept slices."""
    undo: List[Any] = []
    replaced: List[Tuple[OwnedTensor, _Replaced, torch.Tensor]] = []
    indices: Dict[Tuple[int, Any], torch.Tensor] = {}
    try:
        # attributes first: a refused assignment then stops the cut before any tensor moved
        for _, module, changed in attributes:
            for attr, (before, after) in changed.items():
                setattr(module, attr, after)  # a refused assignment changed nothing
                undo.append((module, attr, before))
        # ordinary tensors even when the cut runs in inference mode: the model stays trainable
        with torch.inference_mode(False):
            for owned, keep, _, _ in sorted(changes, key=_module_order(changes)):
                old = owned.tensor
                pieces: Optional[List[Any]] = None
                if data is not None and id(old) in data:
                    values = data[id(old)]
                else:
                    pieces = [] if _releasable(old) else None
                    values = _sliced(old, keep, indices, pieces)
                if owned.places[0].is_parameter:
                    new: torch.Tensor = nn.Parameter(values, requires_grad=old.requires_grad)
                    # attributes set on the parameter (an optimizer's grouping marks, say) stay
                    new.__dict__.update(old.__dict__)
                else:
                    new = values
                del values
                record = _Replaced(old, pieces)
                replaced.append((owned, record, new))
                for place in owned.places:
                    _registry(place)[place.name] = new
                object.__setattr__(owned, "tensor", new)
                del old, new
                record.release()
    except BaseException:
        for owned, record, new in reversed(replaced):
            old = record.restore(new)
            for place in owned.places:
                _registry(place)[place.name] = old
            object.__setattr__(owned, "tensor", old)
        for target, key, value in reversed(undo):
            setattr(target, key, value)
        raise
    # a module keeping what it computed from its old tensors (LeViT's attention biases)
    for module in {
        id(p.module): p.module for owned, _, _, _ in changes for p in owned.places
    }.values():
        regather(module)


def _registry(place: Any) -> Dict[str, Any]:
    return place.module._parameters if place.is_parameter else place.module._buffers


def _module_order(changes: Sequence[Tuple[OwnedTensor, Any, Any, Any]]) -> Any:
    """Sort key keeping the tensors of one module together, modules in model order."""
    first: Dict[int, int] = {}
    for position, (owned, _, _, _) in enumerate(changes):
        first.setdefault(id(owned.places[0].module), position)
    return lambda change: first[id(change[0].places[0].module)]


def _unseen_modules(ctx: CutContext) -> List[str]:
    used = {value.tensor_uid for values in ctx.graph_axes.tensors.values() for value in values}
    # tables the call gathered rows of (a bias table per head)
    used |= {
        value.rows_of
        for values in ctx.graph_axes.tensors.values()
        for value in values
        if getattr(value, "rows_of", None) is not None
    }
    unseen = []
    for name, module in ctx.model.named_modules():
        own = [p for p in module._parameters.values() if p is not None]
        if own and not any(id(p) in used for p in own):
            unseen.append(name or type(module).__name__)
    return unseen


def call_fingerprint(
    graph: Sequence[Any], module_by_uid: Mapping[int, str], tensors: Mapping[str, List[int]]
) -> Dict[str, Any]:
    """Per node of ``graph``: operation, result shape and the module owning its first model
    tensor (``module_by_uid``: tensor uid -> module name); the model's tensor shapes; and a
    digest of both."""
    steps = call_steps(graph, tensor_owner(module_by_uid))
    body = {"call": [step.record() for step in steps], "tensors": dict(tensors)}
    return {**body, "digest": digest(body)}
