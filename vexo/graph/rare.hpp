// A field most objects leave empty (a node's bytes as read, the fields of a
// NodeProto or TensorProto kept as read, the tensors a subgraph reads from
// outside): one pointer in the object, the value on the heap only when set.
// A graph of 10^5 nodes holds several such fields per node and constant.
#pragma once

#include <memory>
#include <string_view>
#include <utility>

namespace vexo::graph {

template <class T>
class Rare {
 public:
  Rare() = default;
  Rare(T value) { *this = std::move(value); }  // NOLINT: converts like the value
  Rare(const Rare& o) : Rare(o.get()) {}
  Rare(Rare&&) noexcept = default;
  Rare& operator=(const Rare& o) { return *this = o.get(); }
  Rare& operator=(Rare&&) noexcept = default;
  Rare& operator=(T value) {
    if (value.empty())
      p_.reset();
    else if (p_)
      *p_ = std::move(value);
    else
      p_ = std::make_unique<T>(std::move(value));
    return *this;
  }

  bool operator==(const Rare& o) const { return get() == o.get(); }
  bool operator==(const char* o) const { return get() == o; }  // (used with T = string)
  bool operator!=(const char* o) const { return get() != o; }
  bool empty() const { return !p_; }  // an empty value is never held
  const T& get() const { return p_ ? *p_ : empty_value(); }
  operator const T&() const { return get(); }  // NOLINT: reads as the value
  operator std::string_view() const { return get(); }  // NOLINT: text reads as a view (used with T = string)
  size_t size() const { return p_ ? p_->size() : 0; }
  auto begin() const { return get().begin(); }
  auto end() const { return get().end(); }
  void clear() { p_.reset(); }
  T take() {  // the value, leaving this empty
    T out = p_ ? std::move(*p_) : T();
    p_.reset();
    return out;
  }

 private:
  static const T& empty_value() {
    static const T e;
    return e;
  }
  std::unique_ptr<T> p_;
};

}  // namespace vexo::graph
