// TavrixPruningCalibrator: lifecycle, parameter gradient flags, module names.
#include "interop/pybind.hpp"

#include "gatecal/gatecal.hpp"

#include <stdexcept>
#include <string>

namespace tavrix::gatecal {

namespace {

const py::object& nn_module_type() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
  return storage
      .call_once_and_store_result([] { return py::module_::import("torch.nn").attr("Module"); })
      .get_stored();
}

constexpr const char* kClassDoc = R"doc(Context manager for pruning information gathering.

While the block is active every parameter of the model is frozen and the
entry point (``forward`` by default, or a dotted path such as
``"head.forward"``) runs with channel gates inserted. The first call builds
the pruning information; backward passes then accumulate gradients in the
gates only. On exit the entry point and the ``requires_grad`` flags are
restored.

Example::

    calibrator = TavrixPruningCalibrator(model)
    with calibrator:
        for inputs in data:
            model(inputs).sum().backward()
    cutplan = calibrator.cutplan

The calibrator can also decorate a function, which then runs inside it.
Entering a calibrator that is already active raises ``RuntimeError``.
)doc";

std::string type_name(py::handle obj) {
  return py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
}

void init(py::object self, py::object model, py::object entry_point) {
  if (!entry_point.is_none() && !py::isinstance<py::str>(entry_point)) {
    throw py::type_error("TavrixPruningCalibrator() argument 'entry_point' must be str, not " +
                         type_name(entry_point));
  }
  if (!py::isinstance(model, nn_module_type())) {
    throw py::type_error("Expected prunable_model to be of type torch.nn.Module");
  }
  self.attr("_model") = model;
  self.attr("_gradient_enabled") = py::dict();
  self.attr("_cutplan") = py::none();
  self.attr("_active") = py::bool_(false);
  self.attr("_parse_entry_point")(entry_point);
}

void disable_parameter_gradients(py::object self) {
  py::dict saved = self.attr("_gradient_enabled");
  for (py::handle item : self.attr("_model").attr("named_parameters")()) {
    auto pair = py::reinterpret_borrow<py::tuple>(item);
    py::object parameter = pair[1];
    saved[pair[0]] = parameter.attr("requires_grad");
    parameter.attr("requires_grad") = py::bool_(false);
  }
}

void revert_parameter_gradients(py::object self) {
  py::dict saved = self.attr("_gradient_enabled");
  for (py::handle item : self.attr("_model").attr("named_parameters")()) {
    auto pair = py::reinterpret_borrow<py::tuple>(item);
    // Parameters registered while the block was active keep their flag.
    if (saved.contains(pair[0])) {
      pair[1].attr("requires_grad") = saved[pair[0]];
    }
  }
}

py::object enter(py::object self) {
  // A second entry would save the already cleared flags over the real ones.
  if (py::bool_(self.attr("_active"))) {
    throw std::runtime_error(
        "TavrixPruningCalibrator is already active; leave its with block before entering it "
        "again");
  }
  self.attr("_disable_parameter_gradients")();
  py::object replacement;
  try {
    replacement = self.attr("_replace_entry_point")();
  } catch (...) {
    self.attr("_revert_parameter_gradients")();
    throw;
  }
  self.attr("_active") = py::bool_(true);
  return replacement;
}

void exit(py::object self, py::object, py::object, py::object) {
  self.attr("_active") = py::bool_(false);
  // The flags go back even if the entry point cannot be restored.
  try {
    self.attr("_restore_entry_point")();
  } catch (...) {
    self.attr("_revert_parameter_gradients")();
    throw;
  }
  self.attr("_revert_parameter_gradients")();
}

void update_cutplan_module_names(py::object self, py::object cutplan) {
  std::string owner = py::str(self.attr("_entry_point_module_name")).cast<std::string>();
  if (owner.empty()) {
    return;
  }
  py::str prefix(owner + ".");
  py::dict names = cutplan.attr("prunable_module_names_by_nodes");
  // Values are replaced in place; the key set does not change.
  for (py::handle item : py::list(names.attr("items")())) {
    auto pair = py::reinterpret_borrow<py::tuple>(item);
    PyObject* joined = PyNumber_Add(prefix.ptr(), pair[1].ptr());
    if (joined == nullptr) {
      throw py::error_already_set();
    }
    names[pair[0]] = py::reinterpret_steal<py::object>(joined);
  }
}

}  // namespace

void register_calibrator(py::module_& m) {
  py::object decorator = py::module_::import("contextlib").attr("ContextDecorator");
  py::dict ns;
  ns["__doc__"] = kClassDoc;
  py::object cls = interop::make_class(kClassName, py::str(m.attr("__name__")),
                                       py::make_tuple(decorator), ns);

  interop::add_method(cls, "__init__", &init, py::arg("model"),
                      py::arg("entry_point").none(true) = py::str("forward"));
  interop::add_method(cls, "__enter__", &enter);
  interop::add_method(cls, "__exit__", &exit, py::arg("exc_type").none(true),
                      py::arg("exc_value").none(true), py::arg("exc_tb").none(true));
  interop::add_method(cls, "_disable_parameter_gradients", &disable_parameter_gradients);
  interop::add_method(cls, "_revert_parameter_gradients", &revert_parameter_gradients);
  interop::add_method(cls, "_update_cutplan_module_names", &update_cutplan_module_names,
                      py::arg("cutplan"));
  interop::add_property(
      cls, "cutplan", [](py::object self) { return self.attr("_cutplan"); },
      "Returns pruning necessary information.");

  m.attr(kClassName) = cls;
}

}  // namespace tavrix::gatecal
