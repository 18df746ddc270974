#include "host_helpers.hpp"

#include <algorithm>
#include <numeric>
#include <stdexcept>

using namespace std::string_view_literals;

namespace vexo::graph {

namespace {

std::string text(const Shape& s) {
  std::string out = "[";
  for (size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
  return out + "]";
}

// a * b, or std::overflow_error past 64 bits (the shapes come from the host and may be anything).
int64_t mul(int64_t a, int64_t b) {
  int64_t out;
  if (__builtin_mul_overflow(a, b, &out)) throw std::overflow_error("a product of extents exceeds 64 bits");
  return out;
}

int64_t product(Shape::const_iterator from, Shape::const_iterator to) {
  int64_t p = 1;
  for (auto it = from; it != to; ++it) p = mul(p, *it);
  return p;
}

}  // namespace

std::pair<Shape, Shape> squeeze_broadcast_dims(const Shape& a, const Shape& b) {
  if (a.size() != b.size())
    throw std::invalid_argument("squeeze_broadcast_dims needs shapes of one rank, got " + text(a) + " and " + text(b));
  // Broadcast types: 1 equal, 2 only a is 1, 3 only b is 1, 0 neither; axes
  // of type 0 join only a neighbour of the very same two extents.
  struct Group {
    int type;
    int64_t x, y;
    int64_t x0, y0;  // the extents of the group's first axis
  };
  std::vector<Group> groups;
  for (size_t i = 0; i < a.size(); ++i) {
    const int64_t x = a[i], y = b[i];
    if (x == 1 && y == 1) continue;
    const int type = x == y ? 1 : x == 1 ? 2 : y == 1 ? 3 : 0;
    const bool joins = !groups.empty() && groups.back().type == type &&
                       (type != 0 || (groups.back().x0 == x && groups.back().y0 == y));
    if (joins) {
      groups.back().x = mul(groups.back().x, x);
      groups.back().y = mul(groups.back().y, y);
    } else {
      groups.push_back({type, x, y, x, y});
    }
  }
  if (groups.empty()) return {Shape{1}, Shape{1}};
  Shape ra, rb;
  for (const Group& g : groups) {
    ra.push_back(g.x);
    rb.push_back(g.y);
  }
  return {ra, rb};
}

std::vector<std::pair<Shape, Shape>> independent_parts(const Shape& in, const Shape& out) {
  std::vector<std::pair<Shape, Shape>> parts;
  size_t i = 0, j = 0;
  while (i < in.size() && j < out.size()) {
    Shape in_axes{static_cast<int64_t>(i)}, out_axes{static_cast<int64_t>(j)};
    int64_t p = in[i], q = out[j];
    while (p != q) {
      if (p < q && i + 1 < in.size()) {
        ++i;
        in_axes.push_back(static_cast<int64_t>(i));
        p = mul(p, in[i]);
      } else if (j + 1 < out.size()) {
        ++j;
        out_axes.push_back(static_cast<int64_t>(j));
        q = mul(q, out[j]);
      } else if (i + 1 < in.size()) {
        ++i;
        in_axes.push_back(static_cast<int64_t>(i));
        p = mul(p, in[i]);
      } else {
        break;
      }
    }
    parts.emplace_back(in_axes, out_axes);
    ++i;
    ++j;
  }
  if (!parts.empty()) {
    for (size_t k = i; k < in.size(); ++k) parts.back().first.push_back(static_cast<int64_t>(k));
    for (size_t k = j; k < out.size(); ++k) parts.back().second.push_back(static_cast<int64_t>(k));
  } else if (!in.empty() || !out.empty()) {
    Shape a(in.size()), b(out.size());
    std::iota(a.begin(), a.end(), 0);
    std::iota(b.begin(), b.end(), 0);
    parts.emplace_back(a, b);
  }
  return parts;
}

MergedGather gather_for_merged_axes(const Shape& refer, const Shape& merged, int64_t axis, int64_t new_axis,
                                    const std::vector<int64_t>& chunks, bool concat) {
  const auto rank = static_cast<int64_t>(refer.size());
  const int64_t window_len = rank - static_cast<int64_t>(merged.size()) + 1;
  if (!(0 <= new_axis && new_axis <= axis && axis < new_axis + window_len && new_axis + window_len <= rank) ||
      window_len < 1)
    return {};
  const auto w0 = refer.begin() + new_axis, w1 = refer.begin() + new_axis + window_len;
  if (product(w0, w1) != merged[static_cast<size_t>(new_axis)]) return {};
  int64_t total = 0;
  for (int64_t c : chunks) {
    if (c < 0 || __builtin_add_overflow(total, c, &total)) return {};
  }
  if (total != refer[static_cast<size_t>(axis)]) return {};
  const Shape extents(w0, w1);
  const size_t pos = static_cast<size_t>(axis - new_axis);
  Shape strides(extents.size(), 1);
  for (size_t k = extents.size(); k-- > 1;) strides[k - 1] = mul(strides[k], extents[k]);
  if (product(extents.begin(), extents.end()) > (int64_t{1} << 28))
    throw std::invalid_argument("the merged axes hold too many elements to reorder");
  std::vector<int64_t> order;
  int64_t start = 0;
  for (int64_t size : chunks) {
    Shape sub = extents;
    sub[pos] = size;
    const int64_t n = product(sub.begin(), sub.end());
    Shape idx(sub.size(), 0);
    for (int64_t k = 0; k < n; ++k) {
      int64_t flat = 0;
      for (size_t d = 0; d < idx.size(); ++d) flat += (idx[d] + (d == pos ? start : 0)) * strides[d];
      order.push_back(flat);
      for (size_t d = idx.size(); d-- > 0;) {  // row-major increment
        if (++idx[d] < sub[d]) break;
        idx[d] = 0;
      }
    }
    start += size;
  }
  if (concat) {
    std::vector<int64_t> inverse(order.size());
    for (size_t target = 0; target < order.size(); ++target) inverse[static_cast<size_t>(order[target])] =
        static_cast<int64_t>(target);
    return {new_axis, inverse, true};
  }
  return {new_axis, order, false};
}

bool is_reduce_op(const std::string& op) {
  static const char* const ops[] = {"ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum", "ReduceL2",
                                    "ReduceL1", "ReduceProd", "ReduceLogSum", "ReduceLogSumExp", "ReduceSumSquare"};
  return std::find_if(std::begin(ops), std::end(ops), [&](const char* o) { return op == o; }) != std::end(ops);
}

namespace {

bool has_axes_input(const Node& n) { return n.inputs().size() > 1 && !n.inputs()[1].empty(); }

std::optional<std::vector<int64_t>> axes_attr(const Node& n) {
  const AttrValue* v = n.attr("axes");
  if (!v || v->kind == AttrValue::None) return std::nullopt;
  if (v->kind == AttrValue::Ints) return v->ints;
  if (v->kind == AttrValue::Floats) {
    std::vector<int64_t> out;
    for (double f : v->floats) out.push_back(static_cast<int64_t>(f));
    return out;
  }
  throw std::invalid_argument("the axes of '" + n.name + "' (" + n.op_type + ") are not a list of integers");
}

}  // namespace

std::vector<int64_t> reduce_axes(const Graph& g, const Node& n) {
  std::optional<std::vector<int64_t>> axes = axes_attr(n);
  if (!axes && has_axes_input(n)) {
    const ConstPtr c = g.get_const(n.inputs()[1]);
    if (!c) throw std::invalid_argument("the axes of '" + n.name + "' (" + n.op_type + ") are not a constant");
    axes = c->to_ints();
  }
  const AttrValue* noop = n.attr("noop_with_empty_axes");
  const bool keep_none = noop && ((noop->kind == AttrValue::Int && noop->i != 0) ||
                                  (noop->kind == AttrValue::Float && noop->f != 0.0));
  if (!axes || (axes->empty() && !keep_none)) {
    const InternedShape* s = n.inputs().empty() ? nullptr : g.shape(n.inputs()[0]);
    if (!s || !*s)
      throw std::invalid_argument("the axes of '" + n.name + "' (" + n.op_type + ") depend on an unknown input shape");
    std::vector<int64_t> all((*s)->size());
    std::iota(all.begin(), all.end(), 0);
    return all;
  }
  return *axes;
}

void set_reduce_axes(Graph& g, Node& n, const std::vector<int64_t>& axes) {
  const bool in_attr = axes_attr(n).has_value();
  std::string bytes(reinterpret_cast<const char*>(axes.data()), axes.size() * sizeof(int64_t));
  auto as_const = [&] { return Constant::owned(kInt64, Shape{static_cast<int64_t>(axes.size())}, bytes); };
  const int64_t since = n.op_type == "ReduceSum"sv ? 13 : 18;  // from these opsets a Reduce keeps its axes as an input
  if (!in_attr && has_axes_input(n)) {
    g.set_const(n.inputs()[1], as_const());
  } else if (!in_attr && g.opset_version() >= since) {
    const std::string name = g.unique_name(n.name + "_axes");
    g.set_const(name, as_const());
    if (n.inputs().size() > 1) {
      n.set_port(Port::Input, 1, name);
    } else {
      Names ins = n.inputs();
      ins.push_back(name);
      n.set_ports(Port::Input, std::move(ins));
    }
  } else {
    g.set_attr(n, "axes", AttrValue::of_ints(axes));
  }
}

int64_t channel_alignment(const Graph& g) {
  if (g.config.channel_align && *g.config.channel_align) return *g.config.channel_align;
  if (g.config.npu_target == "n7"sv) return 16;
  if (g.config.npu_target == "x4"sv) return 32;
  return 16;
}

}  // namespace vexo::graph
