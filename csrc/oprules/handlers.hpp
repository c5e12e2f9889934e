// Each handler family defines its Python-visible functions on the engine
// module; module.cpp calls these in this order. configure(...) then fills
// PRUNING_NODE_HANDLER_REGISTRY from the module's attributes and the operation
// sets it is handed (fill_registry).
#pragma once

#include "interop/pybind.hpp"

namespace tavrix::oprules {

class ParserState;
class Rule;

// A handler of this module that the walk calls straight from C++ when the
// registry holds the module's own function object for it: a Python call per
// node costs more than a narrow layer's whole label work.
using NativeHandler = void (*)(ParserState&, py::handle);
// Pairs the function defined as m.<name> with its C++ body; `rule` names the
// markings the handler makes where it gives no rule of its own.
void add_native_handler(py::module_& m, const char* name, NativeHandler handler, const Rule& rule);
// Defines m.<name> as handler(pruning_state, node) and pairs it with its body:
// one definition for the Python call and the walk's direct call. `scoped`: a
// Python call runs under `rule` (a handler scope of its own).
void define_handler(py::module_& m, const char* name, NativeHandler handler, const Rule& rule,
                    const char* doc, bool scoped = true);

void register_state(py::module_& m);          // PruneGraphParserState, exception, label operations
void register_passthrough(py::module_& m);    // default, elementwise, channelwise, dropout handlers
void register_conv_linear(py::module_& m);    // convolution and fully-connected handlers
void register_binary(py::module_& m);         // binary elementwise handler
void register_cat_flatten(py::module_& m);    // concatenation and flatten handlers
void register_reduce(py::module_& m);         // reduction handler
void register_shared_params(py::module_& m);  // ties between the calls of one parameter
void register_provenance(py::module_& m);     // rule scopes for handlers written in Python
void register_rule_record(py::module_& m);    // branches and piece shapes for the rule record
void register_registry(py::module_& m);       // registry, dispatch, module constants, __all__

}  // namespace tavrix::oprules
