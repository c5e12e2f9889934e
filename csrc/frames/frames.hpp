// Declarations of the tavrix.flowscope.frames extension.
#pragma once

#include "interop/pybind.hpp"

namespace tavrix::frames {

void register_location(py::module_& m);

}  // namespace tavrix::frames
