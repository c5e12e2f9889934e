// ChannelLabels: the channel labels of one node or group as the plan keeps
// them. An immutable sequence of ints stored as runs of consecutive labels: a
// layer's labels are handed out in a row and elementwise operations pass them
// on unchanged, so a list of thousands of labels is mostly one run of 16 bytes
// where a Python list costs 40 bytes per label. It reads like the list it
// replaces (len, indexing, iteration, `in`, equality with lists, repr) and
// pickles compactly.
#pragma once

#include "interop/pybind.hpp"

#include "core/label_store.hpp"

#include <cstdint>
#include <map>
#include <vector>

namespace tavrix::oprules {

class ChannelLabels {
 public:
  struct Run {
    int64_t first;
    int64_t end;  // position just past the run, counted over the whole sequence
  };

  ChannelLabels() = default;
  ChannelLabels(const int64_t* values, size_t n);

  size_t size() const { return runs_.empty() ? 0 : static_cast<size_t>(runs_.back().end); }
  int64_t at(size_t position) const;
  const std::vector<Run>& runs() const { return runs_; }
  bool operator<(const ChannelLabels& other) const;
  bool operator==(const ChannelLabels& other) const;

  // The inverse of runs(): (first, length) pairs, flattened, as pickled.
  static ChannelLabels from_pairs(const std::vector<int64_t>& flat);
  std::vector<int64_t> pairs() const;

 private:
  void append_run(int64_t first, int64_t length);
  std::vector<Run> runs_;
};

// The labels as a Python ChannelLabels object.
py::object channel_labels(const std::vector<int64_t>& labels);
py::object channel_labels(const core::ValueList& labels);

// Hands out one object per distinct sequence, so that the many nodes that carry
// the same labels (every elementwise operation after a layer) share it.
class ChannelLabelsPool {
 public:
  py::object get(const std::vector<int64_t>& labels);

 private:
  std::map<ChannelLabels, py::object> made_;
};

void register_channel_labels(py::module_& m);

}  // namespace tavrix::oprules
