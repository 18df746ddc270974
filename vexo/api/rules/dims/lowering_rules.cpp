// Operator lowering: operators the NPU runs poorly replaced by equivalents it
// runs well, or their attributes normalised.
#include "frame.hpp"
#include "lowering_algebra.hpp"

namespace vexo::dims {

// ============================================================ reductions, keepdims, Gather indices, softmax axis

namespace {

// A one-element float32 exponent, as Pow reads it.
Array pow_exponent(double value) { return Array::from_doubles({value}, DType::Float32); }

Ints last_two(const Ints& v) { return Ints(v.end() - 2, v.end()); }

// ------------------------------------------------ ReduceL2 as Pow, ReduceSum, Pow

RuleResult convert_reduce_L2_to_pow_sum_pow(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node reduce_L2 = nodes.at(0);
  const std::optional<Shape> in_shape = ir.shape(reduce_L2.input(0));
  if (!in_shape || in_shape->size() != 4) return no_change();

  const Ints reduce_axes = get_reduce_axes(ir, reduce_L2);
  const Ref keepdims = ir.get_attr(reduce_L2, "keepdims");
  const std::string out = reduce_L2.output(0);

  const Builder g(ir);
  const std::string pow_ = g.op("Pow", {reduce_L2.input(0), pow_exponent(2.0)});
  const std::string sum_ = g.op("ReduceSum", {pow_, reduce_axes},
                                {{"keepdims", keepdims}, {"outputs_ref", out}, {"name", reduce_L2.name() + "_2rsum"}});
  g.op("Pow", {sum_, pow_exponent(0.5)}, {{"outputs", out}});
  return replaced(std::vector<Node>{reduce_L2}, g);
}

// ------------------------------------------------ ReduceSum as Conv

// What the ReduceSum and ReduceMean rewrites read from the matched node.
struct ReduceMatch {
  Shape in_shape;
  Shape out_shape;
  Ints axes;
  Ref keepdims;  // None when absent
};

// The common preconditions of the ReduceSum/ReduceMean lowerings: a
// floating-point input, known input and output shapes, a rank-4 input.
std::optional<ReduceMatch> match_float_reduce_4d(const Ir& ir, const Node& reduce) {
  if (!dtype_is_floating(ir.dtype(reduce.input(0)))) return std::nullopt;
  std::optional<Shape> in_shape = ir.shape(reduce.input(0));
  std::optional<Shape> out_shape = ir.shape(reduce.output(0));
  if (!in_shape || !out_shape) return std::nullopt;
  ReduceMatch m{std::move(*in_shape), std::move(*out_shape), get_reduce_axes(ir, reduce),
                ir.get_attr(reduce, "keepdims")};
  if (m.in_shape.size() != 4) return std::nullopt;
  return m;
}

RuleResult convert_reduce_sum_to_conv(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node reduce_sum = nodes.at(0);
  const std::optional<ReduceMatch> m = match_float_reduce_4d(ir, reduce_sum);
  if (!m || m->axes.size() != 1) return no_change();
  const std::optional<int64_t> axis = single_reduce_axis(m->axes[0]);
  if (!axis) return no_change();
  const std::optional<ReduceSumConv> plan = plan_reduce_sum_conv(m->in_shape, *axis);
  if (!plan) return no_change();

  const Array weight_np = Array::full(DType::Float32, plan->weight_shape, 1.0);
  const std::string out = reduce_sum.output(0);
  const bool transposed = !plan->perm.empty();

  const Builder g(ir);
  const std::string tp0_ = transposed ? g.op("Transpose", {reduce_sum.input(0)}, {{"perm", plan->perm}})
                                      : reduce_sum.input(0);
  const std::string conv_ = g.op("Conv", {tp0_, weight_np},
                                 {{"name", reduce_sum.name() + "_2conv"},
                                  {"outputs_ref", out},
                                  {"auto_pad", std::string("NOTSET")},
                                  {"strides", Ints{1, 1}},
                                  {"kernel_shape", last_two(plan->weight_shape)},
                                  {"pads", Ints{0, 0, 0, 0}},
                                  {"group", plan->group}});
  const std::string tp1_ = transposed ? g.op("Transpose", {conv_}, {{"perm", plan->perm}}) : conv_;
  // keepdims 0 (or false) drops the axis: a Reshape writes the reduced shape.
  // An absent keepdims keeps it, so the last node writes the output directly.
  if (m->keepdims.equals(int64_t{0}))
    g.op("Reshape", {tp1_, m->out_shape}, {{"outputs", Strings{out}}});
  else
    g.last_node().set_output(0, out);
  return replaced(std::vector<Node>{reduce_sum}, g);
}

// ------------------------------------------------ ReduceMean as pooling

// An AveragePool over H or W, or, over C, a Conv with a weight of 1/C.
std::string make_avg(const Builder& g, int64_t axis, const std::string& inp, const Ints& k_shape,
                     const std::string& name, const Value& outputs, const Value& outputs_ref) {
  std::vector<OpInput> inputs{inp};
  if (axis == 1) {
    // float32 division, as the weight's own element type computes it
    const float w = 1.0f / static_cast<float>(k_shape[1]);
    inputs.emplace_back(Array::full(DType::Float32, k_shape, static_cast<double>(w)));
  }
  return g.op(axis == 1 ? "Conv" : "AveragePool", inputs,
              {{"auto_pad", std::string("NOTSET")},
               {"strides", Ints{1, 1}},
               {"kernel_shape", last_two(k_shape)},
               {"pads", Ints{0, 0, 0, 0}},
               {"outputs", outputs},
               {"outputs_ref", outputs_ref},
               {"name", name}});
}

// A mean over both spatial axes runs as a GlobalAveragePool.
RuleResult reduce_mean_to_global_avgpool(const Ir& ir, const Node& reduce_mean, const ReduceMatch& m,
                                         const std::string& name) {
  const Builder g(ir);
  const Strings o_names{reduce_mean.output(0)};
  if (m.keepdims.truthy()) {
    g.op("GlobalAveragePool", {reduce_mean.input(0)}, {{"outputs", o_names}, {"name", name}});
  } else {
    const std::string pooled =
        g.op("GlobalAveragePool", {reduce_mean.input(0)}, {{"outputs_ref", o_names}, {"name", name}});
    g.op("Reshape", {pooled, m.out_shape}, {{"outputs", o_names}});
  }
  return replaced(std::vector<Node>{reduce_mean}, g);
}

RuleResult convert_reduce_mean_to_avgpool(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node reduce_mean = nodes.at(0);
  const std::optional<ReduceMatch> m = match_float_reduce_4d(ir, reduce_mean);
  if (!m) return no_change();
  const std::string name = reduce_mean.name() + "_2avg";
  if (m->axes.size() != 1) {
    // Only the literal [2, 3]: [3, 2] or [-2, -1] stay with the general lowering.
    if (m->axes == Ints{2, 3}) return reduce_mean_to_global_avgpool(ir, reduce_mean, *m, name);
    return no_change();
  }
  const std::optional<int64_t> axis = single_reduce_axis(m->axes[0]);
  if (!axis) return no_change();
  const std::optional<Ints> k_shape = reduce_kernel_shape(m->in_shape, *axis);
  if (!k_shape) return no_change();

  const Builder g(ir);
  const Strings o_names{reduce_mean.output(0)};
  if (m->keepdims.truthy()) {
    make_avg(g, *axis, reduce_mean.input(0), *k_shape, name, o_names, None{});
  } else {
    // keepdims 0 or absent: the Reshape writes the output, absent giving the unchanged shape
    const std::string avg = make_avg(g, *axis, reduce_mean.input(0), *k_shape, name, None{}, o_names);
    g.op("Reshape", {avg, m->out_shape}, {{"outputs", o_names}});
  }
  return replaced(std::vector<Node>{reduce_mean}, g);
}

// ------------------------------------------------ keepdims to 1

// ArgMax/ArgMin default to axis 0 when the attribute is absent.
Ints arg_reduce_axes(const Ir& ir, const Node& nod) {
  const Ref axis = ir.get_attr(nod, "axis");
  if (axis.is_none()) return Ints{0};
  return to_ints(axis, "attribute 'axis' of node '" + nod.name() + "'");
}

// The run of single-consumer Casts behind an arg-reduce: the node the Reshape
// goes behind, and the tensors before it that take the kept-dimension shape.
struct CastChain {
  Node last;
  Strings kept_shape_outputs;
};

CastChain follow_cast_chain(const Ir& ir, const Node& start) {
  CastChain chain{start, {}};
  std::vector<Node> seen{start};
  for (;;) {
    const std::vector<Node> next = ir.next_nodes(chain.last);
    if (next.size() != 1 || next[0].op_type() != "Cast") return chain;
    for (const Node& n : seen)
      if (n.same_as(next[0]))
        throw std::runtime_error("the Cast chain after node '" + start.name() + "' loops back on itself");
    chain.kept_shape_outputs.push_back(chain.last.output(0));
    chain.last = next[0];
    seen.push_back(next[0]);
  }
}

RuleResult convert_keepdims_to_1(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node nod = nodes.at(0);
  if (ir.get_attr(nod, "keepdims").equals(int64_t{1})) return no_change();
  const std::optional<Shape> o_shape = ir.shape(nod.output(0));
  if (!o_shape) return no_change();

  Node _node = nod;
  const std::string op_type = nod.op_type();
  if (op_type == "ArgMax" || op_type == "ArgMin") {
    // int64 indices are not reshaped: the Reshape moves behind the Casts.
    const CastChain chain = follow_cast_chain(ir, nod);
    if (!chain.last.same_as(nod)) {
      const std::optional<Shape> i_shape = ir.shape(nod.input(0));
      if (!i_shape) return no_change();
      const std::optional<Shape> new_i_shape = kept_dims_shape(*i_shape, arg_reduce_axes(ir, nod));
      if (!new_i_shape) return no_change();
      for (const std::string& name : chain.kept_shape_outputs) ir.set_shape(name, *new_i_shape);
    }
    _node = chain.last;
  }

  const Builder g(ir);
  _node.set_output(0, g.op("Reshape", {None{}, Array::from_ints(*o_shape)}, {{"outputs", Strings{_node.output(0)}}}));
  ir.set_attr(nod, "keepdims", int64_t{1});
  return added(g);
}

// ------------------------------------------------ Gather index flattening

RuleResult keepdims(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node op = nodes.at(0);
  const std::optional<Shape> o_shape = ir.shape(op.output(0));
  if (op.op_type() == "Gather") {
    const std::optional<Array> indices = ir.get_const(op.input(1));
    if (!indices || indices->ndim() == 1) return no_change();
    if (!o_shape) return no_change();
    ir.set_const(op.input(1), indices->flatten());
  } else if (!o_shape) {
    return no_change();
  }

  const Builder g(ir);
  op.set_output(0, g.op("Reshape", {None{}, *o_shape}, {{"outputs", Strings{op.output(0)}}}));
  return added(g);
}

// ------------------------------------------------ softmax axis

// exSoftmax13 has Softmax's default axis, the last one.
int64_t softmax_axis(const Ir& ir, const Node& softmax) {
  const Ref axis = ir.get_attr(softmax, "axis");
  if (axis.is_none()) return -1;
  return to_int(axis, "attribute 'axis' of node '" + softmax.name() + "'");
}

RuleResult fix_softmax_axis(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node softmax = nodes.at(0);
  const int64_t raw_axis = softmax_axis(ir, softmax);
  const std::optional<Shape> input_s = ir.shape(softmax.input(0));
  if (!input_s) return no_change();
  const std::optional<int64_t> axis = softmax_axis_to_move(*input_s, raw_axis);
  if (!axis) return no_change();

  if (softmax_moves_by_reshape(*input_s)) {
    // One of N, C, H is 1: the axis reaches the channel position by a Reshape.
    const std::optional<Shape> new_shape = softmax_channel_shape(*input_s, *axis);
    if (!new_shape) return no_change();
    const Builder g(ir);
    const std::string softmax_in = g.op("Reshape", {softmax.input(0), *new_shape});
    const std::string new_softmax = g.op("exSoftmax13", {softmax_in}, {{"axis", int64_t{1}}, {"name", softmax.name()}});
    g.op("Reshape", {new_softmax, *input_s}, {{"outputs", softmax.outputs()}});
    return replaced(nodes, g);
  }

  const Ints perm = softmax_channel_perm(*axis);
  const Builder g(ir);
  const std::string softmax_in = g.op("Transpose", {softmax.input(0)}, {{"perm", perm}});
  const std::string new_softmax = g.op("exSoftmax13", {softmax_in}, {{"axis", int64_t{1}}, {"name", softmax.name()}});
  g.op("Transpose", {new_softmax}, {{"perm", inverse_perm(perm)}, {"outputs", softmax.outputs()}});
  return replaced(nodes, g);
}

const std::vector<RuleDef>& reduction_rule_defs() {
  static const std::vector<RuleDef> rules = {
      {"_p_convert_reduce_L2_to_pow_sum_pow", convert_reduce_L2_to_pow_sum_pow,
       "ReduceL2 of a 4-D tensor as Pow 2, ReduceSum, Pow 0.5: square, sum, square root.\n\n"
       "Matched operators: ReduceL2.\n\n"
       "Approach: an input of rank other than 4 (or unknown) is left alone. Otherwise a Pow with a\n"
       "float32 exponent [2.0] squares the input, a ReduceSum named after the ReduceL2 with '_2rsum'\n"
       "sums over the same axes (as a constant input) with the same keepdims, and a Pow with\n"
       "exponent [0.5] writes the former output tensor. The ReduceL2 is removed; the ReduceSum may\n"
       "be lowered further to a Conv."},
      {"_p_convert_reduce_sum_to_conv", convert_reduce_sum_to_conv,
       "ReduceSum over one axis of a 4-D floating-point tensor as a Conv with weights of ones.\n\n"
       "Matched operators: ReduceSum.\n\n"
       "Approach: the input must be floating point with known input and output shapes, rank 4, one\n"
       "reduced axis that is not the batch axis. A sum over C runs as a Conv with one output\n"
       "channel and weight [1, C, 1, 1]; a sum over H or W runs as a depthwise Conv (group C) whose\n"
       "kernel spans the axis. A kernel above 7 is avoided by a Transpose that swaps the axis with\n"
       "the channels, a channel-summing Conv and the same Transpose back. The Conv is named after the\n"
       "ReduceSum with '_2conv'. With keepdims 0 a Reshape writes the reduced output shape;\n"
       "otherwise (also without the attribute) the last new node writes the output directly."},
      {"_p_convert_reduce_mean_to_avgpool", convert_reduce_mean_to_avgpool,
       "ReduceMean of a 4-D floating-point tensor as GlobalAveragePool, AveragePool or Conv.\n\n"
       "Matched operators: ReduceMean (no table entry).\n\n"
       "Approach: the preconditions of the ReduceSum lowering apply, except that axes exactly [2, 3]\n"
       "are accepted and run as a GlobalAveragePool. A mean over C runs as a Conv with weight\n"
       "[1, C, 1, 1] of 1/C; a mean over H or W as an AveragePool whose kernel spans the axis, of\n"
       "any size. The new node is named after the ReduceMean with '_2avg'. When keepdims is true the\n"
       "new node writes the output; otherwise a Reshape behind it writes the output shape."},
      {"_p_convert_keepdims_to_1", convert_keepdims_to_1,
       "Reductions with keepdims 0 made to keep their axes, the former output restored by a Reshape.\n\n"
       "Matched operators: ReduceMean, ReduceMax, ReduceMin, ReduceSum, ArgMin, ArgMax.\n\n"
       "Approach: a node with keepdims 1 or an unknown output shape is left alone. Otherwise\n"
       "keepdims becomes 1 and a Reshape to the former output shape writes the former output\n"
       "tensor. ArgMax/ArgMin indices are int64, which is not reshaped: the Reshape goes behind the\n"
       "chain of single-consumer Casts that follows, and the tensors of the chain before it are\n"
       "given the kept-dimension shape."},
      {"_p_keepdims", keepdims,
       "Gather indices flattened so that the Gather keeps its input rank, the output restored by a\n"
       "Reshape.\n\n"
       "Matched operators: Gather.\n\n"
       "Approach: constant indices of zero or of two and more dimensions are replaced in place by\n"
       "their row-major flattening; one-dimensional or computed indices are left alone. A Reshape to\n"
       "the former output shape then writes the former output tensor."},
      {"_p_fix_softmax_axis", fix_softmax_axis,
       "Softmax on axis 0 or 2 of a 4-D tensor moved to axis 1 through Reshape or Transpose.\n\n"
       "Matched operators: exSoftmax13.\n\n"
       "Approach: axes 1 and 3, an axis of extent 1 and other ranks are left alone. When one of the\n"
       "first three extents is 1, a Reshape folds the neighbouring extents so that the softmax axis\n"
       "becomes the channels, and a Reshape back writes the output; otherwise a Transpose swaps the\n"
       "axis with the channels and the same Transpose swaps it back. The new exSoftmax13 runs on\n"
       "axis 1 under the old node's name and replaces it."},
  };
  return rules;
}

}  // namespace

// ============================================================ Tile, Gather, Expand, constants, broadcast Mul, 1x1 Resize

namespace {

RuleResult convert_tile_to_expand(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_tile_to_expand is not implemented yet");
}

RuleResult gather_to_conv(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_gather_to_conv is not implemented yet");
}

RuleResult convert_expand_to_gather_before_rs(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_expand_to_gather_before_rs is not implemented yet");
}

RuleResult eliminate_elements_op_redundancy_const_dim(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_eliminate_elements_op_redundancy_const_dim is not implemented yet");
}

RuleResult broadcast_mul_expand(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_broadcast_mul_expand is not implemented yet");
}

RuleResult convert_1x1_resize_to_tile(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_1x1_resize_to_tile is not implemented yet");
}

const std::vector<RuleDef>& replacement_rule_defs() {
  static const std::vector<RuleDef> rules = {
      {"_p_convert_tile_to_expand", convert_tile_to_expand, "Tile as Expand.\n\nMatched operators: Tile.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_gather_to_conv", gather_to_conv, "Channel Gather with constant indices as an equivalent 1x1 Conv.\n\nMatched operators: Gather.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_convert_expand_to_gather_before_rs", convert_expand_to_gather_before_rs, "Expand as Gather ahead of a merging Reshape.\n\nMatched operators: Expand then Reshape.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_eliminate_elements_op_redundancy_const_dim", eliminate_elements_op_redundancy_const_dim, "Constant operand stripped of redundant axes.\n\nMatched operators: Add, Sub, Mul, Div, Greater, Less.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_broadcast_mul_expand", broadcast_mul_expand, "Broadcasting Mul made explicit with Expand.\n\nMatched operators: Mul (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_convert_1x1_resize_to_tile", convert_1x1_resize_to_tile, "Resize of a 1x1 map as Tiles.\n\nMatched operators: Resize (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
  };
  return rules;
}

}  // namespace

// ============================================================

const std::vector<RuleDef>& lowering_rules() {
  static const std::vector<RuleDef> rules = [] {
    std::vector<RuleDef> all = reduction_rule_defs();
    const auto& more = replacement_rule_defs();
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }();
  return rules;
}

}  // namespace vexo::dims
