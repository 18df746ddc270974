"""N-D merge rules: rewrites checked in ONNX Runtime, worked examples and refusals."""
import numpy as np
import pytest
from onnx import helper

import vexo.api.rules.dims as dims
from rule_kit import f32, graph, i64, refused
from vexo.testing import assert_equivalent, run_rule

RNG = np.random.default_rng(7)


def node(op, ins, outs, **attrs):
    return helper.make_node(op, ins, outs, name="n", **attrs)


def apply(rule, nodes, inputs, outputs=None, consts=None):
    """Runs `rule` on node 'n'; checks equivalence when it rewrote, nothing written when it refused."""
    ir = graph(nodes, inputs, outputs or {"y": None}, consts)
    before, changes = ir.to_model(), ir.changes
    n = ir.node("n")
    remove, add = run_rule(rule, ir, [n])
    if not add:
        assert remove == [] and ir.changes == changes
    else:
        assert_equivalent(before, ir.to_model())
    return ir, n, remove, add


def rank_of(ir, tensor):
    return len(ir.get_shape(tensor))


# ------------------------------------------------------------ unit axes of N-D Transposes

@pytest.mark.parametrize("shape,perm,new_perm,new_in", [
    ([2, 1, 3, 1, 4, 5], [0, 2, 1, 4, 3, 5], [0, 1, 2, 3], [2, 3, 4, 5]),
    ([1, 1, 1, 1, 8, 8], [0, 1, 2, 3, 5, 4], [0, 1, 3, 2], [1, 1, 8, 8]),
    ([2, 3, 4, 5, 1], [0, 2, 1, 4, 3], [0, 2, 1, 3], [2, 3, 4, 5]),
    ([2, 1, 3, 4, 5], [2, 3, 4, 0, 1], [1, 2, 3, 0], [2, 3, 4, 5]),
])
def test_unit_axes_leave_the_transpose(shape, perm, new_perm, new_in):
    ir, n, _, add = apply(dims._p_squeeze_1_in_nd, [node("Transpose", ["x"], ["y"], perm=perm)], {"x": shape})
    assert ir.get_attr(n, "perm") == new_perm and ir.get_shape(n.input[0]) == new_in
    assert [a.op_type for a in add] == ["Reshape", "Reshape"] and n.output[0] != "y"


def test_unit_axes_of_a_constant_transpose_input_are_dropped_in_place():
    c = RNG.standard_normal((2, 1, 3, 4, 5)).astype(np.float32)
    tp = node("Transpose", ["c"], ["t"], perm=[4, 3, 2, 1, 0])
    ir, n, _, add = apply(dims._p_squeeze_1_in_nd, [tp, helper.make_node("Add", ["t", "x"], ["y"])],
                          {"x": [5, 4, 3, 1, 2]}, consts={"c": c})
    assert len(add) == 1 and n.input[0] == "c" and ir.get_const("c").shape == (2, 3, 4, 5)
    assert ir.get_attr(n, "perm") == [3, 2, 1, 0]


@pytest.mark.parametrize("op,shape", [("Transpose", [2, 3, 4, 5, 6]), ("Transpose", [1, 2, 3, 4]),
                                      ("Relu", [2, 1, 3, 4, 5])])
def test_unit_axes_refusals(op, shape):
    attrs = {"perm": list(range(len(shape)))[::-1]} if op == "Transpose" else {}
    assert apply(dims._p_squeeze_1_in_nd, [node(op, ["x"], ["y"], **attrs)], {"x": shape})[3] == []


# ------------------------------------------------------------ elementwise, channelwise, MatMul, Expand

@pytest.mark.parametrize("op", ["Add", "Mul", "Sub", "Div"])
@pytest.mark.parametrize("a,b,new_a", [
    ([2, 3, 4, 5, 6, 7], [2, 3, 4, 5, 6, 7], [2, 3, 4, 210]),
    ([2, 3, 4, 5, 6, 7], [7], [2, 3, 120, 7]),
    ([2, 3, 4, 5, 6, 7], [1, 3, 4, 5, 1, 1], [2, 3, 20, 42]),
    ([2, 3, 1, 1, 6, 7], [2, 3, 4, 5, 6, 7], [2, 3, 1, 42]),
    ([2, 3, 4, 5, 6, 7, 3], [1, 1, 1, 5, 6, 7, 3], [2, 3, 4, 630]),
    ([2, 1, 4, 5, 6, 7, 3], [2, 3, 4, 5, 6, 1, 1], [2, 1, 120, 21]),
])
def test_elementwise_broadcasts_fold_to_4d(op, a, b, new_a):
    out = list(np.broadcast_shapes(tuple(a), tuple(b)))
    consts = {"b": (RNG.random(b) + 0.5).astype(np.float32)} if op == "Div" else None
    inputs = {"a": a} if consts else {"a": a, "b": b}
    ir, n, remove, add = apply(dims._p_squeeze_nd_elementwise_op, [node(op, ["a", "b"], ["y"])], inputs,
                               {"y": out}, consts)
    assert remove == [] and add and ir.get_shape(n.input[0]) == new_a
    assert rank_of(ir, n.input[1]) == 4 and rank_of(ir, n.output[0]) == 4


def test_elementwise_constant_and_shared_operands():
    ir, n, _, add = apply(dims._p_squeeze_nd_elementwise_op, [node("Mul", ["x", "c"], ["y"])], {"x": [2, 3, 4, 5, 6, 7]},
                          consts={"c": RNG.standard_normal(7).astype(np.float32)})
    assert len(add) == 2 and n.input[1] == "c" and ir.get_const("c").shape == (1, 1, 1, 7)
    ir, n, _, add = apply(dims._p_squeeze_nd_elementwise_op, [node("Add", ["x", "x"], ["y"])], {"x": [2, 3, 4, 5, 6, 7]})
    assert len(add) == 3 and n.input[0] != n.input[1]
    _, n, _, add = apply(dims._p_squeeze_nd_elementwise_op, [node("Mul", ["x", "s"], ["y"])], {"x": [2, 3, 4, 5, 6, 7]},
                         consts={"s": np.float32(0.5)})
    assert len(add) == 2


@pytest.mark.parametrize("a,b", [([2, 3, 4, 5, 6], [2, 3, 4, 5, 6]),              # rank 5 is left to others
                                 ([2, 1, 4, 1, 6, 1], [1, 3, 1, 5, 1, 7])])      # no split into four axes
def test_elementwise_refusals(a, b):
    out = list(np.broadcast_shapes(tuple(a), tuple(b)))
    assert apply(dims._p_squeeze_nd_elementwise_op, [node("Sub", ["a", "b"], ["y"])], {"a": a, "b": b}, {"y": out})[3] == []


def test_channelwise_batchnorm():
    params = {k: (RNG.random(8) + 0.5).astype(np.float32) for k in ("s", "b", "m", "v")}
    bn = [node("BatchNormalization", ["x", "s", "b", "m", "v"], ["y"])]
    ir, n, _, add = apply(dims._p_squeeze_nd_channelwise_op, bn, {"x": [2, 8, 3, 4, 5, 6]}, consts=params)
    assert ir.get_shape(n.input[0]) == [2, 8, 1, 360] and len(add) == 2
    assert apply(dims._p_squeeze_nd_channelwise_op, bn, {"x": [2, 8, 3, 4, 5]}, consts=params)[3] == []


@pytest.mark.parametrize("a,b,new_a,new_b", [
    ([2, 3, 4, 5, 6], [2, 3, 4, 6, 7], [6, 4, 5, 6], [6, 4, 6, 7]),
    ([2, 3, 1, 5, 6], [2, 3, 4, 6, 7], [6, 1, 5, 6], [6, 4, 6, 7]),
    ([2, 3, 4, 5, 6, 7], [1, 1, 1, 5, 7, 8], [24, 5, 6, 7], [1, 5, 7, 8]),
    ([2, 1, 4, 5, 6, 7], [1, 3, 4, 5, 7, 2], None, None),                    # batch types alternate
])
def test_matmul_batch_axes_merge(a, b, new_a, new_b):
    out = list(np.broadcast_shapes(tuple(a[:-2]), tuple(b[:-2]))) + [a[-2], b[-1]]
    ir, n, _, add = apply(dims._p_squeeze_nd_matmul, [node("MatMul", ["a", "b"], ["y"])], {"a": a, "b": b}, {"y": out})
    if new_a is None:
        assert add == []
    else:
        assert [ir.get_shape(n.input[0]), ir.get_shape(n.input[1])] == [new_a, new_b]


def test_matmul_constant_operand_and_low_rank():
    w = RNG.standard_normal((6, 7)).astype(np.float32)
    ir, n, _, add = apply(dims._p_squeeze_nd_matmul, [node("MatMul", ["x", "w"], ["y"])], {"x": [2, 3, 4, 5, 6]},
                          consts={"w": w})
    assert len(add) == 2 and ir.get_const("w").shape == (1, 1, 6, 7)
    assert apply(dims._p_squeeze_nd_matmul, [node("MatMul", ["x", "w"], ["y"])], {"x": [3, 4, 5, 6]},
                 consts={"w": w})[3] == []


@pytest.mark.parametrize("src,dst,new_in,new_target", [
    ([1, 1, 3, 4, 5], [2, 6, 3, 4, 5], [1, 3, 4, 5], [12, 3, 4, 5]),
    ([1, 3, 4, 1, 1, 5], [2, 3, 4, 6, 7, 5], [1, 12, 1, 5], [2, 12, 42, 5]),
    ([1, 3, 1, 4, 1], [2, 3, 2, 4, 2], None, None),
])
def test_expand_merges_leading_axes(src, dst, new_in, new_target):
    exp = [node("Expand", ["x", "shape"], ["y"])]
    ir, n, _, add = apply(dims._p_squeeze_nd_expand, exp, {"x": src}, {"y": dst}, {"shape": np.array(dst, np.int64)})
    if new_in is None:
        assert add == []
    else:
        assert ir.get_shape(n.input[0]) == new_in and ir.get_const("shape").tolist() == new_target
        assert ir.get_const("shape").dtype == np.int64


def test_expand_refusals():
    computed = [helper.make_node("Shape", ["z"], ["s"]), node("Expand", ["x", "s"], ["y"])]
    assert apply(dims._p_squeeze_nd_expand, computed, {"x": [1, 1, 3, 4, 5], "z": [2, 6, 3, 4, 5]})[3] == []
    lower_rank = [node("Expand", ["x", "shape"], ["y"])]
    assert apply(dims._p_squeeze_nd_expand, lower_rank, {"x": [3, 4, 5]}, {"y": [2, 6, 3, 4, 5]},
                 {"shape": np.array([2, 6, 3, 4, 5], np.int64)})[3] == []


# ------------------------------------------------------------ N-D Transposes

@pytest.mark.parametrize("shape,perm,new_in,new_perm", [
    ([2, 3, 4, 5, 6], [0, 1, 3, 2, 4], [6, 4, 5, 6], [0, 2, 1, 3]),
    ([2, 3, 4, 5, 6, 7], [0, 1, 2, 3, 5, 4], [24, 5, 6, 7], [0, 1, 3, 2]),
    ([2, 3, 4, 5, 6], [0, 1, 2, 3, 4], [6, 4, 5, 6], [0, 1, 2, 3]),
    ([2, 3, 4, 3, 4, 8], [0, 1, 3, 2, 4, 5], [6, 4, 3, 32], [0, 2, 1, 3]),       # window partition
    ([2, 3, 4, 5, 6, 7, 2], [3, 4, 5, 6, 0, 1, 2], [24, 30, 7, 2], [1, 2, 3, 0]),
    ([2, 3, 4, 5, 6], [4, 3, 2, 1, 0], None, None),
    ([2, 3, 4, 5, 6, 7], [0, 2, 1, 4, 3, 5], None, None),
    ([2, 3, 4, 5, 6, 7], [0, 2, 3, 1, 5, 4], None, None),
    ([2, 3, 4, 5], [0, 1, 3, 2], None, None),
])
def test_transpose_merge(shape, perm, new_in, new_perm):
    ir, n, _, add = apply(dims._p_squeeze_nd_transpose, [node("Transpose", ["x"], ["y"], perm=perm)], {"x": shape})
    if new_in is None:
        assert add == []
    else:
        assert ir.get_shape(n.input[0]) == new_in and ir.get_attr(n, "perm") == new_perm


# ------------------------------------------------------------ operators along one axis

@pytest.mark.parametrize("shape,axis,new_in,new_axis", [
    ([2, 1, 3, 1, 4, 5], 4, [2, 3, 4, 5], 2),
    ([2, 3, 4, 5, 6, 7], 2, [2, 3, 4, 210], 2),
    ([2, 3, 4, 5, 6, 7], 4, [2, 60, 6, 7], 2),
    ([2, 3, 4, 5, 6, 7], 0, [2, 3, 4, 210], 0),
    ([2, 3, 4, 5, 6, 7], -1, [2, 3, 120, 7], 3),
    ([2, 3, 1, 4, 1], 2, [2, 3, 1, 4], 2),              # the operator's own unit axis stays
])
def test_softmax_axis_follows_the_merge(shape, axis, new_in, new_axis):
    ir, n, _, add = apply(dims._p_squeeze_nd_axis_op, [node("exSoftmax13", ["x"], ["y"], axis=axis)], {"x": shape})
    assert ir.get_shape(n.input[0]) == new_in and ir.get_attr(n, "axis") == new_axis and len(add) == 2


@pytest.mark.parametrize("axis", [0, 2, 4, 5])
@pytest.mark.parametrize("keepdims", [0, 1])
def test_reducesum_over_one_axis(axis, keepdims):
    rs = [node("ReduceSum", ["x", "axes"], ["y"], keepdims=keepdims)]
    ir, n, _, add = apply(dims._p_squeeze_nd_axis_op, rs, {"x": [2, 3, 4, 5, 6, 7]},
                          consts={"axes": np.array([axis], np.int64)})
    assert rank_of(ir, n.input[0]) == 4 and len(add) == 2


@pytest.mark.parametrize("shape,axis", [([2, 3, 4, 5, 6], 1), ([2, 3, 4, 5, 6, 7], 5), ([2, 3, 1, 5, 6], 2)])
def test_topk_restores_both_outputs(shape, axis):
    topk = [node("TopK", ["x", "k"], ["y", "i"], axis=axis)]
    out = shape[:axis] + [1] + shape[axis + 1:]
    ir, n, _, add = apply(dims._p_squeeze_nd_axis_op, topk, {"x": shape}, {"y": out, "i": (out, np.int64)},
                          {"k": np.array([1], np.int64)})
    assert len(add) == 3 and n.output[1] != "i" and rank_of(ir, n.output[1]) == 4


def test_axis_op_refusals():
    rs = [node("ReduceSum", ["x", "axes"], ["y"])]
    assert apply(dims._p_squeeze_nd_axis_op, rs, {"x": [2, 3, 4, 5, 6]},
                 consts={"axes": np.array([1, 3], np.int64)})[3] == []
    sm = [node("exSoftmax13", ["x"], ["y"], axis=1)]
    assert apply(dims._p_squeeze_nd_axis_op, sm, {"x": [2, 3, 4, 5]})[3] == []


# ------------------------------------------------------------ Split / Concat

def split_model(shape, axis, sizes):
    outs = {"o%d" % k: shape[:axis] + [s] + shape[axis + 1:] for k, s in enumerate(sizes)}
    return [node("Split", ["x", "sizes"], list(outs), axis=axis)], {"x": shape}, outs


@pytest.mark.parametrize("shape", [[2, 6, 4, 5, 3], [2, 3, 4, 4, 6, 3], [2, 2, 3, 2, 4, 2, 3]])
def test_split_along_every_axis(shape):
    for axis in range(len(shape)):
        sizes = [1, shape[axis] - 1]
        nodes, ins, outs = split_model(shape, axis, sizes)
        ir, n, remove, add = apply(dims._p_merge_dims_and_convert_ND_to_4D, nodes, ins, outs,
                                   {"sizes": np.array(sizes, np.int64)})
        split = [a for a in add if a.op_type == "Split"]
        assert remove == [n] and len(split) == 1 and rank_of(ir, split[0].input[0]) == 4
        gathers = [a.op_type for a in add if a.op_type == "Gather"]
        assert len(gathers) == (axis > 3)  # no window starts at the axis
        assert [ir.producer(o).op_type for o in outs] == ["Reshape"] * 2


def test_split_worked_example():
    nodes, ins, outs = split_model([2, 6, 4, 5, 3], 1, [2, 4])
    ir, n, _, add = apply(dims._p_merge_dims_and_convert_ND_to_4D, nodes, ins, outs, {"sizes": np.array([2, 4])})
    split = add[1]
    assert [a.op_type for a in add] == ["Reshape", "Split", "Reshape", "Reshape"]
    assert ir.get_const(split.input[1]).tolist() == [8, 16] and split.attrs["axis"] == 1
    assert split.name == "n_to4D" and ir.get_shape(split.input[0]) == [2, 24, 5, 3]


@pytest.mark.parametrize("shape", [[2, 6, 4, 5, 3], [2, 3, 4, 4, 6, 3]])
def test_concat_along_every_axis(shape):
    for axis in range(len(shape)):
        parts = {"x%d" % k: shape[:axis] + [e] + shape[axis + 1:] for k, e in enumerate([1, 2, 3])}
        out = shape[:axis] + [6] + shape[axis + 1:]
        ir, n, remove, add = apply(dims._p_merge_dims_and_convert_ND_to_4D,
                                   [node("Concat", list(parts), ["y"], axis=axis)], parts, {"y": out})
        concat = [a for a in add if a.op_type == "Concat"]
        assert remove == [n] and rank_of(ir, concat[0].output[0]) == 4 and ir.producer("y") is add[-1]


def test_split_concat_refusals():
    nodes, ins, outs = split_model([2, 6, 4, 5], 1, [2, 4])
    assert apply(dims._p_merge_dims_and_convert_ND_to_4D, nodes, ins, outs, {"sizes": np.array([2, 4])})[3] == []
    parts = {"a": [2, 3, 4, 5, 6], "b": [2, 3, 4, 5, 6]}
    neg = [node("Concat", ["a", "b"], ["y"], axis=-1)]
    assert apply(dims._p_merge_dims_and_convert_ND_to_4D, neg, parts, {"y": [2, 3, 4, 5, 12]})[3] == []
    computed = [helper.make_node("Shape", ["z"], ["s"]), node("Split", ["x", "s"], ["o0"], axis=0)]
    assert apply(dims._p_merge_dims_and_convert_ND_to_4D, computed, {"x": [2, 3, 4, 5, 6], "z": [2]},
                 {"o0": None})[3] == []


@pytest.mark.parametrize("rule,n,inputs,consts,unknown", [
    (dims._p_squeeze_nd_elementwise_op, node("Mul", ["x", "c"], ["y"]), {"x": [2, 3, 4, 5, 6, 7]}, {"c": f32(7)}, "c"),
    (dims._p_merge_dims_and_convert_ND_to_4D, node("Concat", ["a", "b"], ["y"], axis=1),
     {"a": [2, 3, 4, 5, 6], "b": [2, 3, 4, 5, 6]}, None, "y"),
    (dims._p_merge_dims_and_convert_ND_to_4D, node("Split", ["x", "s"], ["p", "q"], axis=1), {"x": [2, 6, 4, 5, 3]},
     {"s": i64(2, 4)}, "q"),
    (dims._p_squeeze_nd_expand, node("Expand", ["x", "s"], ["y"]), {"x": [1, 1, 3, 4, 5]}, {"s": i64(2, 6, 3, 4, 5)},
     "y"),
])
def test_unknown_shapes_and_other_ranks_are_refused(rule, n, inputs, consts, unknown):
    ir = graph(n, inputs, None, consts)
    if unknown:
        ir.set_shape(unknown, None)
    refused(rule, ir, "n")


def test_bad_calls_and_host_answers_raise_before_any_write(monkeypatch):
    ir = graph([node("Add", ["x", "x"], ["y"])], {"x": [2, 3, 4, 5, 6, 7]})
    changes = ir.changes
    with pytest.raises(IndexError):
        dims._p_squeeze_nd_elementwise_op(ir, [])
    monkeypatch.setattr(dims, "squeeze_broadcast_dims", lambda a, b: ([7], [1, 2]))
    with pytest.raises(TypeError, match="squeeze_broadcast_dims"):
        dims._p_squeeze_nd_elementwise_op(ir, [ir.node("n")])
    assert ir.changes == changes
    ir.set_shape("x", [2 ** 40, 8, 2 ** 40, 2 ** 40, 1, 1])
    changes = ir.changes
    with pytest.raises(ValueError):
        dims._p_squeeze_nd_channelwise_op(ir, [ir.node("n")])
    assert ir.changes == changes
    ir.set_shape("y", None)
    changes = ir.changes
    assert dims._p_squeeze_nd_elementwise_op(ir, [ir.node("n")]) == ([], []) and ir.changes == changes
