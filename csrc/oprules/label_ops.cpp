#include "interop/pybind.hpp"
#include "oprules/label_ops.hpp"

#include <algorithm>
#include <string>

namespace tavrix::oprules {

namespace {

struct GraphTypes {
  py::object node_info;
  py::object tensor_info;
  py::object trace_tensor;
};

// Imported on first use: the tracer imports torch, which the engine module
// itself does not need while it loads.
const GraphTypes& graph_types() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<GraphTypes> storage;
  return storage
      .call_once_and_store_result([] {
        py::module_ tracing = py::module_::import("tavrix.flowscope.tracing");
        py::module_ flowscope = py::module_::import("tavrix.flowscope");
        return GraphTypes{tracing.attr("NodeInfo"), tracing.attr("TensorInfo"),
                          flowscope.attr("TraceTensor")};
      })
      .get_stored();
}

bool is_instance(py::handle arg, const py::object& cls) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(arg.ptr())) == cls.ptr()) return true;
  const int result = PyObject_IsInstance(arg.ptr(), cls.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
}

int64_t to_int64(py::handle item) {
  PyObject* index = PyNumber_Index(item.ptr());
  if (index == nullptr) throw py::error_already_set();
  const long long value = PyLong_AsLongLong(index);
  Py_DECREF(index);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  return value;
}

std::string tuple_text(const std::vector<size_t>& lengths) {
  std::string text = "(";
  for (size_t i = 0; i < lengths.size(); ++i) {
    if (i > 0) text += ", ";
    text += std::to_string(lengths[i]);
  }
  if (lengths.size() == 1) text += ",";
  return text + ")";
}

// One position of a merge, checked before anything changes: the roots to
// unite, or just the value itself when the row names a single label.
struct MergeRow {
  Label first = 0;
  std::vector<core::LabelId> ids;  // empty: nothing to merge
};

MergeRow check_merge_row(core::LabelStore& store, const Labels& labels) {
  MergeRow row;
  row.first = labels.front();
  const bool single = std::all_of(labels.begin(), labels.end(),
                                  [&](Label label) { return label == row.first; });
  if (single) {
    const core::LabelId root = store.resolve(row.first);
    if (root != core::LabelStore::kNoLabel) row.ids.push_back(root);
    return row;
  }
  row.ids.reserve(labels.size());
  for (Label label : labels) {
    // An absorbed label resolves to the label that absorbed it.
    const core::LabelId root = store.resolve(label);
    if (root == core::LabelStore::kNoLabel) {
      raise_engine_error("Attempting to merge unknown label " + std::to_string(label));
    }
    row.ids.push_back(root);
  }
  return row;
}

// Unites a checked row; returns the root of the survivor or kNoLabel.
core::LabelId merge_row(core::LabelStore& store, const MergeRow& row) {
  if (row.ids.empty()) return core::LabelStore::kNoLabel;
  core::LabelId base = store.find(row.ids.front());
  for (size_t i = 1; i < row.ids.size(); ++i) {
    base = store.unite(base, store.find(row.ids[i]));
  }
  return base;
}

}  // namespace

// ---------------------------------------------------------------- conversions

PruneDim to_prune_dim(py::handle obj) {
  if (obj.is_none()) return std::nullopt;
  if (!PyLong_Check(obj.ptr())) {
    throw py::type_error("prune_dimension must be an int or None, got " +
                         interop::str(py::type::handle_of(obj).attr("__name__")));
  }
  return to_int64(obj);
}

py::object from_prune_dim(PruneDim dim) {
  if (!dim) return py::none();
  return py::int_(*dim);
}

// ---------------------------------------------------------------- graph types

bool is_node_info(py::handle arg) { return is_instance(arg, graph_types().node_info); }

bool is_tensor_info(py::handle arg) { return is_instance(arg, graph_types().tensor_info); }

bool is_trace_tensor(py::handle arg) {
  if (is_node_info(arg)) return true;
  if (!is_tensor_info(arg)) return false;
  py::object type = arg.attr("type");
  const int equal = PyObject_RichCompareBool(type.ptr(), graph_types().trace_tensor.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal != 0;
}

std::optional<Shape> get_shape(py::handle arg) {
  py::object shape;
  if (is_node_info(arg)) {
    shape = arg.attr("result_shape");
  } else if (is_tensor_info(arg)) {
    shape = arg.attr("shape");
  } else {
    return std::nullopt;
  }
  if (shape.is_none()) return std::nullopt;
  Shape out;
  for (py::handle item : shape) out.push_back(to_int64(item));
  return out;
}

// ---------------------------------------------------------------- state reads

PruneDim get_prune_dimension(ParserState& state, py::handle arg) {
  const core::NodeId id = state.lookup(arg);
  if (id == ParserState::kNoNode) return std::nullopt;
  return state.store.node_dim(id);
}

Labels get_labels(ParserState& state, py::handle arg) {
  const core::NodeId id = state.lookup(arg);
  if (id == ParserState::kNoNode) return {};
  return state.store.resolved_labels(id);
}

bool is_recorded(ParserState& state, py::handle node) {
  return state.lookup(node) != ParserState::kNoNode;
}

bool label_is_prunable(ParserState& state, Label label) {
  const core::LabelId root = state.store.live_root(label);
  if (root == core::LabelStore::kNoLabel || !state.store.has_flag(root)) {
    throw py::key_error(std::to_string(label));
  }
  return state.store.flag(root);
}

Flags prunability_of(ParserState& state, const Labels& labels) {
  Flags flags;
  flags.reserve(labels.size());
  for (Label label : labels) flags.push_back(label_is_prunable(state, label));
  return flags;
}

void set_label_prunable(ParserState& state, Label label, bool value) {
  state.store.set_flag_for_value(label, value);
}

// ---------------------------------------------------------------- label operations

void add_node_output_channel_info(ParserState& state, py::handle node, const Labels& label_group,
                                  const Flags& is_prunable, PruneDim prune_dimension) {
  if (is_recorded(state, node)) {
    raise_engine_error("Attempting to add node which was already added");
  }
  // An unhashable node must fail before any label is interned.
  if (PyObject_Hash(node.ptr()) == -1) throw py::error_already_set();
  auto ids = std::make_shared<core::LabelIds>();
  ids->reserve(label_group.size());
  for (Label label : label_group) ids->push_back(state.store.intern(label));
  state.record(node, std::move(ids), prune_dimension, is_prunable);
}

void add_node_output_channel_info(ParserState& state, py::handle node, const Labels& label_group,
                                  bool is_prunable, PruneDim prune_dimension) {
  add_node_output_channel_info(state, node, label_group, Flags(label_group.size(), is_prunable),
                               prune_dimension);
}

Labels generate_new_channel_labels_for_shape(ParserState& state, const Shape& shape,
                                             int64_t prune_dimension) {
  const auto rank = static_cast<int64_t>(shape.size());
  const int64_t index = prune_dimension < 0 ? prune_dimension + rank : prune_dimension;
  if (index < 0 || index >= rank) {
    raise_engine_error("prune_dimension " + std::to_string(prune_dimension) +
                       " is out of range for a result shape with " + std::to_string(rank) +
                       " dimensions");
  }
  const int64_t length = shape[static_cast<size_t>(index)];
  if (length < 0) {
    raise_engine_error("result shape has a negative size along prune_dimension " +
                       std::to_string(prune_dimension));
  }
  const int64_t start = state.store.take_labels(length);
  Labels labels(static_cast<size_t>(length));
  for (int64_t i = 0; i < length; ++i) labels[static_cast<size_t>(i)] = start + i;
  return labels;
}

Labels generate_new_channel_labels(ParserState& state, py::handle node, PruneDim prune_dimension) {
  if (!prune_dimension) raise_engine_error("prune_dimension is expected to be an integer value");
  py::object shape_obj = node.attr("result_shape");
  if (shape_obj.is_none()) raise_engine_error("node has no result shape");
  Shape shape;
  for (py::handle item : shape_obj) shape.push_back(to_int64(item));
  return generate_new_channel_labels_for_shape(state, shape, *prune_dimension);
}

void node_keep_state(ParserState& state, py::handle node, py::handle src_node) {
  if (is_recorded(state, node)) {
    raise_engine_error("Attempting to add node which was already added");
  }
  const core::NodeId src = state.lookup(src_node);
  if (src == ParserState::kNoNode) {
    state.record(node, nullptr, std::nullopt, {});
    return;
  }
  core::LabelStore& store = state.store;
  // The source's stored list is shared, not copied: lists are resolved on read.
  core::LabelIdsPtr ids = store.node_labels(src);
  Flags flags;
  flags.reserve(ids->size());
  for (core::LabelId id : *ids) {
    const core::LabelId root = store.find(id);
    if (!store.has_flag(root)) throw py::key_error(std::to_string(store.value_of_root(root)));
    flags.push_back(store.flag(root));
  }
  state.record(node, std::move(ids), store.node_dim(src), flags);
}

void mark_node_inputs_as_non_prunable(ParserState& state, py::handle node) {
  py::object inputs = node.attr("collect_all_input_nodes")();
  for (py::handle input : inputs) {
    const core::NodeId id = state.lookup(input);
    if (id != ParserState::kNoNode) state.store.mark_unprunable(id);
  }
}

Label merge_labels(ParserState& state, const Labels& labels) {
  if (labels.empty()) raise_engine_error("Attempting to merge an empty list of labels");
  const MergeRow row = check_merge_row(state.store, labels);
  const core::LabelId root = merge_row(state.store, row);
  return root == core::LabelStore::kNoLabel ? row.first : state.store.value_of_root(root);
}

Labels merge_label_groups(ParserState& state, const std::vector<Labels>& label_groups) {
  std::vector<size_t> lengths;
  lengths.reserve(label_groups.size());
  for (const Labels& group : label_groups) lengths.push_back(group.size());
  const bool same = !lengths.empty() && std::all_of(lengths.begin(), lengths.end(),
                                                    [&](size_t n) { return n == lengths[0]; });
  if (!same) {
    raise_engine_error("Attempting to merge label groups of different sizes: " +
                       tuple_text(lengths));
  }
  // Every position is checked before the first merge so that a bad label
  // leaves the state untouched.
  const size_t width = lengths[0];
  std::vector<MergeRow> rows;
  rows.reserve(width);
  Labels column(label_groups.size());
  for (size_t i = 0; i < width; ++i) {
    for (size_t g = 0; g < label_groups.size(); ++g) column[g] = label_groups[g][i];
    rows.push_back(check_merge_row(state.store, column));
  }
  std::vector<core::LabelId> roots;
  roots.reserve(width);
  for (const MergeRow& row : rows) roots.push_back(merge_row(state.store, row));
  // A later position may absorb an earlier survivor, so survivors are read
  // only once every position is merged.
  Labels survivors;
  survivors.reserve(width);
  for (size_t i = 0; i < width; ++i) {
    survivors.push_back(roots[i] == core::LabelStore::kNoLabel
                            ? rows[i].first
                            : state.store.value_of_root(state.store.find(roots[i])));
  }
  return survivors;
}

std::pair<Shape, PruneDim> broadcast_to(const Shape& shape, PruneDim prune_dimension, int64_t n) {
  const auto shape_n = static_cast<int64_t>(shape.size());
  if (shape_n >= n) return {shape, prune_dimension};
  const int64_t pad = n - shape_n;
  Shape out(static_cast<size_t>(pad), 1);
  out.insert(out.end(), shape.begin(), shape.end());
  if (prune_dimension) prune_dimension = *prune_dimension + pad;
  return {out, prune_dimension};
}

}  // namespace tavrix::oprules
