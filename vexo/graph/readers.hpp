// The nodes that read a tensor, in first-read order, each with its number of
// reads.  Most tensors have one reader: it is held inline, and only a tensor
// read by two nodes or more puts its list on the heap.  The same 24 bytes as
// a std::vector, without its allocation for the one reader of 10^5 tensors.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace vexo::graph {

class Node;

class Readers {
 public:
  struct Reader {
    Node* first;  // the node
    int second;   // its reads
  };

  Readers() : many_(nullptr) {}
  Readers(const Readers& o) : Readers() { assign(o); }
  Readers(Readers&& o) noexcept : Readers() { take(o); }
  Readers& operator=(const Readers& o) {
    if (this != &o) {
      clear();
      assign(o);
    }
    return *this;
  }
  Readers& operator=(Readers&& o) noexcept {
    if (this != &o) {
      clear();
      take(o);
    }
    return *this;
  }
  ~Readers() { clear(); }

  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  const Reader* begin() const { return heap() ? many_ : &one_; }
  const Reader* end() const { return begin() + size_; }

  // One more read by `node`: counted on its entry when it read last, else a new entry at the end.
  void add(Node* node) {
    Reader* list = data();
    if (size_ && list[size_ - 1].first == node) {
      ++list[size_ - 1].second;
      return;
    }
    if (size_ == 0 && !heap()) {
      one_ = Reader{node, 1};
      size_ = 1;
      return;
    }
    if (size_ == capacity()) grow();
    many_[size_++] = Reader{node, 1};
  }
  // One read less by `node` (its last entry): the entry goes when no read is left.
  void remove(Node* node) {
    Reader* list = data();
    for (uint32_t i = size_; i-- > 0;) {
      if (list[i].first != node) continue;
      if (--list[i].second <= 0) {
        std::memmove(list + i, list + i + 1, (size_ - i - 1) * sizeof(Reader));
        --size_;
      }
      return;
    }
  }
  void clear() {
    if (heap()) std::free(many_);
    many_ = nullptr;
    size_ = capacity_ = 0;
  }

 private:
  bool heap() const { return capacity_ != 0; }
  uint32_t capacity() const { return heap() ? capacity_ : 1; }
  Reader* data() { return heap() ? many_ : &one_; }
  void grow() {
    const uint32_t room = heap() ? capacity_ * 2 : 4;
    auto* list = static_cast<Reader*>(std::malloc(room * sizeof(Reader)));
    if (list == nullptr) throw std::bad_alloc();
    if (size_) std::memcpy(list, data(), size_ * sizeof(Reader));
    if (heap()) std::free(many_);
    many_ = list;
    capacity_ = room;
  }
  void assign(const Readers& o) {
    for (const Reader& r : o) {
      if (size_ == capacity()) grow();
      data()[size_++] = r;
    }
  }
  void take(Readers& o) {
    if (o.heap())
      many_ = o.many_;
    else
      one_ = o.one_;
    size_ = o.size_;
    capacity_ = o.capacity_;
    o.many_ = nullptr;
    o.size_ = o.capacity_ = 0;
  }

  union {
    Reader one_;    // while capacity_ is 0
    Reader* many_;  // on the heap, capacity_ entries
  };
  uint32_t size_ = 0, capacity_ = 0;
};

}  // namespace vexo::graph
