// Channel-label state of one graph walk, without any Python.
//
// Nodes are dense ids handed out in recording order. A label value (the public
// integer) maps to an internal label id; ids live in a union-find whose root
// carries the public value of the merged class, its carrier nodes and one
// prunability flag. A node keeps the ids it was recorded with and resolves them
// through the union-find when read, so a merge never rewrites node lists.
//
// An unprunable root keeps the record of its causes; a prunable one keeps
// kPrunable. The prunability flag is read from that same field, so a label
// costs no more memory than before causes were kept.
//
// Carriers are kept as shared records, not per label: a root names the newest
// record of its carrier set, which is a node on top of an older record, or the
// union of two records. The labels a node is recorded with mostly come in runs
// that had one carrier set, and they get one new record between them; a merge
// of two runs position by position makes one union record. So carriers cost
// per run of labels. A label's public value never changes once it has an id, and
// ids are handed out for runs of values in a row, so values are kept per run too:
// a label record is 8 bytes (its link and its carriers).
//
// Every map of the Python-visible state keeps first-insertion order. A root
// enters the order vector of a map once, when it becomes a key of it, and stays
// a key until a merge absorbs it; so an order slot is live while the id it
// holds is a root that is a key of that map.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <new>
#include <optional>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tavrix::core {

using NodeId = int32_t;
using LabelId = int32_t;
using LabelValue = int64_t;
// The label ids a node was recorded with, as runs of consecutive ids: a layer's
// new labels are one run, however many channels it has.
class LabelIds {
 public:
  struct Run {
    LabelId first;
    int32_t count;
  };
  class const_iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = LabelId;
    using difference_type = std::ptrdiff_t;
    using pointer = const LabelId*;
    using reference = LabelId;
    const_iterator(const Run* run, int32_t k) : run_(run), k_(k) {}
    LabelId operator*() const { return run_->first + k_; }
    const_iterator& operator++() {
      if (++k_ == run_->count) {
        ++run_;
        k_ = 0;
      }
      return *this;
    }
    bool operator==(const const_iterator& other) const {
      return run_ == other.run_ && k_ == other.k_;
    }
    bool operator!=(const const_iterator& other) const { return !(*this == other); }

   private:
    const Run* run_;
    int32_t k_;
  };

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void push_back(LabelId id) {
    if (!runs_.empty() && runs_.back().count < INT32_MAX &&
        runs_.back().first + runs_.back().count == id) {
      ++runs_.back().count;
    } else {
      runs_.push_back(Run{id, 1});
    }
    ++size_;
  }
  // Room for `n` more ids whatever their runs, so that the push_backs that follow cannot fail.
  void reserve(size_t n) { runs_.reserve(runs_.size() + n); }
  // Storage down to the runs held, once the list is complete.
  void shrink_to_fit() { runs_.shrink_to_fit(); }
  const_iterator begin() const { return const_iterator(runs_.data(), 0); }
  const_iterator end() const { return const_iterator(runs_.data() + runs_.size(), 0); }

 private:
  std::vector<Run> runs_;
  size_t size_ = 0;
};
using LabelIdsPtr = std::shared_ptr<const LabelIds>;
using PruneDim = std::optional<int64_t>;
// Why a label class is unprunable: an index into the store's cause records.
// A record is an origin (an opaque key the caller gives: which node, which
// rule) or the union of two records, made when classes with different causes
// merge or a second cause reaches a class.
using CauseId = int32_t;

// Append-only storage in fixed-size chunks: growing never moves the records
// already stored, so a walk with millions of labels never re-copies them.
template <typename T>
class ChunkedVector {
 public:
  static constexpr uint32_t kShift = 14;
  static constexpr uint32_t kMask = (1u << kShift) - 1;

  ChunkedVector() = default;
  ChunkedVector(const ChunkedVector&) = delete;
  ChunkedVector& operator=(const ChunkedVector&) = delete;
  ChunkedVector(ChunkedVector&& other) noexcept
      : chunks_(std::move(other.chunks_)), size_(other.size_) {
    other.chunks_.clear();
    other.size_ = 0;
  }
  ChunkedVector& operator=(ChunkedVector&&) = delete;
  ~ChunkedVector() {
    for (size_t i = 0; i < size_; ++i) (*this)[i].~T();
    for (T* chunk : chunks_) std::allocator<T>().deallocate(chunk, size_t{1} << kShift);
  }

  size_t size() const { return size_; }
  // Room for `extra` more records, so that the push_backs that follow cannot fail.
  void reserve_more(size_t extra) {
    const size_t chunks = (size_ + extra + kMask) >> kShift;
    chunks_.reserve(chunks);
    while (chunks_.size() < chunks) {
      chunks_.push_back(std::allocator<T>().allocate(size_t{1} << kShift));
    }
  }
  T& operator[](size_t i) { return chunks_[i >> kShift][i & kMask]; }
  const T& operator[](size_t i) const { return chunks_[i >> kShift][i & kMask]; }
  void push_back(T&& value) {
    // Chunks are left unconstructed, so a small walk never touches most of one.
    if ((size_ >> kShift) == chunks_.size()) {
      chunks_.push_back(std::allocator<T>().allocate(size_t{1} << kShift));
    }
    new (&chunks_[size_ >> kShift][size_ & kMask]) T(std::move(value));
    ++size_;
  }

 private:
  std::vector<T*> chunks_;
  size_t size_ = 0;
};

// The insertion order of a label map's keys: the root each slot was given to,
// kept as runs of consecutive ids (the labels of a node are mostly new ids in a
// row), so that the order costs per run, not per label.
class KeyOrder {
 public:
  size_t size() const { return size_; }
  // Room for `extra` more slots, so that the push_backs that follow cannot fail.
  void reserve_more(size_t extra) {
    const size_t want = runs_.size() + extra;
    if (want > runs_.capacity()) runs_.reserve(std::max(want, 2 * runs_.capacity()));
  }
  void push_back(int32_t id) {
    if (!runs_.empty() && runs_.back().first + runs_.back().count == id) {
      ++runs_.back().count;
    } else {
      runs_.push_back(Run{id, 1});
    }
    ++size_;
  }
  // fn(slot, id) for every slot in order; slots pushed meanwhile are visited too.
  template <typename Fn>
  void for_each(Fn&& fn) const {
    size_t slot = 0;
    for (size_t r = 0; r < runs_.size(); ++r) {
      for (int32_t k = 0; k < runs_[r].count; ++k) fn(slot++, runs_[r].first + k);
    }
  }

 private:
  struct Run {
    int32_t first;
    int32_t count;
  };
  std::vector<Run> runs_;
  size_t size_ = 0;
};

// The public value of every label id, as runs of ids whose values count up by
// one: the labels of a layer are interned in a row, so values cost per run.
class ValueRuns {
 public:
  size_t size() const { return size_; }
  // Room for one more id, so that the push_back that follows cannot fail.
  void reserve_one() {
    if (runs_.size() == runs_.capacity()) runs_.reserve(std::max<size_t>(16, 2 * runs_.size()));
  }
  // The value of the next id.
  void push_back(LabelValue value) {
    if (runs_.empty() || last_ == INT64_MAX || value != last_ + 1) {
      runs_.push_back(Run{static_cast<LabelId>(size_), value});
    }
    last_ = value;
    ++size_;
  }
  LabelValue operator[](LabelId id) const {
    // Ids are mostly read in runs too: the run of the last read comes first.
    if (!in_run(hint_, id)) {
      auto it = std::upper_bound(runs_.begin(), runs_.end(), id,
                                 [](LabelId v, const Run& run) { return v < run.first; });
      hint_ = static_cast<size_t>(it - runs_.begin()) - 1;
    }
    return runs_[hint_].value + (id - runs_[hint_].first);
  }

 private:
  struct Run {
    LabelId first;     // the run's first id
    LabelValue value;  // that id's value
  };
  bool in_run(size_t run, LabelId id) const {
    return run < runs_.size() && runs_[run].first <= id &&
           (run + 1 == runs_.size() || id < runs_[run + 1].first);
  }
  std::vector<Run> runs_;
  size_t size_ = 0;
  LabelValue last_ = 0;
  mutable size_t hint_ = 0;
};

// value -> id for the values below size(), in chunks. A chunk whose ids run
// alongside its values (id = value + offset over one range of it, no id
// elsewhere: the labels of a layer are interned in a row) holds no table; a
// chunk bound otherwise gets one. Growing never copies what is bound.
class IdTable {
 public:
  static constexpr LabelId kNone = -1;
  size_t size() const { return chunks_.size() << kShift; }
  // Room for the values below `n`, rounded up to a whole chunk.
  void grow_to(size_t n) { chunks_.resize((n + kMask) >> kShift); }
  LabelId get(size_t value) const {
    const Chunk& chunk = chunks_[value >> kShift];
    const auto k = static_cast<uint32_t>(value & kMask);
    if (chunk.table) return chunk.table[k];
    return k >= chunk.lo && k < chunk.hi ? static_cast<LabelId>(chunk.offset + k) : kNone;
  }
  void set(size_t value, LabelId id) {
    Chunk& chunk = chunks_[value >> kShift];
    const auto k = static_cast<uint32_t>(value & kMask);
    if (!chunk.table) {
      const int64_t offset = int64_t{id} - k;
      if (chunk.lo == chunk.hi) {
        chunk = Chunk{nullptr, k, k + 1, offset};
        return;
      }
      if (offset == chunk.offset && k + 1 >= chunk.lo && k <= chunk.hi) {
        chunk.lo = std::min(chunk.lo, k);
        chunk.hi = std::max(chunk.hi, k + 1);
        return;
      }
      // Allocated before the chunk changes, so that a failure leaves it as it was.
      std::unique_ptr<LabelId[]> table(new LabelId[size_t{1} << kShift]);
      std::fill(table.get(), table.get() + (size_t{1} << kShift), kNone);
      for (uint32_t i = chunk.lo; i < chunk.hi; ++i) {
        table[i] = static_cast<LabelId>(chunk.offset + i);
      }
      chunk.table = std::move(table);
    }
    chunk.table[k] = id;
  }

 private:
  static constexpr uint32_t kShift = 14;
  static constexpr uint32_t kMask = (1u << kShift) - 1;
  struct Chunk {
    std::unique_ptr<LabelId[]> table;
    uint32_t lo = 0, hi = 0;  // the range bound without a table, within the chunk
    int64_t offset = 0;       // id minus position in the chunk over that range
  };
  std::vector<Chunk> chunks_;
};

// Label values as runs of consecutive values: a group's labels are mostly a
// layer's, handed out in a row, so a group of thousands is a few runs.
class ValueList {
 public:
  struct Run {
    LabelValue first;
    int64_t count;
  };
  size_t size() const { return size_; }
  void push_back(LabelValue value) {
    if (!runs_.empty() && runs_.back().first <= INT64_MAX - runs_.back().count &&
        runs_.back().first + runs_.back().count == value) {
      ++runs_.back().count;
    } else {
      runs_.push_back(Run{value, 1});
    }
    ++size_;
  }
  const std::vector<Run>& runs() const { return runs_; }

 private:
  std::vector<Run> runs_;
  size_t size_ = 0;
};

// One channel group: the nodes that carry its labels, in recording order.
struct LabelGroup {
  std::vector<NodeId> nodes;
  ValueList labels;
  bool prunable = false;
};

class LabelStore {
 public:
  static constexpr LabelId kNoLabel = -1;
  // The cause field of a prunable root.
  static constexpr CauseId kPrunable = -1;
  // Record 0: unprunable, cause not recorded (provenance off, or a flag set
  // without a cause).
  static constexpr CauseId kUnknownCause = 0;

  LabelStore();

  // Labels and nodes are numbered with 32-bit ids; more cannot be stored.
  static constexpr int64_t kMaxIds = INT32_MAX;

  // ---- label counter ----
  int64_t next_label() const { return next_label_; }
  // Reserves `count` fresh values and returns the first one. A count the
  // store could never hold, or one that would run the counter past 64 bits,
  // throws std::overflow_error and leaves the counter as it was.
  int64_t take_labels(int64_t count);

  // ---- label values ----
  // Internal id currently bound to a value, or kNoLabel.
  LabelId id_of(LabelValue value) const;
  LabelId find(LabelId id);
  LabelValue value_of_root(LabelId root) const { return values_[root]; }
  // The root of `value` if the value is live (not absorbed) and has an entry in
  // either label map; kNoLabel otherwise.
  LabelId live_root(LabelValue value);
  // Like live_root, but an absorbed value resolves to the label that absorbed it.
  LabelId resolve(LabelValue value);
  // The id to store for `value` in a new record: the live id of the value, or a
  // new id when the value is unknown or was absorbed by a merge.
  LabelId intern(LabelValue value);

  // ---- prunability (the is_prunable map) ----
  bool has_flag(LabelId root) const { return labels_[root].link != kNoFlag; }
  bool flag(LabelId root) const { return labels_[root].link == kPrunable; }
  // is_prunable[root] = value. A class that turns unprunable here takes
  // `cause`; one that already was keeps its own (re-recording a flag is no
  // new cause).
  void set_flag(LabelId root, bool value, CauseId cause = kUnknownCause);
  // Makes the class unprunable and adds `cause` to the causes it has.
  void mark(LabelId root, CauseId cause);
  // is_prunable[value] = flag, with the map's semantics (a new key when the
  // value is unknown or absorbed); a false flag marks with `cause`.
  void set_flag_for_value(LabelValue value, bool flag, CauseId cause = kUnknownCause);

  // ---- causes ----
  // A new origin record for the caller's key.
  CauseId add_origin(int32_t key);
  // The cause of an unprunable root, kPrunable for a prunable or flagless one.
  CauseId cause(LabelId root) const {
    const LabelRec& rec = labels_[root];
    return rec.link != kNoFlag ? rec.link : kPrunable;
  }
  // The origin keys a cause stands for, each once, in increasing order.
  // Record 0 stands for none.
  std::vector<int32_t> origin_keys(CauseId cause) const;
  size_t cause_count() const { return causes_.size(); }
  // Room for `n` more cause records, so that the marks of one call cannot fail halfway.
  void reserve_causes(size_t n);

  // ---- carriers (the nodes_by_channel_labels map) ----
  bool has_carriers(LabelId root) const { return labels_[root].carriers >= 0; }
  // The carrier nodes of a root, each once, in recording order.
  std::vector<NodeId> carriers(LabelId root) const;

  // Internal label ids handed out so far (intern adds one for a new label).
  size_t label_count() const { return labels_.size(); }

  // ---- nodes ----
  size_t node_count() const { return nodes_.size(); }
  const LabelIdsPtr& node_labels(NodeId node) const { return nodes_[node].labels; }
  PruneDim node_dim(NodeId node) const { return nodes_[node].dim; }
  // Records a node. Label i is entered in the label maps with flags[i] for
  // every i below min(labels.size(), flags.size()). Both record functions
  // allocate everything first: a failed allocation leaves the store as it was.
  NodeId record_node(LabelIdsPtr labels, PruneDim dim, const std::vector<bool>& flags,
                     CauseId cause = kUnknownCause);
  // Records a node that takes over another node's list, whose labels all have
  // a flag already: only the carriers change.
  NodeId record_kept(LabelIdsPtr labels, PruneDim dim);
  // Capacity for one more node whose labels are `ids`, so that recording it
  // cannot fail halfway; throws (changing nothing else) when there is none.
  void reserve_record(const LabelIds& ids, bool with_flags);
  std::vector<LabelValue> resolved_labels(NodeId node);
  void mark_unprunable(NodeId node, CauseId cause = kUnknownCause);

  // ---- merges ----
  // Unites two roots; the class keeps the public value (and map slots) of
  // `base`. Returns the new root.
  LabelId unite(LabelId base, LabelId other);

  // ---- ordered iteration of the label maps ----
  size_t flag_count() const { return flag_count_; }
  size_t carrier_count() const { return carrier_count_; }
  void for_each_flag(const std::function<void(LabelId root)>& fn);
  void for_each_carrier_label(const std::function<void(LabelId root)>& fn);

  // Live labels grouped by (carrier set, prunability), in order of each group's
  // first label in the nodes_by_channel_labels order.
  std::vector<LabelGroup> derive_groups();

 private:
  // A root's record, or an absorbed label's (carriers == kChild, link its parent).
  // A root is a key of is_prunable when its link is not kNoFlag, of
  // nodes_by_channel_labels when it has carriers.
  struct LabelRec {
    // a root's cause (kPrunable when prunable, kNoFlag without a flag); a child's parent
    int32_t link = kNoFlag;
    int32_t carriers = kNoCarriers;  // a root's newest carrier record; kChild for a child
  };
  static_assert(sizeof(LabelRec) == 8, "a label record is meant to stay at 8 bytes");
  static constexpr int32_t kNoFlag = -2;
  static constexpr int32_t kChild = -2;
  static constexpr int32_t kNoCarriers = -1;
  // A node on top of an older record (first >= 0: the node, rest: the older
  // record or kNoCarriers), or the union of two records (first == ~left, rest
  // the right one). Records never change once made, so any root may share one.
  struct CarrierRec {
    int32_t first;
    int32_t rest;
  };
  // An origin (second == kOrigin, first is the key) or the union of two records.
  struct CauseRec {
    int32_t first;
    int32_t second;
  };
  static constexpr int32_t kOrigin = -1;
  struct NodeRec {
    LabelIdsPtr labels;
    PruneDim dim;
  };

  bool is_root(LabelId id) const { return labels_[id].carriers != kChild; }
  // The nodes of a carrier record and all it stands on, appended to `out` unsorted;
  // `seen(record)` is true for a record already visited.
  template <typename Seen>
  void collect_carriers(int32_t head, std::vector<NodeId>& out, Seen&& seen) const;
  // The records made from here on: room for `n` more, so that a call cannot fail halfway.
  void reserve_carrier_records(size_t n);
  // The record of `set` with `node` on top, made once for a run of roots with one set.
  int32_t carrier_with(int32_t set, NodeId node);
  // The record of the union of two sets.
  int32_t carrier_union(int32_t a, int32_t b);
  LabelId new_label(LabelValue value);
  void bind(LabelValue value, LabelId id);
  void add_carrier(LabelId root, NodeId node);
  // The causes of a class that had `old` and is reached by `added`.
  CauseId combine(CauseId old, CauseId added);

  int64_t next_label_ = 0;
  ChunkedVector<LabelRec> labels_;
  ValueRuns values_;
  std::vector<NodeRec> nodes_;
  // value -> id: dense for the usual small non-negative values, hashed otherwise.
  IdTable dense_ids_;
  std::unordered_map<LabelValue, LabelId> sparse_ids_;
  KeyOrder flag_order_;
  KeyOrder carrier_order_;
  // The roots of the ids of the last reserve_record, for the record that follows it.
  std::vector<LabelId> roots_;
  size_t flag_count_ = 0;
  size_t carrier_count_ = 0;
  std::vector<CauseRec> causes_{CauseRec{-1, kOrigin}};
  // The last union made: the labels of one call mostly repeat it.
  CauseId union_a_ = kPrunable, union_b_ = kPrunable, union_of_ = kPrunable;
  ChunkedVector<CarrierRec> carrier_recs_;
  // The last carrier records made: the labels of one node come in runs that share them.
  int32_t with_set_ = kNoCarriers, with_node_ = -1, with_record_ = kNoCarriers;
  int32_t union_left_ = kNoCarriers, union_right_ = kNoCarriers, union_record_ = kNoCarriers;
};

}  // namespace tavrix::core
