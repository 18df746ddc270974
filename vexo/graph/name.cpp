#include "name.hpp"

#include <deque>
#include <functional>
#include <vector>

namespace vexo::graph {

namespace {

// The pool: open addressing over one array of (hash, text) slots, probed
// linearly and kept at most half full, so that a look-up is one probe in a
// compact array and one comparison of texts, not a walk through list nodes;
// in front of it a small direct-mapped table of the names interned last.
class Pool {
 public:
  const std::string* intern(std::string_view text, bool* created) {
    const size_t hash = std::hash<std::string_view>()(text);
    Slot& recent = recent_[(hash >> 7) & (kRecent - 1)];
    if (recent.hash == hash && recent.text && *recent.text == text) return recent.text;
    size_t i = hash & (slots_.size() - 1);
    for (; slots_[i].text; i = (i + 1) & (slots_.size() - 1))
      if (slots_[i].hash == hash && *slots_[i].text == text) return (recent = slots_[i]).text;
    const std::string* s = &texts_.emplace_back(text);
    slots_[i] = Slot{hash, s};
    recent = slots_[i];
    if (created) *created = true;
    if (++used_ * 2 > slots_.size()) grow();
    return s;
  }

 private:
  struct Slot {
    size_t hash = 0;
    const std::string* text = nullptr;
  };

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    const size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (!s.text) continue;
      size_t i = s.hash & mask;
      while (slots_[i].text) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_ = std::vector<Slot>(size_t{1} << 16);
  size_t used_ = 0;
  // The texts, in blocks: names are never freed and never move, so they need
  // no allocation of their own.
  std::deque<std::string> texts_;
  // The names looked up last, by hash: a rule asks about the few tensors
  // around its node again and again, and this small table stays in cache
  // where the pool's does not.
  static constexpr size_t kRecent = 8192;
  std::vector<Slot> recent_ = std::vector<Slot>(kRecent);
};

}  // namespace

// The pool is only touched from the thread that holds the interpreter's lock.
const std::string* Name::intern(std::string_view text, bool* created) {
  static auto* pool = new Pool();
  return pool->intern(text, created);
}

Name Name::interned(std::string_view text, bool& created) {
  created = false;
  return Name(intern(text, &created));
}

const std::string* Name::empty_text() {
  static const std::string* e = intern(std::string_view());
  return e;
}

std::vector<std::string> texts(const Names& names) {
  std::vector<std::string> out;
  out.reserve(names.size());
  for (const Name& n : names) out.push_back(n.str());
  return out;
}

Names names(const std::vector<std::string>& texts) {
  Names out;
  out.reserve(texts.size());
  for (const std::string& t : texts) out.emplace_back(t);
  return out;
}

}  // namespace vexo::graph
