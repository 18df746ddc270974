"""Five-dimensional operators and Transposes made four-dimensional by losing a unit axis."""
import numpy as np
import pytest
from onnx import TensorProto, helper

import vexo.api.rules.dims as dims
import rule_kit
from rule_kit import graph, i64, message_of, refused
from vexo.testing import run_rule

node = helper.make_node
TRANSPOSE = dims._p_squeeze_to_4d_transpose
X5 = [1, 3, 8, 16, 16]


def unary(op, shape, out_shape="same", **attrs):
    return graph([node(op, ["x"], ["y"], name="n", **attrs)], {"x": shape},
                 {"y": shape if out_shape == "same" else out_shape})


def rewrite(ir, rule=dims._p_squeeze_to_4d):
    """Runs the rule on node "n", checked in ONNX Runtime; returns the added nodes."""
    return rule_kit.rewrite(rule, ir, "n")[1]


def assert_refused(ir, name="n", rule=dims._p_squeeze_to_4d):
    refused(rule, ir, name)


# ---------------------------------------------------------------- the removed axis and the preconditions

@pytest.mark.parametrize("shape,axis_rm", [([1, 3, 8, 16, 16], 0), ([2, 1, 8, 16, 16], 1), ([1, 1, 8, 16, 16], 0)])
def test_the_first_unit_axis_is_removed(shape, axis_rm):
    ir = unary("Relu", shape)
    added = rewrite(ir)
    assert ir.get_shape(ir.node("n").input[0]) == shape[:axis_rm] + shape[axis_rm + 1:]
    assert len(added) == 2 and added[-1].output == ["y"] and ir.get_shape("y") == shape


@pytest.mark.parametrize("shape", [[2, 3, 1, 16, 16], [1, 3, 16, 16], [1, 1, 3, 8, 16, 16]])
def test_shapes_without_a_front_unit_axis_are_refused(shape):
    assert_refused(unary("Relu", shape))


def test_dynamic_shapes_allow_only_axis_0():
    assert_refused(graph([node("Relu", ["x"], ["y"], name="n")], {"x": [2, 1, 8, 16, 16]}, {"y": None},
                         dynamic_shapes=True))
    ir = graph([node("Relu", ["x"], ["y"], name="n")], {"x": X5}, {"y": X5}, dynamic_shapes=True)
    assert len(rewrite(ir)) == 2


def slice_ir(x, axes, starts=(0,), ends=(1,)):
    consts = {"s": i64(*starts), "e": i64(*ends)}
    inputs = ["x", "s", "e"]
    if axes is not None:
        consts["a"] = i64(*axes)
        inputs.append("a")
    return graph([node("Slice", inputs, ["y"], name="n")], {"x": x}, {"y": None}, consts)


@pytest.mark.parametrize("make", [
    pytest.param(lambda: graph([node("ReduceSum", ["x", "a"], ["y"], name="n")], {"x": [1, 4, 8, 8, 8]},
                               {"y": None}, {"a": i64(0)}), id="reduce-over-axis_rm"),
    pytest.param(lambda: slice_ir([2, 1, 8, 16, 16], [1]), id="slice-axes-hold-axis_rm"),
    pytest.param(lambda: slice_ir(X5, None, [0] * 5, [1, 3, 4, 4, 4]), id="slice-every-axis"),
    # A non-constant axes input is judged like the data: its shape [1] does not qualify.
    pytest.param(lambda: graph([node("Slice", ["x", "s", "e", "a"], ["y"], name="n")],
                               {"x": X5, "a": ([1], np.int64)}, {"y": X5}, {"s": i64(0), "e": i64(4)}),
                 id="slice-axes-not-constant"),
    pytest.param(lambda: graph([node("Concat", ["x", "x"], ["y"], name="n", axis=0)], {"x": X5}, {"y": None}),
                 id="concat-axis"),
    pytest.param(lambda: graph([node("Split", ["x", "sp"], ["y"], name="n")], {"x": [1, 4, 4, 4, 4]},
                               {"y": [1, 4, 4, 4, 4]}, {"sp": i64(1)}), id="split-default-axis"),
    pytest.param(lambda: graph([node("Resize", ["x", "roi", "sc"], ["y"], name="n")], {"x": [1, 3, 4, 8, 8]},
                               {"y": [1, 3, 4, 16, 16]},
                               {"roi": np.zeros(10, np.float32), "sc": np.array([1, 1, 1, 2, 2], np.float32)}),
                 id="resize-scales-axis-4"),
    pytest.param(lambda: unary("exDataConvert", X5), id="dataconvert-graph-io"),
    pytest.param(lambda: graph([node("ScatterND", ["x", "i", "u"], ["y"], name="n")],
                               {"x": X5, "i": ([1, 2, 5], np.int64), "u": [1, 2]}, {"y": X5}),
                 id="scatternd-indices-not-constant"),
])
def test_operator_preconditions_refuse(make):
    assert_refused(make())


@pytest.mark.parametrize("unknown", [None, []])
def test_missing_shapes_are_refused(unknown):
    ir = graph([node("Add", ["x", "b"], ["y"], name="n"), node("ReduceMax", ["x"], ["r"], name="r", axes=[2])],
               {"x": X5, "b": X5}, {"y": X5, "r": None})
    ir.set_shape("y", unknown)
    assert_refused(ir)  # output class
    ir.set_shape("y", X5)
    ir.set_shape("b", None)
    assert_refused(ir)  # an operand that cannot be wrapped
    ir.set_shape("x", unknown)
    assert_refused(ir, "r")  # input class


# ---------------------------------------------------------------- numerical equivalence

CASES = {
    "add-low-rank": ([node("Add", ["x", "b"], ["y"], name="n")], {"x": X5, "b": [16, 16]}, {"y": X5}, None),
    "add-constant": ([node("Add", ["x", "c"], ["y"], name="n")], {"x": X5}, {"y": X5},
                     {"c": np.arange(8, dtype=np.float32).reshape(1, 1, 8, 1, 1)}),
    "mul-scalar": ([node("Mul", ["x", "two"], ["y"], name="n")], {"x": X5}, {"y": X5},
                   {"two": np.array(2.0, np.float32)}),
    "mul-broadcast-5d": ([node("Mul", ["x", "b"], ["y"], name="n")], {"x": [2, 1, 4, 5, 6], "b": [2, 1, 1, 5, 1]},
                         {"y": None}, None),
    "concat": ([node("Concat", ["x", "b"], ["y"], name="n", axis=2)], {"x": [1, 2, 3, 4, 5], "b": [1, 2, 6, 4, 5]},
               {"y": None}, None),
    "split": ([node("Split", ["x", "sp"], ["y", "z"], name="n", axis=-2)], {"x": [2, 1, 4, 6, 5]},
              {"y": None, "z": None}, {"sp": i64(2, 4)}),
    "slice": ([node("Slice", ["x", "s", "e", "a"], ["y"], name="n")], {"x": X5}, {"y": None},
              {"s": i64(1, 2), "e": i64(6, 100), "a": i64(2, -1)}),
    "pad": ([node("Pad", ["x", "p"], ["y"], name="n")], {"x": [2, 1, 3, 4, 5]}, {"y": None},
            {"p": i64(0, 0, 1, 0, 2, 1, 0, 0, 3, 1)}),
    "reducesum-keepdims-0": ([node("ReduceSum", ["x", "a"], ["y"], name="n", keepdims=0)], {"x": [2, 1, 4, 5, 6]},
                             {"y": None}, {"a": i64(2, -2)}),
    "softmax": ([node("Softmax", ["x"], ["y"], name="n", axis=-1)], {"x": [1, 3, 4, 5, 6]}, {"y": None}, None),
    "exsoftmax13": ([node("exSoftmax13", ["x"], ["y"], name="n", axis=2)], {"x": [2, 1, 4, 5, 6]}, {"y": None},
                    None),
    "matmul-3d": ([node("MatMul", ["x", "w"], ["y"], name="n")], {"x": [1, 3, 8, 16, 32], "w": [8, 32, 4]},
                  {"y": None}, None),
    "matmul-4d": ([node("MatMul", ["x", "w"], ["y"], name="n")], {"x": [1, 3, 8, 16, 32], "w": [3, 8, 32, 4]},
                  {"y": None}, None),
    "where": ([node("Where", ["c", "x", "b"], ["y"], name="n")],
              {"c": ([1, 1, 4, 5, 6], np.bool_), "x": [1, 3, 4, 5, 6], "b": [6]}, {"y": None}, None),
    "cast": ([node("Cast", ["x"], ["y"], name="n", to=TensorProto.INT32)], {"x": [1, 3, 4, 5, 6]}, {"y": None},
             None),
    "topk": ([node("TopK", ["x", "k"], ["v", "i"], name="n", axis=3)], {"x": [1, 3, 4, 5, 6]},
             {"v": None, "i": None}, {"k": i64(2)}),
    "scatternd": ([node("ScatterND", ["x", "i", "u"], ["y"], name="n")], {"x": [1, 3, 4, 5, 6], "u": [1, 3, 4, 5, 6]},
                  {"y": None}, {"i": np.array([[[0, 0], [0, 2], [0, 1]]], np.int64)}),
    "dataconvert": ([node("Relu", ["x"], ["a"]), node("exDataConvert", ["a"], ["b"], name="n"),
                     node("Relu", ["b"], ["y"])], {"x": X5}, {"y": X5}, None),
}


@pytest.mark.parametrize("case", CASES)
def test_rewrite_is_equivalent_in_onnx_runtime(case):
    ir = graph(*CASES[case])
    rewrite(ir)
    assert all(len(ir.get_shape(t)) <= 4 for t in ir.node("n").output)


def rewritten(case):
    ir = graph(*CASES[case])
    rewrite(ir)
    return ir


def test_attributes_and_constants_follow_the_removed_axis():
    for case, const, value in [("slice", "a", [1, 3]), ("pad", "p", [0, 1, 0, 2, 1, 0, 3, 1]),
                               ("reducesum-keepdims-0", "a", [1, 2]), ("split", "sp", [2, 4])]:
        assert rewritten(case).get_const(const).tolist() == value, case
    for case, axis in [("split", 2), ("softmax", 3), ("exsoftmax13", 1)]:
        ir = rewritten(case)
        assert ir.get_attr(ir.node("n"), "axis") == axis, case
    ir = rewritten("reducesum-keepdims-0")
    assert ir.get_attr(ir.node("n"), "keepdims") == 1
    ir = rewritten("add-constant")
    assert ir.get_shape("c") == [1, 8, 1, 1] and ir.node("n").input[1] == "c"
    ir = rewritten("mul-scalar")
    assert ir.get_shape("two") == [] and ir.node("n").input[1] == "two"


def test_shared_input_gets_one_reshape():
    ir = graph([node("Mul", ["x", "x"], ["y"], name="n")], {"x": X5}, {"y": X5})
    added = rewrite(ir)
    n = ir.node("n")
    assert len(added) == 2 and n.input[0] == n.input[1] == added[0].output[0]


def test_resize_constants_lose_the_removed_axis():
    ir = graph([node("Resize", ["x", "roi", "sc", "sz"], ["y"], name="n")], {"x": [1, 3, 4, 8, 8]},
               {"y": [1, 3, 4, 16, 8]}, {"roi": np.arange(10, dtype=np.float32),
                                         "sc": np.array([1, 1, 1, 2, 1], np.float32), "sz": i64(1, 3, 4, 16, 8)})
    run_rule(dims._p_squeeze_to_4d, ir, [ir.node("n")])  # the constants only: the model is not valid
    assert ir.get_const("roi").tolist() == [1, 2, 3, 4, 6, 7, 8, 9] and ir.get_const("sc").tolist() == [1, 1, 2, 1]
    assert ir.get_const("sz").tolist() == [3, 4, 16, 8] and ir.get_shape(ir.node("n").input[0]) == [3, 4, 8, 8]


@pytest.mark.parametrize("shape,axis_rm,expected", [([1, 4, 5], 0, [4, 4]), ([4, 1, 5], 1, [4, 4]),
                                                     ([4, 1], 1, [4, 1])])
def test_scatternd_indices_lose_the_removed_coordinate(shape, axis_rm, expected):
    data = [3, 1, 4, 5, 6] if axis_rm else [1, 3, 4, 5, 6]
    ir = graph([node("ScatterND", ["x", "i", "u"], ["y"], name="n")], {"x": data, "u": shape[:-1]}, {"y": data},
               {"i": np.zeros(shape, np.int64)})
    run_rule(dims._p_squeeze_to_4d, ir, [ir.node("n")])
    assert list(ir.get_const("i").shape) == expected


# ---------------------------------------------------------------- messages

def pad_ir(pads):
    consts = {} if isinstance(pads, str) else {"p": i64(*pads)}
    inputs = {"x": [2, 1, 3, 4, 5], "p": ([10], np.int64)} if isinstance(pads, str) else {"x": [2, 1, 3, 4, 5]}
    return graph([node("Pad", ["x", "p"], ["y"], name="n")], inputs, {"y": [2, 1, 3, 4, 5]}, consts)


def resize_ir(roi, scales):
    """A Resize from [2, 1, 4, 8, 8]; roi None is an absent roi, given as the empty name."""
    consts = {"sc": np.array(scales, np.float32)}
    if roi is not None:
        consts["roi"] = np.array(roi, np.float32)
    return graph([node("Resize", ["x", "" if roi is None else "roi", "sc"], ["y"], name="n")],
                 {"x": [2, 1, 4, 8, 8]}, {"y": [2, 1, 4, 16, 8]}, consts)


@pytest.mark.parametrize("make,message", [
    (lambda: pad_ir([0, 1]), "The axis_rm = 1 is out of range of 'pads' in 'n'!"),
    (lambda: resize_ir(np.zeros(10), [2]), "The axis_rm = 1 is out of range of 'shape' in 'n'!"),
    (lambda: pad_ir("variable"), "Only support constant 'pads' in Pad 'n'!"),
    (lambda: resize_ir(None, [1, 1, 1, 2, 1]), "Only support constant 'roi' in Resize!"),
    (lambda: graph([node("ScatterND", ["x", "i", "u"], ["y"], name="n")], {"x": X5, "u": [10]}, {"y": X5},
                   {"i": np.zeros((10, 5), np.int64)}), "Not support indices.shape = [10, 5] in ScatterND(n)!"),
    (lambda: graph([node("MatMul", ["x", "w"], ["y"], name="n")], {"x": [1, 3, 8, 16, 32]}, {"y": None},
                   {"w": np.ones((32, 4), np.float32)}), "Not support shape_dims = 2 for w in MatMul!"),
])
def test_unsupported_configurations_are_reported(make, message):
    ir = make()
    assert message_of(dims._p_squeeze_to_4d, ir, "n") == message
    assert ir.node("n").input[0] != "x"  # the input reshaped before the message stays


# ---------------------------------------------------------------- the five-dimensional Transpose

@pytest.mark.parametrize("shape,perm,new_perm", [([2, 3, 1, 4, 5], [0, 3, 1, 2, 4], [0, 2, 1, 3]),
                                                 ([1, 1, 4, 5, 6], [1, 0, 4, 2, 3], [0, 3, 1, 2]),
                                                 ([2, 3, 4, 5, 6], [0, 2, 3, 1, 4], [0, 2, 1, 3])])
def test_transpose_squeeze_is_equivalent(shape, perm, new_perm):
    ir = unary("Transpose", shape, None, perm=perm)
    out_shape = ir.get_shape("y")
    added = rewrite(ir, TRANSPOSE)
    tp = ir.node("n")
    assert ir.get_attr(tp, "perm") == new_perm and tp.input == ["x_shape4n"] and tp.output == ["y_shape4"]
    assert [(n.name, list(n.input), list(n.output)) for n in added] == [
        ("n_squeeze0", ["x", "n_squeeze0_shape"], ["x_shape4n"]),
        ("n_squeeze1", ["y_shape4", "n_squeeze1_shape"], ["y"])]
    assert ir.get_const("n_squeeze1_shape").tolist() == out_shape


@pytest.mark.parametrize("shape,perm", [([2, 3, 4, 5], [0, 2, 3, 1]), ([1, 2, 3, 4, 5, 6], [0, 1, 2, 3, 5, 4]),
                                        ([2, 3, 4, 5, 6], [4, 3, 2, 1, 0])])
def test_transpose_without_a_fold_is_refused(shape, perm):
    assert_refused(unary("Transpose", shape, None, perm=perm), rule=TRANSPOSE)


def test_transpose_with_a_bad_perm_is_reported():
    ir = unary("Transpose", [2, 3, 1, 4, 5], perm=[0, 1, 2, 3, 3])
    with pytest.raises(ValueError, match="Transpose 'n'"):
        TRANSPOSE(ir, [ir.node("n")])


# ---------------------------------------------------------------- against a host built from the contracts alone

def test_exact_builder_calls_and_a_logger_that_returns(monkeypatch):
    import independent_host as host
    host.install(monkeypatch, dims)
    mx = host.Node("Max", ["x", "b", "x"], ["z"], name="max")  # a shared input is reshaped once
    ir = host.Ir([mx], shapes={"x": X5, "b": [16, 16], "z": X5})
    remove, nodes = dims._p_squeeze_to_4d(ir, [mx])
    g_ops = [(n.op_type, list(n.input), list(n.output)) for n in nodes]
    assert remove == [] and [o[0] for o in g_ops] == ["Reshape"] * 3 and mx.output == [nodes[2].input[0]]
    assert mx.input == [nodes[0].output[0], nodes[1].output[0], nodes[0].output[0]] and nodes[2].output == ["z"]
    assert [ir.const_values[n.input[1]].tolist() for n in nodes] == [[3, 8, 16, 16], [1, 1, 16, 16], X5]

    mm = host.Node("MatMul", ["x", "w"], ["y"], name="mm")
    ir = host.Ir([mm], shapes={"x": [1, 3, 8, 16, 32], "y": [1, 3, 8, 16, 4]}, consts={"w": np.ones((32, 4))})
    with pytest.raises(RuntimeError, match="Not support shape_dims = 2 for w in MatMul!"):
        dims._p_squeeze_to_4d(ir, [mm])
    assert host.Log.messages == [("e", "Not support shape_dims = 2 for w in MatMul!")]


def test_transpose_names_come_from_node_name_join(monkeypatch):
    import independent_host as host
    host.install(monkeypatch, dims)
    tp = host.Node("Transpose", ["x"], ["y"], name="tp", perm=[0, 3, 1, 2, 4])
    ir = host.Ir([tp], shapes={"x": [2, 3, 1, 4, 5], "y": [2, 4, 3, 1, 5]})
    _, (r0, r1) = dims._p_squeeze_to_4d_transpose(ir, [tp])
    assert [c[1:] for c in ir.writes() if c[0] == "set_attr"] == [("tp", "perm", [0, 2, 1, 3])]
    assert (r0.name, list(r0.input), list(r0.output)) == ("tp_squeeze0_free", ["x", "tp_squeeze0_free_shape"],
                                                          ["x_shape4tp"])
    assert (r1.name, list(r1.input), list(r1.output)) == ("tp_squeeze1_free", ["y_shape4", "tp_squeeze1_free_shape"],
                                                          ["y"])
    assert ir.const_values["tp_squeeze1_free_shape"].tolist() == [2, 4, 3, 1, 5]
