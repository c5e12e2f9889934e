// Running C++ code inside a Python context manager.
#pragma once

#include "interop/pybind.hpp"

namespace tavrix::interop {

// Runs `body` between cm.__enter__() and cm.__exit__(...) as a `with` block
// would: an exception leaving `body` is handed to __exit__ and raised again
// unless __exit__ suppresses it, in which case the result is None (there is
// no value to return). The value of __enter__ is not used.
template <typename F>
py::object run_in_context(py::handle cm, F&& body) {
  py::object exit_fn = cm.attr("__exit__");
  cm.attr("__enter__")();
  py::object result;
  try {
    result = body();
  } catch (py::error_already_set& e) {
    if (py::bool_(exit_fn(e.type(), e.value(), e.trace()))) {
      return py::none();
    }
    throw;
  } catch (const py::builtin_exception& e) {
    // A pybind11-level error (cast failure, ...): turn it into the Python
    // exception it stands for, so __exit__ sees what the caller will see.
    e.set_error();
    py::error_already_set err;
    if (py::bool_(exit_fn(err.type(), err.value(), err.trace()))) {
      return py::none();
    }
    throw err;
  }
  exit_fn(py::none(), py::none(), py::none());
  return result;
}

}  // namespace tavrix::interop
