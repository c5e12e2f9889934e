// The model code behind a traced operation: the innermost Python frame whose
// code is the model's own, and the innermost module whose call is running.
// The tracer asks once per recorded operation, so the walk stays in C and
// classifies each code object once.
#include "interop/pybind.hpp"

#include "frames/frames.hpp"

#include <unordered_map>
#include <utility>

namespace tavrix::frames {

namespace {

// What a classifier says about a code object besides None and (file, function).
constexpr long kModuleCall = 1;  // Module._call_impl: its `self` is the module called
constexpr long kStop = 2;        // the tracer's own entry: nothing above belongs to the call

enum class Kind { Internal, Model, ModuleCall, Stop };

struct Site {
  py::object code;  // held so that its address cannot be reused by another code object
  Kind kind;
  py::object file, function;
};

// Never freed: entries hold Python objects, which must not be released after
// the interpreter is gone.
std::unordered_map<PyObject*, Site>& sites() {
  static auto* table = new std::unordered_map<PyObject*, Site>();
  return *table;
}

// Bounded: code made at run time (generated forward functions) would grow it.
constexpr size_t kMaxSites = 8192;

// Valid until the next call: a classifier's code may add to the table.
const Site* classify_code(PyObject* code, py::handle classify) {
  auto found = sites().find(code);
  if (found != sites().end()) return &found->second;
  // The classifier may run any code, the tracer's own included: nothing of the
  // table is held across the call.
  py::object answer = classify(py::handle(code));
  Site site{py::reinterpret_borrow<py::object>(code), Kind::Internal, py::none(), py::none()};
  if (PyLong_CheckExact(answer.ptr())) {
    const long value = PyLong_AsLong(answer.ptr());
    if (value != kModuleCall && value != kStop) {
      throw py::value_error("unknown code classification " + std::to_string(value));
    }
    site.kind = value == kModuleCall ? Kind::ModuleCall : Kind::Stop;
  } else if (PyTuple_Check(answer.ptr()) && PyTuple_GET_SIZE(answer.ptr()) == 2) {
    site.kind = Kind::Model;
    site.file = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(answer.ptr(), 0));
    site.function = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(answer.ptr(), 1));
  } else if (!answer.is_none()) {
    throw py::type_error("a code classifier returns None, (file, function), MODULE_CALL or STOP");
  }
  if (sites().size() >= kMaxSites) sites().clear();
  return &sites().insert_or_assign(code, std::move(site)).first->second;
}

// The last module call frame read and its module: the operations of one
// forward mostly come in a row, and reading a frame's locals builds a dict.
// The frame is held, so the pointer cannot match another call's frame.
struct LastCall {
  py::object frame;
  py::object module;
};

LastCall& last_call() {
  static auto* last = new LastCall();
  return *last;
}

// `self` of a module call frame, or None.
py::object called_module(py::handle frame) {
  LastCall& last = last_call();
  if (last.frame && last.frame.ptr() == frame.ptr()) return last.module;
  // A dict, or a mapping proxy on newer interpreters.
  py::object locals = frame.attr("f_locals");
  PyObject* self = PyMapping_GetItemString(locals.ptr(), "self");
  if (self == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw py::error_already_set();
    PyErr_Clear();
  }
  py::object module =
      self == nullptr ? py::object(py::none()) : py::reinterpret_steal<py::object>(self);
  // Swapped out first: releasing the old frame may run finalizers.
  LastCall previous{std::move(last.frame), std::move(last.module)};
  last.frame = py::reinterpret_borrow<py::object>(frame);
  last.module = module;
  return module;
}

py::tuple call_site(py::handle classify) {
  py::object location = py::none();
  py::object module = py::none();
  PyFrameObject* current = PyEval_GetFrame();  // borrowed: the Python caller
  if (current == nullptr) return py::make_tuple(location, module);
  auto frame = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(current));
  bool found_module = false;
  while (frame && (location.is_none() || !found_module)) {
    auto* raw = reinterpret_cast<PyFrameObject*>(frame.ptr());
    auto code =
        py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_GetCode(raw)));
    // Read out at once: an allocation below may run a finalizer that changes the table.
    const Site* site = classify_code(code.ptr(), classify);
    const Kind kind = site->kind;
    if (kind == Kind::Stop) break;
    if (kind == Kind::Model && location.is_none()) {
      py::object file = site->file;
      py::object function = site->function;
      location = py::make_tuple(file, PyFrame_GetLineNumber(raw), function);
    } else if (kind == Kind::ModuleCall && !found_module) {
      module = called_module(frame);
      found_module = true;
    }
    frame = py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyFrame_GetBack(raw)));
  }
  return py::make_tuple(location, module);
}

}  // namespace

void register_location(py::module_& m) {
  m.attr("MODULE_CALL") = kModuleCall;
  m.attr("STOP") = kStop;
  m.def("call_site", &call_site, py::arg("classify"),
        "(location, module) of the caller's stack: location is (file, line, function) of the\n"
        "innermost frame whose code classify(code) names as model code by returning\n"
        "(file, function); module is `self` of the innermost frame it names MODULE_CALL.\n"
        "The walk ends at a frame it names STOP (None: internal code). Each code object is\n"
        "classified once; either part is None when not found.");
  m.def(
      "_clear_sites", [] { sites().clear(); },
      "Forgets every classified code object (the classifier changed).");
  m.def(
      "forget_last_call",
      [] { LastCall previous{std::move(last_call().frame), std::move(last_call().module)}; },
      "Lets go of the frame and module of the last module call read (the trace is over).");
}

}  // namespace tavrix::frames
