"""Remove channels from a model in place, all or nothing, and report what changed."""

from __future__ import annotations

import functools
import hashlib
import json
import math
import operator
import sys
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Mapping, Optional, Sequence, Tuple

import torch
from torch import nn

from tavrix.flowscope.intercept import METADATA_GET
from tavrix.flowscope.tracing import NodeInfo, TensorInfo
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.gatewire import _operation_text
from tavrix.pruning.shrink.context import (
    CutContext,
    GraphAxes,
    OwnedTensor,
    ShrinkError,
    node_text,
    shape_of,
)
from tavrix.pruning.shrink.huggingface import update_configs, watch
from tavrix.pruning.shrink.rules import adapter_for, rule_for
from tavrix.utils.common import iter_leaves

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
            text.append(f"save_pretrained{' of ' + name if name else ''} refuses: the config "
                        "cannot describe the shrunk model (config_mismatches says why)")
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
        keep = tuple(i for i, label in enumerate(labels) if label not in gone) if gone else tuple(
            range(len(labels))
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
    resolved = resolve_cuts(ctx.cuts, ctx.module_attributes, axes.rule_set.name)
    check_reshape_sizes(ctx, resolved[1])
    check_scales(ctx, resolved[1])
    return ctx, resolved


def _is_param(owned: OwnedTensor) -> bool:
    return owned.places[0].is_parameter


def check_reshape_sizes(
    ctx: CutContext, attributes: Sequence[Tuple[str, nn.Module, Dict[str, Tuple[Any, Any]]]]
) -> None:
    """The number a reshape is given for its channels must be their number after the cut.

    The numbers are the code's: one follows a cut when it is -1, or when the module call
    making the reshape, or one it runs in, has it from an attribute of its module that the
    cut updates (``self.all_head_size``; ``3 * self.head_dim`` when no read gives the number)
    or from a channel count it read before off a tensor losing channels in step
    (``C // num_heads``, ``C * H * W``, ``4 * C``). Refused, as the shrunk model would fail at
    the reshape: channels that lose some given a number made otherwise (a width read off a
    tensor the cut leaves as it is, a number in a config), and an axis that keeps its size
    given a number the code can only have read off channels that lose some."""
    # module call -> numbers that follow the cut there, old -> new: its module's attributes
    # and the channel counts its reads give; small multiples of the attributes (q, k and v
    # packed: 3 * head_dim); the sizes its reads give; the channel counts alone
    follows: Dict[Any, Dict[int, set]] = {}
    multiples: Dict[Any, Dict[int, set]] = {}
    counts: Dict[Any, Dict[int, set]] = {}
    by_attribute: Dict[Any, Dict[int, set]] = {}
    by_read: Dict[Any, Dict[int, set]] = {}
    channels: Dict[Any, Dict[int, set]] = {}
    updated: Dict[Any, set] = {}
    for name, module, changed in attributes:
        updated.setdefault(module, set()).update(changed)
        for old, new in changed.values():
            if type(old) is int and type(new) is int:
                follows.setdefault(name, {}).setdefault(old, set()).add(new)
                by_attribute.setdefault(name, {}).setdefault(old, set()).add(new)
                for times in range(2, 9):
                    multiples.setdefault(name, {}).setdefault(times * old, set()).add(times * new)
    read = set()
    for node in ctx.graph_axes.graph:  # a number comes from reads made before its reshape
        if node.operation_name == METADATA_GET and node.args:
            key = (node.module_path, id(node.args[0]))
            if key not in read:
                read.add(key)
                found: Dict[int, set] = by_read.setdefault(node.module_path, {})
                _note_count(ctx, node.args[0], found, counts.setdefault(node.module_path, {}),
                            channels.setdefault(node.module_path, {}))
                for old, new in found.items():
                    follows.setdefault(node.module_path, {}).setdefault(old, set()).update(new)
            continue
        if node.operation_name not in ("reshape", "view"):
            continue
        target = _reshape_target(node)
        if target is None or len(target) != len(node.result_shape or ()):
            continue
        axis, keep = ctx.axis(node), ctx.keep(node)
        module = ctx.module_running(node)
        constants = _constant_sizes(module, updated.get(module, set()))
        split = _channel_split(ctx, node, target)
        for at, size in enumerate(target):
            wanted = len(keep) if keep is not None and at == axis else size
            if size == -1:
                continue
            if size != wanted:
                # a multiple of an attribute (heads x head_dim) is also the width a call reads
                # off its input (``B, N, C = x.shape``): when a read gives the number, it is
                # taken to come from there, unless a -1 takes the heads
                # (``view(*shape, -1, 3 * self.head_size)``)
                if not _given(node, follows, size, wanted) and not (
                    _given(node, multiples, size, wanted)
                    and (-1 in target or not _given(node, counts, size, None))
                ):
                    raise ctx.error(
                        node,
                        f"it is given the size {size} for channels that become {wanted}, a "
                        "number neither an attribute the cut updates nor a channel count the "
                        "code reads gives",
                        module_name=node.module_path or None,
                    )
                if (
                    at in split
                    and size in constants
                    # unless the module holds another piece's size too: the divisor
                    # (Swin's 32 heads of 32)
                    and not any(target[other] in constants for other in split if other != at)
                    and not _given(node, by_attribute, size, wanted)
                    and not _given(node, multiples, size, wanted)
                ):  # a count read off the channels, divided, or the module's own number
                    raise ctx.error(
                        node,
                        f"it is given the size {size} for channels that become {wanted}, and "
                        f"{_owner(node, module)}.{constants[size][0]} holds that number, which "
                        "the cut leaves as it is: the code may pass it (a channel shuffle's "
                        "groups)",
                        module_name=node.module_path or None,
                    )
            elif _given(node, counts, size, None) and not any(
                size in found.get(size, ()) for found in counts.values()
            ):  # a size an earlier read gives unchanged (H passed down) may be that one
                if size not in _held_sizes(ctx.module_running(node)):
                    raise ctx.error(
                        node,
                        f"it is given the size {size} for an axis the cut leaves as it is, a "
                        "number the code reads off a tensor that loses channels",
                        module_name=node.module_path or None,
                    )
            elif at in split:
                reason = _recomputed(node, size, by_attribute, channels, constants, keep is None)
                if reason is not None:
                    raise ctx.error(
                        node,
                        f"it is given the size {size} for an axis the cut leaves as it is, a "
                        f"number the code may compute as {reason}",
                        module_name=node.module_path or None,
                    )


def _channel_split(ctx: CutContext, node: Any, target: Sequence[int]) -> set:
    """The axes of a reshape's result that its input's channel axis is split into (heads and
    head_dim, a shuffle's groups and channels per group); empty when it is not split."""
    source = node.args[0] if node.args else None
    shape = shape_of(source) if isinstance(source, NodeInfo) else None
    axis = ctx.axis(source) if shape is not None and ctx.labels(source) else None
    if axis is None or not 0 <= axis < len(shape) or any(size < 0 for size in target):
        return set()
    i = j = 0
    while i < len(shape) and j < len(target):
        first_in, first_out = i, j
        have, want = shape[i], target[j]
        i, j = i + 1, j + 1
        while have != want:
            if have < want and i < len(shape):
                have, i = have * shape[i], i + 1
            elif want < have and j < len(target):
                want, j = want * target[j], j + 1
            else:
                return set()
        if first_in <= axis < i:
            if i - first_in != 1:
                return set()
            # axes of size one beside it are pieces of the split too (a shuffle's one channel
            # per group), but for those that stand for the input's own (a batch of one)
            before = _ones(reversed(target[:first_out])) - _ones(reversed(shape[:first_in]))
            first_out -= max(0, before)
            j += max(0, _ones(target[j:]) - _ones(shape[i:]))
            return set(range(first_out, j)) if j - first_out > 1 else set()
    return set()


def _ones(sizes: Iterable[int]) -> int:
    """How many axes of size one lead ``sizes``."""
    count = 0
    for size in sizes:
        if size != 1:
            break
        count += 1
    return count


def _owner(node: Any, module: Optional[nn.Module]) -> str:
    return node.module_path or (type(module).__name__ if module is not None else "the model")


def _constant_sizes(module: Optional[nn.Module], updated: set) -> Dict[int, List[str]]:
    """The integers the module holds in attributes the cut leaves as they are: number -> names."""
    found: Dict[int, List[str]] = {}
    for name, value in vars(module).items() if module is not None else ():
        if type(value) is int and value > 1 and name not in updated:
            found.setdefault(value, []).append(name)
    return found


def _recomputed(
    node: Any,
    size: int,
    by_attribute: Dict[Any, Dict[int, set]],
    channels: Dict[Any, Dict[int, set]],
    constants: Dict[int, List[str]],
    whole: bool,
) -> Optional[str]:
    """How an axis keeping its size may have its number recomputed otherwise after the cut:
    a channel count read divided by an attribute the cut changes (``C // self.num_heads``
    with C unchanged), or a division of a channel count that changes by a number the module
    holds (``C // self.num_heads`` with the heads unchanged). In the first case the module
    holding the number itself (``self.head_dim``) vouches for it."""
    for path, found in channels.items():
        if not _runs_in(node.module_path, path):
            continue
        for count, new_counts in found.items():
            if count % size:
                continue
            divisor = count // size
            for attributes in (v for p, v in by_attribute.items() if _runs_in(node.module_path, p)):
                for new_divisor in attributes.get(divisor, ()):
                    if divisor > 1 and size not in constants and any(
                        new % new_divisor or new // new_divisor != size for new in new_counts
                    ):
                        return (
                            f"a channel count it reads ({count}) // {divisor}, a number the cut "
                            f"makes {new_divisor}"
                        )
            if not whole:
                continue  # the reshaped channels lose some: their own axis takes the change
            if divisor in constants and any(new != count for new in new_counts):
                # unless the module holds the number under a name of its own (head_dim)
                own = set(constants.get(size, ())) - {constants[divisor][0]}
                if not own:
                    name = constants[divisor][0]
                    changed = ", ".join(str(new) for new in sorted(new_counts) if new != count)
                    return (
                        f"a channel count it reads ({count}, which the cut makes {changed}) // "
                        f"{name} ({divisor})"
                    )
    return None


#: the attributes that hold an attention's head_dim, whose square root scales its scores
HEAD_DIM_NAMES = ("head_dim", "attention_head_size", "head_size", "key_value_proj_dim", "dim_head")
_SCALINGS = {"div": 0.5, "__truediv__": 0.5, "mul": -0.5, "__mul__": -0.5, "__rmul__": -0.5}
_PRODUCTS = ("matmul", "bmm", "__matmul__", "einsum", "baddbmm")


def check_scales(
    ctx: CutContext, attributes: Sequence[Tuple[str, nn.Module, Dict[str, Tuple[Any, Any]]]]
) -> None:
    """Attention scores scaled by the square root of an attribute the cut changes
    (``q @ k.T / math.sqrt(self.head_dim)``): the cut model scales by the new one, the
    masked original by the old one, so the cut is refused. A scale the module holds as a
    number of its own (``self.scaling``) stays what it is."""
    changed_by_module = {module: changed for _, module, changed in attributes if changed}
    if not changed_by_module:
        return
    for node in ctx.graph_axes.graph:
        exponent = _SCALINGS.get(node.operation_name)
        if exponent is None or len(node.args) != 2 or node.kwargs:
            continue
        scores, scale = node.args
        if exponent < 0 and type(scores) is float:  # 0.125 * scores
            scores, scale = scale, scores
        if type(scale) is not float or not isinstance(scores, NodeInfo):
            continue
        if scores.operation_name not in _PRODUCTS:
            continue
        module = ctx.module_running(node)
        for attribute, (old, new) in changed_by_module.get(module, {}).items():
            if attribute not in HEAD_DIM_NAMES:
                continue
            if type(old) is not int or type(new) is not int or old == new or old < 1:
                continue
            if not math.isclose(scale, old**exponent, rel_tol=1e-9) or _holds_float(module, scale):
                continue
            raise ctx.error(
                node,
                f"it scales a product by {scale:g}, {old} ** {exponent} with {old} from "
                f"{_owner(node, module)}.{attribute}, which the cut makes {new}: the cut model "
                "would scale otherwise than the masked original (a scale held as a number, "
                "such as self.scaling, stays)",
                module_name=node.module_path or None,
            )


def _holds_float(module: Optional[nn.Module], number: float) -> bool:
    if module is None:
        return False
    owners = [vars(module)] + [vars(cls) for cls in type(module).__mro__]
    return any(type(v) is float and v == number for owner in owners for v in owner.values())


def _held_sizes(module: Optional[nn.Module]) -> set:
    """The numbers a module's attributes hold: integers, and the products of lists of them
    (Swin's window of 4 x 4 tokens)."""
    found = set()
    for value in vars(module).values() if module is not None else ():
        if type(value) is int:
            found.add(value)
        elif type(value) in (list, tuple) and value and all(type(v) is int for v in value):
            found.add(math.prod(value))
    return found


def _given(node: Any, numbers: Dict[Any, Dict[int, set]], old: int, new: Optional[int]) -> bool:
    """Whether the calls ``node`` runs in have ``old`` becoming ``new`` (any new: None)."""
    for path, found in numbers.items():
        if old in found and _runs_in(node.module_path, path):
            if new is None or new in found[old]:
                return True
    return False


def _runs_in(path: Optional[str], caller: Optional[str]) -> bool:
    """Whether a node of module call ``path`` runs within module call ``caller`` (either
    unknown: provenance was off)."""
    if path is None or caller is None or caller == "":
        return True
    return path == caller or path.startswith(caller + ".")


def _reshape_target(node: Any) -> Optional[List[int]]:
    """The ints a reshape or view is called with, or None (a dtype view, a shape made
    otherwise)."""
    args = list(node.args[1:])
    if "shape" in node.kwargs:
        args = [node.kwargs["shape"]]
    if len(args) == 1 and isinstance(args[0], (tuple, list)):
        args = list(args[0])
    return args if args and all(type(a) is int for a in args) else None


def _note_count(
    ctx: CutContext,
    source: Any,
    follows: Dict[int, set],
    counts: Dict[int, set],
    channels: Dict[int, set],
) -> None:
    """The numbers a read of ``source``'s shape gives, old -> new: into ``counts`` its sizes,
    into ``follows`` the channel count, its even divisions, its products with neighbouring
    axes and its small multiples when the channels lose some."""
    shape = shape_of(source)
    if shape is None:
        return
    axis = ctx.axis(source) if isinstance(source, NodeInfo) and ctx.labels(source) else None
    keep = ctx.keep(source) if axis is not None and 0 <= axis < len(shape) else None
    for at, size in enumerate(shape):
        counts.setdefault(size, set()).add(len(keep) if keep is not None and at == axis else size)
    if axis is not None and 0 <= axis < len(shape):
        channels.setdefault(shape[axis], set()).add(shape[axis] if keep is None else len(keep))
    for first in range(len(shape)):  # products of axes that keep their sizes (H * W)
        for last in range(first + 2, len(shape) + 1):
            if keep is None or not first <= axis < last:
                size = math.prod(shape[first:last])
                counts.setdefault(size, set()).add(size)
    if keep is None:
        return
    old, new = shape[axis], len(keep)
    for small in range(1, math.isqrt(old) + 1):
        for parts in {small, old // small} if old % small == 0 else ():
            if new % parts == 0:
                follows.setdefault(old // parts, set()).add(new // parts)
    for first in range(axis + 1):
        for last in range(axis + 1, len(shape) + 1):
            rest = math.prod(shape[first:last]) // old
            follows.setdefault(old * rest, set()).add(new * rest)
    for times in range(2, 9):  # Swin's patch merging: 4 * C
        follows.setdefault(times * old, set()).add(times * new)


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
                    f"it uses {owned.name} with all its channels, while {node_text(first)} "
                    "cuts it",
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
    for module, name in modules.items():
        label = name or type(module).__name__
        adapter = adapter_for(module, rule_set)
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
        if self.pieces is None or sys.getrefcount(self.tensor) > sys.getrefcount(self.probe) or (
            self.tensor._use_count() > 1
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
                    shape = list(data.shape)
                    shape[axis] = len(kept) + len(gone)
                    whole = data.new_empty(shape)
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
    call = []
    for node in graph:
        shape = None if node.result_shape is None else list(node.result_shape)
        module = None
        for value in iter_leaves((node.args, node.kwargs)):
            if isinstance(value, TensorInfo) and value.tensor_uid in module_by_uid:
                module = module_by_uid[value.tensor_uid]
                break
        call.append([_operation_text(node.operation), shape, module])
    body = {"call": call, "tensors": dict(tensors)}
    digest = hashlib.sha256(json.dumps(body, sort_keys=True).encode()).hexdigest()
    return {**body, "digest": digest}
