// The per-operation path of the interception (tavrix.flowscope.intercept):
// TraceTensor.__torch_function__ runs here. It runs the operation with
// subclass dispatch off, turns plain result tensors into trace tensors, names
// the call and hands it to the active interceptor; the tracer's recorder is
// native too, so a traced operation costs no Python frame of Tavrix's own.
// Every torch object is reached through Python objects.
#include "interop/pybind.hpp"

#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tavrix::opcalls {

namespace {

// Python objects the path needs, handed over once by tavrix.flowscope.intercept
// and tavrix.flowscope.tracing. Never freed: they must outlive every call,
// and releasing them after the interpreter is gone is not allowed.
struct Config {
  py::object tensor;            // torch.Tensor
  py::object trace_tensor;      // TraceTensor
  py::object thread_local_;     // threading.local whose .state is this thread's State
  py::object default_function;  // torch.Tensor.__torch_function__.__func__
  py::object disabled_call;     // torch._C._disabled_torch_function_impl
  py::object disable_subclass;  // torch._C.DisableTorchFunctionSubclass
  py::object no_wrap;           // frozenset: reads torch hands back unwrapped
  py::object metadata_methods;  // frozenset: tensor methods that only describe a tensor
  py::object opcall;            // OpCall
  py::object python_wrap;       // intercept._wrap, for results the path does not know
  py::object input_tensor_ids;  // intercept._input_tensor_ids
  // the recorder's side (tavrix.flowscope.tracing)
  py::object node_class, tensor_info_class, iter_leaves, call_site, code_site;
  py::object plain_values;      // frozenset of types recorded as they are
  py::object in_place_dunders;  // frozenset of names
  bool recorder_ready = false;
};

Config& config() {
  static auto* held = new Config();
  return *held;
}

const Config& ready_config() {
  const Config& c = config();
  if (!c.tensor) throw py::type_error("tavrix.flowscope.opcalls is not configured");
  return c;
}

using interop::interned;

const py::str& attr_str(int which) {
  static auto* names = new std::vector<py::str>{
      interned("__name__"),       interned("__self__"),    interned("__class__"),
      interned("as_subclass"),    interned("_fields"),     interned("__dataclass_fields__"),
      interned("after_call"),     interned("shape"),       interned("__dict__"),
      interned("_tavrix_source"), interned("state"),       interned("__enter__"),
      interned("__exit__"),       interned("out"),         interned("operation"),
      interned("operation_name"), interned("args"),        interned("kwargs"),
      interned("result_shape"),   interned("unique_name"), interned("location"),
      interned("module_path"),    interned("type"),        interned("tensor_uid"),
      interned("_base"),          interned("view_of"),     interned("_note_transpose")};
  return (*names)[static_cast<size_t>(which)];
}
enum Attr {
  kName,
  kSelf,
  kClass,
  kAsSubclass,
  kFields,
  kDataclassFields,
  kAfterCall,
  kShape,
  kDict,
  kSource,
  kState,
  kEnter,
  kExit,
  kOut,
  kOperation,
  kOperationName,
  kArgs,
  kKwargs,
  kResultShape,
  kUniqueName,
  kLocation,
  kModulePath,
  kType,
  kTensorUid,
  kBase,
  kViewOf,
  kNoteTranspose
};

void set_attr(py::handle obj, int which, py::handle value) {
  if (PyObject_SetAttr(obj.ptr(), attr_str(which).ptr(), value.ptr()) != 0) {
    throw py::error_already_set();
  }
}

bool ends_with(const py::str& text, const char* suffix) {
  py::str end(suffix);
  const Py_ssize_t found =
      PyUnicode_Tailmatch(text.ptr(), end.ptr(), 0, PY_SSIZE_T_MAX, /*direction=*/1);
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

bool is_instance(py::handle obj, const py::object& cls) {
  if (Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject*>(cls.ptr())) return true;
  const int found = PyObject_IsInstance(obj.ptr(), cls.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

bool set_contains(const py::object& set, py::handle item) {
  const int found = PySet_Contains(set.ptr(), item.ptr());
  if (found < 0) {
    // an unhashable operation is in no set, as `in` of a frozenset would fail
    // only for the same reason; keep Python's error
    throw py::error_already_set();
  }
  return found == 1;
}

// getattr(obj, name, None): only AttributeError means "absent".
py::object attr_or_none(py::handle obj, const py::str& name) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), name.ptr());
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
  }
  return py::reinterpret_steal<py::object>(value);
}

// The operation's __name__, or its type's name.
py::str base_name(py::handle func) {
  py::object name = attr_or_none(func, attr_str(kName));
  if (PyUnicode_Check(name.ptr())) return py::reinterpret_borrow<py::str>(name);
  py::handle type(reinterpret_cast<PyObject*>(Py_TYPE(func.ptr())));
  return py::str(type.attr(attr_str(kName)));
}

bool equals(const py::str& text, const char* literal) {
  return PyUnicode_CompareWithASCIIString(text.ptr(), literal) == 0;
}

// The thread's interception state: what is active and whether a call of it runs.
struct State {
  py::object active = py::none();
  py::object recorder = py::none();  // the active interceptor's native recorder, if any
  bool busy = false;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(active.ptr());
    Py_VISIT(recorder.ptr());
    return 0;
  }
  void clear() {
    py::object a = std::move(active), r = std::move(recorder);
    active = py::none();
    recorder = py::none();
  }
};

// busy until the call is over, whatever way it ends
class BusyGuard {
 public:
  BusyGuard(py::object holder, State& state) : holder_(std::move(holder)), state_(state) {
    state_.busy = true;
  }
  ~BusyGuard() { state_.busy = false; }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  py::object holder_;  // keeps the state object alive
  State& state_;
};

// Subclass dispatch off for a block, as `with DisableTorchFunctionSubclass():`.
class DispatchOff {
 public:
  explicit DispatchOff(const Config& c) : context_(c.disable_subclass()) {
    context_.attr(attr_str(kEnter))();
  }
  ~DispatchOff() {
    // An error already set must survive __exit__.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    PyObject* done = PyObject_CallMethodObjArgs(context_.ptr(), attr_str(kExit).ptr(), Py_None,
                                                Py_None, Py_None, nullptr);
    if (done == nullptr) PyErr_Clear();  // nothing to report from a destructor
    Py_XDECREF(done);
    PyErr_Restore(type, value, trace);
  }
  DispatchOff(const DispatchOff&) = delete;
  DispatchOff& operator=(const DispatchOff&) = delete;

 private:
  py::object context_;
};

// ------------------------------------------------------------------ wrapping

bool holds_tensor(py::handle sequence, const Config& c) {
  // a copy: isinstance may run code that changes the container
  py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(sequence.ptr()));
  if (!items) throw py::error_already_set();
  for (py::handle item : items) {
    if (is_instance(item, c.tensor)) return true;
  }
  return false;
}

// The result is one of the call's input tensors (one level into lists and
// tuples). Only identities are compared, so nothing runs Python code while
// the containers are read.
bool is_input(py::handle obj, py::handle args, py::handle kwargs) {
  auto scan = [&](PyObject* value) {
    if (value == obj.ptr()) return true;
    if (PyList_CheckExact(value)) {
      for (Py_ssize_t i = 0; i < PyList_GET_SIZE(value); ++i) {
        if (PyList_GET_ITEM(value, i) == obj.ptr()) return true;
      }
    } else if (PyTuple_CheckExact(value)) {
      for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(value); ++i) {
        if (PyTuple_GET_ITEM(value, i) == obj.ptr()) return true;
      }
    }
    return false;
  };
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args.ptr()); ++i) {
    if (scan(PyTuple_GET_ITEM(args.ptr(), i))) return true;
  }
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(kwargs.ptr(), &position, &key, &value)) {
    if (scan(value)) return true;
  }
  return false;
}

struct CallInputs {
  bool fresh_ok;  // plain results that are no input were made by the call: retag in place
  py::handle args, kwargs;
};

py::object wrap(py::handle obj, const CallInputs& inputs, const Config& c) {
  if (is_instance(obj, c.tensor)) {
    if (is_instance(obj, c.trace_tensor)) return py::reinterpret_borrow<py::object>(obj);
    if (inputs.fresh_ok && Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject*>(c.tensor.ptr()) &&
        !is_input(obj, inputs.args, inputs.kwargs)) {
      if (PyObject_SetAttr(obj.ptr(), attr_str(kClass).ptr(), c.trace_tensor.ptr()) != 0) {
        throw py::error_already_set();
      }
      return py::reinterpret_borrow<py::object>(obj);
    }
    // a plain tensor (or a Parameter) has no override: no dispatch here
    return obj.attr(attr_str(kAsSubclass))(c.trace_tensor);
  }
  const bool exact = PyTuple_CheckExact(obj.ptr()) || PyList_CheckExact(obj.ptr());
  if (exact || PyTuple_Check(obj.ptr())) {
    if (!holds_tensor(obj, c)) return py::reinterpret_borrow<py::object>(obj);
    interop::RecursionGuard guard(" while wrapping an operation's results");
    py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(obj.ptr()));
    if (!items) throw py::error_already_set();
    py::list wrapped;
    for (py::handle item : items) wrapped.append(wrap(item, inputs, c));
    if (PyList_CheckExact(obj.ptr())) return std::move(wrapped);
    if (PyTuple_CheckExact(obj.ptr())) return py::tuple(wrapped);
    py::object cls =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    // torch.return_types structseqs and namedtuples
    if (py::hasattr(obj, attr_str(kFields))) return cls(*py::tuple(wrapped));
    return cls(py::tuple(wrapped));
  }
  if (py::hasattr(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())), attr_str(kDataclassFields))) {
    // dataclasses and whatever else: the Python rule
    py::object fresh =
        inputs.fresh_ok ? c.input_tensor_ids(inputs.args, inputs.kwargs) : py::object(py::none());
    return c.python_wrap(obj, fresh);
  }
  return py::reinterpret_borrow<py::object>(obj);
}

// The recorded name of a call of func that returned result (see operation_name).
py::str operation_name(py::handle func, const py::str& name, py::handle result, const Config& c) {
  if (is_instance(result, c.tensor)) {
    if (equals(name, "__get__")) {
      py::object owner = attr_or_none(func, attr_str(kSelf));
      return owner.is_none() ? name : base_name(owner);
    }
    return name;
  }
  if (equals(name, "__get__") || set_contains(c.metadata_methods, func)) {
    return py::str("__get__");
  }
  return name;
}

// ------------------------------------------------------------------ recorder

// The tracer's recording of each intercepted call as a NodeInfo
// (tavrix.flowscope.tracing._Recorder holds one and shares its containers).
class Recorder {
 public:
  Recorder(py::list nodes, py::list node_modules, py::object token, py::dict written_plain,
           py::dict parametrized, bool record_sources)
      : nodes_(std::move(nodes)),
        node_modules_(std::move(node_modules)),
        token_(std::move(token)),
        written_plain_(std::move(written_plain)),
        parametrized_(std::move(parametrized)),
        record_sources_(record_sources) {}

  // `shape` is the result's shape when the caller read it already, else None.
  void record(py::handle func, const py::str& name, py::handle args, py::handle kwargs,
              py::handle result, py::object shape) {
    const Config& c = ready_config();
    if (!c.recorder_ready) throw py::type_error("the recorder of tavrix.flowscope is not set up");
    if (!PyTuple_Check(args.ptr()) || !PyDict_Check(kwargs.ptr())) {
      throw py::type_error("record() takes the call's args as a tuple and kwargs as a dict");
    }
    py::object described_args, described_kwargs;
    {
      // Shapes of trace tensors are read with subclass dispatch off, turned
      // off only when such a shape is needed.
      std::optional<DispatchOff> off;
      // arguments are described before the result is tagged: an in-place
      // op's input must still point at the previous producer
      py::tuple arg_items = py::reinterpret_borrow<py::tuple>(args);
      const Py_ssize_t n = PyTuple_GET_SIZE(arg_items.ptr());
      described_args = py::reinterpret_steal<py::object>(PyTuple_New(n));
      if (!described_args) throw py::error_already_set();
      for (Py_ssize_t i = 0; i < n; ++i) {
        py::object item = describe(arg_items[i], c, off);
        PyTuple_SET_ITEM(described_args.ptr(), i, item.release().ptr());
      }
      described_kwargs = py::dict();
      if (PyDict_GET_SIZE(kwargs.ptr()) != 0) {
        py::list keys = py::list(
            py::reinterpret_borrow<py::object>(kwargs));  // a copy: describing may run code
        for (py::handle key : keys) {
          PyObject* value = PyDict_GetItemWithError(kwargs.ptr(), key.ptr());
          if (value == nullptr) {
            if (PyErr_Occurred()) throw py::error_already_set();
            continue;
          }
          py::object held = py::reinterpret_borrow<py::object>(value);
          py::object item = describe(held, c, off);
          if (PyDict_SetItem(described_kwargs.ptr(), key.ptr(), item.ptr()) != 0) {
            throw py::error_already_set();
          }
        }
      }
      if (shape.is_none() && is_instance(result, c.tensor)) shape = shape_of(result, c, off);
    }
    py::str base = readable_base(func, name);
    py::str unique = unique_name(base);
    py::object node = new_node(func, name, described_args, described_kwargs, shape, unique, c);
    if (record_sources_) {
      py::object site = c.call_site(c.code_site);
      if (!PyTuple_Check(site.ptr()) || PyTuple_GET_SIZE(site.ptr()) != 2) {
        throw py::type_error("call_site returns a pair");
      }
      set_attr(node, kLocation, PyTuple_GET_ITEM(site.ptr(), 0));
      node_modules_.append(py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(site.ptr(), 1)));
    }
    nodes_.append(node);
    py::tuple source = py::make_tuple(token_, node);
    if (is_instance(result, c.trace_tensor)) {
      tag(result, source);
    } else if (PyTuple_Check(result.ptr()) || PyList_Check(result.ptr())) {
      py::list leaves = py::list(c.iter_leaves(result));
      for (py::handle leaf : leaves) {
        if (is_instance(leaf, c.trace_tensor)) tag(leaf, source);
      }
    }
    const int has_out = PyDict_Contains(kwargs.ptr(), attr_str(kOut).ptr());
    if (has_out < 0) throw py::error_already_set();
    if (has_out == 1 || ends_with(name, "_")) mark_written(name, args, kwargs, node, source, c);
  }

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(nodes_.ptr());
    Py_VISIT(node_modules_.ptr());
    Py_VISIT(token_.ptr());
    Py_VISIT(written_plain_.ptr());
    Py_VISIT(parametrized_.ptr());
    return 0;
  }
  void clear() {
    nodes_ = py::list();
    node_modules_ = py::list();
    token_ = py::none();
    written_plain_ = py::dict();
    parametrized_ = py::dict();
  }

 private:
  static py::object shape_of(py::handle tensor, const Config& c, std::optional<DispatchOff>& off) {
    if (!off && is_instance(tensor, c.trace_tensor)) off.emplace(c);
    return shape_of(tensor);
  }

  static py::object shape_of(py::handle tensor) {
    py::object shape = tensor.attr(attr_str(kShape));
    PyObject* items = PySequence_Tuple(shape.ptr());
    if (items == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(items);
  }

  // The node that produced a trace tensor in this trace, or None.
  py::object source_node(py::handle tensor) const {
    py::object dict = attr_or_none(tensor, attr_str(kDict));
    if (!PyDict_Check(dict.ptr())) return py::none();
    PyObject* found = PyDict_GetItemWithError(dict.ptr(), attr_str(kSource).ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return py::none();
    }
    py::object source = py::reinterpret_borrow<py::object>(found);
    if (PyTuple_Check(source.ptr()) && PyTuple_GET_SIZE(source.ptr()) == 2 &&
        PyTuple_GET_ITEM(source.ptr(), 0) == token_.ptr()) {
      return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(source.ptr(), 1));
    }
    return py::none();
  }

  static void tag(py::handle tensor, const py::tuple& source) {
    py::object dict = tensor.attr(attr_str(kDict));
    if (PyObject_SetItem(dict.ptr(), attr_str(kSource).ptr(), source.ptr()) != 0) {
      throw py::error_already_set();
    }
  }

  static py::object tensor_info(py::object shape, py::handle type, py::object uid,
                                const Config& c) {
    auto* cls = reinterpret_cast<PyTypeObject*>(c.tensor_info_class.ptr());
    py::tuple empty;
    py::object info = py::reinterpret_steal<py::object>(cls->tp_new(cls, empty.ptr(), nullptr));
    if (!info) throw py::error_already_set();
    set_attr(info, kShape, shape);
    set_attr(info, kType, type);
    set_attr(info, kTensorUid, uid);
    return info;
  }

  static const py::object& parameter_class() {
    return interop::cached([] { return interop::import_attr("torch.nn", "Parameter"); });
  }

  static py::object uid_of(py::handle obj) {
    return py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(obj.ptr()));
  }

  py::object describe(py::handle obj, const Config& c, std::optional<DispatchOff>& off) {
    py::handle cls(reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())));
    if (set_contains(c.plain_values, cls)) return py::reinterpret_borrow<py::object>(obj);
    if (is_instance(obj, c.tensor)) {
      if (is_instance(obj, c.trace_tensor)) {
        py::object node = source_node(obj);
        if (!node.is_none()) return node;
        return tensor_info(shape_of(obj, c, off), c.trace_tensor, uid_of(obj), c);
      }
      py::object uid = uid_of(obj);
      if (PyDict_GET_SIZE(written_plain_.ptr()) != 0) {
        PyObject* written = PyDict_GetItemWithError(written_plain_.ptr(), uid.ptr());
        if (written == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if (written != nullptr && PyTuple_Check(written) && PyTuple_GET_SIZE(written) == 2) {
          return py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(written, 1));
        }
      }
      if (PyDict_GET_SIZE(parametrized_.ptr()) != 0) {
        PyObject* computed = PyDict_GetItemWithError(parametrized_.ptr(), uid.ptr());
        if (computed == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if (computed != nullptr && PyTuple_Check(computed) && PyTuple_GET_SIZE(computed) == 2) {
          // a fresh tensor on every call: identified with its source parameter
          py::object source = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(computed, 1));
          return tensor_info(shape_of(obj, c, off), cls, uid_of(source), c);
        }
      }
      // id() is what get_tensor_uid gives for the same object
      py::object info = tensor_info(shape_of(obj, c, off), cls, uid, c);
      if (!cls.is(parameter_class())) {
        // a view of a parameter (an expanded class token): a cut of the view
        // is a cut of that parameter
        py::object base = obj.attr(attr_str(kBase));
        if (!base.is_none() && is_instance(base, parameter_class())) {
          set_attr(info, kViewOf, uid_of(base));
          // the weight's transpose (``x @ self.weight.T``) is cut along swapped axes
          info.attr(attr_str(kNoteTranspose))(obj, base);
        }
      }
      return info;
    }
    if (PyTuple_CheckExact(obj.ptr()) || PyList_CheckExact(obj.ptr())) {
      interop::RecursionGuard guard(" while recording an operation's arguments");
      py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(obj.ptr()));
      if (!items) throw py::error_already_set();
      py::list described;
      for (py::handle item : items) described.append(describe(item, c, off));
      if (PyList_CheckExact(obj.ptr())) return std::move(described);
      return py::tuple(described);
    }
    if (PyDict_CheckExact(obj.ptr())) {
      interop::RecursionGuard guard(" while recording an operation's arguments");
      py::dict result;
      py::list pairs = py::reinterpret_borrow<py::dict>(obj).attr("items")();
      for (py::handle pair : py::list(pairs)) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(pair);
        result[kv[0]] = describe(kv[1], c, off);
      }
      return std::move(result);
    }
    if (PyTuple_Check(obj.ptr()) && holds_tensor(obj, c)) {
      interop::RecursionGuard guard(" while recording an operation's arguments");
      py::tuple items = py::reinterpret_steal<py::tuple>(PySequence_Tuple(obj.ptr()));
      if (!items) throw py::error_already_set();
      py::list described;
      for (py::handle item : items) described.append(describe(item, c, off));
      return py::tuple(described);
    }
    return py::reinterpret_borrow<py::object>(obj);
  }

  // What a node is named after: the operation, or the attribute a read named.
  static py::str readable_base(py::handle func, const py::str& name) {
    py::object base = name;
    if (equals(name, "__get__")) {
      // x.shape arrives as the descriptor's __get__; name it after the attribute
      py::object owner = attr_or_none(func, attr_str(kSelf));
      base = owner.is_none() ? py::object(py::none()) : attr_or_none(owner, attr_str(kName));
      if (!PyUnicode_Check(base.ptr())) base = attr_or_none(func, attr_str(kName));
      if (!PyUnicode_Check(base.ptr())) base = py::str("get");
    }
    const std::string text = base.cast<std::string>();
    const size_t first = text.find_first_not_of('_');
    if (first == std::string::npos) return py::str("op");
    const size_t last = text.find_last_not_of('_');
    if (first == 0 && last + 1 == text.size()) return py::reinterpret_borrow<py::str>(base);
    return py::str(text.substr(first, last - first + 1));
  }

  // "<base>_<n>", unique within the trace ("x_1" + "_0" against "x_1_0" included).
  py::str unique_name(const py::str& base) {
    const std::string text = base.cast<std::string>();
    int64_t index = 0;
    auto known = counts_.find(text);
    if (known != counts_.end()) index = known->second;
    std::string unique = text + "_" + std::to_string(index);
    while (taken_.count(unique) != 0) {
      index = interop::checked_add(index, 1, "node name index");
      unique = text + "_" + std::to_string(index);
    }
    counts_[text] = interop::checked_add(index, 1, "node name index");
    taken_.insert(unique);
    return py::str(unique);
  }

  static py::object new_node(py::handle func, const py::str& name, const py::object& args,
                             const py::object& kwargs, const py::object& shape,
                             const py::str& unique, const Config& c) {
    auto* cls = reinterpret_cast<PyTypeObject*>(c.node_class.ptr());
    py::tuple empty;
    py::object node = py::reinterpret_steal<py::object>(cls->tp_new(cls, empty.ptr(), nullptr));
    if (!node) throw py::error_already_set();
    set_attr(node, kOperation, func);
    set_attr(node, kOperationName, name);
    set_attr(node, kArgs, args);
    set_attr(node, kKwargs, kwargs);
    set_attr(node, kResultShape, shape);
    set_attr(node, kUniqueName, unique);
    set_attr(node, kLocation, py::none());
    set_attr(node, kModulePath, py::none());
    return node;
  }

  // Later reads of a tensor changed in place must see this node as its producer.
  void mark_written(const py::str& name, py::handle args, py::handle kwargs, const py::object& node,
                    const py::tuple& source, const Config& c) {
    PyObject* out = PyDict_GetItemWithError(kwargs.ptr(), attr_str(kOut).ptr());
    if (out == nullptr && PyErr_Occurred()) throw py::error_already_set();
    py::object out_value =
        out == nullptr ? py::object(py::none()) : py::reinterpret_borrow<py::object>(out);
    py::list targets = py::list(c.iter_leaves(out_value));
    const bool in_place =
        set_contains(c.in_place_dunders, name) || (ends_with(name, "_") && !ends_with(name, "__"));
    py::tuple arg_items = py::reinterpret_borrow<py::tuple>(args);
    if (PyTuple_GET_SIZE(arg_items.ptr()) != 0 && in_place) targets.append(arg_items[0]);
    for (py::handle target : targets) {
      if (is_instance(target, c.trace_tensor)) {
        tag(target, source);
      } else if (is_instance(target, c.tensor)) {
        written_plain_[uid_of(target)] =
            py::make_tuple(py::reinterpret_borrow<py::object>(target), node);
      }
    }
  }

  py::list nodes_, node_modules_;
  py::object token_;
  py::dict written_plain_, parametrized_;
  bool record_sources_;
  std::unordered_map<std::string, int64_t> counts_;
  std::unordered_set<std::string> taken_;
};

// ------------------------------------------------------------------ the hook

py::object torch_function(py::handle cls, py::handle func, py::handle types, py::handle args_in,
                          py::handle kwargs_in) {
  const Config& c = ready_config();
  py::object args = args_in ? py::reinterpret_borrow<py::object>(args_in) : py::tuple();
  if (!PyTuple_Check(args.ptr())) args = py::tuple(args);
  py::object kwargs = (kwargs_in && !kwargs_in.is_none())
                          ? py::reinterpret_borrow<py::object>(kwargs_in)
                          : py::dict();
  if (!PyDict_Check(kwargs.ptr())) kwargs = py::dict(kwargs);
  py::object holder = c.thread_local_.attr(attr_str(kState));
  State& state = holder.cast<State&>();
  py::object interceptor = state.active;
  if (interceptor.is_none()) return c.default_function(cls, func, types, args, kwargs);
  if (state.busy) {
    // An interceptor's own work (a gate multiplication, say): not part of
    // the model's sequence. The caller re-wraps what it returns.
    return c.disabled_call(func, types, args, kwargs);
  }
  py::object recorder = state.recorder;
  BusyGuard busy(holder, state);
  py::object result = c.disabled_call(func, types, args, kwargs);
  // A plain result's shape is read before it becomes a trace tensor, where
  // the read would dispatch.
  py::object shape = py::none();
  if (!recorder.is_none() &&
      Py_TYPE(result.ptr()) == reinterpret_cast<PyTypeObject*>(c.tensor.ptr())) {
    py::object size = result.attr(attr_str(kShape));
    PyObject* items = PySequence_Tuple(size.ptr());
    if (items == nullptr) throw py::error_already_set();
    shape = py::reinterpret_steal<py::object>(items);
  }
  py::str name = base_name(func);
  if (!set_contains(c.no_wrap, func)) {
    // a descriptor read (x.data) hands out a tensor the model may keep
    CallInputs inputs{!equals(name, "__get__"), args, kwargs};
    result = wrap(result, inputs, c);
  }
  py::str recorded = operation_name(func, name, result, c);
  if (!recorder.is_none()) {
    recorder.cast<Recorder&>().record(func, recorded, args, kwargs, result, std::move(shape));
    return result;
  }
  py::object call = c.opcall(py::reinterpret_borrow<py::object>(func), recorded, args, kwargs);
  py::object out = interceptor.attr(attr_str(kAfterCall))(call, result);
  if (out.ptr() != result.ptr()) out = wrap(out, CallInputs{false, args, kwargs}, c);
  return out;
}

PyObject* torch_function_entry(PyObject*, PyObject* const* argv, Py_ssize_t n) {
  try {
    if (n < 3 || n > 5) {
      throw py::type_error("__torch_function__(cls, func, types, args=(), kwargs=None)");
    }
    py::handle args = n > 3 ? py::handle(argv[3]) : py::handle();
    py::handle kwargs = n > 4 ? py::handle(argv[4]) : py::handle();
    return torch_function(argv[0], argv[1], argv[2], args, kwargs).release().ptr();
  } catch (...) {
    py::detail::try_translate_exceptions();
    return nullptr;
  }
}

PyMethodDef torch_function_def = {
    "torch_function",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&torch_function_entry)),
    METH_FASTCALL,
    "TraceTensor.__torch_function__(cls, func, types, args=(), kwargs=None): runs the call\n"
    "and hands it to the interceptor active in this thread (torch's own behaviour when none\n"
    "is)."};

}  // namespace

}  // namespace tavrix::opcalls

PYBIND11_MODULE(opcalls, m) {
  using namespace tavrix::opcalls;
  m.doc() = "The per-operation path of the interception: run, wrap, name and record a call.";

  py::class_<State>(m, "State", "One thread's interception state.",
                    tavrix::interop::gc_support<State>())
      .def(py::init<>())
      .def_readwrite("active", &State::active)
      .def_readwrite("recorder", &State::recorder)
      .def_readwrite("busy", &State::busy);

  py::class_<Recorder>(m, "Recorder", "Records intercepted calls as nodes.",
                       tavrix::interop::gc_support<Recorder>())
      .def(py::init<py::list, py::list, py::object, py::dict, py::dict, bool>(), py::arg("nodes"),
           py::arg("node_modules"), py::arg("token"), py::arg("written_plain"),
           py::arg("parametrized"), py::arg("record_sources"))
      .def("record", &Recorder::record, py::arg("func"), py::arg("name"), py::arg("args"),
           py::arg("kwargs"), py::arg("result"), py::arg("shape") = py::none(),
           "Records one call (its result already wrapped) as the next node.");

  m.def(
      "configure",
      [](py::object tensor, py::object trace_tensor, py::object thread_local_,
         py::object default_function, py::object disabled_call, py::object disable_subclass,
         py::object no_wrap, py::object metadata_methods, py::object opcall, py::object python_wrap,
         py::object input_tensor_ids) {
        Config& c = config();
        c.tensor = std::move(tensor);
        c.trace_tensor = std::move(trace_tensor);
        c.thread_local_ = std::move(thread_local_);
        c.default_function = std::move(default_function);
        c.disabled_call = std::move(disabled_call);
        c.disable_subclass = std::move(disable_subclass);
        c.no_wrap = std::move(no_wrap);
        c.metadata_methods = std::move(metadata_methods);
        c.opcall = std::move(opcall);
        c.python_wrap = std::move(python_wrap);
        c.input_tensor_ids = std::move(input_tensor_ids);
      },
      py::kw_only(), py::arg("tensor"), py::arg("trace_tensor"), py::arg("thread_local"),
      py::arg("default_function"), py::arg("disabled_call"), py::arg("disable_subclass"),
      py::arg("no_wrap"), py::arg("metadata_methods"), py::arg("opcall"), py::arg("python_wrap"),
      py::arg("input_tensor_ids"),
      "Hands over the objects of tavrix.flowscope.intercept the path uses.");
  m.def(
      "configure_recorder",
      [](py::object node_class, py::object tensor_info_class, py::object iter_leaves,
         py::object call_site, py::object code_site, py::object plain_values,
         py::object in_place_dunders) {
        Config& c = config();
        c.node_class = std::move(node_class);
        c.tensor_info_class = std::move(tensor_info_class);
        c.iter_leaves = std::move(iter_leaves);
        c.call_site = std::move(call_site);
        c.code_site = std::move(code_site);
        c.plain_values = std::move(plain_values);
        c.in_place_dunders = std::move(in_place_dunders);
        c.recorder_ready = true;
      },
      py::kw_only(), py::arg("node_class"), py::arg("tensor_info_class"), py::arg("iter_leaves"),
      py::arg("call_site"), py::arg("code_site"), py::arg("plain_values"),
      py::arg("in_place_dunders"),
      "Hands over the objects of tavrix.flowscope.tracing the recorder uses.");
  m.add_object("torch_function",
               py::reinterpret_steal<py::object>(PyCFunction_New(&torch_function_def, nullptr)));
}
