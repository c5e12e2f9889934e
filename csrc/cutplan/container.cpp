// Gate container: one ChannelGate per selected node (shared between groups
// that select the same node) and one GroupSharedGate per prunable group.
#include "interop/pybind.hpp"

#include "cutplan/cutplan.hpp"
#include "interop/context.hpp"

#include <string>

namespace tavrix::cutplan {

namespace {

// The candidates in group order, so that a group's new gates are numbered
// the same way on every run (a set of nodes iterates in address order).
py::list in_group_order(py::handle group_nodes, const py::set& candidates) {
  py::list ordered;
  py::set seen;
  for (py::handle node : group_nodes) {
    if (candidates.contains(node) && !seen.contains(node)) {
      ordered.append(node);
      seen.add(node);
    }
  }
  if (py::len(seen) != py::len(candidates)) {
    for (py::handle node : candidates) {
      if (!seen.contains(node)) ordered.append(node);
    }
  }
  return ordered;
}

// Convolutions (plain and transposed) and linear layers, which make fresh
// channels from their input's.
const py::tuple& layer_ops() {
  return interop::cached([] {
    py::module_ f = py::module_::import("torch.nn.functional");
    return py::make_tuple(f.attr("conv1d"), f.attr("conv2d"), f.attr("conv3d"),
                          f.attr("conv_transpose1d"), f.attr("conv_transpose2d"),
                          f.attr("conv_transpose3d"), f.attr("linear"));
  });
}

// The group's calls of a layer called more than once (its weight read by
// several nodes of the group): each call makes the group's channels afresh,
// so each gets a gate of its own and the importance sums over the calls.
py::set repeated_layer_calls(py::handle group_nodes) {
  const py::tuple& layers = layer_ops();
  const py::object linear = layers[layers.size() - 1];
  py::dict calls_by_weight;  // tensor uid -> [node, ...]
  for (py::handle node : group_nodes) {
    const AttrNames& names = attr_names();
    py::object operation = node.attr(names.operation);
    bool is_layer = false;
    for (py::handle op : layers) is_layer = is_layer || operation.is(op);
    if (!is_layer) continue;
    py::object args = node.attr(names.args);
    py::object kwargs = node.attr(names.kwargs);
    if (!operation.is(linear)) {
      // a grouped or depthwise convolution passes its input's channels on
      py::object groups = interop::get_argument(args, kwargs, 6, "groups", py::int_(1));
      if (!py::isinstance<py::int_>(groups) || groups.cast<int64_t>() != 1) continue;
    }
    py::object weight = interop::get_argument(args, kwargs, 1, "weight", py::none());
    if (weight.is_none() || !py::hasattr(weight, names.tensor_uid)) continue;
    py::object uid = weight.attr(names.tensor_uid);
    py::object calls = calls_by_weight.attr("setdefault")(uid, py::list());
    calls.attr("append")(node);
  }
  py::set repeated;
  for (auto item : calls_by_weight) {
    py::handle calls = item.second;
    if (py::len(calls) < 2) continue;
    for (py::handle node : calls) repeated.add(node);
  }
  return repeated;
}

const py::object& inference_mode_type() {
  return interop::cached([] { return interop::import_attr("torch", "inference_mode"); });
}

py::tuple build_gate_container(py::handle labels_by_nodes, py::handle prunable_groups,
                               py::handle node_users, py::handle prune_dimension_by_nodes) {
  const py::object& gate_module = collaborators().gates;
  py::object channel_gate_class = gate_module.attr("ChannelGate");
  py::object group_gate_class = gate_module.attr("GroupSharedGate");

  long gate_index = 0;
  py::dict gates;
  py::dict gate_names_by_nodes;
  const size_t n_groups = py::len(prunable_groups);
  py::list prunable_group_gate_names(n_groups);
  for (size_t i = 0; i < n_groups; ++i) prunable_group_gate_names[i] = py::list();

  size_t i = 0;
  for (py::handle pair : prunable_groups) {
    auto parts = unpack_exactly(pair, 2);
    const py::object& group_nodes = parts[0];
    py::object channel_group = group_gate_class(py::arg("labels") = parts[1]);
    // A node fed only by model inputs or parameters (a first conv) opens a
    // walk in every group, not only before the first gate exists: otherwise a
    // group numbered after another would lose its gate, or miss the gate it
    // shares with an earlier group, and get no importance at all.
    py::set candidates =
        candidate_nodes(group_nodes, node_users, true, repeated_layer_calls(group_nodes));
    py::list names = prunable_group_gate_names[i];
    for (py::handle node : in_group_order(group_nodes, candidates)) {
      py::object gate_name;
      if (gate_names_by_nodes.contains(node)) {
        gate_name = gate_names_by_nodes[node];
      } else {
        gate_name = py::str("channel_gate_" + std::to_string(gate_index));
        gates[gate_name] =
            channel_gate_class(py::arg("labels") = labels_by_nodes[node],
                               py::arg("prune_dim") = prune_dimension_by_nodes[node]);
        gate_names_by_nodes[node] = gate_name;
        names.append(gate_name);
        ++gate_index;
      }
      gates[gate_name].attr(attr_names().add_group)(channel_group);
    }
    ++i;
  }
  py::object gate_container = gate_module.attr("gate_container")(gates);
  return py::make_tuple(gate_container, gate_names_by_nodes, prunable_group_gate_names);
}

}  // namespace

py::tuple create_gate_container(py::handle labels_by_nodes, py::handle prunable_groups,
                                py::handle node_users, py::handle prune_dimension_by_nodes) {
  // Gates need autograd: made while the analysed call runs in inference mode
  // they would hold inference tensors, which no later call can train.
  py::object made = interop::run_in_context(inference_mode_type()(false), [&]() -> py::object {
    return build_gate_container(labels_by_nodes, prunable_groups, node_users,
                                prune_dimension_by_nodes);
  });
  return py::reinterpret_borrow<py::tuple>(made);
}

void register_container(py::module_& m) {
  m.def("create_gate_container", &create_gate_container, py::arg("labels_by_nodes"),
        py::arg("prunable_groups"), py::arg("node_users"), py::arg("prune_dimension_by_nodes"),
        "Creates the gates of all prunable groups.\n\n"
        "Returns (gate_container, gate_names_by_nodes, prunable_group_gate_names): a\n"
        "torch.nn.ModuleDict of gates named channel_gate_<n>, the gate name of every gated\n"
        "node, and per group the names of the gates created for it.");
}

}  // namespace tavrix::cutplan
