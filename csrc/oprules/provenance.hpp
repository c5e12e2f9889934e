// Why labels are unprunable: rule texts and the scopes that name them.
//
// Every marking (a barrier, a flag set to false) records one cause per label
// class: the node being handled and the rule in force. A handler names its
// rule for a stretch of code with a RuleScope; the walk gives every handler a
// default rule, so a marking is never without one.
#pragma once

#include "interop/pybind.hpp"

#include "oprules/parser_state.hpp"

#include <cstdint>
#include <string>

namespace tavrix::oprules {

// Interns a rule text; ids are stable for the life of the process.
int32_t rule_id(const std::string& text);
const std::string& rule_text(int32_t id);

// A rule of the engine's own handlers, named once where it is used:
//   const Rule kGroupedConvolution("grouped convolution");
class Rule {
 public:
  explicit Rule(const char* text) : id_(rule_id(text)) {}
  int32_t id() const { return id_; }

 private:
  int32_t id_;
};

// Rules several handler families share.
extern const Rule kRuleNotHandled;  // the barrier the walk uses for unknown operations
extern const Rule kRuleUnknown;     // a marking made outside any handler

// The rule of the markings made while it lives; exceptions restore the outer one.
class RuleScope {
 public:
  RuleScope(ParserState& state, const Rule& rule) : state_(state), saved_(state.context.rule) {
    state.context.rule = rule.id();
  }
  ~RuleScope() { state_.context.rule = saved_; }
  RuleScope(const RuleScope&) = delete;
  RuleScope& operator=(const RuleScope&) = delete;

 private:
  ParserState& state_;
  int32_t saved_;
};

// The node being handled and its handler's default rule. `keep_outer`: a
// handler function called from inside another handler (a Python handler
// delegating to a native one) keeps the caller's node and rule.
class HandlerScope {
 public:
  HandlerScope(ParserState& state, py::handle node, int32_t rule, bool keep_outer = true)
      : state_(state), saved_(state.context) {
    if (!keep_outer || state.context.node == nullptr) {
      state.context.node = node.ptr();
      state.context.rule = rule;
    }
  }
  HandlerScope(ParserState& state, py::handle node, const Rule& rule)
      : HandlerScope(state, node, rule.id()) {}
  ~HandlerScope() { state_.context = saved_; }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  ParserState& state_;
  ParserState::Context saved_;
};

// The rule a handler function gives its markings by default: its
// __tavrix_rule__ text, else one naming the handler.
int32_t default_rule_of(py::handle handler);

// For each (nodes, labels) group: the causes of its labels, as
// (origins, per_group, fresh_nodes, ties); see the binding in state.cpp.
py::tuple provenance_of(ParserState& state, py::handle groups);

// PruneGraphParserState.rule(text): a context manager for Python handlers.
py::object rule_scope(py::object state, const std::string& text);
void register_provenance(py::module_& m);

}  // namespace tavrix::oprules
