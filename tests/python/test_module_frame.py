"""The compiled rule modules: what importing them binds, the tables, the calling convention."""
import importlib
import inspect
import sys

import pytest

import vexo.api.rules.dims as dims
import vexo.api.rules.rank4 as rank4

IMPORTED = ["copy", "np", "onnx", "vexoLog", "seperate_independent_part_for_reshape", "squeeze_broadcast_dims",
            "align_sub_c", "gen_gather_for_change_split_shape", "REDUCE_OPS", "get_reduce_axes", "set_reduce_axes",
            "set_split_split", "node_name_join", "make_node_reduce", "copy_par", "Graph", "oper_name_join"]
CATALOGUE = """_p_convert_reduce_L2_to_pow_sum_pow _p_convert_reduce_sum_to_conv _p_convert_reduce_mean_to_avgpool
_p_convert_tf_nhwc_to_nchw _p_convert_keepdims_to_1 _1x1_resize_to_tile_size _p_convert_1x1_resize_to_tile
_p_eliminate_elements_op_redundancy_const_dim _p_convert_expand_to_gather_before_rs _p_unsqueeze_to_4d
_p_unsqueeze_to_4d_reshape_with_elementwise_op _p_input_align_4D _p_input_output_align_nd_expand
_p_broadcast_mul_expand _p_squeeze_to_4d _p_squeeze_1_in_nd _p_squeeze_nd_elementwise_op
_p_squeeze_nd_channelwise_op _p_squeeze_nd_matmul _p_squeeze_nd_expand _p_squeeze_nd_transpose
_p_squeeze_nd_axis_op _p_squeeze_to_4d_transpose _p_convert_tile_to_expand _p_convert_concat_to_conv_concat
_p_convert_split_to_conv_split _p_swap_concat_axis_avoid_channel_concat _p_fuse_reshape_tp_reshape_to_exWindow
_p_keepdims _p_merge_dims_and_convert_ND_to_4D _p_gather_to_conv _p_fix_softmax_axis""".split()
RULES = [n for n in CATALOGUE if n.startswith("_p_")]
RANK4_RULES = ["_p_convert_gemm_to_conv", "_p_layernorm_to_4d", "_p_unary_to_4d", "_p_gather_to_4d_slice",
               "_p_split_5d_transpose"]
UNTABLED = {"_p_convert_reduce_mean_to_avgpool", "_p_convert_tf_nhwc_to_nchw", "_p_convert_1x1_resize_to_tile",
            "_p_broadcast_mul_expand", "_p_squeeze_to_4d_transpose", "_p_convert_concat_to_conv_concat",
            "_p_convert_split_to_conv_split", "_p_swap_concat_axis_avoid_channel_concat"}


def test_namespace_is_bound_in_import_order():
    names = [n for n in vars(dims) if not n.startswith("__")]
    assert names == IMPORTED + CATALOGUE + ["fuse_dims", "cvt_dims", "hw_dims"]
    assert dims.np is sys.modules["numpy"] and dims.copy is sys.modules["copy"]
    from vexo.api.vexo_log import VEXOLog
    assert dims.vexoLog is VEXOLog


def test_tables_have_their_entries_in_order():
    assert [len(dims.fuse_dims), len(dims.cvt_dims), len(dims.hw_dims)] == [8, 141, 2]
    assert list(dims.fuse_dims)[0] == "fuse_reshape_tp_reshape_to_exWindow"
    assert dims.fuse_dims["convert_expand_to_gather_before_rs"]["ops"] == ["Expand", "Reshape"]
    cvt = list(dims.cvt_dims)
    assert cvt[:2] == ["unsqueeze_to_4d_conv", "unsqueeze_to_4d_deconv"]
    assert cvt[61] == "unsqueeze_to_4d_reshape_with_elementwise_op"
    assert cvt[-1] == "keepdims_gather"
    assert list(dims.hw_dims) == ["gather_to_conv", "fix_exsoftmax_axis"]
    procs = set()
    for table in (dims.fuse_dims, dims.cvt_dims, dims.hw_dims):
        for entry in table.values():
            assert set(entry) == {"ops", "proc"}
            assert entry["proc"] is getattr(dims, entry["proc"].__name__)
            procs.add(entry["proc"].__name__)
    assert sum(e["proc"] is dims._p_unsqueeze_to_4d for e in dims.cvt_dims.values()) == 67
    assert sum(e["proc"] is dims._p_squeeze_to_4d for e in dims.cvt_dims.values()) == 44
    assert procs == set(RULES) - UNTABLED


def test_rank4_module_binds_its_host_names_rules_and_table():
    assert [n for n in vars(rank4) if not n.startswith("__")] == (["np", "vexoLog", "Graph", "node_name_join"] +
                                                                  RANK4_RULES + ["rank4_dims"])
    for entry_name, entry in rank4.rank4_dims.items():
        assert set(entry) == {"ops", "proc"} and len(entry["ops"]) == 1
        rule = entry["proc"].__name__[3:]
        assert entry_name in (rule, rule + "_" + entry["ops"][0].lower())
    assert {e["proc"].__name__ for e in rank4.rank4_dims.values()} == set(RANK4_RULES)


@pytest.mark.parametrize("module,name", [(dims, n) for n in RULES] + [(rank4, n) for n in RANK4_RULES])
def test_rules_share_the_calling_convention(module, name):
    rule = getattr(module, name)
    sig = inspect.signature(rule)
    assert list(sig.parameters) == ["ir", "nodes", "quant_tab"]
    default = sig.parameters["quant_tab"].default
    assert default == {} and rule.__defaults__[0] is default
    assert rule.__module__ == module.__name__ and rule.__name__ == name
    assert rule.__doc__ and len(rule.__doc__.strip().split("\n\n")) >= 3


def test_defaults_are_each_rules_own():
    rules = [getattr(dims, n) for n in RULES] + [getattr(rank4, n) for n in RANK4_RULES]
    assert len({id(rule.__defaults__[0]) for rule in rules}) == len(rules)


def test_tile_size_is_a_plain_function():
    assert list(inspect.signature(dims._1x1_resize_to_tile_size).parameters) == ["x", "MAX_FM_SIZE",
                                                                               "MAX_KERNEL_SIZE"]
    assert dims._1x1_resize_to_tile_size(128, 512, 8) == [8, 8, 2]
    assert dims._1x1_resize_to_tile_size(600, 512, 8) == []


@pytest.mark.parametrize("name", ["dims", "rank4"])
def test_second_initialisation_is_refused(name):
    saved = sys.modules.pop("vexo.api.rules." + name)
    try:
        with pytest.raises(ImportError, match=r"^Module '%s' has already been imported\. "
                                              r"Re-initialisation is not supported\.$" % name):
            importlib.import_module("vexo.api.rules." + name)
    finally:
        sys.modules["vexo.api.rules." + name] = saved
