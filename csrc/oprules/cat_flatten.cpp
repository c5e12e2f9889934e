#include "interop/pybind.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/provenance.hpp"

#include <string>
#include <vector>

namespace tavrix::oprules {

namespace {

const Rule kRuleCat("concatenation");
const Rule kRuleFlatten("flatten");
const Rule kRuleCatAxes("concatenation of tensors pruned along different axes");
const Rule kRuleCatSizes("concatenation whose unlabelled inputs cannot be sized");
const Rule kRuleCatUnlabelled("concatenated with a tensor without channel labels");
const Rule kRuleStackUnlabelled("stacked with a tensor without channel labels");
const Rule kRuleFlattenChannels("flatten across the channel axis");

[[noreturn]] void raise_dim_out_of_range(int64_t prune_dimension, int64_t n_dims) {
  raise_engine_error("Prune dimension index exceeds the number of dimensions (" +
                     std::to_string(prune_dimension) + " >= " + std::to_string(n_dims) + ")");
}

// Python's modulo: the result takes the sign of the divisor.
int64_t py_mod(int64_t a, int64_t n) { return ((a % n) + n) % n; }

// An axis argument; named dimensions are not supported.
int64_t axis_argument(py::handle value, const std::string& what) {
  if (py::isinstance<py::str>(value)) raise_engine_error("Pruning does not support named tensors");
  if (!py::isinstance<py::int_>(value)) {
    throw py::type_error(what + " must be an integer, got " + interop::repr(value));
  }
  return interop::to_int64(value, what.c_str());
}

// torch.cat's dim as an axis counted from the front. Every input and the
// result have the same number of dimensions; the result's shape is used when
// known, else the first input that has one.
int64_t cat_axis(py::handle dim, py::handle node, const py::list& inputs) {
  int64_t axis = axis_argument(dim, "torch.cat dim");
  if (axis >= 0) return axis;
  std::optional<Shape> shape = get_shape(node);
  for (size_t i = 0; !shape && i < inputs.size(); ++i) shape = get_shape(inputs[i]);
  if (shape) axis += static_cast<int64_t>(shape->size());
  return axis;
}

// Channel counts along the joined axis of the inputs without channels. An
// input may have no shape of its own (one piece of a chunk or split, whose
// node records no single result shape); a single such input is sized from
// what the result leaves over. Returns nothing when the sizes cannot be known,
// and checks everything before any label is handed out.
std::optional<std::vector<int64_t>> fresh_label_counts(ParserState& state, py::handle node,
                                                       const py::list& inputs,
                                                       const std::vector<PruneDim>& input_dims,
                                                       int64_t prune_dimension) {
  std::vector<int64_t> counts(inputs.size(), 0);
  std::optional<size_t> unsized;
  int64_t known_total = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    if (input_dims[i]) {
      known_total = interop::checked_add(known_total,
                                         static_cast<int64_t>(get_labels(state, inputs[i]).size()),
                                         "the concatenated channel count");
      continue;
    }
    std::optional<Shape> shape = get_shape(inputs[i]);
    if (!shape) {
      if (unsized) return std::nullopt;  // two pieces without sizes: no way to tell them apart
      unsized = i;
      continue;
    }
    const auto n_dims = static_cast<int64_t>(shape->size());
    if (prune_dimension >= n_dims || prune_dimension < -n_dims) {
      raise_dim_out_of_range(prune_dimension, n_dims);
    }
    counts[i] = (*shape)[static_cast<size_t>(py_mod(prune_dimension, n_dims))];
    known_total = interop::checked_add(known_total, counts[i], "the concatenated channel count");
  }
  if (unsized) {
    std::optional<Shape> result = get_shape(node);
    if (!result) return std::nullopt;
    const auto n_dims = static_cast<int64_t>(result->size());
    if (prune_dimension >= n_dims || prune_dimension < -n_dims) return std::nullopt;
    const int64_t left =
        interop::checked_sub((*result)[static_cast<size_t>(py_mod(prune_dimension, n_dims))],
                             known_total, "the concatenated channel count");
    if (left < 0) return std::nullopt;
    counts[*unsized] = left;
  }
  return counts;
}

}  // namespace

void cat_node_handler(ParserState& state, py::handle node) {
  py::object args = node.attr(graph_attr().args);
  py::object kwargs = node.attr(graph_attr().kwargs);
  // A copy: the loops below call into Python (hashing the inputs), which must
  // not be able to resize the list they walk.
  py::list inputs = sequence_copy(interop::get_argument(args, kwargs, 0, "tensors"));
  // torch.cat's own default axis.
  py::object dim = interop::get_argument(args, kwargs, 1, "dim", py::int_(0));

  if (inputs.empty()) raise_engine_error("Attempting to concatenate an empty list of tensors");
  if (inputs.size() == 1) {
    node_keep_state(state, node, inputs[0]);
    return;
  }

  std::vector<PruneDim> input_dims;
  input_dims.reserve(inputs.size());
  bool has_non_prunable_tensors = false;
  PruneDim prune_dimension;
  bool dims_disagree = false;
  for (py::handle input_node : inputs) {
    PruneDim d = get_prune_dimension(state, input_node);
    input_dims.push_back(d);
    if (!d) {
      has_non_prunable_tensors = true;
    } else if (!prune_dimension) {
      prune_dimension = d;
    } else if (*prune_dimension != *d) {
      dims_disagree = true;
    }
  }
  if (!prune_dimension || dims_disagree) {
    RuleScope scope(state, kRuleCatAxes);
    default_node_handler(state, node);
    return;
  }

  Labels label_group;
  if (cat_axis(dim, node, inputs) == *prune_dimension) {
    // Joined end to end; inputs without channels add channels nobody may prune.
    std::optional<std::vector<int64_t>> fresh_counts =
        fresh_label_counts(state, node, inputs, input_dims, *prune_dimension);
    if (!fresh_counts) {
      RuleScope scope(state, kRuleCatSizes);
      default_node_handler(state, node);
      return;
    }
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (input_dims[i]) {
        Labels node_labels = get_labels(state, inputs[i]);
        label_group.insert(label_group.end(), node_labels.begin(), node_labels.end());
        continue;
      }
      Labels fresh = generate_new_channel_labels_for_shape(state, {(*fresh_counts)[i]}, 0);
      RuleScope scope(state, kRuleCatUnlabelled);
      for (Label label : fresh) set_label_prunable(state, label, false);
      label_group.insert(label_group.end(), fresh.begin(), fresh.end());
    }
  } else {
    if (has_non_prunable_tensors) {
      RuleScope scope(state, kRuleStackUnlabelled);
      default_node_handler(state, node);
      return;
    }
    // Stacked along another axis: channel i of every input lands on channel i.
    std::vector<Labels> label_groups;
    label_groups.reserve(inputs.size());
    for (py::handle input_node : inputs) label_groups.push_back(get_labels(state, input_node));
    label_group = merge_label_groups(state, label_groups);
  }
  record_with_current_flags(state, node, label_group, prune_dimension);
}

void flatten_node_handler(ParserState& state, py::handle node) {
  py::object args = node.attr(graph_attr().args);
  py::object kwargs = node.attr(graph_attr().kwargs);
  py::object src_node = interop::get_argument(args, kwargs, 0, "input");
  int64_t start_dim = axis_argument(
      interop::get_argument(args, kwargs, 1, "start_dim", py::int_(0)), "flatten start_dim");
  int64_t end_dim = axis_argument(interop::get_argument(args, kwargs, 2, "end_dim", py::int_(-1)),
                                  "flatten end_dim");

  // A model input or parameter carries no channels, and neither does a source
  // without a prune dimension; its shape is not needed then.
  if (!is_recorded(state, src_node)) {
    default_node_handler(state, node);
    return;
  }
  PruneDim prune_dimension = get_prune_dimension(state, src_node);
  if (!prune_dimension) {
    default_node_handler(state, node);
    return;
  }

  std::optional<Shape> input_shape = get_shape(src_node);
  if (!input_shape) throw py::type_error("Cannot determine shape for flatten operation input");
  const auto n_dims = static_cast<int64_t>(input_shape->size());
  int64_t pd = *prune_dimension;
  if (pd < 0) pd += n_dims;
  if (pd < 0 || pd >= n_dims) raise_dim_out_of_range(*prune_dimension, n_dims);
  // Python's modulo already maps negative axes; adding n_dims first could overflow.
  start_dim = py_mod(start_dim, n_dims);
  end_dim = py_mod(end_dim, n_dims);

  int64_t new_prune_dim = pd;
  if (start_dim <= pd && pd <= end_dim) {
    // Labels are never repeated: merging the pruned axis with others is only
    // sound when all of those have size 1.
    std::optional<Shape> result_shape = get_shape(node);
    if (!result_shape) throw py::type_error("Cannot determine shape for flatten operation result");
    if (start_dim >= static_cast<int64_t>(result_shape->size()) ||
        (*input_shape)[pd] != (*result_shape)[start_dim]) {
      RuleScope scope(state, kRuleFlattenChannels);
      default_node_handler(state, node);
      return;
    }
    new_prune_dim = start_dim;
  } else if (pd > end_dim) {
    new_prune_dim = pd - (end_dim - start_dim);
  }
  Labels label_group = get_labels(state, src_node);
  record_with_current_flags(state, node, label_group, new_prune_dim);
}

void register_cat_flatten(py::module_& m) {
  define_handler(m, "_cat_node_handler", cat_node_handler, kRuleCat,
                 "Joins the inputs' labels along the pruned axis, or merges them position by "
                 "position across another axis.");
  define_handler(m, "_flatten_node_handler", flatten_node_handler, kRuleFlatten,
                 "Carries the source's labels through a flatten, renumbering the prune "
                 "dimension.");
}

}  // namespace tavrix::oprules
