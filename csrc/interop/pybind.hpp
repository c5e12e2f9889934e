// Umbrella header: every binding file includes this first.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

namespace py = pybind11;

namespace tavrix::interop {

// Issues a UserWarning through Python's warning machinery with stack level 1.
// If warnings were turned into errors, the error propagates as a C++ exception.
void warn_user(const std::string& message);

// Python's logging levels, as the logging module numbers them.
constexpr int kLogDebug = 10;
constexpr int kLogInfo = 20;

// `logger` is a logging.Logger. Callers test log_enabled before building a
// message so that debug strings cost nothing when the level is off.
bool log_enabled(py::handle logger, int level);
void log(py::handle logger, int level, const std::string& message);

// An integer (anything with __index__) as int64_t. A value beyond 64 bits
// raises OverflowError naming `what`, never a bare cast error.
int64_t to_int64(py::handle value, const char* what);

// a + b and a - b, or OverflowError naming `what`.
int64_t checked_add(int64_t a, int64_t b, const char* what);
int64_t checked_sub(int64_t a, int64_t b, const char* what);

// RAII for Py_EnterRecursiveCall: recursion over user data raises
// RecursionError instead of running off the C stack.
class RecursionGuard {
 public:
  explicit RecursionGuard(const char* where);
  ~RecursionGuard() { Py_LeaveRecursiveCall(); }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
};

// Cycle-collector support for a py::class_<T> whose instances hold Python
// objects: pass gc_support<T>() to the class. T provides
// `int traverse(visitproc, void*) const` and `void clear()`; clear must leave
// the object safe to use (references replaced by None or emptied containers).
template <typename T>
py::custom_type_setup gc_support() {
  return py::custom_type_setup([](PyHeapTypeObject* heap_type) {
    PyTypeObject* type = &heap_type->ht_type;
    type->tp_flags |= Py_TPFLAGS_HAVE_GC;
    type->tp_traverse = [](PyObject* self, visitproc visit, void* arg) -> int {
      Py_VISIT(Py_TYPE(self));
      if (!py::detail::is_holder_constructed(self)) return 0;
      return py::cast<const T&>(py::handle(self)).traverse(visit, arg);
    };
    type->tp_clear = [](PyObject* self) -> int {
      if (py::detail::is_holder_constructed(self)) py::cast<T&>(py::handle(self)).clear();
      return 0;
    };
  });
}

// `module.name` (a dotted path of attributes; empty: the module itself).
py::object import_attr(const char* module, const char* name = "");

// A value made once per interpreter and kept for the process: one per call
// site, since every lambda has a type of its own. Thread-safe without holding
// the GIL across the make (pybind11's gil_safe_call_once_and_store), and never
// freed, which a plain `static py::object` would try after the interpreter is
// gone. Use: `cached([] { return import_attr("torch.nn", "Module"); })`.
// An attribute read (`module.attr(name)`) is kept as the py::object it reads,
// never as the accessor that would read it again.
template <typename Made>
using cached_type = std::conditional_t<std::is_base_of<py::detail::object_api<Made>, Made>::value &&
                                           !std::is_base_of<py::handle, Made>::value,
                                       py::object, Made>;

template <typename Make>
const auto& cached(Make make) {
  using Value = cached_type<std::decay_t<decltype(make())>>;
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Value> storage;
  return storage.call_once_and_store_result([&make] { return Value(make()); }).get_stored();
}

// str(obj) / repr(obj) as std::string.
std::string str(py::handle obj);
std::string repr(py::handle obj);

// An interned str: attribute reads by it hit the type's attribute cache
// without making a new string each time.
py::str interned(const char* text);

// A plain Python class made with type(name, bases, namespace); methods are
// added with add_method so that they bind like functions defined in Python.
py::object make_class(const std::string& name, const std::string& module, py::tuple bases,
                      py::dict ns);

template <typename F, typename... Extra>
void add_method(py::object cls, const char* name, F&& f, const Extra&... extra) {
  // pybind11 takes a function named __init__ or __setstate__ for the constructor
  // of one of its own classes and reads a C++ instance out of self, which a
  // plain class does not have: such methods get their qualified name instead.
  std::string function_name = name;
  py::object sibling = py::getattr(cls, name, py::none());
  if (function_name == "__init__" || function_name == "__setstate__") {
    function_name = py::str(cls.attr("__qualname__")).cast<std::string>() + "." + function_name;
    sibling = py::none();
  }
  cls.attr(name) = py::cpp_function(std::forward<F>(f), py::name(function_name.c_str()),
                                    py::is_method(cls), py::sibling(sibling), extra...);
}

template <typename F, typename... Extra>
void add_property(py::object cls, const char* name, F&& getter, const char* doc,
                  const Extra&... extra) {
  py::cpp_function fget(std::forward<F>(getter), py::is_method(cls), extra...);
  cls.attr(name) = cached([] { return import_attr("builtins", "property"); })(
      fget, py::none(), py::none(), py::str(doc));
}

// The argument at arg_pos of args, else kwargs[arg_key], else the default, as
// tavrix.utils.argpick.get_argument reads it: plain tuples, lists and dicts
// natively, anything else through the accessor the extension was handed
// (hand_argument_reader, interop/handed.hpp). Without a default a missing
// argument raises the accessor's own error.
py::object get_argument(py::handle args, py::handle kwargs, int arg_pos, const char* arg_key);
py::object get_argument(py::handle args, py::handle kwargs, int arg_pos, const char* arg_key,
                        py::handle default_value);

}  // namespace tavrix::interop
