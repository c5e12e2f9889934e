"""Proof that a shrunk model computes what the original computes with the removed channels
masked to zero.

The original runs under the interception mechanism the tracer uses: after
the k-th operation (the k-th node of the plan) every removed channel of that
node is set to zero. Zeroed channels contribute nothing downstream, so the
shrunk model must give the same outputs. When it does not, both models run
once more, node by node, to name the first node whose output differs.

An operation whose kept channels depend on how many channels there are (a
layer norm over the channel axis divides by their number) is recomputed on
its kept channels alone: that is what removing the others means. Such
operations' families declare a masked replay (:class:`tavrix.pruning.ops.OpFamily`).

:func:`record_reference` takes what the check needs from the model itself
before the cut, so that no copy of the original is kept: the masked outputs,
and per node a summary (exact largest magnitude, the values at a fixed sample
of positions) that the node-by-node search compares instead of the whole
value. A reference taken with ``node_values=True`` keeps every node's kept
values and finds the node the two-model check finds, by the same numbers.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Dict, List, Mapping, NoReturn, Optional, Sequence, Tuple

import torch
from torch import nn

from tavrix.flowscope.entrypoint import resolve_entry_point
from tavrix.flowscope.intercept import OpCall, intercept, to_plain, to_trace, untrace_attributes
from tavrix.flowscope.replay import Replay, Wording, operation_text
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.pruning.opfamily import INPUT_REPLAYS, MASKED_REPLAYS
from tavrix.pruning.shrink.context import CutContext, GraphAxes
from tavrix.pruning.shrink.cut import validated_removal
from tavrix.utils.common import BufferSnapshot, iter_leaves

__all__ = [
    "CheckReplayError",
    "DivergingNode",
    "CheckResult",
    "CheckReference",
    "MASKED_REPLAYS",
    "check_equal",
    "default_tolerance",
    "record_reference",
    "register_masked_replay",
    "register_input_replay",
]

#: replay(call, axis, kept, result) -> result: the node's result recomputed from its kept
#: channels along ``axis`` (``kept``: their positions, int64), the others left for zeroing.
MaskedReplay = Callable[[OpCall, int, torch.Tensor, torch.Tensor], torch.Tensor]

#: replay(call, node, input_mask, result) -> result: the node's result recomputed from what
#: its inputs keep, whether or not its own output loses channels (an attention whose q and k
#: lose head_dim positions has another scale). ``input_mask(value)`` gives (axis, kept
#: positions) of a node argument that loses channels, else None; ``input_mask.module(node)``
#: the module of the original model that ran the node (None when unknown),
#: ``input_mask.reads_count(node)`` whether that module call read the shape of a tensor that
#: loses channels, ``input_mask.feeds(node, operations)`` whether the node's result is an
#: argument of one of ``operations``.
InputMask = Callable[[Any], Optional[Tuple[int, torch.Tensor]]]
InputReplay = Callable[[OpCall, Any, InputMask, Any], Any]


def _file_replay(table: Dict[Any, Any], operations: Any, replay: Any) -> None:
    ops = list(operations) if isinstance(operations, (list, tuple, set)) else [operations]
    for op in ops:
        table[op] = replay


def register_masked_replay(operations: Any, replay: MaskedReplay) -> None:
    """Recompute nodes of ``operations`` (one or a list) with ``replay`` in the masked
    original when they lose channels (an operation family's ``masked_replay``)."""
    _file_replay(MASKED_REPLAYS, operations, replay)


def register_input_replay(operations: Any, replay: InputReplay) -> None:
    """Recompute nodes of ``operations`` (one or a list) with ``replay`` in the masked
    original, before their own removed channels are zeroed (an operation family's
    ``input_replay``)."""
    _file_replay(INPUT_REPLAYS, operations, replay)


class CheckReplayError(RuntimeError):
    """The original model did not replay the call the plan was made from."""


@dataclass(frozen=True)
class _Mask:
    """Where one node's removed channels lie."""

    axis: int
    channels: int
    removed: torch.Tensor  # positions along axis, int64
    kept: torch.Tensor


@dataclass(frozen=True)
class DivergingNode:
    """The first node whose output differs between the masked original and the shrunk model."""

    index: int
    name: str
    operation: str
    #: innermost module running when the node ran in the shrunk model
    module: Optional[str]
    max_abs_diff: float
    scale: float
    reason: str

    def __str__(self) -> str:
        where = f" in {self.module}" if self.module else ""
        return f"node #{self.index} {self.name} ({self.operation}){where}: {self.reason}"


@dataclass(frozen=True)
class CheckResult:
    """Outcome of :func:`check_equal`."""

    #: largest absolute difference over the floating-point outputs
    max_abs_diff: float
    #: largest absolute value of the masked original's outputs
    scale: float
    tolerance: float
    #: None when the outputs agree within ``tolerance`` relative to ``scale``
    first_diverging: Optional[DivergingNode]
    #: where a default tolerance came from ("8 x bfloat16 eps"); empty for float32 or a given one
    tolerance_note: str = ""

    @property
    def relative_diff(self) -> float:
        if self.max_abs_diff == 0:
            return 0.0
        return self.max_abs_diff / self.scale if self.scale > 0 else math.inf

    @property
    def passed(self) -> bool:
        return self.first_diverging is None

    def __str__(self) -> str:
        head = (
            f"largest difference {self.max_abs_diff:.3g} ({self.relative_diff:.3g} of the output "
            f"scale {self.scale:.3g}, tolerance {self.tolerance:g}"
            + (f", {self.tolerance_note})" if self.tolerance_note else ")")
        )
        if self.passed:
            return f"check passed: {head}"
        return f"check FAILED: {head}; first difference at {self.first_diverging}"


# The check's words for a run that does not follow the plan's node sequence.
_WORDING = Wording(
    longer="the analysed call ended after {count} operations, this one went on with {met}",
    other="operation #{position} should be {expected}, this call ran {met}",
    shorter="this call ended after {position} operations, the analysed call ran {count}",
)


class _InputMasks:
    """What the nodes of the graph keep, and the modules that ran them, for input replays."""

    def __init__(
        self, graph: Sequence[Any], masks: Dict[int, _Mask], modules: Dict[str, nn.Module]
    ) -> None:
        self.masks = masks
        self.modules = modules
        self.positions = {id(node): i for i, node in enumerate(graph)}
        self.graph = graph
        self._reading_calls: Optional[set] = None
        self._users: Optional[Dict[int, List[Any]]] = None

    def __call__(self, value: Any) -> Optional[Tuple[int, torch.Tensor]]:
        mask = self.masks.get(self.positions.get(id(value), -1))
        return None if mask is None else (mask.axis, mask.kept)

    def module(self, node: Any) -> Optional[nn.Module]:
        path = getattr(node, "module_path", None)
        return self.modules.get(path) if isinstance(path, str) else None

    def reads_count(self, node: Any) -> bool:
        """Whether the module call that ran ``node`` read the shape of a tensor that loses
        channels (sizes computed from it change with the cut)."""
        if self._reading_calls is None:
            # torch's stubs declare shape as an instance attribute; on the class it is the
            # descriptor whose getter the trace records
            shape = torch.Tensor.shape.__get__  # type: ignore[attr-defined]
            self._reading_calls = {
                read.module_path
                for read in self.graph
                if (read.operation is torch.Tensor.size or read.operation == shape)
                and read.args
                and self.positions.get(id(read.args[0]), -1) in self.masks
            }
        return getattr(node, "module_path", None) in self._reading_calls

    def feeds(self, node: Any, operations: Any) -> bool:
        """Whether ``node``'s result is an argument of a node of one of ``operations``."""
        if self._users is None:
            self._users = {}
            for user in self.graph:
                for arg in user.args:
                    self._users.setdefault(id(arg), []).append(user)
        return any(user.operation in operations for user in self._users.get(id(node), ()))


class _MaskedOriginal(Replay):
    """Zeroes the removed channels after every node that carries them; optionally keeps a
    copy of each node's output (its kept channels) for the node-by-node comparison."""

    def __init__(
        self,
        graph: Sequence[Any],
        masks: Dict[int, _Mask],
        record: Optional[Dict[int, Any]] = None,
        modules: Optional[Dict[str, nn.Module]] = None,
        summarise: bool = False,
    ) -> None:
        super().__init__([node.operation for node in graph], _WORDING)
        self.graph = graph
        self.masks = masks
        self.record = record
        self.summarise = summarise
        self.input_mask = _InputMasks(graph, masks, modules or {})

    def mismatch(self, position: int, detail: str, frame: Any = None) -> NoReturn:
        self.stop(
            CheckReplayError(
                f"the original model does not replay the analysed call: {detail}. Check with "
                "the inputs (and entry point) the plan was made from."
            )
        )

    def masked(
        self,
        position: int,
        result: Any,
        mask: _Mask,
        call: OpCall,
        replay: Optional[MaskedReplay] = None,
    ) -> torch.Tensor:
        if not isinstance(result, torch.Tensor):
            self.mismatch(position, f"node #{position} gave no tensor to mask")
        if result.dim() <= mask.axis or result.shape[mask.axis] != mask.channels:
            self.mismatch(
                position,
                f"node #{position} ({self.graph[position].unique_name}) has shape "
                f"{tuple(result.shape)}, the plan has {mask.channels} channels on axis "
                f"{mask.axis}",
            )
        if replay is not None:
            result = replay(call, mask.axis, mask.kept.to(result.device), result)
        return _zeroed(result, mask, _is_argument(result, call))

    def after_call(self, call: OpCall, result: Any) -> Any:
        position = self.expect(call, result)
        if position is None:
            return result
        mask = self.masks.get(position)
        try:
            input_replay = INPUT_REPLAYS.get(call.func)
        except TypeError:  # an unhashable operation object
            input_replay = None
        if input_replay is not None:
            result = input_replay(call, self.graph[position], self.input_mask, result)
        if mask is not None:
            if type(result) in (tuple, list) and result:
                # the pieces of a chunk: alike, each with the node's channels (an attention
                # call's weights it did not compute are None)
                pieces = [
                    piece if piece is None else self.masked(position, piece, mask, call)
                    for piece in result
                ]
                if any(a is not b for a, b in zip(pieces, result)):
                    result = type(result)(pieces)
            else:
                try:
                    replay = MASKED_REPLAYS.get(call.func)
                except TypeError:  # an unhashable operation object
                    replay = None
                result = self.masked(position, result, mask, call, replay)
        if self.record is not None and isinstance(result, torch.Tensor):
            value = result.detach()
            if mask is not None:
                value = value.index_select(mask.axis, mask.kept.to(value.device))
            elif not self.summarise:
                value = value.clone()
            self.record[position] = _Summary(value) if self.summarise else value
        return result


def _zeroed(result: torch.Tensor, mask: _Mask, is_argument: bool) -> torch.Tensor:
    """``result`` with the removed channels set to zero.

    In place: only the removed positions are written, and an in-place
    operation's result stays the object the model keeps using. A result that
    is a view of an earlier node's output carries the same labels there, so
    writing through it changes nothing else. Results that cannot be written
    (broadcast views) get a zeroed copy.
    """
    removed = mask.removed.to(result.device)
    if not is_argument and 0 in result.stride():
        # an expanded view (key/value heads repeated for grouped-query attention): its
        # entries share memory, so it is zeroed in a copy
        return result.index_fill(mask.axis, removed, 0)
    try:
        return result.index_fill_(mask.axis, removed, 0)
    except RuntimeError:
        if is_argument:
            raise
        return result.index_fill(mask.axis, removed, 0)


def _is_argument(result: torch.Tensor, call: OpCall) -> bool:
    return any(result is value for value in (*call.args, *call.kwargs.values()))


class _Stop(BaseException):
    """Ends the shrunk model's call at the first difference (not an Exception, so that the
    model's own error handling cannot swallow it)."""


class _ShrunkComparison(Replay):
    """Compares the shrunk model's node values with the masked original's; stops (_Stop) at
    the first that differs. Reads of shapes carry no values, and the cut model may make
    others (an attention with an odd number of heads left checks other conditions): only
    the rest is compared."""

    def __init__(
        self,
        graph: Sequence[Any],
        expected: Mapping[int, Any],
        tolerance: float,
        modules: List[str],
    ) -> None:
        super().__init__(
            [node.operation for node in graph],
            _WORDING,
            names=[node.operation_name for node in graph],
        )
        self.graph = graph
        self.expected = expected
        self.tolerance = tolerance
        self.modules = modules
        self.found: Optional[DivergingNode] = None
        self.worst: Optional[Tuple[float, DivergingNode]] = None

    def node(self, position: int, diff: float, scale: float, reason: str) -> DivergingNode:
        node = self.graph[min(position, len(self.graph) - 1)]
        return DivergingNode(
            index=position,
            name=node.unique_name,
            operation=operation_text(node.operation),
            module=self.modules[-1] if self.modules else None,
            max_abs_diff=diff,
            scale=scale,
            reason=reason,
        )

    def mismatch(self, position: int, detail: str, frame: Any = None) -> NoReturn:
        self.found = self.node(position, math.inf, 0.0, detail)
        raise _Stop

    def after_call(self, call: OpCall, result: Any) -> Any:
        position = self.expect(call, result)
        if position is None:
            return result
        expected = self.expected.get(position)
        if expected is None or not isinstance(result, torch.Tensor):
            return result
        summary = isinstance(expected, _Summary)
        if tuple(result.shape) != tuple(expected.shape):
            self.found = self.node(
                position,
                math.inf,
                0.0,
                f"output shape {tuple(result.shape)}, expected {tuple(expected.shape)}",
            )
            raise _Stop
        if not result.is_floating_point():
            if not (
                expected.same(result.detach())
                if summary
                else torch.equal(result.detach(), expected)
            ):
                self.found = self.node(position, math.inf, 0.0, "integer output differs")
                raise _Stop
            return result
        if summary:
            diff, scale = expected.difference(result.detach())
        else:
            diff, scale = _difference(expected, result.detach())
        relative = diff / scale if scale > 0 else (0.0 if diff == 0 else math.inf)
        if relative > self.tolerance:
            self.found = self.node(
                position, diff, scale, f"differs by {diff:.3g} ({relative:.3g} of its scale)"
            )
            raise _Stop
        if self.worst is None or relative > self.worst[0]:
            self.worst = (
                relative,
                self.node(position, diff, scale, f"largest relative difference {relative:.3g}"),
            )
        return result


#: positions of a node's value a summary keeps (besides that of its largest magnitude)
SUMMARY_SAMPLES = 256


class _Summary:
    """A node's kept value in a few numbers: its shape, its exact largest magnitude and its
    values at fixed, evenly spaced positions (and at the largest magnitude's). A difference
    is measured at those positions only: a lower bound of the whole value's."""

    __slots__ = ("shape", "scale", "positions", "values")

    def __init__(self, value: torch.Tensor) -> None:
        flat = value.reshape(-1)
        count = flat.numel()
        self.shape = tuple(value.shape)
        if count == 0:
            self.scale = 0.0
            self.positions = torch.zeros(0, dtype=torch.long)
            self.values = flat.cpu()
            return
        positions = (
            torch.linspace(0, count - 1, min(count, SUMMARY_SAMPLES), dtype=torch.float64)
            .round()
            .long()
        )
        if value.is_floating_point():
            top = flat.abs().argmax().reshape(1).cpu()
            self.scale = flat[top.to(flat.device)].abs().double().item()
            positions = torch.cat([positions, top]).unique()
        else:
            self.scale = 0.0
        self.positions = positions
        picked = flat[positions.to(flat.device)].cpu()
        self.values = picked.double() if value.is_floating_point() else picked

    def _picked(self, actual: torch.Tensor) -> torch.Tensor:
        return actual.reshape(-1)[self.positions.to(actual.device)].cpu()

    def same(self, actual: torch.Tensor) -> bool:
        return torch.equal(self._picked(actual), self.values)

    def difference(self, actual: torch.Tensor) -> Tuple[float, float]:
        if not self.values.numel():
            return 0.0, 0.0
        diff = (self.values - self._picked(actual).double()).abs().max().item()
        return (math.inf if math.isnan(diff) else diff), self.scale


def _difference(expected: torch.Tensor, actual: torch.Tensor) -> Tuple[float, float]:
    if expected.numel() == 0:
        return 0.0, 0.0
    a = expected.double()
    b = actual.double()
    diff = (a - b).abs().max().item()
    scale = a.abs().max().item()
    if math.isnan(diff):
        diff = math.inf
    return diff, scale


def _masks(model: nn.Module, axes: GraphAxes, removed: Sequence[int]) -> Dict[int, _Mask]:
    ctx = CutContext(model, axes, removed, owners={})
    masks: Dict[int, _Mask] = {}
    made: Dict[Tuple[int, int], _Mask] = {}  # nodes with equal labels share their keep list
    for position, node in enumerate(axes.graph):
        keep = ctx.keep(node)
        if keep is None:
            continue
        axis = ctx.axis(node)
        if axis is None:
            raise CheckReplayError(f"{node.unique_name} loses channels but has no channel axis")
        mask = made.get((id(keep), axis))
        if mask is None:
            channels = len(ctx.labels(node))
            kept = set(keep)
            gone = [i for i in range(channels) if i not in kept]
            mask = _Mask(axis, channels, torch.tensor(gone), torch.tensor(keep))
            made[(id(keep), axis)] = mask
        masks[position] = mask
    return masks


def _compare_outputs(expected: Any, actual: Any) -> Tuple[float, float, Optional[str]]:
    want = [x for x in iter_leaves(expected) if isinstance(x, torch.Tensor)]
    got = [x for x in iter_leaves(actual) if isinstance(x, torch.Tensor)]
    if len(want) != len(got):
        return math.inf, 0.0, f"{len(got)} output tensors, expected {len(want)}"
    worst, scale = 0.0, 0.0
    for i, (a, b) in enumerate(zip(want, got)):
        if tuple(a.shape) != tuple(b.shape):
            shapes = f"has shape {tuple(b.shape)}, expected {tuple(a.shape)}"
            return math.inf, 0.0, f"output {i} {shapes}"
        if not a.is_floating_point():
            if not torch.equal(a, b):
                return math.inf, 0.0, f"integer output {i} differs"
            continue
        diff, size = _difference(a.detach(), b.detach())
        worst, scale = max(worst, diff), max(scale, size)
    return worst, scale, None


#: default tolerance of float32 (and wider) outputs, relative to the output scale
FLOAT_TOLERANCE = 1e-4
#: default tolerance of bfloat16 and float16 outputs, in epsilons of their type: a cut sums
#: fewer terms in another order, which moves each rounding by about one epsilon, and the
#: moves add up with width and depth (4.8 epsilon on a 7B-shaped LLaMA)
HALF_TOLERANCE_EPS = 8


def default_tolerance(outputs: Any) -> Tuple[float, str]:
    """The tolerance :func:`check_equal` uses unless given one, from the coarsest
    floating-point dtype among ``outputs``: 1e-4 for float32 and wider,
    ``HALF_TOLERANCE_EPS`` x ``torch.finfo(dtype).eps`` for bfloat16 and float16
    (0.0625 and 0.0078125); with the note the result's text shows for the latter."""
    coarsest = None
    for value in iter_leaves(outputs):
        if isinstance(value, torch.Tensor) and value.is_floating_point():
            if coarsest is None or torch.finfo(value.dtype).eps > torch.finfo(coarsest).eps:
                coarsest = value.dtype
    if coarsest in (torch.bfloat16, torch.float16):
        name = str(coarsest).replace("torch.", "")
        return HALF_TOLERANCE_EPS * torch.finfo(coarsest).eps, f"{HALF_TOLERANCE_EPS} x {name} eps"
    return FLOAT_TOLERANCE, ""


def _checked_tolerance(tolerance: Any) -> None:
    if tolerance is None:
        return
    if isinstance(tolerance, bool) or not isinstance(tolerance, (int, float)) or tolerance < 0:
        raise ValueError(f"tolerance must be a non-negative number, got {tolerance!r}")


def _checked_inputs(args: Any, kwargs: Any) -> Tuple[Tuple[Any, ...], Dict[str, Any]]:
    if kwargs is None:
        kwargs = {}
    if not isinstance(args, (tuple, list)):
        raise TypeError(f"args must be a tuple or list of arguments, got {type(args).__name__}")
    if not isinstance(kwargs, Mapping):
        raise TypeError(f"kwargs must be a mapping, got {type(kwargs).__name__}")
    return tuple(args), dict(kwargs)


def _checked_eval(name: str, model: Any) -> None:
    if not isinstance(model, nn.Module):
        raise TypeError(f"{name} must be a torch.nn.Module, got {type(model).__name__}")
    training = next((n for n, m in model.named_modules() if m.training), None)
    if training is not None:
        # dropout would differ between the runs, batch norm would update its statistics
        raise ValueError(
            f"check_equal compares models in eval mode, but {name} "
            f"{training or type(model).__name__} is in training mode: call .eval() first"
        )


class CheckReference:
    """What :func:`check_equal` needs of the original model, taken by
    :func:`record_reference` before the cut: the masked original's outputs, per node a
    summary of its kept values (or, with ``node_values``, the values), and the call."""

    def __init__(
        self,
        graph: Sequence[Any],
        outputs: Any,
        nodes: Dict[int, Any],
        args: Tuple[Any, ...],
        kwargs: Dict[str, Any],
        entry_point: str,
        node_values: bool,
    ) -> None:
        self.graph = graph
        self.outputs = outputs
        self.nodes = nodes
        self.args = args
        self.kwargs = kwargs
        self.entry_point = entry_point
        self.node_values = node_values

    @property
    def nbytes(self) -> int:
        """Bytes of the tensors it holds (outputs and node records)."""
        total = 0
        for value in (*iter_leaves(self.outputs), *self.nodes.values()):
            for tensor in (
                (value.positions, value.values) if isinstance(value, _Summary) else (value,)
            ):
                if isinstance(tensor, torch.Tensor):
                    total += tensor.numel() * tensor.element_size()
        return total

    def __repr__(self) -> str:
        kind = "values" if self.node_values else "summaries"
        return f"CheckReference({len(self.graph)} nodes, node {kind}, {self.nbytes:,} bytes)"


def record_reference(
    model: nn.Module,
    plan: ModelCutplan,
    removed: Mapping[int, Sequence[int]],
    args: Sequence[Any] = (),
    kwargs: Optional[Mapping[str, Any]] = None,
    *,
    entry_point: str = "__call__",
    node_values: bool = False,
) -> CheckReference:
    """Run ``model`` (as analysed, before :func:`shrink`) with the channels of ``removed``
    masked, as :func:`check_equal` runs the original, and keep what the check of the shrunk
    model needs: ``check_equal(reference, shrunk)`` then needs no copy of the original.

    The reference holds the masked outputs, a copy of the inputs and, per node, a summary
    for the node-by-node search when the check fails: the exact largest magnitude of the
    node's kept values and those values at ``SUMMARY_SAMPLES`` fixed positions (a few KB a
    node). The search then names the first node whose sampled values differ beyond the
    tolerance; its difference is the largest at those positions. With ``node_values=True``
    every node's kept values are held instead (the memory of a forward's activations), and
    the search finds what the two-model check finds, with the same numbers.
    """
    args, kwargs = _checked_inputs(args, kwargs)
    _checked_eval("model", model)
    axes = GraphAxes(plan)
    chosen = validated_removal(plan, removed)
    masks = _masks(model, axes, [label for labels in chosen.values() for label in labels])
    run = resolve_entry_point(model, entry_point, "record_reference").function
    snapshot = BufferSnapshot(model)
    record: Dict[int, Any] = {}
    try:
        with torch.no_grad():
            outputs = _run_masked(
                run,
                axes.graph,
                masks,
                args,
                kwargs,
                record,
                dict(model.named_modules()),
                summarise=not node_values,
            )
    finally:
        snapshot.restore()
        untrace_attributes(model.modules())
    return CheckReference(
        axes.graph, outputs, record, _cloned(args), _cloned(kwargs), entry_point, node_values
    )


def check_equal(
    original: Any,
    shrunk: nn.Module,
    plan: Optional[ModelCutplan] = None,
    removed: Optional[Mapping[int, Sequence[int]]] = None,
    args: Sequence[Any] = (),
    kwargs: Optional[Mapping[str, Any]] = None,
    *,
    tolerance: Optional[float] = None,
    entry_point: str = "__call__",
) -> CheckResult:
    """Run ``original`` with the channels of ``removed`` masked to zero at every node that
    carries them, and ``shrunk`` on the same inputs; compare the outputs.

    ``original`` is the model as it was analysed (a copy taken before
    :func:`shrink`), ``shrunk`` the result; or ``original`` is a
    :class:`CheckReference` taken by :func:`record_reference` before the cut,
    which holds the plan's call, the inputs and the entry point
    (``check_equal(reference, shrunk)``). The check passes when the largest
    absolute difference is at most ``tolerance`` times the largest absolute
    output of the masked original; by default the tolerance follows the outputs'
    dtype (:func:`default_tolerance`). Otherwise ``first_diverging`` names the
    first node (in graph order) whose output differs by more than ``tolerance``
    relative to its own scale, or at which the shrunk model ran another
    operation or raised. Both models must be in eval mode; they run without
    gradients and are left as they were.
    """
    _checked_tolerance(tolerance)
    if isinstance(original, CheckReference):
        if (
            plan is not None
            or removed is not None
            or args != ()
            or kwargs is not None
            or (entry_point != "__call__")
        ):
            raise TypeError(
                "a reference holds the plan's call, the inputs and the entry point: call "
                "check_equal(reference, shrunk)"
            )
        return _check_reference(original, shrunk, tolerance)
    if plan is None or removed is None:
        raise TypeError(
            "check_equal(original, shrunk, plan, removed, args, kwargs) needs the plan and the "
            "removed channels (or pass a reference from record_reference as original)"
        )
    args, kwargs = _checked_inputs(args, kwargs)
    for name, model in (("original", original), ("shrunk", shrunk)):
        if not isinstance(model, nn.Module):
            raise TypeError(f"{name} must be a torch.nn.Module, got {type(model).__name__}")
    if original is shrunk:
        raise ValueError("original and shrunk are the same object: pass a copy taken before shrink")
    for name, model in (("original", original), ("shrunk", shrunk)):
        _checked_eval(name, model)
    axes = GraphAxes(plan)
    chosen = validated_removal(plan, removed)
    masks = _masks(original, axes, [label for labels in chosen.values() for label in labels])
    run_original = resolve_entry_point(original, entry_point, "check_equal").function
    run_shrunk = resolve_entry_point(shrunk, entry_point, "check_equal").function

    # buffers a call writes (a counter the forward keeps) are given back
    snapshots = [BufferSnapshot(original), BufferSnapshot(shrunk)]
    try:
        with torch.no_grad():
            modules = dict(original.named_modules())
            expected = _run_masked(run_original, axes.graph, masks, args, kwargs, None, modules)

            def recorded() -> Dict[int, Any]:
                record: Dict[int, Any] = {}
                _run_masked(run_original, axes.graph, masks, args, kwargs, record, modules)
                return record

            return _verdict(
                expected, run_shrunk, shrunk, axes.graph, args, kwargs, tolerance, recorded
            )
    finally:
        for snapshot in snapshots:
            snapshot.restore()
        untrace_attributes((*original.modules(), *shrunk.modules()))


def _check_reference(
    reference: CheckReference, shrunk: nn.Module, tolerance: Optional[float]
) -> CheckResult:
    _checked_eval("shrunk", shrunk)
    run_shrunk = resolve_entry_point(shrunk, reference.entry_point, "check_equal").function
    snapshot = BufferSnapshot(shrunk)
    try:
        with torch.no_grad():
            return _verdict(
                reference.outputs,
                run_shrunk,
                shrunk,
                reference.graph,
                reference.args,
                reference.kwargs,
                tolerance,
                lambda: reference.nodes,
            )
    finally:
        snapshot.restore()
        untrace_attributes(shrunk.modules())


def _verdict(
    expected: Any,
    run_shrunk: Any,
    shrunk: nn.Module,
    graph: Sequence[Any],
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    tolerance: Optional[float],
    recorded: Callable[[], Mapping[int, Any]],
) -> CheckResult:
    """Compare the shrunk model's outputs with the masked original's ``expected``; on a
    difference search node by node in what ``recorded()`` gives."""
    note = ""
    if tolerance is None:
        tolerance, note = default_tolerance(expected)
    _, scale, _ = _compare_outputs(expected, expected)
    try:
        actual = run_shrunk(*_cloned(args), **_cloned(kwargs))
        diff, _, problem = _compare_outputs(expected, actual)
    except Exception as exc:  # reported with the node where it happened
        diff, problem = math.inf, f"raised {type(exc).__name__}: {exc}"
    if problem is None and not any(
        isinstance(x, torch.Tensor) and x.numel() for x in iter_leaves(expected)
    ):
        # an empty result (a detector finding nothing) proves nothing about the cut
        return CheckResult(
            diff,
            scale,
            tolerance,
            DivergingNode(
                len(graph),
                "output",
                "-",
                None,
                diff,
                scale,
                "the outputs hold no values to compare; check on inputs for which they do",
            ),
            note,
        )
    if problem is None and (diff <= tolerance * scale or diff == 0):
        return CheckResult(diff, scale, tolerance, None, note)
    first = _find_divergence(run_shrunk, shrunk, graph, recorded(), args, kwargs, tolerance)
    if first is None:
        first = DivergingNode(
            len(graph), "output", "-", None, diff, scale, problem or "outputs differ"
        )
    return CheckResult(diff, scale, tolerance, first, note)


def _cloned(obj: Any) -> Any:
    """The inputs with every tensor copied: a model that changes its input in place must
    not hand the next run other values."""
    if isinstance(obj, torch.Tensor):
        return obj.detach().clone()
    if type(obj) in (tuple, list):
        return type(obj)(_cloned(item) for item in obj)
    if type(obj) is dict:
        return {key: _cloned(value) for key, value in obj.items()}
    return obj


def _run_masked(
    run: Any,
    graph: Sequence[Any],
    masks: Dict[int, _Mask],
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    record: Optional[Dict[int, Any]],
    modules: Dict[str, nn.Module],
    summarise: bool = False,
) -> Any:
    replay = _MaskedOriginal(graph, masks, record, modules, summarise)
    with intercept(replay):
        result = run(*to_trace(_cloned(args)), **to_trace(_cloned(kwargs)))
    replay.finish()
    return to_plain(result)


def _find_divergence(
    run_shrunk: Any,
    shrunk: nn.Module,
    graph: Sequence[Any],
    record: Mapping[int, Any],
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    tolerance: float,
) -> Optional[DivergingNode]:
    stack: List[str] = []
    comparison = _ShrunkComparison(graph, record, tolerance, stack)
    handles = []
    for name, module in shrunk.named_modules():
        label = name or type(module).__name__
        handles.append(module.register_forward_pre_hook(lambda *_, n=label: stack.append(n)))
        # not popped when the call raises: the stack then shows where
        handles.append(module.register_forward_hook(lambda *_, n=label: _pop(stack, n)))
    try:
        with intercept(comparison):
            try:
                run_shrunk(*to_trace(_cloned(args)), **to_trace(_cloned(kwargs)))
            except _Stop:
                pass
            except Exception as exc:
                if comparison.found is None:
                    comparison.skip_reads()  # the operation that raised is the next one
                    comparison.found = comparison.node(
                        comparison.position, math.inf, 0.0, f"raised {type(exc).__name__}: {exc}"
                    )
        if comparison.found is None:
            try:
                comparison.finish()
            except _Stop:
                pass
    finally:
        for handle in handles:
            handle.remove()
    if comparison.found is not None:
        return comparison.found
    return comparison.worst[1] if comparison.worst is not None else None


def _pop(stack: List[str], name: str) -> None:
    if stack and stack[-1] == name:
        stack.pop()
