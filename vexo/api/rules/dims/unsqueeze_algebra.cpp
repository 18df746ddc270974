#include "unsqueeze_algebra.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "shape_common.hpp"

using namespace std::string_view_literals;

namespace vexo::dims {

namespace {

enum class Mode { AB1C, _1ABC, AC1B, AbC11, ABc11, _1Abc11, AB11, _1A1B, _11AB, _1A11 };

std::optional<Mode> parse_mode(const std::string& m) {
  static const std::pair<const char*, Mode> modes[] = {
      {"AB1C", Mode::AB1C},   {"1ABC", Mode::_1ABC},     {"AC1B", Mode::AC1B}, {"AbC11", Mode::AbC11},
      {"ABc11", Mode::ABc11}, {"1Abc11", Mode::_1Abc11}, {"AB11", Mode::AB11}, {"1A1B", Mode::_1A1B},
      {"11AB", Mode::_11AB},  {"1A11", Mode::_1A11}};
  for (const auto& [name, mode] : modes)
    if (m == name) return mode;
  return std::nullopt;
}

// The modes that lay out single axes one for one; axes, permutations and pads
// have no image under the merged modes.
std::optional<Mode> axis_mode(const std::string& m) {
  const auto mode = parse_mode(m);
  if (mode == Mode::AbC11 || mode == Mode::ABc11 || mode == Mode::_1Abc11) return std::nullopt;
  return mode;
}

// "{}" placeholders filled in order, as str.format does with plain arguments.
std::string fill(const std::string& fmt, std::initializer_list<std::string> args) {
  std::string out;
  auto arg = args.begin();
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '{' && i + 1 < fmt.size() && fmt[i + 1] == '}' && arg != args.end()) {
      out += *arg++;
      ++i;
    } else {
      out += fmt[i];
    }
  }
  return out;
}

std::string unsupported_mode(const std::string& mode, const std::string& name) {
  return fill("Not support mode = {} in '{}'!", {mode, name});
}

// Python's list.insert: a negative position counts from the end, and a
// position beyond either end means that end.
void py_insert(Ints& v, int64_t pos, int64_t value) {
  const auto n = static_cast<int64_t>(v.size());
  if (pos < 0) pos = std::max<int64_t>(pos + n, 0);
  pos = std::min(pos, n);
  v.insert(v.begin() + pos, value);
}

int64_t times(int64_t a, int64_t b) { return checked_mul(a, b); }
double times(double a, double b) { return a * b; }

// Extents are real numbers for Resize scales and integers everywhere else;
// the layout is the same.
template <class T>
Checked<std::vector<T>> map_shape(const std::vector<T>& s, const std::string& mode, const std::string& name) {
  using V = std::vector<T>;
  Checked<V> out;
  if (s.empty()) {
    out.value = s;
    return out;
  }
  const size_t limit = one_of(mode, {"AB11", "1A1B"}) ? 2 : 3;
  if (s.size() > limit) {
    out.warning = fill("n_dims_mode = {} is not match the shape {} in '{}'!",
                       {std::to_string(limit), list_str(s), name});
    out.value = s;
    return out;
  }
  const auto m = parse_mode(mode);
  if (!m) {
    out.error = unsupported_mode(mode, name);
    return out;
  }
  const T one = T(1);
  const size_t r = s.size();
  V v;
  switch (*m) {
    case Mode::AB1C:
      v = s;
      if (r >= 2) v.insert(v.end() - 1, one);
      break;
    case Mode::_1ABC:
      v = s;
      if (r == 3) v.insert(v.begin(), one);
      if (r == 2) v.insert(v.begin(), {one, one});
      break;
    case Mode::AC1B:
      if (r == 3) v = {s[0], s[2], one, s[1]};
      if (r == 2) v = {s[1], one, s[0]};
      if (r == 1) v = {s[0], one, one};
      break;
    case Mode::AbC11:
      v = r == 3 ? V{times(s[0], s[1]), s[2]} : s;
      v.insert(v.end(), {one, one});
      break;
    case Mode::ABc11:
      if (r == 3) v = {s[0], times(s[1], s[2])};
      if (r == 2) v = {times(s[0], s[1])};
      if (r == 1) v = s;
      v.insert(v.end(), {one, one});
      break;
    case Mode::_1Abc11:
      if (r == 3) v = {one, times(times(s[0], s[1]), s[2])};
      if (r == 2) v = {times(s[0], s[1])};
      if (r == 1) v = s;
      v.insert(v.end(), {one, one});
      break;
    case Mode::AB11:
      v = s;
      v.insert(v.end(), {one, one});
      break;
    case Mode::_1A1B:
      v = r == 2 ? V{one, s[0], one, s[1]} : V{one, s[0]};
      break;
    case Mode::_11AB:
      v = s;
      v.insert(v.begin(), {one, one});
      break;
    case Mode::_1A11:
      v = s;
      v.insert(v.begin(), one);
      v.insert(v.end(), {one, one});
      break;
  }
  out.value = std::move(v);
  return out;
}

std::string real_str(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "inf" : "-inf";
  char buf[64];
  if (d == std::floor(d) && std::fabs(d) < 1e16) {
    std::snprintf(buf, sizeof buf, "%.1f", d);
    return buf;
  }
  for (int p = 1; p <= 17; ++p) {  // the shortest form that reads back the same, as repr() gives
    std::snprintf(buf, sizeof buf, "%.*g", p, d);
    if (std::strtod(buf, nullptr) == d) break;
  }
  return buf;
}

}  // namespace

// ------------------------------------------------ operator classes

bool is_broadcasting_op(const std::string& op) {
  return one_of(op, {"Add", "Sub", "Mul", "Div", "Pow", "Greater", "Less", "Equal", "GreaterOrEqual", "LessOrEqual",
                     "And"});
}

bool is_input_rank_op(const std::string& op, bool is_reduce_op) {
  return is_reduce_op || one_of(op, {"ArgMax", "ArgMin", "Gather", "GatherElements"});
}

bool is_axis_op(const std::string& op) {
  return one_of(op, {"Concat", "Split", "Softmax", "exSoftmax13", "LogSoftmax", "Gather", "GatherElements", "TopK",
                     "LpNormalization"});
}

std::optional<int64_t> default_axis(const std::string& op) {
  if (one_of(op, {"Split", "Gather", "GatherElements", "ArgMax", "ArgMin"})) return 0;
  if (one_of(op, {"Softmax", "exSoftmax13", "LogSoftmax", "TopK", "LpNormalization"})) return -1;
  return std::nullopt;
}

// ------------------------------------------------ mode choice

std::string size_rule_mode(int64_t a, int64_t b, int64_t c) {
  if ((b >= a && b >= c) || b >= 4) return "AB1C";
  if ((a >= b && a >= c) || a >= 4) return "1ABC";
  if (b != 1) return b >= a ? "AB1C" : "1ABC";
  return "AC1B";
}

bool size_rule_reads_output(const std::string& op) {
  return one_of(op, {"Mul", "Add", "Sub", "Div", "Concat", "Where", "Expand", "Greater", "Less", "Equal",
                     "GreaterOrEqual", "LessOrEqual", "And"});
}

std::optional<std::string> fixed_rank3_mode(const std::string& op, bool dynamic_shapes) {
  if (one_of(op, {"Conv", "ConvTranspose", "AveragePool", "MaxPool", "BatchNormalization", "InstanceNormalization",
                  "GlobalAveragePool"}))
    return "AB1C";
  if (op == "MatMul"sv) return "1ABC";
  if (op == "exLayerNorm"sv) return std::nullopt;
  if (op == "exMeanVarianceNormalization"sv || dynamic_shapes) return "AB1C";
  if (one_of(op, {"ScatterND", "Gather", "GatherElements"})) return "AB1C";
  return std::nullopt;
}

Checked<std::string> layer_norm_mode(int64_t k, const std::string& node_name) {
  Checked<std::string> out;
  if (k == 1) out.value = "AbC11";
  else if (k == 2) out.value = "ABc11";
  else if (k == 3) out.value = "1Abc11";
  else out.error = fill("Not support n_norm_shape = {} in '{}'!", {std::to_string(k), node_name});
  return out;
}

std::optional<std::string> rank2_mode(const std::string& op, const std::string& unsqueeze_2d_mode) {
  if (op == "ScatterND"sv) return std::nullopt;
  if (one_of(op, {"BatchNormalization", "InstanceNormalization", "exMeanVarianceNormalization"})) return "AB11";
  if (op == "MatMul"sv) return "11AB";
  return unsqueeze_2d_mode;
}

// ------------------------------------------------ mappings through a mode

Checked<Ints> _new_shape(const Ints& shape, const std::string& mode, const std::string& name) {
  return map_shape(shape, mode, name);
}

Checked<Reals> _new_shape(const Reals& shape, const std::string& mode, const std::string& name) {
  return map_shape(shape, mode, name);
}

// The rank limit is checked before the mode is, as for shapes; an axis that
// still falls outside the limit after counting negatives from it does not
// match the mode either.
Checked<Ints> _new_axes(const Ints& axes, const std::string& mode, const std::string& name) {
  Checked<Ints> out;
  const int64_t limit = one_of(mode, {"AB11", "1A1B", "11AB"}) ? 2 : 3;
  const std::string mismatch = fill("n_dims_mode = {} is not match the axes {} in '{}'!",
                                    {std::to_string(limit), list_str(axes), name});
  if (static_cast<int64_t>(axes.size()) > limit) {
    out.error = mismatch;
    return out;
  }
  const auto m = axis_mode(mode);
  Ints map;
  if (m == Mode::AB1C) map = {0, 1, 3};
  else if (m == Mode::_1ABC) map = {1, 2, 3};
  else if (m == Mode::AC1B) map = {0, 3, 1};
  else if (m == Mode::AB11) map = {0, 1};
  else if (m == Mode::_1A1B) map = {1, 3};
  else if (m == Mode::_11AB) map = {2, 3};
  else if (m == Mode::_1A11) map = {1, 1, 1};
  else {
    out.error = unsupported_mode(mode, name);
    return out;
  }
  for (int64_t a : axes) {
    const int64_t k = a < 0 ? a + limit : a;
    if (k < 0 || k >= limit) {
      out.error = mismatch;
      return out;
    }
    out.value.push_back(map[static_cast<size_t>(k)]);
  }
  return out;
}

Checked<Ints> _new_perm(const Ints& perm, const std::string& mode, const std::string& name) {
  Checked<Ints> out;
  const auto m = axis_mode(mode);
  if (!m) {
    out.error = unsupported_mode(mode, name);
    return out;
  }
  Ints map;  // entry i of the old permutation becomes map[i]
  Ints v;
  switch (*m) {
    case Mode::AB1C: map = {0, 1, 3}; break;
    case Mode::_1ABC: map = {1, 2, 3}; v = {0}; break;
    case Mode::AC1B: map = {0, 3, 1}; break;
    case Mode::AB11: map = {0, 1}; break;
    case Mode::_1A1B: map = {1, 3}; v = {0}; break;
    case Mode::_11AB: map = {2, 3}; v = {0, 1}; break;
    case Mode::_1A11: out.value = {0, 1, 2, 3}; return out;
    default: break;  // merged modes, refused above
  }
  for (int64_t p : perm) {
    if (p < 0 || p >= static_cast<int64_t>(map.size())) {
      out.error = fill("Not support perm = {} for mode = {} in '{}'!", {list_str(perm), mode, name});
      return out;
    }
    v.push_back(map[static_cast<size_t>(p)]);
  }
  if (m == Mode::AB11) v.insert(v.end(), {2, 3});
  else if (m != Mode::_1ABC && m != Mode::_11AB) py_insert(v, -1, 2);  // the unit axis sits before the last
  out.value = std::move(v);
  return out;
}

Checked<Ints> _new_pads(const Ints& pads, const std::string& mode, const std::string& name) {
  Checked<Ints> out;
  const auto m = axis_mode(mode);
  if (!m) {
    out.error = unsupported_mode(mode, name);
    return out;
  }
  auto needs = [&](size_t n) {
    if (pads.size() == n) return true;
    out.error = fill("Not support pads = {} for mode = {} in '{}'!", {list_str(pads), mode, name});
    return false;
  };
  const Ints& p = pads;
  Ints v = pads;
  switch (*m) {
    case Mode::AB1C:
      py_insert(v, -4, 0);
      py_insert(v, -1, 0);
      break;
    case Mode::_1ABC:
      py_insert(v, 3, 0);
      py_insert(v, 0, 0);
      break;
    case Mode::AC1B:
      if (!needs(6)) return out;
      v = {p[0], p[2], 0, p[1], p[3], p[5], 0, p[4]};
      break;
    case Mode::AB11:
      if (!needs(4)) return out;
      v = {p[0], p[1], 0, 0, p[2], p[3], 0, 0};
      break;
    case Mode::_1A1B:
      for (int64_t pos : {-4, -3, -2, -1}) py_insert(v, pos, 0);
      break;
    case Mode::_11AB:
      if (!needs(4)) return out;
      v = {0, 0, p[0], p[1], 0, 0, p[2], p[3]};
      break;
    case Mode::_1A11:
      if (!needs(2)) return out;
      v = {0, p[0], 0, 0, 0, p[1], 0, 0};
      break;
    default:
      break;  // merged modes, refused above
  }
  out.value = std::move(v);
  return out;
}

// ------------------------------------------------ attribute and constant forms

Ints with_unit_height(const Ints& values) {
  Ints v{1};
  v.insert(v.end(), values.begin(), values.end());
  return v;
}

Ints pads_with_unit_height(const Ints& pads) { return {0, pads.front(), 0, pads.back()}; }

Ints leading_ones_to(const Ints& shape, size_t rank) {
  Ints v(rank > shape.size() ? rank - shape.size() : 0, 1);
  v.insert(v.end(), shape.begin(), shape.end());
  return v;
}

Array scatter_indices_to_ab1c(const Array& indices) {
  const Shape& s = indices.shape();
  if (s.size() != 4 || s[3] != 3) throw ArrayError("ScatterND indices must have the shape [d0, d1, d2, 3]");
  Array out(DType::Int64, Shape{s[0], s[1], 1, s[2], 4});
  const int64_t tuples = checked_prod({s[0], s[1], s[2]});
  for (int64_t t = 0; t < tuples; ++t) {
    out.set_int(4 * t, indices.get_int(3 * t));
    out.set_int(4 * t + 1, indices.get_int(3 * t + 1));
    out.set_int(4 * t + 2, 0);
    out.set_int(4 * t + 3, indices.get_int(3 * t + 2));
  }
  return out;
}

// ------------------------------------------------ messages

std::string list_str(const Ints& values) {
  std::string s = "[";
  for (size_t i = 0; i < values.size(); ++i) s += (i ? ", " : "") + std::to_string(values[i]);
  return s + "]";
}

std::string list_str(const Reals& values) {
  std::string s = "[";
  for (size_t i = 0; i < values.size(); ++i) s += (i ? ", " : "") + real_str(values[i]);
  return s + "]";
}

}  // namespace vexo::dims
