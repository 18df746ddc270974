"""The conversion pipeline: load, prepare, run the rule tables, clean up, write, verify."""
import collections
import os
import tempfile
import time
from pathlib import Path

import numpy as np
import onnx

from vexo import cleanup as clean
from vexo.api.ir_graph import IrGraph, ModelError
from vexo.api.model_checks import unknown_operator, unreadable_constant
from vexo.engine import DEFAULT_MAX_PASSES, Engine, QuantTable
from vexo.report import Report, off_rank_ops, off_rank_reasons, op_counts

TABLE_NAMES = ("fuse_dims", "cvt_dims", "hw_dims")

# Rules the module defines without a table entry, by the op type they match.
# `--extra-rules` registers them in a table of their own, run after cvt_dims.
EXTRA_RULES = {
    "reduce_mean_to_avgpool": ("ReduceMean", "_p_convert_reduce_mean_to_avgpool"),
    "tf_nhwc_to_nchw": ("Transpose", "_p_convert_tf_nhwc_to_nchw"),
    "1x1_resize_to_tile": ("Resize", "_p_convert_1x1_resize_to_tile"),
    "broadcast_mul_expand": ("Mul", "_p_broadcast_mul_expand"),
    "squeeze_to_4d_transpose": ("Transpose", "_p_squeeze_to_4d_transpose"),
    "concat_to_conv_concat": ("Concat", "_p_convert_concat_to_conv_concat"),
    "split_to_conv_split": ("Split", "_p_convert_split_to_conv_split"),
    "swap_concat_axis": ("Concat", "_p_swap_concat_axis_avoid_channel_concat"),
}


def extra_table(spec):
    """The table of the untabled rules named in 'a,b' (or 'all'), entries named after the rules."""
    if not spec:
        return {}
    import vexo.api.rules.dims as dims
    names = list(EXTRA_RULES) if spec == "all" else [n.strip() for n in str(spec).split(",") if n.strip()]
    table = {}
    for name in names:
        if name not in EXTRA_RULES:
            raise ConversionError("unknown extra rule '%s' (choose from %s)" % (name, ", ".join(EXTRA_RULES)))
        op, proc = EXTRA_RULES[name]
        table[name] = {"ops": [op], "proc": getattr(dims, proc)}
    return table
VERIFY_RTOL, VERIFY_ATOL = 1e-3, 1e-4


class ConversionError(Exception):
    """The conversion cannot go on; the message, one line, names the file, node or tensor at fault."""

    def __init__(self, message):
        super().__init__(" ".join(str(message).split()))


def table_names(spec):
    """'fuse,cvt' or 'fuse_dims,hw_dims' -> the table names, in the converter's order."""
    if not spec:
        return list(TABLE_NAMES)
    wanted = []
    for part in str(spec).split(","):
        part = part.strip()
        name = part if part.endswith("_dims") else part + "_dims"
        if name not in TABLE_NAMES:
            raise ConversionError("unknown table '%s' (choose from %s)" % (part, ", ".join(TABLE_NAMES)))
        wanted.append(name)
    return [t for t in TABLE_NAMES if t in wanted]


class _Clock:
    def __init__(self, report):
        self.report = report

    def __call__(self, phase):
        clock = self

        class _Phase:
            def __enter__(self):
                self.start = time.perf_counter()

            def __exit__(self, *exc):
                clock.report.phases[phase] = clock.report.phases.get(phase, 0.0) + time.perf_counter() - self.start
        return _Phase()


def load_model(path):
    path = Path(path)
    if not path.is_file():
        raise ConversionError("%s: no such file" % path)
    if path.stat().st_size == 0:
        raise ConversionError("%s: the file is empty" % path)
    try:
        model = onnx.load(str(path))
    except Exception as exc:
        raise ConversionError("%s: not a readable ONNX model (%s)" % (path, str(exc).splitlines()[0])) from None
    if not model.HasField("graph"):
        raise ConversionError("%s: not an ONNX model (it holds no graph)" % path)
    return model


def check_model(model, source):
    """Refuses what no conversion can start from: a graph without nodes or outputs, an unknown operator,
    a constant whose data does not fit its type and shape."""
    if not isinstance(model, onnx.ModelProto):
        raise ConversionError("%s: expected an onnx.ModelProto, got %s" % (source, type(model).__name__))
    if not model.graph.node:
        raise ConversionError("%s: the graph is empty (it has no nodes)" % source)
    if not model.graph.output:
        raise ConversionError("%s: the graph has no outputs" % source)
    problem = unknown_operator(model) or unreadable_constant(model)
    if problem:
        raise ConversionError("%s: %s" % (source, problem))


def convert(model, *, source="<model>", tables=TABLE_NAMES, unsqueeze_2d_mode="AB11", dynamic_shapes=False,
            npu_target="", channel_align=None, prepare=True, max_passes=DEFAULT_MAX_PASSES, quant_tab=None,
            extra_rules=None, on_progress=None):
    """Converts an onnx.ModelProto; returns (converted IrGraph, Report, the model the rules started from).

    A malformed model raises ConversionError naming `source` and the node or tensor at fault."""
    check_model(model, source)
    report = Report(source)
    phase = _Clock(report)
    if prepare:
        with phase("prepare"):
            try:
                model = _prepare(model, report)
            except ModelError as exc:
                raise ConversionError("%s: %s" % (source, exc)) from None
    with phase("graph"):
        try:
            ir = IrGraph(model, unsqueeze_2d_mode=unsqueeze_2d_mode, dynamic_shapes=dynamic_shapes,
                         npu_target=npu_target, channel_align=channel_align, source=source, check_declared=True)
        except ModelError as exc:
            raise ConversionError(str(exc)) from None
    report.nodes_before = ir.node_count()
    report.off_rank_before = off_rank_ops(ir)
    report.ops_before = op_counts(ir)
    import vexo.api.rules.dims as dims
    engine = Engine(ir, QuantTable(quant_tab or {}), max_passes=max_passes, on_progress=on_progress)
    with phase("constants"):
        report.constants["unshared"] = clean.unshare_constants(ir)
    extras = extra_table(extra_rules)
    plan = [(name, getattr(dims, name)) for name in tables]
    if extras:
        at = next((k + 1 for k, (n, _) in enumerate(plan) if n == "cvt_dims"), len(plan))
        plan.insert(at, ("extra_dims", extras))
    for name, table in plan:
        with phase("rules"):
            run = engine.run_table(name, table)
        report.tables.append(run)
        if run.limit_hit:
            report.warnings.append("%s: %s" % (name, run.limit_hit))
        with phase("cleanup"):
            report.cleanup.update(clean.cleanup(ir))
    with phase("constants"):
        report.constants["merged"] = clean.merge_constants(ir)
    with phase("cleanup"):
        report.cleanup.update(clean.cleanup(ir))
    report.failures = engine.failures
    report.applied = engine.applied
    report.nodes_after = ir.node_count()
    report.off_rank_left = off_rank_reasons(ir, engine.attempts)
    report.off_rank_after = collections.Counter(item["op_type"] for item in report.off_rank_left)
    report.ops_after = op_counts(ir)
    return ir, report, model


def _prepare(model, report):
    try:
        from vexo.prepare import prepare
    except ImportError:
        return model
    prepared, prep_report = prepare(model)
    report.prepare = list(prep_report.lines())
    return prepared


def write_model_atomically(model, path):
    """Checks `model` and writes it to `path` through a temporary file, so `path` is never half written."""
    try:
        onnx.checker.check_model(model)
    except Exception as exc:
        raise ConversionError("the converted model does not pass the ONNX checker, nothing written: %s"
                              % str(exc).splitlines()[0]) from None
    try:  # every recorded shape must be one its node computes
        onnx.shape_inference.infer_shapes(model, strict_mode=True)
    except Exception as exc:
        raise ConversionError("the converted model's shapes do not agree with its operators, nothing written: %s"
                              % " ".join(str(exc).split())[:300]) from None
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=str(path.parent))
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(model.SerializeToString())
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def verify(original, converted, seed=0):
    """Runs both models on the same random inputs; returns ({output: errors}, note, ok)."""
    from vexo.custom_ops import custom_op_types, lower_custom_ops
    from vexo.testing import random_inputs, run_model
    unsupported = sorted(set(lower_custom_ops(original)[1]) | set(lower_custom_ops(converted)[1]))
    if unsupported:
        return {}, "not verified: custom operators %s cannot be lowered for ONNX Runtime" % ", ".join(unsupported), \
            None
    try:
        feeds = random_inputs(original, seed)
        want = run_model(original, feeds)
        got = run_model(converted, feeds)
    except Exception as exc:
        return {}, "not verified: ONNX Runtime failed (%s)" % str(exc).splitlines()[0], False
    errors, ok = {}, True
    for name, ref in want.items():
        if name not in got or got[name].shape != ref.shape:
            errors[name] = {"max_abs": float("inf"), "max_rel": float("inf")}
            ok = False
            continue
        diff = np.abs(got[name].astype(np.float64) - ref.astype(np.float64))
        scale = np.maximum(np.abs(ref.astype(np.float64)), 1e-6)
        errors[name] = {"max_abs": float(diff.max(initial=0.0)), "max_rel": float((diff / scale).max(initial=0.0))}
        ok = ok and np.allclose(got[name], ref, rtol=VERIFY_RTOL, atol=VERIFY_ATOL)
    customs = custom_op_types(converted)
    note = "outputs %s (custom operators %s checked through their standard equivalents)" % (
        "match" if ok else "DIFFER", ", ".join(customs)) if customs else ("outputs match" if ok else "outputs DIFFER")
    return errors, note, ok
