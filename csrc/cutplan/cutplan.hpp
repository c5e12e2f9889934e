// Shared declarations of the tavrix.pruning.cutplan extension.
#pragma once

#include "interop/pybind.hpp"

#include "interop/handed.hpp"

#include <string>
#include <vector>

namespace tavrix::cutplan {

// The objects of the project the extension works with, handed over by
// configure(...) (interop/handed.hpp).
struct Collaborators {
  py::object flowscope_model;      // tavrix.flowscope.tracing.flowscope_model
  py::object graph_parser;         // tavrix.pruning.engine.graphwalk.PruneGraphParser
  py::object record_provenance;    // tavrix.pruning.recording.record_provenance
  py::object node_class;           // tavrix.flowscope.tracing.NodeInfo
  py::object tensor_info_class;    // tavrix.flowscope.tracing.TensorInfo
  py::object picklable_operation;  // tavrix.flowscope.tracing.picklable_operation
  py::object channel_mix_ops;      // tavrix.pruning.engine.opsets.PRUNE_CHANNEL_MIX_OPS
  // tavrix.pruning.gate: its gate classes are read from it at each analysis, so that a
  // class replaced there is the one used
  py::object gates;
  py::object are_indices_continuous;  // tavrix.pruning.utils.are_indices_continuous
  py::object get_tensor_uid;          // tavrix.flowscope.utils.get_tensor_uid
  py::object get_submodule;           // tavrix.utils.common.get_submodule
};
// Read per node: inline, as cheap as a cached value.
inline interop::HandedIn<Collaborators>& handed() {
  return interop::handed_in<Collaborators>("tavrix.pruning.cutplan");
}
inline const Collaborators& collaborators() { return handed().get(); }

void register_configure(py::module_& m);
void register_report(py::module_& m);
void register_placement(py::module_& m);
void register_lookup(py::module_& m);
void register_container(py::module_& m);
void register_assembly(py::module_& m);

// Iterates `obj` the way Python's `a, b = obj` does and raises the same
// errors when it is not iterable or does not hold exactly `n` items.
inline std::vector<py::object> unpack_exactly(py::handle obj, size_t n) {
  PyObject* it = PyObject_GetIter(obj.ptr());
  if (it == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      throw py::type_error("cannot unpack non-iterable " +
                           std::string(Py_TYPE(obj.ptr())->tp_name) + " object");
    }
    throw py::error_already_set();
  }
  auto iter = py::reinterpret_steal<py::object>(it);
  std::vector<py::object> items;
  items.reserve(n);
  while (true) {
    PyObject* item = PyIter_Next(iter.ptr());
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    if (items.size() == n) {
      Py_DECREF(item);
      throw py::value_error("too many values to unpack (expected " + std::to_string(n) + ")");
    }
    items.push_back(py::reinterpret_steal<py::object>(item));
  }
  if (items.size() < n) {
    throw py::value_error("not enough values to unpack (expected " + std::to_string(n) + ", got " +
                          std::to_string(items.size()) + ")");
  }
  return items;
}

// `key in container` with the host's semantics.
inline bool contains(py::handle container, py::handle key) {
  int found = PySequence_Contains(container.ptr(), key.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// Attribute names read per node, interned once: a name made afresh at each read
// (attr("...")) costs an allocation and misses the type attribute cache.
struct AttrNames {
  py::str args, kwargs, operation, result_shape, tensor_uid, add_group;
};
const AttrNames& attr_names();

// Report: the ModelCutplan class made at load time.
py::object model_cutplan_class();

// Placement. find_candidate_nodes lets nodes without input nodes open walks
// only while gate_index is 0; candidate_nodes chooses that explicitly, and
// extra_entries open walks of their own wherever their inputs lie (the calls
// of a layer that is called more than once make fresh channels of the group
// from channels of the same group).
py::set find_candidate_nodes(py::handle group_nodes, py::handle node_users, py::handle gate_index);
py::set candidate_nodes(py::handle group_nodes, py::handle node_users, bool inputless_entries,
                        const py::set& extra_entries = py::set());

// Gate container.
py::tuple create_gate_container(py::handle labels_by_nodes, py::handle prunable_groups,
                                py::handle node_users, py::handle prune_dimension_by_nodes);

// Module lookup, for every labelled node, with tensor indexes built once.
py::dict get_prunable_nn_modules(py::handle model, py::handle channel_labels_by_nodes);

}  // namespace tavrix::cutplan
