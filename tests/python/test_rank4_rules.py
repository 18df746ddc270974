"""The converter's rank-4 rules: every rewrite computes what it replaced and leaves nothing off rank 4."""
import itertools

import numpy as np
import onnx
import pytest
from onnx import helper

import vexo.api.rules.rank4 as rank4
from rule_kit import graph
from vexo.convert import convert
from vexo.testing import assert_equivalent, make_model, run_rule

rng = np.random.default_rng(4)
node = helper.make_node


def f32(*shape):
    return rng.standard_normal(shape).astype(np.float32)


def rank4_only(model, feeds=None):
    """`model` through the rank4_dims table alone: equivalent in ONNX Runtime, nothing left off rank 4."""
    ir, report, _ = convert(model, tables=["rank4_dims"], prepare=False)
    assert not report.failures, [f.line() for f in report.failures]
    after = ir.to_model()
    assert_equivalent(model, after, feeds=feeds)
    assert not report.off_rank_after, report.off_rank_left
    return report


# ---------------------------------------------------------------- Gemm

M, K, N = 3, 5, 4
C_FORMS = {"none": None, "n": ([N], True), "1n": ([1, N], False), "mn": ([M, N], True), "mn_computed": ([M, N], False),
           "scalar": ([], True), "m1": ([M, 1], True)}


@pytest.mark.parametrize("b_const", [True, False], ids=["B_const", "B_computed"])
@pytest.mark.parametrize("c_form", sorted(C_FORMS))
@pytest.mark.parametrize("trans_a,trans_b,alpha,beta", [(0, 0, 1.0, 1.0), (0, 1, 1.5, -0.5), (1, 0, -2.0, 3.0),
                                                         (1, 1, 0.25, 0.0)])
def test_gemm_runs_as_conv_or_matmul(trans_a, trans_b, alpha, beta, c_form, b_const):
    inputs = {"a": [K, M] if trans_a else [M, K]}
    bshape = [N, K] if trans_b else [K, N]
    consts = {"b": f32(*bshape)} if b_const else {}
    inputs.update({} if b_const else {"b": bshape})
    ins = ["a", "b"]
    if C_FORMS[c_form]:
        cshape, c_const = C_FORMS[c_form]
        (consts if c_const else inputs)["c"] = f32(*cshape) if c_const else cshape
        ins.append("c")
    gemm = node("Gemm", ins, ["y"], name="gemm", transA=trans_a, transB=trans_b, alpha=alpha, beta=beta)
    report = rank4_only(make_model([gemm], inputs, {"y": None}, consts))
    assert report.ops_after["Conv" if b_const else "MatMul"] == 1 and not report.ops_after["Gemm"]


# ---------------------------------------------------------------- LayerNormalization

LN_CASES = [(shape, axis) for shape in ([7], [3, 5], [2, 3, 4], [2, 1, 3, 2, 4]) for axis in range(-len(shape), len(shape))]


@pytest.mark.parametrize("shape,axis", LN_CASES, ids=["%s_axis%d" % ("x".join(map(str, s)), a) for s, a in LN_CASES])
def test_layer_norm_over_every_axis(shape, axis):
    k = LN_CASES.index((shape, axis))
    norm = shape[axis % len(shape):]
    scale = f32(*norm) if k % 3 else f32(*norm[-1:])  # every third case broadcasts its scale
    ins, consts, inputs = ["x", "s"], {"s": scale}, {"x": shape}
    if k % 2:  # a bias, computed every other time
        ins.append("b")
        if k % 4 == 1:
            inputs["b"] = norm
        else:
            consts["b"] = f32(*norm)
    outs = ["y", "mean", "inv"][:1 + k % 3]
    ln = node("LayerNormalization", ins, outs, name="ln", axis=axis, epsilon=1e-5)
    report = rank4_only(make_model([ln], inputs, {o: None for o in outs}, consts))
    assert report.fired["layernorm_to_4d"] == 1


# ---------------------------------------------------------------- unary elementwise operators

FLOAT_OPS = """Abs Acos Asin Asinh Atan Atanh Ceil Celu Cos Cosh Elu Erf Exp Floor Gelu HardSigmoid HardSwish
LeakyRelu Log Mish Neg Reciprocal Relu Round Selu Shrink Sigmoid Sign Sin Sinh Softplus Softsign Sqrt Swish Tan Tanh
ThresholdedRelu""".split()
UNARY = [(op, {}) for op in FLOAT_OPS] + [
    ("Acosh", {"low": 1.1}), ("Clip", {"bounds": True}), ("Cast", {"to": onnx.TensorProto.FLOAT16}),
    ("IsNaN", {"out": np.bool_}), ("IsInf", {"out": np.bool_}), ("Not", {"dtype": np.bool_}),
    ("BitwiseNot", {"dtype": np.int32})]
RANKS = [[], [6], [3, 4], [2, 3, 5], [2, 1, 3, 1, 2], [2, 2, 1, 3, 1, 2, 2]]  # unit axes go only down to 4 axes


@pytest.mark.parametrize("op,how", UNARY, ids=[op for op, _ in UNARY])
def test_unary_operators_at_ranks_other_than_4(op, how):
    shape = RANKS[[o for o, _ in UNARY].index(op) % len(RANKS)]
    dtype = how.get("dtype", np.float32)
    ins, consts, attrs = ["x"], {}, {}
    if how.get("bounds"):
        ins += ["lo", "hi"]
        consts = {"lo": np.array(-0.3, np.float32), "hi": np.array(0.4, np.float32)}
    if "to" in how:
        attrs["to"] = how["to"]
    model = make_model([node(op, ins, ["y"], name="op", **attrs)], {"x": (shape, dtype)}, {"y": None}, consts,
                       opset=24)
    low = how.get("low", -0.9)
    x = (rng.random(shape) < 0.5 if dtype == np.bool_ else rng.integers(-5, 5, shape).astype(dtype)
         if dtype == np.int32 else rng.uniform(low, low + 1.8, shape).astype(dtype))
    report = rank4_only(model, feeds={"x": np.asarray(x, dtype)})
    assert report.fired["unary_to_4d_" + op.lower()] == 1


# ---------------------------------------------------------------- attention splits and Transposes of five axes

@pytest.mark.parametrize("perm,axis,read_by_another", [([2, 0, 3, 1, 4], 0, False), ([2, 0, 3, 1, 4], 0, True),
                                                        ([4, 2, 0, 1, 3], -3, False), ([0, 1, 2, 3, 4], 2, False)])
def test_qkv_split_slices_ahead_of_the_transpose(perm, axis, read_by_another):
    b, n, h, d = 2, 5, 2, 4
    tshape = [[b, n, 3, h, d][p] for p in perm]
    dim = tshape[axis]
    nodes = [node("Reshape", ["x", "shape"], ["v"], name="view"), node("Transpose", ["v"], ["t"], name="tp", perm=perm)]
    consts = {"shape": np.array([b, n, 3, h, d], np.int64)}
    outs = {}
    for k, index in enumerate([0, dim - 1, -1][:dim]):
        consts["i%d" % k] = np.array(index if k != 1 else [index], np.int64)
        nodes.append(node("Gather", ["t", "i%d" % k], ["g%d" % k], name="gather%d" % k, axis=axis))
        outs["g%d" % k] = None
    if read_by_another:
        nodes.append(node("Sigmoid", ["t"], ["s"], name="sig"))
        outs["s"] = None
    report = rank4_only(make_model(nodes, {"x": [b, n, 3 * h * d]}, outs, consts))
    assert report.fired["gather_to_4d_slice"] == len(outs) - read_by_another
    assert report.fired["split_5d_transpose"] == read_by_another


def test_every_five_axis_transpose_runs_on_four_axes():
    perms = [list(p) for p in itertools.permutations(range(5))]
    nodes = [node("Transpose", ["x"], ["y%d" % k], name="tp%d" % k, perm=p) for k, p in enumerate(perms)]
    rank4_only(make_model(nodes, {"x": [2, 3, 4, 5, 6]}, {"y%d" % k: None for k in range(len(perms))}))


def test_a_gather_beyond_five_axes_slices_a_view():
    gather = node("Gather", ["x", "i"], ["y"], name="gather", axis=3)
    rank4_only(make_model([gather], {"x": [2, 3, 1, 4, 2, 3]}, {"y": None}, {"i": np.array(-2, np.int64)}))


# ---------------------------------------------------------------- what the rules leave alone

DECLINED = {
    "integer_gemm": ([node("Gemm", ["a", "b"], ["y"], name="gemm")], {"a": ([2, 3], np.int32)},
                     {"b": np.ones((3, 2), np.int32)}),
    "computed_scale_that_broadcasts": ([node("LayerNormalization", ["x", "s"], ["y"], name="ln")],
                                       {"x": [2, 3, 4], "s": [1]}, {}),
    "gather_of_computed_indices": ([node("Gather", ["x", "i"], ["y"], name="gather")],
                                   {"x": [2, 3, 4, 5, 6], "i": ([], np.int64)}, {}),
    "gather_of_two_indices": ([node("Gather", ["x", "i"], ["y"], name="gather")], {"x": [2, 3, 4, 5, 6]},
                              {"i": np.array([0, 1], np.int64)}),
    "gather_beyond_its_axis": ([node("Gather", ["x", "i"], ["y"], name="gather")], {"x": [2, 3, 4, 5, 6]},
                               {"i": np.array(2, np.int64)}),
}


@pytest.mark.parametrize("case", sorted(DECLINED))
def test_what_cannot_be_rewritten_exactly_is_left_as_it_is(case):
    nodes, inputs, consts = DECLINED[case]
    ir, report, _ = convert(make_model(nodes, inputs, {"y": None}, consts), tables=["rank4_dims"], prepare=False)
    assert not report.fired and not report.failures and report.off_rank_after


@pytest.mark.parametrize("recorded", [None, [2, 5, 3, 8]], ids=["unknown", "four_axes"])
def test_a_transpose_whose_input_shape_is_not_five_axes_is_sliced_behind(recorded):
    nodes = [node("Transpose", ["x"], ["t"], name="tp", perm=[2, 0, 3, 1, 4]),
             node("Gather", ["t", "i"], ["y"], name="gather", axis=0)]
    ir = graph(nodes, {"x": [2, 5, 3, 2, 4]}, None, {"i": np.array(1, np.int64)})
    ir.set_shape("x", recorded)
    remove, add = run_rule(rank4._p_gather_to_4d_slice, ir, [ir.node("gather")])
    assert [n.op_type for n in add] == ["Reshape", "Slice", "Reshape"] and add[0].input[0] == "t"
