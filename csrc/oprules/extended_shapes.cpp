// Extended rules for operations that move, split, merge, slice or cut into
// pieces the axis that carries a tensor's channels. Each keeps the labels and
// says where they lie in the result; when the result cannot hold them along a
// single axis, the positions that must go together are merged, and when that
// is not sound either, the node is a barrier as under the standard rules.
#include "interop/pybind.hpp"

#include "oprules/extended.hpp"
#include "oprules/handlers.hpp"
#include "oprules/label_ops.hpp"
#include "oprules/parser_state.hpp"

#include <algorithm>
#include <numeric>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrix::oprules {

namespace {

// A labelled input: its labels along `dim` of `shape`.
struct Source {
  py::object node;
  Labels labels;
  int64_t dim = 0;
  Shape shape;
};

std::optional<Source> labelled_source(ParserState& state, py::handle arg) {
  PruneDim pd = get_prune_dimension(state, arg);
  if (!pd) return std::nullopt;
  std::optional<Shape> shape = get_shape(arg);
  if (!shape) return std::nullopt;
  std::optional<int64_t> dim = normalised_axis(*pd, static_cast<int64_t>(shape->size()));
  if (!dim) return std::nullopt;
  Labels labels = get_labels(state, arg);
  if (static_cast<int64_t>(labels.size()) != (*shape)[static_cast<size_t>(*dim)]) {
    return std::nullopt;
  }
  return Source{py::reinterpret_borrow<py::object>(arg), std::move(labels), *dim, *shape};
}

void carry(ParserState& state, py::handle node, const Labels& labels, int64_t dim) {
  record_with_current_flags(state, node, labels, dim);
}

py::object arg_of(py::handle node, int pos, const char* key, py::handle fallback = py::none()) {
  return interop::get_argument(node.attr(graph_attr().args), node.attr(graph_attr().kwargs), pos,
                               key, fallback);
}

// An integer argument, or nullopt for anything else (names, tensors).
std::optional<int64_t> int_value(py::handle value) {
  if (PyBool_Check(value.ptr()) || !PyIndex_Check(value.ptr())) return std::nullopt;
  return interop::to_int64(value, "an axis or size argument");
}

// A list of integers from an int or a sequence of ints.
std::optional<std::vector<int64_t>> int_list(py::handle value) {
  std::vector<int64_t> out;
  if (std::optional<int64_t> single = int_value(value)) {
    out.push_back(*single);
    return out;
  }
  if (!PyTuple_Check(value.ptr()) && !PyList_Check(value.ptr())) return std::nullopt;
  for (py::handle item : py::reinterpret_borrow<py::sequence>(value)) {
    std::optional<int64_t> v = int_value(item);
    if (!v) return std::nullopt;
    out.push_back(*v);
  }
  return out;
}

bool multiply(int64_t& total, int64_t size) { return !__builtin_mul_overflow(total, size, &total); }

std::vector<int64_t> strides_of(const std::vector<int64_t>& sizes) {
  std::vector<int64_t> strides(sizes.size(), 1);
  for (size_t k = sizes.size(); k-- > 1;) strides[k - 1] = strides[k] * sizes[k];
  return strides;
}

// ---------------------------------------------------------------- axis moves

// new axis j holds old axis perm[j]; nullopt unless a permutation of rank axes.
std::optional<std::vector<int64_t>> permutation(const std::vector<int64_t>& dims, int64_t rank) {
  if (static_cast<int64_t>(dims.size()) != rank) return std::nullopt;
  std::vector<int64_t> perm;
  std::vector<bool> seen(static_cast<size_t>(rank), false);
  for (int64_t d : dims) {
    std::optional<int64_t> axis = normalised_axis(d, rank);
    if (!axis || seen[static_cast<size_t>(*axis)]) return std::nullopt;
    seen[static_cast<size_t>(*axis)] = true;
    perm.push_back(*axis);
  }
  return perm;
}

std::optional<std::vector<int64_t>> permute_perm(py::handle node, int64_t rank) {
  py::sequence args = node.attr(graph_attr().args);
  py::object dims;
  if (py::len(args) > 2) {
    // Tensor.permute(0, 2, 3, 1)
    py::list rest;
    for (size_t i = 1; i < py::len(args); ++i) rest.append(args[i]);
    dims = rest;
  } else {
    dims = arg_of(node, 1, "dims");
  }
  std::optional<std::vector<int64_t>> list = int_list(dims);
  if (!list) return std::nullopt;
  return permutation(*list, rank);
}

std::optional<std::vector<int64_t>> transpose_perm(py::handle node, int64_t rank) {
  std::vector<int64_t> perm(static_cast<size_t>(rank));
  std::iota(perm.begin(), perm.end(), 0);
  if (interop::str(node.attr(graph_attr().operation_name)) == "t") {
    if (rank == 2) std::swap(perm[0], perm[1]);
    return perm;
  }
  py::object kwargs = node.attr(graph_attr().kwargs);
  const bool axis_names = PyDict_Check(kwargs.ptr()) && kwargs.contains("axis0");
  std::optional<int64_t> a = int_value(arg_of(node, 1, axis_names ? "axis0" : "dim0"));
  std::optional<int64_t> b = int_value(arg_of(node, 2, axis_names ? "axis1" : "dim1"));
  if (!a || !b) return std::nullopt;
  std::optional<int64_t> x = normalised_axis(*a, rank);
  std::optional<int64_t> y = normalised_axis(*b, rank);
  if (!x || !y) return std::nullopt;
  std::swap(perm[static_cast<size_t>(*x)], perm[static_cast<size_t>(*y)]);
  return perm;
}

std::optional<std::vector<int64_t>> movedim_perm(py::handle node, int64_t rank) {
  std::optional<std::vector<int64_t>> source = int_list(arg_of(node, 1, "source"));
  std::optional<std::vector<int64_t>> destination = int_list(arg_of(node, 2, "destination"));
  if (!source || !destination || source->size() != destination->size()) return std::nullopt;
  std::vector<int64_t> perm(static_cast<size_t>(rank), -1);
  std::vector<bool> moved(static_cast<size_t>(rank), false);
  for (size_t i = 0; i < source->size(); ++i) {
    std::optional<int64_t> s = normalised_axis((*source)[i], rank);
    std::optional<int64_t> d = normalised_axis((*destination)[i], rank);
    if (!s || !d || moved[static_cast<size_t>(*s)] || perm[static_cast<size_t>(*d)] >= 0) {
      return std::nullopt;
    }
    perm[static_cast<size_t>(*d)] = *s;
    moved[static_cast<size_t>(*s)] = true;
  }
  int64_t next = 0;
  for (int64_t& slot : perm) {
    if (slot >= 0) continue;
    while (moved[static_cast<size_t>(next)]) ++next;
    slot = next++;
  }
  return perm;
}

using PermutationOf = std::optional<std::vector<int64_t>> (*)(py::handle, int64_t);

void move_axes(ParserState& state, py::handle node, PermutationOf permutation_of) {
  std::optional<Source> source = labelled_source(state, arg_of(node, 0, "input"));
  if (!source) {
    default_node_handler(state, node);
    return;
  }
  std::optional<std::vector<int64_t>> perm =
      permutation_of(node, static_cast<int64_t>(source->shape.size()));
  if (!perm) {
    default_node_handler(state, node);
    return;
  }
  const auto found = std::find(perm->begin(), perm->end(), source->dim);
  carry(state, node, source->labels, found - perm->begin());
}

// ---------------------------------------------------------------- reshapes

// The axes of a reshape's input and result (sizes above 1) that hold the
// input's channel axis: the smallest run of input axes whose elements are
// exactly those of a run of result axes.
struct Segment {
  std::vector<int64_t> in_axes, out_axes;
  std::vector<int64_t> in_sizes, out_sizes;
  size_t channel = 0;  // position of the channel axis among in_axes
  int64_t elements = 1;
};

// All segments of a reshape; nullopt when the element counts differ.
std::optional<std::vector<Segment>> segments(const Shape& in, const Shape& out) {
  int64_t in_total = 1;
  int64_t out_total = 1;
  for (int64_t size : in) {
    if (size < 1 || !multiply(in_total, size)) return std::nullopt;
  }
  for (int64_t size : out) {
    if (size < 1 || !multiply(out_total, size)) return std::nullopt;
  }
  if (in_total != out_total) return std::nullopt;
  std::vector<int64_t> in_nz, out_nz;
  for (size_t i = 0; i < in.size(); ++i) {
    if (in[i] != 1) in_nz.push_back(static_cast<int64_t>(i));
  }
  for (size_t j = 0; j < out.size(); ++j) {
    if (out[j] != 1) out_nz.push_back(static_cast<int64_t>(j));
  }
  std::vector<Segment> found;
  size_t i = 0;
  size_t j = 0;
  while (i < in_nz.size() && j < out_nz.size()) {
    Segment seg;
    int64_t p_in = in[static_cast<size_t>(in_nz[i])];
    int64_t p_out = out[static_cast<size_t>(out_nz[j])];
    seg.in_axes.push_back(in_nz[i]);
    seg.out_axes.push_back(out_nz[j]);
    while (p_in != p_out) {
      if (p_in < p_out) {
        if (++i >= in_nz.size()) return std::nullopt;
        seg.in_axes.push_back(in_nz[i]);
        if (!multiply(p_in, in[static_cast<size_t>(in_nz[i])])) return std::nullopt;
      } else {
        if (++j >= out_nz.size()) return std::nullopt;
        seg.out_axes.push_back(out_nz[j]);
        if (!multiply(p_out, out[static_cast<size_t>(out_nz[j])])) return std::nullopt;
      }
    }
    for (int64_t a : seg.in_axes) seg.in_sizes.push_back(in[static_cast<size_t>(a)]);
    for (int64_t a : seg.out_axes) seg.out_sizes.push_back(out[static_cast<size_t>(a)]);
    seg.elements = p_in;
    found.push_back(std::move(seg));
    ++i;
    ++j;
  }
  if (i != in_nz.size() || j != out_nz.size()) return std::nullopt;
  return found;
}

std::optional<Segment> channel_segment(const Shape& in, int64_t dim, const Shape& out) {
  std::optional<std::vector<Segment>> all = segments(in, out);
  if (!all) return std::nullopt;
  for (Segment& seg : *all) {
    const auto it = std::find(seg.in_axes.begin(), seg.in_axes.end(), dim);
    if (it == seg.in_axes.end()) continue;
    seg.channel = static_cast<size_t>(it - seg.in_axes.begin());
    return std::move(seg);
  }
  return std::nullopt;
}

// Merging the batch axis with the channels would tie labels to the batch size.
bool touches_batch_axis(const Segment& seg) {
  return (!seg.in_axes.empty() && seg.in_axes.front() == 0) ||
         (!seg.out_axes.empty() && seg.out_axes.front() == 0);
}

// Channel index of each element of a segment (elements in row-major order
// over the segment's input axes).
std::vector<int64_t> channel_of_elements(const Segment& seg) {
  const std::vector<int64_t> in_strides = strides_of(seg.in_sizes);
  const int64_t stride = in_strides[seg.channel];
  const int64_t size = seg.in_sizes[seg.channel];
  std::vector<int64_t> channels(static_cast<size_t>(seg.elements));
  for (int64_t e = 0; e < seg.elements; ++e) channels[static_cast<size_t>(e)] = (e / stride) % size;
  return channels;
}

// Union-find over 0..n-1; the smaller index is a class's root.
class DisjointSets {
 public:
  explicit DisjointSets(int64_t n) : parent_(static_cast<size_t>(n)) {
    std::iota(parent_.begin(), parent_.end(), 0);
  }
  int64_t find(int64_t x) {
    while (parent_[static_cast<size_t>(x)] != x) {
      parent_[static_cast<size_t>(x)] =
          parent_[static_cast<size_t>(parent_[static_cast<size_t>(x)])];
      x = parent_[static_cast<size_t>(x)];
    }
    return x;
  }
  // true when a and b were in different classes
  bool join(int64_t a, int64_t b) {
    a = find(a);
    b = find(b);
    if (a == b) return false;
    parent_[static_cast<size_t>(std::max(a, b))] = std::min(a, b);
    return true;
  }

 private:
  std::vector<int64_t> parent_;
};

// Positions along result axis k that share channels, as classes: class_of[i]
// for each position i, and the channels of each class in ascending order.
struct Classes {
  std::vector<int64_t> class_of;
  std::vector<std::vector<int64_t>> channels;
};

Classes classes_along(const Segment& seg, size_t k, const std::vector<int64_t>& channel_of) {
  const int64_t n_channels = seg.in_sizes[seg.channel];
  const int64_t n_positions = seg.out_sizes[k];
  // Union-find over channels and positions (positions after the channels).
  DisjointSets sets(n_channels + n_positions);
  const int64_t stride = strides_of(seg.out_sizes)[k];
  for (int64_t e = 0; e < seg.elements; ++e) {
    const int64_t position = (e / stride) % n_positions;
    sets.join(channel_of[static_cast<size_t>(e)], n_channels + position);
  }
  Classes out;
  std::vector<int64_t> index_of_root(static_cast<size_t>(n_channels + n_positions), -1);
  for (int64_t c = 0; c < n_channels; ++c) {
    const int64_t root = sets.find(c);
    if (index_of_root[static_cast<size_t>(root)] < 0) {
      index_of_root[static_cast<size_t>(root)] = static_cast<int64_t>(out.channels.size());
      out.channels.emplace_back();
    }
    out.channels[static_cast<size_t>(index_of_root[static_cast<size_t>(root)])].push_back(c);
  }
  for (int64_t i = 0; i < n_positions; ++i) {
    out.class_of.push_back(index_of_root[static_cast<size_t>(sets.find(n_channels + i))]);
  }
  return out;
}

size_t chosen_axis(const Segment& seg, const std::vector<int64_t>& channel_of, SplitAxis split) {
  const size_t last = seg.out_sizes.size() - 1;
  switch (split) {
    case SplitAxis::Outer:
      return 0;
    case SplitAxis::Inner:
      return last;
    case SplitAxis::Largest:
      break;
  }
  size_t best = last;
  size_t best_count = 0;
  for (size_t k = seg.out_sizes.size(); k-- > 0;) {
    const size_t count = classes_along(seg, k, channel_of).channels.size();
    if (count > best_count) {
      best = k;
      best_count = count;
    }
  }
  return best;
}

// How many labels a plain split keeps on axis k: labels that share a position
// there merge, and a label spread over several positions joins them all.
size_t distinct_after_split(const Labels& labels, const Segment& seg, size_t k) {
  const int64_t size = seg.out_sizes[k];
  const int64_t stride = strides_of(seg.out_sizes)[k];
  // union-find over the positions of axis k; a label links the positions it occupies
  DisjointSets sets(size);
  std::unordered_map<Label, int64_t> position_of;
  size_t classes = static_cast<size_t>(size);
  for (size_t c = 0; c < labels.size(); ++c) {
    const int64_t i = (static_cast<int64_t>(c) / stride) % size;
    auto [it, added] = position_of.try_emplace(labels[c], i);
    if (added) continue;
    if (sets.join(it->second, i)) --classes;
  }
  return classes;
}

void reshape_node_handler(ParserState& state, py::handle node) {
  py::object input = arg_of(node, 0, "input");
  note_reshaped(input);
  note_reshape(input, node);
  std::optional<Source> source = labelled_source(state, input);
  std::optional<Shape> out_shape = get_shape(node);
  if (!source || !out_shape || source->labels.size() < 2) {
    default_node_handler(state, node);
    return;
  }
  std::optional<Segment> seg = channel_segment(source->shape, source->dim, *out_shape);
  // One label per element of the segment: a merge with huge axes is left alone.
  constexpr int64_t kMaxElements = int64_t{1} << 22;
  if (!seg || touches_batch_axis(*seg) || seg->elements > kMaxElements) {
    default_node_handler(state, node);
    return;
  }
  if (seg->in_axes.size() == 1 && seg->out_axes.size() == 1) {
    carry(state, node, source->labels, seg->out_axes.front());
    return;
  }
  const std::vector<int64_t> channel_of = channel_of_elements(*seg);
  if (seg->out_axes.size() == 1) {
    // Channels merged with other axes: each position holds one channel's value.
    Labels spread;
    spread.reserve(channel_of.size());
    for (int64_t channel : channel_of)
      spread.push_back(source->labels[static_cast<size_t>(channel)]);
    carry(state, node, spread, seg->out_axes.front());
    return;
  }
  // The channel axis is split over several result axes: the labels stay on
  // one of them and the channels that share a position there go together. A
  // reshape back (a channel shuffle) then reorders the merged labels: the
  // shuffle of a cut tensor is the cut shuffle only when the same positions
  // go from every group.
  if (seg->in_axes.size() == 1) {
    // A plain split: channel c sits at (c / stride) % size along axis k.
    size_t k = seg->out_sizes.size() - 1;
    const SplitAxis split = split_for(node);
    if (split == SplitAxis::Outer) {
      // Whole blocks of the innermost size: the heads of B, N, C -> B, N, H, D, and
      // those of q, k and v alike in a packed B, N, 3 * C -> B, N, 3, H, D.
      k = seg->out_sizes.size() - 2;
    } else if (split == SplitAxis::Largest) {
      Labels sorted = source->labels;
      std::sort(sorted.begin(), sorted.end());
      const bool distinct = std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end();
      // distinct labels: an axis keeps as many as it has positions
      auto kept = [&](size_t a) {
        return distinct ? static_cast<size_t>(seg->out_sizes[a])
                        : distinct_after_split(source->labels, *seg, a);
      };
      size_t best = kept(k);
      for (size_t a = k; a-- > 0;) {
        const size_t count = kept(a);
        if (count > best) {
          best = count;
          k = a;
        }
      }
    }
    const int64_t size = seg->out_sizes[k];
    const int64_t stride = strides_of(seg->out_sizes)[k];
    const int64_t n = static_cast<int64_t>(source->labels.size());
    std::vector<Labels> groups(static_cast<size_t>(n / size), Labels(static_cast<size_t>(size)));
    for (int64_t c = 0; c < n; ++c) {
      const int64_t i = (c / stride) % size;
      const int64_t j = (c / (stride * size)) * stride + c % stride;
      groups[static_cast<size_t>(j)][static_cast<size_t>(i)] =
          source->labels[static_cast<size_t>(c)];
    }
    const Labels merged = groups.size() == 1 ? groups[0] : merge_label_groups(state, groups);
    carry(state, node, merged, seg->out_axes[k]);
    return;
  }
  const size_t k = chosen_axis(*seg, channel_of, split_for(node));
  const Classes classes = classes_along(*seg, k, channel_of);
  Labels merged;
  merged.reserve(classes.channels.size());
  for (const std::vector<int64_t>& members : classes.channels) {
    Labels labels;
    for (int64_t channel : members) labels.push_back(source->labels[static_cast<size_t>(channel)]);
    merged.push_back(merge_labels(state, labels));
  }
  merged = survivors(state, merged);
  Labels along;
  along.reserve(classes.class_of.size());
  for (int64_t c : classes.class_of) along.push_back(merged[static_cast<size_t>(c)]);
  carry(state, node, along, seg->out_axes[k]);
}

void expand_node_handler(ParserState& state, py::handle node) {
  std::optional<Source> source = labelled_source(state, arg_of(node, 0, "input"));
  std::optional<Shape> out_shape = get_shape(node);
  if (!source || !out_shape || out_shape->size() < source->shape.size()) {
    default_node_handler(state, node);
    return;
  }
  const int64_t dim = source->dim + static_cast<int64_t>(out_shape->size() - source->shape.size());
  if ((*out_shape)[static_cast<size_t>(dim)] != source->shape[static_cast<size_t>(source->dim)]) {
    default_node_handler(state, node);
    return;
  }
  carry(state, node, source->labels, dim);
}

// ---------------------------------------------------------------- slices

// x[...] with integers, slices, None and Ellipsis. A slice bound written as a
// number stays that number after a cut, so the channels between it and the
// end it counts from must stay; a bound left out follows the cut.
void getitem_node_handler(ParserState& state, py::handle node) {
  std::optional<Source> source = labelled_source(state, arg_of(node, 0, "input"));
  if (!source) {
    default_node_handler(state, node);
    return;
  }
  py::object index = arg_of(node, 1, "index");
  std::vector<py::object> items;
  if (PyTuple_CheckExact(index.ptr())) {
    for (py::handle item : index) items.push_back(py::reinterpret_borrow<py::object>(item));
  } else {
    items.push_back(index);
  }
  const auto rank = static_cast<int64_t>(source->shape.size());
  int64_t consuming = 0;
  int ellipses = 0;
  for (const py::object& item : items) {
    if (item.is_none()) continue;
    if (item.ptr() == Py_Ellipsis) {
      ++ellipses;
    } else if (PySlice_Check(item.ptr()) || int_value(item)) {
      ++consuming;
    } else {
      default_node_handler(state, node);  // tensor or list indices, booleans
      return;
    }
  }
  if (ellipses > 1 || consuming > rank) {
    default_node_handler(state, node);
    return;
  }
  const auto n_channels = static_cast<int64_t>(source->labels.size());
  int64_t in_axis = 0;
  int64_t out_axis = 0;
  PruneDim out_dim;
  bool channel_taken = false;      // an integer index picks one channel: no channel axis left
  int64_t keep_front = 0;          // channels [0, keep_front) must stay
  int64_t keep_back = n_channels;  // channels [keep_back, C) must stay
  int64_t first = 0;
  int64_t last = n_channels;
  for (const py::object& item : items) {
    if (item.is_none()) {
      ++out_axis;
      continue;
    }
    if (item.ptr() == Py_Ellipsis) {
      const int64_t skipped = rank - consuming;
      if (source->dim >= in_axis && source->dim < in_axis + skipped) {
        out_dim = out_axis + (source->dim - in_axis);
      }
      in_axis += skipped;
      out_axis += skipped;
      continue;
    }
    const bool on_channels = in_axis == source->dim;
    if (std::optional<int64_t> position = int_value(item)) {
      if (on_channels) {
        const int64_t channel = *position < 0 ? *position + n_channels : *position;
        if (channel < 0 || channel >= n_channels) {
          default_node_handler(state, node);
          return;
        }
        if (*position >= 0) {
          keep_front = std::max(keep_front, channel + 1);
        } else {
          keep_back = std::min(keep_back, channel);
        }
        channel_taken = true;
      }
      ++in_axis;
      continue;
    }
    if (on_channels) {
      py::object start = item.attr("start");
      py::object stop = item.attr("stop");
      py::object step = item.attr("step");
      if (!step.is_none()) {
        std::optional<int64_t> s = int_value(step);
        if (!s || *s != 1) {
          default_node_handler(state, node);  // strided: every position counts
          return;
        }
      }
      for (int bound = 0; bound < 2; ++bound) {
        py::object value = bound == 0 ? start : stop;
        if (value.is_none()) continue;
        std::optional<int64_t> v = int_value(value);
        if (!v) {
          default_node_handler(state, node);
          return;
        }
        if (*v >= 0) {
          const int64_t at = std::min(*v, n_channels);
          keep_front = std::max(keep_front, at);
          (bound == 0 ? first : last) = at;
        } else {
          const int64_t at = std::max(*v + n_channels, int64_t{0});
          keep_back = std::min(keep_back, at);
          (bound == 0 ? first : last) = at;
        }
      }
      if (last <= first) {
        default_node_handler(state, node);
        return;
      }
      out_dim = out_axis;
    }
    ++in_axis;
    ++out_axis;
  }
  if (!channel_taken && !out_dim && source->dim >= in_axis) {
    out_dim = out_axis + (source->dim - in_axis);
  }
  for (int64_t c = 0; c < n_channels; ++c) {
    if (c < keep_front || c >= keep_back) {
      set_label_prunable(state, source->labels[static_cast<size_t>(c)], false);
    }
  }
  if (channel_taken) {
    record_without_channels(state, node);
    return;
  }
  if (!out_dim) {
    default_node_handler(state, node);
    return;
  }
  const Labels selected(source->labels.begin() + first, source->labels.begin() + last);
  carry(state, node, selected, *out_dim);
}

// ---------------------------------------------------------------- pieces

// The axis a split into listed sizes of differing lengths cuts (`split([16, 16, 32], dim=3)`),
// when the sizes add up to that axis; nullopt otherwise.
std::optional<int64_t> uneven_split_axis(py::handle node, const Shape& source) {
  py::object sizes = arg_of(node, 1, "split_size_or_sections", py::none());
  if (sizes.is_none()) sizes = arg_of(node, 1, "split_size", py::none());
  if (int_value(sizes)) return std::nullopt;
  std::optional<std::vector<int64_t>> list = int_list(sizes);
  std::optional<int64_t> axis = int_value(arg_of(node, 2, "dim", py::int_(0)));
  if (axis) axis = normalised_axis(*axis, static_cast<int64_t>(source.size()));
  if (!list || list->size() < 2 || !axis) return std::nullopt;
  int64_t total = 0;
  for (int64_t size : *list) {
    if (size < 0 || __builtin_add_overflow(total, size, &total)) return std::nullopt;
  }
  if (total != source[static_cast<size_t>(*axis)]) return std::nullopt;
  return axis;
}

// chunk, split and unbind return a tuple; the tracer records one node for all
// pieces, so every piece must carry the same labels and have one shape. An
// even chunk along the channel axis ties position i of every piece (the same
// number of channels must go from each, or the pieces would change sizes); a
// split along it has sizes written as numbers and stays a barrier. Pieces of
// differing sizes along another axis (LeViT's q, k and v of each head) carry
// the labels alike; their shape notes that axis's size as 0, unknown, so that
// what reads it (a reshape of a piece) stays a barrier.
void pieces_node_handler(ParserState& state, py::handle node) {
  ExtendedWalk* walk = extended_walk();
  std::optional<Source> source = labelled_source(state, arg_of(node, 0, "input"));
  if (walk == nullptr || !source) {
    default_node_handler(state, node);
    return;
  }
  const std::string name = interop::str(node.attr(graph_attr().operation_name));
  std::optional<AlikePieces> pieces = alike_pieces(node, name, source->shape);
  if (!pieces && name == "split") {
    const std::optional<int64_t> axis = uneven_split_axis(node, source->shape);
    if (axis && *axis != source->dim) {
      Shape piece = source->shape;
      piece[static_cast<size_t>(*axis)] = 0;
      carry(state, node, source->labels, source->dim);
      state.note_piece(node, std::move(piece));
      return;
    }
  }
  // along the channel axis an unbind keeps no channel axis, and a split's sizes are numbers
  if (!pieces || (pieces->axis == source->dim && name != "chunk")) {
    default_node_handler(state, node);
    return;
  }
  Labels labels = source->labels;
  int64_t dim = source->dim;
  if (pieces->size == 0) {
    if (pieces->axis < dim) --dim;
  } else if (pieces->axis == source->dim &&
             pieces->size != source->shape[static_cast<size_t>(dim)]) {
    std::vector<Labels> blocks;
    const int64_t size = pieces->size;
    for (int64_t b = 0; b < static_cast<int64_t>(labels.size()) / size; ++b) {
      blocks.emplace_back(labels.begin() + b * size, labels.begin() + (b + 1) * size);
    }
    labels = merge_label_groups(state, blocks);
  }
  carry(state, node, labels, dim);
  state.note_piece(node, std::move(pieces->shape));
}

// ---------------------------------------------------------------- padding, rolls, fresh tensors

void pad_node_handler(ParserState& state, py::handle node) {
  std::optional<Source> source = labelled_source(state, arg_of(node, 0, "input"));
  std::optional<std::vector<int64_t>> pad = int_list(arg_of(node, 1, "pad"));
  const auto rank = static_cast<int64_t>(source ? source->shape.size() : 0);
  if (!source || !pad || pad->size() % 2 != 0 || static_cast<int64_t>(pad->size() / 2) > rank) {
    default_node_handler(state, node);
    return;
  }
  // pad[2i], pad[2i + 1] widen axis rank - 1 - i
  const int64_t from_end = rank - 1 - source->dim;
  if (from_end < static_cast<int64_t>(pad->size() / 2) &&
      ((*pad)[static_cast<size_t>(2 * from_end)] != 0 ||
       (*pad)[static_cast<size_t>(2 * from_end + 1)] != 0)) {
    default_node_handler(state, node);  // padding adds channels
    return;
  }
  carry(state, node, source->labels, source->dim);
}

// A roll along the channel axis moves channels by a number written in the
// code: after a cut the same shift of fewer channels is another permutation,
// so only rolls of other axes keep the channels.
void roll_node_handler(ParserState& state, py::handle node) {
  std::optional<Source> source = labelled_source(state, arg_of(node, 0, "input"));
  py::object dims_arg = arg_of(node, 2, "dims", py::none());
  std::optional<std::vector<int64_t>> dims = dims_arg.is_none() ? std::nullopt : int_list(dims_arg);
  if (!source || !dims) {
    default_node_handler(state, node);  // a roll of the flattened tensor mixes every axis
    return;
  }
  const auto rank = static_cast<int64_t>(source->shape.size());
  for (int64_t d : *dims) {
    std::optional<int64_t> axis = normalised_axis(d, rank);
    if (!axis || *axis == source->dim) {
      default_node_handler(state, node);
      return;
    }
  }
  carry(state, node, source->labels, source->dim);
}

void fresh_tensor_node_handler(ParserState& state, py::handle node) {
  // new_zeros, zeros_like, ...: the input lends its type and shape, not its values.
  record_without_channels(state, node);
}

}  // namespace

std::optional<AlikePieces> alike_pieces(py::handle node, const std::string& name,
                                        const Shape& source) {
  const auto rank = static_cast<int64_t>(source.size());
  const bool unbind = name == "unbind";
  std::optional<int64_t> axis = int_value(arg_of(node, unbind ? 1 : 2, "dim", py::int_(0)));
  if (axis) axis = normalised_axis(*axis, rank);
  if (!axis) return std::nullopt;
  Shape piece = source;
  if (unbind) {
    piece.erase(piece.begin() + *axis);
    return AlikePieces{*axis, 0, std::move(piece)};
  }
  const int64_t size = source[static_cast<size_t>(*axis)];
  int64_t piece_size = 0;
  if (name == "chunk") {
    std::optional<int64_t> chunks = int_value(arg_of(node, 1, "chunks"));
    if (!chunks || *chunks < 1) return std::nullopt;
    piece_size = (size + *chunks - 1) / *chunks;
  } else {
    py::object sizes = arg_of(node, 1, "split_size_or_sections", py::none());
    if (sizes.is_none()) sizes = arg_of(node, 1, "split_size", py::none());
    std::optional<std::vector<int64_t>> list = int_list(sizes);
    if (!list || list->empty()) return std::nullopt;
    piece_size = list->front();
    const bool listed = !int_value(sizes);
    for (int64_t s : *list) {
      if (listed && s != piece_size) piece_size = 0;
    }
  }
  if (piece_size < 1 || size % piece_size != 0) return std::nullopt;
  piece[static_cast<size_t>(*axis)] = piece_size;
  return AlikePieces{*axis, piece_size, std::move(piece)};
}

void register_extended_shapes(py::module_& m) {
  define_extended_handler(
      m, "_permute_node_handler",
      [](ParserState& s, py::handle node) { move_axes(s, node, permute_perm); },
      "Extended rules: the channels follow their axis through a permute.");
  define_extended_handler(
      m, "_transpose_node_handler",
      [](ParserState& s, py::handle node) { move_axes(s, node, transpose_perm); },
      "Extended rules: the channels follow their axis through a transpose.");
  define_extended_handler(
      m, "_movedim_node_handler",
      [](ParserState& s, py::handle node) { move_axes(s, node, movedim_perm); },
      "Extended rules: the channels follow their axis through a movedim.");
  define_extended_handler(
      m, "_reshape_node_handler", reshape_node_handler,
      "Extended rules: view, reshape, flatten, unflatten, squeeze, unsqueeze. A channel axis\n"
      "merged with others spreads its labels; one split over several axes keeps them on one\n"
      "axis and merges the channels sharing a position there.");
  define_extended_handler(
      m, "_expand_node_handler", expand_node_handler,
      "Extended rules: expand and broadcast_to over axes other than the channel axis.");
  define_extended_handler(
      m, "_getitem_node_handler", getitem_node_handler,
      "Extended rules: indexing with integers and slices; channels a slice bound counts\n"
      "from must stay.");
  define_extended_handler(
      m, "_pieces_node_handler", pieces_node_handler,
      "Extended rules: chunk, split and unbind into equal pieces; an even chunk of the\n"
      "channel axis ties the same positions of every piece.");
  define_extended_handler(m, "_pad_node_handler", pad_node_handler,
                          "Extended rules: padding of other axes than the channel axis.");
  define_extended_handler(m, "_roll_node_handler", roll_node_handler,
                          "Extended rules: rolls of other axes than the channel axis.");
  define_extended_handler(
      m, "_fresh_tensor_node_handler", fresh_tensor_node_handler,
      "Extended rules: new_zeros, zeros_like and the like take no channels from their input.");
}

}  // namespace tavrix::oprules
