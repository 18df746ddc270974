#include "conditions.hpp"

#include <algorithm>

namespace vexo::graph {

namespace {

// A tensor's recorded shape, or nullptr when it is unknown (a scalar's is
// empty).
const Shape* recorded_shape(const Graph& g, const Name& t) {
  const InternedShape* s = g.shape(t);
  return s && *s ? s->get() : nullptr;
}

// The rank of a tensor as the rules see it: 0 for an unknown shape and for a
// scalar, which the rules' shape query does not tell apart.
size_t rank_of(const Graph& g, const Name& t) {
  const Shape* s = recorded_shape(g, t);
  return s ? s->size() : 0;
}

// unsqueeze_to_4d_reshape_with_elementwise_op widens a Reshape's output of
// rank 1 to 3 for the elementwise operators that read it: a Reshape nothing
// reads, or whose output shape is unknown, a scalar or of rank 4 or more, is
// left alone.
bool reshape_output_below_4d_is_read(const Graph& g, const std::vector<Node*>& chain) {
  const Node& reshape = *chain.at(0);
  if (reshape.outputs().empty()) return false;
  const bool read = std::any_of(reshape.outputs().begin(), reshape.outputs().end(),
                                [&](const Name& o) { return !o.empty() && g.is_read(o); });
  const size_t rank = rank_of(g, reshape.outputs()[0]);
  return read && rank >= 1 && rank <= 3;
}

// unsqueeze_to_4d raises operators of rank 1 to 3.  The rank it follows is
// the outputs' (each must be known and at most 3) or, for operators whose
// output rank may differ, the first input of known shape (at most 3): an
// operator with an output above rank 3 and a first known input above rank 3
// is left alone either way.
bool may_raise_to_4d(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain.at(0);
  const bool output_above_3 = std::any_of(node.outputs().begin(), node.outputs().end(),
                                          [&](const Name& o) { return rank_of(g, o) > 3; });
  if (!output_above_3) return true;
  for (const Name& in : node.inputs()) {
    if (in.empty()) continue;
    const size_t rank = rank_of(g, in);
    if (rank) return rank <= 3;
  }
  return true;
}

// squeeze_to_4d lowers operators of rank 5, judged by their first output or,
// for reductions, Split and Slice, by their first non-constant input: an
// operator with neither of rank 5 is left alone either way.
bool may_lower_from_5d(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain.at(0);
  if (!node.outputs().empty() && rank_of(g, node.outputs()[0]) == 5) return true;
  for (const Name& in : node.inputs())
    if (!in.empty() && !g.is_const(in)) return rank_of(g, in) == 5;
  return false;
}

// input_align_4D widens an operand below rank 4 of a binary operator with a
// four-dimensional output; an operand of unknown shape is left alone.
bool may_align_an_input(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain.at(0);
  if (node.inputs().size() != 2) return false;
  if (node.outputs().empty()) return true;  // the rule names the missing output
  if (rank_of(g, node.outputs()[0]) != 4) return false;
  return std::any_of(node.inputs().begin(), node.inputs().end(), [&](const Name& in) {
    const Shape* s = recorded_shape(g, in);
    return s && s->size() < 4;
  });
}

// squeeze_nd_elementwise_op merges axes of a binary operator whose output is
// above rank 5.  It reads the value of a scalar constant operand before it
// looks at the output, and a value it cannot read is an error, not a decline.
bool may_merge_elementwise(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain.at(0);
  if (node.inputs().size() < 2 || node.outputs().empty()) return true;  // the rule names the missing port
  for (size_t k = 0; k < 2; ++k) {
    const Shape* s = recorded_shape(g, node.inputs()[k]);
    if (s && s->empty() && g.is_const(node.inputs()[k])) return true;
  }
  return rank_of(g, node.outputs()[0]) > 5;
}

// A Transpose's perm the rules read without an error: absent, or integers.
bool perm_reads(const Node& node) {
  const AttrValue* perm = node.attr("perm");
  return !perm || perm->kind == AttrValue::None || perm->kind == AttrValue::Ints || perm->kind == AttrValue::Int;
}

// squeeze_nd_transpose and squeeze_1_in_nd rewrite Transposes of rank 5 or
// more whose input and output shapes are known.
bool may_rewrite_nd_transpose(const Graph& g, const std::vector<Node*>& chain) {
  const Node& node = *chain.at(0);
  if (node.inputs().empty() || node.outputs().empty()) return true;  // the rule names the missing port
  const size_t in_rank = rank_of(g, node.inputs()[0]);
  if (!in_rank || !rank_of(g, node.outputs()[0])) return false;
  return in_rank >= 5 || !perm_reads(node);
}

constexpr const char* kDims = "vexo.api.rules.dims";

const std::vector<NativeCondition>& conditions() {
  static const std::vector<NativeCondition> list = {
      {kDims, "_p_unsqueeze_to_4d_reshape_with_elementwise_op", reshape_output_below_4d_is_read,
       "A Reshape whose output is read and of rank 1 to 3: the only ones the rule widens."},
      {kDims, "_p_unsqueeze_to_4d", may_raise_to_4d,
       "An operator with an output or its first known input at most of rank 3."},
      {kDims, "_p_squeeze_to_4d", may_lower_from_5d, "An operator whose first output or first computed input is 5-D."},
      {kDims, "_p_input_align_4D", may_align_an_input, "A binary operator with a 4-D output and a known operand below 4-D."},
      {kDims, "_p_squeeze_nd_elementwise_op", may_merge_elementwise, "A binary operator with an output above 5-D."},
      {kDims, "_p_squeeze_nd_transpose", may_rewrite_nd_transpose, "A Transpose of known shapes from rank 5 on."},
      {kDims, "_p_squeeze_1_in_nd", may_rewrite_nd_transpose, "A Transpose of known shapes from rank 5 on."},
  };
  return list;
}

}  // namespace

const NativeCondition* condition_of(const std::string& module, const std::string& rule) {
  for (const NativeCondition& c : conditions())
    if (rule == c.rule && module == c.module) return &c;
  return nullptr;
}

}  // namespace vexo::graph
