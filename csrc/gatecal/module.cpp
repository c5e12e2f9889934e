#include "interop/pybind.hpp"

#include "gatecal/gatecal.hpp"
#include "interop/handed.hpp"

namespace tavrix::gatecal {

namespace {

PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<py::module_> module_storage;

}  // namespace

const py::module_& gatecal_module() { return module_storage.get_stored(); }

void register_configure(py::module_& m) {
  module_storage.call_once_and_store_result([&] { return m; });
  m.def(
      "configure",
      [](py::object get_cutplan, py::object resolve_entry_point,
         py::object prepare_args_for_prune_calibration, py::object gate_insertion_context,
         py::object plain_outputs, py::object buffer_snapshot, py::object copy_hooks,
         py::object untrace_attributes) {
        using interop::callable_argument;
        handed().require_unset();
        // Every one is checked before any is kept.
        const std::pair<const char*, py::object> looked_up[] = {
            {"get_cutplan", callable_argument(std::move(get_cutplan), "get_cutplan")},
            {"resolve_entry_point",
             callable_argument(std::move(resolve_entry_point), "resolve_entry_point")},
            {"prepare_args_for_prune_calibration",
             callable_argument(std::move(prepare_args_for_prune_calibration),
                               "prepare_args_for_prune_calibration")},
            {"gate_insertion_context",
             callable_argument(std::move(gate_insertion_context), "gate_insertion_context")},
            {"_plain_outputs", callable_argument(std::move(plain_outputs), "plain_outputs")}};
        Collaborators handed_over{
            callable_argument(std::move(buffer_snapshot), "buffer_snapshot"),
            callable_argument(std::move(copy_hooks), "copy_hooks"),
            callable_argument(std::move(untrace_attributes), "untrace_attributes")};
        const py::module_& module = gatecal_module();
        for (const auto& [name, value] : looked_up) module.attr(name) = value;
        handed().set(std::move(handed_over));
      },
      py::kw_only(), py::arg("get_cutplan"), py::arg("resolve_entry_point"),
      py::arg("prepare_args_for_prune_calibration"), py::arg("gate_insertion_context"),
      py::arg("plain_outputs"), py::arg("buffer_snapshot"), py::arg("copy_hooks"),
      py::arg("untrace_attributes"),
      "Hands over the objects of the project the calibrator works with (the analysis, the\n"
      "gate wiring, ...): the tavrix.pruning package calls it once, when it is imported; a\n"
      "second call raises RuntimeError.");
}

}  // namespace tavrix::gatecal

PYBIND11_MODULE(gatecal, m) {
  m.doc() = "Calibration context: gates the model's calls and collects channel importance.";
  tavrix::gatecal::register_configure(m);
  tavrix::gatecal::register_calibrator(m);
  tavrix::gatecal::register_entry_point(m);
}
