#include "interop/pybind.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/provenance.hpp"

#include <string>

namespace tavrix::oprules {

namespace {

const Rule kRuleConv("convolution");
const Rule kRuleLinear("fully-connected layer");
const Rule kRuleConvSpatial("convolution over a tensor pruned along a spatial axis");
const Rule kRuleConvNotChannels("convolution over a tensor not pruned along its channel axis");
const Rule kRuleConvTracedWeight("convolution with a weight computed from the inputs");
const Rule kRuleLinearTracedWeight("fully-connected layer with a weight computed from the inputs");
const Rule kRuleGroupedConv("grouped convolution");
const Rule kRuleGroupedUnbatched("grouped convolution over an unbatched input");
const Rule kRuleGroupedSingleOutput("grouped convolution with a single output channel");
const Rule kRuleLinearSingleOutput("fully-connected layer with a single output");
const Rule kRuleLinearNotLastAxis(
    "fully-connected layer over a tensor pruned along another axis than the last");

// The branches a convolution takes, for the rule record: the shrink cuts
// "dense" (groups == 1) and "depthwise" convolutions; the others are barriers.
const Decision kConvDense("dense");
const Decision kConvDepthwise("depthwise");
const Decision kConvGrouped("grouped");
const Decision kConvTracedWeight("traced_weight");
const Decision kConvUnlabelledInput("unlabelled_input");
const Decision kConvBatchAxis("batch_axis");
const Decision kConvUnbatched("unbatched");
const Decision kConvSingleOutput("single_output");

// The transposed variants, compared by equality with the node's operation.
const py::tuple& transposed_conv_ops() {
  return interop::cached([] {
    py::module_ functional = py::module_::import("torch.nn.functional");
    return py::make_tuple(functional.attr("conv_transpose1d"), functional.attr("conv_transpose2d"),
                          functional.attr("conv_transpose3d"));
  });
}

bool is_transposed_conv(py::handle operation) {
  for (py::handle op : transposed_conv_ops()) {
    if (operation.equal(op)) return true;
  }
  return false;
}

Shape weight_shape(py::handle weight, const char* layer) {
  std::optional<Shape> shape = get_shape(weight);
  if (!shape) {
    throw py::type_error(std::string(layer) + " weight has no shape");
  }
  return *shape;
}

bool same_size_along_first_axis(py::handle input_node, py::handle node) {
  std::optional<Shape> input_shape = get_shape(input_node);
  std::optional<Shape> result_shape = get_shape(node);
  if (!input_shape || !result_shape || input_shape->empty() || result_shape->empty()) return true;
  return input_shape->front() == result_shape->front();
}

}  // namespace

PruneDim process_input_for_conv_like_operation(ParserState& state, py::handle node,
                                               py::handle input_node) {
  PruneDim prune_dimension = get_prune_dimension(state, input_node);
  if (!prune_dimension) return std::nullopt;
  if (*prune_dimension == 0) {
    interop::warn_user("Attempting to prune kernel operation along batch dimension (0)");
    return prune_dimension;
  }
  if (*prune_dimension > 1) {
    interop::warn_user("Attempting to prune kernel operation along spatial dimension (" +
                       std::to_string(*prune_dimension) + ")");
    RuleScope scope(state, kRuleConvSpatial);
    mark_node_inputs_as_non_prunable(state, node);
    return std::nullopt;
  }
  return prune_dimension;
}

void conv_node_handler(ParserState& state, py::handle node) {
  py::object args = node.attr(graph_attr().args);
  py::object kwargs = node.attr(graph_attr().kwargs);
  py::object input_node = interop::get_argument(args, kwargs, 0, "input");
  py::object weight = interop::get_argument(args, kwargs, 1, "weight");
  py::object groups_arg = interop::get_argument(args, kwargs, 6, "groups", py::int_(1));
  if (!py::isinstance<py::int_>(groups_arg)) {
    throw py::type_error("Conv layer groups must be an integer, got " + interop::repr(groups_arg));
  }
  const int64_t groups = interop::to_int64(groups_arg, "Conv layer groups");
  const bool transposed = is_transposed_conv(node.attr(graph_attr().operation));

  const Shape shape = weight_shape(weight, "Conv layer");
  if (shape.size() < 2) {
    throw py::value_error("Conv layer weight needs at least 2 dimensions, got " +
                          std::to_string(shape.size()));
  }
  // A transposed conv stores its weight as (in, out / groups, ...).
  const int64_t out_channels = transposed ? shape[1] : shape[0];
  const int64_t in_channels = transposed ? shape[0] : shape[1];

  if (is_trace_tensor(weight)) {
    interop::warn_user(
        "Conv layer have weight dependent on model inputs, this layer will not be pruned");
    RuleScope scope(state, kRuleConvTracedWeight);
    state.decide(node, kConvTracedWeight);
    default_node_handler(state, node);
    return;
  }

  PruneDim prune_dimension = process_input_for_conv_like_operation(state, node, input_node);

  if (groups == 1) {
    state.decide(node, kConvDense);
    if (prune_dimension != kCnnPruneDim) {
      RuleScope scope(state, kRuleConvNotChannels);
      mark_node_inputs_as_non_prunable(state, node);
    }
    Labels label_group = generate_new_channel_labels(state, node, kCnnPruneDim);
    add_node_output_channel_info(state, node, label_group, true, kCnnPruneDim);
    return;
  }

  if (!prune_dimension) {
    state.decide(node, kConvUnlabelledInput);
    default_node_handler(state, node);
  } else if (*prune_dimension == 0) {
    if (!same_size_along_first_axis(input_node, node)) {
      // An unbatched grouped conv changes the size of axis 0: the input's
      // labels would not fit the output.
      RuleScope scope(state, kRuleGroupedUnbatched);
      state.decide(node, kConvUnbatched);
      default_node_handler(state, node);
      return;
    }
    interop::log(engine_logger(), interop::kLogInfo,
                 "Processing conv node along channel dimension");
    state.decide(node, kConvBatchAxis);
    elementwise_node_handler(state, node, input_node);
  } else if (transposed ? in_channels == 1 : out_channels == 1) {
    interop::log(engine_logger(), interop::kLogInfo,
                 "Conv layer with single output channel, this layer will not be pruned");
    RuleScope scope(state, kRuleGroupedSingleOutput);
    state.decide(node, kConvSingleOutput);
    default_node_handler(state, node);
  } else if (transposed ? (in_channels != groups || out_channels != 1)
                        : (in_channels != 1 || out_channels != groups)) {
    // Only a depthwise conv (one input and one output channel per group) keeps
    // its input's channels. With a channel multiplier it has more outputs than
    // inputs; a grouped transposed conv such as (8, 1, k, k) with 4 groups
    // turns 8 channels into 4: neither output can share the input's labels.
    interop::warn_user("Found group convolution, it will not be pruned");
    RuleScope scope(state, kRuleGroupedConv);
    state.decide(node, kConvGrouped);
    default_node_handler(state, node);
  } else {
    state.decide(node, kConvDepthwise);
    channelwise_node_handler(state, node, input_node);
  }
}

void linear_node_handler(ParserState& state, py::handle node) {
  py::object args = node.attr(graph_attr().args);
  py::object kwargs = node.attr(graph_attr().kwargs);
  py::object input_node = interop::get_argument(args, kwargs, 0, "input");
  py::object weight = interop::get_argument(args, kwargs, 1, "weight");

  const Shape shape = weight_shape(weight, "Fully-connected layer");
  if (shape.size() != 2) {
    throw py::value_error("Fully-connected layer weight must have 2 dimensions, got " +
                          std::to_string(shape.size()));
  }
  const int64_t out_features = shape[0];

  if (is_trace_tensor(weight)) {
    interop::warn_user(
        "Fully-connected layer have weight dependent on model inputs, this layer will not be "
        "pruned");
    RuleScope scope(state, kRuleLinearTracedWeight);
    default_node_handler(state, node);
    return;
  }

  PruneDim prune_dimension = get_prune_dimension(state, input_node);
  std::optional<Shape> result_shape = get_shape(node);
  if (!result_shape) throw py::type_error("Fully-connected node has no result shape");
  const auto last_dim = static_cast<int64_t>(result_shape->size()) - 1;
  const bool prunable_by_non_last_dim = prune_dimension && *prune_dimension != last_dim;

  if (out_features == 1) {
    if (prunable_by_non_last_dim) {
      node_keep_state(state, node, input_node);
    } else {
      interop::log(engine_logger(), interop::kLogInfo,
                   "Fully-connected layer with single output neuron, this layer will not be "
                   "pruned");
      RuleScope scope(state, kRuleLinearSingleOutput);
      default_node_handler(state, node);
    }
    return;
  }

  if (prunable_by_non_last_dim) {
    RuleScope scope(state, kRuleLinearNotLastAxis);
    mark_node_inputs_as_non_prunable(state, node);
  }
  Labels label_group = generate_new_channel_labels(state, node, last_dim);
  add_node_output_channel_info(state, node, label_group, true, last_dim);
}

void register_conv_linear(py::module_& m) {
  define_handler(m, "_conv_node_handler", conv_node_handler, kRuleConv,
                 "Gives a convolution's output fresh channel labels, or shares the input's for "
                 "a depthwise convolution.");
  define_handler(m, "_linear_node_handler", linear_node_handler, kRuleLinear,
                 "Gives a fully-connected layer's output fresh labels along its last axis.");
  m.def(
      "_process_input_for_conv_like_operation",
      [](ParserState& pruning_state, py::handle node, py::handle input_node) {
        HandlerScope scope(pruning_state, node, kRuleConv);
        return from_prune_dim(
            process_input_for_conv_like_operation(pruning_state, node, input_node));
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("input_node"),
      "The input's prune dimension vetted for a kernel operation: batch and spatial axes are "
      "reported.");
}

}  // namespace tavrix::oprules
