"""The bundled sample model: a small audio-style network that touches most rule families.

Conv1d, BatchNormalization, Relu and MaxPool on rank-3 tensors (rank raising);
a five-dimensional Add and Sigmoid (rank lowering); a six-dimensional Transpose
(N-D merging); a window partition and its reverse (exWindow); ReduceSum, ReduceL2 and ReduceMean with keepdims 0 (lowering);
a Tile over a unit axis, a channel Gather and a Softmax.

`python3 -m vexo.sample [PATH]` writes it (default: vexo/data/sample.onnx).
"""
import sys
from pathlib import Path

import numpy as np
import onnx
from onnx import helper, numpy_helper

DEFAULT_PATH = Path(__file__).with_name("data") / "sample.onnx"


def build_sample(seed=0):
    rng = np.random.default_rng(seed)

    def w(*shape, scale=0.2):
        return (rng.standard_normal(shape) * scale).astype(np.float32)

    consts = {
        "conv_w": w(32, 16, 3), "conv_b": w(32),
        "bn_scale": 1 + w(32), "bn_bias": w(32), "bn_mean": w(32), "bn_var": 1 + np.abs(w(32)),
        "shape5": np.array([1, 2, 16, 4, 8], np.int64), "bias5": w(1, 1, 16, 1, 1),
        "shape6": np.array([1, 2, 16, 2, 2, 8], np.int64), "shape3": np.array([1, 32, 32], np.int64),
        "win_view": np.array([1, 4, 8, 4, 8, 1], np.int64), "win_out": np.array([16, 8, 8, 1], np.int64),
        "rev_view": np.array([1, 4, 4, 8, 8, 1], np.int64),
        "rs_axes": np.array([2], np.int64), "tile_reps": np.array([1, 1, 32], np.int64),
        "gather_idx": np.array([0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15], np.int64),
        "l2_axes": np.array([1], np.int64), "mean_axes": np.array([2], np.int64),
    }
    nodes = [
        helper.make_node("Conv", ["x", "conv_w", "conv_b"], ["c1"], name="conv1d", kernel_shape=[3], pads=[1, 1]),
        helper.make_node("BatchNormalization", ["c1", "bn_scale", "bn_bias", "bn_mean", "bn_var"], ["b1"], name="bn"),
        helper.make_node("Relu", ["b1"], ["r1"], name="relu"),
        helper.make_node("MaxPool", ["r1"], ["p1"], name="pool", kernel_shape=[2], strides=[2]),
        helper.make_node("Reshape", ["p1", "shape5"], ["v5"], name="view5"),
        helper.make_node("Add", ["v5", "bias5"], ["a5"], name="add5"),
        helper.make_node("Sigmoid", ["a5"], ["s5"], name="sigmoid5"),
        helper.make_node("Reshape", ["s5", "shape6"], ["v6"], name="view6"),
        helper.make_node("Transpose", ["v6"], ["t6"], name="transpose6", perm=[0, 1, 2, 4, 3, 5]),
        helper.make_node("Reshape", ["t6", "shape3"], ["v3"], name="view3"),
        helper.make_node("Reshape", ["v3", "win_view"], ["wv"], name="window_view"),
        helper.make_node("Transpose", ["wv"], ["wt"], name="window_partition", perm=[0, 1, 3, 2, 4, 5]),
        helper.make_node("Reshape", ["wt", "win_out"], ["windows"], name="windows"),
        helper.make_node("Reshape", ["windows", "rev_view"], ["rv"], name="reverse_view"),
        helper.make_node("Transpose", ["rv"], ["rt"], name="window_reverse", perm=[0, 1, 3, 2, 4, 5]),
        helper.make_node("Reshape", ["rt", "shape3"], ["v3w"], name="merged"),
        helper.make_node("ReduceSum", ["v3w", "rs_axes"], ["rs"], name="reducesum", keepdims=1),
        helper.make_node("Tile", ["rs", "tile_reps"], ["tiled"], name="tile"),
        helper.make_node("Mul", ["v3w", "tiled"], ["m"], name="mul"),
        helper.make_node("Gather", ["m", "gather_idx"], ["g"], name="gather", axis=1),
        helper.make_node("ReduceL2", ["g", "l2_axes"], ["l2"], name="reducel2", keepdims=1),
        helper.make_node("Div", ["g", "l2"], ["n"], name="normalize"),
        helper.make_node("Softmax", ["n"], ["sm"], name="softmax", axis=-1),
        helper.make_node("ReduceMean", ["sm", "mean_axes"], ["y"], name="reducemean", keepdims=0),
    ]
    graph = helper.make_graph(
        nodes, "vexo_sample",
        [helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, 16, 64])],
        [helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [1, 16])],
        [numpy_helper.from_array(v, k) for k, v in consts.items()])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)], producer_name="vexo.sample")
    model.ir_version = 8
    onnx.checker.check_model(model, full_check=True)
    return model


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    path = Path(argv[0]) if argv else DEFAULT_PATH
    path.parent.mkdir(parents=True, exist_ok=True)
    onnx.save(build_sample(), str(path))
    print(path)


if __name__ == "__main__":
    main()
