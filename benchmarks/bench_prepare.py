"""Time and memory of vexo.prepare.prepare on exporter-style chains of growing size, or on real models.

    python benchmarks/bench_prepare.py [NODES ...]      (default: 10000 25000 50000 100000)
    python benchmarks/bench_prepare.py --model PATH ...

With --model, each model is prepared and, in the same run, given one round of
ONNX shape inference (with data propagation), the floor a preparation is
measured against; the ratio is preparation over that round.

Each block of the chain is what an exporter writes for `x.view(x.size(0), C, -1)`
followed by an activation: Shape, Gather, Unsqueeze, Constant, Concat, Reshape,
Identity and Relu, over a symbolic batch dimension; with the batch fixed the
view keeps its input's shape, so only the Relus stay. The time per node should
stay flat as the model grows.
"""
import resource
import sys
import time

import numpy as np
from onnx import TensorProto, helper, numpy_helper

from vexo.prepare import prepare

NODES_PER_BLOCK = 8


def chain(blocks, channels=16, length=32):
    nodes = []
    x = "x"
    for b in range(blocks):
        p = "b%d_" % b
        nodes += [
            helper.make_node("Shape", [x], [p + "shape"], name=p + "shape"),
            helper.make_node("Gather", [p + "shape", "zero"], [p + "batch"], name=p + "gather", axis=0),
            helper.make_node("Unsqueeze", [p + "batch", "axes0"], [p + "batch1"], name=p + "unsqueeze"),
            helper.make_node("Constant", [], [p + "rest"], name=p + "const",
                             value=numpy_helper.from_array(np.array([channels, -1], np.int64))),
            helper.make_node("Concat", [p + "batch1", p + "rest"], [p + "target"], name=p + "concat", axis=0),
            helper.make_node("Reshape", [x, p + "target"], [p + "view"], name=p + "reshape"),
            helper.make_node("Identity", [p + "view"], [p + "id"], name=p + "identity"),
            helper.make_node("Relu", [p + "id"], [p + "out"], name=p + "relu"),
        ]
        x = p + "out"
    nodes.append(helper.make_node("Identity", [x], ["y"], name="out"))
    graph = helper.make_graph(
        nodes, "chain", [helper.make_tensor_value_info("x", TensorProto.FLOAT, ["batch", channels, length])],
        [helper.make_tensor_value_info("y", TensorProto.FLOAT, ["batch", channels, length])],
        [numpy_helper.from_array(np.array(0, np.int64), "zero"), numpy_helper.from_array(np.array([0], np.int64),
                                                                                          "axes0")])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    return model


def main(sizes):
    print("%10s %10s %10s %12s %10s" % ("nodes", "seconds", "us/node", "rounds", "max RSS MB"))
    for n in sizes:
        model = chain(max(1, n // NODES_PER_BLOCK))
        start = time.perf_counter()
        out, report = prepare(model)
        took = time.perf_counter() - start
        rss = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
        assert not report.dynamic_tensors and len(out.graph.node) == n // NODES_PER_BLOCK  # the Relus
        print("%10d %10.2f %10.1f %12d %10.0f" % (len(model.graph.node), took, 1e6 * took / len(model.graph.node),
                                                   report.rounds, rss))


def main_models(paths):
    import onnx
    print("%-24s %8s %10s %8s %8s %12s %8s" % ("model", "nodes", "prepare s", "rounds", "walks", "inference s",
                                               "ratio"))
    for path in paths:
        model = onnx.load(path)
        start = time.perf_counter()
        _, report = prepare(model)
        took = time.perf_counter() - start
        start = time.perf_counter()
        onnx.shape_inference.infer_shapes(model, data_prop=True)
        floor = time.perf_counter() - start
        print("%-24s %8d %10.2f %8d %8s %12.2f %8.1f" % (path.split("/")[-1], len(model.graph.node), took,
                                                        report.rounds, getattr(report, "walks", "-"), floor,
                                                        took / floor))


if __name__ == "__main__":
    if sys.argv[1:2] == ["--model"]:
        main_models(sys.argv[2:])
    else:
        main([int(a) for a in sys.argv[1:]] or [10000, 25000, 50000, 100000])
