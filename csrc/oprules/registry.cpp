#include "interop/pybind.hpp"

#include "oprules/extended.hpp"
#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/provenance.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrix::oprules {

namespace {

// What get_node_handler needs on every call, taken from the module once.
struct Dispatch {
  py::dict registry;
  py::object default_handler;
  py::object tensor_get_handler;
  py::str get_name;
};

PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<Dispatch> dispatch_storage;

// The module's handler function objects with their C++ bodies. The objects
// are held, so a handler replaced on the module can never alias a new one.
struct NativeEntry {
  py::object object;
  NativeHandler handler;
  int32_t rule;
  int32_t name;  // the module attribute's name, for the rule record
};
struct NativeHandlers {
  std::vector<NativeEntry> entries;
};

NativeHandlers& native_handlers() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<NativeHandlers> storage;
  return storage.call_once_and_store_result([] { return NativeHandlers{}; }).get_stored();
}

const NativeEntry* native_handler_of(py::handle handler) {
  for (const NativeEntry& entry : native_handlers().entries) {
    if (entry.object.ptr() == handler.ptr()) return &entry;
  }
  return nullptr;
}

// What the walk needs of the Python handlers it meets, each looked up once:
// the default rule of their markings and their name for the rule record.
class PythonHandlers {
 public:
  struct Entry {
    py::object handler;  // held: the address cannot be reused
    int32_t rule;
    int32_t name;
  };

  const Entry& of(const py::object& handler) {
    for (const Entry& entry : seen_) {
      if (entry.handler.ptr() == handler.ptr()) return entry;
    }
    py::object name = py::getattr(handler, "__name__", py::none());
    const std::string text =
        py::isinstance<py::str>(name) ? name.cast<std::string>() : interop::repr(handler);
    seen_.push_back(Entry{handler, default_rule_of(handler), record_text_id(text)});
    return seen_.back();
  }

 private:
  std::vector<Entry> seen_;
};

const Dispatch& dispatch() {
  // Unconfigured, the registry is empty: every node would go to the default handler.
  collaborators();
  return dispatch_storage.get_stored();
}

// `overrides` (a dict, or null) is consulted before the registry: a rule set
// beyond the standard one.
py::object get_node_handler(py::handle node, py::handle overrides = py::handle()) {
  const Dispatch& d = dispatch();
  py::object name = node.attr(graph_attr().operation_name);
  const int is_get = PyObject_RichCompareBool(name.ptr(), d.get_name.ptr(), Py_EQ);
  if (is_get < 0) throw py::error_already_set();
  if (is_get != 0) {
    // Overrides may replace the metadata-read handler under the key "__get__".
    if (overrides) {
      PyObject* found = PyDict_GetItemWithError(overrides.ptr(), d.get_name.ptr());
      if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    return d.tensor_get_handler;
  }
  py::object operation = node.attr(graph_attr().operation);
  if (overrides) {
    PyObject* found = PyDict_GetItemWithError(overrides.ptr(), operation.ptr());
    if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  PyObject* handler = PyDict_GetItemWithError(d.registry.ptr(), operation.ptr());
  if (handler == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return d.default_handler;
  }
  return py::reinterpret_borrow<py::object>(handler);
}

// The walk: every node, in order, to the handler get_node_handler picks for it.
void walk(py::handle pruning_state, py::handle graph, py::handle overrides = py::handle()) {
  PyObject* call_args[3] = {nullptr, pruning_state.ptr(), nullptr};
  // The module's own handlers are called directly; they would receive this
  // very state object through the binding anyway.
  ParserState* state =
      py::isinstance<ParserState>(pruning_state) ? &pruning_state.cast<ParserState&>() : nullptr;
  PythonHandlers python_handlers;
  for (py::handle node : graph) {
    py::object handler = get_node_handler(node, overrides);
    // The node and rule of whatever the handler marks; the graph holds the node.
    std::optional<HandlerScope> scope;
    if (state != nullptr) {
      if (const NativeEntry* native = native_handler_of(handler)) {
        state->begin_node(node, native->name);
        HandlerScope native_scope(*state, node, native->rule, false);
        native->handler(*state, node);
        continue;
      }
      const PythonHandlers::Entry& python = python_handlers.of(handler);
      state->begin_node(node, python.name);
      if (state->record_causes) scope.emplace(*state, node, python.rule, false);
    }
    call_args[2] = node.ptr();
    PyObject* result = PyObject_Vectorcall(handler.ptr(), call_args + 1,
                                           2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (result == nullptr) throw py::error_already_set();
    Py_DECREF(result);
  }
}

}  // namespace

py::object node_handler_decorator(py::dict registry, py::object nodes) {
  return py::cpp_function(
      [registry, nodes](py::object func) {
        py::list operations;
        if (PyList_Check(nodes.ptr()) || PyTuple_Check(nodes.ptr())) {
          for (py::handle op : nodes) operations.append(op);
        } else {
          operations.append(nodes);
        }
        for (py::handle op : operations) {
          PyObject* current = PyDict_GetItemWithError(registry.ptr(), op.ptr());
          if (current == nullptr && PyErr_Occurred()) throw py::error_already_set();
          if (current != nullptr && current != func.ptr()) {
            throw py::value_error("Pruning handler for node " + interop::str(op) +
                                  " has already been registered");
          }
          registry[op] = func;
        }
        return func;
      },
      py::arg("func"));
}

void walk_nodes(py::handle pruning_state, py::handle graph, py::handle overrides) {
  if (!PyDict_Check(overrides.ptr())) throw py::type_error("the handler overrides must be a dict");
  walk(pruning_state, graph, overrides);
}

void add_native_handler(py::module_& m, const char* name, NativeHandler handler, const Rule& rule) {
  native_handlers().entries.push_back(
      NativeEntry{m.attr(name), handler, rule.id(), record_text_id(name)});
}

void define_handler(py::module_& m, const char* name, NativeHandler handler, const Rule& rule,
                    const char* doc, bool scoped) {
  const int32_t rule_id = rule.id();
  m.def(
      name,
      [handler, rule_id, scoped](ParserState& s, py::handle node) {
        std::optional<HandlerScope> scope;
        if (scoped) scope.emplace(s, node, rule_id);
        handler(s, node);
      },
      py::arg("pruning_state"), py::arg("node"), doc);
  add_native_handler(m, name, handler, rule);
}

void register_registry(py::module_& m) {
  py::dict registry;
  m.attr("PRUNING_NODE_HANDLER_REGISTRY") = registry;
  m.attr("CNN_PRUNE_DIM") = kCnnPruneDim;
  m.attr("_LOGGER") = engine_logger();
  py::list exports;
  exports.append("PruneGraphParserState");
  exports.append("get_node_handler");
  m.attr("__all__") = exports;

  m.def(
      "_register_node_handler",
      [registry](py::object nodes) { return node_handler_decorator(registry, nodes); },
      py::arg("nodes"),
      "Decorator registering a handler for one operation or a list/tuple of operations.");
  define_handler(
      m, "_tensor_get_node_handler",
      [](ParserState& s, py::handle node) {
        // A tensor attribute read carries no channels and leaves its source alone.
        add_node_output_channel_info(s, node, Labels{}, false, std::nullopt);
      },
      kRuleNotHandled, "A tensor attribute read: no channels; its source is left alone.", false);

  dispatch_storage.call_once_and_store_result([&] {
    return Dispatch{registry, m.attr("_default_node_handler"), m.attr("_tensor_get_node_handler"),
                    py::str("__get__")};
  });
  m.def(
      "get_node_handler", [](py::handle node) { return get_node_handler(node); }, py::arg("node"),
      "The handler to call for a traced node.");
  m.def(
      "_walk", [](py::handle pruning_state, py::handle graph) { walk(pruning_state, graph); },
      py::arg("pruning_state"), py::arg("graph"),
      "Calls get_node_handler(node)(pruning_state, node) for every node of graph, in order.");
}

void fill_registry(py::module_& m, const HandlerRows& rows) {
  py::module_ functional = py::module_::import("torch.nn.functional");
  py::module_ torch = py::module_::import("torch");
  const std::pair<py::object, const char*> table[] = {
      {rows.elementwise_ops, "_elementwise_node_handler"},
      {rows.channelwise_ops, "_channelwise_node_handler"},
      {rows.unary_reduce_ops, "_unary_reduce_handler"},
      {rows.dropout_ops, "_dropout_node_handler"},
      {py::make_tuple(functional.attr("conv1d"), functional.attr("conv2d"),
                      functional.attr("conv3d"), functional.attr("conv_transpose1d"),
                      functional.attr("conv_transpose2d"), functional.attr("conv_transpose3d")),
       "_conv_node_handler"},
      {functional.attr("linear"), "_linear_node_handler"},
      {rows.flatten_ops, "_flatten_node_handler"},
      {rows.binary_elementwise_ops, "_binary_elementwise_node_handler"},
      {torch.attr("cat"), "_cat_node_handler"}};
  // Every row is checked before the registry changes: an operation in two rows, or
  // registered with another handler, leaves it as it was.
  py::dict registry = m.attr("PRUNING_NODE_HANDLER_REGISTRY");
  py::dict added;
  for (const auto& [operations, handler_name] : table) {
    py::object handler = m.attr(handler_name);
    py::list listed;
    if (PyList_Check(operations.ptr()) || PyTuple_Check(operations.ptr())) {
      for (py::handle op : operations) listed.append(op);
    } else {
      listed.append(operations);
    }
    for (py::handle op : listed) {
      for (const py::dict& held : {registry, added}) {
        PyObject* current = PyDict_GetItemWithError(held.ptr(), op.ptr());
        if (current == nullptr && PyErr_Occurred()) throw py::error_already_set();
        if (current != nullptr && current != handler.ptr()) {
          throw py::value_error("Pruning handler for node " + interop::str(op) +
                                " has already been registered");
        }
      }
      added[op] = handler;
    }
  }
  if (PyDict_Update(registry.ptr(), added.ptr()) != 0) throw py::error_already_set();
}

}  // namespace tavrix::oprules
