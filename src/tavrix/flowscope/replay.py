"""Running a model again along a recorded call, operation by operation.

The gate wiring and the shrink check run a model once more under the interception
mechanism the tracer used and act after the k-th operation as operation k of the
recorded call asks. They can do so only while the call replays the recorded one:
:class:`Replay` expects operation k at the k-th intercepted call, skips what the
recording could not see, optionally compares the parameters each operation reads,
and words the first place where the call goes elsewhere.
"""

from __future__ import annotations

import sys
from typing import Any, Dict, List, NamedTuple, NoReturn, Optional, Sequence, Tuple

import torch

from tavrix.flowscope.intercept import METADATA_GET, Interceptor, OpCall, operation_name
from tavrix.flowscope.tracing import TensorInfo

__all__ = [
    "Replay",
    "Wording",
    "operation_text",
    "owners_text",
    "parameter_ids",
    "parameter_names",
    "recorded_parameter_ids",
    "same_operation",
]


def operation_text(operation: Any) -> str:
    """How messages name an operation: ``torch.conv2d``, ``Tensor.add``, ``the read of .shape``."""
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


def same_operation(met: Any, expected: Any) -> bool:
    if met is expected:
        return True
    # Bound method-wrappers (descriptor __get__) are new objects on every
    # access but compare equal.
    try:
        return bool(met == expected)
    except Exception:
        return False


# torch's own machinery for full backward hooks (register_full_backward_hook and the
# pre-hooks) wraps a module's inputs and outputs in an identity function, reading
# requires_grad and grad_fn, only while gradients are recorded: a call replayed with
# gradients meets those operations where the recorded call, run without them, had none.
_BACKWARD_HOOK_CODE = frozenset(
    code.co_filename
    for code in (
        torch.utils.hooks.BackwardHook._apply_on_tensors.__code__,
        torch.nn.modules._functions.BackwardHookFunction.forward.__code__,
    )
)


def _run_by_backward_hooks(frame: Any) -> bool:
    """Whether the operation whose caller is ``frame`` is the backward-hook machinery's."""
    return frame is not None and frame.f_code.co_filename in _BACKWARD_HOOK_CODE


def parameter_ids(args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> Tuple[int, ...]:
    """Ids of the parameters among a call's arguments (also one level inside lists and
    tuples, where torch.cat and the recurrent kernels take theirs), in argument order."""
    found: List[int] = []
    for value in (*args, *kwargs.values()) if kwargs else args:
        if isinstance(value, torch.Tensor):
            if isinstance(value, torch.nn.Parameter):
                found.append(id(value))
        elif type(value) in (list, tuple):
            found.extend(id(v) for v in value if isinstance(v, torch.nn.Parameter))
    return tuple(found)


def recorded_parameter_ids(node: Any) -> Tuple[int, ...]:
    """The same for a recorded node, whose parameters are recorded as TensorInfo."""
    found: List[int] = []
    for value in (*node.args, *node.kwargs.values()):
        items = value if type(value) in (list, tuple) else (value,)
        for item in items:
            if isinstance(item, TensorInfo) and issubclass(item.type, torch.nn.Parameter):
                found.append(item.tensor_uid)
    return tuple(found)


def parameter_names(model: Optional[torch.nn.Module]) -> Dict[int, str]:
    if not isinstance(model, torch.nn.Module):
        return {}
    names: Dict[int, str] = {}
    for name, parameter in model.named_parameters(remove_duplicate=False):
        names.setdefault(id(parameter), name)  # a shared parameter by its first name
    return names


def owners_text(ids: Tuple[int, ...], names: Dict[int, str]) -> str:
    """The modules owning the parameters ``ids`` (``names``: see :func:`parameter_names`)."""
    if not ids:
        return "no module (no parameter)"
    owners: List[str] = []
    for uid in ids:
        name = names.get(uid)
        owner = (
            "a parameter outside the model"
            if name is None
            else (f"module {name.rpartition('.')[0]!r}" if "." in name else "the model itself")
        )
        if owner not in owners:
            owners.append(owner)
    return " and ".join(owners)


class Wording(NamedTuple):
    """How a replay words the place where a call goes elsewhere: ``str.format`` templates
    with ``position`` (the operation's number), ``count`` (how many operations the
    recorded call ran), ``expected`` and ``met`` (the operations, as
    :func:`operation_text` names them), ``recorded`` and ``read`` (the owners of the
    parameters the recorded operation and this one read)."""

    #: the call went on after the recorded call's last operation
    longer: str
    #: the call ran another operation
    other: str
    #: the call ended before the recorded call's last operation
    shorter: str
    #: the operation read other parameters (used only when parameters are compared)
    parameters: str = ""


class Replay(Interceptor):
    """Follows a recorded call: the k-th intercepted operation must be ``operations[k]``.

    ``parameters``, when given, holds per position the ids of the parameters the
    recorded operation read (:func:`recorded_parameter_ids`); an operation reading
    others goes elsewhere too, its owners named from ``model``. With ``skip_reads``
    the reads of tensor metadata on both sides (positions whose ``names`` entry is
    ``METADATA_GET``) are left out of the comparison: they carry no values, and a cut
    model may make other ones. Operations of torch's backward-hook machinery that the
    recorded call did not run are skipped.

    Subclasses act in ``after_call`` on the position :meth:`expect` gives and say in
    :meth:`mismatch` what a call that goes elsewhere does (it must raise).
    """

    def __init__(
        self,
        operations: Sequence[Any],
        wording: Wording,
        *,
        parameters: Optional[Sequence[Tuple[int, ...]]] = None,
        model: Optional[torch.nn.Module] = None,
        names: Optional[Sequence[str]] = None,
    ) -> None:
        self.operations = operations
        self.wording = wording
        self.parameters = parameters
        self.model = model
        # per position, whether it is a metadata read left out (None: none are)
        self._reads = None if names is None else [name == METADATA_GET for name in names]
        self.position = 0
        # The first mismatch, raised again at every later operation, so that a model
        # that swallows it still fails.
        self.error: Optional[BaseException] = None

    def expect(self, call: OpCall, result: Any) -> Optional[int]:
        """The position of ``call`` in the recorded call, or None for an operation the
        recording did not see (to be handed back as it is). A call that goes elsewhere
        ends in :meth:`mismatch`."""
        if self.error is not None:
            raise self.error
        if self._reads is not None:
            if operation_name(call.func, result) == METADATA_GET:
                return None
            self.skip_reads()
        position = self.position
        operations = self.operations
        ended = position >= len(operations)
        if ended or not same_operation(call.func, operations[position]):
            frame = sys._getframe(2)  # the code that made the call
            if _run_by_backward_hooks(frame):
                return None  # not one of the model's own operations
            self.position = position + 1
            wording = self.wording
            if ended:
                detail = wording.longer.format(
                    position=position, count=len(operations), met=operation_text(call.func)
                )
            else:
                detail = wording.other.format(
                    position=position,
                    expected=operation_text(operations[position]),
                    met=operation_text(call.func),
                )
            self.mismatch(position, detail, frame)
        self.position = position + 1
        if self.parameters is not None:
            read = parameter_ids(call.args, call.kwargs)
            if read != self.parameters[position]:
                names = parameter_names(self.model)
                self.mismatch(
                    position,
                    self.wording.parameters.format(
                        position=position,
                        expected=operation_text(operations[position]),
                        recorded=owners_text(self.parameters[position], names),
                        read=owners_text(read, names),
                    ),
                )
        return position

    def skip_reads(self) -> None:
        """Moves past the recorded metadata reads at the current position (with ``names``)."""
        reads = self._reads
        if reads is not None:
            while self.position < len(reads) and reads[self.position]:
                self.position += 1

    def finish(self) -> None:
        """Called when the model returned: every recorded operation must have run."""
        if self.error is not None:
            raise self.error
        self.skip_reads()
        position = self.position
        if position < len(self.operations):
            self.mismatch(
                position,
                self.wording.shorter.format(
                    position=position,
                    count=len(self.operations),
                    expected=operation_text(self.operations[position]),
                ),
            )

    def mismatch(self, position: int, detail: str, frame: Any = None) -> NoReturn:
        """Stops the call that went elsewhere at ``position``; ``frame``: the code that made
        the operation, when the call ran one."""
        raise NotImplementedError

    def stop(self, error: BaseException) -> NoReturn:
        """Raises ``error`` now and at every later operation of the call."""
        self.error = error
        raise error
