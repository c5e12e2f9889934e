#include "interop/pybind.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/provenance.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrix::oprules {

namespace {

const Rule kRuleReduce("reduction");
const Rule kRuleReduceAll("reduction over all axes");
const Rule kRuleReduceChannels("reduction over the channel axis");

[[noreturn]] void raise_not_implemented(const char* message) {
  PyErr_SetString(PyExc_NotImplementedError, message);
  throw py::error_already_set();
}

// numbers.Real: Python ints, floats and bools, and the numeric scalars of
// other libraries registered with it.
bool is_real_number(py::handle arg) {
  if (PyLong_Check(arg.ptr()) || PyFloat_Check(arg.ptr())) return true;
  const py::object& real = interop::cached([] { return interop::import_attr("numbers", "Real"); });
  return py::isinstance(arg, real);
}

bool is_special_reduction(py::handle operation) {
  // the catalogue's special reductions, each with its own argument layout
  const Collaborators& kinds = collaborators();
  return kinds.norm_ops.contains(operation) || kinds.std_ops.contains(operation) ||
         kinds.var_ops.contains(operation);
}

// The keyword argument when the call passed it.
std::optional<py::object> keyword(py::handle kwargs, const char* key) {
  if (kwargs.is_none() || !kwargs.contains(key)) return std::nullopt;
  return py::reinterpret_borrow<py::object>(kwargs[key]);
}

}  // namespace

bool unary_reduce_first_arg_is_dim(py::handle arg, py::handle operation) {
  // the catalogue's special reductions, each with its own argument layout
  const Collaborators& kinds = collaborators();
  if (kinds.norm_ops.contains(operation)) {
    // Position 1 of a norm is its order: a real number (int, float, bool) or
    // a name such as "fro".
    return !(is_real_number(arg) || py::isinstance<py::str>(arg));
  }
  if (kinds.std_ops.contains(operation) || kinds.var_ops.contains(operation)) {
    // The legacy (input, unbiased) form.
    return !PyBool_Check(arg.ptr());
  }
  raise_not_implemented("Unknown reduction operation");
}

// (dim, keepdim); dim is None or a list of the reduced axes as written.
std::pair<py::object, py::object> get_args_for_unary_reduce(py::handle node) {
  py::sequence args = node.attr(graph_attr().args);
  py::object kwargs = node.attr(graph_attr().kwargs);
  py::object operation = node.attr(graph_attr().operation);
  py::object dim;
  py::object keepdim;

  if (is_special_reduction(operation)) {
    const size_t n_args = py::len(args);
    if (std::optional<py::object> given = keyword(kwargs, "dim")) {
      dim = *given;
    } else if (n_args <= 1) {
      dim = py::none();
    } else if (unary_reduce_first_arg_is_dim(args[1], operation)) {
      dim = args[1];
    } else {
      dim = n_args > 2 ? py::object(args[2]) : py::object(py::none());
    }
    if (std::optional<py::object> given = keyword(kwargs, "keepdim")) {
      keepdim = *given;
    } else {
      keepdim = n_args > 3 ? py::object(args[3]) : py::object(py::bool_(false));
    }
  } else {
    dim = interop::get_argument(args, kwargs, 1, "dim", py::none());
    keepdim = interop::get_argument(args, kwargs, 2, "keepdim", py::bool_(false));
  }

  if (!dim.is_none()) {
    if (py::isinstance<py::int_>(dim) || py::isinstance<py::str>(dim)) {
      py::list single;
      single.append(dim);
      dim = single;
    }
    py::list dims = sequence_copy(dim);
    for (py::handle d : dims) {
      if (py::isinstance<py::str>(d)) raise_engine_error("Pruning does not support named tensors");
    }
    dim = dims;
  }
  return {dim, keepdim};
}

void unary_reduce_handler(ParserState& state, py::handle node) {
  py::object input_node = interop::get_argument(node.attr(graph_attr().args),
                                                node.attr(graph_attr().kwargs), 0, "input");
  auto [dim, keepdim] = get_args_for_unary_reduce(node);
  PruneDim prune_dimension = get_prune_dimension(state, input_node);
  std::optional<Shape> input_shape = get_shape(input_node);

  // An empty axis list reduces over every axis, as no axis list does.
  if (dim.is_none() || py::len(dim) == 0 || !prune_dimension) {
    RuleScope scope(state, kRuleReduceAll);
    default_node_handler(state, node);
    return;
  }
  if (!input_shape) raise_engine_error("Cannot determine shape for reduction operation input");
  const auto n_dims = static_cast<int64_t>(input_shape->size());
  if (*prune_dimension >= n_dims) {
    raise_engine_error("Prune dimension index exceeds the number of dimensions (" +
                       std::to_string(*prune_dimension) + " >= " + std::to_string(n_dims) + ")");
  }
  // Counted from the front so it compares with the normalised axes below.
  const int64_t pd = *prune_dimension < 0 ? *prune_dimension + n_dims : *prune_dimension;
  if (pd < 0) {
    raise_engine_error("Prune dimension index exceeds the number of dimensions (" +
                       std::to_string(*prune_dimension) + " < -" + std::to_string(n_dims) + ")");
  }

  std::vector<int64_t> reduced;
  for (py::handle d : dim) {
    if (!py::isinstance<py::int_>(d)) {
      throw py::type_error("Reduction dimension must be an integer, got " + interop::repr(d));
    }
    const int64_t axis = interop::to_int64(d, "Reduction dimension");
    reduced.push_back(((axis % n_dims) + n_dims) % n_dims);
  }
  std::sort(reduced.begin(), reduced.end());
  if (std::find(reduced.begin(), reduced.end(), pd) != reduced.end()) {
    RuleScope scope(state, kRuleReduceChannels);
    default_node_handler(state, node);
    return;
  }

  int64_t dims_removed_before_prune_dim = 0;
  if (!py::bool_(keepdim)) {
    for (int64_t axis : reduced) {
      if (axis > pd) break;
      ++dims_removed_before_prune_dim;
    }
  }
  record_with_current_flags(state, node, get_labels(state, input_node),
                            pd - dims_removed_before_prune_dim);
}

void register_reduce(py::module_& m) {
  define_handler(
      m, "_unary_reduce_handler", unary_reduce_handler, kRuleReduce,
      "Keeps the input's labels when the pruned axis survives the reduction, else a barrier.");
  m.def(
      "_get_args_for_unary_reduce",
      [](py::handle node) {
        auto [dim, keepdim] = get_args_for_unary_reduce(node);
        return py::make_tuple(dim, keepdim);
      },
      py::arg("node"), "The reduced axes (None or a list) and the keepdim flag of a reduction.");
  m.def("_unary_reduce_first_arg_is_dim", &unary_reduce_first_arg_is_dim, py::arg("arg"),
        py::arg("operation"),
        "Whether the argument at position 1 of a norm, var or std call is the reduced axis.");
}

}  // namespace tavrix::oprules
