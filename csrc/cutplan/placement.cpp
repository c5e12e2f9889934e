// Gate placement: after which nodes of a prunable group the importance gates go.
//
// Gates start after aggregate nodes (add, mul, ...) and after the group's
// entry nodes; a gate from an entry node moves forward through single-user
// nodes of the group and stops before a branch, before leaving the group, or
// vanishes when it meets an aggregate node or a node nobody uses.
#include "interop/pybind.hpp"

#include "cutplan/cutplan.hpp"

namespace tavrix::cutplan {

namespace {

bool is_aggregate(py::handle node) {
  return contains(collaborators().channel_mix_ops, node.attr(attr_names().operation));
}

bool is_zero(py::handle value) {
  py::int_ zero(0);
  int r = PyObject_RichCompareBool(value.ptr(), zero.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

py::list sequence_copy_of(py::handle seq) {
  PyObject* copy = PySequence_List(seq.ptr());
  if (copy == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(copy);
}

// A traced node whose result is no tensor (the tuple of a chunk's pieces).
// Nodes that say nothing of their result (duck-typed ones) are taken as tensors.
bool tuple_valued(py::handle node) {
  py::object shape = py::getattr(node, attr_names().result_shape, py::int_(0));
  return shape.is_none();
}

// node_users[node], or a null object when the node has no entry.
py::object users_of(py::handle node_users, py::handle node) {
  if (PyDict_Check(node_users.ptr())) {
    PyObject* found = PyDict_GetItemWithError(node_users.ptr(), node.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return py::object();
    }
    return py::reinterpret_borrow<py::object>(found);
  }
  if (!contains(node_users, node)) return py::object();
  return node_users[node];
}

enum class Scan { Found, Absent, Unknown };

// The first node among the leaves of an argument, in the order
// NodeInfo.collect_all_input_nodes walks them (tuples, lists and dicts), found
// without building that list; Unknown for a value only its own walk knows (a
// dataclass).
Scan first_node_in(py::handle value, py::object& found) {
  PyObject* raw = value.ptr();
  if (raw == Py_None || PyLong_Check(raw) || PyFloat_CheckExact(raw) || PyUnicode_CheckExact(raw)) {
    return Scan::Absent;
  }
  const Collaborators& types = collaborators();
  if (PyObject_TypeCheck(raw, reinterpret_cast<PyTypeObject*>(types.node_class.ptr()))) {
    found = py::reinterpret_borrow<py::object>(value);
    return Scan::Found;
  }
  if (Py_TYPE(raw) == reinterpret_cast<PyTypeObject*>(types.tensor_info_class.ptr())) {
    return Scan::Absent;
  }
  py::object items;
  if (PyTuple_Check(raw) || PyList_Check(raw)) {
    items = sequence_copy_of(value);
  } else if (PyDict_Check(raw)) {
    PyObject* values = PyDict_Values(raw);
    if (values == nullptr) throw py::error_already_set();
    items = py::reinterpret_steal<py::object>(values);
  } else {
    const int dataclass =
        PyObject_HasAttrString(reinterpret_cast<PyObject*>(Py_TYPE(raw)), "__dataclass_fields__");
    return dataclass ? Scan::Unknown : Scan::Absent;
  }
  interop::RecursionGuard guard(" while looking for a node's first input");
  for (py::handle item : items) {
    const Scan scan = first_node_in(item, found);
    if (scan != Scan::Absent) return scan;
  }
  return Scan::Absent;
}

// The node's first input node (null when it has none), as
// collect_all_input_nodes()[0]; traced nodes are read without calling it.
py::object first_input(py::handle node) {
  py::object found;
  if (Py_TYPE(node.ptr()) == reinterpret_cast<PyTypeObject*>(collaborators().node_class.ptr())) {
    Scan scan = first_node_in(node.attr(attr_names().args), found);
    if (scan == Scan::Absent) scan = first_node_in(node.attr(attr_names().kwargs), found);
    if (scan == Scan::Found) return found;
    if (scan == Scan::Absent) return py::object();
  }
  py::object inputs = node.attr("collect_all_input_nodes")();
  if (py::len(inputs) == 0) return py::object();
  return inputs[py::int_(0)];
}

py::list input_nodes_in(py::handle group_nodes, py::handle group_set, bool first_gate,
                        const py::set& extra_entries = py::set()) {
  py::list input_nodes;
  for (py::handle node : group_nodes) {
    if (!extra_entries.empty() && extra_entries.contains(node)) {
      input_nodes.append(node);
      continue;
    }
    py::object input = first_input(node);
    if (!input) {
      // A node fed by nothing (a graph input) only opens the first group.
      if (first_gate) input_nodes.append(node);
    } else if (!contains(group_set, input)) {
      input_nodes.append(node);
    }
  }
  return input_nodes;
}

py::list find_input_nodes(py::handle group_nodes, py::handle gate_index) {
  py::set group_set(py::reinterpret_borrow<py::object>(group_nodes));
  return input_nodes_in(group_nodes, group_set, is_zero(gate_index));
}

}  // namespace

py::set find_candidate_nodes(py::handle group_nodes, py::handle node_users, py::handle gate_index) {
  return candidate_nodes(group_nodes, node_users, is_zero(gate_index));
}

py::set candidate_nodes(py::handle group_nodes, py::handle node_users, bool inputless_entries,
                        const py::set& extra_entries) {
  py::set group_set(py::reinterpret_borrow<py::object>(group_nodes));
  py::set candidates;
  for (py::handle node : group_nodes) {
    if (is_aggregate(node)) candidates.add(node);
  }
  py::list entries = input_nodes_in(group_nodes, group_set, inputless_entries, extra_entries);
  const size_t max_steps = py::len(group_set);
  for (py::handle entry : entries) {
    py::object node = py::reinterpret_borrow<py::object>(entry);
    for (size_t steps = 0;; ++steps) {
      // Each step moves to another node of the group; more steps than nodes
      // means node_users loops, which a traced graph cannot do.
      if (steps > max_steps) {
        throw py::value_error("node_users forms a cycle inside the group of " +
                              interop::repr(entry));
      }
      if (is_aggregate(node)) break;
      py::object users = users_of(node_users, node);
      // No users (or an empty list): the gate would have nothing to stand before.
      if (!users || py::len(users) == 0) break;
      if (py::len(users) > 1) {
        candidates.add(node);
        break;
      }
      py::object next = users[py::int_(0)];
      // Another entry opens its own walk: this one's gate stands before it. So
      // does a node whose result is a tuple (the pieces of a chunk), which a
      // gate cannot multiply.
      if (!contains(group_set, next) || (!extra_entries.empty() && extra_entries.contains(next)) ||
          tuple_valued(next)) {
        candidates.add(node);
        break;
      }
      node = next;
    }
  }
  return candidates;
}

void register_placement(py::module_& m) {
  m.def(
      "is_aggregate_node", [](py::handle node) { return py::bool_(is_aggregate(node)); },
      py::arg("node"), "True when the node's operation mixes the channels of several inputs.");
  m.def("find_input_nodes", &find_input_nodes, py::arg("group_nodes"), py::arg("gate_index"),
        "The group's entry nodes, in group order: nodes whose first input lies outside the\n"
        "group, and nodes without inputs while no gate exists yet (gate_index 0).");
  m.def("find_candidate_nodes", &find_candidate_nodes, py::arg("group_nodes"),
        py::arg("node_users"), py::arg("gate_index"),
        "The set of nodes of one prunable group after which gates are inserted.");
}

}  // namespace tavrix::cutplan
