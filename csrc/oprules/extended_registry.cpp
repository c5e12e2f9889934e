// The extended rule set's registry and walk. EXTENDED_NODE_HANDLER_REGISTRY
// holds only what the extended rules add or replace; every other operation is
// dispatched through the standard registry, so the standard rules stay one
// place and the extended set is the standard one plus these handlers.
#include "interop/pybind.hpp"

#include "oprules/extended.hpp"
#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tavrix::oprules {

namespace {

thread_local ExtendedWalk* current_walk = nullptr;

// Makes `walk` the thread's extended walk for as long as it lives; nested
// walks (a handler that analyses another model) restore the outer one.
class WalkScope {
 public:
  explicit WalkScope(ExtendedWalk* walk) : previous_(current_walk) { current_walk = walk; }
  ~WalkScope() { current_walk = previous_; }
  WalkScope(const WalkScope&) = delete;
  WalkScope& operator=(const WalkScope&) = delete;

 private:
  ExtendedWalk* previous_;
};

// An option as the position of its value among the allowed ones (the enum's
// order): the rule set checked the value itself.
template <typename Option>
Option option_at(int64_t position, int64_t count, const char* name) {
  if (position < 0 || position >= count) {
    throw py::value_error(std::string(name) + ": no option at position " +
                          std::to_string(position));
  }
  return static_cast<Option>(position);
}

struct MetadataOps {
  py::object size, numel, nelement, shape_get;
};

const MetadataOps& metadata_ops() {
  return interop::cached([] {
    py::object tensor = py::module_::import("torch").attr("Tensor");
    // x.shape arrives as the descriptor's __get__, a new object on every read
    // that compares equal to this one
    return MetadataOps{tensor.attr("size"), tensor.attr("numel"), tensor.attr("nelement"),
                       tensor.attr("shape").attr("__get__")};
  });
}

enum class CountRead { None, All, Axis };

// Whether a metadata read (x.shape, x.size(), x.numel()) hands the count of
// the channels of its tensor to the code: all axes, one axis (x.size(d)), or none.
CountRead count_read_of(py::handle operation) {
  const MetadataOps& ops = metadata_ops();
  if (operation.is(ops.numel) || operation.is(ops.nelement)) return CountRead::All;
  if (operation.is(ops.size)) return CountRead::Axis;
  const int shape = PyObject_RichCompareBool(operation.ptr(), ops.shape_get.ptr(), Py_EQ);
  if (shape < 0) throw py::error_already_set();
  return shape != 0 ? CountRead::All : CountRead::None;
}

// Like the standard metadata-read handler (no channels, the source left
// alone), and notes a read of a labelled tensor's channel count.
void metadata_read_node_handler(ParserState& state, py::handle node) {
  ExtendedWalk* walk = extended_walk();
  const CountRead read =
      walk != nullptr ? count_read_of(node.attr(graph_attr().operation)) : CountRead::None;
  py::object args = node.attr(graph_attr().args);
  if (read != CountRead::None && PyTuple_Check(args.ptr()) && PyTuple_GET_SIZE(args.ptr()) > 0) {
    py::object source = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args.ptr(), 0));
    PruneDim pd = get_prune_dimension(state, source);
    std::optional<Shape> shape = pd ? get_shape(source) : std::nullopt;
    bool counts = shape.has_value();
    if (counts && read == CountRead::Axis) {
      const auto rank = static_cast<int64_t>(shape->size());
      py::object axis =
          interop::get_argument(args, node.attr(graph_attr().kwargs), 1, "dim", py::none());
      if (PyLong_Check(axis.ptr())) {
        std::optional<int64_t> at = normalised_axis(interop::to_int64(axis, "size dim"), rank);
        counts = at == normalised_axis(*pd, rank);
      }
    }
    if (counts) {
      walk->counted.push_back(source);
      walk->counted_at.push_back(py::reinterpret_borrow<py::object>(node));
    }
  }
  add_node_output_channel_info(state, node, Labels{}, false, std::nullopt);
}

// A channel count the code reads off a tensor may shape another tensor (Swin's
// attention splits q, k and v into heads by its input's width): the channels
// of a tensor whose count is read are pinned, unless the code reshapes that
// very tensor, which is what such reads are mostly for (a channel shuffle).
// The labelled reshapes of a walk: their input's channels and the module call making them.
struct Reshape {
  py::object node;
  py::object input;
  Labels labels;
  py::object module_path;
  bool stale = false;  // labels merged since `labels` was read: read them again
};

// The reshape's input labels as they are now.
const Labels& current_labels(ParserState& state, Reshape& reshape) {
  if (reshape.stale) {
    reshape.labels = get_labels(state, reshape.input);
    reshape.stale = false;
  }
  return reshape.labels;
}

// Whether the reshape's input carries exactly `labels` (a merge keeps a list's length).
bool reshapes_labels(ParserState& state, Reshape& reshape, const Labels& labels) {
  return reshape.labels.size() == labels.size() && current_labels(state, reshape) == labels;
}

// A count read off `source` sizes a reshape of the same channels (the stream read at a
// model's start, reshaped at its end) when one is reshaped and the module call that reads
// reshapes no tensor with other channels (Swin's attention reads the stream's width to
// split q, k and v into heads: pinned).
bool same_channels_reshaped(ParserState& state, std::vector<Reshape>& reshapes, py::handle source,
                            py::handle read) {
  const Labels labels = get_labels(state, source);
  if (labels.empty()) return false;
  py::object where = py::getattr(read, "module_path", py::none());
  if (where.is_none()) return false;
  bool same = false;
  for (Reshape& reshape : reshapes) {
    if (reshapes_labels(state, reshape, labels)) {
      same = true;
      continue;
    }
    const int equal = PyObject_RichCompareBool(reshape.module_path.ptr(), where.ptr(), Py_EQ);
    if (equal < 0) throw py::error_already_set();
    if (equal != 0) return false;
  }
  return same;
}

bool same_call(py::handle a, py::handle b) {
  if (a.is_none() || b.is_none()) return false;
  const int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal != 0;
}

using HeadDimProducts = std::vector<std::pair<py::object, int32_t>>;

// Whether the module call `where` makes a product over head_dim positions.
bool makes_head_dim_product(const HeadDimProducts& products, py::handle where) {
  for (const auto& product : products) {
    if (same_call(py::getattr(product.first, "module_path", py::none()), where)) return true;
  }
  return false;
}

// The graph's nodes by the module call running them, read from the graph at the first ask.
class CallNodes {
 public:
  explicit CallNodes(py::handle graph) : graph_(graph) {}

  const std::vector<py::object>& of(py::handle where) {
    if (!read_) {
      read_ = true;
      for (py::handle node : sequence_copy(graph_)) {
        py::object path = py::getattr(node, "module_path", py::none());
        if (PyUnicode_Check(path.ptr())) {
          by_call_[interop::str(path)].push_back(py::reinterpret_borrow<py::object>(node));
        }
      }
    }
    static const std::vector<py::object> kNone;
    if (!PyUnicode_Check(where.ptr())) return kNone;
    auto found = by_call_.find(interop::str(where));
    return found == by_call_.end() ? kNone : found->second;
  }

 private:
  py::handle graph_;
  bool read_ = false;
  std::unordered_map<std::string, std::vector<py::object>> by_call_;
};

// Whether an argument (ints in nested tuples, lists and slices) holds one of `sizes`.
bool holds_size(py::handle value, const std::unordered_set<int64_t>& sizes, int depth = 0) {
  PyObject* object = value.ptr();
  if (depth > 8) return false;
  if (PyLong_CheckExact(object)) {
    int overflow = 0;
    const long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (number == -1 && PyErr_Occurred()) throw py::error_already_set();
    return overflow == 0 && sizes.count(static_cast<int64_t>(number)) != 0;
  }
  if (PyTuple_Check(object) || PyList_Check(object)) {
    for (py::handle item : sequence_copy(value)) {
      if (holds_size(item, sizes, depth + 1)) return true;
    }
    return false;
  }
  if (PySlice_Check(object)) {
    for (const char* part : {"start", "stop", "step"}) {
      if (holds_size(value.attr(part), sizes, depth + 1)) return true;
    }
  }
  return false;
}

// The entry of an index (`x[...]`) that selects along `axis` of a rank-`rank` tensor, or
// None when the index is not a plain tuple of entries.
py::object index_entry(py::handle index, int64_t axis, int64_t rank) {
  if (!PyTuple_Check(index.ptr()))
    return axis == 0 ? py::reinterpret_borrow<py::object>(index) : py::none();
  py::list entries = sequence_copy(index);
  const auto n = static_cast<int64_t>(entries.size());
  int64_t ellipsis = -1, selecting = 0;
  for (int64_t i = 0; i < n; ++i) {
    PyObject* entry = entries[static_cast<size_t>(i)].ptr();
    if (entry == Py_Ellipsis) {
      if (ellipsis >= 0) return py::none();
      ellipsis = i;
    } else if (entry != Py_None) {
      ++selecting;  // None adds an axis and selects none
    }
  }
  // the entry's position among those that select an axis of the tensor
  int64_t seen = 0;
  for (int64_t i = 0; i < n; ++i) {
    py::handle entry = entries[static_cast<size_t>(i)];
    if (entry.ptr() == Py_None) continue;
    if (entry.ptr() == Py_Ellipsis) {
      seen += rank - selecting;
      continue;
    }
    if (seen == axis) return py::reinterpret_borrow<py::object>(entry);
    ++seen;
  }
  return py::none();
}

// Whether an index of the call's channels takes the count or head_dim as a number
// (`y[..., : C // 2]`): such a bound may be made from the read count and would follow a cut
// the slicing rule takes as fixed.
bool count_sizes_more(ParserState& state, const std::vector<py::object>& nodes,
                      const std::unordered_set<int64_t>& sizes) {
  for (const py::object& node : nodes) {
    if (interop::str(node.attr(graph_attr().operation_name)) != "__getitem__") continue;
    py::object args = node.attr(graph_attr().args);
    if (!PyTuple_Check(args.ptr()) || PyTuple_GET_SIZE(args.ptr()) < 2) continue;
    py::handle source = PyTuple_GET_ITEM(args.ptr(), 0);
    const PruneDim axis = get_prune_dimension(state, source);
    const std::optional<Shape> shape = axis ? get_shape(source) : std::nullopt;
    if (!shape) continue;
    const auto rank = static_cast<int64_t>(shape->size());
    const std::optional<int64_t> at = normalised_axis(*axis, rank);
    if (at && holds_size(index_entry(PyTuple_GET_ITEM(args.ptr(), 1), *at, rank), sizes)) {
      return true;
    }
  }
  return false;
}

// A count read in a module call whose attention runs over head_dim positions (Swin:
// `B, H, W, C = x.shape`, q, k and v split into heads of C // num_heads). The count sizes the
// tensors the call reshapes: position i of the read channels is tied to position i of every
// C-wide piece of each of them (q, k and v of a packed projection), and a reshape of fewer
// channels (the heads merged back) must then hold only channels tied to the read ones. With
// the heads' positions tied already, any cut keeps C // num_heads whole and every reshape in
// step, so neither the read nor the call's products over head_dim are barriers, unless the
// call also indexes channels by the count or head_dim. Makes the ties and returns true, or
// changes nothing and returns false.
bool tie_count_to_heads(ParserState& state, const HeadDimProducts& products, CallNodes& calls,
                        std::vector<Reshape>& reshapes, py::handle source, py::handle read) {
  py::object where = py::getattr(read, "module_path", py::none());
  if (where.is_none() || !makes_head_dim_product(products, where)) return false;
  const Labels counted = get_labels(state, source);
  const size_t width = counted.size();
  if (width == 0) return false;
  std::vector<const Labels*> packed, merged;
  std::unordered_set<int64_t> sizes{static_cast<int64_t>(width)};  // the count, head_dim
  for (Reshape& reshape : reshapes) {
    if (!same_call(reshape.module_path, where) || reshapes_labels(state, reshape, counted)) {
      continue;
    }
    const Labels& labels = current_labels(state, reshape);
    const bool is_packed = labels.size() % width == 0;
    (is_packed ? packed : merged).push_back(&labels);
    const PruneDim axis = is_packed ? get_prune_dimension(state, reshape.node) : std::nullopt;
    const std::optional<Shape> shape = axis ? get_shape(reshape.node) : std::nullopt;
    if (shape) {
      const auto at = normalised_axis(*axis, static_cast<int64_t>(shape->size()));
      if (at) sizes.insert((*shape)[static_cast<size_t>(*at)]);
    }
  }
  if (packed.empty()) return false;
  // labels are read resolved: one value per class, so a class the ties join to the read
  // channels is one whose value is among theirs or the packed tensors'
  std::unordered_set<Label> tied(counted.begin(), counted.end());
  for (const Labels* labels : packed) tied.insert(labels->begin(), labels->end());
  for (const Labels* labels : merged) {
    for (Label label : *labels) {
      if (tied.count(label) == 0) return false;
    }
  }
  if (count_sizes_more(state, calls.of(where), sizes)) return false;
  std::vector<Labels> pieces{counted};
  for (const Labels* labels : packed) {
    for (size_t at = 0; at < labels->size(); at += width) {
      pieces.emplace_back(labels->begin() + static_cast<std::ptrdiff_t>(at),
                          labels->begin() + static_cast<std::ptrdiff_t>(at + width));
    }
  }
  merge_label_groups(state, pieces);
  return true;
}

// The products over head_dim of the calls not found to size their heads by a count read
// are barriers, with their handler's rule, as if marked when they were handled.
void pin_head_dim_products(ParserState& state, const HeadDimProducts& products,
                           const std::vector<py::object>& sized_calls) {
  for (const auto& [node, rule] : products) {
    py::object where = py::getattr(node, "module_path", py::none());
    bool sized = false;
    for (const py::object& call : sized_calls) sized = sized || same_call(call, where);
    if (sized) continue;
    const ParserState::Context saved = state.context;
    state.context.node = node.ptr();
    state.context.rule = rule;
    try {
      mark_node_inputs_as_non_prunable(state, node);
    } catch (...) {
      state.context = saved;
      throw;
    }
    state.context = saved;
  }
}

void pin_counted_channels(ParserState& state, const ExtendedWalk& walk, py::handle graph) {
  static const Rule kRuleCountRead("channel count read by the code (extended rules)");
  RuleScope scope(state, kRuleCountRead);
  // copied: the checks below call into Python, which could note more products
  const HeadDimProducts products = walk.head_dim_products;
  CallNodes calls(graph);
  const Labels widths = survivors(state, walk.attention_widths);
  const std::unordered_set<Label> width_set(widths.begin(), widths.end());
  std::vector<Reshape> reshapes;
  std::vector<py::object> sized_calls;  // calls whose heads a count read sizes
  if (!walk.counted.empty()) {
    for (const auto& [input, node] : walk.reshapes) {
      Labels labels = get_labels(state, input);
      if (!labels.empty()) {
        reshapes.push_back(
            {node, input, std::move(labels), py::getattr(node, "module_path", py::none())});
      }
    }
  }
  for (size_t i = 0; i < walk.counted.size(); ++i) {
    const py::object& source = walk.counted[i];
    bool reshaped = false;
    for (const py::object& other : walk.reshaped) reshaped = reshaped || other.is(source);
    if (reshaped) continue;
    if (same_channels_reshaped(state, reshapes, source, walk.counted_at[i])) continue;
    if (!width_set.empty()) {
      const Labels labels = get_labels(state, source);
      bool attention_width = !labels.empty();
      for (Label label : labels) attention_width = attention_width && width_set.count(label) != 0;
      if (attention_width) continue;
    }
    if (tie_count_to_heads(state, products, calls, reshapes, source, walk.counted_at[i])) {
      sized_calls.push_back(py::getattr(walk.counted_at[i], "module_path", py::none()));
      for (Reshape& reshape : reshapes) reshape.stale = true;
      continue;
    }
    bool unused = false;
    for (const py::object& read : walk.unused_reads) unused = unused || read.is(walk.counted_at[i]);
    if (unused) continue;
    const core::NodeId id = state.lookup(source);
    // the cause names the read (walk.counted_at holds the node for the call)
    if (id != ParserState::kNoNode) {
      state.store.mark_unprunable(id, state.cause_at(walk.counted_at[i].ptr()));
    }
  }
  pin_head_dim_products(state, products, sized_calls);
}

void walk_extended(py::handle pruning_state, py::handle graph, py::handle overrides, int64_t split,
                   int64_t grouped_conv, py::handle outer_splits) {
  ExtendedWalk walk;
  walk.options.split = option_at<SplitAxis>(split, 3, "split");
  walk.options.grouped_conv = option_at<GroupedConv>(grouped_conv, 3, "grouped_conv");
  if (!outer_splits.is_none()) {
    for (py::handle node : py::list(py::reinterpret_borrow<py::object>(outer_splits))) {
      walk.outer_splits.push_back(py::reinterpret_borrow<py::object>(node));
    }
  }
  if (py::isinstance<ParserState>(pruning_state)) walk.state = &pruning_state.cast<ParserState&>();
  WalkScope scope(&walk);
  walk_nodes(pruning_state, graph, overrides);
  if (walk.state != nullptr) pin_counted_channels(*walk.state, walk, graph);
}

}  // namespace

ExtendedWalk* extended_walk() { return current_walk; }

void define_extended_handler(py::module_& m, const char* name, NativeHandler handler,
                             const char* doc) {
  define_handler(m, name, handler, extended_rule(name), doc, false);
}

Rule extended_rule(const char* handler_name) {
  std::string text(handler_name);
  if (!text.empty() && text.front() == '_') text.erase(0, 1);
  const std::string suffix = "_node_handler";
  if (text.size() > suffix.size() &&
      text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0) {
    text.erase(text.size() - suffix.size());
  }
  for (char& c : text) {
    if (c == '_') c = ' ';
  }
  text += " (extended rules)";
  return Rule(text.c_str());
}

const ExtendedOptions& extended_options() {
  static const ExtendedOptions defaults;
  return current_walk != nullptr ? current_walk->options : defaults;
}

SplitAxis split_for(py::handle node) {
  if (current_walk == nullptr) return extended_options().split;
  for (const py::object& forced : current_walk->outer_splits) {
    if (forced.is(node)) return SplitAxis::Outer;
  }
  return current_walk->options.split;
}

const Shape* extended_piece_shape(py::handle node) {
  if (current_walk == nullptr || current_walk->state == nullptr) return nullptr;
  return current_walk->state->piece_of(node);
}

std::optional<int64_t> normalised_axis(int64_t axis, int64_t rank) {
  const int64_t out = axis < 0 ? axis + rank : axis;
  if (out < 0 || out >= rank) return std::nullopt;
  return out;
}

void note_reshape(py::handle source, py::handle node) {
  if (current_walk != nullptr) {
    current_walk->reshapes.emplace_back(py::reinterpret_borrow<py::object>(source),
                                        py::reinterpret_borrow<py::object>(node));
  }
}

void note_reshaped(py::handle source) {
  if (current_walk != nullptr) {
    current_walk->reshaped.push_back(py::reinterpret_borrow<py::object>(source));
  }
}

void record_without_channels(ParserState& state, py::handle node) {
  add_node_output_channel_info(state, node, Labels{}, false, std::nullopt);
}

Labels survivors(ParserState& state, const Labels& labels) {
  Labels out;
  out.reserve(labels.size());
  for (Label label : labels) {
    const core::LabelId root = state.store.resolve(label);
    out.push_back(root == core::LabelStore::kNoLabel ? label : state.store.value_of_root(root));
  }
  return out;
}

void register_extended(py::module_& m) {
  py::dict registry;
  m.attr("EXTENDED_NODE_HANDLER_REGISTRY") = registry;
  m.def(
      "_register_extended_node_handler",
      [registry](py::object nodes) { return node_handler_decorator(registry, nodes); },
      py::arg("nodes"),
      "Decorator registering a handler of the extended rule set for one operation or a "
      "list/tuple of operations.");
  m.def(
      "_walk_extended",
      [](py::handle pruning_state, py::handle graph, py::handle overrides, int64_t split,
         int64_t grouped_conv, py::handle outer_splits) {
        walk_extended(pruning_state, graph, overrides, split, grouped_conv, outer_splits);
      },
      py::arg("pruning_state"), py::arg("graph"), py::arg("overrides"), py::arg("split") = 0,
      py::arg("grouped_conv") = 0, py::arg("outer_splits") = py::none(),
      "Walks graph with the handlers of overrides in front of the standard registry and the\n"
      "extended rules' options, each the position of its value in the rule set's allowed ones;\n"
      "the reshape nodes of outer_splits split into whole heads.");

  m.def(
      "_note_count_read_for", [](py::handle source) { note_reshaped(source); }, py::arg("source"),
      "Extended rules: reads of source's channel count are taken to be for an operation that\n"
      "follows the channels (a reshape, an expand of a class token to the batch), so they do\n"
      "not pin them.");
  m.def(
      "_note_head_dim_product",
      [](ParserState& state, py::handle node) {
        if (current_walk == nullptr) {
          mark_node_inputs_as_non_prunable(state, node);
          return;
        }
        current_walk->head_dim_products.emplace_back(py::reinterpret_borrow<py::object>(node),
                                                     state.context.rule);
      },
      py::arg("pruning_state"), py::arg("node"),
      "Extended rules: a product over head_dim positions, a barrier (its inputs marked with\n"
      "the rule in force) unless its module call sizes its heads by a channel count it reads;\n"
      "decided after the walk (at once outside an extended walk).");
  m.def(
      "_note_attention_width",
      [](py::handle labels) {
        Labels found;
        for (py::handle item : sequence_copy(labels)) {
          found.push_back(interop::to_int64(item, "a label"));
        }
        if (current_walk != nullptr) {
          current_walk->attention_widths.insert(current_walk->attention_widths.end(), found.begin(),
                                                found.end());
        }
      },
      py::arg("labels"),
      "Extended rules: labels tied one to one to an attention's width; reads of a count made\n"
      "only of them do not pin the channels (a no-op outside an extended walk).");
  m.def(
      "_note_unused_count_read",
      [](py::handle node) {
        if (current_walk != nullptr) {
          current_walk->unused_reads.push_back(py::reinterpret_borrow<py::object>(node));
        }
      },
      py::arg("node"),
      "Extended rules: the metadata read node hands its channel count to a name the code never\n"
      "reads, so it pins nothing (a no-op outside an extended walk).");
  define_extended_handler(
      m, "_metadata_read_node_handler", metadata_read_node_handler,
      "Extended rules: a metadata read carries no channels; a read of a labelled tensor's\n"
      "channel count pins its channels unless the code reshapes that tensor.");
  registry["__get__"] = m.attr("_metadata_read_node_handler");
  // The operations come from the families of tavrix.pruning.ops, which file them here.
}

}  // namespace tavrix::oprules
