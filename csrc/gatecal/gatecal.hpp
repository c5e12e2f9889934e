// The calibrator module: one class, TavrixPruningCalibrator, assembled from
// two topics. register_calibrator creates the class (lifecycle, gradient
// flags, module names); register_entry_point adds the entry-point resolution
// and redirection to it. register_configure takes the collaborators both call.
#pragma once

#include "interop/pybind.hpp"

#include "interop/handed.hpp"

namespace tavrix::gatecal {

inline constexpr const char* kClassName = "TavrixPruningCalibrator";

// The objects of the project the block's entry and exit call, handed over by
// configure(...) (interop/handed.hpp). What the redirection calls at each model
// call (get_cutplan, resolve_entry_point, prepare_args_for_prune_calibration,
// gate_insertion_context, _plain_outputs) configure puts on the module instead,
// where it is looked up at every call so that it can be replaced (tests do).
struct Collaborators {
  py::object buffer_snapshot;     // tavrix.utils.common.BufferSnapshot
  py::object copy_hooks;          // tavrix.pruning.blockstate.CopyHooks
  py::object untrace_attributes;  // tavrix.flowscope.intercept.untrace_attributes
};
// Read per node: inline, as cheap as a cached value.
inline interop::HandedIn<Collaborators>& handed() {
  return interop::handed_in<Collaborators>("tavrix.pruning.gatecal");
}
inline const Collaborators& collaborators() { return handed().get(); }

// This module (the active list and the redirection's collaborators live on it).
const py::module_& gatecal_module();

void register_configure(py::module_& m);
void register_calibrator(py::module_& m);
void register_entry_point(py::module_& m);

}  // namespace tavrix::gatecal
