// The extended rule set: handlers for operations the standard rules leave as
// barriers (grouped convolutions, per-channel parameters, axis moves, reshapes
// that split or merge the channel axis, normalisations over it, slices and
// pieces along it). They share the label state with the standard handlers,
// sit in EXTENDED_NODE_HANDLER_REGISTRY, which the walk consults before the
// standard registry, and fall back to the standard handlers for every case
// those already cover.
#pragma once

#include "interop/pybind.hpp"

#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/provenance.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrix::oprules {

// Which axis of a split channel axis keeps the labels; the positions along the
// other axes of the split are merged into it (a split into heads: "outer"
// keeps whole heads, "inner" the same positions in every head).
enum class SplitAxis { Largest, Outer, Inner };
// How a grouped convolution is cut: whole groups (input and output channels of
// a group go together, `groups` shrinks) or the same positions in every group.
enum class GroupedConv { Auto, WholeGroups, Positions };

struct ExtendedOptions {
  SplitAxis split = SplitAxis::Largest;
  GroupedConv grouped_conv = GroupedConv::Auto;
};

// What one extended walk keeps besides the label state. One per thread while
// _walk_extended runs; handlers called outside a walk use the default options.
struct ExtendedWalk {
  ExtendedOptions options;
  // Reshapes that split the channel axis into whole heads whatever `split` says: an
  // attention whose head_dim positions the first walk found pinned (rotary embeddings).
  std::vector<py::object> outer_splits;
  // The walk's state, whose noted piece shapes get_shape reads (null when
  // the walk runs over another state object).
  ParserState* state = nullptr;
  // Labelled tensors whose channel count the code reads, and those it reshapes.
  std::vector<py::object> counted;
  std::vector<py::object> counted_at;  // the node reading each count
  // Reads whose channel count the code hands to a name it never reads: they pin nothing, but
  // may still show how a module call sizes its heads (tie_count_to_heads).
  std::vector<py::object> unused_reads;
  std::vector<py::object> reshaped;
  // Every reshape of a labelled tensor: (its input, the reshape node).
  std::vector<std::pair<py::object, py::object>> reshapes;
  // Labels tied one to one to the width of an attention call (nn.MultiheadAttention's
  // embed_dim): a read of a count made of them is the attention's width, which its rule
  // keeps in step with the channels.
  Labels attention_widths;
  // Products of two traced tensors over head_dim positions (q @ k^T, attention @ v) and the
  // rule of their handler: barriers, unless the module call making them sizes its heads by a
  // channel count it reads (Swin's C // num_heads), which is decided after the walk.
  std::vector<std::pair<py::object, int32_t>> head_dim_products;
};

// The walk running in this thread, or nullptr.
ExtendedWalk* extended_walk();
const ExtendedOptions& extended_options();
// The split axis for a reshape node: outer when the walk was told so for it.
SplitAxis split_for(py::handle node);

// The piece shape noted for a tuple-valued node in the running extended
// walk's state, or nullptr (always outside an extended walk).
const Shape* extended_piece_shape(py::handle node);

// chunk, split (any other name) and unbind into pieces of one shape: the axis
// cut, each piece's size along it (0 for unbind, which drops the axis) and
// the piece's shape, for a `source` of that shape; nullopt when the pieces
// differ or the call's arguments are not plain numbers.
struct AlikePieces {
  int64_t axis = 0;
  int64_t size = 0;
  Shape shape;
};
std::optional<AlikePieces> alike_pieces(py::handle node, const std::string& name,
                                        const Shape& source);

// ---- standard handlers the extended ones fall back to (defined in their files) ----
void conv_node_handler(ParserState& state, py::handle node);
void binary_elementwise_node_handler(ParserState& state, py::handle node);

// ---- walk and registry (registry.cpp) ----
// Calls, for every node of graph, the handler of the overrides (when given and
// holding one for the node's operation), else the standard registry's.
void walk_nodes(py::handle pruning_state, py::handle graph, py::handle overrides);
// The decorator _register_node_handler makes, for another registry.
py::object node_handler_decorator(py::dict registry, py::object nodes);

// ---- helpers shared by the extended handler files ----
// Notes that an operation that sizes itself by its input's channel count (a
// reshape) ran on `source`: reads of that count are taken to be for it.
void note_reshaped(py::handle source);
// Notes a reshape node of `source` (reads of a count of the same channels may be for it).
void note_reshape(py::handle source, py::handle node);

// Normalises an axis against a rank (negative counts from the end); nullopt
// when out of range.
std::optional<int64_t> normalised_axis(int64_t axis, int64_t rank);
// Records the node without channels, leaving its inputs alone (its result
// does not depend on their channels).
void record_without_channels(ParserState& state, py::handle node);
// Each label replaced by the label that absorbed it, if a merge did: lists
// built before a series of merges are read back through this.
Labels survivors(ParserState& state, const Labels& labels);

// The rule a handler of the extended set gives its markings, named after the
// handler: "_grouped_conv_node_handler" -> "grouped conv (extended rules)".
Rule extended_rule(const char* handler_name);
// Binds a native handler of the extended set as `name` and registers it as
// native, with its rule.
void define_extended_handler(py::module_& m, const char* name, NativeHandler handler,
                             const char* doc);

void register_extended_shapes(py::module_& m);  // axis moves, reshapes, slices, pieces
void register_extended_layers(py::module_& m);  // grouped convs, parameters, norms
void register_extended(py::module_& m);         // registry and walk; after the others

}  // namespace tavrix::oprules
