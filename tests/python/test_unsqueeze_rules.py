"""Rank raising: operators of rank 1 to 3 made four-dimensional, low-rank operands raised to 4-D."""
import numpy as np
import pytest

import vexo.api.rules.dims as dims
from rule_kit import f32, graph, i64, message_of, node, refused, rewrite
from vexo.api.vexo_log import VEXOLog
from vexo.testing import run_rule

RAISE = dims._p_unsqueeze_to_4d
rng = np.random.default_rng(1)


def inner_shape(ir, name, k=0):
    return ir.get_shape(ir.node(name).output[k])


# ---------------------------------------------------------------- numerical equivalence over the operator table

CASES = {
    "conv1d": (node("Conv", ["x", "w", "b"], ["y"], kernel_shape=[3], strides=[2], dilations=[1], pads=[1, 1]),
               {"x": [1, 4, 20]}, {"w": f32(8, 4, 3), "b": f32(8)},
               dict(shape=[1, 8, 1, 10], attrs={"kernel_shape": [1, 3], "strides": [1, 2], "dilations": [1, 1],
                                                "pads": [0, 1, 0, 1]}, consts={"w": [8, 4, 1, 3], "b": [8]})),
    "conv_no_pads": (node("Conv", ["x", "w"], ["y"], kernel_shape=[3]), {"x": [1, 4, 20]}, {"w": f32(8, 4, 3)},
                     dict(attrs={"kernel_shape": [1, 3]}, absent=["pads", "strides"])),
    "deconv": (node("ConvTranspose", ["x", "w"], ["y"], kernel_shape=[2], strides=[2], output_padding=[1]),
               {"x": [1, 4, 6]}, {"w": f32(4, 3, 2)}, dict(attrs={"output_padding": [0, 1]})),
    "maxpool": (node("MaxPool", ["x"], ["y"], kernel_shape=[3], strides=[2], pads=[1, 1]), {"x": [1, 4, 20]}, {},
                dict(attrs={"kernel_shape": [1, 3], "pads": [0, 1, 0, 1]})),
    "avgpool": (node("AveragePool", ["x"], ["y"], kernel_shape=[2], strides=[2]), {"x": [2, 4, 20]}, {}, {}),
    "gap": (node("GlobalAveragePool", ["x"], ["y"]), {"x": [2, 4, 20]}, {}, dict(shape=[2, 4, 1, 1])),
    "gmp": (node("GlobalMaxPool", ["x"], ["y"]), {"x": [2, 4, 20]}, {}, {}),
    "batchnorm": (node("BatchNormalization", ["x", "s", "b", "m", "v"], ["y"]), {"x": [2, 4, 10]},
                  {"s": f32(4), "b": f32(4), "m": f32(4), "v": np.ones(4, np.float32)},
                  dict(added=2, consts={"s": [4], "v": [4]})),
    "instnorm": (node("InstanceNormalization", ["x", "s", "b"], ["y"]), {"x": [2, 4, 10]},
                 {"s": f32(4), "b": f32(4)}, {}),
    "softmax": (node("Softmax", ["x"], ["y"], axis=-1), {"x": [2, 3, 5]}, {}, dict(attrs={"axis": 3})),
    "exsoftmax": (node("exSoftmax13", ["x"], ["y"], axis=1), {"x": [64, 2, 3]}, {}, dict(attrs={"axis": 2})),
    "reducemean": (node("ReduceMean", ["x"], ["y"], axes=[-1], keepdims=0), {"x": [2, 8, 5]}, {},
                   dict(attrs={"axes": [3], "keepdims": 1})),
    "reducesum_input_axes": (node("ReduceSum", ["x", "ax"], ["y"], keepdims=0), {"x": [4, 8, 16]},
                             {"ax": i64(2)}, dict(const_values={"ax": [3]}, attrs={"keepdims": 1})),
    "argmax": (node("ArgMax", ["x"], ["y"], axis=2, keepdims=0), {"x": [2, 8, 5]}, {},
               dict(attrs={"axis": 3, "keepdims": 1})),
    "transpose": (node("Transpose", ["x"], ["y"], perm=[0, 2, 1]), {"x": [2, 8, 5]}, {},
                  dict(attrs={"perm": [0, 3, 2, 1]})),
    "transpose_1abc": (node("Transpose", ["x"], ["y"], perm=[0, 2, 1]), {"x": [64, 2, 3]}, {},
                       dict(attrs={"perm": [0, 1, 3, 2]})),
    "concat": (node("Concat", ["x", "c"], ["y"], axis=2), {"x": [2, 8, 5]}, {"c": f32(2, 8, 3)},
               dict(attrs={"axis": 3}, consts={"c": [2, 8, 1, 3]})),
    "split": (node("Split", ["x", "s"], ["y", "z"], axis=-1), {"x": [2, 8, 6]}, {"s": i64(2, 4)},
              dict(attrs={"axis": 3}, const_values={"s": [2, 4]})),
    "slice": (node("Slice", ["x", "st", "en", "ax", "sp"], ["y"]), {"x": [2, 8, 10]},
              {"st": i64(1), "en": i64(7), "ax": i64(-1), "sp": i64(2)}, dict(const_values={"ax": [3]})),
    "pad": (node("Pad", ["x", "p"], ["y"]), {"x": [2, 8, 10]}, {"p": i64(0, 0, 1, 0, 0, 2)},
            dict(const_values={"p": [0, 0, 0, 1, 0, 0, 0, 2]})),
    "matmul3d": (node("MatMul", ["x", "w"], ["y"]), {"x": [2, 5, 8]}, {"w": f32(8, 6)},
                 dict(shape=[1, 2, 5, 6], consts={"w": [1, 1, 8, 6]})),
    "matmul2d": (node("MatMul", ["x", "w"], ["y"]), {"x": [5, 8], "w": [8, 6]}, {}, dict(shape=[1, 1, 5, 6])),
    "add_broadcast": (node("Add", ["x", "z"], ["y"]), {"x": [2, 8, 5], "z": [5]}, {}, dict(added=2)),
    "mul_const": (node("Mul", ["x", "c"], ["y"]), {"x": [2, 8, 5]}, {"c": f32(8, 1)}, dict(consts={"c": [8, 1, 1]})),
    "pow": (node("Pow", ["x", "e"], ["y"]), {"x": [2, 8, 5]}, {"e": np.float32(2)}, {}),
    "where": (node("Where", ["c", "x", "z"], ["y"]), {"c": ([2, 8, 5], np.bool_), "x": [2, 8, 5], "z": [2, 8, 5]}, {},
              {}),
    "gather": (node("Gather", ["x", "i"], ["y"], axis=1), {"x": [6, 8, 5]}, {"i": i64(0, 2, 2)},
               dict(shape=[6, 3, 1, 5])),
    # scalar indices as a graph input: IrGraph.to_model() writes scalar constants with shape [1]
    "gather_scalar": (node("Gather", ["x", "i"], ["y"], axis=-1), {"x": [6, 8, 5], "i": ([], np.int64)}, {},
                      dict(attrs={"axis": 3})),
    "gather_elements": (node("GatherElements", ["x", "i"], ["y"], axis=2), {"x": [2, 8, 5]},
                        {"i": rng.integers(0, 5, (2, 8, 3))}, {}),
    "expand": (node("Expand", ["x", "s"], ["y"]), {"x": [2, 1, 5]}, {"s": i64(2, 8, 5)},
               dict(const_values={"s": [2, 8, 1, 5]})),
    "resize_scales": (node("Resize", ["x", "", "sc"], ["y"], mode="nearest"), {"x": [1, 8, 10]},
                      {"sc": np.array([1, 1, 2], np.float32)}, dict(const_values={"sc": [1, 1, 1, 2]})),
    "resize_sizes": (node("Resize", ["x", "", "", "sz"], ["y"], mode="nearest"), {"x": [1, 8, 16]},
                     {"sz": i64(1, 8, 32)}, dict(const_values={"sz": [1, 8, 1, 32]})),
    "topk": (node("TopK", ["x", "k"], ["y", "i"], axis=-1), {"x": [2, 8, 5]}, {"k": i64(2)}, dict(added=3)),
    "scatternd": (node("ScatterND", ["x", "i", "u"], ["y"]), {"x": [2, 3, 4], "u": [1, 2, 1]},
                  {"i": i64(0, 1, 2, 1, 2, 3).reshape(1, 2, 1, 3)}, dict(consts={"i": [1, 2, 1, 1, 4]})),
    "layernorm": (node("exLayerNorm", ["x", "s", "b"], ["y"], normalized_shape=[16]), {"x": [2, 50, 16]},
                  {"s": f32(16), "b": f32(16)},
                  dict(shape=[100, 16, 1, 1], attrs={"normalized_shape": [16, 1, 1]}, consts={"s": [16, 1, 1]})),
    "lpnorm": (node("LpNormalization", ["x"], ["y"], axis=1), {"x": [2, 8, 5]}, {}, {}),
    "rank2_softmax": (node("Softmax", ["x"], ["y"], axis=-1), {"x": [5, 8]}, {}, dict(shape=[5, 8, 1, 1],
                                                                                      attrs={"axis": 1})),
    "rank2_transpose_1a1b": (node("Transpose", ["x"], ["y"], perm=[1, 0]), {"x": [5, 8]}, {},
                             dict(mode="1A1B", attrs={"perm": [0, 3, 2, 1]})),
    "rank2_pad_1a1b": (node("Pad", ["x", "p"], ["y"]), {"x": [5, 8]}, {"p": i64(1, 0, 0, 2)},
                       dict(mode="1A1B", const_values={"p": [0, 1, 0, 0, 0, 0, 0, 2]})),
    "rank2_batchnorm": (node("BatchNormalization", ["x", "s", "b", "m", "v"], ["y"]), {"x": [3, 4]},
                        {"s": f32(4), "b": f32(4), "m": f32(4), "v": np.ones(4, np.float32)},
                        dict(mode="1A1B", shape=[3, 4, 1, 1])),
    "rank1_relu": (node("Relu", ["x"], ["y"]), {"x": [10]}, {}, dict(shape=[1, 10, 1, 1])),
    # keepdims 1: the builder makes the empty shape list of a scalar output a float32 constant
    "rank1_reducemax": (node("ReduceMax", ["x"], ["y"], axes=[0], keepdims=1), {"x": [10]}, {},
                        dict(attrs={"axes": [1], "keepdims": 1})),
}


@pytest.mark.parametrize("case", CASES)
def test_raised_operator_computes_the_same(case):
    n, inputs, consts, expect = CASES[case]
    ir = graph(n, inputs, None, consts, unsqueeze_2d_mode=expect.get("mode", "AB11"))
    remove, add = rewrite(RAISE, ir, n.name)
    nod = ir.node(n.name)
    assert remove == [] and all(a.op_type == "Reshape" for a in add)
    if "added" in expect:
        assert len(add) == expect["added"]
    if "shape" in expect:
        assert inner_shape(ir, n.name) == expect["shape"]
    for k, v in expect.get("attrs", {}).items():
        assert ir.get_attr(nod, k) == v, k
    for k in expect.get("absent", []):
        assert ir.get_attr(nod, k) is None, k
    for k, v in expect.get("consts", {}).items():
        assert list(ir.get_const(k).shape) == v, k
    for k, v in expect.get("const_values", {}).items():
        assert ir.get_const(k).tolist() == v, k


def test_outputs_keep_names_and_shapes_for_their_consumers():
    ir = graph([node("Relu", ["x"], ["y"]), node("Neg", ["y"], ["z"])], {"x": [1, 64, 100]})
    remove, add = rewrite(RAISE, ir, "relu")
    assert ir.get_shape("y") == [1, 64, 100] and ir.node("neg").input == ["y"]
    assert [n.op_type for n in ir.nodes] == ["Reshape", "Relu", "Reshape", "Neg"]
    assert ir.producer("y") is ir.node(add[-1].name)


@pytest.mark.parametrize("shape, dynamic, raised", [
    ([1, 64, 100], False, [1, 64, 1, 100]),  # B >= 4 though not the largest
    ([64, 2, 3], False, [1, 64, 2, 3]),
    ([2, 1, 3], False, [2, 3, 1, 1]),  # "AC1B": B is 1
    ([1, 3, 2], False, [1, 3, 1, 2]),
    ([3, 2, 5], False, [1, 3, 2, 5]),
    ([64, 2, 3], True, [64, 2, 1, 3]),  # dynamic shapes keep the channel axis
])
def test_size_rule_chooses_the_layout(shape, dynamic, raised):
    ir = graph(node("Sigmoid", ["x"], ["y"]), {"x": shape}, dynamic_shapes=dynamic)
    rewrite(RAISE, ir, "sigmoid")
    assert inner_shape(ir, "sigmoid") == raised


def test_node_reading_one_tensor_twice_gets_one_reshape():
    ir = graph(node("Mul", ["x", "x"], ["y"]), {"x": [2, 8, 5]})
    remove, add = rewrite(RAISE, ir, "mul")
    assert len(add) == 2 and ir.node("mul").input == [add[0].output[0]] * 2


# ---------------------------------------------------------------- refusals change nothing

REFUSED = {
    "rank4": (node("Relu", ["x"], ["y"]), {"x": [1, 2, 3, 4]}, {}),
    "foreign_rank_concat": (node("Concat", ["x", "z"], ["y"], axis=-1), {"x": [2, 3, 5], "z": [3, 5]}, {},
                            {"y": [2, 3, 10]}),
    "matmul_rank1": (node("MatMul", ["x", "w"], ["y"]), {"x": [8]}, {"w": f32(8, 4)}),
    "dataconvert_at_input": (node("exDataConvert", ["x"], ["y"]), {"x": [2, 3, 5]}, {}),
    "gather_2d_indices": (node("Gather", ["x", "i"], ["y"]), {"x": [6, 8, 5]}, {"i": i64(0, 1, 2, 3).reshape(2, 2)}),
    "scatternd_rank2": (node("ScatterND", ["x", "i", "u"], ["y"]), {"x": [4, 5], "u": [1, 5]},
                        {"i": i64(1).reshape(1, 1)}),
    "scatternd_indices_not_const": (node("ScatterND", ["x", "i", "u"], ["y"]),
                                    {"x": [2, 3, 4], "i": ([1, 1, 1, 3], np.int64), "u": [1, 1, 1]}, {}),
    "pow_low_rank_base": (node("Pow", ["x", "e"], ["y"]), {"x": [5], "e": [2, 3, 5]}, {}),
    "slice_without_axes": (node("Slice", ["x", "st", "en"], ["y"]), {"x": [2, 8, 10]}, {"st": i64(0, 1, 1),
                                                                                     "en": i64(2, 7, 9)}),
    # pads of the axes named by the axes input do not follow the layout
    "pad_with_axes": (node("Pad", ["x", "p", "", "ax"], ["y"]), {"x": [2, 8, 10]}, {"p": i64(1, 2), "ax": i64(2)}),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refusal_changes_nothing(case):
    n, inputs, consts, *outputs = REFUSED[case]
    ir = graph(n, inputs, *outputs or [None], consts, opset=18)
    assert all(ir.get_shape(o) for o in n.output)
    refused(RAISE, ir, n.name)


# ---------------------------------------------------------------- messages

def error_of(n, inputs, consts=None, outputs=None, **config):
    ir = graph(n, inputs, outputs, consts, **config)
    changes = ir.changes
    return message_of(RAISE, ir, n.name), ir.changes - changes


def test_errors_name_the_node_or_tensor():
    assert error_of(node("exLayerNorm", ["x"], ["y"], normalized_shape=[2, 3, 4, 5]), {"x": [2, 3, 5]}) == (
        "Not support n_norm_shape = 4 in 'exlayernorm'!", 0)
    assert error_of(node("Relu", ["x"], ["y"]), {"x": [3, 4]}, unsqueeze_2d_mode="A1B1")[0] == \
        "Not support mode = A1B1 in 'x'!"
    assert error_of(node("Transpose", ["x"], ["y"], perm=[1, 0]), {"x": [3, 4]}, unsqueeze_2d_mode="ABc11") == (
        "Not support mode = ABc11 in 'transpose attr::perm'!", 0)
    assert error_of(node("Softmax", ["x"], ["y"], axis=1), {"x": [3, 4]}, unsqueeze_2d_mode="AbC11")[0] == \
        "Not support mode = AbC11 in 'softmax attr::axis'!"
    # a non-constant operand of another rank is refused before, so these show at rank 1
    assert error_of(node("Slice", ["x", "s", "e", "a"], ["y"]), {"x": [10], "a": ([1], np.int64)},
                    {"s": i64(1), "e": i64(5)}, {"y": [4]})[0] == "Only support constant 'axes' in Slice 'slice'!"
    assert error_of(node("Pad", ["x", "p"], ["y"]), {"x": [10], "p": ([2], np.int64)}, outputs={"y": [13]})[0] == \
        "Only support constant 'pads' in Pad 'pad'!"
    assert error_of(node("Expand", ["x", "s"], ["y"]), {"x": [1], "s": ([1], np.int64)}, outputs={"y": [5]})[0] == \
        "Only support constant 'shape' in Expand 'expand'!"
    assert error_of(node("Resize", ["x", "r", "s"], ["y"], coordinate_transformation_mode="tf_crop_and_resize"),
                    {"x": [1, 8, 10]}, {"r": np.array([0, 0, 0, 1, 1, 1], np.float32),
                                        "s": np.array([1, 1, 2], np.float32)}, {"y": [1, 8, 20]})[0] == \
        "Not support 'roi' in Resize 'resize' !"
    assert error_of(node("ScatterND", ["x", "i", "u"], ["y"]), {"x": [2, 3, 4]},
                    {"i": np.zeros((1, 1, 1, 1, 3), np.int64), "u": f32(1, 1, 1, 1)})[0] == \
        "Not support len(indices.shape) > 4! in ScatterND(scatternd)!"


def test_shape_beyond_the_mode_warns_and_passes():
    ir = graph(node("Mul", ["c", "c"], ["y"]), {}, None, {"c": f32(2, 3, 5)})
    VEXOLog.history.clear()
    rewrite(RAISE, ir, "mul")
    assert ("warning", "n_dims_mode = 3 is not match the shape [2, 3, 1, 5] in 'c'!") in VEXOLog.history


# ---------------------------------------------------------------- Reshape output widened for elementwise consumers

def reshape_graph(consumers, other_shape=(1, 64, 32, 32)):
    nodes = [node("Reshape", ["x", "s"], ["r"])] + consumers
    return graph(nodes, {"x": [64], "o": list(other_shape)}, {c.output[0]: None for c in consumers},
                 {"s": i64(64, 1, 1)})


def test_reshape_before_elementwise_produces_4d():
    ir = reshape_graph([node("Mul", ["o", "r"], ["y"]), node("Sub", ["r", "o"], ["z"])])
    assert rewrite(dims._p_unsqueeze_to_4d_reshape_with_elementwise_op, ir, "reshape") == ([], [])
    assert ir.get_const("s").tolist() == [1, 64, 1, 1] and ir.get_shape("r") == [1, 64, 1, 1]


@pytest.mark.parametrize("consumers, other", [
    ([node("Relu", ["r"], ["y"])], (1, 64, 32, 32)),
    ([node("Add", ["r", "r"], ["y"])], (1, 64, 32, 32)),
    ([node("Add", ["r", "o"], ["y"])], (64, 32, 32)),
])
def test_reshape_with_other_consumers_is_left_alone(consumers, other):
    refused(dims._p_unsqueeze_to_4d_reshape_with_elementwise_op, reshape_graph(consumers, other), "reshape")


# ---------------------------------------------------------------- operand and Expand input alignment

def test_align_reshapes_a_tensor_operand():
    ir = graph(node("Add", ["x", "z"], ["y"]), {"x": [1, 64, 32, 32], "z": [64, 1, 1]})
    remove, add = rewrite(dims._p_input_align_4D, ir, "add")
    assert remove == [] and len(add) == 1 and ir.get_shape(ir.node("add").input[1]) == [1, 64, 1, 1]


@pytest.mark.parametrize("const, raised", [(f32(64, 1, 1), [1, 64, 1, 1]), (np.float32(2), [1, 1, 1, 1])])
def test_align_reshapes_a_constant_in_place(const, raised):
    ir = graph(node("Div", ["x", "c"], ["y"]), {"x": [1, 64, 32, 32]}, None, {"c": const})
    remove, add = rewrite(dims._p_input_align_4D, ir, "div")
    assert [n.name for n in remove] == ["div"] and add[0] is not remove[0]
    assert (add[0].op_type, list(add[0].input), list(add[0].output)) == ("Div", ["x", "c"], ["y"])
    assert list(ir.get_const("c").shape) == raised


def test_align_takes_the_first_low_operand_only():
    ir = graph(node("Sub", ["a", "b"], ["y"]), {"a": [32, 32], "b": [64, 1, 1]}, {"y": [1, 64, 32, 32]})
    run_rule(dims._p_input_align_4D, ir, [ir.node("sub")])
    assert ir.get_shape(ir.node("sub").input[0]) == [1, 1, 32, 32] and ir.node("sub").input[1] == "b"


@pytest.mark.parametrize("n, inputs", [(node("Add", ["a", "b"], ["y"]), {"a": [1, 2, 3, 4], "b": [1, 2, 3, 4]}),
                                       (node("Sub", ["a", "b"], ["y"]), {"a": [2, 3, 4], "b": [4]})])
def test_align_without_work_changes_nothing(n, inputs):
    refused(dims._p_input_align_4D, graph(n, inputs), n.name)


@pytest.mark.parametrize("in_shape, out_shape, raised", [
    ([8], [1, 64, 8, 8], [1, 1, 1, 8]), ([], [1, 64, 8, 8], [1, 1, 1, 1]), ([3, 1], [2, 3, 5], [1, 3, 1])])
def test_expand_input_takes_the_output_rank(in_shape, out_shape, raised):
    ir = graph(node("Expand", ["x", "s"], ["y"]), {"x": in_shape}, None, {"s": i64(*out_shape)})
    remove, add = rewrite(dims._p_input_output_align_nd_expand, ir, "expand")
    assert len(add) == 1 and ir.get_shape(ir.node("expand").input[0]) == raised
    assert ir.get_const("s").tolist() == out_shape


def test_expand_of_equal_rank_is_left_alone():
    ir = graph(node("Expand", ["x", "s"], ["y"]), {"x": [1, 64, 1, 1]}, None, {"s": i64(1, 64, 8, 8)})
    refused(dims._p_input_output_align_nd_expand, ir, "expand")
