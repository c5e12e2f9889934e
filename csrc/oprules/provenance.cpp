#include "interop/pybind.hpp"

#include "oprules/provenance.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/texts.hpp"

#include <algorithm>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrix::oprules {

namespace {

// Filled while the library loads (the handler files' Rule constants) and
// later under the GIL (rules named from Python).
TextTable& rule_table() {
  static TextTable table;
  return table;
}

}  // namespace

int32_t rule_id(const std::string& text) { return rule_table().id(text); }

const std::string& rule_text(int32_t id) {
  static const std::string none = "unprunable";
  const std::string* text = rule_table().text(id);
  return text != nullptr ? *text : none;
}

const Rule kRuleNotHandled("barrier: operation not handled");
const Rule kRuleUnknown("marked unprunable outside any handler");

// ---------------------------------------------------------------- ParserState

core::CauseId ParserState::cause_at(PyObject* node) {
  if (!record_causes) return core::LabelStore::kUnknownCause;
  if (node == nullptr) node = context.node != nullptr ? context.node : Py_None;
  const int32_t rule = context.rule >= 0 ? context.rule : kRuleUnknown.id();
  // The origin holds its node, so the remembered pointer cannot be reused.
  if (node == last_node_ && rule == last_rule_) return last_cause_;
  store.reserve_causes(1);
  origins_.push_back(Origin{py::reinterpret_borrow<py::object>(node), rule});
  const core::CauseId cause = store.add_origin(static_cast<int32_t>(origins_.size() - 1));
  last_node_ = node;
  last_rule_ = rule;
  last_cause_ = cause;
  return cause;
}

void ParserState::reserve_fresh() {
  if (record_causes && fresh_.size() == fresh_.capacity()) fresh_.reserve(2 * fresh_.size() + 16);
}

void ParserState::note_fresh(core::NodeId node) {
  if (record_causes) fresh_.push_back(node);
}

void ParserState::note_tie(const Tie& tie) {
  if (record_causes && tie.carrier_a != tie.carrier_b) ties_.push_back(tie);
}

// ---------------------------------------------------------------- handlers' rules

int32_t default_rule_of(py::handle handler) {
  py::object given = py::getattr(handler, "__tavrix_rule__", py::none());
  if (py::isinstance<py::str>(given)) return rule_id(given.cast<std::string>());
  py::object name = py::getattr(handler, "__qualname__", py::none());
  if (!py::isinstance<py::str>(name)) name = py::getattr(handler, "__name__", py::none());
  std::string text =
      py::isinstance<py::str>(name) ? name.cast<std::string>() : interop::repr(handler);
  py::object module = py::getattr(handler, "__module__", py::none());
  if (py::isinstance<py::str>(module)) text = module.cast<std::string>() + "." + text;
  return rule_id("decided by handler " + text);
}

// ---------------------------------------------------------------- extraction

py::tuple provenance_of(ParserState& state, py::handle groups) {
  core::LabelStore& store = state.store;
  // A copy: reading a group may run the caller's code.
  py::list group_list = sequence_copy(groups);
  std::unordered_map<int32_t, size_t> origin_index;  // origin key -> position in `origins`
  py::list origins;
  py::list per_group;
  for (py::handle group : group_list) {
    py::object labels = group[py::int_(1)];
    // (cause, channels) in order of first appearance; a group mostly has one.
    std::vector<std::pair<core::CauseId, int64_t>> tally;
    for (py::handle item : labels) {
      const Label label = interop::to_int64(item, "a channel label");
      const core::LabelId root = store.live_root(label);
      const core::CauseId cause =
          root == core::LabelStore::kNoLabel ? core::LabelStore::kPrunable : store.cause(root);
      if (tally.empty() || tally.back().first != cause) {
        auto seen = std::find_if(tally.begin(), tally.end(),
                                 [&](const auto& entry) { return entry.first == cause; });
        if (seen == tally.end()) {
          tally.emplace_back(cause, 1);
          continue;
        }
        ++seen->second;
        continue;
      }
      ++tally.back().second;
    }
    py::list entries;
    for (const auto& [cause, count] : tally) {
      const std::vector<int32_t> keys = store.origin_keys(cause);
      py::tuple indices(keys.size());
      for (size_t k = 0; k < keys.size(); ++k) {
        auto [slot, added] = origin_index.try_emplace(keys[k], origins.size());
        if (added) {
          const ParserState::Origin& origin = state.origins()[static_cast<size_t>(keys[k])];
          origins.append(py::make_tuple(origin.node, py::str(rule_text(origin.rule))));
        }
        indices[k] = py::int_(slot->second);
      }
      entries.append(py::make_tuple(std::move(indices), count));
    }
    per_group.append(std::move(entries));
  }
  py::list fresh;
  for (core::NodeId node : state.fresh_nodes()) fresh.append(state.node_object(node));
  py::list ties;
  for (const ParserState::Tie& tie : state.ties()) {
    ties.append(py::make_tuple(state.node_object(tie.carrier_a), state.node_object(tie.carrier_b),
                               state.node_object(tie.reader_a), state.node_object(tie.reader_b)));
  }
  return py::make_tuple(std::move(origins), std::move(per_group), std::move(fresh),
                        std::move(ties));
}

// ---------------------------------------------------------------- Python API

namespace {

// `with pruning_state.rule("..."):` names the rule of the markings inside.
struct PyRuleScope {
  py::object owner;  // the state
  int32_t rule = -1;
  int32_t saved = -1;
  bool entered = false;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(owner.ptr());
    return 0;
  }
  void clear() { owner = py::none(); }
  ParserState* state() const {
    return py::isinstance<ParserState>(owner) ? &owner.cast<ParserState&>() : nullptr;
  }
};

}  // namespace

py::object rule_scope(py::object state, const std::string& text) {
  PyRuleScope scope;
  scope.owner = std::move(state);
  scope.rule = rule_id(text);
  return py::cast(std::move(scope));
}

void register_provenance(py::module_& m) {
  py::class_<PyRuleScope>(m, "_RuleScope",
                          "Context manager: the rule of the markings made inside the block.",
                          interop::gc_support<PyRuleScope>())
      .def("__enter__",
           [](py::object self) {
             PyRuleScope& scope = self.cast<PyRuleScope&>();
             if (scope.entered) throw py::value_error("this rule scope is already in use");
             if (ParserState* state = scope.state()) {
               scope.saved = state->context.rule;
               state->context.rule = scope.rule;
             }
             scope.entered = true;
             return self;
           })
      .def("__exit__", [](PyRuleScope& scope, py::args) {
        if (scope.entered) {
          if (ParserState* state = scope.state()) state->context.rule = scope.saved;
          scope.entered = false;
        }
        return false;
      });
}

}  // namespace tavrix::oprules
