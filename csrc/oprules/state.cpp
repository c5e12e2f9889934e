#include "interop/pybind.hpp"

#include "oprules/channel_labels.hpp"
#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/provenance.hpp"

#include <algorithm>
#include <functional>
#include <memory>
#include <string>

namespace tavrix::oprules {

// ---------------------------------------------------------------- ParserState

core::NodeId ParserState::lookup(py::handle arg) const {
  PyObject* value = PyDict_GetItemWithError(node_ids_.ptr(), arg.ptr());
  if (value == nullptr) {
    if (PyErr_Occurred()) {
      // An unhashable argument can never be a recorded node.
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
      PyErr_Clear();
    }
    return kNoNode;
  }
  const auto id = static_cast<core::NodeId>(PyLong_AsLong(value));
  // A node claimed by a record that then failed (out of memory) has no record.
  return static_cast<size_t>(id) < store.node_count() ? id : kNoNode;
}

core::NodeId ParserState::claim(py::handle node) {
  if (claiming_) {
    raise_engine_error("A node's __hash__ cannot record nodes in the state that is hashing it");
  }
  const auto id = static_cast<core::NodeId>(store.node_count());
  py::int_ boxed(id);
  // Room first: once the node is in the dict nothing may fail.
  if (nodes_.size() == nodes_.capacity()) nodes_.reserve(2 * nodes_.size() + 16);
  // One probe both checks and inserts. It hashes the node, so an unhashable
  // node fails here, before the store changes.
  claiming_ = true;
  PyObject* held = PyDict_SetDefault(node_ids_.ptr(), node.ptr(), boxed.ptr());
  claiming_ = false;
  if (held == nullptr) throw py::error_already_set();
  if (held != boxed.ptr()) raise_engine_error("Attempting to add node which was already added");
  nodes_.push_back(py::reinterpret_borrow<py::object>(node));
  return id;
}

core::NodeId ParserState::record(py::handle node, core::LabelIdsPtr ids, core::PruneDim dim,
                                 const std::vector<bool>& flags, core::CauseId cause) {
  // The store makes room before the node is claimed, so that recording cannot
  // fail between the two.
  store.reserve_record(ids ? *ids : core::LabelIds(), true);
  const core::NodeId id = claim(node);
  store.record_node(std::move(ids), dim, flags, cause);
  return id;
}

core::NodeId ParserState::record_kept(py::handle node, core::LabelIdsPtr ids, core::PruneDim dim) {
  store.reserve_record(*ids, false);
  const core::NodeId id = claim(node);
  store.record_kept(std::move(ids), dim);
  return id;
}

int ParserState::traverse(visitproc visit, void* arg) const {
  Py_VISIT(node_ids_.ptr());
  for (const py::object& node : nodes_) Py_VISIT(node.ptr());
  for (const Origin& origin : origins_) Py_VISIT(origin.node.ptr());
  for (const Handled& handled : handled_) Py_VISIT(handled.node.ptr());
  for (const auto& piece : pieces_) Py_VISIT(piece.first.ptr());
  return 0;
}

void ParserState::clear() {
  if (node_ids_) PyDict_Clear(node_ids_.ptr());
  for (py::object& node : nodes_) node = py::none();
  for (Origin& origin : origins_) origin.node = py::none();
  for (Handled& handled : handled_) handled.node = py::none();
  for (auto& piece : pieces_) piece.first = py::none();
  // The remembered node may have been one of those just let go.
  last_node_ = nullptr;
  last_rule_ = -1;
}

// ---------------------------------------------------------------- module services

py::handle engine_logger() {
  return interop::cached([] {
    return py::module_::import("logging").attr("getLogger")("tavrix.pruning.engine.oprules");
  });
}

void raise_engine_error(const std::string& message) { throw EngineError(message); }

namespace {

const py::object& abc_module() {
  return interop::cached([] { return py::object(py::module_::import("collections.abc")); });
}

[[noreturn]] void raise_key_error(py::handle key) {
  PyErr_SetObject(PyExc_KeyError, key.ptr());
  throw py::error_already_set();
}

// A label key as the maps see it; anything that is not an int is absent.
bool label_key(py::handle key, Label& out) {
  if (!PyLong_Check(key.ptr())) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(key.ptr(), &overflow);
  if (overflow != 0) return false;
  out = value;
  return true;
}

Label label_from(py::handle item) {
  if (!PyLong_Check(item.ptr())) {
    throw py::type_error("channel labels must be integers, got " +
                         interop::str(py::type::handle_of(item).attr("__name__")));
  }
  return interop::to_int64(item, "a channel label");
}

Labels labels_from(py::handle seq) {
  Labels out;
  for (py::handle item : seq) out.push_back(label_from(item));
  return out;
}

Flags flags_from(py::handle flags) {
  if (PyBool_Check(flags.ptr())) return Flags{flags.ptr() == Py_True};
  if (!PyList_Check(flags.ptr()) && !PyTuple_Check(flags.ptr())) {
    throw py::type_error("is_prunable must be a bool or a list of bools, got " +
                         interop::str(py::type::handle_of(flags).attr("__name__")));
  }
  Flags out;
  for (py::handle item : flags) {
    const int truth = PyObject_IsTrue(item.ptr());
    if (truth < 0) throw py::error_already_set();
    out.push_back(truth != 0);
  }
  return out;
}

py::list to_list(const Labels& labels) {
  py::list out(labels.size());
  for (size_t i = 0; i < labels.size(); ++i) {
    PyObject* item = PyLong_FromLongLong(labels[i]);
    if (item == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), item);
  }
  return out;
}

// ---------------------------------------------------------------- map views

// Read-only (is_prunable: also writable) mappings over the label store. Each
// read is resolved through the union-find, so a read may build a fresh value.
enum class ViewKind { LabelsByNodes, PruneDimByNodes, NodesByLabels, IsPrunable };

struct MapView {
  py::object owner;  // keeps the state alive
  ParserState* state;
  ViewKind kind;

  ParserState& st() const { return *state; }

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(owner.ptr());
    return 0;
  }
  // The state stays alive through `state`'s owner until the view goes: the
  // view is only ever cleared while it is being collected.
  void clear() {}

  size_t size() const {
    switch (kind) {
      case ViewKind::LabelsByNodes:
      case ViewKind::PruneDimByNodes:
        return st().store.node_count();
      case ViewKind::NodesByLabels:
        return st().store.carrier_count();
      case ViewKind::IsPrunable:
        return st().store.flag_count();
    }
    return 0;
  }

  py::list keys() const {
    core::LabelStore& store = st().store;
    py::list out;
    switch (kind) {
      case ViewKind::LabelsByNodes:
      case ViewKind::PruneDimByNodes:
        for (size_t i = 0; i < store.node_count(); ++i) {
          out.append(st().node_object(static_cast<core::NodeId>(i)));
        }
        break;
      case ViewKind::NodesByLabels:
        store.for_each_carrier_label(
            [&](core::LabelId root) { out.append(py::int_(store.value_of_root(root))); });
        break;
      case ViewKind::IsPrunable:
        store.for_each_flag(
            [&](core::LabelId root) { out.append(py::int_(store.value_of_root(root))); });
        break;
    }
    return out;
  }

  // The root of a label key present in this map, or kNoLabel.
  core::LabelId label_root(py::handle key) const {
    Label label = 0;
    if (!label_key(key, label)) return core::LabelStore::kNoLabel;
    core::LabelStore& store = st().store;
    const core::LabelId root = store.live_root(label);
    if (root == core::LabelStore::kNoLabel) return root;
    const bool present =
        kind == ViewKind::IsPrunable ? store.has_flag(root) : store.has_carriers(root);
    return present ? root : core::LabelStore::kNoLabel;
  }

  bool contains(py::handle key) const {
    if (kind == ViewKind::LabelsByNodes || kind == ViewKind::PruneDimByNodes) {
      return st().lookup(key) != ParserState::kNoNode;
    }
    return label_root(key) != core::LabelStore::kNoLabel;
  }

  py::object get(py::handle key, bool& found) const {
    found = true;
    core::LabelStore& store = st().store;
    switch (kind) {
      case ViewKind::LabelsByNodes: {
        const core::NodeId id = st().lookup(key);
        if (id != ParserState::kNoNode) return to_list(store.resolved_labels(id));
        break;
      }
      case ViewKind::PruneDimByNodes: {
        const core::NodeId id = st().lookup(key);
        if (id != ParserState::kNoNode) return from_prune_dim(store.node_dim(id));
        break;
      }
      case ViewKind::NodesByLabels: {
        const core::LabelId root = label_root(key);
        if (root != core::LabelStore::kNoLabel) {
          // Adding to the set hashes each node, which may run Python code that
          // records nodes: the carriers are a copy.
          const std::vector<core::NodeId> carriers = store.carriers(root);
          std::vector<py::object> nodes;
          nodes.reserve(carriers.size());
          for (core::NodeId n : carriers) nodes.push_back(st().node_object(n));
          py::set out;
          for (const py::object& n : nodes) out.add(n);
          return std::move(out);
        }
        break;
      }
      case ViewKind::IsPrunable: {
        const core::LabelId root = label_root(key);
        if (root != core::LabelStore::kNoLabel) return py::bool_(store.flag(root));
        break;
      }
    }
    found = false;
    return py::none();
  }

  py::object getitem(py::handle key) const {
    bool found = false;
    py::object value = get(key, found);
    if (!found) raise_key_error(key);
    return value;
  }

  py::dict to_dict() const {
    if (kind == ViewKind::LabelsByNodes || kind == ViewKind::PruneDimByNodes) {
      // By node id, without hashing each key a second time to find it again.
      // The count is read once: a node's __hash__ (run by the insertion) may
      // record nodes, which a snapshot of the keys would not have listed.
      // Labels are ChannelLabels, one object per distinct sequence: most nodes
      // pass their input's labels on, and a layer's labels come in a row.
      py::dict out;
      ChannelLabelsPool pool;
      auto labels_of = [&](core::NodeId id) { return pool.get(st().store.resolved_labels(id)); };
      const size_t n = st().store.node_count();
      for (size_t i = 0; i < n; ++i) {
        const auto id = static_cast<core::NodeId>(i);
        py::object node = st().node_object(id);
        py::object value = kind == ViewKind::LabelsByNodes
                               ? py::object(labels_of(id))
                               : from_prune_dim(st().store.node_dim(id));
        if (PyDict_SetItem(out.ptr(), node.ptr(), value.ptr()) != 0) {
          throw py::error_already_set();
        }
      }
      return out;
    }
    py::dict out;
    for (py::handle key : keys()) out[key] = getitem(key);
    return out;
  }
};

// One Python class per map, so each C++ view type is registered once.
template <ViewKind Kind>
struct View : MapView {};

template <ViewKind Kind>
void bind_view(py::module_& m, const char* name, const char* doc) {
  auto cls =
      py::class_<View<Kind>>(m, name, doc, interop::gc_support<View<Kind>>())
          .def("__len__", &MapView::size)
          .def("__getitem__", &MapView::getitem, py::arg("key"))
          .def("__contains__", &MapView::contains, py::arg("key"))
          .def("__iter__", [](const View<Kind>& v) { return py::iter(v.keys()); })
          .def(
              "get",
              [](const View<Kind>& v, py::handle key, py::object default_value) {
                bool found = false;
                py::object value = v.get(key, found);
                return found ? value : default_value;
              },
              py::arg("key"), py::arg("default") = py::none())
          .def("keys", [](py::object self) { return abc_module().attr("KeysView")(self); })
          .def("items", [](py::object self) { return abc_module().attr("ItemsView")(self); })
          .def("values", [](py::object self) { return abc_module().attr("ValuesView")(self); })
          .def("__eq__",
               [](const View<Kind>& v, py::object other) -> py::object {
                 if (!py::isinstance(other, abc_module().attr("Mapping"))) {
                   return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                 }
                 return py::bool_(v.to_dict().equal(other));
               })
          .def("__ne__",
               [](const View<Kind>& v, py::object other) -> py::object {
                 if (!py::isinstance(other, abc_module().attr("Mapping"))) {
                   return py::reinterpret_borrow<py::object>(Py_NotImplemented);
                 }
                 return py::bool_(!v.to_dict().equal(other));
               })
          .def("__repr__", [](const View<Kind>& v) { return py::repr(v.to_dict()); })
          .def("_to_dict", &MapView::to_dict,
               "A plain dict of the map as it stands, in its order.");
  cls.attr("__hash__") = py::none();
  if constexpr (Kind == ViewKind::IsPrunable) {
    cls.def(
        "__setitem__",
        [](const View<Kind>& v, py::handle key, py::handle value) {
          const Label label = label_from(key);
          const int truth = PyObject_IsTrue(value.ptr());
          if (truth < 0) throw py::error_already_set();
          set_label_prunable(v.st(), label, truth != 0);
        },
        py::arg("key"), py::arg("value"));
  }
  abc_module().attr("Mapping").attr("register")(cls);
}

template <ViewKind Kind>
py::object make_view(py::object self) {
  View<Kind> view;
  view.owner = self;
  view.state = &self.cast<ParserState&>();
  view.kind = Kind;
  return py::cast(std::move(view));
}

py::list group_pairs(ParserState& state, const std::vector<core::LabelGroup>& groups,
                     bool prunable) {
  py::list out;
  for (const core::LabelGroup& group : groups) {
    if (group.prunable != prunable) continue;
    py::list nodes(group.nodes.size());
    for (size_t i = 0; i < group.nodes.size(); ++i) {
      py::object node = state.node_object(group.nodes[i]);
      PyList_SET_ITEM(nodes.ptr(), static_cast<Py_ssize_t>(i), node.release().ptr());
    }
    out.append(py::make_tuple(std::move(nodes), channel_labels(group.labels)));
  }
  return out;
}

// Users of every node, as NodeInfo.collect_all_input_nodes sees its inputs:
// nodes among the positional and keyword arguments, nested tuples, lists and
// dicts included, each source once per user. Metadata reads (x.dim(), x.shape)
// consume no channel data and count as no user.
py::dict collect_node_users(py::handle graph) {
  py::dict users;
  py::str metadata_read("__get__");
  py::handle user;
  auto add = [&](py::handle source) {
    PyObject* found = PyDict_GetItemWithError(users.ptr(), source.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      py::list fresh;
      fresh.append(user);
      users[source] = fresh;
      return;
    }
    const Py_ssize_t n = PyList_GET_SIZE(found);
    if (PyList_GET_ITEM(found, n - 1) != user.ptr()) {
      if (PyList_Append(found, user.ptr()) != 0) throw py::error_already_set();
    }
  };
  // Arguments are user data: a container may hold itself, and a node's
  // __hash__ (run by add) may change a container while it is walked, so the
  // walk is guarded and goes over a strong copy of each dict's values.
  std::function<void(py::handle)> visit = [&](py::handle obj) {
    if (PyTuple_Check(obj.ptr()) || PyList_Check(obj.ptr())) {
      interop::RecursionGuard guard(" while collecting node users");
      for (py::handle item : obj) visit(item);
    } else if (PyDict_Check(obj.ptr())) {
      interop::RecursionGuard guard(" while collecting node users");
      PyObject* values = PyDict_Values(obj.ptr());
      if (values == nullptr) throw py::error_already_set();
      for (py::handle value : py::reinterpret_steal<py::list>(values)) visit(value);
    } else if (is_node_info(obj)) {
      add(obj);
    }
  };
  for (py::handle node : graph) {
    py::object name = node.attr(graph_attr().operation_name);
    const int is_metadata = PyObject_RichCompareBool(name.ptr(), metadata_read.ptr(), Py_EQ);
    if (is_metadata < 0) throw py::error_already_set();
    if (is_metadata != 0) continue;
    user = node;
    visit(node.attr(graph_attr().args));
    visit(node.attr(graph_attr().kwargs));
  }
  return users;
}

}  // namespace

// ---------------------------------------------------------------- registration

void register_state(py::module_& m) {
  py::register_exception<EngineError>(m, "PruningEngineRuntimeException", PyExc_Exception);
  m.attr("PruningEngineRuntimeException").attr("__doc__") =
      "Base exception raised by node handlers when they meet an inconsistent engine state.";

  bind_view<ViewKind::LabelsByNodes>(m, "_ChannelLabelsByNodesView",
                                     "channel_labels_by_nodes: node -> list of channel labels");
  bind_view<ViewKind::PruneDimByNodes>(m, "_PruneDimensionByNodesView",
                                       "prune_dimension_by_nodes: node -> int or None");
  bind_view<ViewKind::NodesByLabels>(m, "_NodesByChannelLabelsView",
                                     "nodes_by_channel_labels: label -> set of nodes");
  bind_view<ViewKind::IsPrunable>(m, "_IsPrunableView", "is_prunable: label -> bool");

  py::class_<ParserState>(m, "PruneGraphParserState",
                          "Channel-label state of one walk over a traced graph.",
                          interop::gc_support<ParserState>())
      .def(py::init([](bool record_causes) {
             auto state = std::make_unique<ParserState>();
             state->record_causes = record_causes;
             return state;
           }),
           py::kw_only(), py::arg("record_causes") = true,
           "record_causes=False keeps no record of why labels are unprunable (see rule()).")
      .def_property_readonly(
          "record_causes", [](const ParserState& s) { return s.record_causes; },
          "Whether the state records why labels are unprunable.")
      .def("rule", &rule_scope, py::arg("text"),
           "Context manager for handlers: markings made inside the block (barriers, flags set "
           "to False) give `text` as their rule.")
      .def(
          "_provenance", [](ParserState& s, py::handle groups) { return provenance_of(s, groups); },
          py::arg("groups"),
          "(origins, causes, fresh_nodes, ties) for the (nodes, labels) groups: origins are "
          "(node or None, rule) pairs; causes holds, per group, (origin indices, channel count) "
          "pairs, empty indices for labels that are prunable here; fresh_nodes made all of their "
          "labels; ties are pairs of carriers tied after the walk.")
      .def_property_readonly(
          "next_ch_label", [](const ParserState& s) { return s.store.next_label(); },
          "The label that the next newly parsed channel receives.")
      .def_property_readonly(
          "is_prunable", [](py::object self) { return make_view<ViewKind::IsPrunable>(self); },
          "label -> whether the channel may be pruned")
      .def_property_readonly(
          "channel_labels_by_nodes",
          [](py::object self) { return make_view<ViewKind::LabelsByNodes>(self); },
          "node -> labels of its output channels along its prune dimension")
      .def_property_readonly(
          "nodes_by_channel_labels",
          [](py::object self) { return make_view<ViewKind::NodesByLabels>(self); },
          "label -> set of nodes whose output carries the channel")
      .def_property_readonly(
          "prune_dimension_by_nodes",
          [](py::object self) { return make_view<ViewKind::PruneDimByNodes>(self); },
          "node -> prune dimension of its output (int or None)")
      .def("_rule_record", &ParserState::rule_record,
           "(handlers, decisions, piece_shapes) of the nodes walked: node -> name of the handler "
           "the walk called, node -> the branch that handler took (where it names one), node -> "
           "the shape of each piece of a tuple-valued node whose pieces are alike.")
      .def(
          "_derive_groups",
          [](ParserState& s) {
            const std::vector<core::LabelGroup> groups = s.store.derive_groups();
            return py::make_tuple(group_pairs(s, groups, true), group_pairs(s, groups, false));
          },
          "(prunable_groups, unprunable_groups): live labels grouped by carrier set and "
          "prunability, each group a pair (nodes in recording order, labels)")
      .def("__repr__", [](const ParserState& s) {
        return "PruneGraphParserState(next_ch_label=" + std::to_string(s.store.next_label()) +
               ", nodes=" + std::to_string(s.store.node_count()) +
               ", live_labels=" + std::to_string(s.store.carrier_count()) + ")";
      });

  m.def("_collect_node_users", &collect_node_users, py::arg("graph"),
        "node -> the distinct nodes that consume its data, in graph order; nodes without "
        "users are absent");

  // ---- label operations ----
  m.def(
      "_get_prune_dimension",
      [](ParserState& s, py::handle arg) { return from_prune_dim(get_prune_dimension(s, arg)); },
      py::arg("pruning_state"), py::arg("arg"));
  m.def(
      "_get_labels", [](ParserState& s, py::handle arg) { return to_list(get_labels(s, arg)); },
      py::arg("pruning_state"), py::arg("arg"));
  m.def(
      "_get_shape",
      [](py::handle arg) -> py::object {
        if (is_node_info(arg)) return arg.attr(graph_attr().result_shape);
        if (is_tensor_info(arg)) return arg.attr(graph_attr().shape);
        return py::none();
      },
      py::arg("arg"));
  m.def("_is_trace_tensor", [](py::handle arg) { return is_trace_tensor(arg); }, py::arg("arg"));
  m.def(
      "_add_node_output_channel_info",
      [](ParserState& s, py::handle node, py::handle label_group, py::handle is_prunable,
         py::handle prune_dimension) {
        if (is_recorded(s, node)) {
          raise_engine_error("Attempting to add node which was already added");
        }
        const Labels labels = labels_from(label_group);
        Flags flags = flags_from(is_prunable);
        if (PyBool_Check(is_prunable.ptr())) flags.assign(labels.size(), flags[0]);
        add_node_output_channel_info(s, node, labels, flags, to_prune_dim(prune_dimension));
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("label_group"), py::arg("is_prunable"),
      py::arg("prune_dimension"));
  m.def(
      "_generate_new_channel_labels",
      [](ParserState& s, py::handle node, py::handle prune_dimension) {
        if (!PyLong_Check(prune_dimension.ptr())) {
          raise_engine_error("prune_dimension is expected to be an integer value");
        }
        return to_list(generate_new_channel_labels(s, node, to_prune_dim(prune_dimension)));
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("prune_dimension"));
  m.def(
      "_node_keep_state",
      [](ParserState& s, py::handle node, py::handle src_node) {
        node_keep_state(s, node, src_node);
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("src_node"));
  m.def(
      "_mark_node_inputs_as_non_prunable",
      [](ParserState& s, py::handle node) { mark_node_inputs_as_non_prunable(s, node); },
      py::arg("pruning_state"), py::arg("node"));
  m.def(
      "_merge_labels",
      [](ParserState& s, py::handle labels) { return merge_labels(s, labels_from(labels)); },
      py::arg("pruning_state"), py::arg("labels"));
  m.def(
      "_merge_label_groups",
      [](ParserState& s, py::handle label_groups) {
        std::vector<Labels> groups;
        for (py::handle group : label_groups) groups.push_back(labels_from(group));
        return to_list(merge_label_groups(s, groups));
      },
      py::arg("pruning_state"), py::arg("label_groups"));
  m.def(
      "_broadcast_to",
      [](py::object shape, py::object prune_dimension, py::handle n) -> py::tuple {
        py::len(shape);  // a shape must be sized, as before
        // Sized by what iteration yields, not by len(): the two may disagree.
        PyObject* items_ptr = PySequence_Tuple(shape.ptr());
        if (items_ptr == nullptr) throw py::error_already_set();
        auto items = py::reinterpret_steal<py::tuple>(items_ptr);
        const auto shape_n = static_cast<int64_t>(items.size());
        const int64_t target = interop::to_int64(n, "n");
        if (shape_n >= target) return py::make_tuple(shape, prune_dimension);
        const int64_t pad = target - shape_n;
        py::tuple out(static_cast<size_t>(target));
        for (int64_t i = 0; i < target; ++i) {
          py::object item =
              i < pad ? py::object(py::int_(1)) : py::object(items[static_cast<size_t>(i - pad)]);
          PyTuple_SET_ITEM(out.ptr(), i, item.release().ptr());
        }
        if (!prune_dimension.is_none()) prune_dimension = prune_dimension + py::int_(pad);
        return py::make_tuple(std::move(out), prune_dimension);
      },
      py::arg("shape"), py::arg("prune_dimension"), py::arg("n"));
}

}  // namespace tavrix::oprules
