"""Converts a fixed set of models and writes each result in a canonical text form.

Two dumps of the same set, made before and after a change to the converter,
diff line by line: any difference is a change of behaviour. The set: every
model of `vexo.models` in both versions, the bundled sample, the small real
exports when present, and a range of random-graph seeds (one in four also runs
the rules without a table entry, as the randomized test does).

    python3 tools/dump_conversions.py OUTDIR [--seeds 0:3000] [--exports DIR] [--pattern GLOB] [--only TEXT]

Each model gets OUTDIR/<name>.txt: the converted graph node by node (op type,
name, domain, inputs, outputs, attributes; constants by type, shape and hash),
inputs, outputs and recorded shapes, then the report (entries fired, rule
failures, clean-ups, the engine's record of applied calls).
"""
import argparse
import glob
import hashlib
import logging
import os
import sys

import numpy as np
import onnx
from onnx import numpy_helper

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))


def _digest(data):
    return hashlib.blake2b(data, digest_size=8).hexdigest()


def _tensor_text(t):
    try:
        value = numpy_helper.to_array(t)
        body = "%s %s %s" % (value.dtype, list(value.shape), _digest(np.ascontiguousarray(value).tobytes()))
    except Exception as exc:  # noqa: BLE001 - shown as it is
        body = "unreadable (%s)" % type(exc).__name__
    return body


def _attr_text(a):
    value = onnx.helper.get_attribute_value(a)
    if isinstance(value, onnx.TensorProto):
        return "%s=tensor(%s)" % (a.name, _tensor_text(value))
    if isinstance(value, float):
        return "%s=%r" % (a.name, float(np.float32(value)))
    if isinstance(value, list) and value and isinstance(value[0], float):
        return "%s=%r" % (a.name, [float(np.float32(v)) for v in value])
    if isinstance(value, (onnx.GraphProto, onnx.SparseTensorProto, onnx.TypeProto)):
        return "%s=<%s %s>" % (a.name, type(value).__name__, _digest(value.SerializeToString()))
    return "%s=%r" % (a.name, value)


def _type_text(vi):
    t = vi.type.tensor_type
    if not vi.type.HasField("tensor_type"):
        return "%s: %s" % (vi.name, vi.type.WhichOneof("value"))
    dims = None if not t.HasField("shape") else [d.dim_param or d.dim_value if (d.HasField("dim_param") or
                                                                               d.HasField("dim_value")) else "?"
                                                 for d in t.shape.dim]
    return "%s: %s %s" % (vi.name, onnx.TensorProto.DataType.Name(t.elem_type), dims)


def model_text(model):
    g = model.graph
    lines = ["opsets: %s" % sorted((o.domain, o.version) for o in model.opset_import),
             "ir_version: %d producer: %r" % (model.ir_version, model.producer_name)]
    lines += ["input " + _type_text(vi) for vi in g.input]
    lines += ["output " + _type_text(vi) for vi in g.output]
    for n in g.node:
        lines.append("node %s %r domain=%r in=%s out=%s %s" % (
            n.op_type, n.name, n.domain, list(n.input), list(n.output),
            " ".join(sorted(_attr_text(a) for a in n.attribute))))
    lines += ["init %s: %s" % (t.name, _tensor_text(t)) for t in g.initializer]
    lines += ["shape " + _type_text(vi) for vi in g.value_info]
    return lines


def report_text(report):
    lines = ["nodes %d -> %d" % (report.nodes_before, report.nodes_after)]
    lines += ["fired %s x%d" % kv for kv in sorted(report.fired.items())]
    lines += ["failure " + f.line() for f in report.failures]
    lines += ["cleanup %s %d" % kv for kv in sorted(report.cleanup.items()) if kv[1]]
    lines += ["constants %s %d" % kv for kv in sorted(report.constants.items())]
    lines += ["warning " + w for w in report.warnings]
    lines += ["prepare " + line for line in report.prepare]
    lines += ["off-rank left %s %s %s" % (i["op_type"], i["node"], sorted(i["entries"].items()))
              for i in report.off_rank_left]
    lines += ["applied %s/%s on %s: -%s +%s ~%s" % (c.table, c.entry, c.node, c.removed, c.added, c.changed)
              for c in report.applied]
    return lines


def conversion_text(model, **options):
    from vexo.convert import ConversionError, convert
    try:
        ir, report, _ = convert(model, **options)
        converted = ir.to_model()
    except ConversionError as exc:
        return ["refused: %s" % exc]
    return model_text(converted) + report_text(report)


def cases(seeds, exports, pattern):
    from random_graphs import generate
    from vexo.models import SUITE
    for name, (clean, exporter) in SUITE.items():
        yield "suite_%s_clean" % name, clean, {}
        yield "suite_%s_exporter" % name, exporter, {}
    yield "sample", lambda: onnx.load(os.path.join(ROOT, "vexo", "data", "sample.onnx")), {}
    for path in sorted(glob.glob(os.path.join(exports, "opset*", pattern))):
        opset = os.path.basename(os.path.dirname(path))
        yield "export_%s_%s" % (opset, os.path.basename(path)[:-5]), (lambda p=path: onnx.load(p)), {}
    for seed in seeds:
        def build(seed=seed):
            return generate(seed)[0]
        options = dict(generate(seed)[1])
        yield "seed_%05d" % seed, build, options
        if seed % 4 == 0:
            yield "seed_%05d_extra" % seed, build, dict(options, extra_rules="all")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("outdir")
    p.add_argument("--seeds", default="0:3000", help="random-graph seeds A:B (default 0:3000)")
    p.add_argument("--exports", default="/work/exports", help="directory of real exports (opset*/NAME_small.onnx)")
    p.add_argument("--pattern", default="*_small.onnx", help="file pattern of the real exports (default *_small.onnx)")
    p.add_argument("--only", default="", help="only cases whose name contains this text")
    args = p.parse_args(argv)
    start, stop = (int(v) for v in args.seeds.split(":"))
    logging.getLogger("vexo").setLevel(logging.CRITICAL)
    os.makedirs(args.outdir, exist_ok=True)
    count = 0
    for name, build, options in cases(range(start, stop), args.exports, args.pattern):
        if args.only and args.only not in name:
            continue
        text = conversion_text(build(), source=name, **options)
        with open(os.path.join(args.outdir, name + ".txt"), "w") as f:
            f.write("\n".join(text) + "\n")
        count += 1
    print("%d conversions written to %s" % (count, args.outdir))


if __name__ == "__main__":
    main()
