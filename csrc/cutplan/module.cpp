#include "interop/pybind.hpp"

#include "cutplan/cutplan.hpp"
#include "interop/handed.hpp"

namespace tavrix::cutplan {

void register_configure(py::module_& m) {
  m.def(
      "configure",
      [](py::object flowscope_model, py::object graph_parser, py::object record_provenance,
         py::object node_class, py::object tensor_info_class, py::object picklable_operation,
         py::object channel_mix_ops, py::object gates, py::object are_indices_continuous,
         py::object get_tensor_uid, py::object get_submodule, py::object get_argument) {
        using interop::callable_argument;
        handed().require_unset();
        // Every one is checked before any is kept.
        Collaborators handed_over{
            callable_argument(std::move(flowscope_model), "flowscope_model"),
            callable_argument(std::move(graph_parser), "graph_parser"),
            callable_argument(std::move(record_provenance), "record_provenance"),
            callable_argument(std::move(node_class), "node_class"),
            callable_argument(std::move(tensor_info_class), "tensor_info_class"),
            callable_argument(std::move(picklable_operation), "picklable_operation"),
            std::move(channel_mix_ops),
            std::move(gates),
            callable_argument(std::move(are_indices_continuous), "are_indices_continuous"),
            callable_argument(std::move(get_tensor_uid), "get_tensor_uid"),
            callable_argument(std::move(get_submodule), "get_submodule")};
        get_argument = callable_argument(std::move(get_argument), "get_argument");
        handed().set(std::move(handed_over));
        interop::hand_argument_reader(std::move(get_argument));
      },
      py::kw_only(), py::arg("flowscope_model"), py::arg("graph_parser"),
      py::arg("record_provenance"), py::arg("node_class"), py::arg("tensor_info_class"),
      py::arg("picklable_operation"), py::arg("channel_mix_ops"), py::arg("gates"),
      py::arg("are_indices_continuous"), py::arg("get_tensor_uid"), py::arg("get_submodule"),
      py::arg("get_argument"),
      "Hands over the objects of the project the analysis works with (the tracer, the graph\n"
      "walk, the gate module, ...): the tavrix.pruning package calls it once, when it is\n"
      "imported; a second call raises RuntimeError.");
}

}  // namespace tavrix::cutplan

PYBIND11_MODULE(cutplan, m) {
  m.doc() =
      "Pruning information: channel groups, gate placement and creation, owning sub-modules "
      "and the text report of one analysed model call.";
  tavrix::cutplan::register_configure(m);
  tavrix::cutplan::register_report(m);
  tavrix::cutplan::register_placement(m);
  tavrix::cutplan::register_lookup(m);
  tavrix::cutplan::register_container(m);
  tavrix::cutplan::register_assembly(m);
}
