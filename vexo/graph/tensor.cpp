#include "tensor.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>
#include <unordered_set>

#include "wire.hpp"

namespace vexo::graph {

namespace {

// TensorProto field numbers.
enum : uint32_t {
  kDims = 1, kDataType = 2, kSegment = 3, kFloatData = 4, kInt32Data = 5, kStringData = 6, kInt64Data = 7,
  kName = 8, kRawData = 9, kDoubleData = 10, kUInt64Data = 11, kExternalData = 13, kDataLocation = 14
};

template <class T>
T load(const char* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

double half_to_double(uint16_t h) {
  const int sign = (h >> 15) & 1;
  const int exp = (h >> 10) & 0x1F;
  const int mant = h & 0x3FF;
  double v;
  if (exp == 0) {
    v = std::ldexp(mant, -24);
  } else if (exp == 0x1F) {
    v = mant ? std::numeric_limits<double>::quiet_NaN() : std::numeric_limits<double>::infinity();
  } else {
    v = std::ldexp(mant + 1024, exp - 25);
  }
  return sign ? -v : v;
}

std::string dims_text(const Shape& dims) {
  std::string s = "[";
  for (size_t i = 0; i < dims.size(); ++i) s += (i ? ", " : "") + std::to_string(dims[i]);
  return s + "]";
}

// Typed data fields converted to little-endian bytes of `elem`.
struct Typed {
  std::vector<float> floats;
  std::vector<int64_t> int32s;  // int32_data (varints)
  std::vector<int64_t> int64s;
  std::vector<uint64_t> uint64s;
  std::vector<double> doubles;
  size_t strings = 0;
  bool any = false;
};

std::string bytes_of(int32_t elem, const Typed& t, int64_t count, const Shape& dims) {
  const size_t size = elem_size(elem);
  std::string out;
  auto need = [&](size_t have, size_t per) {
    if (have != static_cast<size_t>(count) * per)
      throw TensorError("its data holds " + std::to_string(have / per) + " values but its shape " + dims_text(dims) +
                        " needs " + std::to_string(count));
  };
  auto put = [&](auto v) { out.append(reinterpret_cast<const char*>(&v), sizeof v); };
  switch (elem) {
    case kFloat:
      need(t.floats.size(), 1);
      for (float v : t.floats) put(v);
      break;
    case kComplex64:
      need(t.floats.size(), 2);
      for (float v : t.floats) put(v);
      break;
    case kDouble:
      need(t.doubles.size(), 1);
      for (double v : t.doubles) put(v);
      break;
    case kComplex128:
      need(t.doubles.size(), 2);
      for (double v : t.doubles) put(v);
      break;
    case kInt64:
      need(t.int64s.size(), 1);
      for (int64_t v : t.int64s) put(v);
      break;
    case kUInt32:
      need(t.uint64s.size(), 1);
      for (uint64_t v : t.uint64s) put(static_cast<uint32_t>(v));
      break;
    case kUInt64:
      need(t.uint64s.size(), 1);
      for (uint64_t v : t.uint64s) put(v);
      break;
    default:  // int32_data holds every narrower type, one value per element
      need(t.int32s.size(), 1);
      for (int64_t v : t.int32s) out.append(reinterpret_cast<const char*>(&v), size);
  }
  return out;
}

}  // namespace

size_t elem_size(int32_t elem) {
  switch (elem) {
    case kFloat: case kInt32: case kUInt32: return 4;
    case kUInt8: case kInt8: case kBool: case kFloat8E4M3FN: case kFloat8E4M3FNUZ: case kFloat8E5M2:
    case kFloat8E5M2FNUZ: return 1;
    case kUInt16: case kInt16: case kFloat16: case kBFloat16: return 2;
    case kInt64: case kDouble: case kUInt64: case kComplex64: return 8;
    case kComplex128: return 16;
    default: return 0;
  }
}

bool elem_is_integer(int32_t e) {
  return e == kUInt8 || e == kInt8 || e == kUInt16 || e == kInt16 || e == kInt32 || e == kInt64 || e == kUInt32 ||
         e == kUInt64;
}

bool elem_is_floating(int32_t e) {
  return e == kFloat || e == kDouble || e == kFloat16 || e == kBFloat16 ||
         (e >= kFloat8E4M3FN && e <= kFloat8E5M2FNUZ);
}

const char* known_elem_name(int32_t e) {
  switch (e) {
    case kFloat: return "float32";
    case kUInt8: return "uint8";
    case kInt8: return "int8";
    case kUInt16: return "uint16";
    case kInt16: return "int16";
    case kInt32: return "int32";
    case kInt64: return "int64";
    case kString: return "string";
    case kBool: return "bool";
    case kFloat16: return "float16";
    case kDouble: return "float64";
    case kUInt32: return "uint32";
    case kUInt64: return "uint64";
    case kComplex64: return "complex64";
    case kComplex128: return "complex128";
    case kBFloat16: return "bfloat16";
    default: return nullptr;
  }
}

const char* elem_name(int32_t e) {
  const char* name = known_elem_name(e);
  return name ? name : "an element type of its own";
}

int64_t element_count(const Shape& dims) {
  int64_t n = 1;
  for (int64_t d : dims) {
    if (d < 0) throw TensorError("shape " + dims_text(dims) + " has a negative extent");
    if (d != 0 && n > std::numeric_limits<int64_t>::max() / d)
      throw TensorError("shape " + dims_text(dims) + " has too many elements");
    n *= d;
  }
  return n;
}

namespace {

// `h` with `v` folded in (the hashes of a constant's value and of a shape).
size_t mix(size_t h, size_t v) { return h ^ (v + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2)); }

// `start` with the rank and extents of `dims` folded in.
size_t mix_dims(size_t start, const Shape& dims) {
  size_t key = mix(start, dims.size());
  for (int64_t d : dims) key = mix(key, std::hash<int64_t>()(d));
  return key;
}

struct ShapeHash {
  size_t operator()(const Shape& s) const { return mix_dims(0, s); }
};

// Only touched from the thread that holds the interpreter's lock, as the name
// pool; shapes are never freed (a model has a few hundred distinct ones).
const Shape* intern_shape(const Shape& shape) {
  static auto* pool = new std::unordered_set<Shape, ShapeHash>();
  return &*pool->insert(shape).first;
}

}  // namespace

size_t value_digest(int32_t elem, const Shape& dims, std::string_view bytes) {
  return mix(mix_dims(std::hash<int32_t>()(elem), dims), std::hash<std::string_view>()(bytes));
}

InternedShape::InternedShape(const Shape& shape) : shape_(intern_shape(shape)) {}

InternedShape::InternedShape(const std::optional<Shape>& shape) : shape_(shape ? intern_shape(*shape) : nullptr) {}

Constant::Constant(const Constant& o)
    : elem(o.elem), dims(o.dims), extras(o.extras), proto(o.proto), data_(o.data_), size_(o.size_),
      owner_(o.owner_), own_(o.own_) {
  if (!own_.empty()) data_ = own_.data();
}

namespace {

// Small constants are made again and again with one value (a Reshape's target
// shape, an axis, a scalar: a rewrite of 10^5 nodes makes as many): constants
// are immutable, so equal small ones share one Constant.  The table keeps at
// most kShared of them and starts again when full; it is only touched from
// the thread that holds the interpreter's lock.
class SmallConstants {
 public:
  static constexpr size_t kBytes = 64;  // larger constants are not shared

  ConstPtr find(int32_t elem, const Shape& dims, std::string_view bytes, size_t hash) const {
    auto [first, last] = table_.equal_range(hash);
    for (auto it = first; it != last; ++it) {
      const Constant& c = *it->second;
      if (c.elem == elem && c.dims == dims && c.bytes() == bytes) return it->second;
    }
    return nullptr;
  }
  void add(size_t hash, ConstPtr c) {
    if (table_.size() >= kShared) table_.clear();
    table_.emplace(hash, std::move(c));
  }
 private:
  static constexpr size_t kShared = 4096;
  std::unordered_multimap<size_t, ConstPtr> table_;
};

SmallConstants& small_constants() {
  static auto* table = new SmallConstants();
  return *table;
}

}  // namespace

ConstPtr Constant::owned(int32_t elem, Shape dims, std::string bytes) {
  const bool small = bytes.size() <= SmallConstants::kBytes;
  size_t hash = 0;
  if (small) {
    hash = value_digest(elem, dims, bytes);
    if (ConstPtr same = small_constants().find(elem, dims, bytes, hash)) return same;
  }
  auto c = std::make_shared<Constant>();
  c->elem = elem;
  c->dims = std::move(dims);
  c->own_ = std::move(bytes);
  c->data_ = c->own_.data();
  c->size_ = c->own_.size();
  if (small) small_constants().add(hash, c);
  return c;
}

ConstPtr Constant::shared(int32_t elem, Shape dims, std::string_view bytes, std::shared_ptr<const void> owner) {
  auto c = std::make_shared<Constant>();
  c->elem = elem;
  c->dims = std::move(dims);
  c->owner_ = std::move(owner);
  c->data_ = bytes.data();
  c->size_ = bytes.size();
  return c;
}

ConstPtr Constant::reshaped(const Shape& dims) const {
  if (element_count(dims) != count())
    throw TensorError("cannot reshape " + std::to_string(count()) + " elements to " + dims_text(dims));
  auto c = std::make_shared<Constant>(*this);
  c->dims = dims;
  return c;
}

int64_t Constant::get_int(int64_t flat) const {
  const char* p = data_ + static_cast<size_t>(flat) * elem_size(elem);
  switch (elem) {
    case kInt64: return load<int64_t>(p);
    case kInt32: return load<int32_t>(p);
    case kInt16: return load<int16_t>(p);
    case kInt8: return load<int8_t>(p);
    case kUInt8: return load<uint8_t>(p);
    case kUInt16: return load<uint16_t>(p);
    case kUInt32: return load<uint32_t>(p);
    case kUInt64: return static_cast<int64_t>(load<uint64_t>(p));
    case kBool: return load<uint8_t>(p) != 0;
    default: return static_cast<int64_t>(get_double(flat));
  }
}

double Constant::get_double(int64_t flat) const {
  const char* p = data_ + static_cast<size_t>(flat) * elem_size(elem);
  switch (elem) {
    case kFloat: return load<float>(p);
    case kDouble: return load<double>(p);
    case kFloat16: return half_to_double(load<uint16_t>(p));
    case kUInt64: return static_cast<double>(load<uint64_t>(p));
    default:
      if (elem_is_integer(elem) || elem == kBool) return static_cast<double>(get_int(flat));
      throw TensorError(std::string("a constant of ") + elem_name(elem) + " is not read as numbers");
  }
}

std::vector<int64_t> Constant::to_ints() const {
  if (!has_bytes() || elem_size(elem) == 0 || elem == kComplex64 || elem == kComplex128 || elem == kBFloat16 ||
      (elem >= kFloat8E4M3FN && elem <= kFloat8E5M2FNUZ))
    throw TensorError(std::string("a constant of ") + elem_name(elem) + " is not read as numbers");
  const int64_t n = count();
  std::vector<int64_t> out(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) out[static_cast<size_t>(i)] = get_int(i);
  return out;
}

// ---------------------------------------------------------------- reading

ConstPtr read_tensor(std::string_view bytes, const std::shared_ptr<const void>& owner, std::string* name) {
  wire::Reader r(bytes);
  wire::Field f;
  Shape dims;
  int32_t elem = kUndefined;
  std::string_view raw;
  bool has_raw = false, external = false, unusual = false;
  Typed typed;
  std::string extras;
  while (r.next(f)) {
    switch (f.number) {
      case kDims: wire::read_repeated_varint(f, dims); break;
      case kDataType: elem = static_cast<int32_t>(f.varint); break;
      case kName: if (name) *name = std::string(f.bytes); break;
      case kRawData: raw = f.bytes; has_raw = true; break;
      case kFloatData: wire::read_repeated_fixed(f, typed.floats); typed.any = true; break;
      case kDoubleData: wire::read_repeated_fixed(f, typed.doubles); typed.any = true; break;
      case kInt32Data: wire::read_repeated_varint(f, typed.int32s); typed.any = true; break;
      case kInt64Data: wire::read_repeated_varint(f, typed.int64s); typed.any = true; break;
      case kUInt64Data: wire::read_repeated_varint(f, typed.uint64s); typed.any = true; break;
      case kStringData: ++typed.strings; typed.any = true; break;
      case kDataLocation: external = f.varint == 1; break;
      case kExternalData: external = true; break;
      case kSegment: unusual = true; break;
      default: extras.append(f.whole); break;
    }
  }
  if (external) throw ExternalData("its data is kept in an external file");
  const int64_t count = element_count(dims);
  const size_t size = elem_size(elem);
  ConstPtr c;
  if (size == 0 || unusual) {  // strings, 4-bit types: kept as read
    if (elem == kUndefined) throw TensorError("it has no element type");
    if (elem == kString && typed.strings != static_cast<size_t>(count) && !has_raw)
      throw TensorError("its data holds " + std::to_string(typed.strings) + " strings but its shape " +
                        dims_text(dims) + " needs " + std::to_string(count));
    auto k = std::make_shared<Constant>();
    k->elem = elem;
    k->dims = dims;
    k->proto = std::string(bytes);
    return k;
  }
  if (has_raw) {
    if (raw.size() != static_cast<size_t>(count) * size)
      throw TensorError("its raw data has " + std::to_string(raw.size()) + " bytes but its shape " +
                        dims_text(dims) + " of " + elem_name(elem) + " needs " + std::to_string(count * size));
    c = Constant::shared(elem, dims, raw, owner);
  } else {
    c = Constant::owned(elem, dims, bytes_of(elem, typed, count, dims));
  }
  if (!extras.empty()) {
    auto k = std::make_shared<Constant>(*c);
    k->extras = std::move(extras);
    return k;
  }
  return c;
}

// ---------------------------------------------------------------- writing

std::string tensor_head(const Constant& c, const std::string& name) {
  wire::Writer w;
  if (!c.has_bytes()) {  // as read, under this name
    wire::Reader r(c.proto.get());
    wire::Field f;
    while (r.next(f))
      if (f.number != kName) w.raw(f.whole);
    if (!name.empty()) w.bytes_field(kName, name);
    return std::move(w.out());
  }
  w.repeated_ints(kDims, c.dims);
  w.int_field(kDataType, c.elem);
  if (!name.empty()) w.bytes_field(kName, name);
  w.raw(c.extras.get());
  w.length_prefix(kRawData, c.bytes().size());
  return std::move(w.out());
}

std::string_view tensor_data(const Constant& c) { return c.has_bytes() ? c.bytes() : std::string_view(); }

}  // namespace vexo::graph
