#include "name.hpp"

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace vexo::graph {

namespace {

// The pool: open addressing over one array of eight-byte slots (the upper
// half of a name's hash and its place among the texts), probed linearly and
// kept at most three quarters full, so that a look-up is a few probes in one
// cache line of a compact array and one comparison of texts, not a walk
// through list nodes; in front of it a small direct-mapped table of the
// names interned last.
class Pool {
 public:
  // Ask the memory for the places a look-up of `text` will read first.
  void prefetch(std::string_view text) const {
    const size_t hash = std::hash<std::string_view>()(text);
    __builtin_prefetch(&slots_[first_slot(hash)]);
    __builtin_prefetch(&recent_[recent_place(hash)]);
  }

  const Name::Entry* intern(std::string_view text, bool* created) {
    const size_t hash = std::hash<std::string_view>()(text);
    const size_t mask = slots_.size() - 1;
    __builtin_prefetch(&slots_[first_slot(hash)]);  // a name not found last costs one wait for both tables, not two
    Recent& recent = recent_[recent_place(hash)];
    if (recent.hash == hash && recent.text && recent.text->text == text) return recent.text;
    const auto tag = static_cast<uint32_t>(hash >> 32);
    size_t i = first_slot(hash);
    for (; slots_[i].place; i = (i + 1) & mask) {
      if (slots_[i].tag != tag) continue;
      const Name::Entry* t = &texts_[slots_[i].place - 1];
      if (t->text == text) return (recent = Recent{hash, t}).text;
    }
    const Name::Entry* t = &texts_.emplace_back(Name::Entry{std::string(text)});
    slots_[i] = Slot{tag, static_cast<uint32_t>(texts_.size())};
    recent = Recent{hash, t};
    if (created) *created = true;
    if (texts_.size() * 4 > slots_.size() * 3) grow();
    return t;
  }

 private:
  // Where a name of this hash is probed first, and its place among the recent names.
  size_t first_slot(size_t hash) const { return hash & (slots_.size() - 1); }
  static size_t recent_place(size_t hash) { return (hash >> 7) & (kRecent - 1); }

  struct Slot {
    uint32_t tag = 0;
    uint32_t place = 0;  // 1 + the text's place in texts_, 0 for an empty slot
  };
  struct Recent {
    size_t hash = 0;
    const Name::Entry* text = nullptr;
  };

  void grow() {
    slots_.assign(slots_.size() * 2, Slot());
    const size_t mask = slots_.size() - 1;
    for (size_t k = 0; k < texts_.size(); ++k) {  // hashed again: cheaper than keeping every hash
      const size_t hash = std::hash<std::string_view>()(texts_[k].text);
      size_t i = first_slot(hash);
      while (slots_[i].place) i = (i + 1) & mask;
      slots_[i] = Slot{static_cast<uint32_t>(hash >> 32), static_cast<uint32_t>(k + 1)};
    }
  }

  std::vector<Slot> slots_ = std::vector<Slot>(size_t{1} << 16);
  // The texts, in blocks: names are never freed and never move, so they need
  // no allocation of their own.
  std::deque<Name::Entry> texts_;
  // The names looked up last, by hash: a rule asks about the few tensors
  // around its node again and again, and this small table stays in cache
  // where the pool's does not.
  static constexpr size_t kRecent = 8192;
  std::vector<Recent> recent_ = std::vector<Recent>(kRecent);
};

}  // namespace

// The pool is only touched from the thread that holds the interpreter's lock.
static Pool& pool() {
  static auto* p = new Pool();
  return *p;
}

const Name::Entry* Name::intern(std::string_view text, bool* created) {
  return pool().intern(text, created);
}

void Name::prefetch(std::string_view text) {
  pool().prefetch(text);
}

Name Name::interned(std::string_view text, bool& created) {
  created = false;
  return Name(intern(text, &created));
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
