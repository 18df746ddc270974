// Channel alignment and layout: Concat/Split channel padding, concat axis swap,
// NHWC-to-NCHW propagation and window-partition fusion.
//
// Every rule first matches and plans (reading the graph only, computing every
// weight, padded constant and shape it will write), then rewrites.  A refusal,
// or bad input found while planning, leaves the graph untouched.
#include <map>
#include <set>
#include <stdexcept>

#include "frame.hpp"
#include "layout_algebra.hpp"
#include "shape_common.hpp"

using namespace std::string_view_literals;

namespace vexo::dims {

namespace {

// Channel Concats and Splits wider than this are not aligned (Concats on n7 and x4 excepted).
constexpr int64_t kMaxAlignedChannels = 2048;

const Ints kToNchw{0, 3, 1, 2};
const Ints kToNhwc{0, 2, 3, 1};

// The attributes of every 1x1 Conv these rules build, in the order they are passed.
Kwargs conv_1x1_attrs() {
  return {{"kernel_shape", IntsTuple{{1, 1}}},
          {"dilations", IntsTuple{{1, 1}}},
          {"strides", IntsTuple{{1, 1}}},
          {"pads", IntsTuple{{0, 0, 0, 0}}}};
}

// A 1x1 Conv writing the existing tensor `out`: outputs=out, then the Conv attributes.
Kwargs conv_1x1_into(const std::string& out) {
  Kwargs kw{{"outputs", out}};
  for (auto& a : conv_1x1_attrs()) kw.push_back(std::move(a));
  return kw;
}

// Runs `plan` and prefixes the node to any error about bad shapes or values it
// raises, keeping the error's kind (ValueError, IndexError).
template <typename F>
auto with_node_context(const Node& node, F&& plan) -> decltype(plan()) {
  const std::string where = node.op_type() + " '" + node.name() + "': ";
  try {
    return plan();
  } catch (const std::out_of_range& e) {
    throw std::out_of_range(where + e.what());
  } catch (const std::length_error& e) {
    throw std::length_error(where + e.what());
  } catch (const std::invalid_argument& e) {
    throw std::invalid_argument(where + e.what());
  } catch (const std::overflow_error& e) {
    throw std::overflow_error(where + e.what());
  }
}

// Axis 1 of a recorded shape; IndexError naming the tensor when there is none.
int64_t channels_of(const Shape& shape, const std::string& tensor) {
  if (shape.size() < 2)
    throw std::out_of_range("tensor '" + tensor + "' of shape " + py_str(shape) + " has no channel axis");
  return shape[1];
}

void require_non_negative_channels(const Ints& counts, const Strings& tensors) {
  for (size_t i = 0; i < counts.size(); ++i)
    if (counts[i] < 0)
      throw std::invalid_argument("tensor '" + tensors[i] + "' has " + std::to_string(counts[i]) + " channels");
}

// ============================================================ Concat channel alignment

struct ConcatMatch {
  Shape out_shape;
  Strings inputs;
  std::vector<Shape> in_shapes;
};

// A float32 channel Concat of known 4-D output that is not fed by softmaxes only.
std::optional<ConcatMatch> match_channel_concat(const Ir& ir, const Node& concat) {
  if (!dtype_is_floating(ir.dtype(concat.input(0)))) return std::nullopt;
  ConcatMatch m;
  const auto out_shape = ir.shape(concat.output(0));
  if (!out_shape || out_shape->size() != 4) return std::nullopt;
  m.out_shape = *out_shape;
  // Softmax outputs are concatenated on the CPU side; a Concat fed only by them
  // (or by nothing but graph inputs and constants) is left alone.
  bool all_softmax = true;
  for (const Node& p : ir.pre_nodes(concat))
    if (!one_of(p.op_type(), {"Softmax", "exSoftmax13"})) all_softmax = false;
  if (all_softmax) return std::nullopt;
  if (!dtype_is_float32(ir.dtype(concat.output(0)))) return std::nullopt;
  if (!ir.get_attr(concat, "axis").equals(1)) return std::nullopt;
  m.inputs = concat.inputs();
  int64_t n_ch = 0;
  for (const std::string& inp : m.inputs) {
    const auto s = ir.shape(inp);
    if (!s) return std::nullopt;
    m.in_shapes.push_back(*s);
    if (__builtin_add_overflow(n_ch, channels_of(*s, inp), &n_ch))
      throw std::overflow_error("total channel count overflows");
  }
  // The n7 and x4 NPUs run channel Concats of any width.
  const std::string target = ir.npu_target();
  if (target != "n7"sv && target != "x4"sv && n_ch > kMaxAlignedChannels) return std::nullopt;
  return m;
}

enum class PadKind { Reuse, Constant, Conv };

struct InputPad {
  size_t pos;
  std::string input;
  PadKind kind;
  Array value;  // the padded constant, or the padding Conv's weight
};

struct ConcatPlan {
  std::vector<InputPad> pads;
  Array gather;  // weight of the Conv that takes the real channels back out
};

// Which inputs get padded and how.  Every input but the last one (by name)
// whose channels miss the alignment is padded once, however often it feeds the
// Concat; constants are padded with zeros directly.
std::optional<ConcatPlan> plan_concat_alignment(const Ir& ir, const ConcatMatch& m, int64_t align) {
  Ints i_chs;
  for (size_t i = 0; i < m.inputs.size(); ++i) i_chs.push_back(m.in_shapes[i][1]);
  require_non_negative_channels(i_chs, m.inputs);
  const Ints i_chs_align = aligned_layout_counts(m.inputs, i_chs, align);

  ConcatPlan plan;
  std::set<std::string> padded;
  for (size_t i = 0; i < m.inputs.size(); ++i) {
    const std::string& inp = m.inputs[i];
    const int64_t i_ch = i_chs[i], i_ch_align = i_chs_align[i];
    if (i_ch_align == i_ch) continue;
    if (padded.count(inp)) {
      plan.pads.push_back({i, inp, PadKind::Reuse, Array()});
    } else if (ir.is_const(inp)) {
      const auto value = ir.get_const(inp);
      if (!value) throw std::invalid_argument("constant '" + inp + "' has no value");
      plan.pads.push_back({i, inp, PadKind::Constant, pad_channels(*value, m.in_shapes[i], i_ch_align)});
    } else {
      plan.pads.push_back({i, inp, PadKind::Conv, channel_copy_weight(i_ch_align, i_ch)});
    }
    padded.insert(inp);
  }
  if (plan.pads.empty()) return std::nullopt;
  plan.gather = gather_weight(m.out_shape[1], i_chs, i_chs_align);
  return plan;
}

void rewrite_concat_alignment(const Ir& ir, const Node& concat, const ConcatPlan& plan, const Ref& quant_tab,
                              const Builder& g) {
  std::map<std::string, std::string> inp_pads;
  for (const InputPad& p : plan.pads) {
    if (p.kind == PadKind::Reuse) {
      concat.set_input(p.pos, inp_pads.at(p.input));
      continue;
    }
    std::string inp_pad;
    if (p.kind == PadKind::Constant) {
      inp_pad = oper_name_join(ir, p.input, "_pad");
      ir.set_const(inp_pad, p.value);  // the original constant stays for its other readers
    } else {
      inp_pad = g.op("Conv", {p.input, p.value}, conv_1x1_attrs());
      const Node conv = g.last_node();
      ir.append_weight_for_align(conv.input(1));
      copy_par(quant_tab, conv.output(0), conv.input(0));
    }
    concat.set_input(p.pos, inp_pad);
    inp_pads[p.input] = inp_pad;
  }
  // The Concat now writes the aligned concatenation; a Conv restores the former output from it.
  concat.set_output(0, g.op("Conv", {None{}, plan.gather}, conv_1x1_into(concat.output(0))));
  const Node conv = g.last_node();
  ir.append_weight_for_align(conv.input(1));
  copy_par(quant_tab, conv.input(0), conv.output(0));
}

RuleResult convert_concat_to_conv_concat(const Ir& ir, const NodeList& nodes, const Ref& quant_tab) {
  const Node concat = nodes.at(0);
  const auto m = match_channel_concat(ir, concat);
  if (!m) return no_change();
  const int64_t align = align_sub_c(ir);
  const auto plan = with_node_context(concat, [&] { return plan_concat_alignment(ir, *m, align); });
  if (!plan) return no_change();
  const Builder g(ir);
  rewrite_concat_alignment(ir, concat, *plan, quant_tab, g);
  return added(g);
}

// ============================================================ Split channel alignment

struct SplitMatch {
  Shape in_shape;
  Strings outputs;
  std::vector<Shape> out_shapes;
};

// A float32 4-D channel Split of known output shapes, at most 2048 channels wide on every NPU.
std::optional<SplitMatch> match_channel_split(const Ir& ir, const Node& split) {
  const Ref i_dtype = ir.dtype(split.input(0));
  if (!dtype_is_floating(i_dtype)) return std::nullopt;
  SplitMatch m;
  const auto in_shape = ir.shape(split.input(0));
  if (!in_shape || in_shape->size() != 4) return std::nullopt;
  m.in_shape = *in_shape;
  if (!dtype_is_float32(i_dtype)) return std::nullopt;
  if (!ir.get_attr(split, "axis").equals(1)) return std::nullopt;
  m.outputs = split.outputs();
  int64_t n_ch = 0;
  for (const std::string& out : m.outputs) {
    const auto s = ir.shape(out);
    if (!s) return std::nullopt;
    m.out_shapes.push_back(*s);
    if (__builtin_add_overflow(n_ch, channels_of(*s, out), &n_ch))
      throw std::overflow_error("total channel count overflows");
  }
  if (n_ch > kMaxAlignedChannels) return std::nullopt;
  return m;
}

struct OutputExtract {
  size_t pos;
  std::string output;
  Array weight;
  Shape block_shape;  // the aligned block the Split now writes for this output
};

struct SplitPlan {
  std::vector<OutputExtract> extracts;
  std::vector<std::pair<std::string, Shape>> invalid_blocks;  // invalid outputs keeping an aligned block
  Array scatter;  // weight of the Conv that spreads the input over the aligned blocks
};

// Every output but the last one (by name) whose channels miss the alignment
// takes an aligned block; a valid one gets a Conv that takes its real channels
// back out, an invalid one only keeps its place in the layout.
std::optional<SplitPlan> plan_split_alignment(const Ir& ir, const SplitMatch& m, int64_t align) {
  if (m.outputs.empty()) return std::nullopt;  // a Split that writes nothing has nothing to align
  Ints o_chs;
  for (size_t i = 0; i < m.outputs.size(); ++i) o_chs.push_back(m.out_shapes[i][1]);
  require_non_negative_channels(o_chs, m.outputs);

  const Ints o_chs_align = aligned_layout_counts(m.outputs, o_chs, align);

  SplitPlan plan;
  for (size_t i = 0; i < m.outputs.size(); ++i) {
    const std::string& out = m.outputs[i];
    const int64_t o_ch = o_chs[i], o_ch_align = o_chs_align[i];
    if (o_ch_align == o_ch) continue;
    Shape block = m.out_shapes[i];
    block[1] = o_ch_align;
    if (ir.is_invalid(out)) {
      if (!out.empty()) plan.invalid_blocks.emplace_back(out, block);
      continue;
    }
    plan.extracts.push_back({i, out, channel_copy_weight(o_ch, o_ch_align), block});
  }
  if (plan.extracts.empty()) return std::nullopt;
  plan.scatter = scatter_weight(channels_of(m.in_shape, "input"), o_chs, o_chs_align);
  return plan;
}

// The Split's own sizes follow the aligned layout through the IR graph: the
// blocks it now writes get their shapes recorded, and the graph makes the
// Split's sizes agree with the shapes of its outputs.
void record_split_blocks(const Ir& ir, const Node& split, const SplitPlan& plan) {
  for (const OutputExtract& e : plan.extracts)
    ir.set_shape(split.output(e.pos), e.block_shape, ir.dtype(e.output));
  for (const auto& [name, block] : plan.invalid_blocks) ir.set_shape(name, block);
}

void rewrite_split_alignment(const Ir& ir, const Node& split, const SplitPlan& plan, const Ref& quant_tab,
                             const Builder& g) {
  for (const OutputExtract& e : plan.extracts) {
    split.set_output(e.pos, g.op("Conv", {None{}, e.weight}, conv_1x1_into(e.output)));
    const Node conv = g.last_node();
    copy_par(quant_tab, conv.input(0), conv.output(0));
  }
  split.set_input(0, g.op("Conv", {split.input(0), plan.scatter}, conv_1x1_attrs()));
  const Node conv = g.last_node();
  copy_par(quant_tab, conv.output(0), conv.input(0));
  record_split_blocks(ir, split, plan);
}

RuleResult convert_split_to_conv_split(const Ir& ir, const NodeList& nodes, const Ref& quant_tab) {
  const Node split = nodes.at(0);
  const auto m = match_channel_split(ir, split);
  if (!m) return no_change();
  const int64_t align = align_sub_c(ir);
  const auto plan = with_node_context(split, [&] { return plan_split_alignment(ir, *m, align); });
  if (!plan) return no_change();
  const Builder g(ir);
  rewrite_split_alignment(ir, split, *plan, quant_tab, g);
  return added(g);
}

// ============================================================ Concat axis swap

bool all_reshape_or_transpose(const std::vector<Node>& nodes) {
  for (const Node& n : nodes)
    if (!one_of(n.op_type(), {"Reshape", "Transpose"})) return false;
  return true;
}

struct AxisSwapMatch {
  Shape out_shape;
  size_t unit_axis;  // 2 (height) or 3 (width)
};

// A 4-D channel Concat between Reshapes/Transposes whose output has a unit spatial axis.
std::optional<AxisSwapMatch> match_concat_axis_swap(const Ir& ir, const Node& concat) {
  const auto in0_shape = ir.shape(concat.input(0));
  if (!ir.get_attr(concat, "axis").equals(1)) return std::nullopt;
  if (!in0_shape || in0_shape->size() != 4) return std::nullopt;
  const std::vector<Node> prev_nodes = ir.pre_nodes(concat);
  if (!all_reshape_or_transpose(prev_nodes)) return std::nullopt;
  const std::vector<Node> next_nodes = ir.next_nodes(concat);
  if (!all_reshape_or_transpose(next_nodes)) return std::nullopt;
  if (prev_nodes.empty() || next_nodes.empty()) return std::nullopt;
  const auto out_shape = ir.shape(concat.output(0));
  if (!out_shape) return std::nullopt;
  const auto k = unit_spatial_axis(*out_shape);
  if (!k) return std::nullopt;
  return AxisSwapMatch{*out_shape, *k};
}

struct SwappedInput {
  std::string name;
  Ints new_shape;
  bool constant;
};

// Each input viewed as [1, N, C, S]: the unit axis dropped, a unit axis in front.
std::vector<SwappedInput> plan_concat_axis_swap(const Ir& ir, const Node& concat, size_t k) {
  std::vector<SwappedInput> plan;
  for (const std::string& name : concat.inputs()) {
    const auto src_shape = ir.shape(name);
    if (!src_shape) throw std::invalid_argument("input '" + name + "' has no known shape");
    plan.push_back({name, channel_to_height_shape(*src_shape, k), ir.is_const(name)});
  }
  return plan;
}

RuleResult swap_concat_axis_avoid_channel_concat(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node concat = nodes.at(0);
  const auto m = match_concat_axis_swap(ir, concat);
  if (!m) return no_change();
  const auto plan = with_node_context(concat, [&] { return plan_concat_axis_swap(ir, concat, m->unit_axis); });

  ir.set_attr(concat, "axis", int64_t{2});
  const Builder g(ir);
  std::set<std::string> reshaped_consts;  // a constant fed twice is reshaped once
  for (size_t i = 0; i < plan.size(); ++i) {
    const SwappedInput& in = plan[i];
    if (!in.constant) {
      concat.set_input(i, g.op("Reshape", {in.name, in.new_shape}));
    } else if (reshaped_consts.insert(in.name).second) {
      ir.set_shape(in.name, in.new_shape);
    }
  }
  concat.set_output(0, g.op("Reshape", {None{}, m->out_shape}, {{"outputs", concat.outputs()}}));
  return added(g);
}

// ============================================================ NHWC to NCHW after a Transpose

// One write of a consumer's rewrite, in the order it is made.
struct NchwStep {
  enum Kind { TransposeInput, SetConst } kind;
  size_t pos;        // input position (TransposeInput)
  std::string name;  // the input tensor, or the constant to overwrite
  Array value;       // the rearranged constant (SetConst)
};

struct ConsumerPlan {
  Node node;
  std::vector<NchwStep> steps;
};

bool known_rank_is_not_4(const Ir& ir, const std::string& tensor) {
  const auto s = ir.shape(tensor);
  return s && s->size() != 4;
}

// The rewrite of one consumer of an NCHW-to-NHWC Transpose, or nullopt when
// the consumer stays as it is: an op type the rule does not know, a data input
// that is known not to be 4-D (a 4-axis Transpose cannot apply to it), or a
// Pad whose pads are not a constant of eight entries or that pads selected axes
// only.  `rearranged` holds the constants already rewritten in this call, so
// a constant read by several consumers is rearranged once.
std::optional<ConsumerPlan> plan_nchw_consumer(const Ir& ir, const Node& nod, std::set<std::string>& rearranged) {
  const std::string op = nod.op_type();
  if (!one_of(op, {"Mul", "Add", "Pad", "Clip", "LeakyRelu"})) return std::nullopt;
  const Strings inputs = nod.inputs();
  // A Pad with pads as an attribute, without pads, or with an axes input is not rearranged.
  if (op == "Pad"sv && (inputs.size() < 2 || inputs[1].empty() || (inputs.size() > 3 && !inputs[3].empty())))
    return std::nullopt;

  ConsumerPlan plan{nod, {}};
  std::set<std::string> planned;  // constants of this consumer, kept apart until it is accepted
  const auto done = [&](const std::string& name) { return rearranged.count(name) || planned.count(name); };
  const auto rearrange = [&](const std::string& name, Array value) {
    planned.insert(name);
    plan.steps.push_back({NchwStep::SetConst, 0, name, std::move(value)});
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string& inp = inputs[i];
    if (inp.empty()) continue;  // an absent optional input
    if ((op == "Mul"sv || op == "Add"sv) && ir.is_const(inp)) {
      if (done(inp)) continue;
      const auto value = ir.get_const(inp);
      if (!value) throw std::invalid_argument("constant '" + inp + "' has no value");
      rearrange(inp, nhwc_const_to_nchw(*value));
      continue;
    }
    if (op == "Pad"sv && i == 1) {
      if (!ir.is_const(inp)) return std::nullopt;  // pads known only at run time
      if (done(inp)) continue;
      const auto value = ir.get_const(inp);
      if (!value) throw std::invalid_argument("constant '" + inp + "' has no value");
      if (value->size() != 8) return std::nullopt;
      rearrange(inp, Array::from_ints(nhwc_pads_to_nchw(value->to_ints())));
      continue;
    }
    if ((op == "Pad"sv || op == "Clip"sv) && i > 0) continue;  // the pad value and the bounds hold for any layout
    if (known_rank_is_not_4(ir, inp)) return std::nullopt;
    plan.steps.push_back({NchwStep::TransposeInput, i, inp, Array()});
  }
  rearranged.insert(planned.begin(), planned.end());
  return plan;
}

void rewrite_nchw_consumer(const Ir& ir, const ConsumerPlan& plan, const Builder& g) {
  const Node& nod = plan.node;
  for (const NchwStep& s : plan.steps) {
    if (s.kind == NchwStep::SetConst)
      ir.set_const(s.name, s.value);
    else
      nod.set_input(s.pos, g.op("Transpose", {s.name}, {{"perm", kToNchw}}));
  }
  const Strings outputs = nod.outputs();
  for (size_t i = 0; i < outputs.size(); ++i) {
    if (outputs[i].empty()) continue;
    nod.set_output(i, g.op("Transpose", {None{}}, {{"perm", kToNhwc}, {"outputs", outputs[i]}}));
  }
}

bool from_tf_converter(const Ir& ir) { return one_of(ir.producer_name(), {"tf2onnx", "tflite2onnx"}); }

RuleResult convert_tf_nhwc_to_nchw(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node transpose = nodes.at(0);
  if (!from_tf_converter(ir)) return no_change();
  const Ref perm = ir.get_attr(transpose, "perm");
  if (perm.is_none() || to_ints(perm, "attribute 'perm' of node '" + transpose.name() + "'") != kToNhwc)
    return no_change();

  std::vector<ConsumerPlan> plans;
  std::set<std::string> rearranged;
  std::vector<Node> seen;
  for (const Node& nod : ir.next_nodes(transpose)) {
    bool dup = false;  // a consumer reading the Transpose twice is listed once
    for (const Node& s : seen) dup = dup || s.same_as(nod);
    if (dup) continue;
    seen.push_back(nod);
    auto plan = with_node_context(nod, [&] { return plan_nchw_consumer(ir, nod, rearranged); });
    if (plan) plans.push_back(std::move(*plan));
  }
  const Builder g(ir);
  for (const ConsumerPlan& p : plans) rewrite_nchw_consumer(ir, p, g);
  return added(g);
}

// ============================================================ Reshape-Transpose-Reshape to exWindow

struct WindowPlan {
  WindowParams params;
  WindowReshape reshape;
};

bool all_positive(const Shape& s) {
  for (int64_t d : s)
    if (d <= 0) return false;
  return true;
}

// The window partition or merge a Reshape-Transpose-Reshape chain performs,
// and the 4-D Reshape that feeds exWindow instead.
std::optional<WindowPlan> match_window_chain(const Ir& ir, const Node& reshape_1, const Node& tp_1) {
  const auto tp_out_shape = ir.shape(tp_1.output(0));
  const Ref perm_ref = ir.get_attr(tp_1, "perm");
  if (!tp_out_shape || tp_out_shape->size() < 5 || !all_positive(*tp_out_shape)) return std::nullopt;
  if (perm_ref.is_none()) return std::nullopt;  // the default perm reverses the axes: never a window
  const Ints perm = to_ints(perm_ref, "attribute 'perm' of node '" + tp_1.name() + "'");
  if (perm.size() != tp_out_shape->size())
    throw std::invalid_argument("perm " + py_str(perm) + " does not fit its output shape " + py_str(*tp_out_shape));
  const auto axes = find_window_axes(*tp_out_shape, perm);
  if (!axes) return std::nullopt;
  WindowPlan plan{window_params(*tp_out_shape, *axes), {}};

  const auto in_shape = ir.shape(reshape_1.input(0));
  const auto out_shape = ir.shape(reshape_1.output(0));
  if (!out_shape) return std::nullopt;
  const auto indices = find_shape_position(*out_shape, plan.params.in_shape_4d);
  if (!indices) return std::nullopt;
  const auto reshape = window_reshape(*out_shape, *indices, plan.params.in_shape_4d);
  if (!reshape) return std::nullopt;
  if (!in_shape || !all_positive(*in_shape) || checked_prod(reshape->shape) != checked_prod(*in_shape))
    return std::nullopt;
  plan.reshape = *reshape;
  return plan;
}

// The first Reshape and the Transpose are removed, so their outputs must feed
// nothing but the next node of the chain.
bool is_private_chain(const Ir& ir, const Node& reshape_1, const Node& tp_1, const Node& reshape_2) {
  const auto feeds_only = [&](const Node& producer, const Node& reader) {
    const std::string out = producer.output(0);
    if (reader.input(0) != out || ir.is_graph_output(out)) return false;
    for (const Node& n : ir.next_nodes(producer))
      if (!n.same_as(reader) && n.name() != reader.name()) return false;
    return true;
  };
  return feeds_only(reshape_1, tp_1) && feeds_only(tp_1, reshape_2);
}

RuleResult fuse_reshape_tp_reshape_to_exWindow(const Ir& ir, const NodeList& nodes, const Ref&) {
  const Node reshape_1 = nodes.at(0), tp_1 = nodes.at(1), reshape_2 = nodes.at(2);
  const auto plan = with_node_context(tp_1, [&] { return match_window_chain(ir, reshape_1, tp_1); });
  if (!plan || !is_private_chain(ir, reshape_1, tp_1, reshape_2)) return no_change();

  const Builder g(ir);
  const WindowParams& w = plan->params;
  std::string rs_ = g.op("Reshape", {reshape_1.input(0), Array::from_ints(plan->reshape.shape, DType::Int64)});
  if (plan->reshape.insert_tp) rs_ = g.op("Transpose", {rs_}, {{"perm", kToNchw}});
  std::string win_ = g.op("exWindow", {rs_},
                          {{"name", tp_1.name() + "_2win"},
                           {"mode", std::string(window_mode_name(w.mode))},
                           {"window_sizes", w.window_sizes},
                           {"num_windows", w.num_windows}});
  if (plan->reshape.insert_tp) win_ = g.op("Transpose", {win_}, {{"perm", kToNhwc}});
  reshape_2.set_input(0, win_);
  return replaced(std::vector<Node>{reshape_1, tp_1}, g);
}

}  // namespace

const std::vector<RuleDef>& layout_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_convert_tf_nhwc_to_nchw", convert_tf_nhwc_to_nchw,
       "Consumers of an NCHW-to-NHWC Transpose rewritten to work in NCHW.\n\n"
       "Matched operators: Transpose with perm [0, 2, 3, 1] in a model produced by tf2onnx or\n"
       "tflite2onnx (no table entry).\n\n"
       "Approach: each direct Mul, Add, Pad, Clip or LeakyRelu consumer gets a [0, 3, 1, 2]\n"
       "Transpose on its data inputs, which cancels against the matched Transpose, and a\n"
       "[0, 2, 3, 1] Transpose after each output that writes the former tensor.  Mul/Add\n"
       "constants are raised to 4-D and rearranged to NCHW in place, Pad pads are permuted\n"
       "in place, Clip bounds are left alone; a constant read by several consumers is\n"
       "rearranged once.  Other consumers are left unchanged."},
      {"_p_convert_concat_to_conv_concat", convert_concat_to_conv_concat,
       "Concat inputs channel-aligned with 1x1 Convs.\n\n"
       "Matched operators: float32 Concat on axis 1 of a 4-D output (no table entry).\n\n"
       "Approach: every input but the last whose channel count misses the NPU alignment is\n"
       "widened to the next aligned count, a constant by zero padding under a new name, any\n"
       "other tensor by a one-hot 1x1 Conv (one per distinct tensor).  The Concat then writes\n"
       "the aligned concatenation, and a one-hot 1x1 Conv gathers the real channels back into\n"
       "the former output.  Refused when the inputs all come from softmaxes, and above 2048\n"
       "channels except on n7 and x4."},
      {"_p_convert_split_to_conv_split", convert_split_to_conv_split,
       "Split outputs channel-aligned with 1x1 Convs.\n\n"
       "Matched operators: float32 Split of a 4-D input on axis 1 (no table entry).\n\n"
       "Approach: a one-hot 1x1 Conv in front of the Split scatters the input channels into a\n"
       "layout where every output but the last that misses the NPU alignment occupies a\n"
       "zero-padded aligned block; after each such output a one-hot 1x1 Conv takes the real\n"
       "channels back out into the former output tensor.  Invalid outputs keep their block but\n"
       "get no Conv.  Refused above 2048 channels on every NPU."},
      {"_p_swap_concat_axis_avoid_channel_concat", swap_concat_axis_avoid_channel_concat,
       "Channel Concat moved to the height axis.\n\n"
       "Matched operators: Concat on axis 1 of 4-D inputs, fed and read only by Reshapes and\n"
       "Transposes, whose output has a unit height or width (no table entry).\n\n"
       "Approach: every input is viewed as [1, N, C, S] (the unit axis dropped, a unit axis in\n"
       "front) by a Reshape, or in place for a constant; the Concat joins them on axis 2 and a\n"
       "Reshape restores the former output shape under the former output name."},
      {"_p_fuse_reshape_tp_reshape_to_exWindow", fuse_reshape_tp_reshape_to_exWindow,
       "Window partition or merge fused into exWindow.\n\n"
       "Matched operators: Reshape, Transpose, Reshape.\n\n"
       "Approach: four adjacent axes of the Transpose output that read A A B B or A B A B under\n"
       "a matching perm give the exWindow mode (\"partition\", \"reverse\" or\n"
       "\"partition_num_first\"), window sizes and window counts.  The first Reshape and the\n"
       "Transpose are replaced by a 4-D Reshape, exWindow (named after the Transpose with\n"
       "\"_2win\") and, when the window axes were not the trailing ones, Transposes to NCHW and\n"
       "back; the last Reshape reads the result."},
  };
  return rules;
}

}  // namespace vexo::dims
