// A hash map from names to values, flat: the slots are one array of (name,
// index) pairs probed linearly, the values live in a deque and never move, so
// references to them stay valid as the map grows.  A graph looks names up at
// every step; this keeps each lookup to one short probe in a compact array
// instead of a walk through scattered list nodes.  Erasing resets the value
// and marks its slot deleted; the value's place goes to the next name added
// (a reference to an erased value must not be kept).
#pragma once

#include <cstdint>
#include <deque>
#include <stdexcept>
#include <utility>
#include <vector>

#include "name.hpp"

namespace vexo::graph {

// The first slot to probe for a name in a table of power-of-two size, from
// its hash (the address of its entry in the name pool, whose low bits are
// alignment).
inline size_t spread(size_t hash) { return (hash >> 4) * 0x9E3779B97F4A7C15ull; }

// With `kRecent` above 0, a direct-mapped table of that many of the names
// found last sits in front of the slots: the engine, the rules and the shape
// inference ask about the few tensors around one node again and again, and at
// a hundred thousand nodes the slots no longer fit in the cache where this
// small table does.
//
// A slot is eight bytes: the address of the stored (name, value) pair, with
// sixteen bits of the name's hash in the address's unused top bits, so that a
// probe reads the pair only when those bits match.  Half the size of a slot
// holding the name and an index: the slots of a quarter of a million tensors
// stay within a core's second-level cache.
template <class T, size_t kRecent = 0>
class NameMap {
  static_assert((kRecent & (kRecent - 1)) == 0, "kRecent is a power of two");

 public:
  NameMap() : recent_(kRecent) { slots_.resize(16, kEmpty); }
  NameMap(const NameMap&) = delete;  // the recent table points into the values, which a move keeps
  NameMap& operator=(const NameMap&) = delete;
  NameMap(NameMap&&) = default;
  NameMap& operator=(NameMap&&) = default;

  T* find(const Name& key) {
    if constexpr (kRecent > 0) {
      const Recent& r = recent_[recent_place(key)];
      if (r.key == key.id()) return r.value;
    }
    const uintptr_t s = slots_[probe(key)];
    if (!full(s)) return nullptr;
    T* value = &stored(s)->value;
    if constexpr (kRecent > 0) recent_[recent_place(key)] = Recent{key.id(), value};
    return value;
  }
  const T* find(const Name& key) const { return const_cast<NameMap*>(this)->find(key); }

  // Ask the memory for the slot of `key` ahead of a look-up, and later for its
  // value (by then the slot should be at hand).
  void prefetch_slot(const Name& key) const { __builtin_prefetch(&slots_[spread(key.hash()) & (slots_.size() - 1)]); }
  void prefetch_value(const Name& key) const {
    const uintptr_t s = slots_[probe(key)];
    if (full(s)) __builtin_prefetch(stored(s));
  }
  bool contains(const Name& key) const { return find(key) != nullptr; }

  // The value of `key`, made with T() when absent.
  T& operator[](const Name& key) {
    size_t i = probe(key);
    if (full(slots_[i])) return stored(slots_[i])->value;
    if ((used_ + 1) * 4 > slots_.size() * 3) {
      grow();
      i = probe(key);
    }
    if (slots_[i] == kEmpty) ++used_;
    Stored* place;
    if (free_.empty()) {
      place = &values_.emplace_back();
    } else {
      place = free_.back();
      free_.pop_back();
    }
    if (reinterpret_cast<uintptr_t>(place) & ~kAddress)  // user space is below 2^47 on the platforms built for
      throw std::runtime_error("NameMap: a value's address does not fit in 48 bits");
    place->key = key;
    slots_[i] = tagged(place, key);
    ++size_;
    return place->value;
  }

  bool erase(const Name& key) {
    const size_t i = probe(key);
    if (!full(slots_[i])) return false;
    if constexpr (kRecent > 0) {
      Recent& r = recent_[recent_place(key)];
      if (r.key == key.id()) r = Recent();
    }
    Stored* place = stored(slots_[i]);
    place->value = T();
    place->key = Name();
    free_.push_back(place);
    slots_[i] = kDeleted;
    --size_;
    return true;
  }

  size_t size() const { return size_; }

  template <class F>
  void each(F&& f) const {
    for (const uintptr_t s : slots_)
      if (full(s)) f(stored(s)->key, stored(s)->value);
  }

 private:
  struct Stored {
    Name key;
    T value{};
  };
  struct Recent {
    const void* key = nullptr;  // a name's identity, never null for a name
    T* value = nullptr;
  };
  static constexpr uintptr_t kEmpty = 0, kDeleted = 1;
  static constexpr int kTagShift = 48;
  static constexpr uintptr_t kAddress = (uintptr_t{1} << kTagShift) - 1;

  static bool full(uintptr_t s) { return s > kDeleted; }
  static Stored* stored(uintptr_t s) { return reinterpret_cast<Stored*>(s & kAddress); }
  static uintptr_t tag_of(const Name& key) { return spread(key.hash()) & ~kAddress; }
  static uintptr_t tagged(Stored* place, const Name& key) { return reinterpret_cast<uintptr_t>(place) | tag_of(key); }
  static size_t recent_place(const Name& key) { return (key.hash() >> 4) & (kRecent - 1); }

  // The slot holding `key`, or where it would go (the first deleted slot on the way, else the empty one).
  size_t probe(const Name& key) const {
    const size_t mask = slots_.size() - 1;
    const uintptr_t tag = tag_of(key);
    size_t i = spread(key.hash()) & mask;
    size_t free = SIZE_MAX;
    while (true) {
      const uintptr_t s = slots_[i];
      if (s == kEmpty) return free != SIZE_MAX ? free : i;
      if (s == kDeleted) {
        if (free == SIZE_MAX) free = i;
      } else if ((s & ~kAddress) == tag && stored(s)->key == key) {
        return i;
      }
      i = (i + 1) & mask;
    }
  }

  void grow() {
    std::vector<uintptr_t> old = std::move(slots_);
    slots_.assign(size_ * 4 > old.size() ? old.size() * 2 : old.size(), kEmpty);  // deleted slots go either way
    used_ = 0;
    const size_t mask = slots_.size() - 1;
    for (const uintptr_t s : old) {
      if (!full(s)) continue;
      size_t i = spread(stored(s)->key.hash()) & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = s;
      ++used_;
    }
  }

  std::vector<uintptr_t> slots_;
  std::vector<Recent> recent_;
  std::deque<Stored> values_;
  std::vector<Stored*> free_;  // places of erased values
  size_t used_ = 0;  // full and deleted slots
  size_t size_ = 0;
};

// A set of names: one array of slots, each the name's identity alone (eight
// bytes), probed linearly like NameMap's.  Erasing leaves a tombstone.
class NameSet {
 public:
  NameSet() { slots_.resize(16, kEmpty); }
  template <class It>
  NameSet(It begin, It end) : NameSet() {
    for (; begin != end; ++begin) insert(*begin);
  }
  bool insert(const Name& n) {  // false when present
    size_t i = probe(n.id());
    if (slots_[i] == n.id()) return false;
    if ((used_ + 1) * 4 > slots_.size() * 3) {
      grow();
      i = probe(n.id());
    }
    if (slots_[i] == kEmpty) ++used_;
    slots_[i] = n.id();
    ++size_;
    return true;
  }
  bool contains(const Name& n) const { return slots_[probe(n.id())] == n.id(); }
  size_t count(const Name& n) const { return contains(n) ? 1 : 0; }
  bool erase(const Name& n) {
    const size_t i = probe(n.id());
    if (slots_[i] != n.id()) return false;
    slots_[i] = kDeleted;
    --size_;
    return true;
  }
  size_t size() const { return size_; }

 private:
  static inline const void* const kEmpty = nullptr;
  static inline const void* const kDeleted = reinterpret_cast<const void*>(uintptr_t{1});

  static size_t mix(const void* id) { return spread(std::hash<const void*>()(id)); }

  // The slot holding `id`, or where it would go (the first tombstone on the way, else the empty slot).
  size_t probe(const void* id) const {
    const size_t mask = slots_.size() - 1;
    size_t i = mix(id) & mask;
    size_t free = SIZE_MAX;
    while (true) {
      const void* s = slots_[i];
      if (s == id) return i;
      if (s == kEmpty) return free != SIZE_MAX ? free : i;
      if (s == kDeleted && free == SIZE_MAX) free = i;
      i = (i + 1) & mask;
    }
  }

  void grow() {
    std::vector<const void*> old = std::move(slots_);
    slots_.assign(size_ * 4 > old.size() ? old.size() * 2 : old.size(), kEmpty);  // tombstones go either way
    used_ = 0;
    for (const void* s : old) {
      if (s == kEmpty || s == kDeleted) continue;
      const size_t mask = slots_.size() - 1;
      size_t i = mix(s) & mask;
      while (slots_[i] != kEmpty) i = (i + 1) & mask;
      slots_[i] = s;
      ++used_;
    }
  }

  std::vector<const void*> slots_;
  size_t used_ = 0;  // full slots and tombstones
  size_t size_ = 0;
};

}  // namespace vexo::graph
