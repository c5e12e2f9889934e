#include "interop/pybind.hpp"

#include "interop/handed.hpp"
#include "oprules/channel_labels.hpp"
#include "oprules/extended.hpp"
#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"

#include <string>
#include <utility>

namespace tavrix::oprules {

namespace {

// Two hand-overs share configure: the engine's collaborators, every keyword but
// matmuls, come once and together (the tavrix.pruning package's wiring); matmuls
// comes from the transformer rules, as often as they change it.
void configure(py::module_& m, py::object matmuls, py::object node_class,
               py::object tensor_info_class, py::object trace_tensor, py::object get_argument,
               py::object elementwise_ops, py::object channelwise_ops, py::object unary_reduce_ops,
               py::object dropout_ops, py::object binary_elementwise_ops, py::object flatten_ops,
               py::object norm_ops, py::object std_ops, py::object var_ops,
               py::object dropout_train_default_ops) {
  const std::pair<const char*, py::handle> engine[] = {
      {"node_class", node_class},
      {"tensor_info_class", tensor_info_class},
      {"trace_tensor", trace_tensor},
      {"get_argument", get_argument},
      {"elementwise_ops", elementwise_ops},
      {"channelwise_ops", channelwise_ops},
      {"unary_reduce_ops", unary_reduce_ops},
      {"dropout_ops", dropout_ops},
      {"binary_elementwise_ops", binary_elementwise_ops},
      {"flatten_ops", flatten_ops},
      {"norm_ops", norm_ops},
      {"std_ops", std_ops},
      {"var_ops", var_ops},
      {"dropout_train_default_ops", dropout_train_default_ops}};
  std::string missing;
  size_t given = 0;
  for (const auto& [name, value] : engine) {
    if (value.is_none()) {
      missing += missing.empty() ? name : std::string(", ") + name;
    } else {
      ++given;
    }
  }
  const bool hands_engine = given > 0;
  if (hands_engine && !missing.empty()) {
    throw py::type_error("configure: the engine's collaborators come together; missing " + missing);
  }
  if (!hands_engine && matmuls.is_none()) throw py::type_error("configure: nothing handed over");
  // Everything is checked before anything is kept.
  py::tuple products;
  if (!matmuls.is_none()) products = checked_matmuls(matmuls);
  if (hands_engine) {
    using interop::callable_argument;
    handed().require_unset();
    Collaborators handed_over{callable_argument(std::move(node_class), "node_class"),
                              callable_argument(std::move(tensor_info_class), "tensor_info_class"),
                              callable_argument(std::move(trace_tensor), "trace_tensor"),
                              std::move(elementwise_ops),
                              std::move(norm_ops),
                              std::move(std_ops),
                              std::move(var_ops),
                              std::move(dropout_train_default_ops)};
    get_argument = callable_argument(std::move(get_argument), "get_argument");
    fill_registry(m, HandlerRows{handed_over.elementwise_ops, std::move(channelwise_ops),
                                 std::move(unary_reduce_ops), std::move(dropout_ops),
                                 std::move(flatten_ops), std::move(binary_elementwise_ops)});
    handed().set(std::move(handed_over));
    interop::hand_argument_reader(std::move(get_argument));
  }
  if (!matmuls.is_none()) hand_matmuls(std::move(products));
}

void register_configure(py::module_& m) {
  m.def(
      "configure",
      [m](py::object matmuls, py::object node_class, py::object tensor_info_class,
          py::object trace_tensor, py::object get_argument, py::object elementwise_ops,
          py::object channelwise_ops, py::object unary_reduce_ops, py::object dropout_ops,
          py::object binary_elementwise_ops, py::object flatten_ops, py::object norm_ops,
          py::object std_ops, py::object var_ops, py::object dropout_train_default_ops) mutable {
        configure(m, std::move(matmuls), std::move(node_class), std::move(tensor_info_class),
                  std::move(trace_tensor), std::move(get_argument), std::move(elementwise_ops),
                  std::move(channelwise_ops), std::move(unary_reduce_ops), std::move(dropout_ops),
                  std::move(binary_elementwise_ops), std::move(flatten_ops), std::move(norm_ops),
                  std::move(std_ops), std::move(var_ops), std::move(dropout_train_default_ops));
      },
      py::kw_only(), py::arg("matmuls") = py::none(), py::arg("node_class") = py::none(),
      py::arg("tensor_info_class") = py::none(), py::arg("trace_tensor") = py::none(),
      py::arg("get_argument") = py::none(), py::arg("elementwise_ops") = py::none(),
      py::arg("channelwise_ops") = py::none(), py::arg("unary_reduce_ops") = py::none(),
      py::arg("dropout_ops") = py::none(), py::arg("binary_elementwise_ops") = py::none(),
      py::arg("flatten_ops") = py::none(), py::arg("norm_ops") = py::none(),
      py::arg("std_ops") = py::none(), py::arg("var_ops") = py::none(),
      py::arg("dropout_train_default_ops") = py::none(),
      "Hands over the Python objects the engine reads.\n\n"
      "The engine's collaborators (the traced graph's classes, the operation sets of the\n"
      "catalogue, the argument reader) come once and together: the tavrix.pruning package\n"
      "hands them over when it is imported, and fills PRUNING_NODE_HANDLER_REGISTRY with\n"
      "them. matmuls, handed over by the transformer rules on its own: the matrix products\n"
      "whose second operand the extended rules tie to a layer's weight (x @ self.weight.T).");
}

}  // namespace

}  // namespace tavrix::oprules

PYBIND11_MODULE(oprules, m) {
  m.doc() = "Channel-label engine: parser state, label operations and per-operation node handlers.";
  namespace o = tavrix::oprules;
  o::register_channel_labels(m);
  o::register_state(m);
  o::register_provenance(m);
  o::register_rule_record(m);
  o::register_passthrough(m);
  o::register_conv_linear(m);
  o::register_binary(m);
  o::register_cat_flatten(m);
  o::register_reduce(m);
  o::register_shared_params(m);
  o::register_registry(m);
  o::register_extended_shapes(m);
  o::register_extended_layers(m);
  o::register_extended(m);
  o::register_configure(m);
}
