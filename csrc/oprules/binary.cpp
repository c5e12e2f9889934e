#include "interop/pybind.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/provenance.hpp"

#include <algorithm>
#include <string>
#include <utility>

namespace tavrix::oprules {

namespace {

const Rule kRuleBinary("binary operation");
const Rule kRuleBinaryUntraced("binary operation on tensors no operation produced");
const Rule kRuleBinaryUnlabelled("binary operation on operands without channel labels");
const Rule kRuleBinaryMismatch(
    "binary operation on operands pruned along different axes or widths");
const Rule kRuleBinaryParameter("binary operation with a per-channel parameter");
const Rule kRuleBinaryConstant("binary operation with a per-channel constant tensor");
const Rule kRuleBinaryModelInput("binary operation with a per-channel model input");
const Rule kRuleBinaryUnlabelledOperand(
    "binary operation with a per-channel operand without channel labels");
const Rule kRuleBinaryBroadcastChannel("binary operation broadcasting one channel over many");

// Why an operand of the same width as the labelled one stops its channels.
const Rule& equal_width_rule(py::handle other) {
  if (!is_tensor_info(other)) return kRuleBinaryUnlabelledOperand;
  if (is_trace_tensor(other)) return kRuleBinaryModelInput;
  py::object type = other.attr(graph_attr().type);
  const py::object& parameter =
      interop::cached([] { return interop::import_attr("torch.nn", "Parameter"); });
  const int sub = PyType_Check(type.ptr()) ? PyObject_IsSubclass(type.ptr(), parameter.ptr()) : 0;
  if (sub < 0) throw py::error_already_set();
  return sub != 0 ? kRuleBinaryParameter : kRuleBinaryConstant;
}

[[noreturn]] void raise_not_implemented(const char* message) {
  PyErr_SetString(PyExc_NotImplementedError, message);
  throw py::error_already_set();
}

std::string opt_text(PruneDim dim) { return dim ? std::to_string(*dim) : "None"; }

// The operand's shape as the tracer holds it, for log records.
std::string shape_text(py::handle arg) {
  if (is_node_info(arg)) return interop::str(arg.attr(graph_attr().result_shape));
  if (is_tensor_info(arg)) return interop::str(arg.attr(graph_attr().shape));
  return "None";
}

void check_prune_dim_in_range(PruneDim prune_dimension, const Shape& shape) {
  const auto n = static_cast<int64_t>(shape.size());
  if (prune_dimension && *prune_dimension >= n) {
    raise_engine_error("Prune dimension index exceeds the number of dimensions (" +
                       std::to_string(*prune_dimension) + " >= " + std::to_string(n) + ")");
  }
}

// Counts a negative prune dimension from the end, so that the alignment below
// moves it with its axis.
PruneDim from_front(PruneDim prune_dimension, const Shape& shape) {
  if (prune_dimension && *prune_dimension < 0) {
    const auto n = static_cast<int64_t>(shape.size());
    if (*prune_dimension < -n) {
      raise_engine_error("Prune dimension index exceeds the number of dimensions (" +
                         std::to_string(*prune_dimension) + " < -" + std::to_string(n) + ")");
    }
    return *prune_dimension + n;
  }
  return prune_dimension;
}

}  // namespace

std::pair<py::object, py::object> get_inputs_for_binary_node(py::handle node) {
  py::sequence args = node.attr(graph_attr().args);
  if (py::len(args) < 2) {
    raise_not_implemented("Unimplemented binary function call, please contact TAVRIX team");
  }
  py::object input_1 = args[0];
  py::object input_2 = args[1];
  py::handle logger = engine_logger();
  if (interop::log_enabled(logger, interop::kLogDebug)) {
    interop::log(logger, interop::kLogDebug,
                 "input_1: " + interop::str(input_1) + ", input_2: " + interop::str(input_2));
  }
  if (!is_trace_tensor(input_1) && !is_trace_tensor(input_2)) {
    raise_engine_error("Attempting to process binary operation with no traced inputs");
  }
  return {input_1, input_2};
}

void binary_elementwise_node_handler(ParserState& state, py::handle node) {
  auto [input_1, input_2] = get_inputs_for_binary_node(node);
  const bool node_1 = is_node_info(input_1);
  const bool node_2 = is_node_info(input_2);
  if (!node_1 && !node_2) {
    RuleScope scope(state, kRuleBinaryUntraced);
    default_node_handler(state, node);
    return;
  }
  if (node_1 != node_2) {
    py::handle src_node = node_1 ? input_1 : input_2;
    py::handle other_arg = node_1 ? input_2 : input_1;
    if (!is_tensor_info(other_arg)) {
      // Scaling or shifting by a constant keeps every channel where it is.
      elementwise_node_handler(state, node, src_node);
      return;
    }
  }

  std::optional<Shape> shape_1 = get_shape(input_1);
  std::optional<Shape> shape_2 = get_shape(input_2);
  PruneDim prune_dim_1 = get_prune_dimension(state, input_1);
  PruneDim prune_dim_2 = get_prune_dimension(state, input_2);
  py::handle logger = engine_logger();
  if (interop::log_enabled(logger, interop::kLogDebug)) {
    interop::log(logger, interop::kLogDebug,
                 "shape_1: " + shape_text(input_1) + ", shape_2: " + shape_text(input_2));
    interop::log(
        logger, interop::kLogDebug,
        "prune_dim_1: " + opt_text(prune_dim_1) + ", prune_dim_2: " + opt_text(prune_dim_2));
  }

  if (!prune_dim_1 && !prune_dim_2) {
    RuleScope scope(state, kRuleBinaryUnlabelled);
    default_node_handler(state, node);
    return;
  }
  // One piece of a chunk or split has no shape of its own (its node records a
  // tuple). It carries no channels, so it is sized from the result, as
  // concatenation does: counted at the full width, it makes the other
  // operand's channels unprunable, which is right for a piece of that width
  // and merely cautious for one that is broadcast.
  if (!shape_1 && !prune_dim_1 && node_1) shape_1 = get_shape(node);
  if (!shape_2 && !prune_dim_2 && node_2) shape_2 = get_shape(node);
  if (!shape_1 || !shape_2) {
    raise_engine_error("Cannot determine shape for one or more inputs for binary operation");
  }
  check_prune_dim_in_range(prune_dim_1, *shape_1);
  check_prune_dim_in_range(prune_dim_2, *shape_2);
  prune_dim_1 = from_front(prune_dim_1, *shape_1);
  prune_dim_2 = from_front(prune_dim_2, *shape_2);

  const auto max_shape_items = static_cast<int64_t>(std::max(shape_1->size(), shape_2->size()));
  std::tie(*shape_1, prune_dim_1) = broadcast_to(*shape_1, prune_dim_1, max_shape_items);
  std::tie(*shape_2, prune_dim_2) = broadcast_to(*shape_2, prune_dim_2, max_shape_items);

  if (prune_dim_1 && prune_dim_2) {
    if (*prune_dim_1 != *prune_dim_2 || (*shape_1)[*prune_dim_1] != (*shape_2)[*prune_dim_2]) {
      RuleScope scope(state, kRuleBinaryMismatch);
      default_node_handler(state, node);
      return;
    }
    // Position i of the second operand is pruned together with position i of the first.
    Labels label_group =
        merge_label_groups(state, {get_labels(state, input_1), get_labels(state, input_2)});
    record_with_current_flags(state, node, label_group, prune_dim_1);
    return;
  }

  const int64_t prune_dim = prune_dim_1 ? *prune_dim_1 : *prune_dim_2;
  const int64_t size_1 = (*shape_1)[prune_dim];
  const int64_t size_2 = (*shape_2)[prune_dim];
  const int64_t labelled_size = prune_dim_1 ? size_1 : size_2;
  if (size_1 == size_2) {
    // Equal sizes (one channel against one element included): the unlabelled
    // operand acts on each channel separately, so nothing can be removed.
    RuleScope scope(state, equal_width_rule(prune_dim_1 ? input_2 : input_1));
    default_node_handler(state, node);
    return;
  }
  if (size_1 != 1 && size_2 != 1) {
    raise_engine_error("Binary operation with different dimension sizes along the same axis");
  }
  if (labelled_size == 1) {
    // The single labelled channel is broadcast over many output channels.
    RuleScope scope(state, kRuleBinaryBroadcastChannel);
    default_node_handler(state, node);
    return;
  }
  py::handle src_node = prune_dim_1 ? input_1 : input_2;
  record_with_current_flags(state, node, get_labels(state, src_node), prune_dim);
}

void register_binary(py::module_& m) {
  define_handler(m, "_binary_elementwise_node_handler", binary_elementwise_node_handler,
                 kRuleBinary,
                 "Merges the channels two operands share position by position, or keeps those "
                 "of the operand that is broadcast against.");
  m.def(
      "_get_inputs_for_binary_node",
      [](py::handle node) {
        auto [input_1, input_2] = get_inputs_for_binary_node(node);
        return py::make_tuple(input_1, input_2);
      },
      py::arg("node"), "The two operands of a binary elementwise node.");
}

}  // namespace tavrix::oprules
