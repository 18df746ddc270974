// Rank lowering: five-dimensional operators lose a unit axis.
#include "frame.hpp"
#include "squeeze_algebra.hpp"

namespace vexo::dims {

namespace {

RuleResult squeeze_to_4d(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_to_4d is not implemented yet");
}

RuleResult squeeze_to_4d_transpose(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_squeeze_to_4d_transpose is not implemented yet");
}

}  // namespace

const std::vector<RuleDef>& squeeze_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_squeeze_to_4d", squeeze_to_4d, "Five-dimensional operators reduced to four.\n\nMatched operators: 44 op types of rank 5.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_squeeze_to_4d_transpose", squeeze_to_4d_transpose, "Five-dimensional Transpose as 4-D.\n\nMatched operators: Transpose (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
  };
  return rules;
}

}  // namespace vexo::dims
