// PruneGraphParserState: the label store plus the interning of Python nodes.
#pragma once

#include "interop/pybind.hpp"

#include "core/label_store.hpp"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tavrix::oprules {

// Thrown by the engine; translated to PruningEngineRuntimeException.
class EngineError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A branch a handler names where it takes it, for the rule record:
//   const Decision kDepthwise("depthwise");
class Decision {
 public:
  explicit Decision(const char* text);
  int32_t id() const { return id_; }

 private:
  int32_t id_;
};

// Interns a text of the rule record (a handler's name, a branch); ids are
// stable for the life of the process.
int32_t record_text_id(const std::string& text);
const std::string& record_text(int32_t id);

class ParserState {
 public:
  static constexpr core::NodeId kNoNode = -1;

  // Dense id of a recorded node, or kNoNode. Anything that is not a recorded
  // node (constants, descriptors, unhashable values) is simply absent.
  core::NodeId lookup(py::handle arg) const;

  // Records `node` with already interned label ids; fails when it is recorded.
  core::NodeId record(py::handle node, core::LabelIdsPtr ids, core::PruneDim dim,
                      const std::vector<bool>& flags,
                      core::CauseId cause = core::LabelStore::kUnknownCause);
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

  // ---- provenance: why labels are unprunable ----
  // Off: every unprunable label has the unknown cause, nothing else is kept.
  bool record_causes = true;
  // The node being handled and the rule its markings follow (provenance.hpp
  // sets both); node is borrowed from the caller, who holds it for the call.
  struct Context {
    PyObject* node = nullptr;
    int32_t rule = -1;
  };
  Context context;
  // The cause of a marking made now at `node` (the context's node when null)
  // under the context's rule; one origin per (node, rule).
  core::CauseId cause_at(PyObject* node);
  // A node whose labels are all new (a layer's own output channels): the
  // labels of its inputs do not flow through it.
  void note_fresh(core::NodeId node);
  // Room for one note_fresh, taken before the node is recorded.
  void reserve_fresh();
  // Two carriers tied after the walk: the channels two calls of one layer
  // (readers) read or make.
  struct Tie {
    core::NodeId carrier_a, carrier_b, reader_a, reader_b;
  };
  void note_tie(const Tie& tie);

  struct Origin {
    py::object node;  // None when the marking named no node
    int32_t rule;
  };
  const std::vector<Origin>& origins() const { return origins_; }
  const std::vector<core::NodeId>& fresh_nodes() const { return fresh_; }
  const std::vector<Tie>& ties() const { return ties_; }

  // ---- the rule record: what the walk decided per node (rule_record.cpp) ----
  // The walk hands `node` to the handler named by `handler` (a record_text_id).
  void begin_node(py::handle node, int32_t handler);
  // The branch a handler took for `node`. The last one named wins: a handler
  // that falls back to another leaves the other's branch.
  void decide(py::handle node, const Decision& decision) { decide(node, decision.id()); }
  void decide(py::handle node, int32_t decision);
  // The shape of each piece of a tuple-valued node whose pieces are alike.
  void note_piece(py::handle node, std::vector<int64_t> shape);
  // The shape noted for `node`, or nullptr.
  const std::vector<int64_t>* piece_of(py::handle node) const;
  // (handlers, decisions, piece_shapes): node -> handler name, node -> branch
  // (nodes whose handler named one), node -> piece shape (noted ones, and
  // those of chunk/split/unbind nodes into alike pieces that no handler noted).
  py::tuple rule_record() const;

 private:
  // Interns a node that is not recorded yet; the store is not touched.
  core::NodeId claim(py::handle node);

  py::dict node_ids_;              // node -> dense id
  std::vector<py::object> nodes_;  // dense id -> node (keeps the nodes alive)
  // Set while claim hashes a node: the node's __hash__ may call back into the
  // engine, and a second claim then would hand out the same id.
  bool claiming_ = false;

  std::vector<Origin> origins_;
  std::vector<core::NodeId> fresh_;
  std::vector<Tie> ties_;

  struct Handled {
    py::object node;
    int32_t handler = -1;
    int32_t decision = -1;
  };
  std::vector<Handled> handled_;  // in walk order
  std::vector<std::pair<py::object, std::vector<int64_t>>> pieces_;

  // The last origin made: a handler's markings mostly repeat it.
  PyObject* last_node_ = nullptr;
  int32_t last_rule_ = -1;
  core::CauseId last_cause_ = core::LabelStore::kUnknownCause;
};

}  // namespace tavrix::oprules
