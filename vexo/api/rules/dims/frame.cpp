// The catalogue and the three registration tables of the dimension rules.
#include "frame.hpp"

#include <unordered_map>

namespace vexo::dims {

const std::vector<const char*>& catalogue() {
  static const std::vector<const char*> names = {
      "_p_convert_reduce_L2_to_pow_sum_pow",
      "_p_convert_reduce_sum_to_conv",
      "_p_convert_reduce_mean_to_avgpool",
      "_p_convert_tf_nhwc_to_nchw",
      "_p_convert_keepdims_to_1",
      "_1x1_resize_to_tile_size",
      "_p_convert_1x1_resize_to_tile",
      "_p_eliminate_elements_op_redundancy_const_dim",
      "_p_convert_expand_to_gather_before_rs",
      "_p_unsqueeze_to_4d",
      "_p_unsqueeze_to_4d_reshape_with_elementwise_op",
      "_p_input_align_4D",
      "_p_input_output_align_nd_expand",
      "_p_broadcast_mul_expand",
      "_p_squeeze_to_4d",
      "_p_squeeze_1_in_nd",
      "_p_squeeze_nd_elementwise_op",
      "_p_squeeze_nd_channelwise_op",
      "_p_squeeze_nd_matmul",
      "_p_squeeze_nd_expand",
      "_p_squeeze_nd_transpose",
      "_p_squeeze_nd_axis_op",
      "_p_squeeze_to_4d_transpose",
      "_p_convert_tile_to_expand",
      "_p_convert_concat_to_conv_concat",
      "_p_convert_split_to_conv_split",
      "_p_swap_concat_axis_avoid_channel_concat",
      "_p_fuse_reshape_tp_reshape_to_exWindow",
      "_p_keepdims",
      "_p_merge_dims_and_convert_ND_to_4D",
      "_p_gather_to_conv",
      "_p_fix_softmax_axis",
  };
  return names;
}

const std::vector<TableEntry>& fuse_dims_table() {
  static const std::vector<TableEntry> table = {
      {"fuse_reshape_tp_reshape_to_exWindow", {"Reshape", "Transpose", "Reshape"}, "_p_fuse_reshape_tp_reshape_to_exWindow"},
      {"eliminate_add_redundancy_const_dim", {"Add"}, "_p_eliminate_elements_op_redundancy_const_dim"},
      {"eliminate_sub_redundancy_const_dim", {"Sub"}, "_p_eliminate_elements_op_redundancy_const_dim"},
      {"eliminate_mul_redundancy_const_dim", {"Mul"}, "_p_eliminate_elements_op_redundancy_const_dim"},
      {"eliminate_div_redundancy_const_dim", {"Div"}, "_p_eliminate_elements_op_redundancy_const_dim"},
      {"eliminate_greater_redundancy_const_dim", {"Greater"}, "_p_eliminate_elements_op_redundancy_const_dim"},
      {"eliminate_less_redundancy_const_dim", {"Less"}, "_p_eliminate_elements_op_redundancy_const_dim"},
      {"convert_expand_to_gather_before_rs", {"Expand", "Reshape"}, "_p_convert_expand_to_gather_before_rs"},
  };
  return table;
}

// Every cvt_dims entry matches a single op type.
const std::vector<TableEntry>& cvt_dims_table() {
  static const std::vector<TableEntry> table = {
      {"unsqueeze_to_4d_conv", {"Conv"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_deconv", {"ConvTranspose"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_avgpool", {"AveragePool"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_maxpool", {"MaxPool"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_global_avgpool", {"GlobalAveragePool"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_global_maxpool", {"GlobalMaxPool"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_relu", {"Relu"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_clip", {"Clip"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_leakyrelu", {"LeakyRelu"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_elu", {"Elu"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_sigmoid", {"Sigmoid"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_softmax", {"Softmax"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_exsoftmax13", {"exSoftmax13"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_logsoftmax", {"LogSoftmax"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_softplus", {"Softplus"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_mul", {"Mul"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_cast", {"Cast"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_not", {"Not"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_add", {"Add"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_sub", {"Sub"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_div", {"Div"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_greater", {"Greater"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_less", {"Less"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_equal", {"Equal"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_greater_equal", {"GreaterOrEqual"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_less_equal", {"LessOrEqual"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_exp", {"Exp"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_log", {"Log"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_sqrt", {"Sqrt"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_pow", {"Pow"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_tanh", {"Tanh"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_atan", {"Atan"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_sin", {"Sin"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_cos", {"Cos"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_reciprocal", {"Reciprocal"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_floor", {"Floor"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_split", {"Split"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_concat", {"Concat"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_transpose", {"Transpose"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_exlayernorm", {"exLayerNorm"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_exMeanvarnorm", {"exMeanVarianceNormalization"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_reducemean", {"ReduceMean"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_matmul", {"MatMul"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_slice", {"Slice"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_exgelu", {"exGelu"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_pad", {"Pad"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_expand", {"Expand"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_reducemax", {"ReduceMax"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_reducemin", {"ReduceMin"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_reducesum", {"ReduceSum"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_reducel2", {"ReduceL2"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_argmax", {"ArgMax"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_argmin", {"ArgMin"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_bn", {"BatchNormalization"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_in", {"InstanceNormalization"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_swish", {"exSwish"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_mish", {"exMish"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_exdataconvert", {"exDataConvert"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_and", {"And"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_where", {"Where"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_resize", {"Resize"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_reshape_with_elementwise_op", {"Reshape"}, "_p_unsqueeze_to_4d_reshape_with_elementwise_op"},
      {"unsqueeze_to_4d_erf", {"Erf"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_scatternd", {"ScatterND"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_gather", {"Gather"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_gatherelements", {"GatherElements"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_topk", {"TopK"}, "_p_unsqueeze_to_4d"},
      {"unsqueeze_to_4d_lpnormalization", {"LpNormalization"}, "_p_unsqueeze_to_4d"},
      {"input_align_4D_mul", {"Mul"}, "_p_input_align_4D"},
      {"input_align_4D_add", {"Add"}, "_p_input_align_4D"},
      {"input_align_4D_sub", {"Sub"}, "_p_input_align_4D"},
      {"input_align_4D_div", {"Div"}, "_p_input_align_4D"},
      {"input_output_align_nd_expand", {"Expand"}, "_p_input_output_align_nd_expand"},
      {"squeeze_to_4d_mul", {"Mul"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_add", {"Add"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_sub", {"Sub"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_div", {"Div"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_max", {"Max"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_min", {"Min"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_and", {"And"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_bitwiseand", {"BitwiseAnd"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_or", {"Or"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_bitwiseor", {"BitwiseOr"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_xor", {"Xor"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_bitwisexor", {"BitwiseXor"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_greater", {"Greater"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_less", {"Less"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_equal", {"Equal"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_greater_equal", {"GreaterOrEqual"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_less_equal", {"LessOrEqual"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_pow", {"Pow"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_split", {"Split"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_concat", {"Concat"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_matmul", {"MatMul"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_dataconvert", {"exDataConvert"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_resize", {"Resize"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_pad", {"Pad"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_where", {"Where"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_cast", {"Cast"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_not", {"Not"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_bitwisenot", {"BitwiseNot"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_slice", {"Slice"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_reducemean", {"ReduceMean"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_reducemax", {"ReduceMax"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_reducemin", {"ReduceMin"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_reducesum", {"ReduceSum"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_reducel2", {"ReduceL2"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_scatternd", {"ScatterND"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_relu", {"Relu"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_clip", {"Clip"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_leakyrelu", {"LeakyRelu"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_elu", {"Elu"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_sigmoid", {"Sigmoid"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_softmax", {"Softmax"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_exsoftmax13", {"exSoftmax13"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_logsoftmax", {"LogSoftmax"}, "_p_squeeze_to_4d"},
      {"squeeze_to_4d_topk", {"TopK"}, "_p_squeeze_to_4d"},
      {"squeeze_1_in_nd_transpose", {"Transpose"}, "_p_squeeze_1_in_nd"},
      {"squeeze_nd_add", {"Add"}, "_p_squeeze_nd_elementwise_op"},
      {"squeeze_nd_mul", {"Mul"}, "_p_squeeze_nd_elementwise_op"},
      {"squeeze_nd_sub", {"Sub"}, "_p_squeeze_nd_elementwise_op"},
      {"squeeze_nd_div", {"Div"}, "_p_squeeze_nd_elementwise_op"},
      {"squeeze_nd_bn", {"BatchNormalization"}, "_p_squeeze_nd_channelwise_op"},
      {"squeeze_nd_matmul", {"MatMul"}, "_p_squeeze_nd_matmul"},
      {"squeeze_nd_expand", {"Expand"}, "_p_squeeze_nd_expand"},
      {"squeeze_nd_transpose", {"Transpose"}, "_p_squeeze_nd_transpose"},
      {"squeeze_nd_exsoftmax13", {"exSoftmax13"}, "_p_squeeze_nd_axis_op"},
      {"squeeze_nd_reducesum", {"ReduceSum"}, "_p_squeeze_nd_axis_op"},
      {"squeeze_nd_topk", {"TopK"}, "_p_squeeze_nd_axis_op"},
      {"convert_reduce_L2_to_pow_sum_pow", {"ReduceL2"}, "_p_convert_reduce_L2_to_pow_sum_pow"},
      {"convert_reduce_sum_to_conv", {"ReduceSum"}, "_p_convert_reduce_sum_to_conv"},
      {"convert_tile_to_expand", {"Tile"}, "_p_convert_tile_to_expand"},
      {"convert_keepdims_to_1_reducemean", {"ReduceMean"}, "_p_convert_keepdims_to_1"},
      {"convert_keepdims_to_1_reducemax", {"ReduceMax"}, "_p_convert_keepdims_to_1"},
      {"convert_keepdims_to_1_reducemin", {"ReduceMin"}, "_p_convert_keepdims_to_1"},
      {"convert_keepdims_to_1_reducesum", {"ReduceSum"}, "_p_convert_keepdims_to_1"},
      {"convert_keepdims_to_1_argmin", {"ArgMin"}, "_p_convert_keepdims_to_1"},
      {"convert_keepdims_to_1_argmax", {"ArgMax"}, "_p_convert_keepdims_to_1"},
      {"merge_dims_and_convert_ND_to_4D_split", {"Split"}, "_p_merge_dims_and_convert_ND_to_4D"},
      {"merge_dims_and_convert_ND_to_4D_concat", {"Concat"}, "_p_merge_dims_and_convert_ND_to_4D"},
      {"keepdims_gather", {"Gather"}, "_p_keepdims"},
  };
  return table;
}

const std::vector<TableEntry>& hw_dims_table() {
  static const std::vector<TableEntry> table = {
      {"gather_to_conv", {"Gather"}, "_p_gather_to_conv"},
      {"fix_exsoftmax_axis", {"exSoftmax13"}, "_p_fix_softmax_axis"},
  };
  return table;
}

const RuleDef& find_rule(const std::string& name) {
  static const std::unordered_map<std::string, const RuleDef*> index = [] {
    std::unordered_map<std::string, const RuleDef*> m;
    for (const auto* rules : {&unsqueeze_rules(), &squeeze_rules(), &merge_rules(), &lowering_rules(), &layout_rules()})
      for (const RuleDef& r : *rules) m.emplace(r.name, &r);
    return m;
  }();
  const auto it = index.find(name);
  if (it == index.end()) throw std::logic_error("no rule named " + name);
  return *it->second;
}

}  // namespace vexo::dims
