// Operator lowering: operators the NPU runs poorly replaced by equivalents it
// runs well, or their attributes normalised.
#include "frame.hpp"
#include "lowering_algebra.hpp"

using namespace std::string_view_literals;

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
    if (next.size() != 1 || next[0].op_type() != "Cast"sv) return chain;
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
  if (op_type == "ArgMax"sv || op_type == "ArgMin"sv) {
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
  if (op.op_type() == "Gather"sv) {
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

// ------------------------------------------------ Tile as Expand

RuleResult convert_tile_to_expand(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node tile = nodes.at(0);
  const std::optional<Shape> input_shape = ir.shape(tile.input(0));
  const std::optional<Array> repeats = ir.get_const(tile.input(1));
  if (!repeats || !input_shape || repeats->ndim() != 1) return no_change();
  const std::optional<Ints> expand_shape = tile_expand_shape(*input_shape, repeats->to_ints());
  if (!expand_shape) return no_change();

  const Builder g(ir);
  g.op("Expand", {tile.input(0), *expand_shape}, {{"outputs", tile.output(0)}, {"name", tile.name()}});
  return replaced(std::vector<Node>{tile}, g);
}

// ------------------------------------------------ channel Gather as a 1x1 Conv

// Only a constant list of indices over float32 data becomes a Conv weight.
bool gathers_float32_by_index_list(const Ir& ir, const Node& nod, const std::optional<Array>& indices) {
  if (!indices || indices->ndim() != 1) return false;
  return dtype_is_float32(ir.dtype(nod.input(0)));
}

// The weight whose row i picks input channel indices[i].  Indices that do not
// fit the recorded channel counts mean a broken model: they are reported, and
// nothing is written.
Array channel_selection_weight(const Node& nod, const Array& indices, int64_t ch_in, int64_t ch_out) {
  if (ch_in < 0 || ch_out != indices.size())
    throw ArrayError("Gather '" + nod.name() + "': " + std::to_string(indices.size()) + " indices do not fit " +
                     std::to_string(ch_in) + " input and " + std::to_string(ch_out) + " output channels");
  const std::optional<Ints> columns = gather_selected_channels(indices.to_ints(), ch_in);
  if (!columns)
    throw std::out_of_range("Gather '" + nod.name() + "': an index is out of range for " + std::to_string(ch_in) +
                            " input channels");
  return selection_weight(*columns, ch_in);
}

RuleResult gather_to_conv(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node nod = nodes.at(0);
  const std::optional<Array> gather_indices = ir.get_const(nod.input(1));
  if (!gathers_float32_by_index_list(ir, nod, gather_indices)) return no_change();

  const Ref gather_axis = ir.get_attr(nod, "axis");
  const std::optional<Shape> in_shape = ir.shape(nod.input(0));
  const std::optional<Shape> out_shape = ir.shape(nod.output(0));
  // An axis of -3 or an absent axis is not taken for the channel axis.
  const bool gather_on_channel = gather_axis.equals(1);
  const bool all_len_4 = in_shape && out_shape && in_shape->size() == 4 && out_shape->size() == 4;
  if (!gather_on_channel || !all_len_4) return no_change();

  const Array conv_weight = channel_selection_weight(nod, *gather_indices, (*in_shape)[1], (*out_shape)[1]);
  const std::string conv_weight_name = nod.input(1);
  ir.set_const(conv_weight_name, conv_weight);

  const Builder g(ir);
  g.op("Conv", {nod.input(0), conv_weight_name},
       {{"outputs", nod.outputs()},
        {"kernel_shape", Ints{1, 1}},
        {"strides", Ints{1, 1}},
        {"pads", Ints{0, 0, 0, 0}},
        {"group", int64_t{1}},
        {"name", nod.name() + "_2conv"}});
  return replaced(std::vector<Node>{nod}, g);
}

// ------------------------------------------------ Expand as Gather ahead of a merging Reshape

struct ExpandMerge {
  int64_t expand_axis;
  int64_t target_axis;
};

// The expanded axis and the axis the Reshape merges it with, when exactly one
// axis grows and its Reshape part merges exactly two non-unit axes into one.
std::optional<ExpandMerge> match_expand_merge(const Shape& expand_in, const Shape& rs_in, const Shape& rs_out) {
  const std::optional<int64_t> expand_axis = single_expanded_axis(expand_in, rs_in);
  if (!expand_axis) return std::nullopt;
  const ReshapeParts parts = seperate_independent_part_for_reshape(rs_in, rs_out);
  const std::optional<int64_t> target_axis = merge_target_axis(parts, rs_in, rs_out, *expand_axis);
  if (!target_axis) return std::nullopt;
  return ExpandMerge{*expand_axis, *target_axis};
}

// The Gather writes the Expand's tensor with the merged shape, so no one but
// the Reshape may read it.
bool only_the_reshape_reads(const Ir& ir, const Node& expand, const Node& rs) {
  const std::string out = expand.output(0);
  return rs.input(0) == out && ir.next_nodes(expand).size() == 1 && !ir.is_graph_output(out);
}

// A 0 in the Reshape's shape copies the input extent at that position, which
// the Gather changes on the two merged axes.
bool reshape_copies_merged_axis(const Ir& ir, const Node& rs, const ExpandMerge& m) {
  if (rs.num_inputs() < 2) return false;
  const std::optional<Array> shape = ir.get_const(rs.input(1));
  if (!shape) return false;
  const Ints target = shape->to_ints();
  for (int64_t axis : {m.expand_axis, m.target_axis})
    if (axis < static_cast<int64_t>(target.size()) && target[static_cast<size_t>(axis)] == 0) return true;
  return false;
}

RuleResult convert_expand_to_gather_before_rs(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node expand = nodes.at(0);
  const Node rs = nodes.at(1);
  const std::optional<Shape> expand_in_shape = ir.shape(expand.input(0));
  const std::optional<Shape> rs_in_shape = ir.shape(rs.input(0));
  const std::optional<Shape> rs_out_shape = ir.shape(rs.output(0));
  if (!expand_in_shape || !rs_in_shape || !rs_out_shape) return no_change();
  const std::optional<ExpandMerge> m = match_expand_merge(*expand_in_shape, *rs_in_shape, *rs_out_shape);
  if (!m || !only_the_reshape_reads(ir, expand, rs) || reshape_copies_merged_axis(ir, rs, *m)) return no_change();

  // The merged axis lists the expanded copies in the order of the two axes:
  // target first gives each target index repeated (0,0,..,1,1,..), expanded
  // first gives the whole target run repeated (0,1,..,0,1,..).  Both orders
  // are rewritten, each with its own index pattern.
  const int64_t expanded = (*rs_in_shape)[static_cast<size_t>(m->expand_axis)];
  const int64_t target = (*rs_in_shape)[static_cast<size_t>(m->target_axis)];
  const Ints gather_index = repeated_gather_index(target, expanded, m->target_axis < m->expand_axis);

  const Builder g(ir);
  g.op("Gather", {expand.input(0), gather_index}, {{"axis", m->target_axis}, {"outputs", expand.outputs()}});
  ir.set_shape(expand.output(0), merged_gather_shape(*expand_in_shape, m->target_axis, expanded));
  return replaced(std::vector<Node>{expand}, g);
}

// ------------------------------------------------ constant operands without redundant axes

RuleResult eliminate_elements_op_redundancy_const_dim(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node elem_op = nodes.at(0);
  const size_t const_in_idx = ir.is_const(elem_op.input(0)) ? 0 : 1;
  const std::string const_name = elem_op.input(const_in_idx);
  const std::optional<Array> constant = ir.get_const(const_name);
  if (!constant) return no_change();
  const std::optional<Shape> feature_shape = ir.shape(elem_op.input(1 - const_in_idx));
  const std::optional<Shape> out_shape = ir.shape(elem_op.output(0));
  if (!feature_shape || constant->size() == 0) return no_change();

  // A constant of one value that does not widen the output is that value alone.
  // One already in that form is left as it is.
  if (out_shape == feature_shape) {
    if (const std::optional<Array> single = collapse_uniform(*constant, feature_shape->size())) {
      if (single->shape() != constant->shape()) ir.set_const(const_name, *single);
      return no_change();
    }
  }
  if (feature_shape->size() != constant->ndim()) return no_change();
  const Array new_const = shrink_redundant_axes(*constant, *feature_shape);
  if (new_const.shape() == constant->shape()) return no_change();

  const Builder g(ir);
  ir.set_const(const_name, new_const);
  g.op(elem_op.op_type(), {elem_op.input(0), elem_op.input(1)}, {{"outputs", elem_op.outputs()}});
  return replaced(std::vector<Node>{elem_op}, g);
}

// ------------------------------------------------ broadcast Mul made explicit

// Sends input `in_index` of the Mul through a new Expand to the broadcast shape.
Node expand_mul_input(const Ir& ir, const Node& mul, size_t in_index, const Shape& in_shape, const Shape& broadcast) {
  const std::string in_name = mul.input(in_index);
  const std::string expand_name = broadcast_expand_name(in_name, mul.name());
  const std::string expand_weight_name = broadcast_expand_size_name(expand_name);
  ir.set_const(expand_weight_name, Array::from_ints(broadcast_expand_size(in_shape, broadcast)));
  Node expand_op = make_onnx_node("Expand", {in_name, expand_weight_name}, {expand_name}, expand_name);
  mul.set_input(in_index, expand_name);
  return expand_op;
}

RuleResult broadcast_mul_expand(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node mul = nodes.at(0);
  if (ir.dynamic_shapes()) {
    log::warn("The 'dynamic_input' function is enabled, disable broadcast_mul_expand!");
    return no_change();
  }
  const std::optional<Shape> in_0_shape = ir.shape(mul.input(0));
  const std::optional<Shape> in_1_shape = ir.shape(mul.input(1));
  if (!in_0_shape || !in_1_shape || in_0_shape->size() != 4 || in_1_shape->size() != 4) return no_change();
  if (*in_0_shape == *in_1_shape) return no_change();
  // Shapes that do not broadcast (or carry unknown extents) are left alone.
  const std::optional<Shape> broadcast_shape = broadcast_shape_4d(*in_0_shape, *in_1_shape);
  if (!broadcast_shape) return no_change();

  std::vector<Node> op_expands;
  const Shape in_shapes[] = {*in_0_shape, *in_1_shape};
  for (size_t in_index = 0; in_index < 2; ++in_index) {
    if (in_shapes[in_index] == *broadcast_shape) continue;
    op_expands.push_back(expand_mul_input(ir, mul, in_index, in_shapes[in_index], *broadcast_shape));
  }
  return result({}, op_expands);
}

// ------------------------------------------------ 1x1 Resize as a chain of Tiles

// A 4-D map of spatial size 1x1 whose batch and channels the Resize keeps: the
// Tiles repeat height and width only.
bool resizes_1x1_map_spatially(const Shape& i_shape, const Shape& o_shape) {
  return i_shape.size() == 4 && i_shape[2] == 1 && i_shape[3] == 1 && o_shape.size() == 4 &&
         o_shape[0] == i_shape[0] && o_shape[1] == i_shape[1];
}

RuleResult convert_1x1_resize_to_tile(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node resize = nodes.at(0);
  const std::optional<Shape> i_shape = ir.shape(resize.input(0));
  const std::optional<Shape> o_shape = ir.shape(resize.output(0));
  if (!i_shape || !o_shape || o_shape->size() < 2) return no_change();
  const int64_t scale_x = o_shape->end()[-1];
  const int64_t scale_y = o_shape->end()[-2];
  if (!resizes_1x1_map_spatially(*i_shape, *o_shape)) return no_change();
  const std::vector<TileStep> chain = plan_tile_chain(resize.name() + "_2tile", resize.output(0), scale_y, scale_x);
  if (chain.empty()) return no_change();

  std::vector<Node> nodes_add;
  std::string data = resize.input(0);
  for (const TileStep& step : chain) {
    ir.set_const(step.repeats_name, Array::from_ints({1, 1, step.h, step.w}));
    nodes_add.push_back(make_onnx_node("Tile", {data, step.repeats_name}, {step.output}, step.node_name));
    data = step.output;
  }
  return result({resize}, nodes_add);
}

const std::vector<RuleDef>& replacement_rule_defs() {
  static const std::vector<RuleDef> rules = {
      {"_p_convert_tile_to_expand", convert_tile_to_expand,
       "A Tile that repeats only axes of extent 1 runs as an Expand to the tiled shape.\n\n"
       "Matched operators: Tile.\n\n"
       "Approach: the Expand target keeps the extent of every axis repeated once and takes the repeat count of\n"
       "every repeated unit axis; the Expand reads the Tile's data, writes its output and keeps its name.  A Tile\n"
       "with repeats that are not constant or not one per axis, or that repeats an axis of extent above 1, stays."},
      {"_p_gather_to_conv", gather_to_conv,
       "A channel Gather with constant indices runs as a 1x1 Conv whose weight is a selection matrix.\n\n"
       "Matched operators: Gather.\n\n"
       "Approach: for a float32 4-D input gathered on axis 1 by a constant 1-D index list, output channel i\n"
       "takes input channel indices[i] (negative indices counted from the end) with weight 1.0 and every other\n"
       "channel with 0.0.  The weight [ch_out, ch_in, 1, 1] replaces the indices under their name and a Conv\n"
       "named '<gather>_2conv' writes the Gather's output."},
      {"_p_convert_expand_to_gather_before_rs", convert_expand_to_gather_before_rs,
       "An Expand of one axis feeding a Reshape that merges that axis with one neighbour runs as a Gather on\n"
       "the neighbour, which yields the merged layout directly.\n\n"
       "Matched operators: Expand then Reshape.\n\n"
       "Approach: exactly one axis may grow (input and output of equal rank); the independent part of the\n"
       "Reshape that holds it must merge exactly two non-unit axes into one.  The Gather repeats each index of\n"
       "the neighbour as often as the Expand repeats (or repeats the whole run when the expanded axis comes\n"
       "first), writes the Expand's tensor with the neighbour's extent multiplied, and the Reshape reads it\n"
       "unchanged."},
      {"_p_eliminate_elements_op_redundancy_const_dim", eliminate_elements_op_redundancy_const_dim,
       "A constant operand of an elementwise operator loses the axes along which it only repeats itself.\n\n"
       "Matched operators: Add, Sub, Mul, Div, Greater, Less.\n\n"
       "Approach: a constant of a single value that does not widen the output becomes one element in place.\n"
       "Otherwise, for a constant of the feature's rank, every axis where the feature has the same non-unit\n"
       "extent and the constant equals its first slice (a broadcast comparison) shrinks to 1; when some axis\n"
       "shrank, the constant is rewritten under its name and the operator replaced by an equal one."},
      {"_p_broadcast_mul_expand", broadcast_mul_expand,
       "A broadcasting 4-D Mul gets its broadcast made explicit by Expands, so that it sees equal shapes.\n\n"
       "Matched operators: Mul (no table entry).\n\n"
       "Approach: models with dynamic input shapes are refused with a warning.  Each input whose shape differs\n"
       "from the broadcast shape goes through an ONNX Expand '<input>_exp_for_<mul>' whose sizes, held in the\n"
       "constant '<input>_exp_for_<mul>_size', grow its unit axes; the new Expands are returned to be added."},
      {"_p_convert_1x1_resize_to_tile", convert_1x1_resize_to_tile,
       "A Resize of a 1x1 map runs as a chain of up to three Tiles, each repeating by at most 8 per axis.\n\n"
       "Matched operators: Resize (no table entry).\n\n"
       "Approach: output height and width up to 512 are split into factors of at most 8; one Tile per factor\n"
       "repeats [1, 1, h, w], named from '<resize>_2tile', each with its own repeats constant, the last one\n"
       "writing the Resize's output.  Scales with a prime factor above 8 or more than three factors stay."},
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
