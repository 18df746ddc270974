// Element types and constant tensors of the native graph.
//
// Element types are ONNX's TensorProto data type numbers.  A constant holds
// its element type, its shape and its little-endian, C-ordered bytes; the
// bytes may live in a buffer shared with other constants (the model as it was
// read), so loading a model copies no weights.  Constants are immutable once
// made: a rewrite makes a new one.  Element types without a byte layout here
// (strings, 4-bit types) keep the tensor as it was read and are written back
// unchanged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "rare.hpp"

namespace vexo::graph {

using Shape = std::vector<int64_t>;

// A tensor's shape, or none when unknown, interned: equal shapes are one
// immutable vector in a process-wide pool (a model has few distinct shapes),
// so a graph of 10^5 tensors holds a pointer each instead of a vector, and
// two shapes compare as pointers.  Reads like a std::optional<Shape>.
class InternedShape {
 public:
  InternedShape() = default;
  InternedShape(std::nullopt_t) {}                    // NOLINT: unknown, as an optional
  InternedShape(const Shape& shape);                  // NOLINT: interns
  InternedShape(const std::optional<Shape>& shape);   // NOLINT: interns a known shape

  explicit operator bool() const { return shape_ != nullptr; }
  const Shape& operator*() const { return *shape_; }
  const Shape* operator->() const { return shape_; }
  const Shape* get() const { return shape_; }
  operator std::optional<Shape>() const {  // NOLINT: a copy, where an optional is wanted
    return shape_ ? std::optional<Shape>(*shape_) : std::nullopt;
  }
  void reset() { shape_ = nullptr; }
  bool operator==(const InternedShape& o) const { return shape_ == o.shape_; }
  bool operator!=(const InternedShape& o) const { return shape_ != o.shape_; }

 private:
  const Shape* shape_ = nullptr;
};

enum Elem : int32_t {
  kUndefined = 0, kFloat = 1, kUInt8 = 2, kInt8 = 3, kUInt16 = 4, kInt16 = 5, kInt32 = 6, kInt64 = 7,
  kString = 8, kBool = 9, kFloat16 = 10, kDouble = 11, kUInt32 = 12, kUInt64 = 13, kComplex64 = 14,
  kComplex128 = 15, kBFloat16 = 16, kFloat8E4M3FN = 17, kFloat8E4M3FNUZ = 18, kFloat8E5M2 = 19,
  kFloat8E5M2FNUZ = 20
};

// Bytes per element, 0 for types without a byte layout here.
size_t elem_size(int32_t elem);
bool elem_is_integer(int32_t elem);  // signed and unsigned integers (not bool)
bool elem_is_floating(int32_t elem);
const char* known_elem_name(int32_t elem);  // "float32", "int64", ... (nullptr when unknown)
const char* elem_name(int32_t elem);        // the same, "an element type of its own" when unknown

// A malformed tensor or shape: the message says what is wrong.
struct TensorError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

int64_t element_count(const Shape& dims);  // throws TensorError on a negative extent or overflow

// A hash of a constant's element type, shape and bytes (equal constants, equal digests).
size_t value_digest(int32_t elem, const Shape& dims, std::string_view bytes);

class Constant {
 public:
  Constant() = default;
  Constant(const Constant& o);  // a copy of owned bytes is read from the copy
  Constant& operator=(const Constant&) = delete;

  int32_t elem = kUndefined;
  Shape dims;
  // Fields of the TensorProto kept as read (doc_string, metadata_props).
  Rare<std::string> extras;
  // The whole TensorProto as read, for element types without a byte layout.
  Rare<std::string> proto;

  std::string_view bytes() const { return std::string_view(data_, size_); }
  int64_t count() const { return element_count(dims); }
  bool has_bytes() const { return proto.empty(); }

  // A constant owning its bytes.
  static std::shared_ptr<const Constant> owned(int32_t elem, Shape dims, std::string bytes);
  // A constant whose bytes stay in `owner`'s memory.
  static std::shared_ptr<const Constant> shared(int32_t elem, Shape dims, std::string_view bytes,
                                                std::shared_ptr<const void> owner);
  // The same data under another shape (same element count).
  std::shared_ptr<const Constant> reshaped(const Shape& dims) const;


  // Element access by flat index, converted (integer and floating types, bool).
  int64_t get_int(int64_t flat) const;
  double get_double(int64_t flat) const;
  std::vector<int64_t> to_ints() const;  // all elements; throws TensorError for non-numeric types

 private:
  const char* data_ = nullptr;
  size_t size_ = 0;
  std::shared_ptr<const void> owner_;
  std::string own_;
};

using ConstPtr = std::shared_ptr<const Constant>;

// ---------------------------------------------------------------- TensorProto

// Reads a TensorProto; `buffer_owner` keeps raw data alive without a copy.
// `name` receives the tensor's name.  Throws TensorError when the data does
// not fit the element type and shape, and ExternalData for data kept in files.
struct ExternalData : std::runtime_error {
  using std::runtime_error::runtime_error;
};
ConstPtr read_tensor(std::string_view bytes, const std::shared_ptr<const void>& buffer_owner, std::string* name);

// The TensorProto of a constant named `name`, in two parts: everything up to
// the data (the raw_data field's tag and length included), and the data
// itself, which the caller writes from the constant's own memory.
std::string tensor_head(const Constant& c, const std::string& name);
std::string_view tensor_data(const Constant& c);

}  // namespace vexo::graph
