// Extended rules for layers the standard rules leave unpruned: grouped
// convolutions (and depthwise ones with a channel multiplier), per-channel
// parameters in elementwise operations (layer scales, biases added by hand)
// and normalisations over the channel axis. Every case the standard handlers
// already cover goes to them unchanged.
#include "interop/pybind.hpp"

#include "oprules/extended.hpp"
#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"

#include <string>
#include <vector>

namespace tavrix::oprules {

namespace {

py::object arg_of(py::handle node, int pos, const char* key, py::handle fallback = py::none()) {
  return interop::get_argument(node.attr(graph_attr().args), node.attr(graph_attr().kwargs), pos,
                               key, fallback);
}

const py::object& parameter_type() {
  return interop::cached([] { return interop::import_attr("torch.nn", "Parameter"); });
}

// A TensorInfo standing for an nn.Parameter: a tensor of the model that a
// cut can slice (buffers and tensors made in the call look alike to the walk,
// so they are not taken).
bool is_parameter(py::handle arg) {
  if (!is_tensor_info(arg)) return false;
  py::object type = arg.attr(graph_attr().type);
  if (type.is(parameter_type())) return true;
  if (!PyType_Check(type.ptr())) return false;
  const int sub = PyObject_IsSubclass(type.ptr(), parameter_type().ptr());
  if (sub < 0) throw py::error_already_set();
  return sub != 0;
}

// A TensorInfo that is a view of a parameter made in the call (`self.gamma.reshape(1, -1, 1,
// 1)`) with one axis of more than one entry: a per-channel parameter reshaped to broadcast,
// which a cut slices as that parameter.
bool is_parameter_vector_view(py::handle arg) {
  if (!is_tensor_info(arg) || py::getattr(arg, "view_of", py::none()).is_none()) return false;
  std::optional<Shape> shape = get_shape(arg);
  if (!shape) return false;
  int64_t wide = 0;
  for (int64_t size : *shape) wide += size > 1 ? 1 : 0;
  return wide == 1;
}

// A TensorInfo gathered from a parameter along its later axes, the first kept whole (a bias
// table per head, `self.attention_biases[:, self.attention_bias_idxs]`): a cut of its first
// axis is a cut of the parameter's.
bool is_parameter_rows(py::handle arg) {
  return is_tensor_info(arg) && !py::getattr(arg, "rows_of", py::none()).is_none();
}

const py::tuple& transposed_convs() {
  return interop::cached([] {
    py::module_ f = py::module_::import("torch.nn.functional");
    return py::make_tuple(f.attr("conv_transpose1d"), f.attr("conv_transpose2d"),
                          f.attr("conv_transpose3d"));
  });
}

// ---------------------------------------------------------------- grouped convolutions

// The grouped handler's own branches, for the rule record (its fallbacks name
// the standard handler's).
const Decision kGroupedWhole("whole_groups");
const Decision kGroupedPositions("positions");

// A convolution with groups > 1 on channels along axis 1. Weight (out,
// in / groups, ...), transposed (in, out / groups, ...). The standard handler
// keeps depthwise convolutions (one input and one output channel per group)
// and is the fallback for everything that is not a plain grouped case.
void grouped_conv_node_handler(ParserState& state, py::handle node) {
  py::object input = arg_of(node, 0, "input");
  py::object weight = arg_of(node, 1, "weight");
  py::object groups_arg = arg_of(node, 6, "groups", py::int_(1));
  std::optional<Shape> weight_shape = get_shape(weight);
  std::optional<Shape> out_shape = get_shape(node);
  const bool plain_groups = py::isinstance<py::int_>(groups_arg) && !PyBool_Check(groups_arg.ptr());
  const int64_t groups = plain_groups ? interop::to_int64(groups_arg, "Conv layer groups") : 1;
  if (groups <= 1 || !weight_shape || weight_shape->size() < 2 || !out_shape ||
      out_shape->size() < 2 || is_trace_tensor(weight) ||
      get_prune_dimension(state, input) != kCnnPruneDim) {
    conv_node_handler(state, node);
    return;
  }
  bool transposed = false;
  py::object operation = node.attr(graph_attr().operation);
  for (py::handle op : transposed_convs()) transposed = transposed || operation.is(op);
  const Labels in_labels = get_labels(state, input);
  const auto n_in_total = static_cast<int64_t>(in_labels.size());
  const int64_t n_out_total = (*out_shape)[1];
  if (n_in_total % groups != 0 || n_out_total % groups != 0) {
    conv_node_handler(state, node);
    return;
  }
  const int64_t n_in = n_in_total / groups;
  const int64_t n_out = n_out_total / groups;
  const bool weight_fits = transposed
                               ? ((*weight_shape)[0] == n_in_total && (*weight_shape)[1] == n_out)
                               : ((*weight_shape)[0] == n_out_total && (*weight_shape)[1] == n_in);
  if (!weight_fits || (n_in == 1 && n_out == 1) || n_out_total == 1) {
    conv_node_handler(state, node);  // depthwise, single output, or a shape it reports
    return;
  }
  GroupedConv mode = extended_options().grouped_conv;
  if (mode == GroupedConv::Auto) {
    // More groups than channels per group: whole groups leave more choice.
    mode = (n_in == 1 || groups >= n_out) ? GroupedConv::WholeGroups : GroupedConv::Positions;
  }
  if (mode == GroupedConv::WholeGroups) {
    // Input and output channels of one group are removed together.
    state.decide(node, kGroupedWhole);
    Labels per_group;
    for (int64_t g = 0; g < groups; ++g) {
      const Labels block(in_labels.begin() + g * n_in, in_labels.begin() + (g + 1) * n_in);
      per_group.push_back(merge_labels(state, block));
    }
    per_group = survivors(state, per_group);
    Labels out;
    out.reserve(static_cast<size_t>(n_out_total));
    for (Label label : per_group) out.insert(out.end(), static_cast<size_t>(n_out), label);
    record_with_current_flags(state, node, out, kCnnPruneDim);
    return;
  }
  // The same positions in every group: input position j of all groups goes
  // together, and so does output position k.
  state.decide(node, kGroupedPositions);
  std::vector<Labels> blocks;
  for (int64_t g = 0; g < groups; ++g) {
    blocks.emplace_back(in_labels.begin() + g * n_in, in_labels.begin() + (g + 1) * n_in);
  }
  merge_label_groups(state, blocks);
  const Labels fresh = generate_new_channel_labels_for_shape(state, {n_out}, 0);
  Labels out;
  out.reserve(static_cast<size_t>(n_out_total));
  for (int64_t g = 0; g < groups; ++g) out.insert(out.end(), fresh.begin(), fresh.end());
  add_node_output_channel_info(state, node, out, true, kCnnPruneDim);
}

// ---------------------------------------------------------------- per-channel parameters

// x * gamma, x + bias, x / temperature with a parameter holding one entry per
// channel of x (or rows of one gathered, one row per channel): the parameter is
// cut with the channels. Everything else is the standard binary rule.
void parameter_binary_node_handler(ParserState& state, py::handle node) {
  py::sequence args = node.attr(graph_attr().args);
  if (py::len(args) >= 2) {
    py::object a = args[0];
    py::object b = args[1];
    const bool a_node = is_node_info(a);
    const bool b_node = is_node_info(b);
    if (a_node != b_node) {
      py::object src = a_node ? a : b;
      py::object parameter = a_node ? b : a;
      PruneDim pd = get_prune_dimension(state, src);
      std::optional<Shape> src_shape = get_shape(src);
      std::optional<Shape> parameter_shape = get_shape(parameter);
      std::optional<Shape> result = get_shape(node);
      const bool rows = is_parameter_rows(parameter);
      if (pd && src_shape && parameter_shape && result &&
          (rows || is_parameter(parameter) || is_parameter_vector_view(parameter)) &&
          result->size() >= src_shape->size() && result->size() >= parameter_shape->size()) {
        const auto rank = static_cast<int64_t>(result->size());
        std::optional<int64_t> dim = normalised_axis(*pd, static_cast<int64_t>(src_shape->size()));
        if (dim) {
          const int64_t out_dim = *dim + rank - static_cast<int64_t>(src_shape->size());
          const int64_t parameter_axis =
              out_dim - (rank - static_cast<int64_t>(parameter_shape->size()));
          const int64_t channels = (*src_shape)[static_cast<size_t>(*dim)];
          if (parameter_axis >= 0 && (!rows || parameter_axis == 0) && channels > 1 &&
              (*parameter_shape)[static_cast<size_t>(parameter_axis)] == channels &&
              (*result)[static_cast<size_t>(out_dim)] == channels) {
            record_with_current_flags(state, node, get_labels(state, src), out_dim);
            return;
          }
        }
      }
    }
  }
  binary_elementwise_node_handler(state, node);
}

// ---------------------------------------------------------------- normalisations

// weight and bias of a normalisation: absent or parameters. `needs_one`: one
// of them must be there (a cut must find the module that holds the layer's
// sizes through them).
bool affine_parameters_fit(py::handle weight, py::handle bias, bool needs_one) {
  bool any = false;
  for (py::handle value : {weight, bias}) {
    if (value.is_none()) continue;
    if (!is_parameter(value)) return false;
    any = true;
  }
  return any || !needs_one;
}

// layer_norm over the last axes. Channels outside the normalised axes pass
// through; channels inside them are cut with the weight and bias, and the
// remaining ones are normalised among themselves (what removing them means).
void layer_norm_node_handler(ParserState& state, py::handle node) {
  py::object input = arg_of(node, 0, "input");
  PruneDim pd = get_prune_dimension(state, input);
  std::optional<Shape> shape = get_shape(input);
  py::object normalized = arg_of(node, 1, "normalized_shape");
  py::object weight = arg_of(node, 2, "weight", py::none());
  py::object bias = arg_of(node, 3, "bias", py::none());
  if (!pd || !shape) {
    default_node_handler(state, node);
    return;
  }
  const auto rank = static_cast<int64_t>(shape->size());
  std::optional<int64_t> dim = normalised_axis(*pd, rank);
  int64_t n_normalised = 1;
  if (!PyLong_Check(normalized.ptr())) {
    if (!PyTuple_Check(normalized.ptr()) && !PyList_Check(normalized.ptr())) {
      default_node_handler(state, node);
      return;
    }
    n_normalised = static_cast<int64_t>(py::len(normalized));
  }
  if (!dim || n_normalised > rank) {
    default_node_handler(state, node);
    return;
  }
  const bool normalised_over_channels = *dim >= rank - n_normalised;
  if (!affine_parameters_fit(weight, bias, normalised_over_channels)) {
    default_node_handler(state, node);
    return;
  }
  record_with_current_flags(state, node, get_labels(state, input), *dim);
}

// group_norm over channel groups of axis 1. With one group the channels are
// cut one by one (the rest normalised among themselves); otherwise whole
// groups go, so the statistics of the remaining groups do not change.
void group_norm_node_handler(ParserState& state, py::handle node) {
  py::object input = arg_of(node, 0, "input");
  std::optional<int64_t> groups;
  py::object groups_arg = arg_of(node, 1, "num_groups");
  if (PyLong_Check(groups_arg.ptr()) && !PyBool_Check(groups_arg.ptr())) {
    groups = interop::to_int64(groups_arg, "group_norm num_groups");
  }
  py::object weight = arg_of(node, 2, "weight", py::none());
  py::object bias = arg_of(node, 3, "bias", py::none());
  const Labels labels = get_labels(state, input);
  const auto n = static_cast<int64_t>(labels.size());
  if (get_prune_dimension(state, input) != kCnnPruneDim || !groups || *groups < 1 ||
      n % *groups != 0 || n < 2 || !affine_parameters_fit(weight, bias, *groups > 1)) {
    default_node_handler(state, node);
    return;
  }
  if (*groups == 1 || *groups == n) {
    record_with_current_flags(state, node, labels, kCnnPruneDim);
    return;
  }
  const int64_t width = n / *groups;
  Labels per_group;
  for (int64_t g = 0; g < *groups; ++g) {
    per_group.push_back(
        merge_labels(state, Labels(labels.begin() + g * width, labels.begin() + (g + 1) * width)));
  }
  per_group = survivors(state, per_group);
  Labels out;
  for (Label label : per_group) out.insert(out.end(), static_cast<size_t>(width), label);
  record_with_current_flags(state, node, out, kCnnPruneDim);
}

void instance_norm_node_handler(ParserState& state, py::handle node) {
  // Statistics per sample and channel: a channel-wise operation like batch norm.
  // nn.InstanceNorm reads the channel count to compare it with num_features,
  // which the cut keeps in step.
  py::object input = arg_of(node, 0, "input");
  note_reshaped(input);
  channelwise_node_handler(state, node, input);
}

}  // namespace

void register_extended_layers(py::module_& m) {
  define_extended_handler(
      m, "_grouped_conv_node_handler", grouped_conv_node_handler,
      "Extended rules: a grouped convolution (or a depthwise one with a channel multiplier)\n"
      "loses whole groups or the same positions in every group, so that groups still divides\n"
      "both channel counts; other convolutions as under the standard rules.");
  define_extended_handler(
      m, "_parameter_binary_node_handler", parameter_binary_node_handler,
      "Extended rules: a parameter with one entry per channel (a layer scale, a bias added by\n"
      "hand) is cut with the channels; other cases as under the standard rules.");
  define_extended_handler(
      m, "_layer_norm_node_handler", layer_norm_node_handler,
      "Extended rules: layer_norm keeps the channels; over the channel axis its weight and\n"
      "bias are cut with them.");
  define_extended_handler(
      m, "_group_norm_node_handler", group_norm_node_handler,
      "Extended rules: group_norm keeps the channels of axis 1; with several groups only whole\n"
      "groups can go.");
  define_extended_handler(m, "_instance_norm_node_handler", instance_norm_node_handler,
                          "Extended rules: instance_norm is channel-wise, like batch_norm.");
}

}  // namespace tavrix::oprules
