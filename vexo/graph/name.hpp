// Interned names of tensors and nodes.
//
// A graph looks its tensors up by name at every step: ports, producers,
// consumers, shapes.  A Name is a pointer to the one copy of its text in a
// process-wide pool, so copying a name allocates nothing and comparing or
// hashing one is a pointer operation.  The text is interned once, where it
// comes in (a model read, a builder call, a rule's query).  Names are never
// freed: the pool holds every name the process has seen.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::graph {

class Name {
 public:
  // A name's one copy in the pool, with the graph that took it first (see
  // Graph::take_name): a mark there spares that graph a look-up in a set of
  // a million names for every name it makes.
  struct Entry {
    std::string text;
    mutable uint64_t taken_by = 0;  // a graph's stamp, 0 for none
  };

  Name() : entry_(empty_text()) {}
  Name(std::string_view text) : entry_(intern(text)) {}  // NOLINT: names convert from text
  Name(const std::string& text) : entry_(intern(text)) {}  // NOLINT
  Name(const char* text) : entry_(intern(text)) {}          // NOLINT

  const std::string& str() const { return entry_->text; }
  operator const std::string&() const { return entry_->text; }  // NOLINT: reads as its text
  // By the entry's address, not its text: the pool keeps one entry per text,
  // and a walk over many names would wait on the memory for each entry.
  bool empty() const { return entry_ == empty_text(); }
  size_t size() const { return entry_->text.size(); }
  uint64_t taken_by() const { return entry_->taken_by; }
  void set_taken_by(uint64_t stamp) const { entry_->taken_by = stamp; }

  bool operator==(const Name& o) const { return entry_ == o.entry_; }
  bool operator!=(const Name& o) const { return entry_ != o.entry_; }
  bool operator<(const Name& o) const { return entry_->text < o.entry_->text; }  // by text, for sorted output
  size_t hash() const { return std::hash<const void*>()(entry_); }
  const void* id() const { return entry_; }  // the same for equal names, never null

  // The name of `text`; `created` tells whether the process had never seen it
  // (then nothing can hold it yet).
  static Name interned(std::string_view text, bool& created);
  // Ask the memory ahead for what interning `text` will read (the pool of a
  // million names is far from the caches).
  static void prefetch(std::string_view text);

 private:
  explicit Name(const Entry* entry) : entry_(entry) {}
  static const Entry* intern(std::string_view text, bool* created = nullptr);
  static const Entry* empty_text() {
    static const Entry* e = intern(std::string_view());
    return e;
  }
  const Entry* entry_;
};

struct NameHash {
  size_t operator()(const Name& n) const { return n.hash(); }
};

using Names = std::vector<Name>;

inline std::string operator+(const std::string& a, const Name& b) { return a + b.str(); }
inline std::string operator+(const Name& a, const std::string& b) { return a.str() + b; }
inline std::string operator+(const char* a, const Name& b) { return a + b.str(); }
inline std::string operator+(const Name& a, const char* b) { return a.str() + b; }

// The text of a name made from another: `stem`, `suffix`, then the number `k`
// when given. Written in place (a std::string would allocate for most names,
// and every change to one calls into the library).
class ComposedName {
 public:
  ComposedName() = default;
  ComposedName(std::string_view stem, std::string_view suffix, std::optional<uint64_t> k = std::nullopt) {
    const size_t n = stem.size() + suffix.size();
    if (n + kDigits > sizeof(buf_)) {  // a long stem: on the heap
      long_.reserve(n + kDigits);
      long_.append(stem).append(suffix);
      if (k) long_.append(std::to_string(*k));
      return;
    }
    char* end = std::copy(suffix.begin(), suffix.end(), std::copy(stem.begin(), stem.end(), buf_));
    if (k) end = std::to_chars(end, buf_ + sizeof(buf_), *k).ptr;
    size_ = static_cast<size_t>(end - buf_);
  }
  std::string_view view() const { return long_.empty() ? std::string_view(buf_, size_) : std::string_view(long_); }
  operator std::string_view() const { return view(); }  // NOLINT: reads as its text

 private:
  static constexpr size_t kDigits = 20;  // of the largest number
  char buf_[96];
  size_t size_ = 0;
  std::string long_;
};

// The names as plain strings.
std::vector<std::string> texts(const Names& names);
Names names(const std::vector<std::string>& texts);

}  // namespace vexo::graph

template <>
struct std::hash<vexo::graph::Name> {
  size_t operator()(const vexo::graph::Name& n) const { return n.hash(); }
};
