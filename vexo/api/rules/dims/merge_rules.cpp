// N-D merging: operators of rank five and above folded into four dimensions.
//
// Each rule reads the shapes around its operator, asks the merge algebra for
// four-dimensional shapes that describe the same data, and then rewrites the
// graph: most rules keep the operator and wrap it in Reshapes (constants take
// their new shape in place), the Split/Concat rule replaces its node.  All
// checks happen before the first write, so a refused node is left untouched.
#include "frame.hpp"
#include "merge_algebra.hpp"

using namespace std::string_view_literals;

namespace vexo::dims {

namespace {

// ============================================================ shared steps

// A shape the rules can compute with: recorded, non-empty, no negative extent.
std::optional<Shape> known_shape(const Ir& ir, const std::string& tensor) {
  auto shape = ir.shape(tensor);
  if (shape && !all_extents_known(*shape)) return std::nullopt;
  return shape;
}

// The shape of a binary operator's operand.  An empty recorded shape is
// unknown for a computed tensor; for a constant the value's own shape counts
// (a scalar operand broadcasts along every axis).
std::optional<Shape> operand_shape(const Ir& ir, const std::string& tensor) {
  auto shape = ir.shape_raw(tensor);
  if (shape && shape->empty() && ir.is_const(tensor)) {
    auto value = ir.get_const(tensor);
    if (value) shape = value->shape();
  }
  if (!shape || (shape->empty() && !ir.is_const(tensor)) || !all_extents_known(*shape)) return std::nullopt;
  return shape;
}

// The Transpose's permutation; the reversed axes when the node has none, as
// the operator itself defines.  nullopt when it is no permutation of `rank` axes.
std::optional<Ints> transpose_perm(const Ir& ir, const Node& node, size_t rank) {
  const Ref value = ir.get_attr(node, "perm");
  Ints perm = value.is_none() ? reversed_axes(rank) : to_ints(value, "attribute 'perm' of node '" + node.name() + "'");
  if (!is_permutation(perm, rank)) return std::nullopt;
  return perm;
}

// How one input takes its new shape: a constant is rewritten in place under
// its own name, any other tensor gets a Reshape in front of the operator.
struct InputReshape {
  size_t index;
  std::string tensor;
  Shape shape;
  std::optional<Array> constant;  // the constant's value in the new shape
};

InputReshape plan_input_reshape(const Ir& ir, const Node& node, size_t index, const Shape& shape) {
  InputReshape r{index, node.input(index), shape, std::nullopt};
  if (!ir.is_const(r.tensor)) return r;
  auto value = ir.get_const(r.tensor);
  if (!value) throw HostTypeError("constant '" + r.tensor + "' of node '" + node.name() + "' has no value");
  try {
    r.constant = value->reshape(shape);
  } catch (const ArrayError&) {
    throw ArrayError("node '" + node.name() + "': constant '" + r.tensor + "' of " + std::to_string(value->size()) +
                     " elements cannot take the shape " + py_str(shape));
  }
  return r;
}

void apply_input_reshape(const Ir& ir, const Builder& g, const Node& node, const InputReshape& r) {
  if (r.constant)
    ir.set_const(r.tensor, *r.constant);
  else
    node.set_input(r.index, g.op("Reshape", {r.tensor, r.shape}));
}

// The operator writes a fresh tensor; a Reshape turns it back into the former
// output tensor with the former shape, so every consumer sees what it saw.
void restore_output(const Builder& g, const Node& node, size_t index, const Shape& shape) {
  node.set_output(index, g.op("Reshape", {None{}, shape}, {{"outputs", Strings{node.output(index)}}}));
}

// The converter's broadcast merge, held to its contract: two lists of one
// length whose products are those of the shapes handed in.
std::pair<Ints, Ints> broadcast_merge(const Ints& a, const Ints& b) {
  auto merged = squeeze_broadcast_dims(a, b);
  if (merged.first.size() != merged.second.size() || checked_prod(merged.first) != checked_prod(a) ||
      checked_prod(merged.second) != checked_prod(b))
    throw HostTypeError("squeeze_broadcast_dims(" + py_str(a) + ", " + py_str(b) + ") returned (" +
                        py_str(merged.first) + ", " + py_str(merged.second) + "), which is no merge of the shapes");
  return merged;
}

// A Reshape-wrapped rewrite: new shapes for some inputs, the former output shapes.
struct WrapPlan {
  std::vector<InputReshape> inputs;
  std::vector<Shape> outputs;  // restored in output order
};

RuleResult apply_wrap(const Ir& ir, const Node& node, const WrapPlan& plan) {
  const Builder g(ir);
  for (const InputReshape& r : plan.inputs) apply_input_reshape(ir, g, node, r);
  for (size_t k = 0; k < plan.outputs.size(); ++k) restore_output(g, node, k, plan.outputs[k]);
  return added(g);
}

// ============================================================ unit axes of N-D Transposes

struct UnitAxisPlan {
  Ints perm;
  WrapPlan wrap;
};

std::optional<UnitAxisPlan> match_unit_axes(const Ir& ir, const Node& nod) {
  const auto in_shape = known_shape(ir, nod.input(0));
  const auto out_shape = known_shape(ir, nod.output(0));
  if (!in_shape || !out_shape) return std::nullopt;
  const Ints exclude = unit_axes_to_drop(*in_shape);
  if (in_shape->size() < 5 || exclude.empty()) return std::nullopt;
  if (nod.op_type() != "Transpose"sv) return std::nullopt;
  const auto perm = transpose_perm(ir, nod, in_shape->size());
  if (!perm) return std::nullopt;
  // Only the data input is reshaped; a Transpose has no other.
  return UnitAxisPlan{perm_without_axes(*perm, exclude),
                      {{plan_input_reshape(ir, nod, 0, without_axes(*in_shape, exclude))}, {*out_shape}}};
}

RuleResult squeeze_1_in_nd(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node nod = nodes.at(0);
  const auto plan = match_unit_axes(ir, nod);
  if (!plan) return no_change();
  ir.set_attr(nod, "perm", plan->perm);
  return apply_wrap(ir, nod, plan->wrap);
}

// ============================================================ elementwise, channelwise, MatMul, Expand

std::optional<WrapPlan> match_elementwise(const Ir& ir, const Node& nod) {
  if (!ir.shape_raw(nod.input(0)) || !ir.shape_raw(nod.input(1))) return std::nullopt;
  const auto in_0 = operand_shape(ir, nod.input(0));
  const auto in_1 = operand_shape(ir, nod.input(1));
  const auto out = known_shape(ir, nod.output(0));
  if (!in_0 || !in_1 || !out || out->size() <= 5) return std::nullopt;
  if (in_0->size() > out->size() || in_1->size() > out->size()) return std::nullopt;
  const auto split = find_tail_merge(pad_left_ones(*in_0, out->size()), pad_left_ones(*in_1, out->size()),
                                     broadcast_merge);
  if (!split) return std::nullopt;
  // Each input position gets its own Reshape, also when both name one tensor.
  return WrapPlan{{plan_input_reshape(ir, nod, 0, split->shape_0), plan_input_reshape(ir, nod, 1, split->shape_1)},
                  {*out}};
}

RuleResult squeeze_nd_elementwise_op(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node nod = nodes.at(0);
  const auto plan = match_elementwise(ir, nod);
  return plan ? apply_wrap(ir, nod, *plan) : no_change();
}

std::optional<WrapPlan> match_channelwise(const Ir& ir, const Node& nod) {
  const auto in_shape = known_shape(ir, nod.input(0));
  if (!in_shape || in_shape->size() <= 5) return std::nullopt;
  const auto out_shape = known_shape(ir, nod.output(0));
  if (!out_shape) return std::nullopt;
  // The channel axis stays at position 1, so the per-channel parameters keep their shapes.
  return WrapPlan{{plan_input_reshape(ir, nod, 0, channelwise_shape(*in_shape))}, {*out_shape}};
}

RuleResult squeeze_nd_channelwise_op(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node nod = nodes.at(0);
  const auto plan = match_channelwise(ir, nod);
  return plan ? apply_wrap(ir, nod, *plan) : no_change();
}

std::optional<WrapPlan> match_matmul(const Ir& ir, const Node& matmul) {
  const auto out = known_shape(ir, matmul.output(0));
  if (!out || out->size() <= 4) return std::nullopt;
  const auto in_0 = operand_shape(ir, matmul.input(0));
  const auto in_1 = operand_shape(ir, matmul.input(1));
  if (!in_0 || !in_1) return std::nullopt;
  // An operand of higher rank than the output is a vector operand, whose
  // axis the MatMul drops; such a product is left as it is.
  if (in_0->size() > out->size() || in_1->size() > out->size()) return std::nullopt;
  const auto split = find_head_merge(pad_left_ones(*in_0, out->size()), pad_left_ones(*in_1, out->size()), {3, 2},
                                     broadcast_merge);
  if (!split) return std::nullopt;
  return WrapPlan{
      {plan_input_reshape(ir, matmul, 0, split->shape_0), plan_input_reshape(ir, matmul, 1, split->shape_1)}, {*out}};
}

RuleResult squeeze_nd_matmul(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node matmul = nodes.at(0);
  const auto plan = match_matmul(ir, matmul);
  return plan ? apply_wrap(ir, matmul, *plan) : no_change();
}

struct ExpandPlan {
  Shape data_shape;
  Shape target_shape;
  Shape out_shape;
};

std::optional<ExpandPlan> match_expand(const Ir& ir, const Node& expand) {
  const auto in_shape = known_shape(ir, expand.input(0));
  if (!in_shape || in_shape->size() <= 4) return std::nullopt;
  if (!ir.is_const(expand.input(1))) return std::nullopt;
  const auto out_shape = known_shape(ir, expand.output(0));
  // Data of lower rank than the output is first raised to the output's rank
  // by another rule; until then the Expand is left alone.
  if (!out_shape || out_shape->size() != in_shape->size()) return std::nullopt;
  const auto split = find_head_merge(*in_shape, *out_shape, {3, 2, 1, 0}, broadcast_merge);
  if (!split) return std::nullopt;
  return ExpandPlan{split->shape_0, split->shape_1, *out_shape};
}

RuleResult squeeze_nd_expand(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node expand = nodes.at(0);
  const auto plan = match_expand(ir, expand);
  if (!plan) return no_change();
  const Builder g(ir);
  // The data always gets a Reshape, constant or not; the target shape is a
  // constant and takes the four-dimensional shape in place.
  expand.set_input(0, g.op("Reshape", {expand.input(0), plan->data_shape}));
  ir.set_const(expand.input(1), Array::from_ints(plan->target_shape, DType::Int64));
  restore_output(g, expand, 0, plan->out_shape);
  return added(g);
}

// ============================================================ N-D Transposes

struct TransposePlan {
  Shape input_shape;
  Ints perm;
  Shape out_shape;
};

std::optional<TransposePlan> match_transpose(const Ir& ir, const Node& transpose) {
  const auto in_shape = known_shape(ir, transpose.input(0));
  const auto out_shape = known_shape(ir, transpose.output(0));
  if (!in_shape || !out_shape) return std::nullopt;
  const auto perm = transpose_perm(ir, transpose, in_shape->size());
  if (in_shape->size() < 5 || !perm) return std::nullopt;
  const auto merge = plan_transpose_merge(*in_shape, *perm);
  if (!merge) return std::nullopt;
  return TransposePlan{merge->input_shape, merge->perm, *out_shape};
}

RuleResult squeeze_nd_transpose(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node transpose = nodes.at(0);
  const auto plan = match_transpose(ir, transpose);
  if (!plan) return no_change();
  const Builder g(ir);
  transpose.set_input(0, g.op("Reshape", {transpose.input(0), plan->input_shape}));
  ir.set_attr(transpose, "perm", plan->perm);
  restore_output(g, transpose, 0, plan->out_shape);
  return added(g);
}

// ============================================================ operators along one axis

struct AxisOpPlan {
  AxisMerge merge;
  Shape out_shape;
  std::optional<Shape> indices_shape;  // TopK's second output
};

// The operator's axis, non-negative; nullopt when the node has none the rule
// can use.  A missing `axis` means the last axis, as for the operators
// themselves; a negative one counts from the end.
std::optional<int64_t> operator_axis(const Ir& ir, const Node& op, size_t rank) {
  const std::string type = op.op_type();
  int64_t axis;
  if (type == "exSoftmax13"sv || type == "TopK"sv) {
    const Ref value = ir.get_attr(op, "axis");
    axis = value.is_none() ? -1 : to_int(value, "attribute 'axis' of node '" + op.name() + "'");
  } else if (type == "ReduceSum"sv) {
    const Ints axes = get_reduce_axes(ir, op);
    if (axes.size() != 1) return std::nullopt;
    axis = axes[0];
  } else {
    return std::nullopt;
  }
  const int64_t r = static_cast<int64_t>(rank);
  if (axis < -r || axis >= r) return std::nullopt;
  return axis < 0 ? axis + r : axis;
}

bool has_second_output(const Ir& ir, const Node& op) {
  return op.num_outputs() > 1 && !ir.is_invalid(op.output(1));
}

std::optional<AxisOpPlan> match_axis_op(const Ir& ir, const Node& op) {
  const auto i_shape = known_shape(ir, op.input(0));
  if (!i_shape || i_shape->size() <= 4) return std::nullopt;
  const auto axis = operator_axis(ir, op, i_shape->size());
  if (!axis) return std::nullopt;
  const auto o_shape = known_shape(ir, op.output(0));
  if (!o_shape) return std::nullopt;
  AxisOpPlan plan{plan_axis_merge(*i_shape, *axis), *o_shape, std::nullopt};
  if (op.op_type() == "TopK"sv && has_second_output(ir, op)) {
    plan.indices_shape = known_shape(ir, op.output(1));
    if (!plan.indices_shape) return std::nullopt;
  }
  return plan;
}

RuleResult squeeze_nd_axis_op(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node op = nodes.at(0);
  const auto plan = match_axis_op(ir, op);
  if (!plan) return no_change();
  const Builder g(ir);
  op.set_input(0, g.op("Reshape", {op.input(0), plan->merge.shape}));
  restore_output(g, op, 0, plan->out_shape);
  if (op.op_type() == "ReduceSum"sv) {
    set_reduce_axes(ir, op, {plan->merge.axis});
  } else {
    ir.set_attr(op, "axis", plan->merge.axis);
    if (plan->indices_shape) restore_output(g, op, 1, *plan->indices_shape);
  }
  return added(g);
}

// ============================================================ Split / Concat

struct SplitConcatPlan {
  std::vector<Shape> in_shapes;
  std::vector<Shape> out_shapes;
  int64_t new_axis;
  Shape new_shape;
  Ints new_chunk_size;
  GatherPlan gather;
  bool need_gather;
};

// Shapes of the tensors that must all be above four dimensions: the data
// input of a Split, every input of a Concat, and all outputs.
std::optional<std::vector<Shape>> shapes_above_4d(const Ir& ir, const Strings& tensors) {
  std::vector<Shape> shapes;
  for (const std::string& t : tensors) {
    auto s = known_shape(ir, t);
    if (!s || s->size() <= 4) return std::nullopt;
    shapes.push_back(*s);
  }
  return shapes;
}

// The split/concat axis as stored; a Split without one splits axis 0.
std::optional<int64_t> split_concat_axis(const Ir& ir, const Node& nod) {
  const Ref value = ir.get_attr(nod, "axis");
  if (value.is_none()) return nod.op_type() == "Split"sv ? std::optional<int64_t>(0) : std::nullopt;
  return to_int(value, "attribute 'axis' of node '" + nod.name() + "'");
}

// The sizes of the pieces along the axis: a Split's constant second input
// (a Split sized any other way is not handled), a Concat's input extents.
// `host_value` is what the converter's Gather planner is handed: the Split's
// constant as stored, the Concat's list.
struct Chunks {
  Ints sizes;
  Value host_value;
};

std::optional<Chunks> chunk_sizes(const Ir& ir, const Node& nod, const std::vector<Shape>& in_shapes, int64_t axis) {
  if (nod.op_type() == "Split"sv) {
    if (nod.num_inputs() < 2 || !ir.is_const(nod.input(1))) return std::nullopt;
    const Ref value = ir.get_const_ref(nod.input(1));
    if (value.is_none()) return std::nullopt;
    Ints sizes = to_ints(value, "split sizes of node '" + nod.name() + "'");
    if (sizes.size() != nod.num_outputs() || !all_extents_known(sizes)) return std::nullopt;
    return Chunks{sizes, value};
  }
  Ints sizes;
  for (const Shape& s : in_shapes) {
    if (axis < 0 || axis >= static_cast<int64_t>(s.size())) return std::nullopt;
    sizes.push_back(s[axis]);
  }
  return Chunks{sizes, sizes};
}

std::optional<SplitConcatPlan> match_split_concat(const Ir& ir, const Node& nod) {
  const bool is_split = nod.op_type() == "Split"sv;
  Strings inputs = nod.inputs();
  if (is_split) inputs.resize(std::min<size_t>(inputs.size(), 1));
  if (inputs.empty()) return std::nullopt;
  auto in_shapes = shapes_above_4d(ir, inputs);
  auto out_shapes = shapes_above_4d(ir, nod.outputs());
  if (!in_shapes || !out_shapes || out_shapes->empty()) return std::nullopt;
  const auto axis = split_concat_axis(ir, nod);
  if (!axis) return std::nullopt;
  const auto chunks = chunk_sizes(ir, nod, *in_shapes, *axis);
  if (!chunks) return std::nullopt;

  const Shape& refer_shape = is_split ? in_shapes->front() : out_shapes->front();
  const int64_t merge_ndim = static_cast<int64_t>(refer_shape.size()) - 3;
  const auto start = merge_window_start(refer_shape.size(), *axis);
  if (!start) return std::nullopt;
  const Shape new_shape = merge_window(refer_shape, *start, merge_ndim);

  GatherPlan gather = gen_gather_for_change_split_shape(refer_shape, new_shape, *axis, *start, chunks->host_value,
                                                        nod.op_type());
  if (!gather.axis) return std::nullopt;
  const bool need_gather = needs_reorder(gather.index);
  const Ints new_chunks = scale_chunks(chunks->sizes, window_other_product(refer_shape, *start, merge_ndim, *axis));
  return SplitConcatPlan{*in_shapes, *out_shapes, *start, new_shape, new_chunks, gather, need_gather};
}

// Gather along the merged axis, reordering elements so that every piece is
// contiguous; returns the Gather's output.
std::string gather(const Builder& g, const std::string& input, const GatherPlan& plan, const Kwargs& extra = {}) {
  Kwargs kwargs = {{"axis", *plan.axis}};
  kwargs.insert(kwargs.end(), extra.begin(), extra.end());
  return g.op("Gather", {input, plan.index}, kwargs);
}

void build_split(const Ir& ir, const Builder& g, const Node& nod, const SplitConcatPlan& p) {
  Strings names;
  for (const std::string& o : nod.outputs()) names.push_back(node_name_join(ir, o, "_rs"));
  std::string t = nod.input(0);
  if (p.gather.before && p.need_gather) t = gather(g, t, p.gather);
  t = g.op("Reshape", {t, p.new_shape});
  if (!p.gather.before && p.need_gather) t = gather(g, t, p.gather);
  g.op("Split", {t, p.new_chunk_size},
       {{"outputs", names}, {"axis", p.new_axis}, {"name", nod.name() + "_to4D"}});
  for (size_t k = 0; k < names.size(); ++k)
    g.op("Reshape", {names[k], p.out_shapes[k]}, {{"outputs", Strings{nod.output(k)}}});
}

void build_concat(const Ir& ir, const Builder& g, const Node& nod, const SplitConcatPlan& p) {
  const Strings inputs = nod.inputs();
  std::vector<OpInput> names;
  for (size_t k = 0; k < inputs.size(); ++k) {
    const std::string name = node_name_join(ir, inputs[k], "_rs");
    Shape piece = p.new_shape;
    piece[p.new_axis] = p.new_chunk_size[k];
    g.op("Reshape", {inputs[k], piece}, {{"outputs", Strings{name}}});
    names.emplace_back(name);
  }
  std::string t = g.op("Concat", names, {{"axis", p.new_axis}, {"name", nod.name() + "_to4D"}});
  if (p.gather.before && p.need_gather) t = gather(g, t, p.gather);
  t = g.op("Reshape", {t, p.out_shapes.front()});
  if (!p.gather.before && p.need_gather) gather(g, t, p.gather, {{"outputs", nod.outputs()}});
  // The last node writes the former output tensor.
  g.last_node().set_output(0, nod.output(0));
}

RuleResult merge_dims_and_convert_ND_to_4D(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node nod = nodes.at(0);
  const auto plan = match_split_concat(ir, nod);
  if (!plan) return no_change();
  const Builder g(ir);
  if (nod.op_type() == "Split"sv)
    build_split(ir, g, nod, *plan);
  else
    build_concat(ir, g, nod, *plan);
  return replaced(nodes, g);
}

}  // namespace

const std::vector<RuleDef>& merge_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_squeeze_1_in_nd", squeeze_1_in_nd,
       "Drop unit axes from a Transpose of five or more dimensions.\n\n"
       "Matched operators: Transpose.\n\n"
       "Approach: axes of extent 1 are taken out of the input from the outermost\n"
       "inwards, never below four axes; a Reshape in front of the data input (a\n"
       "constant input is reshaped in place) removes them, perm is renumbered for\n"
       "the remaining axes, and a Reshape behind the output restores its shape."},
      {"_p_squeeze_nd_elementwise_op", squeeze_nd_elementwise_op,
       "Fold a broadcasting binary operator of six or more dimensions into four.\n\n"
       "Matched operators: Add, Mul, Sub, Div.\n\n"
       "Approach: both inputs are padded with leading 1s to the output's rank;\n"
       "keeping 3, 2, 1 or 0 leading axes, the trailing part is merged by broadcast\n"
       "type until it forms exactly 1, 2, 3 or 4 axes. Each input is reshaped to\n"
       "its four axes (constants in place) and a Reshape behind the operator\n"
       "restores the output shape."},
      {"_p_squeeze_nd_channelwise_op", squeeze_nd_channelwise_op,
       "Fold a per-channel operator of six or more dimensions into four.\n\n"
       "Matched operators: BatchNormalization.\n\n"
       "Approach: the data input becomes [N, C, 1, W] with W the product of all\n"
       "axes behind the channel (a constant is reshaped in place); the channel\n"
       "parameters stay as they are and a Reshape behind restores the output."},
      {"_p_squeeze_nd_matmul", squeeze_nd_matmul,
       "Fold a MatMul of five or more output dimensions into four.\n\n"
       "Matched operators: MatMul.\n\n"
       "Approach: the matrix axes stay; the inputs are padded with leading 1s and\n"
       "their batch axes merged by broadcast type, keeping the last three axes and\n"
       "merging the rest into one, or else keeping two and merging into two.\n"
       "Inputs are reshaped (constants in place) and the output restored."},
      {"_p_squeeze_nd_expand", squeeze_nd_expand,
       "Fold an Expand of five or more dimensions into four.\n\n"
       "Matched operators: Expand.\n\n"
       "Approach: with a constant target shape, the leading axes of data and\n"
       "output are merged by broadcast type while the last 3, 2, 1 or 0 axes stay,\n"
       "until exactly four axes result. The data gets a Reshape, the target\n"
       "constant takes the four-dimensional int64 shape, and the output is restored."},
      {"_p_squeeze_nd_transpose", squeeze_nd_transpose,
       "Fold a Transpose of five or more dimensions into four.\n\n"
       "Matched operators: Transpose.\n\n"
       "Approach: input axes that follow each other directly in perm move as one\n"
       "block and are merged, outer axes first; when merging all of them leaves\n"
       "fewer than four axes, the innermost ones stay apart so that exactly four\n"
       "remain. More than four after every merge, or nothing to merge, leaves the\n"
       "node alone. The input is reshaped, perm renumbered and the output restored."},
      {"_p_squeeze_nd_axis_op", squeeze_nd_axis_op,
       "Fold an operator working along one axis, of five or more dimensions, into four.\n\n"
       "Matched operators: exSoftmax13, ReduceSum, TopK.\n\n"
       "Approach: unit axes other than the operator's own are dropped from the last\n"
       "towards the first until four remain; if more remain, the axes after the\n"
       "operator's axis are merged into one and then those before it, so that\n"
       "exactly four are left. Reshapes wrap the operator (both TopK outputs) and\n"
       "the axis, or the single reduce axis, follows to its new position."},
      {"_p_merge_dims_and_convert_ND_to_4D", merge_dims_and_convert_ND_to_4D,
       "Replace a Split or Concat of five or more dimensions by a four-dimensional one.\n\n"
       "Matched operators: Split, Concat.\n\n"
       "Approach: a window of rank - 3 adjacent axes holding the split/concat axis\n"
       "becomes one axis, preferably the window that starts at that axis, which\n"
       "keeps every piece contiguous; otherwise a Gather on the merged axis puts the\n"
       "elements in order. Chunk sizes are scaled by the other merged extents, and\n"
       "Reshapes convert between the former shapes and the four-dimensional ones."},
  };
  return rules;
}

}  // namespace vexo::dims
