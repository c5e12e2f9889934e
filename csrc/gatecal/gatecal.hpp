// The calibrator module: one class, TavrixPruningCalibrator, assembled from
// two topics. register_calibrator creates the class (lifecycle, gradient
// flags, module names); register_entry_point adds the entry-point resolution
// and redirection to it and binds the collaborators the redirection calls.
#pragma once

#include "interop/pybind.hpp"

namespace tavrix::gatecal {

inline constexpr const char* kClassName = "TavrixPruningCalibrator";

void register_calibrator(py::module_& m);
void register_entry_point(py::module_& m);

}  // namespace tavrix::gatecal
