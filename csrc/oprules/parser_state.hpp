// PruneGraphParserState: the label store plus the interning of Python nodes.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "core/label_store.hpp"
#include "interop/pybind.hpp"

namespace tavrix::oprules {

// Thrown by the engine; translated to PruningEngineRuntimeException.
class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ParserState {
 public:
  static constexpr core::NodeId kNoNode = -1;

  // Dense id of a recorded node, or kNoNode. Anything that is not a recorded
  // node (constants, descriptors, unhashable values) is simply absent.
  core::NodeId lookup(py::handle arg) const;

  // Records `node` with already interned label ids; fails when it is recorded.
  core::NodeId record(py::handle node, core::LabelIdsPtr ids, core::PruneDim dim,
                      const std::vector<bool>& flags);
  // Same with the flags the labels already have (LabelStore::record_kept).
  core::NodeId record_kept(py::handle node, core::LabelIdsPtr ids, core::PruneDim dim);

  // A new reference: the caller may call into Python while holding it.
  py::object node_object(core::NodeId id) const { return nodes_[static_cast<size_t>(id)]; }

  // Cycle-collector hooks. clear() drops the references but keeps every id
  // valid (nodes read back as None), so a state cleared inside a cycle is
  // still safe to call.
  int traverse(visitproc visit, void* arg) const;
  void clear();

  core::LabelStore store;

 private:
  // Interns a node that is not recorded yet; the store is not touched.
  core::NodeId claim(py::handle node);

  py::dict node_ids_;              // node -> dense id
  std::vector<py::object> nodes_;  // dense id -> node (keeps the nodes alive)
  // Set while claim hashes a node: the node's __hash__ may call back into the
  // engine, and a second claim then would hand out the same id.
  bool claiming_ = false;
};

}  // namespace tavrix::oprules
