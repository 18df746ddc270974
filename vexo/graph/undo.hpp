// An entry of the change journal: a callable run once on rollback.
#pragma once

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace vexo::graph {

// Kept in place when it is small enough (most undos hold a node, a few names
// and shapes: a rewrite journals a dozen of them), on the heap otherwise;
// std::function would allocate for nearly every one.
class Undo {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, Undo>>>
  Undo(F&& f) {  // NOLINT: converts like std::function
    using Fn = std::decay_t<F>;
    if constexpr (fits_in_place<Fn>()) {
      ::new (static_cast<void*>(buf_)) Fn(std::forward<F>(f));
      ops_ = &kInPlace<Fn>;
    } else {
      ::new (static_cast<void*>(buf_)) Fn*(new Fn(std::forward<F>(f)));
      ops_ = &kOnHeap<Fn>;
    }
  }
  Undo(Undo&& o) noexcept : ops_(o.ops_) {
    ops_->move(o.buf_, buf_);
    o.ops_ = &kEmpty;
  }
  Undo& operator=(Undo&& o) noexcept {
    if (this != &o) {
      ops_->destroy(buf_);
      ops_ = o.ops_;
      ops_->move(o.buf_, buf_);
      o.ops_ = &kEmpty;
    }
    return *this;
  }
  Undo(const Undo&) = delete;
  Undo& operator=(const Undo&) = delete;
  ~Undo() { ops_->destroy(buf_); }

  void operator()() { ops_->call(buf_); }

 private:
  static constexpr size_t kSize = 64;
  struct Ops {
    void (*call)(void*);
    void (*move)(void* from, void* to);  // leaves `from` destroyed
    void (*destroy)(void*);
  };
  template <class Fn>
  static constexpr bool fits_in_place() {
    return sizeof(Fn) <= kSize && alignof(Fn) <= alignof(std::max_align_t) &&
           std::is_nothrow_move_constructible_v<Fn>;
  }
  template <class Fn>
  static constexpr Ops kInPlace{
      [](void* p) { (*static_cast<Fn*>(p))(); },
      [](void* from, void* to) {
        ::new (to) Fn(std::move(*static_cast<Fn*>(from)));
        static_cast<Fn*>(from)->~Fn();
      },
      [](void* p) { static_cast<Fn*>(p)->~Fn(); }};
  template <class Fn>
  static constexpr Ops kOnHeap{
      [](void* p) { (**static_cast<Fn**>(p))(); },
      [](void* from, void* to) { ::new (to) Fn*(*static_cast<Fn**>(from)); },
      [](void* p) { delete *static_cast<Fn**>(p); }};
  static constexpr Ops kEmpty{[](void*) {}, [](void*, void*) {}, [](void*) {}};

  alignas(std::max_align_t) unsigned char buf_[kSize];
  const Ops* ops_;
};

}  // namespace vexo::graph
