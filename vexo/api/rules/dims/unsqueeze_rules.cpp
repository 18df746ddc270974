// Rank raising: operators of rank 1 to 3 made four-dimensional.
#include <algorithm>
#include <initializer_list>

#include "frame.hpp"
#include "shape_common.hpp"
#include "unsqueeze_algebra.hpp"

using namespace std::string_view_literals;

namespace vexo::dims {

namespace {

// Sends the messages of a mapping to the logger and hands out its value; an
// error ends the rule there.
template <class T>
T logged(const Checked<T>& c) {
  if (!c.warning.empty()) log::warn(c.warning);
  if (c.failed()) log::error(c.error);
  return c.value;
}

// ============================================================ unsqueeze to 4-D

constexpr size_t kRankUnset = 0;  // no shape told the rank; such operators take "1A11"

struct Unsqueeze {
  Node nod;
  std::string op;
  bool reduce = false;        // op in REDUCE_OPS
  size_t n_dims = kRankUnset;  // the deciding rank, 1 to 3
  std::string mode;
};

// ------------------------------------------------ matching

// The rank the layout follows: the outputs' (the last one's stands), or for
// operators whose output rank may differ, the first input with a known shape.
// Non-constant operands of another rank are allowed only where broadcasting
// makes sense of them.  nullopt when the rule does not apply.
std::optional<size_t> deciding_rank(const Ir& ir, const Node& nod, const std::string& op, bool input_rank) {
  size_t n_dims = kRankUnset;
  if (!input_rank) {
    for (const std::string& out : nod.outputs()) {
      const auto shape = ir.shape(out);
      if (!shape || shape->size() > 3) return std::nullopt;
      n_dims = shape->size();
    }
  }
  for (const std::string& in : nod.inputs()) {
    if (in.empty()) continue;
    const auto shape = ir.shape(in);
    if (!shape) continue;
    if (input_rank) return shape->size() <= 3 ? std::optional<size_t>(shape->size()) : std::nullopt;
    if (!ir.is_const(in) && shape->size() != n_dims && !is_broadcasting_op(op)) return std::nullopt;
  }
  return n_dims;
}

// Operators of a raisable rank that are still left alone.
bool declined_for_op(const Ir& ir, const Node& nod, const std::string& op, size_t n_dims) {
  if (n_dims == 1 && op == "MatMul"sv) return true;
  if (op == "exDataConvert"sv && (ir.is_graph_input(nod.input(0)) || ir.is_graph_output(nod.output(0)))) return true;
  if (op == "Gather"sv) {
    const auto indices = ir.shape(nod.input(1));
    if (indices && indices->size() > 1) return true;
  }
  return false;
}

// Rewrites that could not stay equivalent, refused before anything changes:
// a Slice without an axes input slices the leading axes, which move in 4-D;
// a Pad with an axes input pads only those axes, so its pads do not follow
// the layout; and an output of an input-rank operator without any recorded
// shape cannot be led back by a Reshape.
bool unsafe_to_raise(const Ir& ir, const Node& nod, const std::string& op, bool input_rank) {
  if (op == "Slice"sv && (nod.num_inputs() < 4 || nod.input(3).empty())) return true;
  if (op == "Pad"sv && nod.num_inputs() >= 4 && !nod.input(3).empty()) return true;
  if (input_rank) {
    for (const std::string& out : nod.outputs())
      if (!ir.is_invalid(out) && !ir.shape_raw(out)) return true;
  }
  return false;
}

int64_t normalized_rank(const Ir& ir, const Node& nod) {
  const Ref shape = ir.get_attr(nod, "normalized_shape");
  if (shape.is_none()) return 0;  // reported as an unsupported length
  return static_cast<int64_t>(to_ints(shape, "attribute 'normalized_shape' of node '" + nod.name() + "'").size());
}

// The size rule reads the first input, or the output for operators whose
// first input may be a broadcast operand.  A Pow may still read a base of
// lower rank than its output; with fewer than three extents there is nothing
// to weigh, so such an operator is left unchanged rather than guessed at.
std::optional<std::string> sized_mode(const Ir& ir, const Node& nod, const std::string& op) {
  std::optional<Shape> shape;
  if (!size_rule_reads_output(op)) shape = ir.shape(nod.input(0));
  if (!shape) shape = ir.shape(nod.output(0));
  if (!shape || shape->size() != 3) return std::nullopt;
  return size_rule_mode((*shape)[0], (*shape)[1], (*shape)[2]);
}

// The dimension mode; nullopt when the rule does not apply after all.
std::optional<std::string> choose_mode(const Ir& ir, const Node& nod, const std::string& op, size_t n_dims) {
  if (n_dims == 3) {
    if (auto mode = fixed_rank3_mode(op, ir.dynamic_shapes())) return mode;
    if (op == "exLayerNorm"sv) return logged(layer_norm_mode(normalized_rank(ir, nod), nod.name()));
    return sized_mode(ir, nod, op);
  }
  if (n_dims == 2) return rank2_mode(op, ir.unsqueeze_2d_mode());
  return std::string("1A11");
}

std::optional<Unsqueeze> match_unsqueeze(const Ir& ir, const NodeList& nodes) {
  Unsqueeze u{nodes.at(0), "", false, kRankUnset, ""};
  u.op = u.nod.op_type();
  u.reduce = in_reduce_ops(u.op);
  const bool input_rank = is_input_rank_op(u.op, u.reduce);
  const auto n_dims = deciding_rank(ir, u.nod, u.op, input_rank);
  if (!n_dims) return std::nullopt;
  u.n_dims = *n_dims;
  if (declined_for_op(ir, u.nod, u.op, u.n_dims) || unsafe_to_raise(ir, u.nod, u.op, input_rank))
    return std::nullopt;
  auto mode = choose_mode(ir, u.nod, u.op, u.n_dims);
  if (!mode) return std::nullopt;
  u.mode = *mode;
  // ScatterND needs its indices as a constant to rewrite them for the layout.
  if (u.op == "ScatterND"sv && !ir.is_const(u.nod.input(1))) return std::nullopt;
  return u;
}

// ------------------------------------------------ attributes

std::string attr_what(const Node& nod, const char* attr) {
  return "attribute '" + std::string(attr) + "' of node '" + nod.name() + "'";
}

// A one-dimensional Conv or pool becomes two-dimensional with a unit height;
// attributes the node does not carry keep their defaults, which stay right.
void give_unit_height(const Ir& ir, const Node& nod, const char* attr, const Ref& value) {
  if (value.is_none()) return;
  ir.set_attr(nod, attr, with_unit_height(to_ints(value, attr_what(nod, attr))));
}

void give_unit_height_pads(const Ir& ir, const Node& nod, const Ref& pads) {
  if (!pads.truthy()) return;
  const Ints p = to_ints(pads, attr_what(nod, "pads"));
  if (!p.empty()) ir.set_attr(nod, "pads", pads_with_unit_height(p));
}

void raise_conv_attributes(const Ir& ir, const Node& nod) {
  const Ref dilations = ir.get_attr(nod, "dilations");
  const Ref kernel_shape = ir.get_attr(nod, "kernel_shape");
  const Ref strides = ir.get_attr(nod, "strides");
  const Ref pads = ir.get_attr(nod, "pads", Bool{false});
  const Ref output_padding = ir.get_attr(nod, "output_padding", Bool{false});
  give_unit_height(ir, nod, "dilations", dilations);
  give_unit_height(ir, nod, "kernel_shape", kernel_shape);
  give_unit_height(ir, nod, "strides", strides);
  give_unit_height_pads(ir, nod, pads);
  if (output_padding.truthy()) {
    Ints padding{0};
    const Ints old = to_ints(output_padding, attr_what(nod, "output_padding"));
    padding.insert(padding.end(), old.begin(), old.end());
    ir.set_attr(nod, "output_padding", padding);
  }
}

void raise_pool_attributes(const Ir& ir, const Node& nod) {
  const Ref dilations = ir.get_attr(nod, "dilations");
  const Ref kernel_shape = ir.get_attr(nod, "kernel_shape");
  const Ref strides = ir.get_attr(nod, "strides");
  const Ref pads = ir.get_attr(nod, "pads");
  if (dilations.truthy()) give_unit_height(ir, nod, "dilations", dilations);
  give_unit_height(ir, nod, "kernel_shape", kernel_shape);
  give_unit_height(ir, nod, "strides", strides);
  give_unit_height_pads(ir, nod, pads);
}

// Without "perm" a Transpose reverses its axes.
void raise_perm(const Ir& ir, const Unsqueeze& u) {
  const Ref perm_attr = ir.get_attr(u.nod, "perm");
  Ints perm;
  if (perm_attr.is_none()) {
    for (size_t a = u.n_dims; a-- > 0;) perm.push_back(static_cast<int64_t>(a));
  } else {
    perm = to_ints(perm_attr, attr_what(u.nod, "perm"));
  }
  ir.set_attr(u.nod, "perm", logged(_new_perm(perm, u.mode, u.nod.name() + " attr::perm")));
}

void raise_normalized_shape(const Ir& ir, const Unsqueeze& u) {
  const Ref shape = ir.get_attr(u.nod, "normalized_shape");
  if (shape.is_none()) return;
  const Ints old = to_ints(shape, attr_what(u.nod, "normalized_shape"));
  ir.set_attr(u.nod, "normalized_shape", logged(_new_shape(old, u.mode, u.nod.name() + " attr::normalized_shape")));
}

// The reduced axes stay in the output, so its Reshape can restore the shape.
void keep_reduced_dims(const Ir& ir, const Node& nod) {
  if (ir.get_attr(nod, "keepdims").equals(int64_t{0})) ir.set_attr(nod, "keepdims", int64_t{1});
}

void raise_reduce_axes(const Ir& ir, const Unsqueeze& u) {
  const Ints axes = get_reduce_axes(ir, u.nod);
  const Ints new_axes = logged(_new_axes(axes, u.mode, u.nod.name() + " attr::axes"));
  if (new_axes != axes) set_reduce_axes(ir, u.nod, new_axes);
  keep_reduced_dims(ir, u.nod);
}

// An operator without "axis" uses the ONNX default; Concat has none and must carry it.
void raise_axis(const Ir& ir, const Unsqueeze& u) {
  const Ref attr = ir.get_attr(u.nod, "axis");
  const auto fallback = default_axis(u.op);
  const int64_t axis = attr.is_none() && fallback ? *fallback : to_int(attr, attr_what(u.nod, "axis"));
  const int64_t new_axis = logged(_new_axes({axis}, u.mode, u.nod.name() + " attr::axis")).front();
  if (new_axis != axis) ir.set_attr(u.nod, "axis", new_axis);
}

void rewrite_attributes(const Ir& ir, const Unsqueeze& u) {
  const std::string& op = u.op;
  if (op == "Conv"sv || op == "ConvTranspose"sv) {
    raise_conv_attributes(ir, u.nod);  // the new axis is always a unit height, whatever the mode
  } else if (op == "AveragePool"sv || op == "MaxPool"sv) {
    raise_pool_attributes(ir, u.nod);
  } else if (op == "Transpose"sv) {
    raise_perm(ir, u);
  } else if (op == "exLayerNorm"sv) {
    raise_normalized_shape(ir, u);
  } else if (u.reduce) {
    raise_reduce_axes(ir, u);
  } else if (op == "ArgMax"sv || op == "ArgMin"sv) {
    raise_axis(ir, u);
    keep_reduced_dims(ir, u.nod);
  } else if (is_axis_op(op)) {
    raise_axis(ir, u);
  }
}

// ------------------------------------------------ inputs

// The output of a Reshape this call already built from `tensor`: a tensor read
// twice by the node gets one Reshape.
std::optional<std::string> reshaped_already(const Builder& g, const std::string& tensor) {
  for (const Node& n : g.nodes())
    if (n.num_inputs() > 0 && n.input(0) == tensor) return n.output(0);
  return std::nullopt;
}

// A constant operand whose values name axes (Slice axes, Pad pads, Expand
// shape) is rewritten in place; it must be a constant.
template <class Map>
void rewrite_const_values(const Ir& ir, const Unsqueeze& u, const std::string& tensor, const char* what, Map map) {
  const auto value = ir.get_const(tensor);
  if (!value) log::error(format(what, {u.nod.name()}));
  ir.set_const(tensor, Array::from_ints(logged(map(value->to_ints(), u.mode, tensor))));
}

void rewrite_resize_input(const Ir& ir, const Unsqueeze& u, size_t i, const std::string& tensor) {
  const size_t n = u.nod.num_inputs();
  if (i == 1) {  // roi: only meaningful for a crop, which the layout cannot follow
    if (!ir.get_const_ref(tensor).is_none() &&
        ir.get_attr(u.nod, "coordinate_transformation_mode").equals(std::string("tf_crop_and_resize")))
      log::error(format("Not support 'roi' in Resize '{}' !", {u.nod.name()}));
  } else if (i == 2 && n > 2) {
    if (const auto scales = ir.get_const(tensor))
      ir.set_const(tensor, Array::from_doubles(logged(_new_shape(scales->to_doubles(), u.mode, tensor)), DType::Float32));
  } else if (i == 3 && n >= 4) {
    if (const auto sizes = ir.get_const(tensor))
      ir.set_const(tensor, Array::from_ints(logged(_new_shape(sizes->to_ints(), u.mode, tensor)), DType::Int64));
  }
}

// Full index tuples into a rank-3 ScatterND gain a zero height coordinate;
// other indices are reshaped like any operand (false).
bool rewrite_scatter_indices(const Ir& ir, const Unsqueeze& u, const std::string& tensor) {
  const auto indices = ir.get_const(tensor);
  if (!indices) return false;
  if (indices->ndim() == 4 && indices->shape()[3] == 3) {
    ir.set_const(tensor, scatter_indices_to_ab1c(*indices));
    return true;
  }
  if (indices->ndim() > 4) log::error(format("Not support len(indices.shape) > 4! in {}({})!", {u.op, u.nod.name()}));
  return false;
}

// Operands after the first that the operator reads as values rather than as
// tensors in its layout: rewritten in place or left alone.  False for the
// operands that are reshaped like the first.
bool handle_value_operand(const Ir& ir, const Unsqueeze& u, size_t i, const std::string& tensor) {
  const std::string& op = u.op;
  if (op == "Slice"sv) {
    if (i == 3) rewrite_const_values(ir, u, tensor, "Only support constant 'axes' in Slice '{}'!", _new_axes);
    return true;  // starts, ends and steps keep their values
  }
  if (op == "Pad"sv) {
    if (i == 1) rewrite_const_values(ir, u, tensor, "Only support constant 'pads' in Pad '{}'!", _new_pads);
    return true;
  }
  if (op == "Split"sv) return true;
  if (op == "Expand"sv) {
    if (i == 1)
      rewrite_const_values(ir, u, tensor, "Only support constant 'shape' in Expand '{}'!",
                           [](const Ints& s, const std::string& m, const std::string& n) { return _new_shape(s, m, n); });
    return true;
  }
  if (op == "Resize"sv) {
    rewrite_resize_input(ir, u, i, tensor);
    return true;
  }
  if (op == "ScatterND"sv && i == 1) return rewrite_scatter_indices(ir, u, tensor);
  return u.reduce || one_of(op, {"BatchNormalization", "InstanceNormalization", "Gather", "TopK"});
}

// An operand in the mode's layout: a constant takes its new shape in place,
// anything else reads it through a Reshape.  The Conv bias stays as it is.
void raise_operand(const Ir& ir, const Builder& g, const Unsqueeze& u, size_t i, const std::string& tensor) {
  const Shape in_shape = ir.shape(tensor).value_or(Shape{});
  const bool conv_bias = (u.op == "Conv"sv || u.op == "ConvTranspose"sv) && i == 2;
  const Shape new_shape = conv_bias ? in_shape : logged(_new_shape(in_shape, u.mode, tensor));
  if (new_shape == in_shape) return;
  if (ir.is_const(tensor)) {
    if (!in_shape.empty()) ir.set_shape(tensor, new_shape);
    return;
  }
  u.nod.set_input(i, g.op("Reshape", {tensor, new_shape}));
}

void raise_inputs(const Ir& ir, const Builder& g, const Unsqueeze& u) {
  const Strings inputs = u.nod.inputs();
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string& tensor = inputs[i];
    if (tensor.empty()) continue;  // an absent optional input
    if (const auto shared = reshaped_already(g, tensor)) {
      u.nod.set_input(i, *shared);
      continue;
    }
    if (i != 0 && handle_value_operand(ir, u, i, tensor)) continue;
    raise_operand(ir, g, u, i, tensor);
  }
}

// ------------------------------------------------ outputs

// Every output is written through a Reshape back to its former shape under its
// former name; the node's own output gets the layout's shape where its rank is
// the deciding one (a Transpose's is left for shape inference).
void wrap_outputs(const Ir& ir, const Builder& g, const Unsqueeze& u) {
  const Strings outputs = u.nod.outputs();
  for (size_t i = 0; i < outputs.size(); ++i) {
    const std::string& out = outputs[i];
    if (ir.is_invalid(out) || (u.op == "BatchNormalization"sv && i > 0)) continue;
    const Shape o_shape = ir.shape_raw(out).value_or(Shape{});
    const std::string inner = g.op("Reshape", {None{}, o_shape}, {{"outputs", Strings{out}}});
    u.nod.set_output(i, inner);
    if (u.n_dims != kRankUnset && o_shape.size() == u.n_dims && u.op != "Transpose"sv) {
      const Shape shape = logged(_new_shape(o_shape, u.mode, out));
      const Ref dtype = ir.dtype(out);
      ir.set_shape(inner, shape, dtype);
    }
  }
}

RuleResult unsqueeze_to_4d(const Ir& ir, const NodeList& nodes, const Ref&) {
  const auto u = match_unsqueeze(ir, nodes);
  if (!u) return no_change();
  rewrite_attributes(ir, *u);
  const Builder g(ir);
  raise_inputs(ir, g, *u);
  wrap_outputs(ir, g, *u);
  return added(g);
}

// ============================================================ Reshape output to 4-D before elementwise ops

// An Add, Sub, Mul or Div that reads `tensor` beside a first other operand of rank 4.
bool elementwise_beside_4d(const Ir& ir, const Node& consumer, const std::string& tensor) {
  if (!one_of(consumer.op_type(), {"Add", "Sub", "Mul", "Div"})) return false;
  for (const std::string& in : consumer.inputs()) {
    if (in == tensor) continue;
    const auto shape = ir.shape(in);
    return shape && shape->size() == 4;
  }
  return false;  // reads only the Reshape's output
}

RuleResult unsqueeze_to_4d_reshape_with_elementwise_op(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node reshape = nodes.at(0);
  const std::vector<Node> consumers = ir.next_nodes(reshape);
  if (consumers.empty()) return no_change();
  const std::string out = reshape.output(0);
  const auto shape = ir.shape(out);
  if (!shape || shape->size() > 3) return no_change();  // an unknown shape cannot be widened safely
  for (const Node& c : consumers)
    if (!elementwise_beside_4d(ir, c, out)) return no_change();
  const Shape widened = leading_ones_to(*shape, 4);
  ir.set_const(reshape.input(1), Array::from_ints(widened));
  ir.set_shape(out, widened);
  return no_change();
}

// ============================================================ elementwise input alignment to 4-D

RuleResult input_align_4D(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node nod = nodes.at(0);
  if (nod.num_inputs() != 2) return no_change();
  const auto out_shape = ir.shape(nod.output(0));
  if (!out_shape || out_shape->size() != 4) return no_change();
  for (size_t k = 0; k < 2; ++k) {
    const std::string operand = nod.input(k);
    const auto shape = ir.shape_raw(operand);  // [] is a scalar here; an unknown shape is left alone
    if (!shape || shape->size() >= 4) continue;
    const Shape aligned = leading_ones_to(*shape, 4);
    const auto value = ir.get_const(operand);
    if (!value) {
      const Builder g(ir);
      nod.set_input(k, g.op("Reshape", {operand, aligned}));
      return added(g);
    }
    // The constant is reshaped in place; handing back a copy of the node makes
    // the engine see the node anew.
    ir.set_const(operand, value->reshape(aligned));
    return result({nod}, {deepcopy(nod)});
  }
  return no_change();
}

// ============================================================ Expand input rank alignment

RuleResult input_output_align_nd_expand(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node expand = nodes.at(0);
  const size_t expand_ndim = ir.shape_raw(expand.output(0)).value_or(Shape{}).size();
  const auto in_shape = ir.shape_raw(expand.input(0));  // [] is a scalar; unknown is left alone
  if (!in_shape || in_shape->size() >= expand_ndim) return no_change();
  const Builder g(ir);
  expand.set_input(0, g.op("Reshape", {expand.input(0), leading_ones_to(*in_shape, expand_ndim)}));
  return added(g);
}

constexpr const char* kUnsqueezeDoc =
    "Operators of rank 1 to 3 rewritten as equivalent four-dimensional operators.\n\n"
    "Matched operators: one node of 67 op types: convolutions and pools, normalisations, activations and "
    "other unary operators, broadcasting arithmetic and comparisons, Where, MatMul, Transpose, Concat, Split, "
    "Slice, Pad, Expand, Resize, reductions, ArgMax/ArgMin, Gather, GatherElements, ScatterND, TopK and the "
    "softmax family.\n\n"
    "Approach: the output's rank decides (the data input's for reductions, ArgMax/ArgMin and the gathers); "
    "a dimension mode places the missing unit axes: \"AB1C\" for convolutions, pools and normalisations "
    "(a unit height), \"1ABC\" for MatMul, merged modes for exLayerNorm, the host's 2-D mode at rank 2, "
    "\"1A11\" at rank 1, and otherwise a size rule that gives the channel axis to the largest extent. "
    "Attributes and constant operands that name axes, permutations, pads, shapes or indices are rewritten "
    "for the layout, other operands are reshaped (constants in place), and every output is led back to its "
    "former shape and name by a Reshape.";

constexpr const char* kReshapeDoc =
    "A Reshape feeding only elementwise operators produces the four-dimensional shape directly.\n\n"
    "Matched operators: Reshape whose consumers are all Add, Sub, Mul or Div with a four-dimensional "
    "other operand.\n\n"
    "Approach: unit axes are prepended to the Reshape's target shape, which is rewritten in place together "
    "with the recorded output shape; broadcasting in the consumers gives the same result.  Returns two empty "
    "lists.";

constexpr const char* kAlignDoc =
    "One operand of lower rank of a four-dimensional elementwise operator raised to rank 4.\n\n"
    "Matched operators: Mul, Add, Sub, Div with two inputs and a four-dimensional output.\n\n"
    "Approach: the first operand of rank below four gets leading unit axes: a non-constant one through a "
    "new Reshape, a constant one in place, in which case the node is handed back for replacement by an "
    "identical copy.  One operand per call.";

constexpr const char* kExpandDoc =
    "The data input of an Expand raised to the output's rank.\n\n"
    "Matched operators: Expand.\n\n"
    "Approach: when the input has fewer axes than the output, a Reshape prepends unit axes to it, which "
    "changes no data; the shape input stays as it is.";

}  // namespace

const std::vector<RuleDef>& unsqueeze_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_unsqueeze_to_4d", unsqueeze_to_4d, kUnsqueezeDoc},
      {"_p_unsqueeze_to_4d_reshape_with_elementwise_op", unsqueeze_to_4d_reshape_with_elementwise_op, kReshapeDoc},
      {"_p_input_align_4D", input_align_4D, kAlignDoc},
      {"_p_input_output_align_nd_expand", input_output_align_nd_expand, kExpandDoc},
  };
  return rules;
}

}  // namespace vexo::dims
