#include "core/label_store.hpp"

#include <algorithm>
#include <string>

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
    return dense_ids_[static_cast<size_t>(value)];
  }
  auto it = sparse_ids_.find(value);
  return it == sparse_ids_.end() ? kNoLabel : it->second;
}

void LabelStore::bind(LabelValue value, LabelId id) {
  if (value >= 0 && value < static_cast<LabelValue>(dense_ids_.size())) {
    dense_ids_[static_cast<size_t>(value)] = id;
    return;
  }
  // Saturates instead of overflowing for a counter near the 64-bit limit.
  const LabelValue bound =
      next_label_ > kDenseCeiling / 4 ? kDenseCeiling : std::max(kDenseFloor, 4 * next_label_);
  if (value >= 0 && value < bound) {
    const size_t want = std::max(static_cast<size_t>(value) + 1, 2 * dense_ids_.size());
    dense_ids_.resize(std::min(want, static_cast<size_t>(bound)), kNoLabel);
    // Values that were hashed before the table grew move over.
    for (auto it = sparse_ids_.begin(); it != sparse_ids_.end();) {
      if (it->first >= 0 && it->first < static_cast<LabelValue>(dense_ids_.size())) {
        dense_ids_[static_cast<size_t>(it->first)] = it->second;
        it = sparse_ids_.erase(it);
      } else {
        ++it;
      }
    }
    dense_ids_[static_cast<size_t>(value)] = id;
    return;
  }
  sparse_ids_[value] = id;
}

LabelId LabelStore::new_label(LabelValue value) {
  if (labels_.size() >= static_cast<size_t>(kMaxIds)) {
    throw std::overflow_error("too many channel labels for one graph walk");
  }
  const auto id = static_cast<LabelId>(labels_.size());
  labels_.push_back(LabelRec{value, id, -1, -1, kUnknownCause, NodeSet()});
  bind(value, id);
  return id;
}

LabelId LabelStore::find(LabelId id) {
  // Path halving keeps chains short without recursion.
  while (labels_[id].parent != id) {
    LabelId& parent = labels_[id].parent;
    parent = labels_[parent].parent;
    id = parent;
  }
  return id;
}

LabelId LabelStore::live_root(LabelValue value) {
  // Live under its own name: the root must still carry this value.
  const LabelId root = resolve(value);
  return root != kNoLabel && labels_[root].value == value ? root : kNoLabel;
}

LabelId LabelStore::resolve(LabelValue value) {
  const LabelId id = id_of(value);
  if (id == kNoLabel) return kNoLabel;
  const LabelId root = find(id);
  const LabelRec& rec = labels_[root];
  if (rec.flag_pos < 0 && rec.carrier_pos < 0) return kNoLabel;
  return root;
}

LabelId LabelStore::intern(LabelValue value) {
  const LabelId id = id_of(value);
  if (id != kNoLabel && labels_[find(id)].value == value) return id;
  return new_label(value);
}

void LabelStore::set_flag(LabelId root, bool value, CauseId cause) {
  LabelRec& rec = labels_[root];
  const bool was_unprunable = rec.flag_pos >= 0 && rec.cause != kPrunable;
  if (rec.flag_pos < 0) {
    flag_order_.push_back(root);
    rec.flag_pos = static_cast<int32_t>(flag_order_.size() - 1);
    ++flag_count_;
  }
  if (value) {
    rec.cause = kPrunable;
  } else if (!was_unprunable) {
    rec.cause = cause;
  }
}

void LabelStore::mark(LabelId root, CauseId cause) {
  const CauseId next = combine(this->cause(root), cause);
  set_flag(root, false);
  labels_[root].cause = next;
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

void LabelStore::add_carrier(LabelId root, NodeId node) {
  LabelRec& rec = labels_[root];
  if (rec.carrier_pos < 0) {
    carrier_order_.push_back(root);
    rec.carrier_pos = static_cast<int32_t>(carrier_order_.size() - 1);
    ++carrier_count_;
  }
  // The node being recorded is the newest one, so a repeat can only sit last.
  if (rec.carriers.empty() || rec.carriers.back() != node) rec.carriers.push_back(node);
}

void LabelStore::compact_carriers(LabelId root) {
  auto& c = labels_[root].carriers;
  // Carriers arrive in recording order; only a merge leaves them unsorted.
  if (std::adjacent_find(c.begin(), c.end(), std::greater_equal<NodeId>()) == c.end()) return;
  std::sort(c.begin(), c.end());
  c.resize_down(static_cast<uint32_t>(std::unique(c.begin(), c.end()) - c.begin()));
}

void LabelStore::reserve_record(const LabelIds& ids, bool with_flags) {
  if (nodes_.size() >= static_cast<size_t>(kMaxIds)) {
    throw std::overflow_error("too many nodes for one graph walk");
  }
  reserve_more(nodes_, 1);
  reserve_more(carrier_order_, ids.size());
  if (with_flags) reserve_more(flag_order_, ids.size());
  roots_.resize(ids.size());
  for (size_t i = 0; i < ids.size(); ++i) {
    const LabelId root = find(ids[i]);
    labels_[root].carriers.reserve_one();
    roots_[i] = root;
  }
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
  for (LabelId id : ids) out.push_back(labels_[find(id)].value);
  return out;
}

void LabelStore::mark_unprunable(NodeId node, CauseId cause) {
  // Copy the pointer: mark may grow vectors but never touches node lists.
  const LabelIdsPtr ids = nodes_[node].labels;
  // Room for every union this may make, so that it cannot stop halfway.
  reserve_causes(ids->size());
  reserve_more(flag_order_, ids->size());
  for (LabelId id : *ids) mark(find(id), cause);
}

LabelId LabelStore::unite(LabelId base, LabelId other) {
  if (base == other) return base;
  // Every allocation first, so that a failed one leaves both classes as they were.
  reserve_more(flag_order_, 1);
  reserve_more(carrier_order_, 1);
  LabelRec& a = labels_[base];
  LabelRec& b = labels_[other];
  {
    NodeSet& larger = a.carriers.size() >= b.carriers.size() ? a.carriers : b.carriers;
    larger.reserve(static_cast<uint64_t>(a.carriers.size()) + b.carriers.size());
  }

  const bool has_flag = a.flag_pos >= 0 || b.flag_pos >= 0;
  const bool a_unprunable = a.flag_pos >= 0 && a.cause != kPrunable;
  const bool b_unprunable = b.flag_pos >= 0 && b.cause != kPrunable;
  const bool prunable = !a_unprunable && !b_unprunable;
  // The union keeps the causes of both sides (conjunction of the flags).
  CauseId cause = kPrunable;
  if (a_unprunable && b_unprunable) {
    cause = combine(a.cause, b.cause);
  } else if (!prunable) {
    cause = a_unprunable ? a.cause : b.cause;
  }
  const LabelValue value = a.value;
  int32_t flag_pos = a.flag_pos;
  int32_t carrier_pos = a.carrier_pos;
  flag_count_ -= (a.flag_pos >= 0) + (b.flag_pos >= 0);
  carrier_count_ -= (a.carrier_pos >= 0) + (b.carrier_pos >= 0);

  // The larger carrier list stays in place; the smaller one is appended to it.
  const bool keep_base = a.carriers.size() >= b.carriers.size();
  const LabelId root = keep_base ? base : other;
  const LabelId child = keep_base ? other : base;
  LabelRec& r = labels_[root];
  LabelRec& c = labels_[child];
  r.carriers.append(c.carriers);
  c.carriers.reset();
  c.parent = root;
  c.flag_pos = -1;
  c.carrier_pos = -1;

  r.value = value;
  r.cause = cause;
  // A base without an entry gains one at the end, as a new key would.
  if (flag_pos < 0 && has_flag) {
    flag_pos = static_cast<int32_t>(flag_order_.size());
    flag_order_.push_back(root);
  }
  if (carrier_pos < 0 && !r.carriers.empty()) {
    carrier_pos = static_cast<int32_t>(carrier_order_.size());
    carrier_order_.push_back(root);
  }
  r.flag_pos = flag_pos;
  r.carrier_pos = carrier_pos;
  flag_count_ += flag_pos >= 0;
  carrier_count_ += carrier_pos >= 0;
  return root;
}

void LabelStore::for_each_flag(const std::function<void(LabelId)>& fn) {
  for (size_t pos = 0; pos < flag_order_.size(); ++pos) {
    const LabelId root = find(flag_order_[pos]);
    if (labels_[root].flag_pos == static_cast<int32_t>(pos)) fn(root);
  }
}

void LabelStore::for_each_carrier_label(const std::function<void(LabelId)>& fn) {
  for (size_t pos = 0; pos < carrier_order_.size(); ++pos) {
    const LabelId root = find(carrier_order_[pos]);
    if (labels_[root].carrier_pos == static_cast<int32_t>(pos)) fn(root);
  }
}

std::vector<LabelGroup> LabelStore::derive_groups() {
  std::vector<LabelGroup> groups;
  // Hash of (prunability, carrier ids) -> newest group with that hash; groups
  // sharing a hash are chained through `next`, so a group costs no allocation here.
  std::unordered_map<uint64_t, size_t> by_hash;
  std::vector<size_t> next;
  constexpr size_t kNone = static_cast<size_t>(-1);
  auto same = [](const LabelGroup& g, bool prunable, const NodeSet& carriers) {
    return g.prunable == prunable && g.nodes.size() == carriers.size() &&
           std::equal(carriers.begin(), carriers.end(), g.nodes.begin());
  };
  size_t last = 0;
  for_each_carrier_label([&](LabelId root) {
    compact_carriers(root);
    const LabelRec& rec = labels_[root];
    const bool prunable = rec.flag_pos >= 0 && rec.cause == kPrunable;
    // Labels of one layer come in a row and mostly share one group.
    if (!groups.empty() && same(groups[last], prunable, rec.carriers)) {
      groups[last].labels.push_back(rec.value);
      return;
    }
    uint64_t h = prunable ? 0x9e3779b97f4a7c15ULL : 0x2545f4914f6cdd1dULL;
    for (NodeId n : rec.carriers) {
      h ^= static_cast<uint64_t>(n) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
    }
    const auto slot = by_hash.try_emplace(h, kNone).first;
    for (size_t index = slot->second; index != kNone; index = next[index]) {
      if (same(groups[index], prunable, rec.carriers)) {
        groups[index].labels.push_back(rec.value);
        last = index;
        return;
      }
    }
    last = groups.size();
    next.push_back(slot->second);
    slot->second = last;
    groups.push_back(LabelGroup{
        std::vector<NodeId>(rec.carriers.begin(), rec.carriers.end()), {rec.value}, prunable});
  });
  return groups;
}

}  // namespace tavrix::core
