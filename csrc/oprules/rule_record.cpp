// The rule record: what the walk decided per node, kept with the plan so that
// the shrink follows it instead of deciding again. The walk notes the handler
// it hands each node to; a handler that branches names the branch it took
// (a convolution: "dense", "depthwise", ...); tuple-valued nodes whose pieces
// are alike get the shape of a piece.
#include "interop/pybind.hpp"

#include "oprules/extended.hpp"
#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"
#include "oprules/texts.hpp"

#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrix::oprules {

namespace {

TextTable& record_texts() {
  static TextTable table;
  return table;
}

std::optional<Shape> shape_from(py::handle shape) {
  if (shape.is_none()) return std::nullopt;
  Shape out;
  for (py::handle item : shape) out.push_back(interop::to_int64(item, "a shape entry"));
  return out;
}

py::tuple to_tuple(const Shape& shape) {
  py::tuple out(shape.size());
  for (size_t i = 0; i < shape.size(); ++i) out[i] = py::int_(shape[i]);
  return out;
}

bool makes_pieces(py::handle name) {
  const auto& names = interop::cached([] {
    return py::make_tuple(interop::interned("chunk"), interop::interned("split"),
                          interop::interned("unbind"));
  });
  for (py::handle known : names) {
    const int equal = PyObject_RichCompareBool(name.ptr(), known.ptr(), Py_EQ);
    if (equal < 0) throw py::error_already_set();
    if (equal != 0) return true;
  }
  return false;
}

}  // namespace

int32_t record_text_id(const std::string& text) { return record_texts().id(text); }

const std::string& record_text(int32_t id) {
  static const std::string none;
  const std::string* text = record_texts().text(id);
  return text != nullptr ? *text : none;
}

Decision::Decision(const char* text) : id_(record_text_id(text)) {}

void ParserState::begin_node(py::handle node, int32_t handler) {
  handled_.push_back(Handled{py::reinterpret_borrow<py::object>(node), handler, -1});
}

void ParserState::decide(py::handle node, int32_t decision) {
  // the walk's node is the last one: a handler names its own node's branch
  for (auto it = handled_.rbegin(); it != handled_.rend(); ++it) {
    if (it->node.is(node)) {
      it->decision = decision;
      return;
    }
  }
  handled_.push_back(Handled{py::reinterpret_borrow<py::object>(node), -1, decision});
}

void ParserState::note_piece(py::handle node, std::vector<int64_t> shape) {
  for (auto& piece : pieces_) {
    if (piece.first.is(node)) {
      piece.second = std::move(shape);
      return;
    }
  }
  pieces_.emplace_back(py::reinterpret_borrow<py::object>(node), std::move(shape));
}

const std::vector<int64_t>* ParserState::piece_of(py::handle node) const {
  for (const auto& piece : pieces_) {
    if (piece.first.is(node)) return &piece.second;
  }
  return nullptr;
}

py::tuple ParserState::rule_record() const {
  py::dict handlers, decisions, pieces;
  std::vector<py::object> texts;  // one str per text id, made at its first use
  auto text_of = [&](int32_t id) {
    if (static_cast<size_t>(id) >= texts.size()) texts.resize(static_cast<size_t>(id) + 1);
    py::object& text = texts[static_cast<size_t>(id)];
    if (!text) text = py::str(record_text(id));
    return text;
  };
  // Entries are copied before each insertion: hashing a node may run Python
  // code, which could add entries.
  for (size_t i = 0; i < pieces_.size(); ++i) {
    const auto piece = pieces_[i];
    pieces[piece.first] = to_tuple(piece.second);
  }
  // Pieces no handler noted, in walk order, so that a piece of a piece finds its source's.
  std::unordered_map<PyObject*, Shape> computed;  // the nodes are held by handled_
  for (size_t i = 0; i < handled_.size(); ++i) {
    const Handled handled = handled_[i];
    if (handled.handler >= 0) handlers[handled.node] = text_of(handled.handler);
    if (handled.decision >= 0) decisions[handled.node] = text_of(handled.decision);
    // a tuple-valued node (no result shape) of chunk, split or unbind
    if (!is_node_info(handled.node)) continue;
    if (!handled.node.attr(graph_attr().result_shape).is_none()) continue;
    py::object name = handled.node.attr(graph_attr().operation_name);
    if (!makes_pieces(name) || pieces.contains(handled.node)) continue;
    py::object source =
        interop::get_argument(handled.node.attr(graph_attr().args),
                              handled.node.attr(graph_attr().kwargs), 0, "input", py::none());
    std::optional<Shape> shape;
    if (is_tensor_info(source)) {
      shape = shape_from(source.attr(graph_attr().shape));
    } else if (is_node_info(source)) {
      shape = shape_from(source.attr(graph_attr().result_shape));
      if (!shape) {
        auto found = computed.find(source.ptr());
        if (found != computed.end()) {
          shape = found->second;
        } else if (const Shape* noted = piece_of(source)) {
          shape = *noted;
        }
      }
    }
    if (!shape) continue;
    std::optional<AlikePieces> alike = alike_pieces(handled.node, interop::str(name), *shape);
    if (!alike) continue;
    pieces[handled.node] = to_tuple(alike->shape);
    computed.emplace(handled.node.ptr(), std::move(alike->shape));
  }
  return py::make_tuple(std::move(handlers), std::move(decisions), std::move(pieces));
}

void register_rule_record(py::module_& m) {
  m.def(
      "_decide",
      [](ParserState& state, py::handle node, const std::string& decision) {
        state.decide(node, record_text_id(decision));
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("decision"),
      "Names the branch a handler took for node in the rule record (a short text such as\n"
      "\"channels\"); the shrink's rule for the node reads it.");
  m.def(
      "_note_piece_shape",
      [](ParserState& state, py::handle node, py::handle shape) {
        // copied out first: the shape's items are Python objects
        Shape piece;
        for (py::handle item : sequence_copy(shape)) {
          piece.push_back(interop::to_int64(item, "a shape entry"));
        }
        state.note_piece(node, std::move(piece));
      },
      py::arg("pruning_state"), py::arg("node"), py::arg("shape"),
      "The shape of each tensor of a tuple-valued node (an attention call returning its\n"
      "output and no weights), read by the handlers of its users in an extended walk and\n"
      "kept in the rule record.");
  m.def(
      "_piece_shape",
      [](ParserState& state, py::handle node) -> py::object {
        const Shape* piece = state.piece_of(node);
        if (piece == nullptr) return py::none();
        return to_tuple(*piece);
      },
      py::arg("pruning_state"), py::arg("node"),
      "The shape of each piece of a tuple-valued node whose pieces are alike (a chunk, an\n"
      "unbind), as a handler of the walk noted it; None otherwise.");
}

}  // namespace tavrix::oprules
