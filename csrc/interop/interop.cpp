#include "interop/pybind.hpp"

namespace tavrix::interop {

namespace {

const py::object& argpick_get_argument() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
  return storage
      .call_once_and_store_result(
          [] { return py::module_::import("tavrix.utils.argpick").attr("get_argument"); })
      .get_stored();
}

}  // namespace

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

std::string str(py::handle obj) { return py::str(obj).cast<std::string>(); }

std::string repr(py::handle obj) { return py::repr(obj).cast<std::string>(); }

py::object make_class(const std::string& name, const std::string& module, py::tuple bases,
                      py::dict ns) {
  ns["__module__"] = module;
  ns["__qualname__"] = name;
  auto type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
  return type(name, bases, ns);
}

py::object get_argument(py::handle args, py::handle kwargs, int arg_pos, const char* arg_key) {
  return argpick_get_argument()(py::arg("arg_pos") = arg_pos, py::arg("arg_key") = arg_key,
                                py::arg("args") = args, py::arg("kwargs") = kwargs);
}

py::object get_argument(py::handle args, py::handle kwargs, int arg_pos, const char* arg_key,
                        py::handle default_value) {
  return argpick_get_argument()(py::arg("arg_pos") = arg_pos, py::arg("arg_key") = arg_key,
                                py::arg("args") = args, py::arg("kwargs") = kwargs,
                                py::arg("default_value") = default_value);
}

}  // namespace tavrix::interop
