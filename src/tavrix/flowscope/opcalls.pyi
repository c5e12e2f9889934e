"""The per-operation path of the interception: run, wrap, name and record a call."""

from typing import Any, Callable, Dict, FrozenSet, List, Optional, Tuple

class State:
    """One thread's interception state."""

    active: Any
    recorder: Optional["Recorder"]
    busy: bool
    def __init__(self) -> None: ...

class Recorder:
    """Records intercepted calls as nodes."""

    def __init__(
        self,
        nodes: List[Any],
        node_modules: List[Any],
        token: object,
        written_plain: Dict[int, Any],
        parametrized: Dict[int, Any],
        record_sources: bool,
    ) -> None: ...
    def record(
        self,
        func: Any,
        name: str,
        args: Tuple[Any, ...],
        kwargs: Dict[str, Any],
        result: Any,
        shape: Optional[Tuple[int, ...]] = None,
    ) -> None: ...

def torch_function(
    cls: type,
    func: Callable[..., Any],
    types: Tuple[type, ...],
    args: Tuple[Any, ...] = (),
    kwargs: Optional[Dict[str, Any]] = None,
) -> Any: ...
def configure(
    *,
    tensor: type,
    trace_tensor: type,
    thread_local: Any,
    default_function: Callable[..., Any],
    disabled_call: Callable[..., Any],
    disable_subclass: Any,
    no_wrap: FrozenSet[Any],
    metadata_methods: FrozenSet[Any],
    opcall: type,
    python_wrap: Callable[..., Any],
    input_tensor_ids: Callable[..., Any],
) -> None: ...
def configure_recorder(
    *,
    node_class: type,
    tensor_info_class: type,
    iter_leaves: Callable[..., Any],
    call_site: Callable[..., Any],
    code_site: Callable[..., Any],
    plain_values: FrozenSet[type],
    in_place_dunders: FrozenSet[str],
) -> None: ...
