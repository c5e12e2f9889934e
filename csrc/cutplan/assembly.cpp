// get_cutplan: trace one call, label the channels, move groups that reach an
// output to the unprunable ones, find the owning modules, create the gates.
#include "interop/pybind.hpp"

#include "cutplan/cutplan.hpp"

#include <optional>
#include <vector>

namespace tavrix::cutplan {

namespace {

// The walk's views of its state build their plain dict natively (_to_dict, looked
// up on the type so that a mapping's own attribute is not taken for it); any
// other mapping is copied item by item.
py::dict plain_dict(const py::object& mapping) {
  if (PyDict_CheckExact(mapping.ptr())) return py::reinterpret_borrow<py::dict>(mapping);
  py::object to_dict = py::getattr(py::type::handle_of(mapping), "_to_dict", py::none());
  if (!to_dict.is_none()) return to_dict(mapping).cast<py::dict>();
  py::dict copy;
  if (PyDict_Merge(copy.ptr(), mapping.ptr(), 1) != 0) throw py::error_already_set();
  return copy;
}

// Turns the cycle collector off for a scope and back on, if it was on.
class CollectorPause {
 public:
  CollectorPause() : was_enabled_(PyGC_Disable() != 0) {}
  ~CollectorPause() {
    if (was_enabled_) PyGC_Enable();
  }
  CollectorPause(const CollectorPause&) = delete;
  CollectorPause& operator=(const CollectorPause&) = delete;

 private:
  bool was_enabled_;
};

// id of every parameter and buffer of the model -> its dotted name (the first where a tensor
// is registered twice): a plan then finds its tensors in any model with the same names, a copy
// of the analysed one included.
py::dict tensor_names(py::handle model) {
  py::dict names;
  if (!py::hasattr(model, "named_modules")) return names;
  for (py::handle entry : model.attr("named_modules")()) {
    auto parts = unpack_exactly(entry, 2);
    std::string prefix = parts[0].cast<std::string>();
    if (!prefix.empty()) prefix += '.';
    for (const char* registry : {"_parameters", "_buffers"}) {
      py::object found = py::getattr(parts[1], registry, py::none());
      if (!PyDict_Check(found.ptr())) continue;
      // copied: a key's hash or a value read could run code that changes the dict
      py::list items = py::reinterpret_borrow<py::dict>(found).attr("items")().cast<py::list>();
      for (py::handle item : items) {
        auto pair = unpack_exactly(item, 2);
        if (pair[1].is_none()) continue;
        py::object key = py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(pair[1].ptr()));
        if (!key) throw py::error_already_set();
        if (PyDict_Contains(names.ptr(), key.ptr()) == 0) {
          names[key] = py::str(prefix) + py::str(pair[0]);
        }
      }
    }
  }
  return names;
}

void make_groups_containing_output_unprunable(py::handle prunable_groups,
                                              py::handle unprunable_groups,
                                              py::handle graph_output_nodes) {
  // Read the outputs once, when the first group needs them: they may come as
  // a one-shot iterator.
  std::optional<py::set> outputs_once;
  std::vector<size_t> containing_output;
  size_t i = 0;
  for (py::handle group : prunable_groups) {
    if (!outputs_once) {
      outputs_once = py::set(py::reinterpret_borrow<py::object>(graph_output_nodes));
    }
    const py::set& outputs = *outputs_once;
    for (py::handle node : group[py::int_(0)]) {
      if (outputs.contains(node)) {
        containing_output.push_back(i);
        break;
      }
    }
    ++i;
  }
  // Popping shifts the later entries, so each index is corrected by the
  // number of groups already moved.
  for (size_t moved = 0; moved < containing_output.size(); ++moved) {
    py::object group = prunable_groups.attr("pop")(containing_output[moved] - moved);
    unprunable_groups.attr("append")(group);
  }
}

py::object get_cutplan(py::object model, py::object args, py::object kwargs,
                       py::object entry_point) {
  const Collaborators& given = collaborators();
  auto traced = unpack_exactly(
      given.flowscope_model(py::arg("model") = model, py::arg("args") = args,
                            py::arg("kwargs") = kwargs, py::arg("entry_point") = entry_point),
      2);
  const py::object& graph = traced[0];
  // Read once: the outputs may come as a one-shot iterator, and the
  // explanation of the plan reads them too.
  py::object graph_output_nodes = traced[1];
  if (!PyList_Check(graph_output_nodes.ptr()) && !PyTuple_Check(graph_output_nodes.ptr())) {
    PyObject* listed = PySequence_List(graph_output_nodes.ptr());
    if (listed == nullptr) throw py::error_already_set();
    graph_output_nodes = py::reinterpret_steal<py::object>(listed);
  }

  // From here on only the analysis's own objects are made, many of them: the
  // cycle collector would walk them all again at every young collection.
  // Garbage made meanwhile is collected once it is back on.
  CollectorPause pause;
  py::object parser = given.graph_parser();
  auto parsed = unpack_exactly(parser.attr("find_prunable_groups")(graph), 5);
  const py::object& prunable_groups = parsed[0];
  const py::object& unprunable_groups = parsed[1];
  // The walk hands out a live view over its state: the plan keeps a plain
  // dict, which can be changed, pickled and copied and frees the walk's state.
  const py::dict labels_by_nodes = plain_dict(parsed[2]);
  const py::object& prune_dimension_by_nodes = parsed[3];
  const py::object& node_users = parsed[4];

  // Before gates are made: a group that reaches an output gets none.
  make_groups_containing_output_unprunable(prunable_groups, unprunable_groups, graph_output_nodes);
  py::dict prunable_module_names_by_nodes = get_prunable_nn_modules(model, labels_by_nodes);

  auto gates = unpack_exactly(
      create_gate_container(labels_by_nodes, prunable_groups, node_users, prune_dimension_by_nodes),
      3);
  const py::object& gate_names_by_nodes = gates[1];

  py::list ops_and_gate_names;
  py::str no_gate("");
  py::dict names = gate_names_by_nodes.cast<py::dict>();
  for (py::handle node : graph) {
    PyObject* found = PyDict_GetItemWithError(names.ptr(), node.ptr());
    if (found == nullptr && PyErr_Occurred()) throw py::error_already_set();
    // Held before node.operation is read: that read may run Python code.
    py::object name = py::reinterpret_borrow<py::object>(found != nullptr ? found : no_gate.ptr());
    ops_and_gate_names.append(py::make_tuple(node.attr("operation"), name));
  }

  py::object plan = model_cutplan_class()(
      py::arg("graph") = graph, py::arg("prunable_groups") = prunable_groups,
      py::arg("unprunable_groups") = unprunable_groups,
      py::arg("labels_by_nodes") = labels_by_nodes, py::arg("node_users") = node_users,
      py::arg("prunable_module_names_by_nodes") = prunable_module_names_by_nodes,
      py::arg("gate_container") = gates[0], py::arg("gate_names_by_nodes") = gate_names_by_nodes,
      py::arg("prunable_group_gate_names") = gates[2],
      py::arg("ops_and_gate_names") = ops_and_gate_names,
      // the rule set and prune axes of the walk: shrinking reads them from the plan
      py::arg("rule_record") = parser.attr("rule_record"),
      py::arg("tensor_names") = tensor_names(model));
  // Keeps on the plan why its unprunable groups are unprunable.
  given.record_provenance(plan, parser.attr("pruning_state"), graph_output_nodes);
  return plan;
}

}  // namespace

void register_assembly(py::module_& m) {
  m.def("get_cutplan", &get_cutplan, py::arg("model"), py::arg("args"), py::arg("kwargs"),
        py::arg("entry_point") = "__call__",
        "Traces one call of the model's entry point and returns its ModelCutplan.");
  m.def("_make_groups_containing_output_unprunable", &make_groups_containing_output_unprunable,
        py::arg("prunable_groups"), py::arg("unprunable_groups"), py::arg("graph_output_nodes"),
        "Moves every prunable group that holds a graph output node to the unprunable groups.");
  m.def("_get_prunable_nn_modules", &get_prunable_nn_modules, py::arg("model"),
        py::arg("channel_labels_by_nodes"),
        "Dotted name of the sub-module behind every labelled node that has one.");
  m.attr("__all__") = py::list(py::make_tuple("MODULE_TYPES", "ModelCutplan", "is_aggregate_node",
                                              "find_input_nodes", "find_candidate_nodes",
                                              "create_gate_container", "get_cutplan"));
}

}  // namespace tavrix::cutplan
