// Rank lowering: five-dimensional operators lose a unit axis.
//
// The NPU runs no five-dimensional operator.  `_p_squeeze_to_4d` deletes axis
// 0 or 1 (whichever is the first unit axis) from one matched operator and
// keeps the graph equivalent by wrapping it: a Reshape before each changed
// non-constant input, a Reshape after each output restoring the former shape
// under the former name.  Axis-like attributes and constant inputs are
// renumbered for four dimensions.  `_p_squeeze_to_4d_transpose` does the same
// for a Transpose, merging two axes when the input has no unit axis.
#include <algorithm>
#include <map>
#include <type_traits>

#include "frame.hpp"
#include "squeeze_algebra.hpp"

using namespace std::string_view_literals;

namespace vexo::dims {

namespace {

bool contains(const Ints& values, int64_t v) { return std::find(values.begin(), values.end(), v) != values.end(); }

// ============================================================ _p_squeeze_to_4d: matching

struct SqueezeMatch {
  Node nod;
  std::string op_type;
  bool reduce_op = false;
  int64_t axis_rm = 0;
};

// The axis every five-dimensional shape of the node loses.  Reductions,
// Split and Slice are judged by their non-constant inputs, every other
// operator by all of its outputs; each judged shape must qualify and the last
// one decides.  nullopt when one does not qualify or none is judged.
std::optional<int64_t> decide_removed_axis(const Ir& ir, const Node& nod, bool by_inputs) {
  std::optional<int64_t> axis_rm;
  for (const std::string& name : by_inputs ? nod.inputs() : nod.outputs()) {
    if (by_inputs && (name.empty() || ir.is_const(name))) continue;
    const std::optional<Shape> shape = ir.shape(name);
    const std::optional<int64_t> axis = shape ? squeeze_removed_axis(*shape) : std::nullopt;
    if (!axis) return std::nullopt;
    axis_rm = axis;
  }
  return axis_rm;
}

bool resize_allows(const Ir& ir, const Node& nod) {
  const std::optional<Shape> in = ir.shape(nod.input(0));
  const std::optional<Shape> out = ir.shape(nod.output(0));
  return in && out && resize_scales_only_axis_3(*in, *out);
}

bool data_convert_allows(const Ir& ir, const Node& nod) {
  return !ir.is_graph_input(nod.input(0)) && !ir.is_graph_output(nod.output(0));
}

// A Slice without an axes input slices every axis, the removed one included.
// Axes are compared as stored: negative values are not normalised.
bool slice_allows(const Ir& ir, const Node& nod, int64_t axis_rm) {
  if (nod.num_inputs() < 4 || nod.input(3).empty()) return false;
  const std::optional<Array> axes = ir.get_const(nod.input(3));
  if (!axes) log::error(format("Only support constant 'axes' in Slice '{}'!", {nod.name()}));
  return !contains(axes->to_ints(), axis_rm);
}

// Split splits axis 0 when it names none; Concat must name its axis.
bool split_concat_allows(const Ir& ir, const Node& nod, const std::string& op_type, int64_t axis_rm) {
  const Ref axis = ir.get_attr(nod, "axis");
  if (axis.is_none() && op_type == "Split"sv) return axis_rm != 0;
  return to_int(axis, "attribute 'axis' of node '" + nod.name() + "'") != axis_rm;
}

// The operator-specific test; each op type runs only its own.
bool op_allows(const Ir& ir, const SqueezeMatch& m) {
  const Node& nod = m.nod;
  const std::string& op = m.op_type;
  if (op == "Resize"sv) return resize_allows(ir, nod);
  if (op == "exDataConvert"sv) return data_convert_allows(ir, nod);
  if (op == "Slice"sv) return slice_allows(ir, nod, m.axis_rm);
  if (op == "Split"sv || op == "Concat"sv) return split_concat_allows(ir, nod, op, m.axis_rm);
  if (m.reduce_op) return !contains(get_reduce_axes(ir, nod), m.axis_rm);
  if (op == "ScatterND"sv) return ir.is_const(nod.input(1));
  return true;
}

// Wrapping needs the former shape of every non-constant data input and of
// every valid output.  An empty shape is a scalar; a shape the host does not
// know at all cannot be wrapped, so such a node is left as it is.
bool wrapped_shapes_known(const Ir& ir, const SqueezeMatch& m) {
  const Strings inputs = m.nod.inputs();
  for (size_t k = 0; k < inputs.size(); ++k) {
    const std::string& name = inputs[k];
    if (name.empty() || squeeze_input_role(m.op_type, k, m.reduce_op) != InputRole::data) continue;
    if (!ir.is_const(name) && !ir.shape_raw(name)) return false;
  }
  for (const std::string& name : m.nod.outputs())
    if (!ir.is_invalid(name) && !ir.shape_raw(name)) return false;
  return true;
}

std::optional<SqueezeMatch> match_squeeze(const Ir& ir, const NodeList& nodes) {
  SqueezeMatch m{nodes.at(0), "", false, 0};
  m.op_type = m.nod.op_type();
  m.reduce_op = in_reduce_ops(m.op_type);
  const std::optional<int64_t> axis_rm =
      decide_removed_axis(ir, m.nod, squeeze_judged_by_inputs(m.op_type, m.reduce_op));
  if (!axis_rm) return std::nullopt;
  m.axis_rm = *axis_rm;
  if (ir.dynamic_shapes() && m.axis_rm != 0) return std::nullopt;
  if (!op_allows(ir, m)) return std::nullopt;
  if (!wrapped_shapes_known(ir, m)) return std::nullopt;
  return m;
}

// ============================================================ _p_squeeze_to_4d: rewriting

// One rewrite of a matched node.  Each step writes to the graph at once; a
// message stops the rule and leaves the earlier writes in place.
class SqueezeRewrite {
 public:
  SqueezeRewrite(const Ir& ir, SqueezeMatch m) : ir_(ir), m_(std::move(m)), g_(ir) {}

  RuleResult run() {
    rewrite_inputs();
    rewrite_attributes();
    wrap_outputs();
    return added(g_);
  }

 private:
  const Node& nod() const { return m_.nod; }

  [[noreturn]] void report(SqueezeFault fault, const std::string& input = "", size_t rank = 0) const {
    const std::string axis = py_str(m_.axis_rm);
    switch (fault) {
      case SqueezeFault::pads_range:
        log::error(format("The axis_rm = {} is out of range of 'pads' in '{}'!", {axis, nod().name()}));
      case SqueezeFault::matmul_rank:
        log::error(format("Not support shape_dims = {} for {} in MatMul!", {py_str(int64_t(rank)), input}));
      default:
        log::error(format("The axis_rm = {} is out of range of 'shape' in '{}'!", {axis, nod().name()}));
    }
  }

  // ---------------------------------------------------------- inputs

  void rewrite_inputs() {
    const size_t n = nod().num_inputs();
    for (size_t k = 0; k < n; ++k) {
      const std::string name = nod().input(k);
      if (auto done = processed_.find(name); done != processed_.end()) {
        nod().set_input(k, done->second);
        continue;
      }
      switch (squeeze_input_role(m_.op_type, k, m_.reduce_op)) {
        case InputRole::kept: break;
        case InputRole::slice_axes: rewrite_axes_const(name, "Only support constant 'axes' in Slice '{}'!"); break;
        case InputRole::pad_pads: rewrite_pads_const(name, format("Only support constant 'pads' in Pad '{}'!",
                                                                   {nod().name()})); break;
        // Resize roi, scales and sizes are read as constants at every position
        // 1 to 3 the node has, whatever the name there.  An absent input given
        // as the empty name has no constant, so such a Resize stops with the
        // "Only support constant" message like one whose input is computed; a
        // silent skip would make the outcome depend on how a host marks an
        // absent input.  Absent trailing inputs left off the node are not read.
        case InputRole::resize_roi: rewrite_pads_const(name, resize_message("roi")); break;
        case InputRole::resize_scales: rewrite_shape_const(name, "scales"); break;
        case InputRole::resize_sizes: rewrite_shape_const(name, "sizes"); break;
        case InputRole::scatter_indices: rewrite_scatter_indices(name); break;
        case InputRole::data:
          // An absent optional input has nothing to reshape.
          if (!name.empty()) reshape_input(k, name);
          break;
      }
    }
  }

  void reshape_input(size_t k, const std::string& name) {
    // An empty shape is a scalar here: a non-constant one becomes [1, 1, 1, 1],
    // a constant one keeps its empty shape.
    const Shape old_shape = ir_.shape_raw(name).value_or(Shape{});
    const Squeezed<Shape> fresh = squeeze_input_shape(old_shape, m_.axis_rm, m_.op_type == "MatMul"sv);
    if (!fresh.ok()) report(fresh.fault, name, old_shape.size());
    if (ir_.is_const(name)) {
      if (old_shape.empty() || old_shape == fresh.value) return;
      ir_.set_shape(name, fresh.value);
      processed_[name] = name;
      return;
    }
    if (old_shape == fresh.value) return;
    const std::string reshaped = g_.op("Reshape", {name, fresh.value});
    nod().set_input(k, reshaped);
    processed_[name] = reshaped;
  }

  // ---------------------------------------------------------- constant inputs rewritten in place

  static std::string resize_message(const std::string& word) {
    return format("Only support constant '{}' in Resize!", {word});
  }

  Array const_or_report(const std::string& name, const std::string& message) const {
    std::optional<Array> value = ir_.get_const(name);
    if (!value) log::error(message);
    return std::move(*value);
  }

  // The constant's values as a plain list, squeezed by `fn`, stored back under
  // the same name when they changed.  The new values keep the constant's own
  // element type: Resize takes its scales and roi only as float32 (a float64
  // list would make the model unloadable), and Slice wants its axes in the
  // element type of its starts and ends.
  template <typename Fn>
  void store_squeezed(const std::string& name, const Array& value, Fn fn) {
    if (dtype_is_floating(value.dtype()))
      store_if_changed(name, value.to_doubles(), value.dtype(), fn);
    else
      store_if_changed(name, value.to_ints(), value.dtype(), fn);
  }

  template <typename T, typename Fn>
  void store_if_changed(const std::string& name, const std::vector<T>& list, DType dtype, Fn fn) {
    const auto squeezed = fn(list);
    if (!squeezed.ok()) report(squeezed.fault);
    if (squeezed.value == list) return;
    if constexpr (std::is_same_v<T, double>)
      ir_.set_const(name, Array::from_doubles(squeezed.value, dtype));
    else
      ir_.set_const(name, Array::from_ints(squeezed.value, dtype));
  }

  void rewrite_axes_const(const std::string& name, const char* message) {
    const Ints axes = const_or_report(name, format(message, {nod().name()})).to_ints();
    const Ints fresh = squeeze_axes(axes, m_.axis_rm);
    if (fresh != axes) ir_.set_const(name, Array::from_ints(fresh));
  }

  void rewrite_pads_const(const std::string& name, const std::string& message) {
    const Array value = const_or_report(name, message);
    store_squeezed(name, value, [&](const auto& list) { return squeeze_pads(list, m_.axis_rm); });
  }

  void rewrite_shape_const(const std::string& name, const std::string& word) {
    const Array value = const_or_report(name, resize_message(word));
    store_squeezed(name, value, [&](const auto& list) { return squeeze_shape(list, m_.axis_rm); });
  }

  void rewrite_scatter_indices(const std::string& name) {
    const std::optional<Shape> shape = ir_.shape_raw(name);
    const ScatterIndicesPlan plan = scatter_indices_plan(shape.value_or(Shape{}), m_.axis_rm);
    if (plan.kind == ScatterIndicesPlan::unsupported)
      log::error(format("Not support indices.shape = {} in {}({})!",
                        {shape ? py_str(*shape) : "None", m_.op_type, nod().name()}));
    const std::optional<Array> indices = ir_.get_const(name);
    if (!indices) throw HostTypeError("indices '" + name + "' of node '" + nod().name() + "' have no constant value");
    ir_.set_const(name, apply_scatter_indices_plan(*indices, plan));
  }

  // ---------------------------------------------------------- attributes

  void rewrite_attributes() {
    if (squeeze_renumbers_axis_attr(m_.op_type)) {
      rewrite_axis_attr();
    } else if (m_.reduce_op) {
      rewrite_reduce_axes();
      if (ir_.get_attr(nod(), "keepdims").equals(0)) ir_.set_attr(nod(), "keepdims", int64_t{1});
    }
  }

  // An absent axis keeps its default: it counts from the end for the softmax
  // family, TopK and LpNormalization, and Split's axis 0 stays 0 under axis_rm 1.
  void rewrite_axis_attr() {
    const Ref axis = ir_.get_attr(nod(), "axis");
    if (axis.is_none()) return;
    const int64_t old_axis = to_int(axis, "attribute 'axis' of node '" + nod().name() + "'");
    const int64_t new_axis = squeeze_axes({old_axis}, m_.axis_rm)[0];
    if (new_axis != old_axis) ir_.set_attr(nod(), "axis", new_axis);
  }

  // With keepdims 1 the reduced axes stay; the Reshape after the output
  // removes them again.
  void rewrite_reduce_axes() {
    const Ints axes = get_reduce_axes(ir_, nod());
    const Ints new_axes = squeeze_axes(axes, m_.axis_rm);
    if (new_axes != axes) set_reduce_axes(ir_, nod(), new_axes);
  }

  // ---------------------------------------------------------- outputs

  void wrap_outputs() {
    const size_t n = nod().num_outputs();
    for (size_t k = 0; k < n; ++k) {
      const std::string name = nod().output(k);
      if (ir_.is_invalid(name)) continue;
      const std::optional<Shape> shape = ir_.shape_raw(name);
      if (!shape) throw HostTypeError("output '" + name + "' of node '" + nod().name() + "' lost its shape");
      const std::string fresh = g_.op("Reshape", {None{}, *shape}, {{"outputs", Strings{name}}});
      nod().set_output(k, fresh);
    }
  }

  const Ir& ir_;
  SqueezeMatch m_;
  Builder g_;
  std::map<std::string, std::string> processed_;  // input name -> the name that replaces it
};

RuleResult squeeze_to_4d(const Ir& ir, const NodeList& nodes, const Ref&) {
  std::optional<SqueezeMatch> m = match_squeeze(ir, nodes);
  if (!m) return no_change();
  return SqueezeRewrite(ir, std::move(*m)).run();
}

// ============================================================ _p_squeeze_to_4d_transpose

struct TransposePlan {
  Node nod;
  TransposeSqueeze squeeze;
  Shape output_shape;  // the former five-dimensional output, from the input and perm
};

// Without a perm attribute a Transpose reverses its axes.
Ints transpose_perm(const Ir& ir, const Node& nod) {
  const Ref perm = ir.get_attr(nod, "perm");
  const Ints value =
      perm.is_none() ? Ints{4, 3, 2, 1, 0} : to_ints(perm, "attribute 'perm' of node '" + nod.name() + "'");
  if (!is_permutation(value, 5))
    throw std::invalid_argument("Transpose '" + nod.name() + "': perm " + py_str(value) +
                                " is not a permutation of its 5 input axes");
  return value;
}

std::optional<TransposePlan> plan_transpose_squeeze(const Ir& ir, const NodeList& nodes) {
  const Node nod = nodes.at(0);
  const std::optional<Shape> i_shape = ir.shape(nod.input(0));
  if (!i_shape || i_shape->size() != 5) return std::nullopt;
  const Ints perm = transpose_perm(ir, nod);
  std::optional<TransposeSqueeze> squeeze = squeeze_transpose(*i_shape, perm);
  if (!squeeze) return std::nullopt;
  return TransposePlan{nod, std::move(*squeeze), transposed_shape(*i_shape, perm)};
}

// The Reshape written as a plain ONNX node, its target shape stored as the
// constant "<node name>_shape".
Node reshape_node(const Ir& ir, const std::string& name, const std::string& from, const std::string& to,
                  const Shape& shape) {
  const std::string shape_name = name + "_shape";
  ir.set_const(shape_name, Array::from_ints(shape));
  return make_onnx_node("Reshape", {from, shape_name}, {to}, name);
}

RuleResult squeeze_to_4d_transpose(const Ir& ir, const NodeList& nodes, const Ref&) {
  const std::optional<TransposePlan> plan = plan_transpose_squeeze(ir, nodes);
  if (!plan) return no_change();
  const Node& nod = plan->nod;
  ir.set_attr(nod, "perm", plan->squeeze.perm);

  const std::string in = nod.input(0);
  const std::string squeezed_in = in + "_shape4" + nod.name();
  const Node reshape0 = reshape_node(ir, node_name_join(ir, nod.name(), "_squeeze0"), in, squeezed_in,
                                     plan->squeeze.input_shape);
  nod.set_input(0, squeezed_in);

  const std::string out = nod.output(0);
  const std::string squeezed_out = out + "_shape4";
  const std::string name1 = node_name_join(ir, nod.name(), "_squeeze1");
  // The host's record of the output shape is the one restored; a host that
  // records none gets the shape the five-dimensional Transpose produced.
  const Shape o_shape = ir.shape(out).value_or(plan->output_shape);
  const Node reshape1 = reshape_node(ir, name1, squeezed_out, out, o_shape);
  nod.set_output(0, squeezed_out);
  return result({}, {reshape0, reshape1});
}

}  // namespace

const std::vector<RuleDef>& squeeze_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_squeeze_to_4d", squeeze_to_4d,
       "Make a five-dimensional operator four-dimensional by deleting a unit axis, axis 0 or axis 1.\n\n"
       "Matched operators: one node of the 44 squeeze_to_4d entries: elementwise arithmetic, logic and "
       "comparison, activations, Softmax, exSoftmax13, LogSoftmax, TopK, Concat, Split, Slice, Pad, Resize, "
       "MatMul, Where, Cast, exDataConvert, ScatterND and the reductions.\n\n"
       "Approach: every output shape (every non-constant input shape for reductions, Split and Slice) must be "
       "five-dimensional with a 1 at axis 0 or 1, and the first unit axis of the last one is removed; only axis 0 "
       "under dynamic shapes. A Slice, Split, Concat or reduction over that axis, a Resize scaling axis 1, 2 or 4, "
       "an exDataConvert at the graph's edge and a ScatterND with computed indices are left alone. Otherwise "
       "each non-constant input is reshaped to four dimensions once (lower-rank operands right-aligned, MatMul "
       "by rank), constant shapes change in place, Slice axes, Pad pads, Resize roi, scales and sizes and "
       "ScatterND indices are renumbered, axis, reduce axes and keepdims follow, and every output gets a "
       "Reshape back to its former shape under its former name."},
      {"_p_squeeze_to_4d_transpose", squeeze_to_4d_transpose,
       "Run a five-dimensional Transpose as a four-dimensional one between Reshapes.\n\n"
       "Matched operators: Transpose (no table entry).\n\n"
       "Approach: the input's first unit axis is dropped; without one, the first input axis that directly "
       "follows its predecessor through the permutation is merged into it, and a Transpose with no such pair "
       "is left alone. The permutation is renumbered, and two ONNX Reshape nodes, with their shapes stored as "
       "constants, reshape the input to four dimensions and the output back to its former shape."},
  };
  return rules;
}

}  // namespace vexo::dims
