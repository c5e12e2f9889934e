// Each handler family defines its Python-visible functions on the engine
// module; module.cpp calls these in this order, then the registry fills
// PRUNING_NODE_HANDLER_REGISTRY from the module's attributes.
#pragma once

#include "interop/pybind.hpp"

namespace tavrix::oprules {

void register_state(py::module_& m);        // PruneGraphParserState, exception, label operations
void register_passthrough(py::module_& m);  // default, elementwise, channelwise, dropout handlers
void register_conv_linear(py::module_& m);  // convolution and fully-connected handlers
void register_binary(py::module_& m);       // binary elementwise handler
void register_cat_flatten(py::module_& m);  // concatenation and flatten handlers
void register_reduce(py::module_& m);       // reduction handler
void register_registry(py::module_& m);     // registry, dispatch, module constants, __all__

}  // namespace tavrix::oprules
