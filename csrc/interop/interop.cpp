#include "interop/pybind.hpp"

#include "interop/handed.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace tavrix::interop {

namespace {

// One per extension: each links its own copy of this library.
py::object& argument_reader() {
  static auto* held = new py::object();
  return *held;
}

const py::object& argpick_get_argument() {
  const py::object& reader = argument_reader();
  if (!reader) {
    throw std::runtime_error(
        "this extension was not handed get_argument: its configure(...) has not run (the "
        "tavrix.pruning package runs it when it is imported)");
  }
  return reader;
}

}  // namespace

void raise_not_configured(const char* module) {
  throw std::runtime_error(std::string(module) +
                           " is not configured: the tavrix.pruning package hands it its "
                           "collaborators with configure(...) when it is imported");
}

void raise_configured_again(const char* module) {
  throw std::runtime_error(std::string(module) +
                           " is configured already: its collaborators are handed over once");
}

py::object callable_argument(py::object value, const char* name) {
  if (!PyCallable_Check(value.ptr())) {
    throw py::type_error(std::string("configure: ") + name + " must be callable, not " +
                         Py_TYPE(value.ptr())->tp_name);
  }
  return value;
}

void hand_argument_reader(py::object get_argument) { argument_reader() = std::move(get_argument); }

void warn_user(const std::string& message) {
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) != 0) {
    throw py::error_already_set();
  }
}

bool log_enabled(py::handle logger, int level) {
  return logger.attr("isEnabledFor")(level).cast<bool>();
}

void log(py::handle logger, int level, const std::string& message) {
  logger.attr("log")(level, message);
}

int64_t to_int64(py::handle value, const char* what) {
  PyObject* index = PyNumber_Index(value.ptr());
  if (index == nullptr) throw py::error_already_set();
  int overflow = 0;
  const long long result = PyLong_AsLongLongAndOverflow(index, &overflow);
  Py_DECREF(index);
  if (result == -1 && PyErr_Occurred()) throw py::error_already_set();
  if (overflow != 0) {
    // The value itself is not printed: a huge int may not even convert to text.
    PyErr_Format(PyExc_OverflowError, "%s does not fit in a 64-bit integer", what);
    throw py::error_already_set();
  }
  return result;
}

namespace {

[[noreturn]] void raise_overflow(const char* what) {
  PyErr_Format(PyExc_OverflowError, "%s overflows a 64-bit integer", what);
  throw py::error_already_set();
}

}  // namespace

int64_t checked_add(int64_t a, int64_t b, const char* what) {
  int64_t out = 0;
  if (__builtin_add_overflow(a, b, &out)) raise_overflow(what);
  return out;
}

int64_t checked_sub(int64_t a, int64_t b, const char* what) {
  int64_t out = 0;
  if (__builtin_sub_overflow(a, b, &out)) raise_overflow(what);
  return out;
}

RecursionGuard::RecursionGuard(const char* where) {
  if (Py_EnterRecursiveCall(where) != 0) throw py::error_already_set();
}

py::object import_attr(const char* module, const char* name) {
  py::object found = py::module_::import(module);
  std::string path = name;
  size_t start = 0;
  while (start < path.size()) {
    const size_t end = std::min(path.find('.', start), path.size());
    found = found.attr(py::str(path.substr(start, end - start)));
    start = end + 1;
  }
  return found;
}

std::string str(py::handle obj) { return py::str(obj).cast<std::string>(); }

std::string repr(py::handle obj) { return py::repr(obj).cast<std::string>(); }

py::str interned(const char* text) {
  PyObject* name = PyUnicode_InternFromString(text);
  if (name == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(name);
}

py::object make_class(const std::string& name, const std::string& module, py::tuple bases,
                      py::dict ns) {
  ns["__module__"] = module;
  ns["__qualname__"] = name;
  auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(name, bases, ns);
}

namespace {

// The accessor's lookup done natively for a plain tuple or list and a plain
// dict, which is what the tracer records: handlers read arguments of every
// node, and a Python call per read dominates the walk on narrow layers.
// Returns false when the accessor itself must decide (anything else, or a
// missing argument without default, so that its own error is raised).
bool pick_argument(py::handle args, py::handle kwargs, int arg_pos, const char* arg_key,
                   py::object& out) {
  if (arg_pos < 0) return false;
  PyObject* a = args.ptr();
  if (a != Py_None) {
    if (PyTuple_CheckExact(a)) {
      if (PyTuple_GET_SIZE(a) > arg_pos) {
        out = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(a, arg_pos));
        return true;
      }
    } else if (PyList_CheckExact(a)) {
      if (PyList_GET_SIZE(a) > arg_pos) {
        out = py::reinterpret_borrow<py::object>(PyList_GET_ITEM(a, arg_pos));
        return true;
      }
    } else {
      return false;
    }
  }
  PyObject* k = kwargs.ptr();
  if (k == Py_None) return false;
  if (!PyDict_CheckExact(k)) return false;
  if (PyDict_GET_SIZE(k) == 0) return false;
  py::str key(arg_key);
  PyObject* value = PyDict_GetItemWithError(k, key.ptr());
  if (value == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return false;
  }
  out = py::reinterpret_borrow<py::object>(value);
  return true;
}

}  // namespace

py::object get_argument(py::handle args, py::handle kwargs, int arg_pos, const char* arg_key) {
  py::object value;
  if (pick_argument(args, kwargs, arg_pos, arg_key, value)) return value;
  return argpick_get_argument()(py::arg("arg_pos") = arg_pos, py::arg("arg_key") = arg_key,
                                py::arg("args") = args, py::arg("kwargs") = kwargs);
}

py::object get_argument(py::handle args, py::handle kwargs, int arg_pos, const char* arg_key,
                        py::handle default_value) {
  py::object value;
  if (pick_argument(args, kwargs, arg_pos, arg_key, value)) return value;
  const bool plain_args =
      args.is_none() || PyTuple_CheckExact(args.ptr()) || PyList_CheckExact(args.ptr());
  const bool plain_kwargs = kwargs.is_none() || PyDict_CheckExact(kwargs.ptr());
  if (arg_pos >= 0 && plain_args && plain_kwargs) {
    // Neither holds it: the default, as the accessor would return it.
    return py::reinterpret_borrow<py::object>(default_value);
  }
  return argpick_get_argument()(py::arg("arg_pos") = arg_pos, py::arg("arg_key") = arg_key,
                                py::arg("args") = args, py::arg("kwargs") = kwargs,
                                py::arg("default_value") = default_value);
}

}  // namespace tavrix::interop
