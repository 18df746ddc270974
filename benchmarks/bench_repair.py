"""What --repair costs: a wrong rewrite planted in the middle of a conversion, found and left out.

    python3 benchmarks/bench_repair.py [MODEL.onnx] [--op Relu]

A test-only rule in an extra table puts a Neg in front of one node of type
OP (the middle one in graph order), so the converted model computes something
else. The script converts and verifies the model once as it is, then runs the
repair and prints the calls applied, the culprit found, the conversions and
verifications it took and the time against one conversion plus verification.
Without MODEL the suite's transformer block is used.
"""
import argparse
import logging
import sys
import time

import onnx

from vexo.api.rules.utils import Graph
from vexo.convert import convert, verify
from vexo.repair import repair


def planted_table(target, op):
    """An extra table whose rule puts a Neg in front of node `target` (of type `op`), once."""
    def negate_input(ir, nodes, quant_tab={}):
        node = nodes[0]
        source = ir.producer(node.input[0])
        if node.name != target or (source is not None and source.op_type == "Neg"):
            return [], []
        g = Graph(ir)
        node.input[0] = g.op("Neg", node.input[0])
        return [], g.nodes
    return {"planted": {"negate_input": {"ops": [op], "proc": negate_input}}}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("model", nargs="?")
    p.add_argument("--op", default="Relu", help="op type of the node the planted rule breaks (default Relu)")
    args = p.parse_args(argv)
    logging.getLogger("vexo").setLevel(logging.CRITICAL)
    if args.model:
        model, name = onnx.load(args.model), args.model
    else:
        from vexo.models import SUITE
        model, name = SUITE["transformer_block"][0](), "transformer_block"
    start = time.perf_counter()
    ir, report, original = convert(model, source=name)
    verify(original, ir.to_model())
    once = time.perf_counter() - start
    candidates = [n for n in ir.nodes if n.op_type == args.op]
    if not candidates:
        sys.exit("no %s node in %s" % (args.op, name))
    target = candidates[len(candidates) // 2].name
    planted = planted_table(target, args.op)
    wrong, report, original = convert(model, source=name, extra_tables=planted)
    differs = verify(original, wrong.to_model())[2] is False
    start = time.perf_counter()
    ir, fixed, _, ok = repair(model, source=name, extra_tables=planted)
    took = time.perf_counter() - start
    print("%s: %d nodes, %d rule calls applied with the planted one (outputs differ: %s); "
          "conversion + verification %.2fs" % (name, len(model.graph.node), len(report.applied), differs, once))
    print("\n".join(fixed.repair.lines()))
    print("repaired model verifies: %s; repair took %.2fs (%.1f times one conversion + verification)" % (
        ok, took, took / once))


if __name__ == "__main__":
    main()
