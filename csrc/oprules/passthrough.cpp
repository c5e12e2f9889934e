#include "interop/pybind.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/provenance.hpp"

#include <string>

namespace tavrix::oprules {

namespace {

const Rule kRuleChannelwiseAxis(
    "channel-wise operation on a tensor not pruned along its channel axis");
const Rule kRuleDropoutTraining("dropout in training mode");
const Rule kRulePassThrough("operation passing its input's channels on");
const Rule kRuleDropout("dropout");

[[noreturn]] void raise_keyword_input_error() {
  const py::object& ops = collaborators().elementwise_ops;
  const std::string message =
      "Unimplemented elementwise function call\nSome of the following functions " +
      interop::str(py::tuple(ops)) +
      " in your model have their first argument set with a construction "
      "\"function(input=input, ...)\". You should use \"function(input, ...)\" construction "
      "instead.";
  PyErr_SetString(PyExc_NotImplementedError, message.c_str());
  throw py::error_already_set();
}

py::object get_input_for_elementwise_node(py::handle node) {
  py::object args = node.attr(graph_attr().args);
  if (py::len(args) == 0) raise_keyword_input_error();
  PyObject* first = PySequence_GetItem(args.ptr(), 0);
  if (first == nullptr) throw py::error_already_set();
  py::object src = py::reinterpret_steal<py::object>(first);
  py::handle logger = engine_logger();
  if (interop::log_enabled(logger, interop::kLogDebug)) {
    interop::log(logger, interop::kLogDebug,
                 "input_node: " + interop::str(py::type::handle_of(src)));
  }
  if (!is_trace_tensor(src)) {
    raise_engine_error("Attempting to process elementwise operation for non-traced tensor");
  }
  return src;
}

void dropout_node_handler(ParserState& state, py::handle node) {
  py::object args = node.attr(graph_attr().args);
  py::object kwargs = node.attr(graph_attr().kwargs);
  py::object operation = node.attr(graph_attr().operation);
  const int member =
      PySequence_Contains(collaborators().dropout_train_default_ops.ptr(), operation.ptr());
  if (member < 0) throw py::error_already_set();
  py::object training = interop::get_argument(args, kwargs, 2, "training", py::bool_(member != 0));
  const int truth = PyObject_IsTrue(training.ptr());
  if (truth < 0) throw py::error_already_set();
  if (truth != 0) {
    interop::warn_user("For proper pruning model with dropout it should be in eval mode");
  }
  // The standard rules pass the channels on even in training mode; a rule set
  // that stops them here finds its rule named.
  RuleScope scope(state, truth != 0 ? kRuleDropoutTraining : kRuleDropout);
  elementwise_node_handler(state, node, py::none());
}

}  // namespace

void default_node_handler(ParserState& state, py::handle node, PruneDim prune_dimension) {
  // Inputs first: a node recorded twice still has its inputs marked.
  mark_node_inputs_as_non_prunable(state, node);
  add_node_output_channel_info(state, node, Labels{}, false, prune_dimension);
}

void elementwise_node_handler(ParserState& state, py::handle node, py::handle src_node) {
  py::object src = src_node.is_none() ? get_input_for_elementwise_node(node)
                                      : py::reinterpret_borrow<py::object>(src_node);
  node_keep_state(state, node, src);
}

void channelwise_node_handler(ParserState& state, py::handle node, py::handle src_node) {
  py::object src = src_node.is_none() ? get_input_for_elementwise_node(node)
                                      : py::reinterpret_borrow<py::object>(src_node);
  const PruneDim prune_dimension = get_prune_dimension(state, src);
  if (prune_dimension != kCnnPruneDim) {
    const std::string got =
        prune_dimension ? std::to_string(*prune_dimension) : std::string("None");
    interop::warn_user("For channelwise operation " +
                       interop::str(node.attr(graph_attr().operation_name)) +
                       " prune dimension should be " + std::to_string(kCnnPruneDim) + ", but got " +
                       got + " dimension");
    RuleScope scope(state, kRuleChannelwiseAxis);
    default_node_handler(state, node);
    return;
  }
  node_keep_state(state, node, src);
}

void register_passthrough(py::module_& m) {
  m.def(
      "_default_node_handler",
      [](ParserState& s, py::handle node, py::handle prune_dimension) {
        HandlerScope scope(s, node, kRuleNotHandled);
        default_node_handler(s, node, to_prune_dim(prune_dimension));
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("prune_dimension") = py::none(),
      "Barrier: makes every input channel unprunable; the node carries no channels.");
  m.def(
      "_elementwise_node_handler",
      [](ParserState& s, py::handle node, py::handle src_node) {
        HandlerScope scope(s, node, kRulePassThrough);
        elementwise_node_handler(s, node, src_node);
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("src_node") = py::none(),
      "The node keeps the channels of its source (by default its first positional argument).");
  m.def(
      "_channelwise_node_handler",
      [](ParserState& s, py::handle node, py::handle src_node) {
        HandlerScope scope(s, node, kRulePassThrough);
        channelwise_node_handler(s, node, src_node);
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("src_node") = py::none(),
      "Like the elementwise handler, for sources pruned along the channel axis only.");
  define_handler(
      m, "_dropout_node_handler", dropout_node_handler, kRuleDropout,
      "Passes the input's channels through; warns when the dropout runs in training mode.");
  add_native_handler(
      m, "_default_node_handler",
      [](ParserState& s, py::handle node) { default_node_handler(s, node); }, kRuleNotHandled);
  add_native_handler(
      m, "_elementwise_node_handler",
      [](ParserState& s, py::handle node) { elementwise_node_handler(s, node, py::none()); },
      kRulePassThrough);
  add_native_handler(
      m, "_channelwise_node_handler",
      [](ParserState& s, py::handle node) { channelwise_node_handler(s, node, py::none()); },
      kRulePassThrough);
  m.def(
      "_get_input_for_elementwise_node",
      [](py::handle node) { return get_input_for_elementwise_node(node); }, py::arg("node"),
      "The source input of a pass-through node: its first positional argument.");
}

}  // namespace tavrix::oprules
