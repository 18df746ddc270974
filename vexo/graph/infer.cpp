// Shape and element-type inference of single nodes.
//
// At load the whole model goes through ONNX shape inference; after that the
// nodes the rules create or change are inferred here, one at a time, from the
// recorded shapes of their inputs and the values of constant inputs.  The
// custom ex* operators have their own functions.  Any other op type goes to
// `Graph::onnx_infer` (ONNX inference of a one-node model), when set.
//
// A function answers "unknown" (nullopt shapes) when a shape or constant it
// needs is not known or an attribute is not what it expects; it raises
// ShapeError only when the node computes nothing from what it is given.
#include <algorithm>
#include <climits>
#include <cmath>
#include <numeric>
#include <unordered_map>

#include "graph.hpp"

using namespace std::string_view_literals;

namespace vexo::graph {

namespace {

// What makes a function give up: the result is "unknown".
struct Unknown {};

int64_t floor_div(int64_t a, int64_t b) {
  if (b == 0 || (b == -1 && a == INT64_MIN)) throw Unknown();
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

int64_t ceil_div(int64_t a, int64_t b) {
  if (a == INT64_MIN) throw Unknown();
  return -floor_div(-a, b);
}

// Products of extents; past 64 bits the answer is "unknown".
int64_t mul(int64_t a, int64_t b) {
  int64_t out;
  if (__builtin_mul_overflow(a, b, &out)) throw Unknown();
  return out;
}

int64_t add(int64_t a, int64_t b) {
  int64_t out;
  if (__builtin_add_overflow(a, b, &out)) throw Unknown();
  return out;
}

int64_t sub(int64_t a, int64_t b) {
  int64_t out;
  if (__builtin_sub_overflow(a, b, &out)) throw Unknown();
  return out;
}

int64_t prod(const Shape& s, size_t from = 0, size_t to = SIZE_MAX) {
  int64_t p = 1;
  for (size_t i = from; i < s.size() && i < to; ++i) p = mul(p, s[i]);
  return p;
}

// Python indexing: negative indices count from the end; out of range gives up.
template <class V>
auto at(const V& v, int64_t i) -> decltype(v[0]) {
  const int64_t n = static_cast<int64_t>(v.size());
  if (i < 0) i += n;
  if (i < 0 || i >= n) throw Unknown();
  return v[static_cast<size_t>(i)];
}

int64_t norm(int64_t axis, int64_t rank) {
  const int64_t a = axis < 0 ? axis + rank : axis;
  if (a < 0 || a >= rank) throw Unknown();
  return a;
}

std::string list_text(const Shape& s) {
  std::string out = "[";
  for (size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
  return out + "]";
}

Shape broadcast(const std::vector<Shape>& shapes) {
  if (shapes.empty()) throw Unknown();
  size_t rank = 0;
  for (const Shape& s : shapes) rank = std::max(rank, s.size());
  Shape out;
  out.reserve(rank);
  for (size_t axis = 0; axis < rank; ++axis) {
    int64_t extent = 1;  // the one extent other than 1 on this axis, if any
    bool agree = true;
    for (const Shape& s : shapes) {
      const int64_t k = static_cast<int64_t>(axis) - static_cast<int64_t>(rank) + static_cast<int64_t>(s.size());
      if (k < 0) continue;
      const int64_t d = s[static_cast<size_t>(k)];
      if (d == 1) continue;
      agree = agree && (extent == 1 || extent == d);
      extent = d;
    }
    if (!agree) {
      std::string text = "(";
      for (size_t i = 0; i < shapes.size(); ++i) text += (i ? ", " : "") + list_text(shapes[i]);
      text += shapes.size() == 1 ? ",)" : ")";
      throw ShapeError("shapes " + text + " do not broadcast");
    }
    out.push_back(extent);
  }
  return out;
}

// Values of a constant as Python's int() makes them.
std::vector<int64_t> ints_of(const Constant& c) {
  if (!c.has_bytes()) throw Unknown();
  const int64_t n = c.count();
  std::vector<int64_t> out;
  out.reserve(static_cast<size_t>(n));
  const bool floating = elem_is_floating(c.elem);
  if (!floating && !elem_is_integer(c.elem) && c.elem != kBool) throw Unknown();
  for (int64_t k = 0; k < n; ++k) {
    if (floating) {
      double v;
      try {
        v = c.get_double(k);
      } catch (const TensorError&) {
        throw Unknown();
      }
      if (!std::isfinite(v) || std::fabs(v) >= 9.2e18) throw Unknown();
      out.push_back(static_cast<int64_t>(std::trunc(v)));
    } else {
      out.push_back(c.get_int(k));
    }
  }
  return out;
}

std::vector<double> doubles_of(const Constant& c) {
  if (!c.has_bytes()) throw Unknown();
  std::vector<double> out;
  try {
    for (int64_t k = 0; k < c.count(); ++k) out.push_back(c.get_double(k));
  } catch (const TensorError&) {
    throw Unknown();
  }
  return out;
}

class Ctx {
 public:
  Ctx(const Graph& g, const Node& n) : node(n), g_(g) {}

  const Node& node;
  size_t n_out() const { return node.outputs().size(); }

  bool has(size_t i) const { return i < node.inputs().size() && !node.inputs()[i].empty(); }
  // The recorded shape of input i (interned: it stays while the inference runs).
  const Shape& shape(size_t i) const {
    if (!has(i)) throw Unknown();
    const InternedShape* s = g_.shape(node.inputs()[i]);
    if (!s || !*s) throw Unknown();
    return **s;
  }
  int32_t dtype(size_t i) const { return has(i) ? g_.dtype(node.inputs()[i]) : kUndefined; }
  const Constant* constant(size_t i) const {
    if (!has(i)) return nullptr;
    const Tensor* t = g_.tensor(node.inputs()[i]);
    return t ? t->value.get() : nullptr;
  }
  const Constant& need_const(size_t i) const {
    const Constant* c = constant(i);
    if (!c) throw Unknown();
    return *c;
  }

  const AttrValue* attr(const char* name) const {
    const AttrValue* v = node.attr(name);
    return v && v->kind != AttrValue::None ? v : nullptr;
  }
  // attr(name, default) read as an integer; another type gives up.
  int64_t attr_int(const char* name, int64_t dflt) const {
    const AttrValue* v = node.attr(name);
    if (!v) return dflt;
    if (v->kind != AttrValue::Int) throw Unknown();
    return v->i;
  }
  // `attr(name) or default`: an absent or empty list takes the default.
  std::vector<int64_t> ints_or(const char* name, std::vector<int64_t> dflt) const {
    const AttrValue* v = attr(name);
    if (!v) return dflt;
    if (v->kind == AttrValue::Int) {
      if (v->i == 0) return dflt;
      throw Unknown();
    }
    if (v->kind == AttrValue::Ints) return v->ints.empty() ? dflt : v->ints;
    if (v->is_list() && (v->kind == AttrValue::Strings ? v->strings.empty() : v->floats.empty())) return dflt;
    throw Unknown();
  }
  std::optional<std::vector<int64_t>> ints_attr(const char* name) const {
    const AttrValue* v = attr(name);
    if (!v) return std::nullopt;
    if (v->kind == AttrValue::Ints) return v->ints;
    if (v->kind == AttrValue::Floats) throw Unknown();
    throw Unknown();
  }
  bool truthy(const char* name, bool dflt) const {
    const AttrValue* v = node.attr(name);
    if (!v) return dflt;
    switch (v->kind) {
      case AttrValue::None: return false;
      case AttrValue::Int: return v->i != 0;
      case AttrValue::Float: return v->f != 0.0;
      case AttrValue::String: return !v->s.empty();
      case AttrValue::Ints: return !v->ints.empty();
      case AttrValue::Floats: return !v->floats.empty();
      case AttrValue::Strings: return !v->strings.empty();
      default: throw Unknown();
    }
  }
  std::string str_attr(const char* name, const std::string& dflt) const {
    const AttrValue* v = node.attr(name);
    if (!v) return dflt;
    if (v->kind != AttrValue::String) throw Unknown();
    return v->s;
  }

 private:
  const Graph& g_;
};

using Out = std::vector<Inferred>;
using Fn = Out (*)(const Ctx&);

Out fill(Out outs, size_t n) {
  outs.resize(std::max(outs.size(), n));
  return outs;
}

// ---------------------------------------------------------------- op families

Out same(const Ctx& c) { return {{c.shape(0), c.dtype(0)}}; }

Out batchnorm(const Ctx& c) {
  Out outs{{c.shape(0), c.dtype(0)}};
  for (size_t i = 1; i < c.n_out(); ++i) outs.push_back({Shape{at(c.shape(0), 1)}, c.dtype(0)});
  return outs;
}

// Y has the input's shape; the mean and inverse deviation keep the axes ahead
// of `axis` and are 1 from it on, in float32 unless `stash_type` names another
// type (0: the input's).
Out layer_norm(const Ctx& c) {
  const Shape& x = c.shape(0);
  const int64_t rank = static_cast<int64_t>(x.size());
  const int64_t axis = norm(c.attr_int("axis", -1), rank);
  const int64_t stash = c.attr_int("stash_type", 1);
  if (stash < 0 || stash > 28) throw Unknown();
  const int32_t stat_dtype = stash ? static_cast<int32_t>(stash) : c.dtype(0);
  Shape stats(x.begin(), x.begin() + axis);
  stats.resize(x.size(), 1);
  Out outs{{x, c.dtype(0)}};
  for (size_t i = 1; i < c.n_out(); ++i) outs.push_back({stats, stat_dtype});
  return outs;
}

Out cast(const Ctx& c) {
  const AttrValue* to = c.attr("to");
  const Shape& s = c.shape(0);
  if (!to || to->kind != AttrValue::Int || to->i < 1 || to->i > 28) throw Unknown();
  return {{s, static_cast<int32_t>(to->i)}};
}

Out broadcasting(const Ctx& c, int32_t result_dtype, size_t dtype_input) {
  std::vector<Shape> shapes;
  for (size_t i = 0; i < c.node.inputs().size(); ++i)
    if (c.has(i)) shapes.push_back(c.shape(i));
  const int32_t dt = result_dtype != kUndefined ? result_dtype : c.dtype(dtype_input);
  return {{broadcast(shapes), dt}};
}
Out arith(const Ctx& c) { return broadcasting(c, kUndefined, 0); }
Out compare(const Ctx& c) { return broadcasting(c, kBool, 0); }
Out where(const Ctx& c) { return broadcasting(c, kUndefined, 1); }

Out reshape(const Ctx& c) {
  const std::vector<int64_t> target = ints_of(c.need_const(1));
  const Shape& src = c.shape(0);
  const bool allowzero = c.truthy("allowzero", false);
  Shape out;
  out.reserve(target.size());
  for (size_t i = 0; i < target.size(); ++i) {
    if (target[i] == 0 && !allowzero) {  // 0 copies the input's extent on that axis
      if (i >= src.size())
        throw ShapeError("a Reshape of " + list_text(src) + " to " + list_text(target) + ": 0 at position " +
                         std::to_string(i) + " copies an axis the input does not have");
      out.push_back(src[i]);
    } else {
      out.push_back(target[i]);
    }
  }
  const int64_t total = prod(src);
  auto minus = std::find(out.begin(), out.end(), -1);
  if (minus != out.end()) {
    int64_t known = 1;
    for (int64_t v : out)
      if (v != -1) known = mul(known, v);
    *minus = known ? floor_div(total, known) : 0;
  }
  if (prod(out) != total)
    throw ShapeError("a Reshape of " + list_text(src) + " to " + list_text(out) + " changes the number of elements");
  return {{out, c.dtype(0)}};
}

Out transpose(const Ctx& c) {
  const Shape& s = c.shape(0);
  std::vector<int64_t> rev(s.size());
  std::iota(rev.rbegin(), rev.rend(), 0);
  const std::vector<int64_t> perm = c.ints_or("perm", rev);
  Shape out;
  out.reserve(perm.size());
  for (int64_t p : perm) out.push_back(at(s, p));
  return {{out, c.dtype(0)}};
}

Shape spatial(const Ctx& c, const std::optional<std::vector<int64_t>>& kernel, bool ceil_mode, bool transposed) {
  const Shape& s = c.shape(0);
  const int64_t n = static_cast<int64_t>(s.size()) - 2;
  const size_t un = n > 0 ? static_cast<size_t>(n) : 0;
  const std::vector<int64_t> strides = c.ints_or("strides", std::vector<int64_t>(un, 1));
  const std::vector<int64_t> dil = c.ints_or("dilations", std::vector<int64_t>(un, 1));
  const std::vector<int64_t> pads = c.ints_or("pads", std::vector<int64_t>(2 * un, 0));
  const std::string auto_pad = c.str_attr("auto_pad", "NOTSET");
  const bool same = auto_pad == "SAME_UPPER"sv || auto_pad == "SAME_LOWER"sv;
  Shape out;
  for (int64_t i = 0; i < n; ++i) {
    if (!kernel) throw Unknown();
    const int64_t k = add(mul(sub(at(*kernel, i), 1), at(dil, i)), 1);
    const int64_t x = at(s, 2 + i);
    if (transposed) {
      const int64_t op = at(c.ints_or("output_padding", std::vector<int64_t>(un, 0)), i);
      const std::vector<int64_t> output_shape = c.ints_or("output_shape", {});
      if (!output_shape.empty())
        out.push_back(at(output_shape, i));
      else if (same)
        out.push_back(mul(x, at(strides, i)));
      else
        out.push_back(sub(sub(add(add(mul(at(strides, i), sub(x, 1)), op), k), at(pads, i)), at(pads, n + i)));
    } else if (same) {
      out.push_back(ceil_div(x, at(strides, i)));
    } else if (auto_pad == "VALID"sv) {
      out.push_back(add(floor_div(sub(x, k), at(strides, i)), 1));
    } else {
      const int64_t span = sub(add(add(x, at(pads, i)), at(pads, n + i)), k);
      out.push_back(add(ceil_mode ? ceil_div(span, at(strides, i)) : floor_div(span, at(strides, i)), 1));
    }
  }
  return out;
}

std::optional<std::vector<int64_t>> kernel_or(const Ctx& c, const Shape& w) {
  std::vector<int64_t> rest(w.size() > 2 ? w.begin() + 2 : w.end(), w.end());
  return c.ints_or("kernel_shape", rest);
}

Out conv(const Ctx& c) {
  const Shape &s = c.shape(0), &w = c.shape(1);
  const auto kernel = kernel_or(c, w);
  Shape out{at(s, 0), at(w, 0)};
  const Shape sp = spatial(c, kernel, false, false);
  out.insert(out.end(), sp.begin(), sp.end());
  return {{out, c.dtype(0)}};
}

Out conv_transpose(const Ctx& c) {
  const Shape &s = c.shape(0), &w = c.shape(1);
  const auto kernel = kernel_or(c, w);
  const int64_t group = c.attr_int("group", 1);
  Shape out{at(s, 0), mul(at(w, 1), group)};
  const Shape sp = spatial(c, kernel, false, true);
  out.insert(out.end(), sp.begin(), sp.end());
  return {{out, c.dtype(0)}};
}

Out pool(const Ctx& c) {
  const Shape& s = c.shape(0);
  const Shape sp = spatial(c, c.ints_attr("kernel_shape"), c.truthy("ceil_mode", false), false);
  Shape out{at(s, 0), at(s, 1)};
  out.insert(out.end(), sp.begin(), sp.end());
  Out outs{{out, c.dtype(0)}};
  if (c.n_out() > 1) outs.push_back({out, kInt64});
  return outs;
}

Out global_pool(const Ctx& c) {
  const Shape& s = c.shape(0);
  Shape out(s.begin(), s.begin() + std::min<size_t>(2, s.size()));
  for (size_t i = 2; i < s.size(); ++i) out.push_back(1);
  return {{out, c.dtype(0)}};
}

std::vector<int64_t> reduce_axes(const Ctx& c, int64_t rank) {
  std::optional<std::vector<int64_t>> axes = c.ints_attr("axes");
  if (!axes && c.has(1)) axes = ints_of(c.need_const(1));
  if (!axes || axes->empty()) {
    if (c.truthy("noop_with_empty_axes", false)) return {};
    std::vector<int64_t> all(static_cast<size_t>(rank));
    std::iota(all.begin(), all.end(), 0);
    return all;
  }
  std::vector<int64_t> out;
  for (int64_t a : *axes) out.push_back(norm(a, rank));
  std::sort(out.begin(), out.end());
  return out;
}

Out reduce(const Ctx& c) {
  const Shape& s = c.shape(0);
  const std::vector<int64_t> axes = reduce_axes(c, static_cast<int64_t>(s.size()));
  const bool keep = c.truthy("keepdims", true);
  Shape out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (std::find(axes.begin(), axes.end(), static_cast<int64_t>(i)) != axes.end()) {
      if (keep) out.push_back(1);
    } else {
      out.push_back(s[i]);
    }
  }
  return {{out, c.dtype(0)}};
}

Out argreduce(const Ctx& c) {
  Shape out = c.shape(0);
  const int64_t axis = norm(c.attr_int("axis", 0), static_cast<int64_t>(out.size()));
  if (c.truthy("keepdims", true))
    out[static_cast<size_t>(axis)] = 1;
  else
    out.erase(out.begin() + axis);
  return {{out, kInt64}};
}

Out gather(const Ctx& c) {
  const Shape &s = c.shape(0), &idx = c.shape(1);
  const int64_t axis = norm(c.attr_int("axis", 0), static_cast<int64_t>(s.size()));
  Shape out(s.begin(), s.begin() + axis);
  out.insert(out.end(), idx.begin(), idx.end());
  out.insert(out.end(), s.begin() + axis + 1, s.end());
  return {{out, c.dtype(0)}};
}

Out gather_elements(const Ctx& c) { return {{c.shape(1), c.dtype(0)}}; }

Out concat(const Ctx& c) {
  std::vector<Shape> shapes;
  for (size_t i = 0; i < c.node.inputs().size(); ++i)
    if (c.has(i)) shapes.push_back(c.shape(i));
  const AttrValue* a = c.attr("axis");
  if (!a || a->kind != AttrValue::Int || shapes.empty()) throw Unknown();
  const int64_t axis = norm(a->i, static_cast<int64_t>(shapes[0].size()));
  Shape out = shapes[0];
  int64_t total = 0;
  for (const Shape& s : shapes) total = add(total, at(s, axis));
  out[static_cast<size_t>(axis)] = total;
  return {{out, c.dtype(0)}};
}

Out split(const Ctx& c) {
  const Shape& s = c.shape(0);
  const int64_t axis = norm(c.attr_int("axis", 0), static_cast<int64_t>(s.size()));
  const auto n = static_cast<int64_t>(c.n_out());
  std::optional<std::vector<int64_t>> sizes = c.ints_attr("split");
  if (!sizes && c.has(1)) sizes = ints_of(c.need_const(1));
  const int64_t dim = s[static_cast<size_t>(axis)];
  if (!sizes || sizes->empty()) {
    if (n == 0) throw Unknown();
    if (dim % n != 0 && !c.attr("num_outputs")) throw Unknown();
    const int64_t chunk = ceil_div(dim, n);
    sizes = std::vector<int64_t>(static_cast<size_t>(n - 1), chunk);
    sizes->push_back(sub(dim, mul(chunk, n - 1)));
  }
  Out outs;
  for (int64_t size : *sizes) {
    Shape o = s;
    o[static_cast<size_t>(axis)] = size;
    outs.push_back({o, c.dtype(0)});
  }
  return outs;
}

// len(range(*slice(start, stop, step).indices(length))), as Python computes it.
int64_t slice_len(__int128 start, __int128 stop, __int128 step, __int128 length) {
  if (step == 0) throw Unknown();
  const __int128 lower = step < 0 ? -1 : 0;
  const __int128 upper = step < 0 ? length - 1 : length;
  auto adjust = [&](__int128 v) {
    if (v < 0) {
      v += length;
      if (v < lower) v = lower;
    } else if (v > upper) {
      v = upper;
    }
    return v;
  };
  start = adjust(start);
  stop = adjust(stop);
  if (step > 0) return stop > start ? static_cast<int64_t>((stop - start - 1) / step + 1) : 0;
  return start > stop ? static_cast<int64_t>((start - stop - 1) / (-step) + 1) : 0;
}

Out slice(const Ctx& c) {
  const Shape& s = c.shape(0);
  const std::vector<int64_t> starts = ints_of(c.need_const(1));
  const std::vector<int64_t> ends = ints_of(c.need_const(2));
  std::vector<int64_t> axes, steps;
  if (c.has(3)) {
    axes = ints_of(c.need_const(3));
  } else {
    for (size_t i = 0; i < starts.size(); ++i) axes.push_back(static_cast<int64_t>(i));
  }
  if (c.has(4))
    steps = ints_of(c.need_const(4));
  else
    steps.assign(starts.size(), 1);
  Shape out = s;
  const size_t n = std::min({starts.size(), ends.size(), axes.size(), steps.size()});
  for (size_t k = 0; k < n; ++k) {
    const int64_t ax = norm(axes[k], static_cast<int64_t>(s.size()));
    out[static_cast<size_t>(ax)] = slice_len(starts[k], ends[k], steps[k], s[static_cast<size_t>(ax)]);
  }
  return {{out, c.dtype(0)}};
}

Out pad(const Ctx& c) {
  const Shape& s = c.shape(0);
  std::vector<int64_t> pads;
  if (auto p = c.ints_attr("pads"))
    pads = *p;
  else
    pads = ints_of(c.need_const(1));
  std::vector<int64_t> axes;
  if (c.has(3)) {
    for (int64_t a : ints_of(c.need_const(3))) axes.push_back(norm(a, static_cast<int64_t>(s.size())));
  } else {
    for (size_t i = 0; i < s.size(); ++i) axes.push_back(static_cast<int64_t>(i));
  }
  Shape out = s;
  const auto n = static_cast<int64_t>(axes.size());
  for (int64_t k = 0; k < n; ++k) {
    const auto ax = static_cast<size_t>(axes[static_cast<size_t>(k)]);
    out[ax] = add(add(s[ax], at(pads, k)), at(pads, n + k));
  }
  return {{out, c.dtype(0)}};
}

Out expand(const Ctx& c) {
  const std::vector<int64_t> target = ints_of(c.need_const(1));
  return {{broadcast({c.shape(0), target}), c.dtype(0)}};
}

Out tile(const Ctx& c) {
  const std::vector<int64_t> reps = ints_of(c.need_const(1));
  const Shape& s = c.shape(0);
  Shape out;
  for (size_t i = 0; i < s.size() && i < reps.size(); ++i) out.push_back(mul(s[i], reps[i]));
  return {{out, c.dtype(0)}};
}

Out matmul(const Ctx& c) {
  Shape a = c.shape(0), b = c.shape(1);
  const bool a1 = a.size() == 1, b1 = b.size() == 1;
  if (a1) a.insert(a.begin(), 1);
  if (b1) b.push_back(1);
  const Shape abatch(a.begin(), a.size() >= 2 ? a.end() - 2 : a.begin());
  const Shape bbatch(b.begin(), b.size() >= 2 ? b.end() - 2 : b.begin());
  Shape out = broadcast({abatch, bbatch});
  out.push_back(at(a, -2));
  out.push_back(at(b, -1));
  if (a1) out.erase(out.end() - 2);
  if (b1) out.erase(out.end() - 1);
  return {{out, c.dtype(0)}};
}

Out resize(const Ctx& c) {
  const Shape& s = c.shape(0);
  const Constant* sizes = c.has(3) ? c.constant(3) : nullptr;
  if (sizes && sizes->count() > 0) return {{ints_of(*sizes), c.dtype(0)}};
  const Constant* scales = c.has(2) ? c.constant(2) : nullptr;
  if (!scales || scales->count() == 0) throw Unknown();
  const std::vector<double> f = doubles_of(*scales);
  Shape out;
  for (size_t i = 0; i < s.size() && i < f.size(); ++i) {
    const double v = std::floor(static_cast<double>(s[i]) * f[i]);
    if (!std::isfinite(v) || std::fabs(v) >= 9.2e18) throw Unknown();
    out.push_back(static_cast<int64_t>(v));
  }
  return {{out, c.dtype(0)}};
}

Out topk(const Ctx& c) {
  Shape out = c.shape(0);
  const int64_t axis = norm(c.attr_int("axis", -1), static_cast<int64_t>(out.size()));
  const std::vector<int64_t> k = ints_of(c.need_const(1));
  out[static_cast<size_t>(axis)] = at(k, 0);
  return {{out, c.dtype(0)}, {out, kInt64}};
}

Out squeeze(const Ctx& c) {
  const Shape& s = c.shape(0);
  std::optional<std::vector<int64_t>> axes = c.ints_attr("axes");
  if (!axes && c.has(1)) axes = ints_of(c.need_const(1));
  Shape out;
  if (!axes) {
    for (int64_t d : s)
      if (d != 1) out.push_back(d);
    return {{out, c.dtype(0)}};
  }
  std::vector<int64_t> drop;
  for (int64_t a : *axes) drop.push_back(norm(a, static_cast<int64_t>(s.size())));
  for (size_t i = 0; i < s.size(); ++i)
    if (std::find(drop.begin(), drop.end(), static_cast<int64_t>(i)) == drop.end()) out.push_back(s[i]);
  return {{out, c.dtype(0)}};
}

Out unsqueeze(const Ctx& c) {
  const Shape& s = c.shape(0);
  std::optional<std::vector<int64_t>> axes = c.ints_attr("axes");
  if (!axes) axes = ints_of(c.need_const(1));
  const auto rank = static_cast<int64_t>(s.size() + axes->size());
  std::vector<int64_t> sorted;
  for (int64_t a : *axes) sorted.push_back(norm(a, rank));
  std::sort(sorted.begin(), sorted.end());
  Shape out = s;
  for (int64_t a : sorted) out.insert(out.begin() + std::min<int64_t>(a, static_cast<int64_t>(out.size())), 1);
  return {{out, c.dtype(0)}};
}

Out flatten(const Ctx& c) {
  const Shape& s = c.shape(0);
  const int64_t axis = s.empty() ? 0 : norm(c.attr_int("axis", 1), static_cast<int64_t>(s.size()) + 1);
  return {{Shape{prod(s, 0, static_cast<size_t>(axis)), prod(s, static_cast<size_t>(axis))}, c.dtype(0)}};
}

Out shape_op(const Ctx& c) { return {{Shape{static_cast<int64_t>(c.shape(0).size())}, kInt64}}; }

Out ex_window(const Ctx& c) {
  const Shape& s = c.shape(0);
  if (s.size() != 4) throw Unknown();
  const AttrValue* ws = c.attr("window_sizes");
  const AttrValue* nw = c.attr("num_windows");
  if (!ws || !nw || ws->kind != AttrValue::Ints || nw->kind != AttrValue::Ints) throw Unknown();
  const std::string mode = c.str_attr("mode", "");
  if (mode == "reverse"sv)
    return {{Shape{s[0], s[1], mul(at(nw->ints, 0), at(ws->ints, 0)), mul(at(nw->ints, 1), at(ws->ints, 1))},
             c.dtype(0)}};
  return {{Shape{s[0], s[1], mul(at(nw->ints, 0), at(nw->ints, 1)), mul(at(ws->ints, 0), at(ws->ints, 1))},
           c.dtype(0)}};
}

const std::unordered_map<std::string, Fn>& functions() {
  static const std::unordered_map<std::string, Fn> table = [] {
    std::unordered_map<std::string, Fn> t;
    for (const char* op :
         {"Relu", "Sigmoid", "Tanh", "Exp", "Log", "Sqrt", "Abs", "Neg", "Floor", "Ceil", "Round", "Erf", "Sin", "Cos",
          "Tan", "Atan", "Asin", "Acos", "Sinh", "Cosh", "Reciprocal", "Softplus", "Softsign", "LeakyRelu", "Elu",
          "Selu", "Celu", "HardSigmoid", "HardSwish", "Clip", "Identity", "Softmax", "LogSoftmax", "Hardmax",
          "exSoftmax13", "exGelu", "Gelu", "exSwish", "exMish", "Mish", "exDataConvert", "LpNormalization",
          "InstanceNormalization", "exLayerNorm", "exMeanVarianceNormalization",
          "MeanVarianceNormalization", "Not", "BitwiseNot", "Dropout", "Sign", "IsNaN", "IsInf", "ScatterND",
          "ScatterElements", "CumSum"})
      t[op] = same;
    for (const char* op : {"Greater", "Less", "Equal", "GreaterOrEqual", "LessOrEqual"}) t[op] = compare;
    for (const char* op : {"Add", "Sub", "Mul", "Div", "Pow", "Max", "Min", "Mod", "And", "Or", "Xor", "BitwiseAnd",
                           "BitwiseOr", "BitwiseXor", "PRelu", "Sum", "Mean"})
      t[op] = arith;
    for (const char* op : {"ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum", "ReduceL2", "ReduceL1", "ReduceProd",
                           "ReduceLogSum", "ReduceLogSumExp", "ReduceSumSquare"})
      t[op] = reduce;
    t["BatchNormalization"] = batchnorm;
    t["LayerNormalization"] = layer_norm;
    t["Cast"] = cast;
    t["Where"] = where;
    t["Reshape"] = reshape;
    t["Transpose"] = transpose;
    t["Conv"] = conv;
    t["ConvTranspose"] = conv_transpose;
    t["AveragePool"] = pool;
    t["MaxPool"] = pool;
    t["LpPool"] = pool;
    t["GlobalAveragePool"] = global_pool;
    t["GlobalMaxPool"] = global_pool;
    t["ArgMax"] = argreduce;
    t["ArgMin"] = argreduce;
    t["Gather"] = gather;
    t["GatherElements"] = gather_elements;
    t["Concat"] = concat;
    t["Split"] = split;
    t["Slice"] = slice;
    t["Pad"] = pad;
    t["Expand"] = expand;
    t["Tile"] = tile;
    t["MatMul"] = matmul;
    t["Resize"] = resize;
    t["TopK"] = topk;
    t["Squeeze"] = squeeze;
    t["Unsqueeze"] = unsqueeze;
    t["Flatten"] = flatten;
    t["Shape"] = shape_op;
    t["exWindow"] = ex_window;
    return t;
  }();
  return table;
}

}  // namespace

std::vector<Inferred> Graph::infer(const Node& node) const {
  bool own = false;
  return infer(node, own);
}

std::vector<Inferred> Graph::infer(const Node& node, bool& own) const {
  const size_t n = node.outputs().size();
  const auto& table = functions();
  auto it = table.find(node.op_type);
  own = it != table.end();
  if (!own) {
    if (is_custom_op(node.op_type) || !onnx_infer) return std::vector<Inferred>(n);
    return fill(onnx_infer(*this, node), n);
  }
  // Every function but GatherElements's needs the shape of a present first
  // input before anything can fail otherwise: unknown, without an exception.
  if (!node.inputs().empty() && !node.inputs()[0].empty() && node.op_type != "GatherElements"sv) {
    const InternedShape* s = shape(node.inputs()[0]);
    if (!s || !*s) return std::vector<Inferred>(n);
  }
  Out outs;
  try {
    outs = it->second(Ctx(*this, node));
  } catch (const ShapeError& e) {
    throw ShapeError(describe(node) + ": " + e.what());
  } catch (const Unknown&) {
    return std::vector<Inferred>(n);
  }
  outs.resize(n);
  return outs;
}

Graph::InputFacts Graph::facts_of(const Name& input) const {
  const Tensor* t = input.empty() ? nullptr : tensor(input);
  if (t == nullptr) return InputFacts{input, InternedShape(), kUndefined, nullptr};
  return InputFacts{input, t->shape, t->dtype, t->value};
}

bool Graph::facts_hold(const InputFacts& facts, const Name& input) const {
  if (facts.name != input) return false;
  const Tensor* t = input.empty() ? nullptr : tensor(input);
  if (t == nullptr) return !facts.shape && facts.dtype == kUndefined && !facts.value;
  return t->shape == facts.shape && t->dtype == facts.dtype && t->value == facts.value;
}

void Graph::remember_inference(const NodePtr& node, std::vector<Inferred> result) {
  const Names& inputs = node->inputs();
  if (remembered_.size() >= kRemembered || inputs.size() > Remembered::kInputs) return;
  Remembered& r = remembered_.emplace_back();
  r.node = node;
  r.edits = node->edits();
  r.outputs = node->outputs().size();
  r.n_inputs = inputs.size();
  for (size_t k = 0; k < inputs.size(); ++k) r.inputs[k] = facts_of(inputs[k]);
  r.result = std::move(result);
}

const std::vector<Inferred>* Graph::remembered(const Node& node) const {
  for (const Remembered& r : remembered_) {
    if (r.node.get() != &node) continue;
    if (r.edits != node.edits() || r.outputs != node.outputs().size() ||
        r.n_inputs != node.inputs().size())
      return nullptr;
    for (size_t k = 0; k < r.n_inputs; ++k)
      if (!facts_hold(r.inputs[k], node.inputs()[k])) return nullptr;
    return &r.result;
  }
  return nullptr;
}

}  // namespace vexo::graph
