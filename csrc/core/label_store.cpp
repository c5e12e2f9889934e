#include "core/label_store.hpp"

#include <algorithm>
#include <string>
#include <unordered_set>

namespace tavrix::core {

namespace {

// Values up to this bound (or a few times the label counter) are kept in the
// dense table; anything else goes to the hash map.
constexpr LabelValue kDenseFloor = LabelValue{1} << 16;
constexpr LabelValue kDenseCeiling = LabelStore::kMaxIds;

const LabelIdsPtr& empty_ids() {
  static const LabelIdsPtr empty = std::make_shared<const LabelIds>();
  return empty;
}

}  // namespace

LabelStore::LabelStore() = default;

namespace {

// Room for `extra` more items without the quadratic cost of reserving the
// exact size each time.
template <typename V>
void reserve_more(V& items, size_t extra) {
  const size_t want = items.size() + extra;
  if (want > items.capacity()) items.reserve(std::max(want, 2 * items.capacity()));
}

}  // namespace

int64_t LabelStore::take_labels(int64_t count) {
  if (count < 0 || count > kMaxIds) {
    throw std::overflow_error("cannot hand out " + std::to_string(count) +
                              " channel labels at once (at most " + std::to_string(kMaxIds) + ")");
  }
  if (next_label_ > INT64_MAX - count) {
    throw std::overflow_error("the channel label counter would overflow a 64-bit integer");
  }
  const int64_t start = next_label_;
  next_label_ += count;
  return start;
}

LabelId LabelStore::id_of(LabelValue value) const {
  if (value >= 0 && value < static_cast<LabelValue>(dense_ids_.size())) {
    return dense_ids_.get(static_cast<size_t>(value));
  }
  auto it = sparse_ids_.find(value);
  return it == sparse_ids_.end() ? kNoLabel : it->second;
}

void LabelStore::bind(LabelValue value, LabelId id) {
  if (value >= 0 && value < static_cast<LabelValue>(dense_ids_.size())) {
    dense_ids_.set(static_cast<size_t>(value), id);
    return;
  }
  // Saturates instead of overflowing for a counter near the 64-bit limit.
  const LabelValue bound =
      next_label_ > kDenseCeiling / 4 ? kDenseCeiling : std::max(kDenseFloor, 4 * next_label_);
  if (value >= 0 && value < bound) {
    const size_t want = std::max(static_cast<size_t>(value) + 1, 2 * dense_ids_.size());
    dense_ids_.grow_to(std::min(want, static_cast<size_t>(bound)));
    // Values that were hashed before the table grew move over.
    for (auto it = sparse_ids_.begin(); it != sparse_ids_.end();) {
      if (it->first >= 0 && it->first < static_cast<LabelValue>(dense_ids_.size())) {
        dense_ids_.set(static_cast<size_t>(it->first), it->second);
        it = sparse_ids_.erase(it);
      } else {
        ++it;
      }
    }
    dense_ids_.set(static_cast<size_t>(value), id);
    return;
  }
  sparse_ids_[value] = id;
}

LabelId LabelStore::new_label(LabelValue value) {
  if (labels_.size() >= static_cast<size_t>(kMaxIds)) {
    throw std::overflow_error("too many channel labels for one graph walk");
  }
  const auto id = static_cast<LabelId>(labels_.size());
  values_.reserve_one();
  labels_.push_back(LabelRec{kNoFlag, kNoCarriers});
  values_.push_back(value);
  bind(value, id);
  return id;
}

LabelId LabelStore::find(LabelId id) {
  // Path halving keeps chains short without recursion.
  while (!is_root(id)) {
    LabelId& parent = labels_[id].link;
    if (!is_root(parent)) parent = labels_[parent].link;
    id = parent;
  }
  return id;
}

LabelId LabelStore::live_root(LabelValue value) {
  // Live under its own name: the root must still carry this value. A value gets a
  // new id only once its id was absorbed, so that is its newest id being a root.
  const LabelId id = id_of(value);
  if (id == kNoLabel || !is_root(id)) return kNoLabel;
  return has_flag(id) || has_carriers(id) ? id : kNoLabel;
}

LabelId LabelStore::resolve(LabelValue value) {
  const LabelId id = id_of(value);
  if (id == kNoLabel) return kNoLabel;
  const LabelId root = find(id);
  if (!has_flag(root) && !has_carriers(root)) return kNoLabel;
  return root;
}

LabelId LabelStore::intern(LabelValue value) {
  const LabelId id = id_of(value);
  // Its root carries the value only if it is that root (see live_root).
  if (id != kNoLabel && is_root(id)) return id;
  return new_label(value);
}

void LabelStore::set_flag(LabelId root, bool value, CauseId cause) {
  LabelRec& rec = labels_[root];
  const bool had_flag = rec.link != kNoFlag;
  const bool was_unprunable = had_flag && rec.link != kPrunable;
  if (!had_flag) {
    flag_order_.push_back(root);
    rec.link = kUnknownCause;
    ++flag_count_;
  }
  if (value) {
    rec.link = kPrunable;
  } else if (!was_unprunable) {
    rec.link = cause;
  }
}

void LabelStore::mark(LabelId root, CauseId cause) {
  const CauseId next = combine(this->cause(root), cause);
  set_flag(root, false);
  labels_[root].link = next;
}

void LabelStore::set_flag_for_value(LabelValue value, bool flag, CauseId cause) {
  const LabelId root = find(intern(value));
  if (flag) {
    set_flag(root, true);
  } else {
    reserve_causes(1);
    mark(root, cause);
  }
}

// ---------------------------------------------------------------- causes

CauseId LabelStore::add_origin(int32_t key) {
  if (causes_.size() >= static_cast<size_t>(kMaxIds)) {
    throw std::overflow_error("too many unprunability causes for one graph walk");
  }
  causes_.push_back(CauseRec{key, kOrigin});
  return static_cast<CauseId>(causes_.size() - 1);
}

void LabelStore::reserve_causes(size_t n) {
  if (causes_.size() + n > static_cast<size_t>(kMaxIds)) {
    throw std::overflow_error("too many unprunability causes for one graph walk");
  }
  reserve_more(causes_, n);
}

CauseId LabelStore::combine(CauseId old, CauseId added) {
  if (old == kPrunable || old == kUnknownCause) return added;
  if (added == kPrunable || added == kUnknownCause || added == old) return old;
  // A class reached twice by one cause in one call (two carriers of it among
  // a node's inputs) gains nothing the second time.
  if (causes_[static_cast<size_t>(old)].second == added) return old;
  if (old == union_a_ && added == union_b_) return union_of_;
  reserve_causes(1);
  causes_.push_back(CauseRec{old, added});
  union_a_ = old;
  union_b_ = added;
  union_of_ = static_cast<CauseId>(causes_.size() - 1);
  return union_of_;
}

std::vector<int32_t> LabelStore::origin_keys(CauseId cause) const {
  std::vector<int32_t> keys;
  if (cause <= kUnknownCause) return keys;
  std::vector<char> seen(causes_.size(), 0);
  std::vector<CauseId> stack{cause};
  while (!stack.empty()) {
    const CauseId at = stack.back();
    stack.pop_back();
    if (at <= kUnknownCause || seen[static_cast<size_t>(at)]) continue;
    seen[static_cast<size_t>(at)] = 1;
    const CauseRec& rec = causes_[static_cast<size_t>(at)];
    if (rec.second == kOrigin) {
      keys.push_back(rec.first);
    } else {
      stack.push_back(rec.first);
      stack.push_back(rec.second);
    }
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  return keys;
}

void LabelStore::reserve_carrier_records(size_t n) {
  if (carrier_recs_.size() + n > static_cast<size_t>(kMaxIds)) {
    throw std::overflow_error("too many carrier records for one graph walk");
  }
  carrier_recs_.reserve_more(n);
}

int32_t LabelStore::carrier_with(int32_t set, NodeId node) {
  // The node being recorded is the newest one, so a repeat can only sit on top.
  if (set != kNoCarriers && carrier_recs_[static_cast<size_t>(set)].first == node) return set;
  if (set == with_set_ && node == with_node_) return with_record_;
  carrier_recs_.push_back(CarrierRec{node, set});
  with_set_ = set;
  with_node_ = node;
  with_record_ = static_cast<int32_t>(carrier_recs_.size() - 1);
  return with_record_;
}

int32_t LabelStore::carrier_union(int32_t a, int32_t b) {
  if (a == kNoCarriers || a == b) return b;
  if (b == kNoCarriers) return a;
  if (a == union_left_ && b == union_right_) return union_record_;
  carrier_recs_.push_back(CarrierRec{~a, b});
  union_left_ = a;
  union_right_ = b;
  union_record_ = static_cast<int32_t>(carrier_recs_.size() - 1);
  return union_record_;
}

template <typename Seen>
void LabelStore::collect_carriers(int32_t head, std::vector<NodeId>& out, Seen&& seen) const {
  std::vector<int32_t> stack;
  for (int32_t at = head;;) {
    // Down one chain of nodes; a union's left side waits on the stack.
    while (at != kNoCarriers && !seen(at)) {
      const CarrierRec& rec = carrier_recs_[static_cast<size_t>(at)];
      if (rec.first >= 0) {
        out.push_back(rec.first);
      } else {
        stack.push_back(~rec.first);
      }
      at = rec.rest;
    }
    if (stack.empty()) return;
    at = stack.back();
    stack.pop_back();
  }
}

std::vector<NodeId> LabelStore::carriers(LabelId root) const {
  std::vector<NodeId> out;
  std::unordered_set<int32_t> visited;
  collect_carriers(labels_[root].carriers, out,
                   [&](int32_t record) { return !visited.insert(record).second; });
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

void LabelStore::add_carrier(LabelId root, NodeId node) {
  LabelRec& rec = labels_[root];
  if (rec.carriers == kNoCarriers) {
    carrier_order_.push_back(root);
    ++carrier_count_;
  }
  rec.carriers = carrier_with(rec.carriers, node);
}

void LabelStore::reserve_record(const LabelIds& ids, bool with_flags) {
  if (nodes_.size() >= static_cast<size_t>(kMaxIds)) {
    throw std::overflow_error("too many nodes for one graph walk");
  }
  reserve_more(nodes_, 1);
  carrier_order_.reserve_more(ids.size());
  if (with_flags) flag_order_.reserve_more(ids.size());
  reserve_carrier_records(ids.size());
  roots_.resize(ids.size());
  size_t i = 0;
  for (LabelId id : ids) roots_[i++] = find(id);
}

NodeId LabelStore::record_node(LabelIdsPtr labels, PruneDim dim, const std::vector<bool>& flags,
                               CauseId cause) {
  if (!labels) labels = empty_ids();
  reserve_record(*labels, true);
  const auto node = static_cast<NodeId>(nodes_.size());
  const size_t paired = std::min(labels->size(), flags.size());
  for (size_t i = 0; i < paired; ++i) {
    const LabelId root = roots_[i];  // found by reserve_record; nothing united since
    add_carrier(root, node);
    set_flag(root, flags[i], cause);
  }
  nodes_.push_back(NodeRec{std::move(labels), dim});
  return node;
}

NodeId LabelStore::record_kept(LabelIdsPtr labels, PruneDim dim) {
  reserve_record(*labels, false);
  const auto node = static_cast<NodeId>(nodes_.size());
  for (LabelId root : roots_) add_carrier(root, node);
  nodes_.push_back(NodeRec{std::move(labels), dim});
  return node;
}

std::vector<LabelValue> LabelStore::resolved_labels(NodeId node) {
  const LabelIds& ids = *nodes_[node].labels;
  std::vector<LabelValue> out;
  out.reserve(ids.size());
  for (LabelId id : ids) out.push_back(values_[find(id)]);
  return out;
}

void LabelStore::mark_unprunable(NodeId node, CauseId cause) {
  // Copy the pointer: mark may grow vectors but never touches node lists.
  const LabelIdsPtr ids = nodes_[node].labels;
  // Room for every union this may make, so that it cannot stop halfway.
  reserve_causes(ids->size());
  flag_order_.reserve_more(ids->size());
  for (LabelId id : *ids) mark(find(id), cause);
}

LabelId LabelStore::unite(LabelId base, LabelId other) {
  if (base == other) return base;
  // Every allocation first, so that a failed one leaves both classes as they were.
  flag_order_.reserve_more(1);
  carrier_order_.reserve_more(1);
  reserve_carrier_records(1);
  LabelRec& a = labels_[base];
  LabelRec& b = labels_[other];

  const bool a_flag = a.link != kNoFlag, b_flag = b.link != kNoFlag;
  const bool a_carriers = a.carriers != kNoCarriers, b_carriers = b.carriers != kNoCarriers;
  const bool a_unprunable = a_flag && a.link != kPrunable;
  const bool b_unprunable = b_flag && b.link != kPrunable;
  const bool prunable = !a_unprunable && !b_unprunable;
  // The union keeps the causes of both sides (conjunction of the flags).
  CauseId cause = kPrunable;
  if (a_unprunable && b_unprunable) {
    cause = combine(a.link, b.link);
  } else if (!prunable) {
    cause = a_unprunable ? a.link : b.link;
  }
  flag_count_ -= a_flag + b_flag;
  carrier_count_ -= a_carriers + b_carriers;

  // The base stays the root: it keeps its value and map slots.
  a.carriers = carrier_union(a.carriers, b.carriers);
  a.link = a_flag || b_flag ? cause : kNoFlag;
  b.carriers = kChild;
  b.link = base;
  // A base without an entry gains one at the end, as a new key would.
  if (!a_flag && b_flag) flag_order_.push_back(base);
  if (!a_carriers && a.carriers != kNoCarriers) carrier_order_.push_back(base);
  flag_count_ += a.link != kNoFlag;
  carrier_count_ += a.carriers != kNoCarriers;
  return base;
}

void LabelStore::for_each_flag(const std::function<void(LabelId)>& fn) {
  // A slot is live while its id is a root: an id enters the order once, and a root
  // stays a key until it is absorbed.
  flag_order_.for_each([&](size_t, LabelId id) {
    if (is_root(id) && has_flag(id)) fn(id);
  });
}

void LabelStore::for_each_carrier_label(const std::function<void(LabelId)>& fn) {
  carrier_order_.for_each([&](size_t, LabelId id) {
    if (is_root(id) && has_carriers(id)) fn(id);
  });
}

std::vector<LabelGroup> LabelStore::derive_groups() {
  std::vector<LabelGroup> groups;
  // Hash of (prunability, carrier ids) -> newest group with that hash; groups
  // sharing a hash are chained through `next`, so a group costs no allocation here.
  std::unordered_map<uint64_t, size_t> by_hash;
  std::vector<size_t> next;
  constexpr size_t kNone = static_cast<size_t>(-1);
  auto same = [](const LabelGroup& g, bool prunable, const std::vector<NodeId>& carriers) {
    return g.prunable == prunable && g.nodes == carriers;
  };
  // The carriers of the last carrier record read: roots in a row mostly share it. A record
  // is visited once per read (epoch marks), however often the unions under it share it.
  std::vector<NodeId> carriers;
  int32_t carriers_of = kNoCarriers;
  std::vector<uint32_t> seen_in(carrier_recs_.size(), 0);
  uint32_t epoch = 0;
  size_t last = 0;
  for_each_carrier_label([&](LabelId root) {
    const LabelRec& rec = labels_[root];
    if (rec.carriers != carriers_of || carriers.empty()) {
      carriers.clear();
      ++epoch;
      collect_carriers(rec.carriers, carriers, [&](int32_t record) {
        uint32_t& mark = seen_in[static_cast<size_t>(record)];
        if (mark == epoch) return true;
        mark = epoch;
        return false;
      });
      std::sort(carriers.begin(), carriers.end());
      carriers.erase(std::unique(carriers.begin(), carriers.end()), carriers.end());
      carriers_of = rec.carriers;
    }
    const bool prunable = rec.link == kPrunable;
    const LabelValue value = values_[root];
    // Labels of one layer come in a row and mostly share one group.
    if (!groups.empty() && same(groups[last], prunable, carriers)) {
      groups[last].labels.push_back(value);
      return;
    }
    uint64_t h = prunable ? 0x9e3779b97f4a7c15ULL : 0x2545f4914f6cdd1dULL;
    for (NodeId n : carriers) {
      h ^= static_cast<uint64_t>(n) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    const auto slot = by_hash.try_emplace(h, kNone).first;
    for (size_t index = slot->second; index != kNone; index = next[index]) {
      if (same(groups[index], prunable, carriers)) {
        groups[index].labels.push_back(value);
        last = index;
        return;
      }
    }
    last = groups.size();
    next.push_back(slot->second);
    slot->second = last;
    groups.push_back(LabelGroup{carriers, {}, prunable});
    groups.back().labels.push_back(value);
  });
  return groups;
}

}  // namespace tavrix::core
