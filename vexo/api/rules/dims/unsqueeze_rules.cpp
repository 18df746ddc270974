// Rank raising: operators of rank 1 to 3 made four-dimensional.
#include "frame.hpp"
#include "unsqueeze_algebra.hpp"

namespace vexo::dims {

namespace {

RuleResult unsqueeze_to_4d(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_unsqueeze_to_4d is not implemented yet");
}

RuleResult unsqueeze_to_4d_reshape_with_elementwise_op(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_unsqueeze_to_4d_reshape_with_elementwise_op is not implemented yet");
}

RuleResult input_align_4D(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_input_align_4D is not implemented yet");
}

RuleResult input_output_align_nd_expand(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_input_output_align_nd_expand is not implemented yet");
}

}  // namespace

const std::vector<RuleDef>& unsqueeze_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_unsqueeze_to_4d", unsqueeze_to_4d, "Operators of rank 1 to 3 made four-dimensional.\n\nMatched operators: 67 op types of rank 1 to 3.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_unsqueeze_to_4d_reshape_with_elementwise_op", unsqueeze_to_4d_reshape_with_elementwise_op, "Reshape made to produce 4-D before elementwise consumers.\n\nMatched operators: Reshape.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_input_align_4D", input_align_4D, "Inputs of rank below four padded to 4-D.\n\nMatched operators: Mul, Add, Sub, Div.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_input_output_align_nd_expand", input_output_align_nd_expand, "Expand input raised to the output's rank.\n\nMatched operators: Expand.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
  };
  return rules;
}

}  // namespace vexo::dims
