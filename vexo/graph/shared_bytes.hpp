// Bytes kept as read (a node's NodeProto, written back while nothing of the
// node changed): a view into the buffer the model was read from, which the
// views keep alive together.  A graph of 10^5 nodes then holds no copy of each
// node's bytes, and a view costs no allocation of its own.
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace vexo::graph {

class SharedBytes {
 public:
  SharedBytes() = default;
  SharedBytes(const SharedBytes& o) noexcept : buffer_(o.buffer_), offset_(o.offset_), size_(o.size_) {
    if (buffer_) ++buffer_->refs;
  }
  SharedBytes(SharedBytes&& o) noexcept : buffer_(o.buffer_), offset_(o.offset_), size_(o.size_) {
    o.buffer_ = nullptr;
    o.offset_ = o.size_ = 0;
  }
  SharedBytes& operator=(SharedBytes o) noexcept {
    std::swap(buffer_, o.buffer_);
    std::swap(offset_, o.offset_);
    std::swap(size_, o.size_);
    return *this;
  }
  ~SharedBytes() { clear(); }

  // The whole of `bytes`, which `owner` keeps alive (a copy when there is no
  // owner); slices of it share the one buffer.
  static SharedBytes of_buffer(std::string_view bytes, std::shared_ptr<const void> owner) {
    if (!owner) return copy_of(bytes);
    return SharedBytes(new Buffer{1, std::move(owner), bytes.data()}, 0,
                       static_cast<uint32_t>(std::min(bytes.size(), kMaxOffset)));
  }
  // `bytes` copied into a buffer of their own.
  static SharedBytes copy_of(std::string_view bytes) {
    auto held = std::make_shared<const std::string>(bytes);
    const std::string_view view(*held);
    return of_buffer(view, std::move(held));
  }
  // The view of `part`, which lies inside this view's buffer; empty for an
  // empty part.
  SharedBytes slice(std::string_view part) const {
    if (part.empty()) return SharedBytes();
    if (!buffer_) return copy_of(part);
    const size_t at = static_cast<size_t>(part.data() - buffer_->base);
    if (at + part.size() > kMaxOffset) return copy_of(part);  // past what a view addresses
    ++buffer_->refs;
    return SharedBytes(buffer_, static_cast<uint32_t>(at), static_cast<uint32_t>(part.size()));
  }

  bool empty() const { return buffer_ == nullptr; }
  std::string_view view() const {
    return buffer_ ? std::string_view(buffer_->base + offset_, size_) : std::string_view();
  }
  void clear() {
    if (buffer_ && --buffer_->refs == 0) delete buffer_;
    buffer_ = nullptr;
    offset_ = size_ = 0;
  }
  SharedBytes take() { return std::move(*this); }  // the view, leaving this empty

 private:
  // One per model read.  Counted without atomics: nodes live and die under the
  // interpreter's lock, as the name pool.
  struct Buffer {
    int refs;
    std::shared_ptr<const void> owner;
    const char* base;
  };
  static constexpr size_t kMaxOffset = std::numeric_limits<uint32_t>::max();
  SharedBytes(Buffer* buffer, uint32_t offset, uint32_t size) : buffer_(buffer), offset_(offset), size_(size) {}

  Buffer* buffer_ = nullptr;
  uint32_t offset_ = 0, size_ = 0;
};

}  // namespace vexo::graph
