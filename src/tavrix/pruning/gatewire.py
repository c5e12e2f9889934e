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
from typing import Any, Dict, Iterable, Iterator, Mapping, Optional, Sequence, Tuple

import torch

from tavrix.flowscope.intercept import (
    METADATA_GET,
    Interceptor,
    OpCall,
    intercept,
    to_plain,
    to_trace,
)

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


def _operation_text(operation: Any) -> str:
    name = getattr(operation, "__name__", None)
    if name == "__get__":
        # attribute reads arrive as the descriptor's __get__ (x.shape)
        attribute = getattr(getattr(operation, "__self__", None), "__name__", None)
        if isinstance(attribute, str):
            return f"the read of .{attribute}"
    module = getattr(operation, "__module__", None)
    if isinstance(name, str) and isinstance(module, str):
        return f"{module}.{name}"
    qualname = getattr(operation, "__qualname__", None)
    if isinstance(qualname, str):
        # tensor methods live on the C base class
        return qualname.replace("TensorBase.", "Tensor.")
    return repr(operation)


def _same_operation(met: Any, expected: Any) -> bool:
    if met is expected:
        return True
    # Bound method-wrappers (descriptor __get__) are new objects on every
    # access but compare equal.
    try:
        return bool(met == expected)
    except Exception:
        return False


class _GateReplay(Interceptor):
    """Checks each intercepted call against the traced sequence and applies its gate."""

    def __init__(
        self, ops_and_gate_names: Sequence[Tuple[Any, str]], gates: torch.nn.ModuleDict
    ) -> None:
        self._expected = ops_and_gate_names
        self._gates = gates
        self._position = 0
        # The first mismatch; kept so that a model that swallows it still fails.
        self.error: Optional[GateReplayError] = None
        # Tensors an in-place operation modified and returned, which the model got
        # back gated as a new tensor: id -> (tensor, position). Reading the old
        # object afterwards would bypass the gate.
        self._superseded: Dict[int, Tuple[torch.Tensor, int]] = {}

    def after_call(self, call: OpCall, result: Any) -> Any:
        if self.error is not None:
            raise self.error
        position = self._position
        self._position = position + 1
        if position >= len(self._expected):
            self._fail(
                f"the traced call ended after {len(self._expected)} operations, but this call "
                f"went on with operation #{position} ({_operation_text(call.func)})"
            )
        operation, gate_name = self._expected[position]
        if not _same_operation(call.func, operation):
            self._fail(
                f"operation #{position} should be {_operation_text(operation)}, but this call "
                f"ran {_operation_text(call.func)}"
            )
        if self._superseded and call.name != METADATA_GET:
            self._check_not_superseded(call, position)
        if not gate_name:
            return result
        if not isinstance(result, torch.Tensor):
            self._fail(
                f"operation #{position} ({_operation_text(operation)}) should produce the "
                f"tensor that {gate_name} gates, but it returned {type(result).__name__}"
            )
        if any(result is arg for arg in call.args) or any(
            result is arg for arg in call.kwargs.values()
        ):
            self._superseded[id(result)] = (result, position)
        return self._gates[gate_name](result)

    def _check_not_superseded(self, call: OpCall, position: int) -> None:
        for arg in _top_level_tensors(call):
            entry = self._superseded.get(id(arg))
            if entry is not None and entry[0] is arg:
                operation, _ = self._expected[entry[1]]
                self._raise(
                    GateReplayError(
                        f"The calibration call would bypass a gate: operation #{position} "
                        f"({_operation_text(call.func)}) reads the tensor that in-place "
                        f"operation #{entry[1]} ({_operation_text(operation)}) modified, not "
                        "the value that operation returned, so the gate after it would have "
                        "no effect. Use the returned value (y = x.relu_(), x += y) or an "
                        "out-of-place operation."
                    )
                )

    def finish(self) -> None:
        """Called when the model returned: every traced operation must have run."""
        if self.error is not None:
            raise self.error
        if self._position < len(self._expected):
            operation, _ = self._expected[self._position]
            self._fail(
                f"this call ended after {self._position} operations, but the traced call ran "
                f"{len(self._expected)}; operation #{self._position} "
                f"({_operation_text(operation)}) was expected next"
            )

    def _fail(self, detail: str) -> None:
        self._raise(
            GateReplayError(
                "The calibration call does not replay the operations of the call the cutplan "
                f"was built from: {detail}. Every call inside the calibrator must run the same "
                "operations in the same order (no input-dependent control flow, the same input "
                "structure)."
            )
        )

    def _raise(self, error: GateReplayError) -> None:
        self.error = error
        raise error


def _top_level_tensors(call: OpCall) -> Iterator[torch.Tensor]:
    for value in (*call.args, *call.kwargs.values()):
        if isinstance(value, torch.Tensor):
            yield value
        elif isinstance(value, (list, tuple)):
            # torch.cat and friends take their tensors in a sequence
            for item in value:
                if isinstance(item, torch.Tensor):
                    yield item


@contextlib.contextmanager
def gate_insertion_context(cutplan: Any) -> Iterator[None]:
    """While active, the model's operations run with the cutplan's gates applied:
    the gate named in ``cutplan.ops_and_gate_names[k]`` multiplies the output of
    the k-th operation. The call's arguments must be trace tensors (see
    :func:`prepare_args_for_prune_calibration`).

    Raises :class:`GateReplayError` when the call runs a different operation at
    some position, more operations than were traced, or fewer. Exceptions of
    the model pass through unchanged; nothing stays active afterwards.
    """
    replay = _GateReplay(list(cutplan.ops_and_gate_names), cutplan.gate_container)
    with intercept(replay):
        yield
    # Reached only when the model returned normally.
    replay.finish()

