"""Record one call of a model as a list of operation nodes in execution order."""

from __future__ import annotations

import contextlib
import ctypes
import importlib
import os
import threading
import types
from typing import (
    Any,
    Callable,
    Dict,
    FrozenSet,
    Iterator,
    List,
    NamedTuple,
    Optional,
    Tuple,
    Union,
    cast,
)

import torch

import tavrix
from tavrix.flowscope import opcalls
from tavrix.flowscope.entrypoint import resolve_entry_point
from tavrix.flowscope.frames import MODULE_CALL, STOP, call_site, forget_last_call
from tavrix.flowscope.intercept import (
    Interceptor,
    OpCall,
    TraceTensor,
    active_interceptor,
    concatenated_vectors,
    gathered_rows,
    intercept,
    regather,
    to_plain,
    to_trace,
)
from tavrix.flowscope.modelstate import ModelState, watch_parametrizations
from tavrix.utils.common import iter_leaves

__all__ = [
    "NodeInfo",
    "TensorInfo",
    "TraceResult",
    "flowscope_model",
    "forward_reads",
    "held_sizes",
    "provenance",
    "provenance_enabled",
    "trace",
]

# Attribute on a TraceTensor naming the node that produced it: (trace token, node).
_SOURCE_ATTR = "_tavrix_source"

EntryPoint = Union[str, Callable[..., Any]]


class TensorInfo:
    """A tensor in a recorded call that no recorded node produced.

    ``type`` is ``TraceTensor`` for a model input, otherwise the tensor's class
    (``torch.nn.Parameter``, ``torch.Tensor``, ...); ``tensor_uid`` equals
    ``get_tensor_uid`` of that tensor object. ``view_of`` is the ``tensor_uid`` of
    the parameter a plain tensor is a view of (``self.class_token.expand(n, -1, -1)``),
    else None: a cut of the view is a cut of that parameter. ``view_transposed`` says
    that the view is the 2-D parameter with its two axes swapped (``self.weight.T``).
    ``cat_of`` holds the ``tensor_uid`` of each parameter or buffer, in order, of a 1-D
    tensor a module's forward concatenated from its own (EVA's ``torch.cat((self.q_bias,
    self.k_bias, self.v_bias))``), else None: a cut of it is a cut of each of them.
    ``rows_of`` is the ``tensor_uid`` of the parameter a module's forward gathered the tensor
    from along its later axes, keeping the first whole (LeViT's ``self.attention_biases[:,
    self.attention_bias_idxs]``), else None: a cut of its first axis is a cut of the
    parameter's.
    """

    __slots__ = ("shape", "type", "tensor_uid", "view_of", "view_transposed", "cat_of", "rows_of")
    cat_of: Optional[Tuple[Any, ...]]
    rows_of: Any

    def __init__(
        self,
        shape: Tuple[int, ...],
        type: type,  # noqa: A002
        tensor_uid: Any,
        view_of: Any = None,
        view_transposed: bool = False,
    ) -> None:
        self.shape = tuple(shape)
        self.type = type
        self.tensor_uid = tensor_uid
        self.view_of = view_of
        self.view_transposed = view_transposed

    def __getattr__(self, name: str) -> Any:
        # made by the recorder, which sets these only for a view of a parameter
        if name == "view_of":
            return None
        if name == "view_transposed":
            return False
        if name in ("cat_of", "rows_of"):
            return None
        raise AttributeError(name)

    def _note_transpose(self, view: torch.Tensor, base: torch.Tensor) -> None:
        """Called by the recorder for a view of the parameter ``base`` (``view_of`` set)."""
        self.view_transposed = bool(
            view.dim() == 2
            and base.dim() == 2
            and tuple(view.shape) == tuple(base.shape)[::-1]
            and view.stride() == base.stride()[::-1]
            and view.storage_offset() == base.storage_offset()
        )

    def __repr__(self) -> str:
        return f"TensorInfo(shape={self.shape}, type={self.type.__name__}, uid={self.tensor_uid})"


class NodeInfo:
    """One recorded operation call.

    In ``args``/``kwargs`` a tensor produced by an earlier node is that node, a
    traced tensor no node produced (a model input) or any other tensor is a
    :class:`TensorInfo`; every other value is kept as it was passed. A node holds
    no reference to a real tensor. Nodes hash and compare by identity.

    ``location`` is ``(file, line, function)`` of the model code that made the
    call (the innermost frame outside torch and Tavrix), ``module_path`` the
    dotted name of the innermost sub-module running it ("" for the model
    itself); each is None when unknown or when provenance was off. Of an
    indexing node, ``held_sizes`` are the slice bounds that module holds in
    integer attributes its forward reads (``x[:, : self.out_chs]``: sizes a cut can
    update), read with :func:`held_sizes`.
    """

    __slots__ = (
        "operation",
        "operation_name",
        "args",
        "kwargs",
        "result_shape",
        "unique_name",
        "location",
        "module_path",
        "held_sizes",
    )

    def __init__(
        self,
        operation: Any,
        operation_name: str,
        args: Tuple[Any, ...] = (),
        kwargs: Optional[Dict[str, Any]] = None,
        result_shape: Optional[Tuple[int, ...]] = None,
        unique_name: str = "",
        location: Optional[Tuple[str, int, str]] = None,
        module_path: Optional[str] = None,
    ) -> None:
        self.operation = operation
        self.operation_name = operation_name
        self.args = tuple(args)
        self.kwargs = {} if kwargs is None else dict(kwargs)
        self.result_shape = None if result_shape is None else tuple(result_shape)
        self.unique_name = unique_name
        self.location = location
        self.module_path = module_path
        self.held_sizes: Tuple[int, ...] = ()

    def collect_all_input_nodes(self) -> List["NodeInfo"]:
        """Nodes among the arguments (nested containers included), in argument order, once each."""
        found: List[NodeInfo] = []
        seen = set()
        for value in iter_leaves(self.args):
            if isinstance(value, NodeInfo) and id(value) not in seen:
                seen.add(id(value))
                found.append(value)
        for value in iter_leaves(self.kwargs):
            if isinstance(value, NodeInfo) and id(value) not in seen:
                seen.add(id(value))
                found.append(value)
        return found

    def __getstate__(self) -> Tuple[None, Dict[str, Any]]:
        # pickle and deepcopy: an operation pickle cannot name (x.shape's
        # descriptor read, F.max_pool2d) travels as a reference to it
        state = {name: getattr(self, name, None) for name in NodeInfo.__slots__}
        state["operation"] = picklable_operation(self.operation)
        return None, state

    def __setstate__(self, state: Tuple[None, Dict[str, Any]]) -> None:
        # __getstate__ writes every slot
        for name, value in state[1].items():
            setattr(self, name, value)

    def __repr__(self) -> str:
        inputs = ", ".join(n.unique_name or "?" for n in self.collect_all_input_nodes())
        return (
            f"NodeInfo({self.unique_name or '?'}: {self.operation_name}, "
            f"inputs=[{inputs}], result_shape={self.result_shape})"
        )


class _OperationReference:
    """Stands in for an operation when pickled or deep-copied and turns back into it."""

    __slots__ = ("path",)

    def __init__(self, path: Tuple[str, ...]) -> None:
        self.path = path

    def __reduce__(self) -> Tuple[Any, Tuple[Tuple[str, ...]]]:
        return _resolve_operation, (self.path,)


def _resolve_operation(path: Tuple[str, ...]) -> Any:
    """(module, attribute...) or (module, attribute..., "__get__") back to the object."""
    target: Any = importlib.import_module(path[0])
    for name in path[1:]:
        target = getattr(target, name)
    return target


def picklable_operation(operation: Any) -> Any:
    """``operation`` itself when pickle can name it, else an _OperationReference to it."""
    if type(operation) is _METHOD_WRAPPER and getattr(operation, "__name__", "") == "__get__":
        # a descriptor read: the descriptor's __get__ bound anew compares equal
        descriptor = operation.__self__
        owner = getattr(descriptor, "__objclass__", None)
        name = getattr(descriptor, "__name__", None)
        if isinstance(owner, type) and isinstance(name, str):
            path = (owner.__module__, *owner.__qualname__.split("."), name, "__get__")
            if _resolves_to(path, operation):
                return _OperationReference(path)
        return operation
    if isinstance(operation, types.FunctionType) and "<locals>" in operation.__qualname__:
        # made by a factory (F.max_pool2d) but published under its own name
        path = (operation.__module__, operation.__name__)
        if _resolves_to(path, operation):
            return _OperationReference(path)
    return operation


def _resolves_to(path: Tuple[str, ...], operation: Any) -> bool:
    try:
        found = _resolve_operation(path)
    except (ImportError, AttributeError, TypeError, ValueError):
        return False
    return found is operation or bool(found == operation)


_METHOD_WRAPPER = type(cast(Any, torch.Tensor).shape.__get__)


class _Provenance(threading.local):
    enabled = True


_PROVENANCE = _Provenance()


def provenance_enabled() -> bool:
    """Whether analyses in this thread record where nodes come from and why channels are
    unprunable (on unless turned off with :func:`provenance`)."""
    return _PROVENANCE.enabled


@contextlib.contextmanager
def provenance(enabled: bool) -> Iterator[None]:
    """Turn provenance on or off for the analyses this thread runs inside the block.

    Off, the tracer records no model code location or module path per node and
    the label engine keeps no cause per label; the channel groups are the same.
    """
    if not isinstance(enabled, bool):
        raise TypeError(f"provenance() takes True or False, got {type(enabled).__name__}")
    previous = _PROVENANCE.enabled
    _PROVENANCE.enabled = enabled
    try:
        yield
    finally:
        _PROVENANCE.enabled = previous


# Code of torch and of Tavrix's own machinery: the frames skipped to reach
# the model code behind an operation. The demo model is model code.
_INTERNAL_DIRS = tuple(
    os.path.dirname(os.path.abspath(cast(str, package.__file__))) + os.sep
    for package in (torch, tavrix)
)
_MODEL_CODE_FILES = frozenset([os.path.join(_INTERNAL_DIRS[1], "demo_model.py")])


def _code_site(code: types.CodeType) -> Union[None, int, Tuple[str, str]]:
    """What the frame walk (tavrix.flowscope.frames.call_site) makes of a code object:
    (file, function) for model code; None for torch's and Tavrix's own; MODULE_CALL
    for a module call, whose ``self`` is the innermost module running; STOP for the
    tracer's entry, above which nothing belongs to the traced call. Asked once per
    code object."""
    if code is _MODULE_CALL_CODE:
        return MODULE_CALL
    if code is _TRACE_CODE:
        return STOP
    filename = code.co_filename
    if filename.startswith(_INTERNAL_DIRS) and filename not in _MODEL_CODE_FILES:
        return None
    return filename, getattr(code, "co_qualname", code.co_name)


class _Recorder(Interceptor):
    """Records every intercepted call as a NodeInfo."""

    def __init__(self) -> None:
        self.nodes: List[NodeInfo] = []
        self.token = object()
        # where each node comes from: model code line and running sub-module
        self.record_sources = _PROVENANCE.enabled
        # whether the call gave the C heap's free pages back as it ran (big models)
        self.trimmed = False
        # the innermost module running, per node; named when the call is over
        self.node_modules: List[Any] = []
        # plain tensors (buffers, torch.empty outputs) written by a traced op
        # in place or through out=; the tensor is kept so its id stays unique
        self._written_plain: Dict[int, Tuple[torch.Tensor, NodeInfo]] = {}
        # tensors computed by a parametrization (weight_norm, spectral_norm,
        # parametrize) -> (the tensor, kept; the parameter it is computed from)
        self._parametrized: Dict[int, Tuple[torch.Tensor, torch.Tensor]] = {}
        # describes the arguments, names the node, tags the results with it
        self.native_recorder = opcalls.Recorder(
            self.nodes,
            self.node_modules,
            self.token,
            self._written_plain,
            self._parametrized,
            self.record_sources,
        )

    def note_parametrized(self, tensor: Any, source: torch.Tensor) -> None:
        if isinstance(tensor, torch.Tensor) and not isinstance(tensor, TraceTensor):
            self._parametrized[id(tensor)] = (tensor, source)

    def after_call(self, call: OpCall, result: Any) -> Any:
        self.native_recorder.record(call.func, call.name, call.args, call.kwargs, result)
        return result

    after_call.records_natively = True  # type: ignore[attr-defined]

    def source_of(self, tensor: torch.Tensor) -> Optional[NodeInfo]:
        source = tensor.__dict__.get(_SOURCE_ATTR)
        if source is not None and source[0] is self.token:
            return source[1]
        return None


_IN_PLACE_DUNDERS = frozenset(
    "__" + n + "__"
    for n in (
        "setitem iadd isub imul itruediv idiv ifloordiv imod ipow imatmul "
        "iand ior ixor ilshift irshift"
    ).split()
)

# Values recorded as they are, checked first because they are most arguments.
_PLAIN_VALUES: FrozenSet[type] = frozenset(
    [int, float, bool, str, type(None), torch.Size, torch.dtype]
)


def _name_modules(recorder: _Recorder, names: Dict[int, str]) -> None:
    """Each node's module_path: the dotted name of its innermost running module in the
    model; "" (the model itself) when that is no sub-module of it. A model that is no
    torch.nn.Module (no names) leaves them None. An indexing node notes the slice bounds
    that module holds (its held_sizes)."""
    if names:
        for node, module in zip(recorder.nodes, recorder.node_modules):
            node.module_path = names.get(id(module), "")
            if module is not None and any(node.operation is op for op in _SIZED):
                node.held_sizes = _held_numbers(node, module)
    recorder.node_modules.clear()


# Operations whose integer arguments may be sizes a module holds: slices
_SIZED = (torch.Tensor.__getitem__,)


def _held_numbers(node: NodeInfo, module: Any) -> Tuple[int, ...]:
    """The positive slice bounds of an indexing node that ``module`` holds in integer
    attributes its forward reads, ascending."""
    index = node.args[1] if len(node.args) == 2 else None
    items = index if type(index) is tuple else (index,)
    numbers = {
        bound
        for item in items
        if type(item) is slice
        for bound in (item.start, item.stop)
        if type(bound) is int and bound > 0
    }
    if not numbers:
        return ()
    state = getattr(module, "__dict__", {})
    read = forward_reads(module)
    held = {value for name, value in state.items() if type(value) is int and name in read}
    return tuple(sorted(n for n in numbers if n > 0 and n in held))


_READS: Dict[Any, frozenset] = {}


def _codes(function: Any) -> List[types.CodeType]:
    """The code objects of a function, through decorators (transformers' deprecate_kwarg) to
    the code written."""
    found = []
    for _ in range(8):
        code = getattr(function, "__code__", None)
        if code is not None:
            found.append(code)
        function = getattr(function, "__wrapped__", None)
        if function is None:
            break
    return found


def forward_reads(module: Any) -> frozenset:
    """The names the code of ``module``'s forward reads (attributes among them), with those of
    the functions defined inside it and of the methods and properties of its class that it
    names (``self.split_heads(x)`` reading ``self.head_dim``), transitively: an attribute none
    of them names is never its size (PVT's attention holds its width as ``dim`` and reads it
    off its input)."""
    cls = type(module)
    found = _READS.get(cls)
    if found is None:
        names: set = set()
        pending = _codes(getattr(cls, "forward", None))
        followed = set()
        while pending:
            current = pending.pop()
            for name in current.co_names:
                names.add(name)
                if name in followed:
                    continue
                followed.add(name)
                # every class's definition of it: ``super().forward(x)`` runs the base's
                for klass in cls.__mro__:
                    member = vars(klass).get(name)
                    if isinstance(member, (staticmethod, classmethod)):
                        member = member.__func__
                    if isinstance(member, property):
                        pending += [c for f in (member.fget, member.fset) for c in _codes(f)]
                    elif isinstance(member, types.FunctionType):
                        pending += _codes(member)
            pending += [c for c in current.co_consts if isinstance(c, types.CodeType)]
        found = frozenset(names)
        with contextlib.suppress(TypeError):  # an unhashable class is asked again
            _READS[cls] = found
    return found


def held_sizes(node: Any) -> Tuple[int, ...]:
    """The slice bounds of an indexing node that its running module holds in integer
    attributes its forward reads (empty for other nodes, without provenance, or for a node of
    an older trace)."""
    return getattr(node, "held_sizes", None) or ()


def _resolve_entry_point(model: Any, entry_point: EntryPoint) -> Callable[..., Any]:
    if isinstance(entry_point, str):
        return resolve_entry_point(model, entry_point, "trace").function
    if callable(entry_point):
        return entry_point
    raise TypeError(
        f"entry_point must be a method name or a callable, got {type(entry_point).__name__}"
    )


class TraceResult(NamedTuple):
    """A traced call: its nodes in execution order, the output nodes and the real outputs."""

    nodes: List[NodeInfo]
    output_nodes: List[NodeInfo]
    outputs: Any


def trace(
    model: Any,
    args: Any = (),
    kwargs: Optional[Dict[str, Any]] = None,
    entry_point: EntryPoint = "__call__",
) -> TraceResult:
    """Trace one call of ``model``'s entry point with ``args`` and ``kwargs``.

    ``entry_point`` is a method name (dotted paths such as "head.forward" walk
    attributes from the model) or a callable, called as
    ``entry_point(*args, **kwargs)``. The model is left as it was found:
    parameters, buffers (e.g. batch-norm statistics updated in training mode),
    sub-modules and training flags; a tensor the call keeps as a module attribute
    is a plain tensor. Exceptions of the model propagate unchanged.

    The call runs without gradients (no graph, no saved activations); when it
    raises so and the caller has gradients on, it runs again with them, and
    that call's exception is the one raised.
    """
    return _trace(model, args, kwargs, entry_point)[0]


def _trace(
    model: Any, args: Any, kwargs: Optional[Dict[str, Any]], entry_point: EntryPoint
) -> Tuple[TraceResult, bool]:
    """trace(); also whether the call trimmed the C heap as it ran."""
    if args is None:
        args = ()
    elif isinstance(args, torch.Tensor):
        args = (args,)
    elif isinstance(args, list):
        args = tuple(args)
    elif not isinstance(args, tuple):
        raise TypeError(f"args must be a tuple or list of arguments, got {type(args).__name__}")
    if kwargs is None:
        kwargs = {}
    elif not isinstance(kwargs, dict):
        raise TypeError(f"kwargs must be a dict, got {type(kwargs).__name__}")
    function = _resolve_entry_point(model, entry_point)
    # Without gradients: the analysis needs no graph, and one would keep every
    # operation's saved activations alive until the call ends (the memory of a
    # training forward, not of a forward). A call that needs them (autograd.grad
    # in its forward) fails so and is traced again as the caller runs it.
    grad = torch.is_grad_enabled()
    try:
        recorder, state, raw = _traced_call(model, function, args, kwargs, grad=False)
    except RuntimeError as error:
        # autograd's own errors ("does not require grad"); any other goes to the caller as is
        if not grad or "grad" not in str(error):
            raise
        recorder, state, raw = _traced_call(model, function, args, kwargs, grad=True)
    _name_modules(recorder, state.module_names)

    output_nodes: List[NodeInfo] = []
    seen = set()
    for leaf in iter_leaves(raw):
        if isinstance(leaf, TraceTensor):
            node = recorder.source_of(leaf)
            if node is not None and id(node) not in seen:
                seen.add(id(node))
                output_nodes.append(node)
    return TraceResult(recorder.nodes, output_nodes, to_plain(raw)), recorder.trimmed


def _libc_malloc_trim() -> Optional[Callable[[int], int]]:
    try:
        return ctypes.CDLL("libc.so.6").malloc_trim
    except (OSError, AttributeError):  # not glibc
        return None


_MALLOC_TRIM = _libc_malloc_trim()
#: nodes recorded between two trims of the C heap: measured on a 22-layer LLaMA of the 1.1B shape,
#: the trace's peak over the parameters was 1.6 (float32) and 1.7 (bfloat16) times a forward's
#: with 64, 1.0 with 4 or 8, for about 0.1 ms a trim
_TRIM_EVERY = 4


#: models with fewer bytes of parameters are traced without trimming: their activations are small
_TRIM_FROM_BYTES = 1 << 28


def _parameter_bytes(state: "ModelState") -> int:
    total = 0
    for entry in state.entries:
        for tensor in (entry[2] or {}).values():
            if tensor is not None:
                total += tensor.numel() * tensor.element_size()
    return total


def _trimmer(recorder: _Recorder, trim: Callable[[int], int]) -> Callable[..., None]:
    """A module hook giving the C heap's free pages back every ``_TRIM_EVERY`` nodes.

    The recorder's nodes live as long as the trace, in between the activations
    the call frees; glibc then keeps the freed activations' pages (its mmap
    threshold grows with the first large free), and the trace's resident memory
    grows by a few activations per layer though it holds none. Trimming keeps
    it at a forward's."""
    last = [0]

    def hook(_module: Any, _args: Any, _output: Any) -> None:
        if active_interceptor() is recorder and len(recorder.nodes) - last[0] >= _TRIM_EVERY:
            last[0] = len(recorder.nodes)
            trim(0)

    return hook


def _traced_call(
    model: Any,
    function: Callable[..., Any],
    args: Tuple[Any, ...],
    kwargs: Dict[str, Any],
    grad: bool,
) -> Tuple[_Recorder, ModelState, Any]:
    traced_args = to_trace(args)
    traced_kwargs = to_trace(kwargs)
    recorder = _Recorder()
    state = ModelState(model)
    regather(model)  # after the state is taken: what was kept comes back after the call
    watching = watch_parametrizations(model, recorder, state.parametrized)
    trim = _MALLOC_TRIM if _parameter_bytes(state) >= _TRIM_FROM_BYTES else None
    recorder.trimmed = trim is not None
    if trim is not None:
        # a global hook takes every module call off its fast path: big models only
        watching.append(
            torch.nn.modules.module.register_module_forward_hook(_trimmer(recorder, trim))
        )
    try:
        with intercept(recorder), torch.set_grad_enabled(grad):
            raw = function(*traced_args, **traced_kwargs)
            concatenated = concatenated_vectors()
            gathered = gathered_rows()
        if concatenated or gathered:
            _note_concatenations(recorder.nodes, concatenated, gathered)
    finally:
        for handle in watching:
            handle.remove()
        forget_last_call()
        state.restore()
    if trim is not None:
        # the last activations' pages too: what the caller allocates next (the analysis's
        # label state) does not find them reusable among the nodes and would add to them
        trim(0)
    return recorder, state, raw


def _note_concatenations(
    nodes: List[NodeInfo],
    concatenated: Dict[int, Tuple[int, ...]],
    gathered: Optional[Dict[int, int]] = None,
) -> None:
    """Sets ``cat_of`` of the tensors of ``nodes`` that are concatenations of a module's own
    vectors (``concatenated``: id -> ids of the pieces, held alive while the call ran), and
    ``rows_of`` of those gathered from a parameter's rows (``gathered``: id -> its id)."""
    gathered = gathered or {}
    for node in nodes:
        pending = [*node.args, *node.kwargs.values()]
        while pending:
            value = pending.pop()
            if type(value) is TensorInfo:
                parts = concatenated.get(value.tensor_uid)
                if parts is not None:
                    value.cat_of = parts
                source = gathered.get(value.tensor_uid)
                if source is not None:
                    value.rows_of = source
            elif type(value) in (tuple, list):
                pending.extend(value)


def flowscope_model(
    model: Any,
    args: Any = (),
    kwargs: Optional[Dict[str, Any]] = None,
    entry_point: EntryPoint = "__call__",
) -> Tuple[List[NodeInfo], List[NodeInfo]]:
    """Trace one call; return (all nodes in execution order, output nodes)."""
    result, trimmed = _trace(model, args, kwargs, entry_point)
    nodes, output_nodes = result.nodes, result.output_nodes
    del result  # the outputs (a language model's logits: 16 MB in float32 at 128 tokens)
    if trimmed and _MALLOC_TRIM is not None:
        # their pages too, before the caller's analysis allocates its state beside the nodes
        _MALLOC_TRIM(0)
    return nodes, output_nodes


# The frame whose `self` is the module called: the outer of the two call frames
# where there are two, since reading a frame's locals costs with their number.
_MODULE_CALL_CODE = getattr(
    torch.nn.Module, "_wrapped_call_impl", torch.nn.Module._call_impl
).__code__
_TRACE_CODE = _trace.__code__


opcalls.configure_recorder(
    node_class=NodeInfo,
    tensor_info_class=TensorInfo,
    iter_leaves=iter_leaves,
    call_site=call_site,
    code_site=_code_site,
    plain_values=_PLAIN_VALUES,
    in_place_dunders=_IN_PLACE_DUNDERS,
)
