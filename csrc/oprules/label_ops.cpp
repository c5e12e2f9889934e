#include "interop/pybind.hpp"

#include "oprules/label_ops.hpp"

#include "oprules/extended.hpp"

#include <algorithm>
#include <string>

namespace tavrix::oprules {

namespace {

bool is_instance(py::handle arg, const py::object& cls) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(arg.ptr())) == cls.ptr()) return true;
  const int result = PyObject_IsInstance(arg.ptr(), cls.ptr());
  if (result < 0) throw py::error_already_set();
  return result != 0;
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

// The positions of a merge, checked before anything changes. Each position
// keeps the roots to unite (none when it names a single label) in one flat
// array, so a wide merge makes no allocation per position.
struct MergePlan {
  std::vector<Label> first;     // first label of each position
  std::vector<uint32_t> begin;  // position i uses roots[begin[i], begin[i + 1])
  std::vector<core::LabelId> roots;

  explicit MergePlan(size_t positions) {
    first.reserve(positions);
    begin.reserve(positions + 1);
    begin.push_back(0);
  }

  // `labels(g)` is the label of group g at this position.
  template <typename At>
  void add_position(core::LabelStore& store, size_t groups, At labels) {
    const Label head = labels(0);
    first.push_back(head);
    bool single = true;
    for (size_t g = 1; g < groups && single; ++g) single = labels(g) == head;
    if (single) {
      const core::LabelId root = store.resolve(head);
      if (root != core::LabelStore::kNoLabel) roots.push_back(root);
    } else {
      for (size_t g = 0; g < groups; ++g) {
        // An absorbed label resolves to the label that absorbed it.
        const core::LabelId root = store.resolve(labels(g));
        if (root == core::LabelStore::kNoLabel) {
          raise_engine_error("Attempting to merge unknown label " + std::to_string(labels(g)));
        }
        roots.push_back(root);
      }
    }
    begin.push_back(static_cast<uint32_t>(roots.size()));
  }

  // Unites position i; returns the survivor's root or kNoLabel.
  core::LabelId merge(core::LabelStore& store, size_t i) const {
    if (begin[i] == begin[i + 1]) return core::LabelStore::kNoLabel;
    core::LabelId base = store.find(roots[begin[i]]);
    for (uint32_t k = begin[i] + 1; k < begin[i + 1]; ++k) {
      base = store.unite(base, store.find(roots[k]));
    }
    return base;
  }
};

}  // namespace

const GraphAttrNames& graph_attr() {
  return interop::cached([] {
    using interop::interned;
    return GraphAttrNames{interned("args"),         interned("kwargs"),
                          interned("operation"),    interned("operation_name"),
                          interned("result_shape"), interned("shape"),
                          interned("type"),         interned("collect_all_input_nodes")};
  });
}

// ---------------------------------------------------------------- conversions

PruneDim to_prune_dim(py::handle obj) {
  if (obj.is_none()) return std::nullopt;
  if (!PyLong_Check(obj.ptr())) {
    throw py::type_error("prune_dimension must be an int or None, got " +
                         interop::str(py::type::handle_of(obj).attr("__name__")));
  }
  return interop::to_int64(obj, "prune_dimension");
}

py::object from_prune_dim(PruneDim dim) {
  if (!dim) return py::none();
  return py::int_(*dim);
}

py::list sequence_copy(py::handle seq) {
  PyObject* copy = PySequence_List(seq.ptr());
  if (copy == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(copy);
}

// ---------------------------------------------------------------- graph types

bool is_node_info(py::handle arg) { return is_instance(arg, collaborators().node_class); }

bool is_tensor_info(py::handle arg) { return is_instance(arg, collaborators().tensor_info_class); }

bool is_trace_tensor(py::handle arg) {
  if (is_node_info(arg)) return true;
  if (!is_tensor_info(arg)) return false;
  py::object type = arg.attr(graph_attr().type);
  const int equal = PyObject_RichCompareBool(type.ptr(), collaborators().trace_tensor.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal != 0;
}

std::optional<Shape> get_shape(py::handle arg) {
  py::object shape;
  if (is_node_info(arg)) {
    shape = arg.attr(graph_attr().result_shape);
    // A tuple-valued node whose pieces the extended rules made alike.
    if (shape.is_none()) {
      if (const Shape* piece = extended_piece_shape(arg)) return *piece;
    }
  } else if (is_tensor_info(arg)) {
    shape = arg.attr(graph_attr().shape);
  } else {
    return std::nullopt;
  }
  if (shape.is_none()) return std::nullopt;
  Shape out;
  for (py::handle item : shape) out.push_back(interop::to_int64(item, "a shape entry"));
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
  const core::CauseId cause = value ? core::LabelStore::kUnknownCause : state.cause_at(nullptr);
  state.store.set_flag_for_value(label, value, cause);
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
  const size_t known = state.store.label_count();
  for (Label label : label_group) ids->push_back(state.store.intern(label));
  ids->shrink_to_fit();
  // Every label new: the node makes its own channels (a layer), it does not
  // pass its inputs' on.
  const bool fresh = !ids->empty() && state.store.label_count() - known == ids->size();
  const size_t paired = std::min(ids->size(), is_prunable.size());
  const bool marks = std::find(is_prunable.begin(), is_prunable.begin() + paired, false) !=
                     is_prunable.begin() + paired;
  const core::CauseId cause = marks ? state.cause_at(node.ptr()) : core::LabelStore::kUnknownCause;
  if (fresh) state.reserve_fresh();
  const core::NodeId id = state.record(node, std::move(ids), prune_dimension, is_prunable, cause);
  if (fresh) state.note_fresh(id);
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
  if (length > core::LabelStore::kMaxIds) {
    PyErr_Format(PyExc_OverflowError,
                 "a result with %lld channels along prune_dimension %lld is more than the "
                 "engine can label (at most %lld)",
                 static_cast<long long>(length), static_cast<long long>(prune_dimension),
                 static_cast<long long>(core::LabelStore::kMaxIds));
    throw py::error_already_set();
  }
  // Allocate before the counter moves: a failed allocation leaves it as it was.
  Labels labels(static_cast<size_t>(length));
  const int64_t start = state.store.take_labels(length);
  for (int64_t i = 0; i < length; ++i) labels[static_cast<size_t>(i)] = start + i;
  return labels;
}

void record_with_current_flags(ParserState& state, py::handle node, const Labels& label_group,
                               PruneDim prune_dimension) {
  add_node_output_channel_info(state, node, label_group, prunability_of(state, label_group),
                               prune_dimension);
}

Labels generate_new_channel_labels(ParserState& state, py::handle node, PruneDim prune_dimension) {
  if (!prune_dimension) raise_engine_error("prune_dimension is expected to be an integer value");
  py::object shape_obj = node.attr(graph_attr().result_shape);
  if (shape_obj.is_none()) raise_engine_error("node has no result shape");
  Shape shape;
  for (py::handle item : shape_obj) shape.push_back(interop::to_int64(item, "a shape entry"));
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
  // Every label needs a flag to be passed on; check all before recording.
  for (core::LabelId id : *ids) {
    const core::LabelId root = store.find(id);
    if (!store.has_flag(root)) throw py::key_error(std::to_string(store.value_of_root(root)));
  }
  state.record_kept(node, std::move(ids), store.node_dim(src));
}

void mark_node_inputs_as_non_prunable(ParserState& state, py::handle node) {
  py::object inputs = node.attr(graph_attr().collect_all_input_nodes)();
  core::CauseId cause = core::LabelStore::kPrunable;  // made at the first labelled input
  for (py::handle input : inputs) {
    const core::NodeId id = state.lookup(input);
    if (id == ParserState::kNoNode) continue;
    if (cause == core::LabelStore::kPrunable) cause = state.cause_at(node.ptr());
    state.store.mark_unprunable(id, cause);
  }
}

Label merge_labels(ParserState& state, const Labels& labels) {
  if (labels.empty()) raise_engine_error("Attempting to merge an empty list of labels");
  MergePlan plan(1);
  plan.add_position(state.store, labels.size(), [&](size_t g) { return labels[g]; });
  const core::LabelId root = plan.merge(state.store, 0);
  return root == core::LabelStore::kNoLabel ? plan.first[0] : state.store.value_of_root(root);
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
  MergePlan plan(width);
  for (size_t i = 0; i < width; ++i) {
    plan.add_position(state.store, label_groups.size(),
                      [&](size_t g) { return label_groups[g][i]; });
  }
  std::vector<core::LabelId> roots(width);
  for (size_t i = 0; i < width; ++i) roots[i] = plan.merge(state.store, i);
  // A later position may absorb an earlier survivor, so survivors are read
  // only once every position is merged.
  Labels survivors(width);
  for (size_t i = 0; i < width; ++i) {
    survivors[i] = roots[i] == core::LabelStore::kNoLabel
                       ? plan.first[i]
                       : state.store.value_of_root(state.store.find(roots[i]));
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
