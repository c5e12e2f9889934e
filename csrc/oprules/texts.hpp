// Interned texts: each distinct text gets one id, valid for the life of the
// process. The engine's tables (rule texts, the rule record's handler names
// and branches) are filled while the library loads (the constants of the
// handler files) and later under the GIL (texts named from Python).
#pragma once

#include <cstdint>
#include <deque>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace tavrix::oprules {

class TextTable {
 public:
  int32_t id(const std::string& text) {
    auto found = ids_.find(text);
    if (found != ids_.end()) return found->second;
    if (texts_.size() >= static_cast<size_t>(INT32_MAX)) {
      throw std::overflow_error("too many distinct texts in one of the engine's tables");
    }
    const auto id = static_cast<int32_t>(texts_.size());
    texts_.push_back(text);
    ids_.emplace(text, id);
    return id;
  }
  // nullptr for an id the table never handed out.
  const std::string* text(int32_t id) const {
    if (id < 0 || static_cast<size_t>(id) >= texts_.size()) return nullptr;
    return &texts_[static_cast<size_t>(id)];
  }

 private:
  std::deque<std::string> texts_;  // a deque: ids hand out stable references
  std::unordered_map<std::string, int32_t> ids_;
};

}  // namespace tavrix::oprules
