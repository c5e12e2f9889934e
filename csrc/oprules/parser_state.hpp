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
  core::NodeId lookup_or_throw(py::handle node) const;  // py::key_error when absent

  // Records `node` with already interned label ids; fails when it is recorded.
  core::NodeId record(py::handle node, core::LabelIdsPtr ids, core::PruneDim dim,
                      const std::vector<bool>& flags);

  const py::object& node_object(core::NodeId id) const { return nodes_[static_cast<size_t>(id)]; }

  core::LabelStore store;

 private:
  py::dict node_ids_;              // node -> dense id
  std::vector<py::object> nodes_;  // dense id -> node (keeps the nodes alive)
};

}  // namespace tavrix::oprules
