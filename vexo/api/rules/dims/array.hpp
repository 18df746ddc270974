// Dense n-dimensional arrays for constant tensors, in plain C++.
//
// Rules read constants (axes, pads, shapes, indices, weights) as numpy arrays
// from the host and write new ones back.  Array holds the same thing without
// Python: an element type, a shape and the C-ordered element bytes, with the
// handful of numpy operations the rules need (reshape, transpose, delete,
// squeeze, concatenate, flatten, slicing one index, comparison).
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vexo::dims {

using Ints = std::vector<int64_t>;
using Shape = std::vector<int64_t>;

// Element types, named as numpy names them.
enum class DType : uint8_t {
  Bool, Int8, UInt8, Int16, UInt16, Int32, UInt32, Int64, UInt64,
  Float16, Float32, Float64
};

size_t dtype_size(DType t);
bool dtype_is_floating(DType t);
bool dtype_is_integer(DType t);
const char* dtype_name(DType t);           // "float32", "int64", ...
DType dtype_from_name(const std::string& name);  // throws std::invalid_argument

struct ArrayError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// Number of elements of a shape (1 for the empty shape of a scalar); throws
// ArrayError for a negative extent or a product beyond 64 bits.
int64_t shape_size(const Shape& shape);

// Products of extents that fail loudly instead of overflowing.
int64_t checked_mul(int64_t a, int64_t b);
int64_t checked_prod(const Ints& values);  // product of all entries, 1 for none

// The largest constant the rules build: 2 GiB, the most one tensor of a
// protobuf ONNX model holds.  Shapes read from a broken model can ask for far
// more; building such a constant throws ArrayError instead of exhausting memory.
constexpr int64_t kMaxArrayBytes = int64_t{1} << 31;
// `count` elements of `item_size` bytes, checked against kMaxArrayBytes.
void check_array_bytes(int64_t count, size_t item_size);

class Array {
 public:
  Array() = default;
  Array(DType dtype, Shape shape);  // zero-filled

  // 1-D arrays of the given values; `shape` reshapes them when given.
  static Array from_ints(const Ints& values, DType dtype = DType::Int64);
  static Array from_doubles(const std::vector<double>& values, DType dtype = DType::Float32);
  static Array full(DType dtype, Shape shape, double value);
  static Array from_bytes(DType dtype, Shape shape, std::vector<uint8_t> bytes);

  DType dtype() const { return dtype_; }
  const Shape& shape() const { return shape_; }
  size_t ndim() const { return shape_.size(); }
  int64_t size() const { return static_cast<int64_t>(bytes_.size() / dtype_size(dtype_)); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

  // Element access by flat (C-order) index, converted.
  double get_double(int64_t flat) const;
  int64_t get_int(int64_t flat) const;
  void set_double(int64_t flat, double v);
  void set_int(int64_t flat, int64_t v);

  // All elements, converted (like ndarray.tolist() flattened).
  Ints to_ints() const;
  std::vector<double> to_doubles() const;

  Array astype(DType t) const;
  Array reshape(const Shape& shape) const;        // same element count; -1 not allowed
  Array flatten() const;
  Array transpose(const Ints& perm) const;        // numpy transpose with axes
  Array slice_first(int64_t axis) const;          // a[..., 0:1, ...] along axis
  Array delete_index(int64_t index, int64_t axis) const;  // np.delete(a, index, axis)
  Array squeeze_axis(int64_t axis) const;         // np.squeeze(a, axis); axis must be 1
  Array expand_dims(int64_t axis) const;
  static Array concatenate(const std::vector<Array>& parts, int64_t axis);

  // Broadcast comparison of `this` with `other` (numpy ==, then all()).
  bool broadcast_equal(const Array& other) const;
  bool same_as(const Array& other) const;  // same dtype, shape and bytes
  double min_value() const;
  double max_value() const;

 private:
  DType dtype_ = DType::Float32;
  Shape shape_;
  std::vector<uint8_t> bytes_;
};

// Normalises a possibly negative axis against `rank`; throws ArrayError when out of range.
int64_t normalize_axis(int64_t axis, int64_t rank);

}  // namespace vexo::dims
