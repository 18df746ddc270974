// Protocol buffer wire format: the reading and writing the model codec needs.
//
// A Reader walks the fields of one message in a byte range, bounds-checked
// at every step: malformed bytes raise WireError, never read past the range.
// A Writer appends fields to a string.  Nothing here knows the ONNX schema.
#pragma once

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vexo::graph::wire {

struct WireError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum WireType : uint32_t { kVarint = 0, kFixed64 = 1, kLength = 2, kFixed32 = 5 };

// One field as read: its number, wire type and value; `whole` spans the
// field's bytes from its tag to its end, to be copied as they are.
struct Field {
  uint32_t number = 0;
  WireType type = kVarint;
  uint64_t varint = 0;    // kVarint, kFixed64, kFixed32
  std::string_view bytes;  // kLength
  std::string_view whole;
};

class Reader {
 public:
  explicit Reader(std::string_view data) : p_(data.data()), end_(data.data() + data.size()) {}

  bool done() const { return p_ >= end_; }

  // Reads the next field; false at the end of the range.
  bool next(Field& f) {
    if (p_ >= end_) return false;
    const char* start = p_;
    const uint64_t tag = varint();
    f.number = static_cast<uint32_t>(tag >> 3);
    if (f.number == 0 || (tag >> 3) > 0x1FFFFFFFu) throw WireError("field number 0 or out of range");
    f.type = static_cast<WireType>(tag & 7u);
    switch (f.type) {
      case kVarint:
        f.varint = varint();
        break;
      case kFixed64:
        f.varint = fixed(8);
        break;
      case kFixed32:
        f.varint = fixed(4);
        break;
      case kLength: {
        const uint64_t n = varint();
        if (n > static_cast<uint64_t>(end_ - p_)) throw WireError("a length runs past the end of the data");
        f.bytes = std::string_view(p_, static_cast<size_t>(n));
        p_ += n;
        break;
      }
      default:
        throw WireError("unsupported wire type " + std::to_string(tag & 7u));
    }
    f.whole = std::string_view(start, static_cast<size_t>(p_ - start));
    return true;
  }

 private:
  uint64_t varint() {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (p_ >= end_) throw WireError("a number runs past the end of the data");
      const auto b = static_cast<uint8_t>(*p_++);
      v |= static_cast<uint64_t>(b & 0x7Fu) << shift;
      if ((b & 0x80u) == 0) return v;
    }
    throw WireError("a number is longer than ten bytes");
  }
  uint64_t fixed(int n) {
    if (end_ - p_ < n) throw WireError("a fixed-size number runs past the end of the data");
    uint64_t v = 0;
    std::memcpy(&v, p_, static_cast<size_t>(n));
    p_ += n;
    return v;
  }

  const char* p_;
  const char* end_;
};

// Packed or single values of a repeated scalar field, appended to `out`.
template <class T>
void read_repeated_varint(const Field& f, std::vector<T>& out) {
  if (f.type == kVarint) {
    out.push_back(static_cast<T>(f.varint));
    return;
  }
  if (f.type != kLength) throw WireError("a repeated number has the wrong wire type");
  const char* p = f.bytes.data();
  const char* end = p + f.bytes.size();
  while (p < end) {
    uint64_t v = 0;
    int shift = 0;
    for (;; shift += 7) {
      if (p >= end || shift >= 64) throw WireError("a packed number runs past its field");
      const auto b = static_cast<uint8_t>(*p++);
      v |= static_cast<uint64_t>(b & 0x7Fu) << shift;
      if ((b & 0x80u) == 0) break;
    }
    out.push_back(static_cast<T>(v));
  }
}

// Fixed-size values (float, double) of a repeated field, packed or single.
template <class T>
void read_repeated_fixed(const Field& f, std::vector<T>& out) {
  if (f.type == (sizeof(T) == 4 ? kFixed32 : kFixed64)) {
    T v;
    std::memcpy(&v, &f.varint, sizeof v);
    out.push_back(v);
    return;
  }
  if (f.type != kLength || f.bytes.size() % sizeof(T) != 0)
    throw WireError("a repeated fixed-size number has the wrong length");
  const size_t n = f.bytes.size() / sizeof(T);
  const size_t at = out.size();
  out.resize(at + n);
  if (n) std::memcpy(out.data() + at, f.bytes.data(), f.bytes.size());
}

inline int64_t as_int64(const Field& f) { return static_cast<int64_t>(f.varint); }

class Writer {
 public:
  std::string& out() { return out_; }

  void varint(uint64_t v) {
    while (v >= 0x80u) {
      out_.push_back(static_cast<char>((v & 0x7Fu) | 0x80u));
      v >>= 7;
    }
    out_.push_back(static_cast<char>(v));
  }
  void tag(uint32_t number, WireType type) { varint((static_cast<uint64_t>(number) << 3) | type); }

  void int_field(uint32_t number, int64_t v) {
    tag(number, kVarint);
    varint(static_cast<uint64_t>(v));
  }
  void float_field(uint32_t number, float v) {
    tag(number, kFixed32);
    char b[4];
    std::memcpy(b, &v, 4);
    out_.append(b, 4);
  }
  void bytes_field(uint32_t number, std::string_view v) {
    tag(number, kLength);
    varint(v.size());
    out_.append(v.data(), v.size());
  }
  // Starts a length-delimited field whose size is known in advance.
  void length_prefix(uint32_t number, uint64_t size) {
    tag(number, kLength);
    varint(size);
  }
  void packed_ints(uint32_t number, const std::vector<int64_t>& v) {
    if (v.empty()) return;
    Writer body;
    for (int64_t x : v) body.varint(static_cast<uint64_t>(x));
    bytes_field(number, body.out_);
  }
  // Repeated scalars written one field each, as proto2 does for fields not marked packed.
  void repeated_ints(uint32_t number, const std::vector<int64_t>& v) {
    for (int64_t x : v) int_field(number, x);
  }
  void repeated_floats(uint32_t number, const std::vector<float>& v) {
    for (float x : v) float_field(number, x);
  }
  void packed_floats(uint32_t number, const std::vector<float>& v) {
    if (v.empty()) return;
    tag(number, kLength);
    varint(v.size() * 4);
    out_.append(reinterpret_cast<const char*>(v.data()), v.size() * 4);
  }
  void raw(std::string_view bytes) { out_.append(bytes.data(), bytes.size()); }

 private:
  std::string out_;
};

inline size_t varint_size(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80u) {
    v >>= 7;
    ++n;
  }
  return n;
}

}  // namespace vexo::graph::wire
