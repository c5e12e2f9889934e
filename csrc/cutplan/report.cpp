// ModelCutplan, the result container, and the text report it renders.
#include "interop/pybind.hpp"

#include "cutplan/cutplan.hpp"

#include <string>

namespace tavrix::cutplan {

namespace {

constexpr const char* kModule = "tavrix.pruning.cutplan";

PYBIND11_CONSTINIT py::gil_safe_call_once_and_store<py::object> cutplan_class_storage;

constexpr const char* kFieldNames[] = {"graph",
                                       "prunable_groups",
                                       "unprunable_groups",
                                       "labels_by_nodes",
                                       "node_users",
                                       "prunable_module_names_by_nodes",
                                       "gate_container",
                                       "gate_names_by_nodes",
                                       "prunable_group_gate_names",
                                       "ops_and_gate_names"};

std::string offset_with_spaces(const std::string& message, int64_t spaces) {
  const std::string pad(spaces > 0 ? static_cast<size_t>(spaces) : 0, ' ');
  std::string out;
  out.reserve(message.size() + pad.size() * 4);
  size_t start = 0;
  while (true) {
    size_t end = message.find('\n', start);
    size_t stop = end == std::string::npos ? message.size() : end;
    if (stop > start) {
      out += pad;
      out.append(message, start, stop - start);
    }
    if (end == std::string::npos) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

py::object get_range(py::handle indices) {
  // An empty label list has no first and last label.
  if (py::len(indices) == 0) return py::none();
  if (!py::bool_(collaborators().are_indices_continuous(indices))) return py::none();
  py::object first = indices[py::int_(0)];
  py::object last = indices[py::int_(-1)];
  return py::make_tuple(first, last);
}

std::string pruning_group_to_str(py::handle group_name, py::handle group) {
  auto parts = unpack_exactly(group, 2);
  if (!group_name.is_none() && !py::isinstance<py::str>(group_name)) {
    throw py::type_error("group_name must be a string or None, got " +
                         std::string(Py_TYPE(group_name.ptr())->tp_name));
  }
  const py::object& nodes = parts[0];
  const py::object& indices = parts[1];
  std::string s = "Group(name=" + interop::str(group_name) +
                  ", n_labels=" + std::to_string(py::len(indices)) +
                  ", range=" + interop::str(get_range(indices)) + ")\nNodes:";
  for (py::handle node : nodes) {
    s += "\n  ";
    s += interop::str(node.attr("unique_name"));
  }
  return s;
}

std::string groups_to_str(py::handle groups) {
  std::string s;
  size_t i = 0;
  for (py::handle group : groups) {
    if (i > 0) s += '\n';
    py::str name("#" + std::to_string(i));
    s += offset_with_spaces(pruning_group_to_str(name, group), 2);
    ++i;
  }
  return s;
}

bool less_equal(py::handle level, long bound) {
  py::int_ b(bound);
  int r = PyObject_RichCompareBool(level.ptr(), b.ptr(), Py_LE);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

std::string summary(py::handle self, py::handle level) {
  size_t n_channels = 0;
  py::object prunable_groups = self.attr("prunable_groups");
  for (py::handle group : prunable_groups) {
    n_channels += py::len(group[py::int_(1)]);
  }
  std::string head = "ModelCutplan(n_prunable_channels=" + std::to_string(n_channels);
  if (less_equal(level, 0)) return head + ")";
  head += ", n_nodes=" + std::to_string(py::len(self.attr("graph"))) +
          ", n_gates=" + std::to_string(py::len(prunable_groups)) + ")";
  if (less_equal(level, 1)) return head;
  return head + "\nPrunable groups:\n" + groups_to_str(prunable_groups) + "\nUnprunable groups:\n" +
         groups_to_str(self.attr("unprunable_groups"));
}

py::object make_model_cutplan_class() {
  py::dict ns;
  ns["__doc__"] = "Container with model pruning-related information.";
  py::object cls = interop::make_class("ModelCutplan", kModule, py::make_tuple(), ns);

  interop::add_method(
      cls, "__init__",
      [](py::handle self, py::object graph, py::object prunable_groups,
         py::object unprunable_groups, py::object labels_by_nodes, py::object node_users,
         py::object prunable_module_names_by_nodes, py::object gate_container,
         py::object gate_names_by_nodes, py::object prunable_group_gate_names,
         py::object ops_and_gate_names, py::object rule_record, py::object tensor_names,
         py::object provenance) {
        const py::object values[] = {graph,
                                     prunable_groups,
                                     unprunable_groups,
                                     labels_by_nodes,
                                     node_users,
                                     prunable_module_names_by_nodes,
                                     gate_container,
                                     gate_names_by_nodes,
                                     prunable_group_gate_names,
                                     ops_and_gate_names};
        for (size_t i = 0; i < 10; ++i) py::setattr(self, kFieldNames[i], values[i]);
        // the class holds None for each: an instance keeps only what it was given
        const std::pair<const char*, py::object> extra[] = {{"rule_record", rule_record},
                                                            {"tensor_names", tensor_names},
                                                            {"provenance", provenance}};
        for (const auto& [name, value] : extra) {
          if (!value.is_none()) py::setattr(self, name, value);
        }
      },
      py::arg("graph"), py::arg("prunable_groups"), py::arg("unprunable_groups"),
      py::arg("labels_by_nodes"), py::arg("node_users"), py::arg("prunable_module_names_by_nodes"),
      py::arg("gate_container"), py::arg("gate_names_by_nodes"),
      py::arg("prunable_group_gate_names"), py::arg("ops_and_gate_names"), py::kw_only(),
      py::arg("rule_record") = py::none(), py::arg("tensor_names") = py::none(),
      py::arg("provenance") = py::none());
  // What the analysis adds, None on a plan made by hand: read as plain attributes, and
  // still there (as None) when an instance lost its own (copy, del). A plan analysed with
  // provenance off has no provenance attribute at all, as callers test with hasattr.
  for (const char* field : {"rule_record", "tensor_names"}) {
    cls.attr(field) = py::none();
  }

  interop::add_method(
      cls, "summary", [](py::handle self, py::object level) { return summary(self, level); },
      py::arg("level") = 0,
      "Text report of the pruning information.\n\n"
      "level should be from 0 to 2 inclusive (default 0): 0 gives the number of prunable\n"
      "channels, 1 adds the node and gate counts, 2 lists every group with its nodes.");
  // pickle and deepcopy: operations that pickle cannot name (x.shape's
  // descriptor read, F.max_pool2d) travel as references to themselves.
  interop::add_method(cls, "__getstate__", [](py::handle self) {
    PyObject* copied = PyDict_Copy(py::object(self.attr("__dict__")).ptr());
    if (copied == nullptr) throw py::error_already_set();
    auto state = py::reinterpret_steal<py::dict>(copied);
    py::object ops = py::getattr(self, "ops_and_gate_names", py::none());
    if (PyList_CheckExact(ops.ptr())) {
      const py::object& picklable_operation = collaborators().picklable_operation;
      py::list portable;
      for (py::handle pair : ops) {
        auto parts = unpack_exactly(pair, 2);
        portable.append(py::make_tuple(picklable_operation(parts[0]), parts[1]));
      }
      state["ops_and_gate_names"] = portable;
    }
    return state;
  });
  interop::add_method(cls, "__str__", [](py::handle self) { return self.attr("summary")(1); });
  interop::add_method(cls, "__repr__", [](py::handle self) { return self.attr("summary")(0); });
  return cls;
}

}  // namespace

py::object model_cutplan_class() {
  return cutplan_class_storage.call_once_and_store_result(make_model_cutplan_class).get_stored();
}

void register_report(py::module_& m) {
  m.attr("ModelCutplan") = model_cutplan_class();
  m.def("pruning_group_to_str", &pruning_group_to_str, py::arg("group_name"), py::arg("group"),
        "Text of one channel group: its name, label count and range, then its nodes.");
  m.def("_groups_to_str", &groups_to_str, py::arg("groups"));
  m.def("_get_range", &get_range, py::arg("indices"),
        "(first label, last label) when the labels form one continuous run, else None.");
  m.def(
      "_offset_with_spaces",
      [](const std::string& message, py::handle spaces) {
        return offset_with_spaces(message, interop::to_int64(spaces, "spaces"));
      },
      py::arg("message"), py::arg("spaces") = 2);
}

}  // namespace tavrix::cutplan
