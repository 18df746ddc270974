#include "attr.hpp"

#include <cstring>

#include "wire.hpp"

namespace vexo::graph {

namespace {

// AttributeProto field numbers and attribute types.
enum : uint32_t { kName = 1, kF = 2, kI = 3, kS = 4, kT = 5, kFloats = 7, kInts = 8, kStrings = 9, kType = 20 };
enum : int64_t { kTypeFloat = 1, kTypeInt = 2, kTypeString = 3, kTypeTensor = 4, kTypeFloats = 6, kTypeInts = 7,
                 kTypeStrings = 8 };

// Numbers of two lists compare as Python compares lists of numbers.
template <class A, class B>
bool same_numbers(const std::vector<A>& a, const std::vector<B>& b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (static_cast<double>(a[k]) != static_cast<double>(b[k])) return false;
  return true;
}

bool same_elements(const Constant& a, const Constant& b) {
  if (a.dims != b.dims) return false;
  if (!a.has_bytes() || !b.has_bytes()) return a.proto.get() == b.proto.get();
  const int64_t n = a.count();
  for (int64_t k = 0; k < n; ++k)
    if (a.get_double(k) != b.get_double(k)) return false;
  return true;
}

}  // namespace

AttrValue AttrValue::of_int(int64_t v, bool as_bool) {
  AttrValue a;
  a.kind = Int;
  a.i = v;
  a.is_bool = as_bool;
  return a;
}
AttrValue AttrValue::of_float(double v) {
  AttrValue a;
  a.kind = Float;
  a.f = v;
  return a;
}
AttrValue AttrValue::of_string(std::string v) {
  AttrValue a;
  a.kind = String;
  a.s = std::move(v);
  return a;
}
AttrValue AttrValue::of_ints(std::vector<int64_t> v) {
  AttrValue a;
  a.kind = Ints;
  a.ints = std::move(v);
  return a;
}
AttrValue AttrValue::of_floats(std::vector<double> v) {
  if (v.empty()) return of_ints({});
  AttrValue a;
  a.kind = Floats;
  a.floats = std::move(v);
  return a;
}
AttrValue AttrValue::of_strings(std::vector<std::string> v) {
  AttrValue a;
  a.kind = Strings;
  a.strings = std::move(v);
  return a;
}
AttrValue AttrValue::of_tensor(ConstPtr t) {
  AttrValue a;
  a.kind = Tensor;
  a.tensor = std::move(t);
  return a;
}
AttrValue AttrValue::of_raw(std::string proto) {
  AttrValue a;
  a.kind = Raw;
  a.s = std::move(proto);
  return a;
}

bool AttrValue::same(const AttrValue& o) const {
  if (kind == Tensor || o.kind == Tensor)
    return kind == Tensor && o.kind == Tensor && same_elements(*tensor, *o.tensor);
  if (is_list() && o.is_list()) {
    if (kind == Strings || o.kind == Strings) {  // a list of strings equals a list of numbers only when both are empty
      if (kind == o.kind) return strings == o.strings;
      const size_t a = kind == Strings ? strings.size() : kind == Ints ? ints.size() : floats.size();
      const size_t b = o.kind == Strings ? o.strings.size() : o.kind == Ints ? o.ints.size() : o.floats.size();
      return a == 0 && b == 0;
    }
    if (kind == Ints && o.kind == Ints) return ints == o.ints;
    if (kind == Ints) return same_numbers(ints, o.floats.get());
    if (o.kind == Ints) return same_numbers(floats.get(), o.ints);
    return same_numbers(floats.get(), o.floats.get());
  }
  if (kind != o.kind) return false;
  switch (kind) {
    case None: return true;
    case Int: return is_bool == o.is_bool && i == o.i;
    case Float: return f == o.f;
    case String: return s == o.s;
    case Raw: return s == o.s;
    default: return false;
  }
}

Attr read_attribute(std::string_view bytes, const std::shared_ptr<const void>& owner, const SharedBytes* source) {
  wire::Reader r(bytes);
  wire::Field f;
  Attr a;
  a.raw = source ? source->slice(bytes) : SharedBytes::copy_of(bytes);
  int64_t type = 0;
  bool has_ref = false;
  float fv = 0;
  int64_t iv = 0;
  std::string sv;
  std::string_view tv;
  std::vector<float> floats;
  std::vector<int64_t> ints;
  std::vector<std::string> strings;
  while (r.next(f)) {
    switch (f.number) {
      case kName: a.name = std::string(f.bytes); break;
      case kType: type = wire::as_int64(f); break;
      case kF: {
        const auto bits = static_cast<uint32_t>(f.varint);
        std::memcpy(&fv, &bits, 4);
        break;
      }
      case kI: iv = wire::as_int64(f); break;
      case kS: sv = std::string(f.bytes); break;
      case kT: tv = f.bytes; break;
      case kFloats: wire::read_repeated_fixed(f, floats); break;
      case kInts: wire::read_repeated_varint(f, ints); break;
      case kStrings: strings.emplace_back(f.bytes); break;
      case 21: has_ref = true; break;  // ref_attr_name: an attribute of a function body
      default: break;
    }
  }
  if (has_ref) type = 0;
  switch (type) {
    case kTypeFloat: a.value = AttrValue::of_float(fv); break;
    case kTypeInt: a.value = AttrValue::of_int(iv); break;
    case kTypeString: a.value = AttrValue::of_string(std::move(sv)); break;
    case kTypeTensor: a.value = AttrValue::of_tensor(read_tensor(tv, owner, nullptr)); break;
    case kTypeFloats: {
      AttrValue v;
      v.kind = AttrValue::Floats;
      v.floats = std::vector<double>(floats.begin(), floats.end());
      a.value = std::move(v);
      break;
    }
    case kTypeInts: a.value = AttrValue::of_ints(std::move(ints)); break;
    case kTypeStrings: a.value = AttrValue::of_strings(std::move(strings)); break;
    default: a.value = AttrValue::of_raw(std::string(a.raw.view())); break;
  }
  return a;
}

bool write_attribute(const Attr& a, std::string& out) {
  const AttrValue& v = a.value;
  if (v.kind == AttrValue::None) return false;
  if (!a.raw.empty()) {
    wire::Writer w;
    w.bytes_field(5, a.raw.view());
    out += w.out();
    return true;
  }
  if (v.kind == AttrValue::Raw) {
    wire::Writer w;
    w.bytes_field(5, v.s.get());
    out += w.out();
    return true;
  }
  wire::Writer w;
  w.bytes_field(kName, a.name);
  switch (v.kind) {
    case AttrValue::Int:
      w.int_field(kI, v.i);
      w.int_field(kType, kTypeInt);
      break;
    case AttrValue::Float:
      w.float_field(kF, static_cast<float>(v.f));
      w.int_field(kType, kTypeFloat);
      break;
    case AttrValue::String:
      w.bytes_field(kS, v.s.get());
      w.int_field(kType, kTypeString);
      break;
    case AttrValue::Tensor: {
      const std::string head = tensor_head(*v.tensor, "");
      const std::string_view data = tensor_data(*v.tensor);
      w.length_prefix(kT, head.size() + data.size());
      w.raw(head);
      w.raw(data);
      w.int_field(kType, kTypeTensor);
      break;
    }
    case AttrValue::Ints:
      w.repeated_ints(kInts, v.ints);
      w.int_field(kType, kTypeInts);
      break;
    case AttrValue::Floats: {
      std::vector<float> f(v.floats.begin(), v.floats.end());
      w.repeated_floats(kFloats, f);
      w.int_field(kType, kTypeFloats);
      break;
    }
    case AttrValue::Strings:
      for (const std::string& s : v.strings) w.bytes_field(kStrings, s);
      w.int_field(kType, kTypeStrings);
      break;
    default:
      break;
  }
  wire::Writer outer;
  outer.bytes_field(5, w.out());
  out += outer.out();
  return true;
}

}  // namespace vexo::graph
