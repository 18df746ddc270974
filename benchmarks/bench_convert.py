"""Conversion benchmark on generated models of about 1,000, 10,000 and 100,000 nodes.

Each model repeats blocks of the patterns the rules target: a rank-3 Conv1d
stack, five-dimensional elementwise arithmetic, a six-dimensional Transpose,
reductions, and a window partition. Per size it prints the time of each phase
(load, prepare, graph, rules, cleanup, save), time per node, the rewrites the
rules applied and their cost, peak memory against the loaded model, and the
ratio of the whole conversion to the floor: onnx.load +
onnx.shape_inference.infer_shapes + onnx.save of the same model.

The conversion runs as `python -m vexo convert` does (the file read as bytes,
converted, checked, written); it and the floor run in fresh subprocesses of
their own, so that each peak memory is its own. With --repeat N each is
measured N times, alternating, in rounds over every size (so that the sizes
share the machine's fast and slow spells), and the fastest of each is kept:
the machine's speed drifts within minutes, and the best runs are the ones
that compare. The last lines give the time per node at each size against the
first size, the conversion's and the floor's.

    python3 benchmarks/bench_convert.py [--sizes 1000,10000,100000] [--repeat N] [--profile]
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time

import numpy as np
import onnx
from onnx import helper, numpy_helper

C, L = 16, 64  # channels and length of the running [1, C, L] activation


def _block(k, x, consts):
    """About 20 nodes reading and writing [1, C, L]; returns the output tensor name."""
    p = "b%d_" % k
    rng = np.random.default_rng(k)

    def const(name, value):
        consts[p + name] = value
        return p + name
    nodes = [
        helper.make_node("Conv", [x, const("w", (rng.standard_normal((C, C, 3)) * 0.1).astype(np.float32))],
                         [p + "conv"], kernel_shape=[3], pads=[1, 1], name=p + "conv"),
        helper.make_node("Relu", [p + "conv"], [p + "relu"], name=p + "relu"),
        helper.make_node("Reshape", [p + "relu", const("s5", np.array([1, 2, 8, 8, 8], np.int64))], [p + "v5"],
                         name=p + "v5"),
        helper.make_node("Mul", [p + "v5", const("m5", (rng.standard_normal((1, 1, 8, 1, 8)) * 0.1 + 1)
                                               .astype(np.float32))], [p + "mul5"], name=p + "mul5"),
        helper.make_node("Sigmoid", [p + "mul5"], [p + "sig5"], name=p + "sig5"),
        helper.make_node("Reshape", [p + "sig5", const("s6", np.array([1, 2, 8, 2, 4, 8], np.int64))], [p + "v6"],
                         name=p + "v6"),
        helper.make_node("Transpose", [p + "v6"], [p + "t6"], perm=[0, 1, 2, 4, 3, 5], name=p + "t6"),
        helper.make_node("Reshape", [p + "t6", const("s3", np.array([1, C, L], np.int64))], [p + "v3"],
                         name=p + "v3"),
        helper.make_node("ReduceSum", [p + "v3", const("ax", np.array([1], np.int64))], [p + "rs"], keepdims=1,
                         name=p + "rs"),
        helper.make_node("Div", [p + "v3", p + "rs"], [p + "div"], name=p + "div"),
        helper.make_node("Reshape", [p + "div", const("sw", np.array([1, 4, 4, 4, 4, 4], np.int64))],
                         [p + "w6"], name=p + "w6"),
        helper.make_node("Transpose", [p + "w6"], [p + "wt"], perm=[0, 1, 3, 2, 4, 5], name=p + "wt"),
        helper.make_node("Reshape", [p + "wt", const("sb", np.array([1, C, L], np.int64))], [p + "wb"],
                         name=p + "wb"),
        helper.make_node("ReduceMean", [p + "wb", const("am", np.array([2], np.int64))], [p + "mean"], keepdims=1,
                         name=p + "mean"),
        helper.make_node("Sub", [p + "wb", p + "mean"], [p + "sub"], name=p + "sub"),
        helper.make_node("Add", [p + "sub", x], [p + "out"], name=p + "out"),
    ]
    return nodes, p + "out"


def generate(target_nodes):
    consts, nodes, x = {}, [], "x"
    k = 0
    while len(nodes) < target_nodes:
        block, x = _block(k, x, consts)
        nodes += block
        k += 1
    graph = helper.make_graph(nodes, "bench", [helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [1, C, L])],
                              [helper.make_tensor_value_info(x, onnx.TensorProto.FLOAT, [1, C, L])],
                              [numpy_helper.from_array(v, n) for n, v in consts.items()])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 18)])
    model.ir_version = 8
    return model


def _rss_mb():
    """Peak resident memory of this process image (VmHWM): unlike ru_maxrss, which Linux carries across
    exec from the process that spawned it, so that a child of a large parent would report the parent's."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024.0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024.0


def _current_rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


def measure_floor(path):
    """Runs in a subprocess of its own: times the floor on the model at `path`, and the memory the loaded
    model takes."""
    base = _current_rss_mb()
    t = time.perf_counter()
    model = onnx.load(path)
    loaded = _current_rss_mb() - base
    load_s = time.perf_counter() - t
    t = time.perf_counter()
    inferred = onnx.shape_inference.infer_shapes(model)
    infer_s = time.perf_counter() - t
    t = time.perf_counter()
    onnx.save(inferred, path + ".floor.onnx")
    save_s = time.perf_counter() - t
    return {"floor": load_s + infer_s + save_s, "loaded_mb": loaded, "nodes": len(model.graph.node)}


def measure(path, profile=False):
    """Runs in a subprocess of its own: times the conversion of the model at `path` as `python -m vexo
    convert` runs it (the file read as bytes, converted, checked and written), and its peak memory."""
    from vexo.convert import _read_model, convert, write_graph_atomically
    base = _current_rss_mb()
    t = time.perf_counter()
    data, source, _ = _read_model(path)
    phases = {"load": time.perf_counter() - t}
    if profile:
        import cProfile
        import pstats
        prof = cProfile.Profile()
        prof.enable()
    ir, report, _ = convert(data, source=source, keep_start=False)
    del data
    if profile:
        prof.disable()
        pstats.Stats(prof, stream=sys.stderr).sort_stats("cumulative").print_stats(30)
    phases.update(report.phases)
    t = time.perf_counter()
    write_graph_atomically(ir, path + ".converted.onnx")
    phases["save"] = time.perf_counter() - t
    total = sum(phases.values())
    return {"total": total, "phases": phases, "peak_mb": _rss_mb() - base, "failures": len(report.failures),
            "off_rank": [sum(report.off_rank_before.values()), sum(report.off_rank_after.values())],
            "nodes_after": report.nodes_after, "rewrites": len(report.applied)}


def _run(mode, path, profile=False):
    cmd = [sys.executable, __file__, mode, path] + (["--profile"] if profile else [])
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode != 0:
        sys.exit(out.stderr)
    if profile:
        sys.stderr.write(out.stderr)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="1000,10000,100000")
    ap.add_argument("--profile", action="store_true", help="print a cProfile summary of the conversion")
    ap.add_argument("--repeat", type=int, default=1,
                    help="measure conversion and floor this many times each, alternating, and keep the fastest of "
                         "each (the machine's speed drifts; the best runs are the comparable ones)")
    ap.add_argument("--measure", help=argparse.SUPPRESS)
    ap.add_argument("--floor", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.measure or args.floor:
        print(json.dumps(measure(args.measure, args.profile) if args.measure else measure_floor(args.floor)))
        return
    sizes = [int(s) for s in args.sizes.split(",")]
    with tempfile.TemporaryDirectory() as tmp:
        paths = [os.path.join(tmp, "bench_%d.onnx" % size) for size in sizes]
        for size, path in zip(sizes, paths):
            onnx.save(generate(size), path)
        floors, conversions = [[] for _ in sizes], [[] for _ in sizes]
        for _ in range(max(args.repeat, 1)):  # each round over every size: the sizes share the machine's spells
            for k, path in enumerate(paths):
                floors[k].append(_run("--floor", path))
                conversions[k].append(_run("--measure", path, args.profile))
    rows = []
    for k in range(len(sizes)):
        row = min(floors[k], key=lambda r: r["floor"])
        row.update(min(conversions[k], key=lambda r: r["total"]))
        row["ratio"], row["per_node_us"] = row["total"] / row["floor"], row["total"] / row["nodes"] * 1e6
        row["floor_per_node_us"] = row["floor"] / row["nodes"] * 1e6
        rows.append(row)
    phase_names = ["load", "prepare", "graph", "constants", "normalise", "rules", "cleanup", "save"]
    print("| nodes | " + " | ".join(phase_names) + " | total s | floor s | ratio | us/node | rewrites | "
          "us/rewrite | peak MB | model MB | peak / model | off-rank before -> after | rule errors |")
    print("|" + "---|" * (len(phase_names) + 12))
    for r in rows:
        ph = [("%.2f" % r["phases"].get(p, 0.0)) for p in phase_names]
        print("| %d | %s | %.2f | %.2f | %.2f | %.1f | %d | %.1f | %.0f | %.0f | %.1f | %d -> %d | %d |" % (
            r["nodes"], " | ".join(ph), r["total"], r["floor"], r["ratio"], r["per_node_us"], r["rewrites"],
            r["phases"].get("rules", 0.0) / max(r["rewrites"], 1) * 1e6, r["peak_mb"], r["loaded_mb"],
            r["peak_mb"] / r["loaded_mb"], r["off_rank"][0], r["off_rank"][1], r["failures"]))
    for r in rows[1:]:
        print("time per node at %d nodes against %d: %.2fx (the floor's: %.2fx)" % (
            r["nodes"], rows[0]["nodes"], r["per_node_us"] / rows[0]["per_node_us"],
            r["floor_per_node_us"] / rows[0]["floor_per_node_us"]))


if __name__ == "__main__":
    main()
