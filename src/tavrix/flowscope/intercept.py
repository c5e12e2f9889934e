"""The one place where tensor operations of a model call are intercepted.

Both the tracer and the gate wiring run the model with ``TraceTensor`` inputs
under an :class:`Interceptor`; every outermost torch operation reaches the
interceptor's ``after_call`` in execution order, so recording and replaying
see exactly the same sequence of calls with the same names.
"""

from __future__ import annotations

import contextlib
import copy
import dataclasses
import threading
from typing import Any, Callable, Dict, Iterable, Iterator, Optional, Tuple, cast

import torch
from torch._C import DisableTorchFunctionSubclass
from torch.overrides import TorchFunctionMode

from tavrix.flowscope import opcalls
from tavrix.utils.common import is_dataclass_instance

__all__ = [
    "METADATA_GET",
    "OpCall",
    "Interceptor",
    "TraceTensor",
    "intercept",
    "active_interceptor",
    "regather",
    "concatenated_vectors",
    "operation_name",
    "to_trace",
    "to_plain",
    "untrace_attributes",
]

# Name under which reads that only describe a tensor are recorded.
METADATA_GET = "__get__"

_Tensor = torch.Tensor

# Tensor methods that describe a tensor without reading its values. When they
# return a non-tensor they are recorded like descriptor reads, so asking for a
# shape can never make channels unprunable.
_METADATA_METHODS = frozenset(
    getattr(_Tensor, name)
    for name in (
        "size",
        "dim",
        "ndimension",
        "numel",
        "nelement",
        "stride",
        "storage_offset",
        "element_size",
        "is_contiguous",
        "is_floating_point",
        "is_complex",
        "is_signed",
        "is_inference",
        "is_pinned",
        "is_shared",
        "get_device",
        "has_names",
        "dim_order",
        "__len__",
        "type",
    )
    if hasattr(_Tensor, name)
) | frozenset(
    getattr(torch, name)
    for name in ("numel", "is_floating_point", "is_complex", "is_signed", "is_inference")
    if hasattr(torch, name)
)


# Reads torch itself hands back unwrapped (x.grad, x._base): wrapping them
# would break identity checks such as `x.grad is g`.
_NO_WRAP = frozenset(torch.overrides.get_default_nowrap_functions())


class OpCall:
    """One intercepted operation call, as the model made it."""

    __slots__ = ("func", "name", "args", "kwargs")

    def __init__(
        self, func: Callable[..., Any], name: str, args: Tuple[Any, ...], kwargs: Dict[str, Any]
    ) -> None:
        self.func = func
        self.name = name
        self.args = args
        self.kwargs = kwargs

    def __repr__(self) -> str:
        return f"OpCall({self.name!r}, func={self.func!r})"


class Interceptor:
    """Base class: sees every outermost operation once, after it ran."""

    def after_call(self, call: OpCall, result: Any) -> Any:
        """Return the value handed back to the model in place of ``result``."""
        return result


class _ThreadState(threading.local):
    """One state per thread (``active``: the interceptor, ``recorder``: its native
    recorder if it has one, ``busy``: True while an intercepted call or its
    after_call runs, so that any torch call made then is not the model's own
    operation): an interceptor sees only the calls of the thread that activated
    it, so threads can trace or calibrate their own models side by side. The
    per-call cost is one thread-local attribute read."""

    def __init__(self) -> None:
        self.state = opcalls.State()
        #: the weight lookups of embedding forwards running now (innermost last)
        self.lookups: list = []
        #: id(tensor) -> (the tensor, ids of the parameters) of each 1-D concatenation of a
        #: module's own parameters and buffers its forward made while intercepting
        self.concatenated: Dict[int, Tuple[Any, Tuple[int, ...]]] = {}
        #: id(tensor) -> (the tensor, id of the parameter) of each ``p[:, index]`` a module's
        #: forward made of a parameter of its own with a plain index while intercepting
        self.gathered: Dict[int, Tuple[Any, int]] = {}


_THREAD = _ThreadState()


def active_interceptor() -> Optional[Interceptor]:
    """The interceptor active in the calling thread, if any."""
    return _THREAD.state.active


def _base_name(func: Any) -> str:
    name = getattr(func, "__name__", None)
    if not isinstance(name, str):
        name = type(func).__name__
    return name


def operation_name(func: Any, result: Any) -> str:
    """The name recorded for a call of ``func`` that returned ``result``.

    Descriptor reads (``x.shape``, ``x.dtype``) and metadata queries
    (``x.size()``, ``x.dim()``) that return something other than a tensor are
    named "__get__". A descriptor read that yields a tensor (``x.T``,
    ``x.data``) moves data, so it keeps the attribute's own name and is
    handled like any other operation.
    """
    name = _base_name(func)
    if isinstance(result, _Tensor):
        if name == "__get__":
            owner = getattr(func, "__self__", None)
            return _base_name(owner) if owner is not None else name
        return name
    if name == "__get__" or func in _METADATA_METHODS:
        return METADATA_GET
    return name


def _input_tensor_ids(args: Tuple[Any, ...], kwargs: Dict[str, Any]) -> set:
    ids = set()
    for value in (*args, *kwargs.values()):
        if isinstance(value, _Tensor):
            ids.add(id(value))
        elif type(value) in (list, tuple):
            ids.update(id(x) for x in value if isinstance(x, _Tensor))
    return ids


def _wrap(obj: Any, fresh_ok: Optional[set] = None) -> Any:
    """Turn every plain tensor of a result into a TraceTensor (same object otherwise).

    With ``fresh_ok`` (the ids of the call's input tensors), a plain result
    tensor that is not one of the inputs was made by the call itself and is
    retagged in place. An alias made with as_subclass would work too, but
    in-place operations on such aliases (ReLU(inplace=True), ``+=``) make
    autograd's backward markedly slower.
    """
    if isinstance(obj, _Tensor):
        if isinstance(obj, TraceTensor):
            return obj
        if fresh_ok is not None and type(obj) is _Tensor and id(obj) not in fresh_ok:
            obj.__class__ = TraceTensor
            return obj
        # a plain tensor (or a Parameter) has no override: no dispatch here
        return obj.as_subclass(TraceTensor)
    cls = type(obj)
    if cls is tuple or cls is list:
        if not any(isinstance(x, _Tensor) for x in obj):
            return obj
        return cls(_wrap(x, fresh_ok) for x in obj)
    if isinstance(obj, tuple):
        # torch.return_types structseqs and namedtuples
        if not any(isinstance(x, _Tensor) for x in obj):
            return obj
        items = [_wrap(x, fresh_ok) for x in obj]
        if hasattr(obj, "_fields"):
            return cls(*items)
        return cls(items)
    if is_dataclass_instance(obj):
        # a function dispatched through __torch_function__ may return one
        return _rebuild_dataclass(obj, lambda x: _wrap(x, fresh_ok))
    return obj


class TraceTensor(torch.Tensor):
    """A tensor whose operations reach the active interceptor.

    Without an active interceptor it behaves like an ordinary tensor.
    """

    # Runs the call, wraps its results and hands it to the active interceptor
    # (tavrix.flowscope.opcalls: the path every operation of a traced or
    # calibrated model takes, so it costs no Python frame); torch's own
    # behaviour when no interceptor is active in the thread.
    __torch_function__: Any = classmethod(opcalls.torch_function)


@contextlib.contextmanager
def intercept(interceptor: Interceptor) -> Iterator[Interceptor]:
    """Activate ``interceptor`` for the duration of the block, in the calling thread."""
    if not isinstance(interceptor, Interceptor):
        raise TypeError(
            f"intercept() expects an Interceptor instance, got {type(interceptor).__name__}"
        )
    state = _THREAD.state
    if state.active is not None:
        raise RuntimeError(
            "An interceptor is already active; interception contexts cannot be nested"
        )
    state.active = interceptor
    state.recorder = _native_recorder(interceptor)
    state.busy = False
    try:
        with _traced_embedding_indices():
            yield interceptor
    finally:
        state.active = None
        state.recorder = None
        state.busy = False


def _trace_embedding_index(module: Any, args: Tuple[Any, ...]) -> Optional[Tuple[Any, ...]]:
    """Forward pre-hook of every module while an interceptor is active in this thread: an
    ``nn.Embedding`` looking up indices the call made itself (transformers' default position
    and token-type ids, from ``arange`` or a buffer) looks them up as a traced tensor, so that
    its lookup is an operation of the call like the one of indices passed in (its columns are
    the embedding's channels); a lookup of a plain tensor would be a constant spanning them.
    A subclass with a forward of its own (Whisper's decoder positions, ``self.weight[ids]``)
    may take its indices by keyword, which a global hook never sees: its forward runs under
    :class:`_WeightLookups` instead."""
    if not isinstance(module, torch.nn.Embedding) or _THREAD.state.active is None:
        if _THREAD.state.active is not None:
            for watch, applies in (
                (_VectorCats, _concatenates_vectors),
                (_RowGathers, _gathers_rows),
            ):
                if applies(module):
                    pieces = watch(module)
                    pieces.handle = module.register_forward_hook(
                        _leave_weight_lookups, always_call=True
                    )
                    pieces.__enter__()
                    _THREAD.lookups.append(pieces)
        return None
    if _THREAD.state.busy:  # torch's own work inside an intercepted call
        return None
    if type(module).forward is not _EMBEDDING_FORWARD:
        weight = module._parameters.get("weight")
        if isinstance(weight, _Tensor):
            lookups = _WeightLookups(module, weight)
            # ended by a hook of this module's own, for this call only: a global one would
            # cost a call at every module
            lookups.handle = module.register_forward_hook(_leave_weight_lookups, always_call=True)
            lookups.__enter__()
            _THREAD.lookups.append(lookups)
        return None
    if not args or type(args[0]) is not _Tensor or args[0].is_floating_point():
        return None
    return (_traced(args[0]), *args[1:])


def _leave_weight_lookups(module: Any, args: Any, result: Any) -> None:
    """Forward hook of the embedding whose forward runs under :class:`_WeightLookups` (also
    when the forward raises): ends them, and takes itself off the module."""
    lookups = _THREAD.lookups
    if lookups and lookups[-1].module is module:
        lookups.pop().close()


def gathered_rows() -> Dict[int, int]:
    """id(tensor) -> id of the module's parameter, of the ``p[:, index]`` the intercepted call
    made so far in this thread (:class:`_RowGathers`)."""
    return {key: source for key, (_, source) in _THREAD.gathered.items()}


def concatenated_vectors() -> Dict[int, Tuple[int, ...]]:
    """id(tensor) -> ids of the module's parameters and buffers it concatenates, of the 1-D
    concatenations the intercepted call made so far in this thread (:class:`_VectorCats`)."""
    return {key: parts for key, (_, parts) in _THREAD.concatenated.items()}


def _traced(index: Any) -> Any:
    with DisableTorchFunctionSubclass():
        return index.as_subclass(TraceTensor)


def _plain_index(value: Any) -> bool:
    return type(value) is _Tensor and not value.is_floating_point()


class _WeightLookups(TorchFunctionMode):
    """Active during the forward of an ``nn.Embedding`` subclass with a forward of its own:
    its weight indexed (``self.weight[ids]``) or looked up (``F.embedding``) by indices the
    call made is read with those indices traced, as the plain ``nn.Embedding`` is; every other
    operation runs as it would."""

    def __init__(self, module: Any, weight: Any) -> None:
        super().__init__()
        self.module = module
        self.weight = weight
        self.handle: Any = None

    def close(self) -> None:
        self.__exit__(None, None, None)
        if self.handle is not None:
            self.handle.remove()

    def __torch_function__(
        self, func: Any, types: Any, args: Tuple[Any, ...] = (), kwargs: Any = None
    ) -> Any:
        kwargs = kwargs or {}
        if len(args) >= 2:
            if func is _GETITEM and args[0] is self.weight and _plain_index(args[1]):
                args = (args[0], _traced(args[1]), *args[2:])
            elif func in _EMBEDDING_FUNCTIONS and args[1] is self.weight and _plain_index(args[0]):
                args = (_traced(args[0]), *args[1:])
        return func(*args, **kwargs)


class _VectorCats(_WeightLookups):
    """Active during the forward of a module holding vectors of its own that its forward may
    concatenate (EVA's ``torch.cat((self.q_bias, self.k_bias, self.v_bias))``, a bias that no
    traced tensor takes part in): notes which of its parameters and buffers each such
    concatenation is made of (``concatenated``), so that the trace can tell a cut of it."""

    def __init__(self, module: Any) -> None:
        super().__init__(module, None)
        self.vectors = {
            id(t): t
            for registry in (module._parameters, module._buffers)
            for t in registry.values()
            if isinstance(t, _Tensor) and t.dim() == 1
        }

    def __torch_function__(
        self, func: Any, types: Any, args: Tuple[Any, ...] = (), kwargs: Any = None
    ) -> Any:
        result = func(*args, **(kwargs or {}))
        if func is torch.cat and args and type(args[0]) in (tuple, list):
            parts = tuple(id(t) for t in args[0])
            if len(parts) > 1 and all(p in self.vectors for p in parts):
                _THREAD.concatenated[id(result)] = (result, parts)
        return result


class _RowGathers(_WeightLookups):
    """Active during the forward of a module holding a parameter of two or more axes and an
    index buffer (LeViT's attention: ``self.attention_biases[:, self.attention_bias_idxs]``,
    a bias table per head that no traced tensor takes part in): notes each gather along the
    later axes of such a parameter that keeps its first axis whole (``gathered``), so that
    the trace can tell a cut of that axis."""

    def __init__(self, module: Any) -> None:
        super().__init__(module, None)
        self.tables = {id(t) for t in module._parameters.values() if _is_table(t)}

    def __torch_function__(
        self, func: Any, types: Any, args: Tuple[Any, ...] = (), kwargs: Any = None
    ) -> Any:
        result = func(*args, **(kwargs or {}))
        if (
            func is _GETITEM
            and len(args) == 2
            and id(args[0]) in self.tables
            and type(args[1]) is tuple
            and len(args[1]) == 2
            and args[1][0] == slice(None)
            and _plain_index(args[1][1])
            and type(result) is _Tensor
            and result.dim() >= 1
            and result.shape[0] == args[0].shape[0]
        ):
            _THREAD.gathered[id(result)] = (result, id(args[0]))
        return result


def _is_table(tensor: Any) -> bool:
    return isinstance(tensor, _Tensor) and tensor.dim() >= 2


def _gathers_rows(module: Any) -> bool:
    """Whether ``module`` holds a parameter of two or more axes and an integer buffer."""
    if not any(_is_table(t) for t in module._parameters.values()):
        return False
    return any(
        isinstance(t, _Tensor) and not t.is_floating_point() and not t.is_complex()
        for t in module._buffers.values()
    )


def _unchanged(tensor: Any) -> Any:
    return tensor


def regather(model: Any) -> None:
    """Has each module of ``model`` that gathers rows of a parameter of its own (see
    :class:`_RowGathers`) and keeps what it computes from its tensors (its type overrides
    ``_apply``, as LeViT's attention does to drop its cached biases) let go of what it kept,
    as a move to another device would: its next call gathers again. The tracer calls it so
    that the trace sees the gathers, the shrink so that the cut model uses its cut tables."""
    if not isinstance(model, torch.nn.Module):
        return
    for module in model.modules():
        if type(module)._apply is not torch.nn.Module._apply and _gathers_rows(module):
            module._apply(_unchanged, recurse=False)


_CONCATENATING: Dict[Any, bool] = {}


def _concatenates_vectors(module: Any) -> bool:
    """Whether ``module`` holds two vectors of its own and its forward names ``cat``."""
    forward = getattr(type(module), "forward", None)
    names = _CONCATENATING.get(forward)
    if names is None:
        code = getattr(forward, "__code__", None)
        names = _CONCATENATING[forward] = code is not None and "cat" in code.co_names
    if not names:
        return False
    found = 0
    for registry in (module._parameters, module._buffers):
        for tensor in registry.values():
            found += isinstance(tensor, _Tensor) and tensor.dim() == 1
    return found > 1


_EMBEDDING_FORWARD = torch.nn.Embedding.forward
_GETITEM = _Tensor.__getitem__
_EMBEDDING_FUNCTIONS = (torch.nn.functional.embedding, torch.embedding)


@contextlib.contextmanager
def _traced_embedding_indices() -> Iterator[None]:
    # the same hook for the tracer and every replay of its nodes (gates, checks): all see
    # the same lookups. Global, as the interceptor does not know the model; it costs one
    # call per module call while intercepting.
    handle = torch.nn.modules.module.register_module_forward_pre_hook(
        cast(Callable[..., None], _trace_embedding_index)
    )
    try:
        yield
    finally:
        handle.remove()
        while _THREAD.lookups:  # a forward left without its hook (never in torch's own call)
            _THREAD.lookups.pop().close()
        _THREAD.concatenated.clear()
        _THREAD.gathered.clear()


def _native_recorder(interceptor: Interceptor) -> Any:
    """The native recorder behind an interceptor whose after_call only records, else None."""
    recorder = getattr(interceptor, "native_recorder", None)
    if recorder is None or "after_call" in getattr(interceptor, "__dict__", {}):
        return None
    # a subclass that overrides after_call wants its own calls
    if not getattr(type(interceptor).after_call, "records_natively", False):
        return None
    return recorder


def to_trace(obj: Any) -> Any:
    """Copy of a nested tuple/list/dict/dataclass structure with every tensor as a fresh
    TraceTensor.

    The TraceTensors share storage and stay attached to autograd; a tensor that
    appears several times becomes one TraceTensor, so identity is kept.
    """
    return _to_trace(obj, {})


def _to_trace(obj: Any, memo: Dict[int, Any]) -> Any:
    if isinstance(obj, _Tensor):
        traced = memo.get(id(obj))
        if traced is None:
            with DisableTorchFunctionSubclass():
                traced = obj.as_subclass(TraceTensor)
            memo[id(obj)] = traced
        return traced
    if isinstance(obj, dict):
        return _rebuild_dict(obj, lambda v: _to_trace(v, memo))
    if isinstance(obj, (tuple, list)):
        return _rebuild(obj, [_to_trace(x, memo) for x in obj])
    if is_dataclass_instance(obj):
        return _rebuild_dataclass(obj, lambda v: _to_trace(v, memo))
    return obj


def to_plain(obj: Any) -> Any:
    """Inverse of :func:`to_trace`: every TraceTensor becomes a plain torch.Tensor."""
    if isinstance(obj, TraceTensor):
        with DisableTorchFunctionSubclass():
            return obj.as_subclass(torch.Tensor)
    if isinstance(obj, dict):
        return _rebuild_dict(obj, to_plain)
    if isinstance(obj, (tuple, list)):
        return _rebuild(obj, [to_plain(x) for x in obj], strict=False)
    if is_dataclass_instance(obj):
        return _rebuild_dataclass(obj, to_plain)
    return obj


# a module's own tables: parameters, children, and buffers (the model state puts those back)
_MODULE_TABLES = frozenset(("_parameters", "_buffers", "_modules"))
_CONTAINERS = (list, tuple, dict)
_HELD = frozenset((TraceTensor, list, tuple, dict))


def untrace_attributes(modules: Iterable[Any]) -> None:
    """Plain tensors in place of the TraceTensors that intercepted calls left as attributes
    of ``modules`` (``self.cache = x`` in a forward, or in a list, tuple or dict the module
    keeps, as RAFT's correlation pyramid): none outlives the calls in a model."""
    for module in modules:
        state = getattr(module, "__dict__", None)
        if type(state) is not dict:
            continue
        # exact types, one set lookup an attribute: this runs after every traced call
        for name, value in [(k, v) for k, v in state.items() if type(v) in _HELD]:
            if type(value) is TraceTensor:
                state[name] = to_plain(value)
            elif value and name not in _MODULE_TABLES:
                # most are a layer's sizes, passed over by this loop alone
                for item in value.values() if type(value) is dict else value:
                    if type(item) is TraceTensor or issubclass(type(item), _CONTAINERS):
                        plain = _untrace_held(value, set())
                        if plain is not value:
                            state[name] = plain
                        break


def _untrace_held(obj: Any, open_containers: set) -> Any:
    """``obj`` with its TraceTensors made plain: plain lists and dicts in place (whoever
    else holds them sees plain tensors too), other containers rebuilt when they hold one."""
    if type(obj) is TraceTensor:
        return to_plain(obj)
    if not issubclass(type(obj), _CONTAINERS) or id(obj) in open_containers:
        return obj  # a container holding itself is walked once
    open_containers.add(id(obj))
    try:
        if isinstance(obj, dict):
            items = list(obj.items())
            values = [_untrace_held(v, open_containers) for _, v in items]
            if all(new is old for new, (_, old) in zip(values, items)):
                return obj
            target = obj if type(obj) is dict else copy.copy(obj)  # OrderedDict, defaultdict
            for (key, _), new in zip(items, values):
                target[key] = new
            return target
        items = list(obj)
        values = [_untrace_held(v, open_containers) for v in items]
        if all(new is old for new, old in zip(values, items)):
            return obj
        if type(obj) is list:
            obj[:] = values
            return obj
        return _rebuild(obj, values, strict=False)
    finally:
        open_containers.discard(id(obj))


def _rebuild_dict(template: dict, convert: Callable[[Any], Any]) -> dict:
    values = {k: convert(v) for k, v in template.items()}
    if all(values[k] is v for k, v in template.items()):
        return template  # nothing to convert: the caller gets its own object back
    if type(template) is dict:
        return values
    new = copy.copy(template)  # keeps OrderedDict order, defaultdict factories
    for key, value in values.items():  # item by item: transformers' ModelOutput refuses update
        new[key] = value
    return new


def _rebuild_dataclass(template: Any, convert: Callable[[Any], Any]) -> Any:
    """A shallow copy of a dataclass instance with its fields converted.

    Fields are set on the copy directly, so that frozen dataclasses and fields
    outside ``__init__`` are converted as well.
    """
    names = [field.name for field in dataclasses.fields(template)]
    values = [convert(getattr(template, name)) for name in names]
    if all(value is getattr(template, name) for name, value in zip(names, values)):
        return template  # nothing to convert: the caller gets its own object back
    new = copy.copy(template)
    for name, value in zip(names, values):
        object.__setattr__(new, name, value)
    return new


def _rebuild(template: Any, items: list, strict: bool = True) -> Any:
    """``template``'s container type holding ``items``.

    A tuple subclass that cannot be built from one iterable is an error when
    inputs are converted (its tensors would go unseen); outputs keep it as it is.
    """
    if all(a is b for a, b in zip(items, template)):
        return template  # nothing to convert: the caller gets its own object back
    cls = type(template)
    if cls is list:
        return items
    if cls is tuple:
        return tuple(items)
    if isinstance(template, tuple) and hasattr(template, "_fields"):
        return cls(*items)
    if isinstance(template, list):
        new = copy.copy(template)
        new[:] = items
        return new
    try:
        return cls(items)
    except TypeError as error:
        if not strict:
            return template
        raise TypeError(
            f"Cannot rebuild a {cls.__name__} holding tensors: tuple subclasses other than "
            "named tuples must accept a single iterable"
        ) from error


opcalls.configure(
    tensor=_Tensor,
    trace_tensor=TraceTensor,
    thread_local=_THREAD,
    default_function=cast(Any, _Tensor.__torch_function__).__func__,
    disabled_call=torch._C._disabled_torch_function_impl,
    disable_subclass=DisableTorchFunctionSubclass,
    no_wrap=_NO_WRAP,
    metadata_methods=_METADATA_METHODS,
    opcall=OpCall,
    python_wrap=_wrap,
    input_tensor_ids=_input_tensor_ids,
)
