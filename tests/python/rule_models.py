"""Small models on which rules of the untabled and N-D kinds fire, shared by the fault and fuzz tests."""
import numpy as np
from onnx import helper

from vexo.testing import make_model

node = helper.make_node


def nd_model():
    """Six-dimensional operators of every kind the N-D merges handle."""
    rng = np.random.default_rng(0)

    def f(*s):
        return rng.standard_normal(s).astype(np.float32)
    nodes = [node("Add", ["x", "b6"], ["a"], name="add6"),
             node("Transpose", ["a"], ["t"], name="tp6", perm=[0, 1, 4, 5, 2, 3]),
             node("exSoftmax13", ["t"], ["s"], name="sm6", axis=5),
             node("MatMul", ["s", "w6"], ["m"], name="mm6"),
             node("Split", ["m", "sz"], ["p", "q"], name="split6", axis=1),
             node("Concat", ["q", "p"], ["c"], name="cat6", axis=1),
             node("BatchNormalization", ["c", "sc", "bi", "me", "va"], ["bn"], name="bn6"),
             node("Expand", ["u", "es"], ["e"], name="exp6"),
             node("Mul", ["bn", "e"], ["y"], name="mul6")]
    consts = {"b6": f(1, 1, 4, 5, 1, 1), "w6": f(1, 1, 1, 5, 5), "sz": np.array([1, 2], np.int64),
              "sc": f(3), "bi": f(3), "me": f(3), "va": np.abs(f(3)) + 1,
              "es": np.array([2, 3, 6, 7, 4, 5], np.int64)}
    return make_model(nodes, {"x": [2, 3, 4, 5, 6, 7], "u": [2, 3, 1, 1, 4, 5]}, {"y": None}, consts=consts)


def aligned_concat_split_model():
    """A channel Concat of 3, 5 and 7 channels and a channel Split into 3, 5 and 7."""
    nodes = [node("Relu", ["x%d" % i], ["r%d" % i], name="relu%d" % i) for i in range(3)]
    nodes += [node("Concat", ["r0", "r1", "r2"], ["cat"], name="cat", axis=1),
              node("Sigmoid", ["cat"], ["s"], name="sig"),
              node("Split", ["s", "sizes"], ["o0", "o1", "o2"], name="split", axis=1)]
    nodes += [node("Neg", ["o%d" % i], ["y%d" % i], name="neg%d" % i) for i in range(3)]
    return make_model(nodes, {"x%d" % i: [1, c, 3, 2] for i, c in enumerate([3, 5, 7])},
                      {"y%d" % i: None for i in range(3)}, consts={"sizes": np.array([3, 5, 7], np.int64)})


def four_d_fixups_model():
    """Softmax on axes 2 and 0, a rank-raising Expand, a broadcasting Mul, a Resize of a 1x1 map, a
    Concat between Reshapes and a Transpose; an Expand merged by a Reshape, and a Reshape to a vector
    scaled by a 4-D tensor."""
    nodes = [node("exSoftmax13", ["x"], ["s"], name="sm2", axis=2),
             node("exSoftmax13", ["s"], ["s0"], name="sm0", axis=0),
             node("Expand", ["v", "eshape"], ["e"], name="expand_rank"),
             node("Mul", ["s0", "e"], ["m"], name="bmul"),
             node("GlobalAveragePool", ["m"], ["g"], name="gap"),
             node("Mul", ["m", "g"], ["gm"], name="bmul_pool"),
             node("Resize", ["g", "", "scales"], ["r"], name="resize1x1", mode="nearest"),
             node("Reshape", ["r", "rs1"], ["a"], name="rs_a"),
             node("Reshape", ["gm", "rs2"], ["b"], name="rs_b"),
             node("Concat", ["a", "b"], ["c"], name="cat_swap", axis=1),
             node("Transpose", ["c"], ["y"], name="tp_after", perm=[0, 2, 3, 1]),
             node("Expand", ["w", "wshape"], ["we"], name="expand_merged"),
             node("Reshape", ["we", "wmerge"], ["wr"], name="merge_expanded"),
             node("Reshape", ["wr", "wvec"], ["wv"], name="to_vector"),
             node("Mul", ["o", "wv"], ["z"], name="scale")]
    consts = {"eshape": np.array([2, 8, 4, 6], np.int64), "scales": np.array([1, 1, 4, 6], np.float32),
              "rs1": np.array([2, 8, 1, 24], np.int64), "rs2": np.array([2, 8, 1, 24], np.int64),
              "wshape": np.array([1, 3, 5, 4], np.int64), "wmerge": np.array([1, 15, 4], np.int64),
              "wvec": np.array([60, 1, 1], np.int64)}
    return make_model(nodes, {"x": [2, 8, 4, 6], "v": [8, 1, 6], "w": [1, 3, 1, 4], "o": [1, 60, 2, 3]},
                      {"y": None, "z": None}, consts=consts)


def rank4_model():
    """What only the converter's rank-4 rules make four-dimensional: two Gemms (constant and computed B), a
    LayerNormalization, a two-dimensional HardSwish, a q/k/v split and a five-axis Transpose read by a Relu."""
    rng = np.random.default_rng(1)

    def f(*s):
        return rng.standard_normal(s).astype(np.float32)
    nodes = [node("Gemm", ["x", "w", "c"], ["g"], name="fc", transB=1, alpha=0.5),
             node("HardSwish", ["g"], ["h"], name="hswish"),
             node("Gemm", ["h", "u"], ["y"], name="fc_computed", transA=1),
             node("LayerNormalization", ["t", "s", "b"], ["n"], name="ln", axis=-1),
             node("Reshape", ["n", "qkv"], ["v"], name="view"),
             node("Transpose", ["v"], ["p"], name="tp_qkv", perm=[2, 0, 3, 1, 4]),
             node("Gather", ["p", "i0"], ["q"], name="gather_q", axis=0),
             node("Gather", ["p", "i1"], ["k"], name="gather_k", axis=0),
             node("Transpose", ["v"], ["o"], name="tp_other", perm=[3, 1, 4, 0, 2]),
             node("Relu", ["o"], ["r"], name="relu5")]
    consts = {"w": f(6, 8), "c": f(6), "s": f(12), "b": f(12), "qkv": np.array([2, 5, 3, 2, 2], np.int64),
              "i0": np.array(0, np.int64), "i1": np.array([1], np.int64)}
    return make_model(nodes, {"x": [1, 8], "u": [1, 4], "t": [2, 5, 12]}, {"y": None, "q": None, "k": None, "r": None},
                      consts=consts)
