// Running C++ code inside a Python context manager.
#pragma once

#include "interop/pybind.hpp"

namespace tavrix::interop {

// An error raised in C before any Python frame ran has no traceback; __exit__
// must still get a value for it.
inline py::object or_none(py::handle h) {
  return h ? py::reinterpret_borrow<py::object>(h) : py::object(py::none());
}

// Runs `body` between cm.__enter__() and cm.__exit__(...) as a `with` block
// would: an exception leaving `body` is handed to __exit__ and raised again
// unless __exit__ suppresses it, in which case the result is None (there is
// no value to return). The value of __enter__ is not used. Every exception
// counts, not only Python ones: an allocation failure inside the body must
// not leave torch.no_grad or the gate context active.
template <typename F>
py::object run_in_context(py::handle cm, F&& body) {
  py::object exit_fn = cm.attr("__exit__");
  cm.attr("__enter__")();
  py::object result;
  try {
    result = body();
  } catch (...) {
    // __exit__ sees the Python form of the error, which is also what the
    // caller gets: Python and C++ errors alike leave here as Python errors.
    py::detail::try_translate_exceptions();
    py::error_already_set err;
    if (py::bool_(exit_fn(or_none(err.type()), or_none(err.value()), or_none(err.trace())))) {
      return py::none();
    }
    throw err;
  }
  exit_fn(py::none(), py::none(), py::none());
  return result;
}

}  // namespace tavrix::interop
