#include "array.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace vexo::dims {

namespace {

// IEEE 754 half precision <-> single precision, round to nearest even.
float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000u) << 16;
  uint32_t exp = (h >> 10) & 0x1Fu;
  uint32_t mant = h & 0x3FFu;
  uint32_t bits;
  if (exp == 0) {
    if (mant == 0) {
      bits = sign;
    } else {  // subnormal: normalise
      exp = 127 - 15 + 1;
      while ((mant & 0x400u) == 0) {
        mant <<= 1;
        --exp;
      }
      mant &= 0x3FFu;
      bits = sign | (exp << 23) | (mant << 13);
    }
  } else if (exp == 0x1F) {
    bits = sign | 0x7F800000u | (mant << 13);
  } else {
    bits = sign | ((exp + 127 - 15) << 23) | (mant << 13);
  }
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

uint16_t float_to_half(float f) {
  uint32_t x;
  std::memcpy(&x, &f, sizeof x);
  const uint16_t sign = static_cast<uint16_t>((x >> 16) & 0x8000u);
  const uint32_t absx = x & 0x7FFFFFFFu;
  if (absx >= 0x7F800000u) {  // inf or nan
    return static_cast<uint16_t>(sign | 0x7C00u | (absx > 0x7F800000u ? 0x200u : 0u));
  }
  if (absx >= 0x477FF000u) return static_cast<uint16_t>(sign | 0x7C00u);  // overflow
  if (absx < 0x38800000u) {  // subnormal or zero in half
    if (absx < 0x33000000u) return sign;
    const uint32_t e = absx >> 23;
    const uint32_t m = (absx & 0x7FFFFFu) | 0x800000u;
    const uint32_t shift = 126 - e;
    uint32_t hm = m >> (shift);
    const uint32_t rem = m & ((1u << shift) - 1);
    const uint32_t half = 1u << (shift - 1);
    if (rem > half || (rem == half && (hm & 1u))) ++hm;
    return static_cast<uint16_t>(sign | hm);
  }
  uint32_t h = ((absx >> 13) - ((127 - 15) << 10));
  const uint32_t rem = absx & 0x1FFFu;
  if (rem > 0x1000u || (rem == 0x1000u && (h & 1u))) ++h;
  return static_cast<uint16_t>(sign | h);
}

template <typename T>
T load(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
void store(uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

Ints strides_of(const Shape& shape) {
  Ints s(shape.size(), 1);
  for (int64_t i = static_cast<int64_t>(shape.size()) - 2; i >= 0; --i) s[i] = s[i + 1] * shape[i + 1];
  return s;
}

}  // namespace

size_t dtype_size(DType t) {
  switch (t) {
    case DType::Bool:
    case DType::Int8:
    case DType::UInt8: return 1;
    case DType::Int16:
    case DType::UInt16:
    case DType::Float16: return 2;
    case DType::Int32:
    case DType::UInt32:
    case DType::Float32: return 4;
    case DType::Int64:
    case DType::UInt64:
    case DType::Float64: return 8;
  }
  return 1;
}

bool dtype_is_floating(DType t) {
  return t == DType::Float16 || t == DType::Float32 || t == DType::Float64;
}

bool dtype_is_integer(DType t) { return !dtype_is_floating(t) && t != DType::Bool; }

const char* dtype_name(DType t) {
  switch (t) {
    case DType::Bool: return "bool";
    case DType::Int8: return "int8";
    case DType::UInt8: return "uint8";
    case DType::Int16: return "int16";
    case DType::UInt16: return "uint16";
    case DType::Int32: return "int32";
    case DType::UInt32: return "uint32";
    case DType::Int64: return "int64";
    case DType::UInt64: return "uint64";
    case DType::Float16: return "float16";
    case DType::Float32: return "float32";
    case DType::Float64: return "float64";
  }
  return "?";
}

DType dtype_from_name(const std::string& name) {
  static const DType all[] = {DType::Bool,   DType::Int8,   DType::UInt8,   DType::Int16,
                              DType::UInt16, DType::Int32,  DType::UInt32,  DType::Int64,
                              DType::UInt64, DType::Float16, DType::Float32, DType::Float64};
  for (DType t : all)
    if (name == dtype_name(t)) return t;
  throw ArrayError("unsupported element type '" + name + "'");
}

int64_t checked_mul(int64_t a, int64_t b) {
  int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) throw ArrayError("product of extents overflows 64 bits");
  return r;
}

int64_t checked_prod(const Ints& values) {
  int64_t n = 1;
  for (int64_t v : values) n = checked_mul(n, v);
  return n;
}

int64_t shape_size(const Shape& shape) {
  for (int64_t d : shape)
    if (d < 0) throw ArrayError("negative dimension in shape");
  return checked_prod(shape);
}

int64_t normalize_axis(int64_t axis, int64_t rank) {
  const int64_t a = axis < 0 ? axis + rank : axis;
  if (a < 0 || a >= rank)
    throw ArrayError("axis " + std::to_string(axis) + " is out of range for rank " + std::to_string(rank));
  return a;
}

void check_array_bytes(int64_t count, size_t item_size) {
  if (count < 0) throw ArrayError("negative element count " + std::to_string(count));
  if (count > kMaxArrayBytes / static_cast<int64_t>(item_size))
    throw ArrayError("a constant of " + std::to_string(count) + " elements of " + std::to_string(item_size) +
                     " bytes is larger than the 2 GiB a tensor may hold");
}

Array::Array(DType dtype, Shape shape) : dtype_(dtype), shape_(std::move(shape)) {
  const int64_t count = shape_size(shape_);
  check_array_bytes(count, dtype_size(dtype));
  bytes_.assign(static_cast<size_t>(count) * dtype_size(dtype), 0);
}

Array Array::from_ints(const Ints& values, DType dtype) {
  Array a(dtype, Shape{static_cast<int64_t>(values.size())});
  for (size_t i = 0; i < values.size(); ++i) a.set_int(static_cast<int64_t>(i), values[i]);
  return a;
}

Array Array::from_doubles(const std::vector<double>& values, DType dtype) {
  Array a(dtype, Shape{static_cast<int64_t>(values.size())});
  for (size_t i = 0; i < values.size(); ++i) a.set_double(static_cast<int64_t>(i), values[i]);
  return a;
}

Array Array::full(DType dtype, Shape shape, double value) {
  Array a(dtype, std::move(shape));
  for (int64_t i = 0; i < a.size(); ++i) a.set_double(i, value);
  return a;
}

Array Array::from_bytes(DType dtype, Shape shape, std::vector<uint8_t> bytes) {
  if (static_cast<int64_t>(bytes.size()) != shape_size(shape) * static_cast<int64_t>(dtype_size(dtype)))
    throw ArrayError("byte count does not match shape and element type");
  Array a;
  a.dtype_ = dtype;
  a.shape_ = std::move(shape);
  a.bytes_ = std::move(bytes);
  return a;
}

double Array::get_double(int64_t flat) const {
  const uint8_t* p = bytes_.data() + static_cast<size_t>(flat) * dtype_size(dtype_);
  switch (dtype_) {
    case DType::Bool: return load<uint8_t>(p) ? 1.0 : 0.0;
    case DType::Int8: return load<int8_t>(p);
    case DType::UInt8: return load<uint8_t>(p);
    case DType::Int16: return load<int16_t>(p);
    case DType::UInt16: return load<uint16_t>(p);
    case DType::Int32: return load<int32_t>(p);
    case DType::UInt32: return load<uint32_t>(p);
    case DType::Int64: return static_cast<double>(load<int64_t>(p));
    case DType::UInt64: return static_cast<double>(load<uint64_t>(p));
    case DType::Float16: return half_to_float(load<uint16_t>(p));
    case DType::Float32: return load<float>(p);
    case DType::Float64: return load<double>(p);
  }
  return 0.0;
}

int64_t Array::get_int(int64_t flat) const {
  const uint8_t* p = bytes_.data() + static_cast<size_t>(flat) * dtype_size(dtype_);
  switch (dtype_) {
    case DType::Int64: return load<int64_t>(p);
    case DType::UInt64: return static_cast<int64_t>(load<uint64_t>(p));
    case DType::Float16:
    case DType::Float32:
    case DType::Float64: {
      const double d = get_double(flat);
      if (!std::isfinite(d)) throw ArrayError("non-finite value where an integer is needed");
      return static_cast<int64_t>(d);
    }
    default: return static_cast<int64_t>(get_double(flat));
  }
}

void Array::set_double(int64_t flat, double v) {
  uint8_t* p = bytes_.data() + static_cast<size_t>(flat) * dtype_size(dtype_);
  switch (dtype_) {
    case DType::Bool: store<uint8_t>(p, v != 0.0); break;
    case DType::Int8: store<int8_t>(p, static_cast<int8_t>(v)); break;
    case DType::UInt8: store<uint8_t>(p, static_cast<uint8_t>(v)); break;
    case DType::Int16: store<int16_t>(p, static_cast<int16_t>(v)); break;
    case DType::UInt16: store<uint16_t>(p, static_cast<uint16_t>(v)); break;
    case DType::Int32: store<int32_t>(p, static_cast<int32_t>(v)); break;
    case DType::UInt32: store<uint32_t>(p, static_cast<uint32_t>(v)); break;
    case DType::Int64: store<int64_t>(p, static_cast<int64_t>(v)); break;
    case DType::UInt64: store<uint64_t>(p, static_cast<uint64_t>(v)); break;
    case DType::Float16: store<uint16_t>(p, float_to_half(static_cast<float>(v))); break;
    case DType::Float32: store<float>(p, static_cast<float>(v)); break;
    case DType::Float64: store<double>(p, v); break;
  }
}

void Array::set_int(int64_t flat, int64_t v) {
  uint8_t* p = bytes_.data() + static_cast<size_t>(flat) * dtype_size(dtype_);
  switch (dtype_) {
    case DType::Int64: store<int64_t>(p, v); break;
    case DType::UInt64: store<uint64_t>(p, static_cast<uint64_t>(v)); break;
    case DType::Int32: store<int32_t>(p, static_cast<int32_t>(v)); break;
    default: set_double(flat, static_cast<double>(v)); break;
  }
}

Ints Array::to_ints() const {
  Ints out(static_cast<size_t>(size()));
  for (int64_t i = 0; i < size(); ++i) out[static_cast<size_t>(i)] = get_int(i);
  return out;
}

std::vector<double> Array::to_doubles() const {
  std::vector<double> out(static_cast<size_t>(size()));
  for (int64_t i = 0; i < size(); ++i) out[static_cast<size_t>(i)] = get_double(i);
  return out;
}

Array Array::astype(DType t) const {
  if (t == dtype_) return *this;
  Array out(t, shape_);
  const bool exact_int = dtype_is_integer(dtype_) && dtype_is_integer(t);
  for (int64_t i = 0; i < size(); ++i) {
    if (exact_int)
      out.set_int(i, get_int(i));
    else
      out.set_double(i, get_double(i));
  }
  return out;
}

Array Array::reshape(const Shape& shape) const {
  if (shape_size(shape) != size())
    throw ArrayError("cannot reshape an array of " + std::to_string(size()) + " elements to the given shape");
  Array out = *this;
  out.shape_ = shape;
  return out;
}

Array Array::flatten() const { return reshape(Shape{size()}); }

Array Array::transpose(const Ints& perm) const {
  const size_t r = shape_.size();
  if (perm.size() != r) throw ArrayError("axes don't match array");
  std::vector<bool> seen(r, false);
  Shape out_shape(r);
  for (size_t i = 0; i < r; ++i) {
    const int64_t p = normalize_axis(perm[i], static_cast<int64_t>(r));
    if (seen[static_cast<size_t>(p)]) throw ArrayError("repeated axis in transpose");
    seen[static_cast<size_t>(p)] = true;
    out_shape[i] = shape_[static_cast<size_t>(p)];
  }
  Array out(dtype_, out_shape);
  const Ints in_strides = strides_of(shape_);
  const size_t es = dtype_size(dtype_);
  Ints idx(r, 0);
  for (int64_t flat = 0; flat < out.size(); ++flat) {
    int64_t src = 0;
    for (size_t i = 0; i < r; ++i) src += idx[i] * in_strides[static_cast<size_t>(normalize_axis(perm[i], static_cast<int64_t>(r)))];
    std::memcpy(out.bytes_.data() + static_cast<size_t>(flat) * es, bytes_.data() + static_cast<size_t>(src) * es, es);
    for (int64_t i = static_cast<int64_t>(r) - 1; i >= 0; --i) {
      if (++idx[static_cast<size_t>(i)] < out_shape[static_cast<size_t>(i)]) break;
      idx[static_cast<size_t>(i)] = 0;
    }
  }
  return out;
}

namespace {

// Copies, for every outer index, the inner blocks [begin, end) of `axis`.
Array take_range(const Array& a, int64_t axis, int64_t begin, int64_t end, const std::vector<int64_t>* skip) {
  const Shape& s = a.shape();
  int64_t outer = 1, inner = 1;
  for (int64_t i = 0; i < axis; ++i) outer *= s[static_cast<size_t>(i)];
  for (size_t i = static_cast<size_t>(axis) + 1; i < s.size(); ++i) inner *= s[i];
  const int64_t n = s[static_cast<size_t>(axis)];
  std::vector<int64_t> keep;
  for (int64_t j = begin; j < end; ++j)
    if (!skip || std::find(skip->begin(), skip->end(), j) == skip->end()) keep.push_back(j);
  Shape os = s;
  os[static_cast<size_t>(axis)] = static_cast<int64_t>(keep.size());
  const size_t es = dtype_size(a.dtype());
  std::vector<uint8_t> out(static_cast<size_t>(shape_size(os)) * es);
  size_t w = 0;
  const uint8_t* src = a.bytes().data();
  for (int64_t o = 0; o < outer; ++o)
    for (int64_t j : keep) {
      const size_t off = static_cast<size_t>((o * n + j) * inner) * es;
      std::memcpy(out.data() + w, src + off, static_cast<size_t>(inner) * es);
      w += static_cast<size_t>(inner) * es;
    }
  return Array::from_bytes(a.dtype(), os, std::move(out));
}

}  // namespace

Array Array::slice_first(int64_t axis) const {
  const int64_t a = normalize_axis(axis, static_cast<int64_t>(ndim()));
  if (shape_[static_cast<size_t>(a)] < 1) throw ArrayError("cannot take index 0 of an empty axis");
  return take_range(*this, a, 0, 1, nullptr);
}

Array Array::delete_index(int64_t index, int64_t axis) const {
  const int64_t a = normalize_axis(axis, static_cast<int64_t>(ndim()));
  const int64_t n = shape_[static_cast<size_t>(a)];
  const int64_t i = index < 0 ? index + n : index;
  if (i < 0 || i >= n)
    throw ArrayError("index " + std::to_string(index) + " is out of bounds for axis " + std::to_string(axis) +
                     " with size " + std::to_string(n));
  const std::vector<int64_t> skip{i};
  return take_range(*this, a, 0, n, &skip);
}

Array Array::squeeze_axis(int64_t axis) const {
  const int64_t a = normalize_axis(axis, static_cast<int64_t>(ndim()));
  if (shape_[static_cast<size_t>(a)] != 1)
    throw ArrayError("cannot select an axis to squeeze out which has size not equal to one");
  Shape s = shape_;
  s.erase(s.begin() + a);
  return reshape(s);
}

Array Array::expand_dims(int64_t axis) const {
  const int64_t a = normalize_axis(axis, static_cast<int64_t>(ndim()) + 1);
  Shape s = shape_;
  s.insert(s.begin() + a, 1);
  return reshape(s);
}

Array Array::concatenate(const std::vector<Array>& parts, int64_t axis) {
  if (parts.empty()) throw ArrayError("need at least one array to concatenate");
  const Array& first = parts.front();
  const int64_t r = static_cast<int64_t>(first.ndim());
  const int64_t a = normalize_axis(axis, r);
  Shape os = first.shape();
  os[static_cast<size_t>(a)] = 0;
  for (const Array& p : parts) {
    if (p.dtype() != first.dtype()) throw ArrayError("concatenate needs arrays of one element type");
    if (static_cast<int64_t>(p.ndim()) != r) throw ArrayError("concatenate needs arrays of one rank");
    for (int64_t i = 0; i < r; ++i)
      if (i != a && p.shape()[static_cast<size_t>(i)] != first.shape()[static_cast<size_t>(i)])
        throw ArrayError("concatenate: shapes differ outside the concatenation axis");
    os[static_cast<size_t>(a)] += p.shape()[static_cast<size_t>(a)];
  }
  int64_t outer = 1, inner = 1;
  for (int64_t i = 0; i < a; ++i) outer *= os[static_cast<size_t>(i)];
  for (int64_t i = a + 1; i < r; ++i) inner *= os[static_cast<size_t>(i)];
  const size_t es = dtype_size(first.dtype());
  std::vector<uint8_t> out(static_cast<size_t>(shape_size(os)) * es);
  size_t w = 0;
  for (int64_t o = 0; o < outer; ++o)
    for (const Array& p : parts) {
      const size_t block = static_cast<size_t>(p.shape()[static_cast<size_t>(a)] * inner) * es;
      std::memcpy(out.data() + w, p.bytes().data() + static_cast<size_t>(o) * block, block);
      w += block;
    }
  return from_bytes(first.dtype(), os, std::move(out));
}

bool Array::broadcast_equal(const Array& other) const {
  const size_t r = std::max(ndim(), other.ndim());
  Shape a(r, 1), b(r, 1), o(r, 1);
  std::copy(shape_.begin(), shape_.end(), a.begin() + static_cast<int64_t>(r - ndim()));
  std::copy(other.shape_.begin(), other.shape_.end(), b.begin() + static_cast<int64_t>(r - other.ndim()));
  for (size_t i = 0; i < r; ++i) {
    if (a[i] != b[i] && a[i] != 1 && b[i] != 1) throw ArrayError("operands could not be broadcast together");
    o[i] = a[i] == 1 ? b[i] : a[i];
  }
  const Ints sa = strides_of(a), sb = strides_of(b);
  Ints idx(r, 0);
  const int64_t n = shape_size(o);
  for (int64_t flat = 0; flat < n; ++flat) {
    int64_t ia = 0, ib = 0;
    for (size_t i = 0; i < r; ++i) {
      if (a[i] != 1) ia += idx[i] * sa[i];
      if (b[i] != 1) ib += idx[i] * sb[i];
    }
    if (get_double(ia) != other.get_double(ib)) return false;
    for (int64_t i = static_cast<int64_t>(r) - 1; i >= 0; --i) {
      if (++idx[static_cast<size_t>(i)] < o[static_cast<size_t>(i)]) break;
      idx[static_cast<size_t>(i)] = 0;
    }
  }
  return true;
}

bool Array::same_as(const Array& other) const {
  return dtype_ == other.dtype_ && shape_ == other.shape_ && bytes_ == other.bytes_;
}

double Array::min_value() const {
  if (size() == 0) throw ArrayError("zero-size array has no minimum");
  double m = get_double(0);
  for (int64_t i = 1; i < size(); ++i) m = std::min(m, get_double(i));
  return m;
}

double Array::max_value() const {
  if (size() == 0) throw ArrayError("zero-size array has no maximum");
  double m = get_double(0);
  for (int64_t i = 1; i < size(); ++i) m = std::max(m, get_double(i));
  return m;
}

}  // namespace vexo::dims
