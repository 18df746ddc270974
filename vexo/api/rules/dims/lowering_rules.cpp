// Operator lowering: operators the NPU runs poorly replaced by equivalents it
// runs well, or their attributes normalised.
#include "frame.hpp"
#include "lowering_algebra.hpp"

namespace vexo::dims {

// ============================================================ reductions, keepdims, Gather indices, softmax axis

namespace {

RuleResult convert_reduce_L2_to_pow_sum_pow(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_reduce_L2_to_pow_sum_pow is not implemented yet");
}

RuleResult convert_reduce_sum_to_conv(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_reduce_sum_to_conv is not implemented yet");
}

RuleResult convert_reduce_mean_to_avgpool(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_reduce_mean_to_avgpool is not implemented yet");
}

RuleResult convert_keepdims_to_1(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_keepdims_to_1 is not implemented yet");
}

RuleResult keepdims(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_keepdims is not implemented yet");
}

RuleResult fix_softmax_axis(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_fix_softmax_axis is not implemented yet");
}

const std::vector<RuleDef>& reduction_rule_defs() {
  static const std::vector<RuleDef> rules = {
      {"_p_convert_reduce_L2_to_pow_sum_pow", convert_reduce_L2_to_pow_sum_pow, "ReduceL2 as Pow 2, ReduceSum, Pow 0.5.\n\nMatched operators: ReduceL2.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_convert_reduce_sum_to_conv", convert_reduce_sum_to_conv, "ReduceSum over one axis as a Conv with weights of ones, between Transposes for kernels above 7.\n\nMatched operators: ReduceSum.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_convert_reduce_mean_to_avgpool", convert_reduce_mean_to_avgpool, "ReduceMean as AveragePool, GlobalAveragePool or Conv.\n\nMatched operators: ReduceMean (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_convert_keepdims_to_1", convert_keepdims_to_1, "Keepdims 0 turned into 1, shapes kept equivalent.\n\nMatched operators: ReduceMean, ReduceMax, ReduceMin, ReduceSum, ArgMin, ArgMax.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_keepdims", keepdims, "Gather indices flattened, output rank kept.\n\nMatched operators: Gather.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_fix_softmax_axis", fix_softmax_axis, "Softmax on axis 0 or 2 of a 4-D tensor moved to axis 1 through Reshape or Transpose.\n\nMatched operators: exSoftmax13.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
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
