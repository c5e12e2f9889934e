"""Calibration context: gates the model's calls and collects channel importance."""

import contextlib
from types import TracebackType
from typing import (
    Any,
    Callable,
    ContextManager,
    Dict,
    Iterable,
    List,
    Mapping,
    Optional,
    Tuple,
    Type,
)

import torch

from tavrix.flowscope.entrypoint import EntryPoint
from tavrix.pruning.blockstate import CopyHooks
from tavrix.pruning.cutplan import ModelCutplan
from tavrix.utils.common import BufferSnapshot

__all__ = ("TavrixPruningCalibrator",)

def configure(
    *,
    get_cutplan: Callable[..., ModelCutplan],
    resolve_entry_point: Callable[[Any, Any, str], EntryPoint],
    prepare_args_for_prune_calibration: Callable[..., Tuple[Tuple[Any, ...], Dict[str, Any]]],
    gate_insertion_context: Callable[..., ContextManager[None]],
    plain_outputs: Callable[[Any], Any],
    buffer_snapshot: Type[BufferSnapshot],
    copy_hooks: Type[CopyHooks],
    untrace_attributes: Callable[[Iterable[Any]], None],
) -> None:
    """Called once, by the package's wiring (a second call raises RuntimeError). The first five
    become the module's functions of those names (``plain_outputs`` as ``_plain_outputs``)."""

def get_cutplan(
    model: torch.nn.Module,
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    entry_point: Any = ...,
) -> ModelCutplan: ...
def resolve_entry_point(model: Any, entry_point: Any, caller: str) -> EntryPoint: ...
def prepare_args_for_prune_calibration(
    args: Iterable[Any], kwargs: Mapping[str, Any]
) -> Tuple[Tuple[Any, ...], Dict[str, Any]]: ...
def gate_insertion_context(
    cutplan: ModelCutplan, model: Optional[torch.nn.Module] = None
) -> ContextManager[None]: ...
def _plain_outputs(result: Any) -> Any: ...
def _run_failing_in_context(context: ContextManager[Any], error: str) -> Any: ...

# Weak references to the calibrators whose block is active.
_active_calibrators: List[Any]

class _EntryPointRedirect:
    """The function a TavrixPruningCalibrator installs in place of the entry point."""

    _calibrator: "TavrixPruningCalibrator"
    _original: Callable[..., Any]

    def __call__(self, module_self: Any, /, *args: Any, **kwargs: Any) -> Any: ...

class TavrixPruningCalibrator(contextlib.ContextDecorator):
    """Context manager for pruning information gathering."""

    _model: torch.nn.Module
    _gradient_enabled: Dict[str, bool]
    _cutplan: Optional[ModelCutplan]
    _active: bool
    _buffer_snapshot: Optional[BufferSnapshot]
    _copy_hooks: Optional[CopyHooks]
    _entry_point_name: str
    _entry_point_module: Any
    _entry_point_module_name: str
    _original_entry_point: Callable[..., Any]
    _entry_point_in_dict: bool

    def __init__(self, model: torch.nn.Module, entry_point: Optional[str] = "forward") -> None: ...
    @property
    def cutplan(self) -> Optional[ModelCutplan]:
        """Returns pruning necessary information."""
    def __enter__(self) -> Callable[..., Any]: ...
    def __exit__(
        self,
        exc_type: Optional[Type[BaseException]],
        exc_value: Optional[BaseException],
        exc_tb: Optional[TracebackType],
    ) -> None: ...
    def _disable_parameter_gradients(self) -> None: ...
    def _revert_parameter_gradients(self) -> None: ...
    def _update_cutplan_module_names(self, cutplan: ModelCutplan) -> None: ...
    def _parse_entry_point(self, entry_point: Optional[str]) -> None: ...
    def _replace_entry_point(self) -> Callable[..., Any]: ...
    def _restore_entry_point(self) -> None: ...
