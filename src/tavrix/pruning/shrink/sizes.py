"""Refusals of cuts whose model code passes numbers that would not follow them.

A reshape given a channel count, or attention scores scaled by the square root of a
head size, compute with numbers the model code holds or read off tensors. A cut that
changes the channels but not such a number would make the shrunk model fail at the
reshape, or scale otherwise than the masked original: those cuts are refused before
anything is changed.
"""

from __future__ import annotations

import math
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple

from torch import nn

from tavrix.flowscope.intercept import METADATA_GET
from tavrix.flowscope.tracing import NodeInfo, forward_reads
from tavrix.pruning.shrink.context import CutContext

__all__ = ["HEAD_DIM_NAMES", "check_reshape_sizes", "check_scales", "forward_may_read"]


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
    module: Optional[nn.Module]
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
                _note_count(
                    ctx,
                    node.args[0],
                    found,
                    counts.setdefault(node.module_path, {}),
                    channels.setdefault(node.module_path, {}),
                )
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
                held = _read_constants(module, constants).get(size)
                if (
                    held
                    and at not in split
                    and not _given(node, by_attribute, size, wanted)
                    and not _reads_own(ctx, node)
                ):
                    # the channels carried whole or merged back (``reshape(B, -1,
                    # self.dim_out)``): a number the forward reads from the module, which the
                    # cut leaves, is taken to be the one passed over a multiple of head_dim or
                    # a count read off other channels; a read of their own count decides
                    raise ctx.error(
                        node,
                        f"it is given the size {size} for channels that become {wanted}, and "
                        f"{_owner(node, module)}.{held[0]}, which its forward reads, holds "
                        "that number, which the cut leaves as it is",
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
            elif (
                at == axis
                and at not in split
                and _changed_read(node, counts, size)
                and not _held_otherwise(module, size)
            ):
                # channels carried whole or merged back, sized by a count read off others
                # that lose channels (``self.sr(x).reshape(B, C, -1)``, heads merged back by
                # ``reshape(B, N, C)``, C read off the stream): the number would no longer fit
                raise ctx.error(
                    node,
                    f"it is given the size {size} for channels the cut leaves as they are, a "
                    "number the code reads off other channels, which lose some: both must "
                    "lose equally many",
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
    shape = ctx.shape_of(source) if isinstance(source, NodeInfo) else None
    axis = ctx.axis(source) if shape is not None and ctx.labels(source) else None
    if (
        shape is None
        or axis is None
        or not 0 <= axis < len(shape)
        or any(size < 0 for size in target)
    ):
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
                    if (
                        divisor > 1
                        and size not in constants
                        and any(
                            new % new_divisor or new // new_divisor != size for new in new_counts
                        )
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
    changed_by_module: Dict[Optional[nn.Module], Dict[str, Tuple[Any, Any]]] = {
        module: changed for _, module, changed in attributes if changed
    }
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


def forward_may_read(module: Optional[nn.Module], name: str) -> bool:
    """Whether ``module``'s forward may read its attribute ``name``: it names it, or it reads
    attributes by computed names (``getattr(self, self.dim_name)``)."""
    if module is None:
        return False
    read = forward_reads(module)
    return name in read or "getattr" in read


def _read_constants(
    module: Optional[nn.Module], constants: Dict[int, List[str]]
) -> Dict[int, List[str]]:
    """Of ``constants`` (:func:`_constant_sizes`), the attributes the module's forward reads."""
    found: Dict[int, List[str]] = {}
    for number, names in constants.items():
        names = [name for name in names if forward_may_read(module, name)]
        if names:
            found[number] = names
    return found


def _held_otherwise(module: Optional[nn.Module], size: int) -> bool:
    """Whether the module holds ``size`` in an attribute its forward reads that is no head_dim
    (GPT-2's ``Conv1D.nf``): a number a head_dim cut would change is no witness."""
    for name, value in vars(module).items() if module is not None else ():
        if type(value) is int and value == size and name not in HEAD_DIM_NAMES:
            if forward_may_read(module, name):
                return True
    return False


def _reads_own(ctx: CutContext, node: Any) -> bool:
    """Whether the module calls running a reshape read, before it, the shape of a tensor of
    the reshaped channels (the same labels, in any layout)."""
    own = set(ctx.labels(node))
    at = ctx.graph_axes.place(node)
    return bool(own) and any(
        place < at and _runs_in(node.module_path, path) and set(labels) == own
        for place, path, labels in ctx.graph_axes.shape_reads()
    )


def _changed_read(node: Any, counts: Dict[Any, Dict[int, set]], size: int) -> bool:
    """Whether a read of the module calls running ``node`` gives ``size`` as a count that the
    cut changes."""
    return any(
        any(new != size for new in found.get(size, ()))
        for path, found in counts.items()
        if _runs_in(node.module_path, path)
    )


def _held_sizes(module: Optional[nn.Module]) -> set:
    """The numbers a module's attributes that its forward reads hold: integers, and the
    products of lists of them (Swin's window of 4 x 4 tokens)."""
    found = set()
    for name, value in vars(module).items() if module is not None else ():
        if not forward_may_read(module, name):
            continue
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
    shape = ctx.shape_of(source)
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
            if keep is None or axis is None or not first <= axis < last:
                size = math.prod(shape[first:last])
                counts.setdefault(size, set()).add(size)
    if keep is None or axis is None:
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
