// TavrixPruningCalibrator: lifecycle, parameter gradient flags, module names.
#include "interop/pybind.hpp"

#include "gatecal/gatecal.hpp"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavrix::gatecal {

namespace {

const py::object& nn_module_type() {
  return interop::cached([] { return interop::import_attr("torch.nn", "Module"); });
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
Entering a calibrator that is already active, or one whose model (or a
module or parameter of it) another active calibrator gates, raises
``RuntimeError``.
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
  self.attr("_buffer_snapshot") = py::none();
  self.attr("_copy_hooks") = py::none();
  self.attr("_parse_entry_point")(entry_point);
}

const py::object& weakref_type() {
  return interop::cached([] { return interop::import_attr("weakref", "ref"); });
}

constexpr const char* kActiveList = "_active_calibrators";

// Clears every parameter's flag, saving it first; returns the parameters
// whose flag was set. A failure part-way (a model whose named_parameters
// raises, a flag that cannot be cleared) puts back the flags cleared so far.
py::list freeze_parameters(py::object self) {
  py::dict saved = self.attr("_gradient_enabled");
  // An earlier block's flags would be given to parameters registered in this one.
  saved.clear();
  std::vector<std::pair<py::object, py::object>> cleared;
  py::list thawed;
  try {
    for (py::handle item : self.attr("_model").attr("named_parameters")()) {
      auto pair = py::reinterpret_borrow<py::tuple>(item);
      py::object parameter = pair[1];
      py::object flag = parameter.attr("requires_grad");
      saved[pair[0]] = flag;
      parameter.attr("requires_grad") = py::bool_(false);
      cleared.emplace_back(parameter, flag);
      if (py::bool_(flag)) thawed.append(parameter);
    }
  } catch (...) {
    // The first error is the one to report; a second one while undoing
    // cannot be helped and must not hide it.
    for (auto it = cleared.rbegin(); it != cleared.rend(); ++it) {
      if (PyObject_SetAttrString(it->first.ptr(), "requires_grad", it->second.ptr()) != 0) {
        PyErr_Clear();
      }
    }
    throw;
  }
  return thawed;
}

void disable_parameter_gradients(py::object self) { freeze_parameters(self); }

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

// Identities of the modules and parameters of a model, which two calibrators
// active at the same time must not share.
py::set parts_of(py::handle model) {
  py::set ids;
  for (const char* method : {"modules", "parameters"}) {
    for (py::handle part : model.attr(method)()) {
      ids.add(py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(part.ptr())));
    }
  }
  return ids;
}

bool shares_parts(py::handle model, const py::set& ids) {
  for (const char* method : {"modules", "parameters"}) {
    for (py::handle part : model.attr(method)()) {
      auto id = py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(part.ptr()));
      if (ids.contains(id)) return true;
    }
  }
  return false;
}

// The active list, copied: it is replaced, never changed in place, so that
// an iteration can never see it grow.
py::list active_entries(const py::module_& m) {
  PyObject* copied = PySequence_List(py::object(m.attr(kActiveList)).ptr());
  if (copied == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(copied);
}

// Refuses a second calibrator on a model that an active one gates: the inner
// block's exit would take the outer redirection away, and the flags each one
// saves would be the other's.
void check_model_free(const py::module_& m, py::object self) {
  py::set ids;
  bool have_ids = false;
  for (py::handle entry : active_entries(m)) {
    py::object other = entry();
    // None: collected without leaving its block.
    if (other.is_none() || other.is(self)) continue;
    if (!have_ids) {
      ids = parts_of(self.attr("_model"));
      have_ids = true;
    }
    if (shares_parts(other.attr("_model"), ids)) {
      throw std::runtime_error(
          "Another TavrixPruningCalibrator is active on this model (or on one that shares "
          "modules or parameters with it): leave its with block before entering this one. Two "
          "calibrators cannot gate one model at the same time; each freezes the same "
          "parameters and redirects the same entry point.");
    }
  }
}

// Adds `self` to the active list (add) or takes it off; dead entries go as
// well. No Python code runs between reading the list and replacing it.
void mark_active(const py::module_& m, py::object self, bool add) {
  py::list kept;
  for (py::handle entry : active_entries(m)) {
    py::object other = entry();
    if (!other.is_none() && !other.is(self)) kept.append(entry);
  }
  if (add) kept.append(weakref_type()(self));
  m.attr(kActiveList) = kept;
}

py::object enter(py::object self) {
  // A second entry would save the already cleared flags over the real ones.
  if (py::bool_(self.attr("_active"))) {
    throw std::runtime_error(
        "TavrixPruningCalibrator is already active; leave its with block before entering it "
        "again");
  }
  const Collaborators& given = collaborators();
  const py::module_& m = gatecal_module();
  check_model_free(m, self);
  py::object model = self.attr("_model");
  // Taken before anything changes; it only reads the model.
  py::object buffers = given.buffer_snapshot(model);
  py::list thawed = freeze_parameters(self);
  py::object replacement;
  bool replaced = false;
  try {
    replacement = self.attr("_replace_entry_point")();
    replaced = true;
    self.attr("_copy_hooks") = given.copy_hooks(
        model, self.attr("_entry_point_module"), self.attr("_entry_point_name"),
        self.attr("_original_entry_point"), self.attr("_entry_point_in_dict"), thawed);
  } catch (...) {
    if (replaced) {
      try {
        self.attr("_restore_entry_point")();
      } catch (py::error_already_set&) {
      }
    }
    self.attr("_revert_parameter_gradients")();
    throw;
  }
  self.attr("_buffer_snapshot") = buffers;
  mark_active(m, self, true);
  self.attr("_active") = py::bool_(true);
  return replacement;
}

void exit(py::object self, py::object, py::object, py::object) {
  self.attr("_active") = py::bool_(false);
  // Every step runs even if an earlier one fails; the first failure is raised.
  std::exception_ptr first;
  auto step = [&](auto&& fn) {
    try {
      fn();
    } catch (...) {
      if (!first) first = std::current_exception();
    }
  };
  step([&] { mark_active(gatecal_module(), self, false); });
  step([&] { self.attr("_restore_entry_point")(); });
  step([&] {
    py::object hooks = py::getattr(self, "_copy_hooks", py::none());
    self.attr("_copy_hooks") = py::none();
    if (!hooks.is_none()) hooks.attr("remove")();
  });
  step([&] { self.attr("_revert_parameter_gradients")(); });
  step([&] {
    py::object buffers = py::getattr(self, "_buffer_snapshot", py::none());
    self.attr("_buffer_snapshot") = py::none();
    if (!buffers.is_none()) buffers.attr("restore")();
  });
  // tensors the gated calls left as module attributes (`self.cache = x`) become plain again
  step([&] { collaborators().untrace_attributes(self.attr("_model").attr("modules")()); });
  if (first) std::rethrow_exception(first);
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
  // The module paths its explanation reads are relative to the owner as well.
  py::object provenance = cutplan.attr("provenance");
  if (!provenance.is_none()) provenance.attr("module_prefix") = prefix;
}

}  // namespace

void register_calibrator(py::module_& m) {
  py::object decorator = py::module_::import("contextlib").attr("ContextDecorator");
  py::dict ns;
  ns["__doc__"] = kClassDoc;
  py::object cls =
      interop::make_class(kClassName, py::str(m.attr("__name__")), py::make_tuple(decorator), ns);

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
  // Weak references to the calibrators whose block is active.
  m.attr(kActiveList) = py::list();
}

}  // namespace tavrix::gatecal
