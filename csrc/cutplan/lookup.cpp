// Module lookup: which model sub-module owns the weight (or running mean) a
// traced node used.
//
// The registry maps an operation to an entry: a search function with its
// expected module types fixed. The search compares the traced tensor's
// identity with the model's parameters (or buffers) and accepts the owner of
// the first match only if it has an expected type.
#include "interop/pybind.hpp"

#include "cutplan/cutplan.hpp"

#include <optional>
#include <string>
#include <unordered_map>

namespace tavrix::cutplan {

namespace {

// Which tensor a built-in entry matches on; Generic entries are called as is.
enum class SearchKind { Generic, Weight, RunningMean };

struct SearchEntry {
  py::object func;
  py::tuple expected_module_types;
  SearchKind kind = SearchKind::Generic;

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(func.ptr());
    Py_VISIT(expected_module_types.ptr());
    return 0;
  }
  void clear() {
    func = py::none();
    expected_module_types = py::tuple();
  }
};

}  // namespace

const AttrNames& attr_names() {
  return interop::cached([] {
    using interop::interned;
    return AttrNames{interned("args"),         interned("kwargs"),     interned("operation"),
                     interned("result_shape"), interned("tensor_uid"), interned("add_group")};
  });
}

namespace {

const py::object& tensor_class() {
  return interop::cached([] { return interop::import_attr("torch", "Tensor"); });
}

// get_tensor_uid without a call into Python for a tensor (its id); anything
// else goes to get_tensor_uid, which raises its own error.
py::object tensor_uid(py::handle obj) {
  if (PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(tensor_class().ptr()))) {
    return py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(obj.ptr()));
  }
  return collaborators().get_tensor_uid(obj);
}

const py::object& module_class() {
  return interop::cached([] { return interop::import_attr("torch.nn", "Module"); });
}

const py::object& parametrization_list_class() {
  return interop::cached(
      [] { return interop::import_attr("torch.nn.utils.parametrize", "ParametrizationList"); });
}

py::dict& search_registry() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::dict> storage;
  return storage.call_once_and_store_result([] { return py::dict(); }).get_stored();
}

py::tuple normalise_module_types(py::handle expected) {
  if (py::isinstance<py::tuple>(expected)) return py::reinterpret_borrow<py::tuple>(expected);
  if (py::isinstance<py::list>(expected)) {
    return py::tuple(py::reinterpret_borrow<py::object>(expected));
  }
  return py::make_tuple(expected);
}

bool is_instance(py::handle obj, py::handle types) {
  int r = PyObject_IsInstance(obj.ptr(), types.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

std::string owner_path(const std::string& name) {
  size_t dot = name.rfind('.');
  return dot == std::string::npos ? std::string() : name.substr(0, dot);
}

const char* tensor_key(SearchKind kind) {
  return kind == SearchKind::Weight ? "weight" : "running_mean";
}

// The module that uses a tensor named `name` in named_parameters() or
// named_buffers(): the tensor's parent, except that a parametrized tensor
// (weight_norm, spectral_norm, torch.nn.utils.parametrize) lives in
// <owner>.parametrizations.<tensor> and belongs to <owner>. The tracer
// identifies a tensor computed by a parametrization with its first original.
struct Owner {
  std::string path;
  py::object module;
};

// `modules` (path -> module, from a named_modules() walk) or null: then the
// module is looked up by its path.
Owner owner_of(py::handle model, const std::string& name, py::handle modules = py::handle()) {
  auto module_at = [&](const std::string& path) -> py::object {
    py::str key(path);
    if (modules) {
      PyObject* found = PyDict_GetItemWithError(modules.ptr(), key.ptr());
      if (found != nullptr) return py::reinterpret_borrow<py::object>(found);
      if (PyErr_Occurred()) throw py::error_already_set();
    }
    return collaborators().get_submodule(model, key);
  };
  std::string path = owner_path(name);
  py::object module = module_at(path);
  if (is_instance(module, parametrization_list_class())) {
    const std::string list_parent = owner_path(path);  // <owner>.parametrizations
    const size_t dot = list_parent.rfind('.');
    const std::string last = dot == std::string::npos ? list_parent : list_parent.substr(dot + 1);
    if (last == "parametrizations") {
      path = owner_path(list_parent);
      module = module_at(path);
    }
  }
  return {path, module};
}

py::object find_module_by_tensor_info(py::handle tensor_info, py::handle model,
                                      py::handle parameters, py::handle expected_module_types) {
  py::object types = normalise_module_types(expected_module_types);
  for (py::handle item : parameters) {
    auto pair = unpack_exactly(item, 2);
    py::object uid = tensor_uid(pair[1]);
    if (!uid.equal(tensor_info.attr("tensor_uid"))) continue;
    Owner owner = owner_of(model, pair[0].cast<std::string>());
    if (is_instance(owner.module, types)) return py::str(owner.path);
    return py::none();
  }
  return py::none();
}

// The traced argument of a search; None when the call passed no traced tensor
// there (a batch norm without running statistics, a weight computed by an
// earlier node): such a node has no owner to find.
py::object traced_tensor_argument(py::handle args, py::handle kwargs, SearchKind kind) {
  py::object value = interop::get_argument(args, kwargs, 1, tensor_key(kind), py::none());
  if (value.is_none() || !py::hasattr(value, attr_names().tensor_uid)) return py::none();
  return value;
}

py::object find_by_kind(SearchKind kind, py::handle model, py::handle args, py::handle kwargs,
                        py::handle expected_module_types) {
  py::object tensor_info = traced_tensor_argument(args, kwargs, kind);
  if (tensor_info.is_none()) return py::none();
  py::object tensors =
      kind == SearchKind::Weight ? model.attr("named_parameters")() : model.attr("named_buffers")();
  return find_module_by_tensor_info(tensor_info, model, tensors, expected_module_types);
}

py::object find_module_by_weight_tensor(py::handle model, py::handle args, py::handle kwargs,
                                        py::handle expected_module_types) {
  return find_by_kind(SearchKind::Weight, model, args, kwargs, expected_module_types);
}

py::object find_bn_module_by_running_mean_tensor(py::handle model, py::handle args,
                                                 py::handle kwargs,
                                                 py::handle expected_module_types) {
  return find_by_kind(SearchKind::RunningMean, model, args, kwargs, expected_module_types);
}

SearchEntry make_entry(py::handle func, py::handle expected_modules) {
  SearchEntry entry;
  entry.expected_module_types = normalise_module_types(expected_modules);
  if (py::isinstance<SearchEntry>(func)) {
    // Registering an entry again re-targets the base search, not the entry.
    const auto& inner = func.cast<const SearchEntry&>();
    entry.func = inner.func;
    entry.kind = inner.kind;
  } else {
    entry.func = py::reinterpret_borrow<py::object>(func);
  }
  return entry;
}

py::object add_registry_search_function(py::object operation, py::object expected_modules) {
  return py::cpp_function(
      [operation, expected_modules](py::handle func) -> py::object {
        SearchEntry entry = make_entry(func, expected_modules);
        py::dict& registry = search_registry();
        if (registry.contains(operation)) {
          throw py::value_error("The operation \"" + interop::str(operation) +
                                "\" has already been registered");
        }
        py::object stored = py::cast(std::move(entry));
        registry[operation] = stored;
        return stored;
      },
      py::name("wrapper"), py::arg("func"));
}

// Per get_cutplan call: uid -> first name in named_parameters / named_buffers
// order, so that each node costs one dict lookup instead of a parameter scan.
class TensorOwnerIndex {
 public:
  explicit TensorOwnerIndex(py::handle model) : model_(py::reinterpret_borrow<py::object>(model)) {}

  py::object find(SearchKind kind, py::handle args, py::handle kwargs, py::handle types) {
    py::object tensor_info = traced_tensor_argument(args, kwargs, kind);
    if (tensor_info.is_none()) return py::none();
    py::dict& index = kind == SearchKind::Weight ? parameters_ : buffers_;
    if (!index) {
      if (plain_members()) {
        build_in_one_walk();
      } else {
        index = build(kind == SearchKind::Weight ? "named_parameters" : "named_buffers");
      }
    }
    if (index.empty()) return py::none();
    py::object uid = tensor_info.attr(attr_names().tensor_uid);
    PyObject* found = PyDict_GetItemWithError(index.ptr(), uid.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      return py::none();
    }
    const std::string name = py::reinterpret_borrow<py::str>(found).cast<std::string>();
    auto known = owners_.find(name);
    if (known == owners_.end())
      known = owners_.emplace(name, owner_of(model_, name, modules_)).first;
    // A copy: isinstance may run Python code that looks the index up again.
    const Owner owner = known->second;
    if (is_instance(owner.module, types)) return py::str(owner.path);
    return py::none();
  }

 private:
  py::dict build(const char* method) {
    py::dict index;
    for (py::handle item : model_.attr(method)()) {
      auto pair = unpack_exactly(item, 2);
      py::object uid = tensor_uid(pair[1]);
      // The first name wins, as in a scan that stops at the first match.
      if (PyDict_SetDefault(index.ptr(), uid.ptr(), pair[0].ptr()) == nullptr) {
        throw py::error_already_set();
      }
    }
    return index;
  }

  // Whether named_parameters and named_buffers are nn.Module's own, which
  // list the _parameters and _buffers of named_modules() in its order.
  bool plain_members() const {
    const py::object& base = module_class();
    py::handle cls = py::type::handle_of(model_);
    for (const char* method : {"named_parameters", "named_buffers", "_named_members"}) {
      if (!cls.attr(method).is(base.attr(method))) return false;
    }
    return true;
  }

  // What named_parameters() and named_buffers() list, from one named_modules()
  // walk that also keeps each path's module for the owners.
  void build_in_one_walk() {
    py::dict parameters;
    py::dict buffers;
    py::dict modules;
    py::str parameters_attr("_parameters");
    py::str buffers_attr("_buffers");
    for (py::handle item : model_.attr("named_modules")()) {
      auto pair = unpack_exactly(item, 2);
      const py::object& prefix = pair[0];
      const py::object& module = pair[1];
      if (PyDict_SetDefault(modules.ptr(), prefix.ptr(), module.ptr()) == nullptr) {
        throw py::error_already_set();
      }
      const std::string dotted = prefix.cast<std::string>();
      add_members(parameters, module.attr(parameters_attr), dotted);
      add_members(buffers, module.attr(buffers_attr), dotted);
    }
    parameters_ = std::move(parameters);
    buffers_ = std::move(buffers);
    modules_ = std::move(modules);
  }

  static void add_members(py::dict& index, py::object members, const std::string& prefix) {
    // A copy of the items: get_tensor_uid is Python code that could change the dict.
    PyObject* items = PyDict_Check(members.ptr()) ? PyDict_Items(members.ptr())
                                                  : PySequence_List(members.attr("items")().ptr());
    if (items == nullptr) throw py::error_already_set();
    py::list listed_items = py::reinterpret_steal<py::list>(items);
    if (listed_items.empty()) return;
    // "prefix." once per module; each name is one concatenation with it
    const py::str dotted_prefix(prefix.empty() ? std::string() : prefix + ".");
    for (py::handle item : listed_items) {
      auto pair = unpack_exactly(item, 2);
      if (pair[1].is_none()) continue;
      py::object uid = tensor_uid(pair[1]);
      const int listed = PyDict_Contains(index.ptr(), uid.ptr());
      if (listed < 0) throw py::error_already_set();
      if (listed == 1) continue;  // listed under its first name
      py::object name;
      if (PyUnicode_CheckExact(pair[0].ptr())) {
        PyObject* joined = PyUnicode_Concat(dotted_prefix.ptr(), pair[0].ptr());
        if (joined == nullptr) throw py::error_already_set();
        name = py::reinterpret_steal<py::object>(joined);
      } else {
        name = py::str(prefix.empty() ? pair[0].cast<std::string>()
                                      : prefix + "." + pair[0].cast<std::string>());
      }
      index[uid] = name;
    }
  }

  py::object model_;
  py::dict modules_{py::reinterpret_steal<py::dict>(py::handle())};  // path -> module
  py::dict parameters_{py::reinterpret_steal<py::dict>(py::handle())};
  py::dict buffers_{py::reinterpret_steal<py::dict>(py::handle())};
  std::unordered_map<std::string, Owner> owners_;  // tensor name -> owner
};

}  // namespace

py::dict get_prunable_nn_modules(py::handle model, py::handle channel_labels_by_nodes) {
  py::dict result;
  py::dict& registry = search_registry();
  TensorOwnerIndex owners(model);
  for (py::handle node : channel_labels_by_nodes) {
    const AttrNames& names = attr_names();
    py::object args = node.attr(names.args);
    py::object kwargs = node.attr(names.kwargs);
    py::object operation = node.attr(names.operation);
    PyObject* found = PyDict_GetItemWithError(registry.ptr(), operation.ptr());
    if (found == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      continue;
    }
    // Held from here on: the search calls into the model (named_parameters,
    // get_submodule, isinstance), whose code may drop the registry entry.
    py::object entry = py::reinterpret_borrow<py::object>(found);
    std::optional<SearchEntry> builtin;
    if (py::isinstance<SearchEntry>(entry)) {
      const SearchEntry& held = entry.cast<const SearchEntry&>();
      if (held.kind != SearchKind::Generic) builtin = held;
    }
    py::object module_name =
        builtin ? owners.find(builtin->kind, args, kwargs, builtin->expected_module_types)
                : entry(model, args, kwargs);
    if (!module_name.is_none()) result[node] = module_name;
  }
  return result;
}

void register_lookup(py::module_& m) {
  py::class_<SearchEntry>(m, "_SearchFunctionEntry",
                          "A search function with its expected module types fixed.",
                          interop::gc_support<SearchEntry>())
      .def(
          "__call__",
          [](const SearchEntry& self, py::object model, py::object args, py::object kwargs,
             py::object expected_module_types) {
            py::object types = expected_module_types.is_none()
                                   ? py::object(self.expected_module_types)
                                   : expected_module_types;
            return self.func(model, args, kwargs, py::arg("expected_module_types") = types);
          },
          py::arg("model"), py::arg("args"), py::arg("kwargs"),
          py::arg("expected_module_types") = py::none())
      .def_property_readonly("func", [](const SearchEntry& self) { return self.func; })
      .def_property_readonly("expected_module_types",
                             [](const SearchEntry& self) { return self.expected_module_types; })
      .def("__repr__", [](const SearchEntry& self) {
        return "<search entry " + interop::repr(self.func) + " for " +
               interop::repr(self.expected_module_types) + ">";
      });

  m.attr("_OPERATION_SEARCH_FUNCTION_REGISTRY") = search_registry();
  m.attr("MODULE_TYPES") = [] {
    py::module_ typing = py::module_::import("typing");
    py::object module_type = py::module_::import("torch.nn").attr("Module");
    py::object type_of_module = typing.attr("Type")[module_type];
    py::object tuple_of = typing.attr("Tuple")[py::make_tuple(type_of_module, py::ellipsis())];
    py::object list_of = typing.attr("List")[type_of_module];
    return typing.attr("Union")[py::make_tuple(type_of_module, tuple_of, list_of)];
  }();

  m.def("_add_registry_search_function", &add_registry_search_function, py::arg("operation"),
        py::arg("expected_modules"),
        "Decorator that registers a search function for an operation with its expected\n"
        "module types; raises ValueError if the operation is already registered.");
  m.def(
      "_get_search_function_by_operation",
      [](py::handle torch_op) { return search_registry().attr("get")(torch_op, py::none()); },
      py::arg("torch_op"));
  m.def("_find_module_by_tensor_info", &find_module_by_tensor_info, py::arg("tensor_info"),
        py::arg("model"), py::arg("parameters"), py::arg("expected_module_types"),
        "Dotted name of the owner of the first parameter whose uid matches, if the owner\n"
        "has an expected type; otherwise None.");

  py::object base_weight = py::cpp_function(
      &find_module_by_weight_tensor, py::name("_find_module_by_weight_tensor"), py::arg("model"),
      py::arg("args"), py::arg("kwargs"), py::arg("expected_module_types"));
  py::object base_bn = py::cpp_function(
      &find_bn_module_by_running_mean_tensor, py::name("_find_bn_module_by_running_mean_tensor"),
      py::arg("model"), py::arg("args"), py::arg("kwargs"), py::arg("expected_module_types"));

  py::module_ nn = py::module_::import("torch.nn");
  py::module_ functional = py::module_::import("torch.nn.functional");
  const std::pair<const char*, const char*> weight_table[] = {
      {"conv_transpose3d", "ConvTranspose3d"},
      {"conv_transpose2d", "ConvTranspose2d"},
      {"conv_transpose1d", "ConvTranspose1d"},
      {"conv3d", "Conv3d"},
      {"conv2d", "Conv2d"},
      {"conv1d", "Conv1d"},
      {"linear", "Linear"}};
  // Stacked registrations, innermost first: each passes the entry on.
  py::object entry = py::cast(SearchEntry{base_weight, py::tuple(), SearchKind::Weight});
  for (const auto& [op, cls] : weight_table) {
    entry = add_registry_search_function(functional.attr(op), nn.attr(cls))(entry);
  }
  m.attr("_find_module_by_weight_tensor") = entry;

  py::object bn_entry = py::cast(SearchEntry{base_bn, py::tuple(), SearchKind::RunningMean});
  m.attr("_find_bn_module_by_running_mean_tensor") = add_registry_search_function(
      functional.attr("batch_norm"), py::make_tuple(nn.attr("BatchNorm1d"), nn.attr("BatchNorm2d"),
                                                    nn.attr("BatchNorm3d")))(bn_entry);
}

}  // namespace tavrix::cutplan
