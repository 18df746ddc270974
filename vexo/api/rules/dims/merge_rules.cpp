// N-D merging: operators of rank five and above folded into four dimensions.
#include "frame.hpp"
#include "merge_algebra.hpp"

namespace vexo::dims {

namespace {

RuleResult squeeze_1_in_nd(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_1_in_nd is not implemented yet");
}

RuleResult squeeze_nd_elementwise_op(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_nd_elementwise_op is not implemented yet");
}

RuleResult squeeze_nd_channelwise_op(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_nd_channelwise_op is not implemented yet");
}

RuleResult squeeze_nd_matmul(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_nd_matmul is not implemented yet");
}

RuleResult squeeze_nd_expand(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_nd_expand is not implemented yet");
}

RuleResult squeeze_nd_transpose(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_nd_transpose is not implemented yet");
}

RuleResult squeeze_nd_axis_op(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_nd_axis_op is not implemented yet");
}

RuleResult merge_dims_and_convert_ND_to_4D(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_merge_dims_and_convert_ND_to_4D is not implemented yet");
}

}  // namespace

const std::vector<RuleDef>& merge_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_squeeze_1_in_nd", squeeze_1_in_nd, "Unit axes of N-D operators dropped.\n\nMatched operators: Transpose.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_squeeze_nd_elementwise_op", squeeze_nd_elementwise_op, "N-D elementwise operators merged to 4-D.\n\nMatched operators: Add, Mul, Sub, Div.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_squeeze_nd_channelwise_op", squeeze_nd_channelwise_op, "N-D channelwise operators merged to 4-D.\n\nMatched operators: BatchNormalization.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_squeeze_nd_matmul", squeeze_nd_matmul, "N-D MatMul merged to 4-D.\n\nMatched operators: MatMul.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_squeeze_nd_expand", squeeze_nd_expand, "N-D Expand merged to 4-D.\n\nMatched operators: Expand.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_squeeze_nd_transpose", squeeze_nd_transpose, "N-D Transpose merged to 4-D.\n\nMatched operators: Transpose.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_squeeze_nd_axis_op", squeeze_nd_axis_op, "N-D operators with an axis merged to 4-D.\n\nMatched operators: exSoftmax13, ReduceSum, TopK.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_merge_dims_and_convert_ND_to_4D", merge_dims_and_convert_ND_to_4D, "N-D Split/Concat merged to 4-D.\n\nMatched operators: Split, Concat.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
  };
  return rules;
}

}  // namespace vexo::dims
