// Interned names of tensors and nodes.
//
// A graph looks its tensors up by name at every step: ports, producers,
// consumers, shapes.  A Name is a pointer to the one copy of its text in a
// process-wide pool, so copying a name allocates nothing and comparing or
// hashing one is a pointer operation.  The text is interned once, where it
// comes in (a model read, a builder call, a rule's query).  Names are never
// freed: the pool holds every name the process has seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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
  bool empty() const { return entry_->text.empty(); }
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
  static const Entry* empty_text();
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

// The names as plain strings.
std::vector<std::string> texts(const Names& names);
Names names(const std::vector<std::string>& texts);

}  // namespace vexo::graph

template <>
struct std::hash<vexo::graph::Name> {
  size_t operator()(const vexo::graph::Name& n) const { return n.hash(); }
};
