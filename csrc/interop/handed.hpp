// The Python objects of the project an extension works with, handed to it.
//
// No extension imports one of the project's own modules: the package that loads
// it imports its collaborators and hands them over once, by keyword, through the
// extension's configure(...) (tavrix/pruning/_wiring.py, run by
// tavrix/pruning/__init__.py before any extension below it loads). Third-party
// and standard-library names are still reached with cached(import_attr(...)).
//
// An extension keeps what it is handed in one struct of named fields, read
// through handed_in<Fields>(module).get(): before configure ran that raises a
// RuntimeError naming the module. configure runs once: a second call raises and
// changes nothing, so what was handed over is never replaced while C++ code
// holds it. The struct is kept for the process and never freed, as cached
// values are.
#pragma once

#include "interop/pybind.hpp"

#include <utility>

namespace tavrix::interop {

[[noreturn]] void raise_not_configured(const char* module);
[[noreturn]] void raise_configured_again(const char* module);

template <typename Fields>
class HandedIn {
 public:
  explicit HandedIn(const char* module) : module_(module) {}
  HandedIn(const HandedIn&) = delete;
  HandedIn& operator=(const HandedIn&) = delete;

  const Fields& get() const {
    if (!ready_) raise_not_configured(module_);
    return fields_;
  }
  // configure calls this before it changes anything.
  void require_unset() const {
    if (ready_) raise_configured_again(module_);
  }
  // Every object at once; configure checks them all before.
  void set(Fields fields) {
    require_unset();
    fields_ = std::move(fields);
    ready_ = true;
  }

 private:
  const char* module_;
  Fields fields_;
  bool ready_ = false;
};

// The one HandedIn of a Fields type (one struct type per extension), made on first use.
template <typename Fields>
HandedIn<Fields>& handed_in(const char* module) {
  static auto* held = new HandedIn<Fields>(module);
  return *held;
}

// `value` if it can be called, else TypeError "configure: <name> must be callable, not <type>".
py::object callable_argument(py::object value, const char* name);

// The accessor interop::get_argument falls back on (tavrix.utils.argpick.get_argument),
// handed over by the configure(...) of each extension that reads arguments, once
// `get_argument` has been checked (callable_argument).
void hand_argument_reader(py::object get_argument);

}  // namespace tavrix::interop
