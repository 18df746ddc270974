"""Reductions lowered to Pow/Conv/pooling, keepdims kept at 1, Gather indices flattened, softmax axis moved."""
import numpy as np
import pytest
from onnx import helper

import vexo.api.rules.dims as dims
from rule_kit import refused
from vexo.api.ir_graph import IrGraph
from vexo.testing import assert_equivalent, make_model, run_rule


def rewrite(model, rule, name="r", check=True):
    """Runs `rule` on node `name`, checks equivalence in ONNX Runtime, returns the graph and the result."""
    ir = IrGraph(model)
    result = run_rule(rule, ir, [ir.node(name)])
    if check:
        assert_equivalent(model, ir.to_model())
    return ir, result


def ops(ir):
    return [n.op_type for n in ir.nodes]


def const(ir, node, k=1):
    return ir.get_const(node.input[k])


def writer(ir, tensor):
    return next(n for n in ir.nodes if tensor in n.output)


def reduce_model(op_type, shape, axes, keepdims=None, dtype=np.float32):
    """Reduce node 'r' from x to y; ReduceSum reads its axes from an input, the others from an attribute."""
    attrs = {} if keepdims is None else {"keepdims": keepdims}
    if op_type == "ReduceSum":
        node = helper.make_node(op_type, ["x", "axes"], ["y"], name="r", **attrs)
    else:
        node = helper.make_node(op_type, ["x"], ["y"], name="r", axes=axes, **attrs)
    return make_model([node], {"x": (shape, dtype)}, {"y": None}, consts={"axes": np.array(axes, np.int64)})


def arg_model(op_type, casts, axis=1, shape=(2, 8, 4, 4), extra_consumer=False):
    """ArgMax/ArgMin 'a' with keepdims 0 writing t0, then Casts writing t1, t2, ..."""
    nodes = [helper.make_node(op_type, ["x"], ["t0"], name="a", keepdims=0,
                              **({} if axis is None else {"axis": axis}))]
    nodes += [helper.make_node("Cast", ["t%d" % k], ["t%d" % (k + 1)], to=to) for k, to in enumerate(casts)]
    outputs = {"t%d" % len(casts): None}
    if extra_consumer:
        nodes.append(helper.make_node("Neg", ["t0"], ["n"]))
        outputs["n"] = None
    return make_model(nodes, {"x": list(shape)}, outputs)


def gather_model(indices, out_shape):
    node = helper.make_node("Gather", ["x", "i"], ["y"], name="g", axis=1)
    return make_model([node], {"x": [1, 10, 8]}, {"y": out_shape}, consts={"i": np.asarray(indices, np.int64)})


def softmax_model(shape, axis):
    return make_model([helper.make_node("exSoftmax13", ["x"], ["y"], name="sm", axis=axis)], {"x": shape}, {"y": shape})


@pytest.mark.parametrize("keepdims,out_shape", [(1, [1, 16, 1, 1]), (0, [1, 16])])
def test_reduce_l2_is_square_sum_root(keepdims, out_shape):
    ir, result = rewrite(reduce_model("ReduceL2", [1, 16, 8, 8], [2, 3], keepdims),
                         dims._p_convert_reduce_L2_to_pow_sum_pow)
    assert [n.name for n in result[0]] == ["r"] and ops(ir) == ["Pow", "ReduceSum", "Pow"]
    sq, rsum, root = ir.nodes
    assert rsum.name == "r_2rsum" and ir.get_attr(rsum, "keepdims") == keepdims and const(ir, rsum).tolist() == [2, 3]
    exponents = [(const(ir, p).dtype, const(ir, p).tolist()) for p in (sq, root)]
    assert exponents == [(np.float32, [2.0]), (np.float32, [0.5])]
    assert root.output == ["y"] and ir.get_shape("y") == out_shape


@pytest.mark.parametrize("shape,axis,path", [([1, 16, 7, 9], 1, ["Conv"]), ([1, 16, 7, 9], 2, ["Conv"]),
                                             ([2, 3, 8, 5], 2, ["Transpose", "Conv", "Transpose"]),
                                             ([1, 4, 5, 7], 3, ["Conv"]),
                                             ([1, 4, 5, 40], -1, ["Transpose", "Conv", "Transpose"])])
@pytest.mark.parametrize("keepdims", [None, 1, 0])
def test_reduce_sum_runs_as_conv(shape, axis, path, keepdims):
    ir, result = rewrite(reduce_model("ReduceSum", shape, [axis], keepdims), dims._p_convert_reduce_sum_to_conv)
    assert [n.name for n in result[0]] == ["r"] and ops(ir) == path + ["Reshape"] * (keepdims == 0)
    assert ir.node("r_2conv").op_type == "Conv" and writer(ir, "y") is ir.nodes[-1]


def test_reduce_sum_kernel_limit_is_seven():
    ir, _ = rewrite(reduce_model("ReduceSum", [1, 16, 7, 9], [2], 1), dims._p_convert_reduce_sum_to_conv, check=False)
    (conv,) = ir.nodes
    assert const(ir, conv).shape == (16, 1, 7, 1) and const(ir, conv).dtype == np.float32
    assert [ir.get_attr(conv, a) for a in ("group", "kernel_shape", "strides", "pads", "auto_pad")] == [
        16, [7, 1], [1, 1], [0, 0, 0, 0], "NOTSET"]
    ir, _ = rewrite(reduce_model("ReduceSum", [1, 16, 8, 9], [2], 1), dims._p_convert_reduce_sum_to_conv, check=False)
    tp0, conv, tp1 = ir.nodes
    assert ir.get_attr(tp0, "perm") == ir.get_attr(tp1, "perm") == [0, 2, 1, 3] and tp1.output == ["y"]
    assert const(ir, conv).shape == (1, 8, 1, 1) and ir.get_attr(conv, "group") == 1


@pytest.mark.parametrize("shape,axes,op", [([1, 8, 2, 2], [1], "Conv"), ([2, 4, 9, 5], [2], "AveragePool"),
                                           ([1, 4, 5, 40], [3], "AveragePool"), ([2, 3, 5, 6], [-1], "AveragePool"),
                                           ([2, 3, 5, 6], [2, 3], "GlobalAveragePool")])
@pytest.mark.parametrize("keepdims", [None, 1, 0])
def test_reduce_mean_runs_as_pooling(shape, axes, op, keepdims):
    ir, result = rewrite(reduce_model("ReduceMean", shape, axes, keepdims), dims._p_convert_reduce_mean_to_avgpool)
    # only a true keepdims lets the new node write the output; an absent one goes through a Reshape
    assert [n.name for n in result[0]] == ["r"] and ops(ir) == [op] + ["Reshape"] * (keepdims != 1)
    assert ir.node("r_2avg").op_type == op and writer(ir, "y") is ir.nodes[-1]
    if op == "Conv":
        w = const(ir, ir.nodes[0])
        assert w.dtype == np.float32 and w.shape == (1, 8, 1, 1) and (w == np.float32(0.125)).all()
    elif op == "AveragePool":
        assert ir.get_attr(ir.nodes[0], "kernel_shape") == ([shape[2], 1] if axes == [2] else [1, shape[3]])


@pytest.mark.parametrize("op_type", ["ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum"])
def test_reductions_keep_their_axes(op_type):
    ir, result = rewrite(reduce_model(op_type, [1, 8, 4, 4], [1], 0), dims._p_convert_keepdims_to_1)
    assert result[0] == [] and ir.get_attr(ir.node("r"), "keepdims") == 1 and ops(ir) == [op_type, "Reshape"]
    assert const(ir, writer(ir, "y")).tolist() == ir.get_shape("y") == [1, 4, 4]


@pytest.mark.parametrize("op_type,casts,axis,kept_shape", [
    ("ArgMax", [], 1, None), ("ArgMin", [], 1, None), ("ArgMax", [1], 1, [2, 1, 4, 4]),
    ("ArgMax", [1], -1, [2, 8, 4, 1]),   # counted from the end
    ("ArgMax", [1], None, [1, 8, 4, 4]),  # ONNX default: axis 0
    ("ArgMin", [6, 1], 1, [2, 1, 4, 4])])
def test_arg_reduce_reshape_goes_behind_the_casts(op_type, casts, axis, kept_shape):
    ir, _ = rewrite(arg_model(op_type, casts, axis), dims._p_convert_keepdims_to_1, "a")
    assert ops(ir) == [op_type] + ["Cast"] * len(casts) + ["Reshape"] and ir.get_attr(ir.node("a"), "keepdims") == 1
    assert writer(ir, "t%d" % len(casts)).op_type == "Reshape"
    assert all(ir.get_shape("t%d" % k) == kept_shape for k in range(len(casts)))


def test_arg_reduce_with_two_consumers_reshapes_itself():
    ir, _ = rewrite(arg_model("ArgMax", [1], extra_consumer=True), dims._p_convert_keepdims_to_1, "a")
    assert writer(ir, "t0").op_type == "Reshape" and ir.get_shape("t1") == [2, 4, 4]


@pytest.mark.parametrize("indices,out_shape", [([[0, 2, 4], [9, 1, 1]], [1, 2, 3, 8]), (np.int64(7), [1, 8])])
def test_gather_indices_are_flattened(indices, out_shape):
    ir, result = rewrite(gather_model(indices, out_shape), dims._p_keepdims, "g")
    assert result[0] == [] and ir.get_const("i").tolist() == np.ravel(indices).tolist()
    assert ops(ir) == ["Gather", "Reshape"] and const(ir, writer(ir, "y")).tolist() == out_shape


@pytest.mark.parametrize("shape,axis,op,arg", [([1, 8, 16, 16], 2, "Reshape", [8, 16, 1, 16]),
                                               ([4, 1, 16, 16], 0, "Reshape", [1, 4, 16, 16]),
                                               ([2, 8, 16, 16], 2, "Transpose", [0, 2, 1, 3]),
                                               ([4, 8, 16, 16], 0, "Transpose", [1, 0, 2, 3])])
def test_softmax_moves_to_the_channel_axis(shape, axis, op, arg):
    ir, result = rewrite(softmax_model(shape, axis), dims._p_fix_softmax_axis, "sm")
    first, sm, last = ir.nodes
    assert [n.name for n in result[0]] == ["sm"] and ops(ir) == [op, "exSoftmax13", op]
    assert sm.name == "sm" and sm.attrs == {"axis": 1} and last.output == ["y"]
    if op == "Reshape":
        assert const(ir, first).tolist() == arg and const(ir, last).tolist() == shape
    else:
        assert ir.get_attr(first, "perm") == ir.get_attr(last, "perm") == arg


@pytest.mark.parametrize("rule,model,name", [
    (dims._p_convert_reduce_L2_to_pow_sum_pow, reduce_model("ReduceL2", [16, 8, 8], [2], 1), "r"),
    (dims._p_convert_reduce_L2_to_pow_sum_pow, reduce_model("ReduceL2", [1, 2, 16, 8, 8], [2], 1), "r"),
    (dims._p_convert_reduce_sum_to_conv, reduce_model("ReduceSum", [1, 4, 5, 6], [2, 3], 1), "r"),
    (dims._p_convert_reduce_sum_to_conv, reduce_model("ReduceSum", [1, 4, 5, 6], [0], 1), "r"),
    (dims._p_convert_reduce_sum_to_conv, reduce_model("ReduceSum", [1, 4, 5, 6], [1], 1, np.int32), "r"),
    (dims._p_convert_reduce_mean_to_avgpool, reduce_model("ReduceMean", [1, 4, 5, 6], [1, 2], 1), "r"),
    (dims._p_convert_reduce_mean_to_avgpool, reduce_model("ReduceMean", [1, 4, 5, 6], [3, 2], 1), "r"),
    (dims._p_convert_reduce_mean_to_avgpool, reduce_model("ReduceMean", [4, 5, 6], [2], 1), "r"),
    (dims._p_convert_keepdims_to_1, reduce_model("ReduceMax", [1, 8, 4, 4], [1], 1), "r"),
    (dims._p_keepdims, gather_model([1, 2, 3, 4, 5], [1, 5, 8]), "g"),
    (dims._p_keepdims, make_model([helper.make_node("Gather", ["x", "i"], ["y"], name="g", axis=1)],
                                  {"x": [1, 10, 8], "i": ([2, 3], np.int64)}, {"y": None}), "g"),
    (dims._p_fix_softmax_axis, softmax_model([4, 8, 16, 16], 1), "sm"),
    (dims._p_fix_softmax_axis, softmax_model([4, 8, 16, 16], 3), "sm"),
    (dims._p_fix_softmax_axis, softmax_model([4, 8, 1, 16], 2), "sm"),
    (dims._p_fix_softmax_axis, softmax_model([8, 16, 16], 0), "sm"),
])
def test_refused_node_is_left_untouched(rule, model, name):
    ir = IrGraph(model)
    refused(rule, ir, name)
    with pytest.raises(IndexError, match=rule.__name__):
        rule(ir, [])
