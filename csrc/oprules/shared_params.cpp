// Parameters read by more than one call: a module called twice (shared
// weights, a block reused in a loop, a siamese branch). Its channels cannot
// be cut two ways, so after the walk the channels that each call ties to the
// same axis of the same parameter are merged position by position, and made
// unprunable where the calls disagree on them (different widths, or a call
// whose channels along that axis carry no labels).
#include "interop/pybind.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/provenance.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tavrix::oprules {

namespace {

// The products the extended rules read (x @ self.weight.T), handed over by the
// module that defines those rules (configure(matmuls=...)): the engine imports
// no rule set. Never freed, like every object kept for the process.
py::tuple& extended_matmuls() {
  static auto* held = new py::tuple();
  return *held;
}

}  // namespace

py::tuple checked_matmuls(py::handle matmuls) {
  py::tuple products(py::reinterpret_borrow<py::object>(matmuls));
  for (py::handle op : products) {
    if (!PyCallable_Check(op.ptr())) {
      throw py::type_error("configure: matmuls holds a non-callable " + interop::repr(op));
    }
  }
  return products;
}

void hand_matmuls(py::tuple products) { extended_matmuls() = std::move(products); }

namespace {

const Rule kRuleSharedLayer("layer called more than once, its calls disagree on these channels");

struct TiedOps {
  py::tuple convs;  // plain and transposed; each ties weight and bias
  py::object linear;
  py::tuple embeddings;  // F.embedding and torch.embedding (extended rules)
  py::object batch_norm;
  py::object parameter_type;
  py::str tensor_uid;  // the attributes, interned
  py::str view_of;
  py::str view_transposed;
};

const TiedOps& tied_ops() {
  return interop::cached([] {
    py::module_ f = py::module_::import("torch.nn.functional");
    py::tuple convs = py::make_tuple(f.attr("conv1d"), f.attr("conv2d"), f.attr("conv3d"),
                                     f.attr("conv_transpose1d"), f.attr("conv_transpose2d"),
                                     f.attr("conv_transpose3d"));
    py::tuple embeddings =
        py::make_tuple(f.attr("embedding"), py::module_::import("torch").attr("embedding"));
    return TiedOps{convs,
                   f.attr("linear"),
                   embeddings,
                   f.attr("batch_norm"),
                   py::module_::import("torch.nn").attr("Parameter"),
                   interop::interned("tensor_uid"),
                   interop::interned("view_of"),
                   interop::interned("view_transposed")};
  });
}

bool is_conv(py::handle operation) {
  for (py::handle op : tied_ops().convs) {
    if (operation.is(op)) return true;
  }
  return false;
}

// Arguments that are certainly no TensorInfo, told apart without a call
// into Python: most arguments are nodes and plain numbers.
bool plainly_not_a_tensor(PyObject* raw) {
  return raw == Py_None || PyLong_CheckExact(raw) || PyFloat_CheckExact(raw) || PyBool_Check(raw) ||
         PyUnicode_CheckExact(raw) ||
         Py_TYPE(raw) == reinterpret_cast<PyTypeObject*>(collaborators().node_class.ptr());
}

// A TensorInfo that stands for a parameter (any tensor the model holds when
// `any_tensor`: batch norm's running statistics are buffers). Its uid, or a
// null object.
py::object tensor_uid(py::handle value, bool any_tensor) {
  if (plainly_not_a_tensor(value.ptr()) || !is_tensor_info(value)) return py::object();
  if (!any_tensor) {
    py::object type = value.attr(graph_attr().type);
    if (!type.is(tied_ops().parameter_type)) {
      const int sub = PyObject_IsSubclass(type.ptr(), tied_ops().parameter_type.ptr());
      if (sub < 0) throw py::error_already_set();
      if (sub == 0) return py::object();
    }
  }
  return value.attr(tied_ops().tensor_uid);
}

// A TensorInfo that stands for a parameter's transpose (`self.weight.T`): the
// parameter's uid, or a null object.
py::object transposed_parameter_uid(py::handle value) {
  if (plainly_not_a_tensor(value.ptr()) || !is_tensor_info(value)) return py::object();
  py::object flag = value.attr(tied_ops().view_transposed);
  const int transposed = PyObject_IsTrue(flag.ptr());
  if (transposed < 0) throw py::error_already_set();
  if (transposed == 0) return py::object();
  py::object uid = value.attr(tied_ops().view_of);
  return uid.is_none() ? py::object() : uid;
}

bool is_extended_matmul(py::handle operation, bool extended) {
  if (!extended) return false;
  // copied: the loop compares by identity only, but configure may run meanwhile
  const py::tuple matmuls = extended_matmuls();
  for (py::handle op : matmuls) {
    if (operation.is(op)) return true;
  }
  return false;
}

// One call's channels that stand for an axis of a parameter: the labels of
// `carrier` (a node, or the input a layer reads). A loose use (an operation
// that merely reads the parameter) ties nothing when it carries no channels.
struct Use {
  py::object carrier;
  bool loose;
  py::object reader;  // the node that read the parameter
};

// The axis of a parameter that a call's channels stand for.
enum Axis { kOutputs = 0, kInputs = 1 };

uintptr_t uid_value(py::handle uid) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(uid.ptr());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    throw py::error_already_set();
  }
  return static_cast<uintptr_t>(value);
}

// Calls visit(uid, axis, carrier, loose) for every parameter the node reads.
// Under the extended rules an embedding's output channels are its weight's
// columns, the axis a linear layer's inputs stand for (a language model's head
// tied to its token embeddings).
bool is_extended_embedding(py::handle operation, bool extended) {
  if (!extended) return false;
  for (py::handle op : tied_ops().embeddings) {
    if (operation.is(op)) return true;
  }
  return false;
}

template <typename Visit>
void for_each_use(py::handle node, bool extended, Visit&& visit) {
  py::object operation = node.attr(graph_attr().operation);
  py::object args = node.attr(graph_attr().args);
  py::object kwargs = node.attr(graph_attr().kwargs);
  const TiedOps& ops = tied_ops();

  if (is_extended_embedding(operation, extended)) {
    py::object weight = tensor_uid(interop::get_argument(args, kwargs, 1, "weight"), false);
    if (weight) visit(weight, kInputs, node, false);
    return;
  }

  if (is_extended_matmul(operation, extended)) {
    // x @ self.weight.T is a linear layer with that weight: its outputs stand for the
    // weight's rows, x's channels for its columns (the weight shared with F.linear, or
    // read twice, is cut one way)
    py::object weight =
        transposed_parameter_uid(interop::get_argument(args, kwargs, 1, "other", py::none()));
    if (weight) {
      visit(weight, kOutputs, node, false);
      visit(weight, kInputs, interop::get_argument(args, kwargs, 0, "input", py::none()), false);
    }
  }

  if (is_conv(operation) || operation.is(ops.linear)) {
    py::object weight = tensor_uid(interop::get_argument(args, kwargs, 1, "weight"), false);
    py::object bias = tensor_uid(interop::get_argument(args, kwargs, 2, "bias", py::none()), false);
    if (bias) visit(bias, kOutputs, node, false);
    if (!weight) return;
    visit(weight, kOutputs, node, false);
    // A grouped or depthwise convolution's inputs are tied through its outputs.
    py::object groups = operation.is(ops.linear)
                            ? py::object(py::int_(1))
                            : interop::get_argument(args, kwargs, 6, "groups", py::int_(1));
    if (py::isinstance<py::int_>(groups) && groups.cast<int64_t>() == 1) {
      visit(weight, kInputs, interop::get_argument(args, kwargs, 0, "input"), false);
    }
    return;
  }
  if (operation.is(ops.batch_norm)) {
    // Statistics, weight and bias: one entry per channel of the input (and output).
    const char* names[] = {"running_mean", "running_var", "weight", "bias"};
    for (int i = 0; i < 4; ++i) {
      py::object value = interop::get_argument(args, kwargs, i + 1, names[i], py::none());
      py::object uid = tensor_uid(value, true);
      if (uid) visit(uid, kOutputs, node, false);
    }
    return;
  }
  // Any other operation reading a parameter (a learnt scale, a norm's weight):
  // its channels stand for the parameter's when it carries any. Reads that
  // carry none (a regulariser's sum of a weight) tie nothing.
  auto loose = [&](py::handle value) {
    py::object uid = tensor_uid(value, false);
    if (uid) visit(uid, kOutputs, node, true);
  };
  auto each = [&](py::handle value) {
    if (PyList_CheckExact(value.ptr()) || PyTuple_CheckExact(value.ptr())) {
      for (py::handle item : py::reinterpret_borrow<py::object>(value)) loose(item);
    } else {
      loose(value);
    }
  };
  for (py::handle value : py::tuple(args)) each(value);
  if (PyDict_Check(kwargs.ptr())) {
    // Keywords are mostly flags (inplace=False): nothing to look at.
    bool plain = true;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (plain && PyDict_Next(kwargs.ptr(), &pos, &key, &value)) {
      plain = plainly_not_a_tensor(value);
    }
    if (plain) return;
    // a copy: the checks below may run the model's own code
    auto values = py::reinterpret_steal<py::list>(PyDict_Values(kwargs.ptr()));
    if (!values) throw py::error_already_set();
    for (py::handle value : values) each(value);
  } else if (!kwargs.is_none()) {
    for (py::handle value : py::list(kwargs.attr("values")())) each(value);
  }
}

// Resolves the labels of one axis's uses and ties them.
void tie(ParserState& state, const std::vector<Use>& axis) {
  std::vector<Labels> calls;
  std::vector<const Use*> callers;
  for (const Use& use : axis) {
    Labels labels = get_labels(state, use.carrier);
    if (!labels.empty() || !use.loose) {
      calls.push_back(std::move(labels));
      callers.push_back(&use);
    }
  }
  if (calls.size() < 2) return;
  bool same_width = !calls[0].empty();
  for (const Labels& labels : calls) same_width = same_width && labels.size() == calls[0].size();
  // The carriers the tie links, for explanations.
  const ParserState::Tie first{state.lookup(callers[0]->carrier), ParserState::kNoNode,
                               state.lookup(callers[0]->reader), ParserState::kNoNode};
  for (size_t i = 1; i < callers.size(); ++i) {
    ParserState::Tie tie = first;
    tie.carrier_b = state.lookup(callers[i]->carrier);
    tie.reader_b = state.lookup(callers[i]->reader);
    if (tie.carrier_a != ParserState::kNoNode && tie.carrier_b != ParserState::kNoNode &&
        tie.reader_a != ParserState::kNoNode && tie.reader_b != ParserState::kNoNode) {
      state.note_tie(tie);
    }
  }
  if (same_width) {
    merge_label_groups(state, calls);
    return;
  }
  // Named after the first call that differs from the first one.
  size_t differing = 1;
  while (differing + 1 < calls.size() && !calls[0].empty() &&
         calls[differing].size() == calls[0].size()) {
    ++differing;
  }
  HandlerScope scope(state, callers[differing]->reader, kRuleSharedLayer.id(), false);
  for (const Labels& labels : calls) {
    for (Label label : labels) set_label_prunable(state, label, false);
  }
}

}  // namespace

void tie_shared_parameters(ParserState& state, py::handle graph, bool extended) {
  py::list nodes(py::reinterpret_borrow<py::object>(graph));  // a copy to iterate
  const py::str metadata_get("__get__");
  std::vector<py::handle> readers;  // nodes that read a parameter
  std::vector<uintptr_t> read;      // the parameters they read, once per call
  for (py::handle node : nodes) {
    if (!is_node_info(node)) continue;
    // Reading a parameter's shape is not using its channels.
    if (metadata_get.equal(node.attr(graph_attr().operation_name))) continue;
    const size_t before = read.size();
    const bool embedding = is_extended_embedding(node.attr(graph_attr().operation), extended);
    for_each_use(node, extended, [&](py::handle uid, Axis axis, py::handle, bool) {
      if (axis == kOutputs || embedding) read.push_back(uid_value(uid));
    });
    if (read.size() > before) readers.push_back(node);
  }
  std::sort(read.begin(), read.end());
  std::unordered_set<uintptr_t> read_twice;
  for (size_t i = 1; i < read.size(); ++i) {
    if (read[i] == read[i - 1]) read_twice.insert(read[i]);
  }
  if (read_twice.empty()) return;
  // Most models read every parameter once: nothing more to do.
  std::unordered_map<uintptr_t, std::array<std::vector<Use>, 2>> shared;
  std::vector<uintptr_t> order;  // first read first, so that merges are repeatable
  for (py::handle node : readers) {
    for_each_use(node, extended, [&](py::handle uid, Axis axis, py::handle carrier, bool loose) {
      const uintptr_t key = uid_value(uid);
      if (read_twice.count(key) == 0) return;
      auto [slot, added] = shared.try_emplace(key);
      if (added) order.push_back(key);
      slot->second[axis].push_back(Use{py::reinterpret_borrow<py::object>(carrier), loose,
                                       py::reinterpret_borrow<py::object>(node)});
    });
  }
  for (uintptr_t key : order) {
    for (const std::vector<Use>& axis : shared[key]) {
      if (axis.size() >= 2) tie(state, axis);
    }
  }
}

void register_shared_params(py::module_& m) {
  m.def(
      "_tie_shared_parameters",
      [](ParserState& pruning_state, py::handle graph, bool extended) {
        tie_shared_parameters(pruning_state, graph, extended);
      },
      py::arg("pruning_state"), py::arg("graph"), py::arg("extended") = false,
      "After the walk: merges, position by position, the channels that the calls of one\n"
      "parameter tie to the same axis of it (a module called twice), or makes them\n"
      "unprunable where the calls disagree. extended: the extended rules' ties (an\n"
      "embedding's columns with a linear layer's inputs).");
}

}  // namespace tavrix::oprules
