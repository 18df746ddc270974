// The converter's rank-4 rules (see rank4_rules.hpp).  Each rule reads its
// match and decides everything before it writes, so a refusal changes nothing.
#include "rank4_rules.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <string>

#include "rank4_algebra.hpp"
#include "shape_common.hpp"
#include "unsqueeze_algebra.hpp"

namespace vexo::rank4 {

using namespace vexo::dims;

namespace {

// ============================================================ reading the match

std::string attr_what(const Node& node, const char* attr) {
  return "attribute '" + std::string(attr) + "' of node '" + node.name() + "'";
}

int64_t int_attr(const Ir& ir, const Node& node, const char* name, int64_t dflt) {
  const Ref v = ir.get_attr(node, name);
  return v.is_none() ? dflt : to_int(v, attr_what(node, name));
}

double real_attr(const Ir& ir, const Node& node, const char* name, double dflt) {
  const Ref v = ir.get_attr(node, name);
  return v.is_none() ? dflt : to_double(v, attr_what(node, name));
}

// A Transpose's permutation; without "perm" it reverses its axes.
Ints transpose_perm(const Ir& ir, const Node& tp, size_t rank) {
  const Ref perm = ir.get_attr(tp, "perm");
  return perm.is_none() ? reversed_axes(rank) : to_ints(perm, attr_what(tp, "perm"));
}

// An axis attribute within [-rank, rank) made non-negative; nullopt outside.
std::optional<int64_t> axis_in(int64_t axis, size_t rank) {
  const auto r = static_cast<int64_t>(rank);
  if (axis < -r || axis >= r) return std::nullopt;
  return axis < 0 ? axis + r : axis;
}

bool present(const Node& node, size_t i) { return i < node.num_inputs() && !node.input(i).empty(); }

// The node that writes `tensor`, among the producers of `node`'s inputs.
std::optional<Node> writer_of(const Ir& ir, const Node& node, const std::string& tensor) {
  for (const Node& p : ir.pre_nodes(node))
    for (const std::string& out : p.outputs())
      if (out == tensor) return p;
  return std::nullopt;
}

// ============================================================ writing

// The node reads `tensor` through a Reshape to `shape` at input `i`; a
// constant takes the shape in place.  Nothing is built when the shape stays.
void reshape_input(const Ir& ir, const Builder& g, const Node& node, size_t i, const Shape& shape) {
  const std::string tensor = node.input(i);
  if (ir.shape_raw(tensor) == shape) return;
  if (ir.is_const(tensor)) {
    ir.set_shape(tensor, shape);
    return;
  }
  node.set_input(i, g.op("Reshape", {tensor, shape}));
}

// Output `i` of the node is led back to its former shape and name by a
// Reshape; the node itself now writes a tensor of shape `shape`.
void reshape_output(const Ir& ir, const Builder& g, const Node& node, size_t i, const Shape& shape) {
  const std::string out = node.output(i);
  const Shape former = ir.shape_raw(out).value_or(Shape{});
  const std::string inner = g.op("Reshape", {None{}, former}, {{"outputs", Strings{out}}});
  node.set_output(i, inner);
  ir.set_shape(inner, shape, ir.dtype(out));
}

// The last node of a replacement writes the matched node's output under its name.
void write_back(const Builder& g, const std::string& from, const Shape& shape, const std::string& out) {
  g.op("Reshape", {from, shape}, {{"outputs", Strings{out}}});
}

// ============================================================ Gemm as a 1x1 Conv

struct Gemm {
  explicit Gemm(Node n) : node(std::move(n)) {}
  Node node;
  std::string a, b, c, y;  // c empty without C
  int64_t m = 0, k = 0, n = 0;
  bool trans_a = false, trans_b = false;
  double alpha = 1.0, beta = 1.0;
  Shape c_shape;
  DType dtype = DType::Float32;
};

void read_gemm_attributes(const Ir& ir, Gemm& g) {
  g.trans_a = int_attr(ir, g.node, "transA", 0) != 0;
  g.trans_b = int_attr(ir, g.node, "transB", 0) != 0;
  g.alpha = real_attr(ir, g.node, "alpha", 1.0);
  g.beta = real_attr(ir, g.node, "beta", 1.0);
}

// B' must be [K, N] as A' and Y tell them and C must broadcast to [M, N],
// both of A's element type (a constant B becomes the Conv's weight).
bool gemm_operands_fit(const Ir& ir, Gemm& g) {
  const auto b_shape = ir.shape(g.b);
  const Shape b_want = g.trans_b ? Shape{g.n, g.k} : Shape{g.k, g.n};
  if (!b_shape || *b_shape != b_want || element_type(ir.dtype(g.b)) != g.dtype) return false;
  if (g.c.empty()) return true;
  const auto c_shape = ir.shape_raw(g.c);
  if (!c_shape || !broadcasts_to(*c_shape, {g.m, g.n}) || element_type(ir.dtype(g.c)) != g.dtype) return false;
  g.c_shape = *c_shape;
  return true;
}

std::optional<Gemm> match_gemm(const Ir& ir, const NodeList& nodes) {
  Gemm g(nodes.at(0));
  if (g.node.num_inputs() < 2 || g.node.num_outputs() < 1) return std::nullopt;
  g.a = g.node.input(0);
  g.b = g.node.input(1);
  g.c = present(g.node, 2) ? g.node.input(2) : "";
  g.y = g.node.output(0);
  const auto a_shape = ir.shape(g.a);
  const auto y_shape = ir.shape(g.y);
  const auto dtype = element_type(ir.dtype(g.a));
  if (!a_shape || a_shape->size() != 2 || !y_shape || y_shape->size() != 2) return std::nullopt;
  if (!dtype || !dims::dtype_is_floating(*dtype)) return std::nullopt;  // a Conv computes in floating point
  g.dtype = *dtype;
  read_gemm_attributes(ir, g);
  g.m = (*y_shape)[0];
  g.n = (*y_shape)[1];
  g.k = (*a_shape)[g.trans_a ? 0 : 1];
  if ((*a_shape)[g.trans_a ? 1 : 0] != g.m || !gemm_operands_fit(ir, g)) return std::nullopt;
  return g;
}

// A' as the Conv reads it: [M, K, 1, 1], through a Transpose when A is stored [K, M].
std::string conv_input(const Builder& g, const Gemm& gemm) {
  if (!gemm.trans_a) return g.op("Reshape", {gemm.a, Shape{gemm.m, gemm.k, 1, 1}});
  const std::string km = g.op("Reshape", {gemm.a, Shape{gemm.k, gemm.m, 1, 1}});
  return g.op("Transpose", {km}, {{"perm", Ints{1, 0, 2, 3}}});
}

// beta * C added to `acc`, whose layout puts C's two axes at `c_axes` (0 for
// [M, N, 1, 1], 2 for [1, 1, M, N]).
std::string add_addend(const Ir& ir, const Builder& g, const Gemm& gemm, const std::string& acc, size_t c_axes) {
  Shape shape = gemm_addend_shape(gemm.c_shape);  // [Mc, Nc, 1, 1]
  if (c_axes == 2) std::rotate(shape.begin(), shape.begin() + 2, shape.end());
  if (const auto c = ir.get_const(gemm.c)) return g.op("Add", {acc, scaled(*c, gemm.beta).reshape(shape)});
  std::string addend = g.op("Reshape", {gemm.c, shape});
  if (gemm.beta != 1.0) addend = g.op("Mul", {addend, Array::full(gemm.dtype, {1, 1, 1, 1}, gemm.beta)});
  return g.op("Add", {acc, addend});
}

// B constant: a 1x1 Conv over the rows as its batch, alpha folded into the
// weight and beta * C into the bias when C is the same for every row.
RuleResult gemm_as_conv(const Ir& ir, const Gemm& gemm, const Array& b) {
  const Array weight = gemm_conv_weight(b, gemm.trans_b, gemm.alpha);
  std::optional<Array> bias;
  if (!gemm.c.empty())
    if (const auto c = ir.get_const(gemm.c)) bias = gemm_row_bias(*c, gemm.n, gemm.beta);
  const Builder g(ir);
  std::vector<OpInput> inputs = {conv_input(g, gemm), weight};
  if (bias) inputs.emplace_back(*bias);
  std::string out = g.op("Conv", inputs,
                         {{"kernel_shape", Ints{1, 1}}, {"name", node_name_join(ir, gemm.node.name(), "_2conv")}});
  if (!gemm.c.empty() && !bias) out = add_addend(ir, g, gemm, out, 0);
  write_back(g, out, {gemm.m, gemm.n}, gemm.y);
  return replaced({gemm.node}, g);
}

// An operand of the MatMul form as [1, 1, rows, cols], transposed when stored the other way.
std::string matmul_operand(const Builder& g, const std::string& t, int64_t rows, int64_t cols, bool transposed) {
  if (!transposed) return g.op("Reshape", {t, Shape{1, 1, rows, cols}});
  const std::string stored = g.op("Reshape", {t, Shape{1, 1, cols, rows}});
  return g.op("Transpose", {stored}, {{"perm", Ints{0, 1, 3, 2}}});
}

// B computed at run time: a four-dimensional MatMul, then alpha and beta * C.
RuleResult gemm_as_matmul(const Ir& ir, const Gemm& gemm) {
  const Builder g(ir);
  const std::string a = matmul_operand(g, gemm.a, gemm.m, gemm.k, gemm.trans_a);
  const std::string b = matmul_operand(g, gemm.b, gemm.k, gemm.n, gemm.trans_b);
  std::string out = g.op("MatMul", {a, b}, {{"name", node_name_join(ir, gemm.node.name(), "_2matmul")}});
  if (gemm.alpha != 1.0) out = g.op("Mul", {out, Array::full(gemm.dtype, {1, 1, 1, 1}, gemm.alpha)});
  if (!gemm.c.empty()) out = add_addend(ir, g, gemm, out, 2);
  write_back(g, out, {gemm.m, gemm.n}, gemm.y);
  return replaced({gemm.node}, g);
}

RuleResult convert_gemm_to_conv(const Ir& ir, const NodeList& nodes, const Ref&) {
  const auto gemm = match_gemm(ir, nodes);
  if (!gemm) return no_change();
  if (const auto b = ir.get_const(gemm->b)) return gemm_as_conv(ir, *gemm, *b);
  return gemm_as_matmul(ir, *gemm);
}

// ============================================================ LayerNormalization on merged axes

struct LayerNorm {
  Node node;
  Shape x;
  int64_t axis = 0;
};

Shape without_leading_ones(Shape s) {
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), [](int64_t d) { return d != 1; }));
  return s;
}

// Scale and bias must cover the normalised axes: a constant that broadcasts
// to them is expanded, a computed one must have their extents already.
bool operand_fits(const Ir& ir, const std::string& t, const Shape& normalized) {
  const auto shape = ir.shape_raw(t);
  if (!shape) return false;
  if (ir.is_const(t)) return broadcasts_to(*shape, normalized);
  return without_leading_ones(*shape) == without_leading_ones(normalized);
}

std::optional<LayerNorm> match_layer_norm(const Ir& ir, const NodeList& nodes) {
  LayerNorm ln{nodes.at(0), {}, 0};
  const Node& node = ln.node;
  if (node.num_inputs() < 2 || node.num_outputs() < 1) return std::nullopt;
  const auto x = ir.shape(node.input(0));
  if (!x || x->size() == 4) return std::nullopt;
  const auto axis = axis_in(int_attr(ir, node, "axis", -1), x->size());
  if (!axis) return std::nullopt;
  const Shape normalized(x->begin() + *axis, x->end());
  for (size_t i = 1; i < 3; ++i)
    if (present(node, i) && !operand_fits(ir, node.input(i), normalized)) return std::nullopt;
  ln.x = *x;
  ln.axis = *axis;
  return ln;
}

void merge_operand(const Ir& ir, const Builder& g, const LayerNorm& ln, size_t i) {
  const Shape shape = layer_norm_operand_shape(ln.x, ln.axis);
  const std::string t = ln.node.input(i);
  if (const auto value = ir.get_const(t)) {
    const Shape normalized(ln.x.begin() + ln.axis, ln.x.end());
    ir.set_const(t, broadcast_to(*value, normalized).reshape(shape));
    return;
  }
  reshape_input(ir, g, ln.node, i, shape);
}

// Y, and the mean and inverse deviation when asked for, led back to their shapes.
void merge_outputs(const Ir& ir, const Builder& g, const LayerNorm& ln) {
  const Strings outputs = ln.node.outputs();
  for (size_t i = 0; i < outputs.size() && i < 3; ++i) {
    if (outputs[i].empty() || ir.is_invalid(outputs[i])) continue;
    reshape_output(ir, g, ln.node, i, i == 0 ? layer_norm_shape(ln.x, ln.axis) : layer_norm_stat_shape(ln.x, ln.axis));
  }
}

RuleResult layernorm_to_4d(const Ir& ir, const NodeList& nodes, const Ref&) {
  const auto ln = match_layer_norm(ir, nodes);
  if (!ln) return no_change();
  const Builder g(ir);
  reshape_input(ir, g, ln->node, 0, layer_norm_shape(ln->x, ln->axis));
  for (size_t i = 1; i < 3; ++i)
    if (present(ln->node, i)) merge_operand(ir, g, *ln, i);
  ir.set_attr(ln->node, "axis", int64_t{1});
  merge_outputs(ir, g, *ln);
  return added(g);
}

// ============================================================ unary elementwise operators

// The layout of a tensor of rank 1 to 3 as the dimension rules give it to
// Relu: "1A11" at rank 1, the host's 2-D mode at rank 2 ("AB11" when that
// mode does not reach four axes), the size rule at rank 3.
Shape raised_shape(const Ir& ir, const Shape& s, const std::string& name) {
  std::string mode = "1A11";
  if (s.size() == 2) mode = ir.unsqueeze_2d_mode();
  if (s.size() == 3) mode = ir.dynamic_shapes() ? "AB1C" : size_rule_mode(s[0], s[1], s[2]);
  Checked<Ints> mapped = _new_shape(s, mode, name);
  if (mapped.failed() || mapped.value.size() != 4) mapped = _new_shape(s, "AB11", name);
  return mapped.value;
}

Shape unary_shape(const Ir& ir, const Shape& s, const std::string& name) {
  if (s.empty() || s.size() > 4) return merged_to_4d(s);
  return raised_shape(ir, s, name);
}

// Operands after the first (Clip's bounds) are scalars the layout does not touch.
bool only_scalar_operands(const Ir& ir, const Node& node) {
  for (size_t i = 1; i < node.num_inputs(); ++i) {
    if (node.input(i).empty()) continue;
    const auto shape = ir.shape_raw(node.input(i));
    if (!shape || !shape->empty()) return false;
  }
  return true;
}

RuleResult unary_to_4d(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node node = nodes.at(0);
  if (node.num_inputs() < 1 || node.num_outputs() != 1 || node.input(0).empty()) return no_change();
  const std::string out = node.output(0);
  const auto shape = ir.shape_raw(out);
  if (!shape || shape->size() == 4 || ir.shape_raw(node.input(0)) != shape) return no_change();
  if (!only_scalar_operands(ir, node)) return no_change();
  const Shape four = unary_shape(ir, *shape, out);
  if (four.size() != 4) return no_change();
  const Builder g(ir);
  reshape_input(ir, g, node, 0, four);
  reshape_output(ir, g, node, 0, four);
  return added(g);
}

// ============================================================ one index gathered from five axes

struct GatherOne {
  Node node;
  std::string data, out;
  Shape data_shape, out_shape;
  int64_t axis = 0, index = 0;
};

// A Gather of one constant index on a tensor of five or more axes.
std::optional<GatherOne> match_gather_one(const Ir& ir, const Node& node) {
  if (node.num_inputs() != 2 || node.num_outputs() != 1) return std::nullopt;
  GatherOne gather{node, node.input(0), node.output(0), {}, {}};
  const auto data = ir.shape(gather.data);
  const auto out = ir.shape_raw(gather.out);
  const auto indices = ir.get_const(node.input(1));
  if (!data || data->size() < 5 || !out || !indices || indices->size() != 1) return std::nullopt;
  if (!dims::dtype_is_integer(indices->dtype())) return std::nullopt;
  const auto axis = axis_in(int_attr(ir, node, "axis", 0), data->size());
  if (!axis) return std::nullopt;
  const auto index = axis_in(indices->get_int(0), static_cast<size_t>((*data)[static_cast<size_t>(*axis)]));
  if (!index) return std::nullopt;
  gather.data_shape = *data;
  gather.out_shape = *out;
  gather.axis = *axis;
  gather.index = *index;
  return gather;
}

// The Transpose of five axes that writes the gathered tensor, when the slice
// can be taken ahead of it.
struct SliceAhead {
  Node transpose;
  Shape in_shape;
  Ints perm;
};

std::optional<SliceAhead> slice_ahead(const Ir& ir, const GatherOne& gather) {
  if (gather.data_shape.size() != 5) return std::nullopt;
  const auto tp = writer_of(ir, gather.node, gather.data);
  if (!tp || tp->op_type() != "Transpose" || tp->num_inputs() < 1) return std::nullopt;
  const auto in_shape = ir.shape(tp->input(0));
  if (!in_shape || in_shape->size() != 5) return std::nullopt;
  const Ints perm = transpose_perm(ir, *tp, 5);
  if (!is_permutation(perm, 5)) return std::nullopt;
  return SliceAhead{*tp, *in_shape, perm};
}

bool slice_available(const Ir& ir) { return ir.opset_version() >= 10; }  // Slice reads its bounds as inputs

// One channel of `data` viewed with the gathered axis as the channels; the
// Slice is named after the Gather it replaces.
std::string slice_one(const Ir& ir, const Builder& g, const GatherOne& gather, const std::string& data,
                      const Shape& shape, int64_t axis) {
  const std::string view = g.op("Reshape", {data, gather_view(shape, axis)});
  return g.op("Slice", {view, Ints{gather.index}, Ints{gather.index + 1}, Ints{1}},
              {{"name", node_name_join(ir, gather.node.name(), "_2slice")}});
}

// The slice taken from the Transpose's input along the axis the Transpose
// moves to the gathered position, then the other four axes transposed.
std::string slice_then_transpose(const Ir& ir, const Builder& g, const GatherOne& gather, const SliceAhead& ahead) {
  const int64_t in_axis = ahead.perm[static_cast<size_t>(gather.axis)];
  std::string out = slice_one(ir, g, gather, ahead.transpose.input(0), ahead.in_shape, in_axis);
  out = g.op("Reshape", {out, without_axis(ahead.in_shape, in_axis)});
  const Ints perm = perm_without(ahead.perm, gather.axis);
  return perm == Ints{0, 1, 2, 3} ? out : g.op("Transpose", {out}, {{"perm", perm}});
}

RuleResult gather_to_4d_slice(const Ir& ir, const NodeList& nodes, const Ref&) {
  const auto gather = match_gather_one(ir, nodes.at(0));
  if (!gather || !slice_available(ir)) return no_change();
  const Builder g(ir);
  const auto ahead = slice_ahead(ir, *gather);
  const std::string out = ahead ? slice_then_transpose(ir, g, *gather, *ahead)
                                : slice_one(ir, g, *gather, gather->data, gather->data_shape, gather->axis);
  write_back(g, out, gather->out_shape, gather->out);
  return replaced({gather->node}, g);
}

// ============================================================ Transposes of five axes

// Every reader of the Transpose is a Gather that takes its slice ahead of it,
// after which the Transpose is read by nothing.
bool left_to_gathers(const Ir& ir, const Node& tp) {
  if (ir.is_graph_output(tp.output(0))) return false;
  for (const Node& reader : ir.next_nodes(tp)) {
    if (reader.op_type() != "Gather" || reader.num_inputs() < 1 || reader.input(0) != tp.output(0)) return false;
    const auto gather = match_gather_one(ir, reader);
    if (!gather || !slice_ahead(ir, *gather)) return false;
  }
  return true;
}

RuleResult split_5d_transpose(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node tp = nodes.at(0);
  if (tp.num_inputs() < 1 || tp.num_outputs() != 1) return no_change();
  const auto in_shape = ir.shape(tp.input(0));
  const auto out_shape = ir.shape(tp.output(0));
  if (!in_shape || in_shape->size() != 5 || !out_shape) return no_change();
  const Ints perm = transpose_perm(ir, tp, 5);
  if (!is_permutation(perm, 5) || (slice_available(ir) && left_to_gathers(ir, tp))) return no_change();
  const auto steps = split_into_mergeable(perm);
  if (!steps) return no_change();  // the identity has no steps and becomes a Reshape
  const Builder g(ir);
  std::string cur = tp.input(0);
  Shape shape = *in_shape;
  for (const Ints& step : *steps) {
    const MergedStep m = merge_step(shape, step);
    cur = g.op("Reshape", {cur, m.view});
    cur = g.op("Transpose", {cur}, {{"perm", m.perm}, {"name", node_name_join(ir, tp.name(), "_2tp")}});
    shape = m.out;
  }
  write_back(g, cur, *out_shape, tp.output(0));
  return replaced({tp}, g);
}

// ============================================================ documentation and tables

constexpr const char* kGemmDoc =
    "A two-dimensional Gemm as a four-dimensional operator.\n\n"
    "Matched operators: Gemm on floating-point tensors, with transA/transB, alpha/beta and an optional C "
    "that broadcasts to the output.\n\n"
    "Approach: with a constant B, A' (transposed when transA) is viewed as [M, K, 1, 1] and runs through a "
    "1x1 Conv whose weight is alpha * B' as [N, K, 1, 1]; beta * C becomes the Conv's bias when it is the "
    "same for every row, else an Add of beta * C as [M, N, 1, 1] after it.  With B computed at run time the "
    "operands are viewed as [1, 1, M, K] and [1, 1, K, N] for a MatMul, followed by a Mul by alpha and the Add "
    "of beta * C.  A Reshape writes the former output.";

constexpr const char* kLayerNormDoc =
    "LayerNormalization of a rank other than 4 on merged axes.\n\n"
    "Matched operators: LayerNormalization whose scale and bias cover the normalised axes.\n\n"
    "Approach: the axes ahead of `axis` are merged into the batch and the normalised ones into the channels, "
    "[outer, inner, 1, 1], and the node normalises over axis 1, which covers the same elements; constant scale "
    "and bias are expanded to the normalised axes and stored as [1, inner, 1, 1], computed ones reshaped so.  Every "
    "output is led back to its former shape and name by a Reshape (the mean and inverse deviation from "
    "[outer, 1, 1, 1]).";

constexpr const char* kUnaryDoc =
    "An elementwise operator of one data input on a tensor of rank other than 4, made four-dimensional.\n\n"
    "Matched operators: the unary standard operators that work per element (activations, rounding, "
    "trigonometric and hyperbolic functions, Cast, Not, IsNaN, ...), with scalar bounds at most.\n\n"
    "Approach: ranks 1 to 3 take the layout the dimension rules give Relu (\"1A11\", the 2-D mode, the size "
    "rule); a scalar becomes [1, 1, 1, 1]; above four axes, unit axes are dropped from the front and the "
    "leading axes merged.  The data input is reshaped to that layout and the output led back by a Reshape; "
    "an elementwise operator computes the same values in any layout.";

constexpr const char* kGatherDoc =
    "A Gather of one constant index on a tensor of five or more axes as a four-dimensional Slice.\n\n"
    "Matched operators: Gather whose indices hold one element.\n\n"
    "Approach: the data is viewed as [outer, extent, inner, 1] with the gathered axis as the channels and the "
    "one channel sliced out.  When a Transpose of five axes writes the data, the slice is taken from the "
    "Transpose's input along the axis it moves to the gathered position, and a four-dimensional Transpose of "
    "the remaining axes follows.  A Reshape writes the former output.";

constexpr const char* kTransposeDoc =
    "A Transpose of five axes as four-dimensional Transposes.\n\n"
    "Matched operators: Transpose with a five-dimensional input, unless every reader is a Gather that takes "
    "its slice ahead of it.\n\n"
    "Approach: the permutation is split into the shortest sequence of permutations that each keep two "
    "adjacent axes together; each runs as a four-dimensional Transpose on a view with that pair merged, and a "
    "Reshape writes the former output.";

// Standard operators of one data input that compute each element from the
// element at the same position (Clip's bounds are scalars).
constexpr const char* kUnaryOps[] = {
    "Abs",      "Acos",        "Acosh",     "Asin",       "Asinh",  "Atan",     "Atanh",   "BitwiseNot", "Cast",
    "Ceil",     "Celu",        "Clip",      "Cos",        "Cosh",   "Elu",      "Erf",     "Exp",        "Floor",
    "Gelu",     "HardSigmoid", "HardSwish", "IsInf",      "IsNaN",  "LeakyRelu", "Log",    "Mish",       "Neg",
    "Not",      "Reciprocal",  "Relu",      "Round",      "Selu",   "Shrink",   "Sigmoid", "Sign",       "Sin",
    "Sinh",     "Softplus",    "Softsign",  "Sqrt",       "Swish",  "Tan",      "Tanh",    "ThresholdedRelu"};

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

}  // namespace

const std::vector<RuleDef>& rank4_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_convert_gemm_to_conv", convert_gemm_to_conv, kGemmDoc},
      {"_p_layernorm_to_4d", layernorm_to_4d, kLayerNormDoc},
      {"_p_unary_to_4d", unary_to_4d, kUnaryDoc},
      {"_p_gather_to_4d_slice", gather_to_4d_slice, kGatherDoc},
      {"_p_split_5d_transpose", split_5d_transpose, kTransposeDoc},
  };
  return rules;
}

const std::vector<TableEntry>& rank4_dims_table() {
  static const std::vector<TableEntry> table = [] {
    static std::vector<std::string> names;  // entry names outlive the table built from them
    names.reserve(std::size(kUnaryOps));
    for (const char* op : kUnaryOps) names.push_back("unary_to_4d_" + lower(op));
    std::vector<TableEntry> t = {
        {"convert_gemm_to_conv", {"Gemm"}, "_p_convert_gemm_to_conv"},
        {"layernorm_to_4d", {"LayerNormalization"}, "_p_layernorm_to_4d"},
        {"gather_to_4d_slice", {"Gather"}, "_p_gather_to_4d_slice"},
        {"split_5d_transpose", {"Transpose"}, "_p_split_5d_transpose"},
    };
    for (size_t i = 0; i < names.size(); ++i) t.push_back({names[i].c_str(), {kUnaryOps[i]}, "_p_unary_to_4d"});
    return t;
  }();
  return table;
}

}  // namespace vexo::rank4
