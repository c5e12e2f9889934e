"""Runs calibration calls of a model with the importance gates in place.

The cutplan records, for every operation of the traced call, the gate (if
any) that follows it. A calibration call runs the model on trace tensors
under the same interception mechanism the tracer used, so the k-th
intercepted operation is the k-th traced node and gate k can be applied to
exactly that node's output. A call that does not replay the traced sequence
stops with :class:`GateReplayError` instead of gating the wrong tensor.
"""

from __future__ import annotations

import contextlib
import sys
import weakref
from typing import (
    Any,
    Dict,
    Iterable,
    Iterator,
    List,
    Mapping,
    NoReturn,
    Optional,
    Sequence,
    Tuple,
    cast,
)

import torch
import torch.utils.checkpoint

from tavrix.flowscope.intercept import OpCall, TraceTensor, intercept, to_plain, to_trace
from tavrix.flowscope.replay import Replay, Wording, operation_text, recorded_parameter_ids
from tavrix.pruning.cutplan import ModelCutplan

__all__ = [
    "GateReplayError",
    "gate_insertion_context",
    "plain_outputs",
    "prepare_args_for_prune_calibration",
]


class GateReplayError(RuntimeError):
    """A calibration call ran other operations than the traced call."""


def prepare_args_for_prune_calibration(
    args: Iterable[Any], kwargs: Mapping[str, Any]
) -> Tuple[Tuple[Any, ...], Dict[str, Any]]:
    """The call arguments with every tensor (also inside tuples, lists and dicts)
    turned into a trace tensor, so that the model's operations are intercepted.

    The trace tensors share storage with the originals and stay attached to
    autograd; the caller's objects are not modified.
    """
    return to_trace(tuple(args)), to_trace(dict(kwargs))


def plain_outputs(result: Any) -> Any:
    """The result of a calibration call with every trace tensor made a plain tensor
    again (same data, same autograd history)."""
    return to_plain(result)


# Activation checkpointing recomputes its operations in backward, without the gates; and
# transformers' layers checkpoint only while gradients are recorded, unlike the analysed call.
_CHECKPOINT_FILE = torch.utils.checkpoint.checkpoint.__code__.co_filename
_CHECKPOINTING_OFF = (
    "calibrate with checkpointing off (for a transformers model, "
    "model.activation_checkpointing_disable(), formerly gradient_checkpointing_disable())"
)


def _inside_checkpointing(frame: Any) -> bool:
    while frame is not None:
        if frame.f_code.co_filename == _CHECKPOINT_FILE:
            return True
        frame = frame.f_back
    return False


def _checkpointing_note(frame: Any) -> str:
    if not _inside_checkpointing(frame):
        return ""
    return (
        " (inside activation checkpointing, torch.utils.checkpoint, which runs only while "
        f"gradients are recorded, unlike the call the cutplan was built from: {_CHECKPOINTING_OFF})"
    )


def _checkpointing_possible() -> bool:
    """Whether the stack is worth reading in a call that records: reentrant checkpointing runs
    its function without recording, the other kind under saved-tensor hooks."""
    if not torch.is_grad_enabled():
        return True
    try:
        return torch._C._autograd._top_saved_tensors_default_hooks(False) is not None
    except (AttributeError, TypeError):  # cannot tell
        return True


# The gate wiring's words for a calibration call that does not replay the traced one.
_WORDING = Wording(
    longer="the traced call ended after {count} operations, but this call went on with "
    "operation #{position} ({met})",
    other="operation #{position} should be {expected}, but this call ran {met}",
    shorter="this call ended after {position} operations, but the traced call ran {count}; "
    "operation #{position} ({expected}) was expected next",
    parameters="operation #{position} ({expected}) should read the parameters of {recorded}, "
    "but this call read those of {read}, so its importance would be credited to the wrong "
    "module",
)


class _GateReplay(Replay):
    """Checks each intercepted call against the traced sequence and applies its gate."""

    def __init__(
        self,
        ops_and_gate_names: Sequence[Tuple[Any, str]],
        gates: torch.nn.ModuleDict,
        parameters: Optional[Sequence[Tuple[int, ...]]],
        model: Optional[torch.nn.Module],
    ) -> None:
        super().__init__(
            [operation for operation, _ in ops_and_gate_names],
            _WORDING,
            parameters=parameters,
            model=model,
        )
        self._gate_names = [name for _, name in ops_and_gate_names]
        self._gates = gates
        self._recording = torch.is_grad_enabled()
        # Tensors an in-place operation modified and returned, which the model
        # got back gated as a new tensor. They read as the gated tensor until
        # the call ends (see _Superseded).
        self._superseded: List[torch.Tensor] = []
        # (gate, its output, the output's version when made) of this call's products
        self._products: List[Tuple[torch.nn.Module, torch.Tensor, int]] = []

    def after_call(self, call: OpCall, result: Any) -> Any:
        position = self.expect(call, result)
        if position is None:
            return result
        gate_name = self._gate_names[position]
        if not gate_name:
            return result
        operation = self.operations[position]
        if not isinstance(result, torch.Tensor):
            self.mismatch(
                position,
                f"operation #{position} ({operation_text(operation)}) should produce the "
                f"tensor that {gate_name} gates, but it returned {type(result).__name__}",
            )
        if (
            self._recording
            and _checkpointing_possible()
            and _inside_checkpointing(sys._getframe(1))
        ):
            # (without the gate the recomputed tensors may also disagree with the saved ones)
            self.stop(
                GateReplayError(
                    f"operation #{position} ({operation_text(operation)}), whose output "
                    f"{gate_name} gates, runs inside activation checkpointing "
                    "(torch.utils.checkpoint): backward recomputes it without the gate, which "
                    f"then measures nothing; {_CHECKPOINTING_OFF}"
                )
            )
        gate = self._gates[gate_name]
        gated = gate(result)
        settled = vars(gate)
        if (
            torch.is_grad_enabled()
            and not settled.get("_pass_through")
            and not settled.get("_written")
            and (
                isinstance(gated, torch.Tensor) and gated is not result and not gated.is_inference()
            )
        ):
            self._products.append((gate, gated, gated._version))
        if any(result is arg for arg in call.args) or any(
            result is arg for arg in call.kwargs.values()
        ):
            # An in-place operation gave back the tensor it modified, and the
            # model may go on reading that object rather than the value
            # returned: from now on it reads as the gated tensor.
            _supersede(result, gated)
            self._superseded.append(result)
        return gated

    def release(self) -> None:
        """Tensors read as themselves again once the call is over."""
        superseded, self._superseded = self._superseded, []
        for tensor in superseded:
            _release(tensor)

    def _settle_gates(self) -> None:
        """After a whole call: a gate whose product nothing wrote in place hands back its
        input in later calls, which replay the same operations (see ChannelGate); a gate whose
        output was written keeps the product for good."""
        products, self._products = self._products, []
        for gate, gated, version in products:
            state = vars(gate)
            if gated._version != version:
                state["_pass_through"] = False
                state["_written"] = True
            elif not state.get("_written"):
                state["_pass_through"] = True

    def finish(self) -> None:
        """Called when the model returned: every traced operation must have run."""
        super().finish()
        self._settle_gates()

    def mismatch(self, position: int, detail: str, frame: Any = None) -> NoReturn:
        if frame is not None:
            detail += _checkpointing_note(frame)
        self.stop(
            GateReplayError(
                "The calibration call does not replay the operations of the call the cutplan "
                f"was built from: {detail}. Every call inside the calibrator must run the same "
                "operations on the same modules in the same order (no input-dependent control "
                "flow, the same input structure)."
            )
        )


class _Superseded(TraceTensor):
    """A tensor that an in-place operation modified before its gate.

    The gate multiplies the value the in-place operation returned and hands the
    product back, but the model may keep reading the modified object itself (an
    in-place dropout or activation whose result is discarded, a residual branch
    that reads the tensor again). Every operation reading such a tensor reads
    the gated one instead, so the gate takes effect for every reader.
    """

    _GATED = "_tavrix_gated"

    @classmethod
    def __torch_function__(
        cls,
        func: Any,
        types: Tuple[type, ...],
        args: Tuple[Any, ...] = (),
        kwargs: Optional[Dict[str, Any]] = None,
    ) -> Any:
        args = tuple(_gated_value(a) for a in args)
        if kwargs:
            kwargs = {k: _gated_value(v) for k, v in kwargs.items()}
        types = tuple(TraceTensor if t is cls else t for t in types)
        return TraceTensor.__torch_function__(func, types, args, kwargs)


def _gated_value(value: Any) -> Any:
    # a gated tensor modified in place again has a gated value of its own; each
    # gated value is newer than the tensor it stands for, so the chain ends
    while isinstance(value, _Superseded):
        value = value.__dict__[_Superseded._GATED]
    if type(value) in (list, tuple) and any(isinstance(v, _Superseded) for v in value):
        return type(value)(_gated_value(v) for v in value)
    return value


def _supersede(tensor: torch.Tensor, gated: torch.Tensor) -> None:
    tensor.__dict__[_Superseded._GATED] = gated
    if type(tensor) is TraceTensor:
        tensor.__class__ = _Superseded


def _release(tensor: torch.Tensor) -> None:
    tensor.__dict__.pop(_Superseded._GATED, None)
    if type(tensor) is _Superseded:
        # the cast keeps mypy from holding the tensor to the class just tested
        cast(torch.Tensor, tensor).__class__ = TraceTensor


# Per cutplan, the parameter ids of each traced position; computed once.
_PARAMETERS_BY_CUTPLAN: "weakref.WeakKeyDictionary[Any, List[Tuple[int, ...]]]" = (
    weakref.WeakKeyDictionary()
)


def _expected_parameters(
    cutplan: ModelCutplan, n_positions: int
) -> Optional[List[Tuple[int, ...]]]:
    """None for a cutplan whose graph does not match its operations (nothing to compare)."""
    try:
        cached = _PARAMETERS_BY_CUTPLAN.get(cutplan)
    except TypeError:  # not weakly referenceable: computed every time
        cached = None
    if cached is None:
        graph = cutplan.graph
        if graph is None or len(graph) != n_positions:
            return None
        cached = [recorded_parameter_ids(node) for node in graph]
        with contextlib.suppress(TypeError):
            _PARAMETERS_BY_CUTPLAN[cutplan] = cached
    return cached if len(cached) == n_positions else None


def _unsettle_on_mode_change(gates: Any, model: Optional[torch.nn.Module]) -> None:
    """Gates settled under other training modes multiply again for one call, which settles
    them anew: an in-place dropout writes its input only while training, so a gate output
    left alone in eval mode may be written in train mode (and a handed-back input must not
    be)."""
    if not isinstance(model, torch.nn.Module):
        return
    modes = tuple(module.training for module in model.modules())
    state = vars(gates)
    if state.get("_settled_modes", modes) != modes:
        for gate in gates.values():
            vars(gate).pop("_pass_through", None)
    state["_settled_modes"] = modes


@contextlib.contextmanager
def gate_insertion_context(
    cutplan: ModelCutplan, model: Optional[torch.nn.Module] = None
) -> Iterator[None]:
    """While active, the model's operations run with the cutplan's gates applied:
    the gate named in ``cutplan.ops_and_gate_names[k]`` multiplies the output of
    the k-th operation. The call's arguments must be trace tensors (see
    :func:`prepare_args_for_prune_calibration`).

    Raises :class:`GateReplayError` when the call runs a different operation at
    some position, more operations than were traced, or fewer, or when an
    operation reads other parameters than the traced one did (the same
    operations routed through another module); ``model``, when given, names
    the modules in that message. Exceptions of the model pass through
    unchanged; nothing stays active afterwards.
    """
    expected = list(cutplan.ops_and_gate_names)
    _unsettle_on_mode_change(cutplan.gate_container, model)
    replay = _GateReplay(
        expected,
        cutplan.gate_container,
        _expected_parameters(cutplan, len(expected)),
        model,
    )
    try:
        with intercept(replay):
            yield
    finally:
        replay.release()
    # Reached only when the model returned normally.
    replay.finish()
