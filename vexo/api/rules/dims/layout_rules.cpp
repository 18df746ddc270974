// Channel alignment and layout: Concat/Split channel padding, concat axis swap,
// NHWC-to-NCHW propagation and window-partition fusion.
#include "frame.hpp"
#include "layout_algebra.hpp"

namespace vexo::dims {

namespace {

RuleResult convert_tf_nhwc_to_nchw(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_tf_nhwc_to_nchw is not implemented yet");
}

RuleResult convert_concat_to_conv_concat(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_concat_to_conv_concat is not implemented yet");
}

RuleResult convert_split_to_conv_split(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_convert_split_to_conv_split is not implemented yet");
}

RuleResult swap_concat_axis_avoid_channel_concat(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_swap_concat_axis_avoid_channel_concat is not implemented yet");
}

RuleResult fuse_reshape_tp_reshape_to_exWindow(const Ir&, const NodeList&, const Ref&) {
  throw RuleNotImplemented("_p_fuse_reshape_tp_reshape_to_exWindow is not implemented yet");
}

}  // namespace

const std::vector<RuleDef>& layout_rules() {
  static const std::vector<RuleDef> rules = {
      {"_p_convert_tf_nhwc_to_nchw", convert_tf_nhwc_to_nchw, "Consumers of an NCHW-to-NHWC Transpose rewritten to NCHW.\n\nMatched operators: Transpose (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_convert_concat_to_conv_concat", convert_concat_to_conv_concat, "Concat inputs channel-aligned with 1x1 Convs.\n\nMatched operators: Concat (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_convert_split_to_conv_split", convert_split_to_conv_split, "Split outputs channel-aligned with 1x1 Convs.\n\nMatched operators: Split (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_swap_concat_axis_avoid_channel_concat", swap_concat_axis_avoid_channel_concat, "Channel Concat moved to another axis.\n\nMatched operators: Concat (no table entry).\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
      {"_p_fuse_reshape_tp_reshape_to_exWindow", fuse_reshape_tp_reshape_to_exWindow, "Window partition fused into exWindow.\n\nMatched operators: Reshape, Transpose, Reshape.\n\nApproach: not written yet; calling the rule raises NotImplementedError."},
  };
  return rules;
}

}  // namespace vexo::dims
