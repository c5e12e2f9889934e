// The engine's label operations and pass-through handlers as seen from C++.
// Every handler family builds on these; the Python-visible functions of the
// same names (_merge_labels, _default_node_handler, ...) are thin bindings
// over them.
#pragma once

#include "interop/pybind.hpp"

#include "interop/handed.hpp"
#include "oprules/parser_state.hpp"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tavrix::oprules {

class ParserState;  // bound to Python as PruneGraphParserState

using Label = int64_t;
using Labels = std::vector<Label>;
using Flags = std::vector<bool>;
using PruneDim = std::optional<int64_t>;
using Shape = std::vector<int64_t>;

// Conversions between PruneDim and Python (None <-> nullopt).
PruneDim to_prune_dim(py::handle obj);
py::object from_prune_dim(PruneDim dim);

// Interned names of the traced-graph attributes: node.attr(graph_attr().args)
// reads the attribute without building and hashing a new string each time.
struct GraphAttrNames {
  py::str args, kwargs, operation, operation_name, result_shape, shape, type,
      collect_all_input_nodes;
};
const GraphAttrNames& graph_attr();

// list(seq) as a fresh list, even when seq is a list already.
py::list sequence_copy(py::handle seq);

// ---- graph-type predicates and reads ----
bool is_node_info(py::handle arg);    // isinstance(arg, NodeInfo)
bool is_tensor_info(py::handle arg);  // isinstance(arg, TensorInfo)
bool is_trace_tensor(py::handle arg);
std::optional<Shape> get_shape(py::handle arg);

// ---- state reads ----
PruneDim get_prune_dimension(ParserState& state, py::handle arg);
// The node's labels resolved to live labels; empty when arg is not recorded.
Labels get_labels(ParserState& state, py::handle arg);
bool is_recorded(ParserState& state, py::handle node);
// is_prunable[label]; throws py::key_error when the label has no entry.
bool label_is_prunable(ParserState& state, Label label);
Flags prunability_of(ParserState& state, const Labels& labels);
// is_prunable[label] = value (creates the entry when missing).
void set_label_prunable(ParserState& state, Label label, bool value);

// ---- label operations ----
void add_node_output_channel_info(ParserState& state, py::handle node, const Labels& label_group,
                                  const Flags& is_prunable, PruneDim prune_dimension);
void add_node_output_channel_info(ParserState& state, py::handle node, const Labels& label_group,
                                  bool is_prunable, PruneDim prune_dimension);
// Records the node with the labels' current prunability.
void record_with_current_flags(ParserState& state, py::handle node, const Labels& label_group,
                               PruneDim prune_dimension);
Labels generate_new_channel_labels(ParserState& state, py::handle node, PruneDim prune_dimension);
// Same, sized from an explicit shape (for tensors that carry a shape but no result_shape).
Labels generate_new_channel_labels_for_shape(ParserState& state, const Shape& shape,
                                             int64_t prune_dimension);
void node_keep_state(ParserState& state, py::handle node, py::handle src_node);
void mark_node_inputs_as_non_prunable(ParserState& state, py::handle node);
Label merge_labels(ParserState& state, const Labels& labels);
Labels merge_label_groups(ParserState& state, const std::vector<Labels>& label_groups);
std::pair<Shape, PruneDim> broadcast_to(const Shape& shape, PruneDim prune_dimension, int64_t n);

// ---- pass-through and barrier handlers other handlers delegate to ----
void default_node_handler(ParserState& state, py::handle node,
                          PruneDim prune_dimension = std::nullopt);
// src_node None: the source is picked from the node's first positional argument.
void elementwise_node_handler(ParserState& state, py::handle node, py::handle src_node);
void channelwise_node_handler(ParserState& state, py::handle node, py::handle src_node);

// ---- module services ----
// The objects of the project the engine works with, handed over by configure(...)
// (interop/handed.hpp, module.cpp).
struct Collaborators {
  py::object node_class;         // tavrix.flowscope.tracing.NodeInfo
  py::object tensor_info_class;  // tavrix.flowscope.tracing.TensorInfo
  py::object trace_tensor;       // tavrix.flowscope.TraceTensor
  // operation sets of tavrix.flowscope.opkinds and tavrix.pruning.engine.opsets that
  // the handlers test (the registry's rows are filled from the others at configure)
  py::object elementwise_ops, norm_ops, std_ops, var_ops, dropout_train_default_ops;
};
// Read per node: inline, as cheap as a cached value.
inline interop::HandedIn<Collaborators>& handed() {
  return interop::handed_in<Collaborators>("tavrix.pruning.engine.oprules");
}
inline const Collaborators& collaborators() { return handed().get(); }

// The operation sets PRUNING_NODE_HANDLER_REGISTRY gives the module's handlers.
struct HandlerRows {
  py::object elementwise_ops, channelwise_ops, unary_reduce_ops, dropout_ops, flatten_ops,
      binary_elementwise_ops;
};
// Registers every row (and the layers' and torch.cat's), each operation checked first.
void fill_registry(py::module_& m, const HandlerRows& rows);

// The extended rules' matrix products (configure(matmuls=...)): checked whole, then kept.
py::tuple checked_matmuls(py::handle matmuls);
void hand_matmuls(py::tuple products);
// The module logger (logging.getLogger("tavrix.pruning.engine.oprules")).
py::handle engine_logger();
// Raises PruningEngineRuntimeException with the message.
[[noreturn]] void raise_engine_error(const std::string& message);

// Integer on the channel axis of convolution-style tensors.
constexpr int64_t kCnnPruneDim = 1;

}  // namespace tavrix::oprules
