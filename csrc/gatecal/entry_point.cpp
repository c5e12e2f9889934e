// Entry-point resolution and redirection of TavrixPruningCalibrator.
#include "interop/pybind.hpp"

#include "gatecal/gatecal.hpp"
#include "interop/context.hpp"

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavrix::gatecal {

namespace {

const py::object& no_grad_type() {
  return interop::cached([] { return interop::import_attr("torch", "no_grad"); });
}

const py::object& inference_mode_type() {
  return interop::cached([] { return interop::import_attr("torch", "inference_mode"); });
}

const py::object& method_type() {
  return interop::cached([] { return interop::import_attr("types", "MethodType"); });
}

// getattr where any exception of the lookup counts as "no such attribute".
bool lookup(py::handle obj, const std::string& name, py::object* found) {
  PyObject* value = PyObject_GetAttr(obj.ptr(), py::str(name).ptr());
  if (value == nullptr) {
    PyErr_Clear();
    return false;
  }
  *found = py::reinterpret_steal<py::object>(value);
  return true;
}

PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<py::object> redirect_class_storage;

const py::object& redirect_class() { return redirect_class_storage.get_stored(); }

// The calibrator whose redirection `entry_point` is (a redirect bound to its
// owner), or None.
py::object redirected_calibrator(py::handle entry_point) {
  if (!py::isinstance(entry_point, method_type())) return py::none();
  py::object function = entry_point.attr("__func__");
  if (!py::isinstance(function, redirect_class())) return py::none();
  return function.attr("_calibrator");
}

// The path is resolved by tavrix.flowscope.entrypoint, as for the tracer and the check;
// what is the calibrator's own is the redirection of what it names.
void parse_entry_point(py::object self, py::object entry_point) {
  collaborators();  // the clear error of a module used before it was configured
  py::tuple resolved = gatecal_module().attr("resolve_entry_point")(
      self.attr("_model"), entry_point, py::str(kClassName));
  py::object owner = resolved[0];
  py::str function_name = resolved[1];
  py::str parent = resolved[2];
  py::object original = resolved[3];

  bool in_dict = false;
  py::object instance_dict;
  if (lookup(owner, "__dict__", &instance_dict) && py::isinstance<py::dict>(instance_dict)) {
    in_dict = instance_dict.cast<py::dict>().contains(function_name);
  }
  // Made inside another calibrator's block: what that calibrator redirected
  // is the real entry point. Keeping the redirection instead would run the
  // other calibrator's stale gates, and put the redirection back for good
  // when this calibrator is left.
  for (int depth = 0; depth < 64; ++depth) {
    py::object redirected = redirected_calibrator(original);
    if (redirected.is_none() || !owner.is(redirected.attr("_entry_point_module"))) break;
    original = redirected.attr("_original_entry_point");
    in_dict = py::bool_(redirected.attr("_entry_point_in_dict"));
  }

  self.attr("_entry_point_name") = function_name;
  self.attr("_entry_point_module") = owner;
  self.attr("_entry_point_module_name") = parent;
  self.attr("_original_entry_point") = original;
  self.attr("_entry_point_in_dict") = py::bool_(in_dict);
}

// prepare_args_for_prune_calibration must give exactly (args, kwargs).
std::pair<py::tuple, py::dict> unpack_prepared(py::handle prepared) {
  std::vector<py::object> items;
  for (py::handle item : prepared) {
    items.push_back(py::reinterpret_borrow<py::object>(item));
    if (items.size() > 2) {
      throw py::value_error("too many values to unpack (expected 2)");
    }
  }
  if (items.size() < 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " +
                          std::to_string(items.size()) + ")");
  }
  py::tuple args(items[0]);
  py::dict kwargs;
  // What a call with **kwargs says of anything that is not a mapping.
  if (!PyDict_Check(items[1].ptr()) && !py::hasattr(items[1], "keys")) {
    throw py::type_error("argument after ** must be a mapping, not " +
                         py::str(py::type::of(items[1]).attr("__name__")).cast<std::string>());
  }
  if (PyDict_Merge(kwargs.ptr(), items[1].ptr(), 1) != 0) {
    throw py::error_already_set();
  }
  return {args, kwargs};
}

py::object first_parameter(py::handle model) {
  py::iterator parameters = py::iter(model.attr("parameters")());
  if (parameters == py::iterator::sentinel()) {
    // The gates take the device and floating type of the first parameter.
    throw py::value_error(
        "TavrixPruningCalibrator needs a model with at least one parameter: the gates are "
        "placed on the device and floating type of its first parameter, and this model has none");
  }
  return py::reinterpret_borrow<py::object>(*parameters);
}

const char* const kNoPrunableGroup =
    "TavrixPruningCalibrator found no prunable channel group in this model, so no gate is "
    "placed and, with its parameters frozen, nothing it computes requires gradients: "
    "backward() on its output will fail. Usual causes: every layer's channels reach the "
    "model's output (a model of one layer, or layers whose outputs are returned directly); "
    "layers left unpruned (grouped convolutions, weights computed from the inputs); operations "
    "the analysis cannot see through (reshapes, indexing, custom functions) right after each "
    "layer; or no tensor among the call's arguments. cutplan.summary(2) lists the groups that "
    "were found unprunable.";

void build_cutplan(const py::module_& m, py::object calibrator, py::object module_self,
                   py::args args, py::kwargs kwargs, py::object original) {
  py::object first = first_parameter(calibrator.attr("_model"));
  py::object cutplan = interop::run_in_context(no_grad_type()(), [&]() -> py::object {
    py::object built =
        m.attr("get_cutplan")(py::arg("model") = module_self, py::arg("args") = args,
                              py::arg("kwargs") = kwargs, py::arg("entry_point") = original);
    // Gates need autograd: a conversion made while the first call runs in
    // inference mode would give them inference tensors for good.
    interop::run_in_context(inference_mode_type()(false), [&]() -> py::object {
      return built.attr("gate_container").attr("to")(first);
    });
    calibrator.attr("_update_cutplan_module_names")(built);
    return built;
  });
  // Set last: a failure above leaves no half-built plan, the next call retries.
  calibrator.attr("_cutplan") = cutplan;
  if (py::len(cutplan.attr("prunable_groups")) == 0) interop::warn_user(kNoPrunableGroup);
}

// The body of the redirection: `self` is the redirect object, which holds the
// calibrator and the saved entry point in its instance dictionary, where the
// cycle collector sees them (model -> redirect -> calibrator -> model).
py::object call_redirect(py::object self, py::object module_self, py::args args,
                         py::kwargs kwargs) {
  const py::module_& m = gatecal_module();
  py::object calibrator = self.attr("_calibrator");
  py::object original = self.attr("_original");
  if (calibrator.attr("_cutplan").is_none()) {
    build_cutplan(m, calibrator, module_self, args, kwargs, original);
  }
  auto [call_args, call_kwargs] =
      unpack_prepared(m.attr("prepare_args_for_prune_calibration")(args, kwargs));
  py::object context = m.attr("gate_insertion_context")(
      calibrator.attr("_cutplan"), py::arg("model") = calibrator.attr("_model"));
  py::object result = interop::run_in_context(context, [&]() -> py::object {
    PyObject* value = PyObject_Call(original.ptr(), call_args.ptr(), call_kwargs.ptr());
    if (value == nullptr) {
      throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(value);
  });
  // The model ran on trace tensors; hand plain tensors back to the caller.
  return m.attr("_plain_outputs")(result);
}

py::object replace_entry_point(py::object self) {
  py::object replacement = redirect_class()();
  py::dict state = replacement.attr("__dict__");
  state["_calibrator"] = self;
  state["_original"] = self.attr("_original_entry_point");
  py::object owner = self.attr("_entry_point_module");
  py::setattr(owner, self.attr("_entry_point_name"), method_type()(replacement, owner));
  return replacement;
}

void restore_entry_point(py::object self) {
  py::object owner = self.attr("_entry_point_module");
  py::object name = self.attr("_entry_point_name");
  py::setattr(owner, name, self.attr("_original_entry_point"));
  if (!py::bool_(self.attr("_entry_point_in_dict"))) {
    // Drop the instance attribute so the class method shows through again.
    py::dict instance_dict = owner.attr("__dict__");
    if (instance_dict.contains(name)) {
      PyDict_DelItem(instance_dict.ptr(), name.ptr());
    }
  }
}

py::object make_redirect_class(py::module_& m) {
  py::dict ns;
  ns["__doc__"] =
      "The function a TavrixPruningCalibrator installs in place of the entry point while its "
      "block is active: called with the entry point's owner and the call's arguments.";
  // Named like the function it stands for.
  ns["__name__"] = py::str("entry_point_replacement");
  py::object cls =
      interop::make_class("_EntryPointRedirect", py::str(m.attr("__name__")), py::make_tuple(), ns);
  interop::add_method(cls, "__call__", &call_redirect, py::arg("module_self"), py::pos_only());
  return cls;
}

}  // namespace

void register_entry_point(py::module_& m) {
  m.attr("_EntryPointRedirect") =
      redirect_class_storage.call_once_and_store_result([&] { return make_redirect_class(m); })
          .get_stored();

  py::object cls = m.attr(kClassName);
  interop::add_method(cls, "_parse_entry_point", &parse_entry_point,
                      py::arg("entry_point").none(true));
  interop::add_method(cls, "_replace_entry_point", &replace_entry_point);
  interop::add_method(cls, "_restore_entry_point", &restore_entry_point);
  m.def(
      "_run_failing_in_context",
      [](py::handle context, const std::string& error) {
        return interop::run_in_context(context, [&]() -> py::object {
          if (error == "bad_alloc") throw std::bad_alloc();
          throw std::runtime_error(error);
        });
      },
      py::arg("context"), py::arg("error"),
      "Runs a body that throws a C++ exception (std::bad_alloc for \"bad_alloc\", else a\n"
      "std::runtime_error with that message) inside the context manager, the way the\n"
      "redirection runs the model: the context must be left all the same.");
  m.attr("__all__") = py::make_tuple(kClassName);
}

}  // namespace tavrix::gatecal
