#include "guards.hpp"

#include <algorithm>
#include <set>

using namespace std::string_view_literals;

namespace vexo::graph {

namespace {

using Ints = std::vector<int64_t>;
using Reason = std::optional<std::string>;

std::optional<Ints> shape_of(const Graph& g, const Name& t) {
  if (t.empty()) return std::nullopt;
  const InternedShape* s = g.shape(t);
  return s && *s ? std::optional<Ints>(**s) : std::nullopt;
}

std::optional<Ints> ints_attr(const Node& n, const char* name) {
  const AttrValue* v = n.attr(name);
  if (v && v->kind == AttrValue::Ints) return v->ints;
  return std::nullopt;
}

std::optional<int64_t> int_attr(const Node& n, const char* name) {
  const AttrValue* v = n.attr(name);
  if (v && v->kind == AttrValue::Int) return v->i;
  return std::nullopt;
}

std::string text(const Ints& v) {
  std::string out = "[";
  for (size_t k = 0; k < v.size(); ++k) out += (k ? ", " : "") + std::to_string(v[k]);
  return out + "]";
}

// The product of `v[from, to)`, nullopt when it leaves int64.
std::optional<int64_t> prod(const Ints& v, size_t from = 0, size_t to = SIZE_MAX) {
  int64_t p = 1;
  for (size_t k = from; k < std::min(to, v.size()); ++k)
    if (__builtin_mul_overflow(p, v[k], &p)) return std::nullopt;
  return p;
}

int64_t py_mod(int64_t a, int64_t n) { return ((a % n) + n) % n; }

// ---------------------------------------------------------------- rank 1 to 3 made four-dimensional

// Four-dimensional layout of a rank-1 and a rank-2 shape under each two-dimensional mode.
std::optional<Ints> layout_2d(const std::string& mode, const Ints& s) {
  if (s.size() == 1) {
    if (mode == "AB11"sv) return Ints{s[0], 1, 1};
    if (mode == "1A1B"sv) return Ints{1, s[0]};
    if (mode == "11AB"sv) return Ints{1, 1, s[0]};
  } else if (s.size() == 2) {
    if (mode == "AB11"sv) return Ints{s[0], s[1], 1, 1};
    if (mode == "1A1B"sv) return Ints{1, s[0], 1, s[1]};
    if (mode == "11AB"sv) return Ints{1, 1, s[0], s[1]};
  }
  return std::nullopt;
}

// A 2-D layer norm over its last axis normalises over the trailing axes its
// normalized_shape takes in the layout; under "11AB" ([x, y] as [1, 1, x, y],
// [y] as [1, 1, y]) that takes in x as well.
Reason layernorm_block_grows(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto shape = shape_of(g, node.outputs().at(0));
  const auto norm = ints_attr(node, "normalized_shape");
  const std::string& mode = g.config.unsqueeze_2d_mode;
  if (!shape || shape->size() != 2 || !norm || norm->size() != 1 || !layout_2d(mode, *shape)) return std::nullopt;
  const Ints laid_out = *layout_2d(mode, *shape), norm_laid_out = *layout_2d(mode, *norm);
  const auto block = prod(laid_out, laid_out.size() - norm_laid_out.size());
  if (block && *block != (*norm)[0])
    return "normalized_shape " + text(*norm) + " becomes " + text(norm_laid_out) + " in the " + mode + " layout " +
           text(laid_out) + ": it would normalise over " + std::to_string(*block) + " values, not " +
           std::to_string((*norm)[0]);
  return std::nullopt;
}

// The rule keeps the axes of a rank 1-3 normalisation as written while its layout moves the axes.
Reason mvn_axes_off_layout(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto shape = shape_of(g, node.outputs().at(0));
  if (!shape || shape->empty() || shape->size() > 3) return std::nullopt;
  static const std::vector<Ints> where_by_rank = {{}, {1}, {0, 1}, {0, 1, 3}};  // "1A11", "AB11", "AB1C"
  const Ints& where = where_by_rank[shape->size()];
  Ints laid_out(4, 1);
  for (size_t a = 0; a < where.size(); ++a) laid_out[static_cast<size_t>(where[a])] = (*shape)[a];
  const auto axes = ints_attr(node, "axes");
  const auto rank = static_cast<int64_t>(shape->size());
  if (!axes || axes->empty()) return std::nullopt;
  for (int64_t a : *axes)
    if (a < -rank || a >= rank) return std::nullopt;
  std::set<int64_t> wanted, kept;
  for (int64_t a : *axes) {
    const int64_t w = where[static_cast<size_t>(py_mod(a, rank))], k = py_mod(a, 4);
    if (laid_out[static_cast<size_t>(w)] != 1) wanted.insert(w);
    if (laid_out[static_cast<size_t>(k)] != 1) kept.insert(k);
  }
  if (wanted != kept)
    return "axes " + text(*axes) + " stay as written while the layout puts " + text(*shape) + " at " +
           text(laid_out) + ": it would normalise over other axes";
  return std::nullopt;
}

// A rank-3 GlobalMaxPool pools its last axis; a layout other than "AB1C" pools another one.
Reason global_maxpool_layout(const Graph& g, const std::vector<Node*>& chain) {
  const auto shape = shape_of(g, chain[0]->inputs().at(0));
  if (g.config.dynamic_shapes || !shape || shape->size() != 3) return std::nullopt;
  const std::string mode = size_rule_mode((*shape)[0], (*shape)[1], (*shape)[2]);
  if (mode == "AB1C"sv || (mode == "1ABC"sv && (*shape)[1] == 1)) return std::nullopt;
  return "the layout " + mode + " of " + text(*shape) + " puts a pooled axis on the channels";
}

// "AC1B" lays [a, 1, c] out as [a, c, 1, 1], which is a plain view only while
// the middle axis stays 1: an output that widens it comes back reordered.
Reason middle_axis_widened(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto shape = shape_of(g, node.inputs().at(0)), out = shape_of(g, node.outputs().at(0));
  if (g.config.dynamic_shapes || !shape || shape->size() != 3 || !out || out->size() != 3) return std::nullopt;
  if (size_rule_mode((*shape)[0], (*shape)[1], (*shape)[2]) == "AC1B"sv && (*out)[1] != 1)
    return "the layout AC1B of " + text(*shape) +
           " moves the last axis in front of the unit middle axis, which the output widens to " +
           std::to_string((*out)[1]);
  return std::nullopt;
}

// Only indices [d0, d1, d2, 3] are rewritten for the layout of rank-3 data;
// any other index layout (and any of rank-1 data) keeps tuples that address
// other axes, or updates of the wrong shape.
Reason scatternd_index_layout(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto data = shape_of(g, node.outputs().at(0));
  if (!data || (data->size() != 1 && data->size() != 3) || node.inputs().size() < 2) return std::nullopt;
  const auto indices = shape_of(g, node.inputs()[1]);
  if (!indices || !g.is_const(node.inputs()[1])) return std::nullopt;
  for (const Name& t : node.inputs()) {
    if (t.empty() || g.is_const(t)) continue;
    const auto s = shape_of(g, t);
    if ((s && !s->empty() ? s->size() : data->size()) != data->size()) return std::nullopt;  // the rule declines
  }
  if (indices->size() == 4 && (*indices)[3] == 3) return std::nullopt;
  return "indices " + text(*indices) + " of rank-" + std::to_string(data->size()) +
         " data: only indices [d0, d1, d2, 3] are rewritten for the layout";
}

// ---------------------------------------------------------------- five-dimensional operators losing a unit axis

bool is_reduce(const std::string& op) {
  static const std::set<std::string> ops = {"ReduceMean", "ReduceMax",  "ReduceMin",    "ReduceSum",
                                            "ReduceL2",   "ReduceL1",   "ReduceProd",   "ReduceLogSum",
                                            "ReduceLogSumExp", "ReduceSumSquare"};
  return ops.count(op) != 0;
}

// The unit axis (0 or 1) the squeeze rule takes out of a five-dimensional
// node, or nullopt where it declines: the last non-constant input decides for
// the reductions, Split and Slice, the last output for the others.
std::optional<int64_t> squeeze_removed_axis(const Graph& g, const Node& node) {
  const bool by_inputs = is_reduce(node.op_type) || node.op_type == "Split"sv || node.op_type == "Slice"sv;
  Names names;
  if (by_inputs) {
    for (const Name& t : node.inputs())
      if (!t.empty() && !g.is_const(t)) names.push_back(t);
  } else {
    names = node.outputs();
  }
  std::optional<int64_t> axis;
  for (const Name& t : names) {
    const auto shape = shape_of(g, t);
    if (!shape || shape->size() != 5 || ((*shape)[0] != 1 && (*shape)[1] != 1)) return std::nullopt;
    axis = (*shape)[0] == 1 ? 0 : 1;
  }
  if (!axis || (g.config.dynamic_shapes && *axis != 0)) return std::nullopt;
  return axis;
}

// The rule renumbers an axis equal to the removed one to the axis before it
// (the last one for axis 0): an operator along the removed unit axis would
// run along an axis that is not a unit axis.
Reason along_removed_axis(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto gone = squeeze_removed_axis(g, node);
  const auto shape = shape_of(g, node.inputs().at(0));
  const bool old_softmax = (node.op_type == "Softmax"sv || node.op_type == "LogSoftmax"sv) && g.opset_version() < 13;
  const int64_t axis = int_attr(node, "axis").value_or(old_softmax ? 1 : -1);
  if (!gone || !shape || shape->size() != 5 || py_mod(axis, 5) != *gone) return std::nullopt;
  const size_t moved_to = *gone == 0 ? 4 : 0;
  if ((*shape)[moved_to] == 1) return std::nullopt;
  return node.op_type + " runs along the unit axis " + std::to_string(*gone) +
         " that the rewrite removes; it would run along axis " + std::to_string(moved_to) + " (extent " +
         std::to_string((*shape)[moved_to]) + ")";
}

// Output-judged operators take the removed axis from their output; an input
// that is not a unit axis there (TopK with K = 1, a Pad cropping to 1, a
// Resize shrinking to 1) would lose real data.
Reason unit_axis_from_output(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto gone = squeeze_removed_axis(g, node);
  if (!gone) return std::nullopt;
  for (size_t k = 0; k < node.inputs().size(); ++k) {
    const Name& t = node.inputs()[k];
    if (t.empty() || (node.op_type == "ScatterND"sv && k == 1)) continue;
    const auto shape = shape_of(g, t);
    if (shape && shape->size() == 5 && (*shape)[static_cast<size_t>(*gone)] != 1)
      return "input '" + t + "' " + text(*shape) + " has extent " +
             std::to_string((*shape)[static_cast<size_t>(*gone)]) + " on axis " + std::to_string(*gone) +
             ", the output's unit axis the rewrite removes";
  }
  return std::nullopt;
}

// Dropping the removed axis from the indices is exact only when the updates
// lose the same unit axis (updates of rank 5 or more) and, for axis 1, the
// index tuples have a coordinate for it to lose.
Reason scatternd_updates_rank(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto gone = squeeze_removed_axis(g, node);
  if (!gone || node.inputs().size() < 3 || !g.is_const(node.inputs()[1])) return std::nullopt;
  const auto indices = shape_of(g, node.inputs()[1]), updates = shape_of(g, node.inputs()[2]);
  if (!indices || !updates) return std::nullopt;
  if (indices->size() >= 3 && indices->size() <= 6 && (*indices)[static_cast<size_t>(*gone)] == 1) {
    if (updates->size() < 5)
      return "updates " + text(*updates) + " of rank " + std::to_string(updates->size()) +
             " would be given leading unit axes instead of losing one";
    if (*gone == 1 && indices->back() < 2) return std::string("index tuples of one coordinate have no coordinate of axis 1 to lose");
  } else if (*gone == 1 && indices->size() == 2 && indices->back() > 1) {
    return "index tuples " + text(*indices) + " keep a coordinate of the removed axis 1";
  }
  return std::nullopt;
}

// ---------------------------------------------------------------- operator lowering

// The last Pow's one-element exponent broadcasts a scalar result to shape [1].
Reason reducel2_scalar(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain[0];
  const auto out = shape_of(g, node.outputs().at(0));
  const auto in = node.inputs().empty() ? std::nullopt : shape_of(g, node.inputs()[0]);
  if (out && out->empty() && in && in->size() == 4)
    return std::string("its result is a scalar, which the one-element exponent of the square root makes [1]");
  return std::nullopt;
}

// `node` is an Add, Sub, Mul or Div whose first other operand than `tensor` is 4-D.
bool reads_beside_4d(const Graph& g, const Node& node, const Name& tensor) {
  static const std::set<std::string> ops = {"Add", "Sub", "Mul", "Div"};
  if (!ops.count(node.op_type)) return false;
  for (const Name& t : node.inputs()) {
    if (t == tensor) continue;
    const auto s = shape_of(g, t);
    return s && s->size() == 4;
  }
  return false;
}

// The rule makes a Reshape read only by elementwise operators beside 4-D
// operands write the 4-D form of its result in place; a graph output would
// change shape.
Reason reshape_output_is_graph_output(const Graph& g, const std::vector<Node*>& chain) {
  const Name& out = chain[0]->outputs().at(0);
  if (!g.is_graph_output(out)) return std::nullopt;
  const auto shape = shape_of(g, out);
  if ((shape && !shape->empty() ? shape->size() : 4) >= 4) return std::nullopt;
  const std::vector<Node*> readers = g.next_nodes(*chain[0]);
  if (readers.empty()) return std::nullopt;
  for (Node* r : readers)
    if (!reads_beside_4d(g, *r, out)) return std::nullopt;
  return "its output '" + out + "' is a graph output, whose shape the rewrite would change";
}

// ArgMax/ArgMin results keep their axis up to the Casts behind them; a graph
// output among those tensors would change shape.
Reason argreduce_chain_output(const Graph& g, const std::vector<Node*>& chain) {
  const Node* node = chain[0];
  if (int_attr(*node, "keepdims") == std::optional<int64_t>(1)) return std::nullopt;
  std::set<Name> seen = {node->name};
  while (true) {
    const std::vector<Node*> next = g.next_nodes(*node);
    if (next.size() != 1 || next[0]->op_type != "Cast"sv || seen.count(next[0]->name)) return std::nullopt;
    const Name& kept = node->outputs().at(0);
    if (g.is_graph_output(kept)) return "graph output '" + kept + "' would keep the reduced axis";
    node = next[0];
    seen.insert(node->name);
  }
}

// ---------------------------------------------------------------- window partitions

// The first axis of the window block the fusion finds in the Transpose's output.
std::optional<size_t> window_position(const Ints& shape, const Ints& perm) {
  for (size_t i = 0; i + 3 < shape.size(); ++i) {
    if (i + 4 > perm.size()) break;
    Ints part;
    for (size_t k = i; k < i + 4; ++k) part.push_back(perm[k] - static_cast<int64_t>(i));
    const int64_t s0 = shape[i], s1 = shape[i + 1], s2 = shape[i + 2], s3 = shape[i + 3];
    if (part == Ints{0, 2, 1, 3} && ((s0 == s1 && s2 == s3) || (s0 == s2 && s1 == s3))) return i;
    if (part == Ints{1, 3, 0, 2} && s0 == s1 && s2 == s3) return i;
  }
  return std::nullopt;
}

// (first, last) of the first run of `shape` that starts at block[0] and
// multiplies up to the block's size (last one past the run when it
// overshoots, first - 1 for the empty run of a block of unit extents): where
// the fusion looks for the window.
std::optional<std::pair<int64_t, int64_t>> first_run(const Ints& shape, const Ints& block) {
  const auto size = prod(block), total = prod(shape);
  if (!size || !total || *size == 0 || *size > *total || *total % *size) return std::nullopt;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] != block[0]) continue;
    int64_t p = 1;
    size_t end = i;
    while (p < *size && end < shape.size()) {
      if (__builtin_mul_overflow(p, shape[end], &p)) return std::nullopt;
      ++end;
    }
    const auto e = static_cast<int64_t>(end);
    if (p >= *size) return std::make_pair(static_cast<int64_t>(i), p == *size ? e - 1 : e);
  }
  return std::nullopt;
}

// The fusion reads only the four window entries of the perm, and looks for the
// window axes in the first Reshape's output as the first run that starts with
// the block's leading extent: a Transpose that also moves other axes, or a
// batch or channel extent equal to that extent, gives exWindow other data.
Reason window_elsewhere(const Graph& g, const std::vector<Node*>& chain) {
  if (chain.size() < 2) return std::nullopt;
  const auto view = shape_of(g, chain[0]->outputs().at(0)), out = shape_of(g, chain[1]->outputs().at(0));
  const auto perm = ints_attr(*chain[1], "perm");
  if (!view || view->empty() || !out || out->empty() || !perm || perm->empty() || view->size() != perm->size() ||
      out->size() < 5 || *std::min_element(view->begin(), view->end()) < 1)
    return std::nullopt;
  for (int64_t p : *perm)
    if (p < 0 || p >= static_cast<int64_t>(view->size())) return std::nullopt;
  const auto pos = window_position(*out, *perm);
  if (!pos || *pos + 4 > view->size()) return std::nullopt;
  const Ints block(view->begin() + static_cast<long>(*pos), view->begin() + static_cast<long>(*pos) + 4);
  const auto run = first_run(*view, block);
  const auto n = static_cast<int64_t>(view->size());
  if (!run || run->second >= n) return std::nullopt;
  const auto [first, last] = *run;
  auto at = [&](int64_t k) { return (*view)[static_cast<size_t>(k < 0 ? k + n : k)]; };
  std::optional<int64_t> outer = prod(*view, 0, static_cast<size_t>(first)), inner = 1;
  if (last != n - 1) {
    if (outer) outer = *outer * (at(first) / block[0]);
    inner = prod(*view, static_cast<size_t>(last + 1));
    if (inner) inner = *inner * (at(last) / block[3]);
  }
  const auto whole = prod(*view), block_size = prod(block);
  int64_t product = 0;
  if (!outer || !inner || !whole || !block_size || __builtin_mul_overflow(*outer, *block_size, &product) ||
      __builtin_mul_overflow(product, *inner, &product) || product != *whole)
    return std::nullopt;  // the fusion declines on its own
  Ints outside;
  for (size_t k = 0; k < perm->size(); ++k)
    if ((k < *pos || k >= *pos + 4) && (*view)[static_cast<size_t>((*perm)[k])] != 1) outside.push_back((*perm)[k]);
  if (!std::is_sorted(outside.begin(), outside.end()))
    return "perm " + text(*perm) + " also moves axes outside the window axes " + std::to_string(*pos) + " to " +
           std::to_string(*pos + 3);
  if (outer != prod(*view, 0, *pos))
    return "the window axes " + text(block) + " of " + text(*view) + " are looked for at axis " +
           std::to_string(first) + " instead of " + std::to_string(*pos);
  return std::nullopt;
}

}  // namespace

std::string size_rule_mode(int64_t a, int64_t b, int64_t c) {
  if ((b >= a && b >= c) || b >= 4) return "AB1C";
  if ((a >= b && a >= c) || a >= 4) return "1ABC";
  if (b != 1) return b >= a ? "AB1C" : "1ABC";
  return "AC1B";
}

const std::vector<NativeGuard>& native_guards() {
  static const std::vector<NativeGuard> guards = {
      {"layernorm_block_grows", "_p_unsqueeze_to_4d", {"exLayerNorm"}, layernorm_block_grows,
       "A 2-D layer norm over its last axis normalises over the trailing axes its normalized_shape takes in the "
       "layout; under \"11AB\" that takes in the first axis as well."},
      {"mvn_axes_off_layout", "_p_unsqueeze_to_4d", {"exMeanVarianceNormalization"}, mvn_axes_off_layout,
       "The rule keeps the axes of a rank 1-3 normalisation as written while its layout moves the axes."},
      {"global_maxpool_layout", "_p_unsqueeze_to_4d", {"GlobalMaxPool"}, global_maxpool_layout,
       "A rank-3 GlobalMaxPool pools its last axis; a layout other than \"AB1C\" pools another one."},
      {"middle_axis_widened", "_p_unsqueeze_to_4d", {"Pad", "Pow", "Resize"}, middle_axis_widened,
       "\"AC1B\" lays [a, 1, c] out as [a, c, 1, 1], a plain view only while the middle axis stays 1."},
      {"scatternd_index_layout", "_p_unsqueeze_to_4d", {"ScatterND"}, scatternd_index_layout,
       "Only indices [d0, d1, d2, 3] are rewritten for the layout of rank-3 data."},
      {"along_removed_axis", "_p_squeeze_to_4d", {"Softmax", "LogSoftmax", "exSoftmax13", "TopK"},
       along_removed_axis, "An operator along the removed unit axis would run along another axis."},
      {"unit_axis_from_output", "_p_squeeze_to_4d", {}, unit_axis_from_output,
       "An input that is not a unit axis where the output is would lose real data."},
      {"scatternd_updates_rank", "_p_squeeze_to_4d", {"ScatterND"}, scatternd_updates_rank,
       "Dropping the removed axis from the indices is exact only when the updates lose it too."},
      {"reducel2_scalar", "_p_convert_reduce_L2_to_pow_sum_pow", {}, reducel2_scalar,
       "The last Pow's one-element exponent broadcasts a scalar result to shape [1]."},
      {"reshape_output_is_graph_output", "_p_unsqueeze_to_4d_reshape_with_elementwise_op", {},
       reshape_output_is_graph_output, "A graph output written in place in its 4-D form would change shape."},
      {"argreduce_chain_output", "_p_convert_keepdims_to_1", {"ArgMax", "ArgMin"}, argreduce_chain_output,
       "ArgMax/ArgMin results keep their axis up to the Casts behind them; a graph output there would change."},
      {"window_elsewhere", "_p_fuse_reshape_tp_reshape_to_exWindow", {}, window_elsewhere,
       "The fusion finds the window where the first Reshape's output has its first run of the block's extents."},
  };
  return guards;
}

}  // namespace vexo::graph
