"""The conversion pipeline: load, prepare, run the rule tables, clean up, write, verify."""
import collections
import os
import tempfile
import time
from collections.abc import Mapping
from pathlib import Path

import numpy as np
import onnx

from vexo import cleanup as clean
from vexo import guards
from vexo.api.ir_graph import IrGraph, ModelError
from vexo.api.model_checks import unknown_operator, unreadable_constant, without_weights
from vexo.engine import DEFAULT_MAX_PASSES, Engine, QuantTable
from vexo.normalise import normalise_axes
from vexo.report import Report, off_rank_ops, off_rank_reasons, op_counts

# The tables in the order they run: the dimension rules' fuse_dims and cvt_dims, the converter's own
# rank4_dims for what they leave off rank 4, then the dimension rules' hw_dims.
TABLE_NAMES = ("fuse_dims", "cvt_dims", "rank4_dims", "hw_dims")
# The layouts of two-dimensional operators. The other modes of the rules are
# written for rank 3: given a rank-2 operator they leave it three-dimensional
# or reorder its axes, so the converter does not offer them.
MODES_2D = ("AB11", "1A1B", "11AB")

# Rules the module defines without a table entry, by the op type they match.
# `--extra-rules` registers them in a table of their own, run right after cvt_dims: they are the
# dimension rules' own, so they get their turn before rank4_dims picks up what is left.
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


def rule_table(name):
    """The registration table `name`, from the rule module that publishes it."""
    if name == "rank4_dims":
        import vexo.api.rules.rank4 as rank4
        return rank4.rank4_dims
    import vexo.api.rules.dims as dims
    return getattr(dims, name)


VERIFY_RTOL, VERIFY_ATOL = 1e-3, 1e-4


class ConversionError(Exception):
    """The conversion cannot go on; the message, one line, names the file, node or tensor at fault."""

    def __init__(self, message):
        super().__init__(" ".join(str(message).split()))


def table_names(spec):
    """'fuse,cvt,rank4', 'fuse_dims,hw_dims' or a list of such names -> the table names, in the converter's
    order. None means every table; an empty spec means none (preparation, normalisation and clean-up only)."""
    if spec is None:
        return list(TABLE_NAMES)
    parts = str(spec).split(",") if isinstance(spec, str) else [str(p) for p in spec]
    wanted = []
    for part in parts:
        part = part.strip()
        if not part:
            continue
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


def convert(model, *, source="<model>", input_shapes=None, tables=TABLE_NAMES, unsqueeze_2d_mode="AB11",
            dynamic_shapes=False, npu_target="", channel_align=None, prepare=True, max_passes=DEFAULT_MAX_PASSES,
            quant_tab=None, extra_rules=None, on_progress=None, extra_tables=None, call_limits=None,
            use_guards=True):
    """Converts an onnx.ModelProto; returns (converted IrGraph, Report, the model the rules started from,
    every node of it named as in the IrGraph).

    `input_shapes` is handed to the preparation (see vexo.prepare.prepare). `extra_tables` maps further
    table names to tables (entry -> {"ops", "proc"}), run after cvt_dims; `call_limits` (engine.CallLimits)
    leaves rule calls out, to replay part of a conversion; `use_guards` False hands every match to its
    rule, the unsafe patterns included (for diagnosis). A malformed model or input shapes that contradict
    it raise ConversionError naming `source` and the node, tensor or input at fault."""
    check_model(model, source)
    if unsqueeze_2d_mode not in MODES_2D:
        raise ConversionError("unsqueeze_2d_mode '%s' is not a layout of two-dimensional operators (choose from %s)"
                              % (unsqueeze_2d_mode, ", ".join(MODES_2D)))
    if input_shapes is not None and not isinstance(input_shapes, Mapping):
        raise ConversionError("input_shapes must map input names to shapes or symbolic dimensions to values, "
                              "not %s" % type(input_shapes).__name__)
    if input_shapes and not prepare:
        raise ConversionError("%s: input shapes are set by the preparation, which is switched off" % source)
    report = Report(source)
    phase = _Clock(report)
    if prepare:
        with phase("prepare"):
            try:
                model = _prepare(model, report, input_shapes)
            except (ModelError, ValueError) as exc:
                raise ConversionError("%s: %s" % (source, exc)) from None
    model = name_nodes(model)
    with phase("graph"):
        try:
            ir = IrGraph(model, unsqueeze_2d_mode=unsqueeze_2d_mode, dynamic_shapes=dynamic_shapes,
                         npu_target=npu_target, channel_align=channel_align, source=source, check_declared=True)
        except ModelError as exc:
            raise ConversionError(str(exc)) from None
    report.nodes_before = len(ir.nodes)
    report.off_rank_before = off_rank_ops(ir)
    report.ops_before = op_counts(ir)
    engine = Engine(ir, QuantTable(quant_tab or {}), max_passes=max_passes, on_progress=on_progress,
                    guards=guards.check if use_guards else None, limits=call_limits)
    with phase("constants"):
        report.constants["unshared"] = clean.unshare_constants(ir)
    with phase("normalise"):
        report.normalised["negative axes"] = normalise_axes(ir)
    extras = [("extra_dims", extra_table(extra_rules))] + list((extra_tables or {}).items())
    plan = [(name, rule_table(name)) for name in tables]
    at = next((k + 1 for k, (n, _) in enumerate(plan) if n == "cvt_dims"), len(plan))
    plan[at:at] = [(name, table) for name, table in extras if table]
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
    report.declines = engine.declines
    report.applied = engine.applied
    report.nodes_after = len(ir.nodes)
    report.off_rank_left = off_rank_reasons(ir, engine.attempts)
    report.off_rank_after = collections.Counter(item["op_type"] for item in report.off_rank_left)
    report.ops_after = op_counts(ir)
    return ir, report, model


def _prepare(model, report, input_shapes):
    from vexo.prepare import prepare
    prepared, prep_report = prepare(model, input_shapes=input_shapes)
    report.prepare = list(prep_report.lines())
    report.unknown_shapes = prep_report.unknown_shapes()
    return prepared


def name_nodes(model):
    """`model` with every node named, and named once: an unnamed node becomes '<op type>_node', a repeated
    name gets a counter. The report finds nodes by these names in the model and in the rule calls, so the
    IrGraph must not have to rename any. A copy is made only when a name is missing or repeated."""
    names = [n.name for n in model.graph.node]
    if all(names) and len(set(names)) == len(names):
        return model
    named = onnx.ModelProto()
    named.CopyFrom(model)
    existing, taken, counters = set(names), set(), {}
    for node in named.graph.node:
        if node.name and node.name not in taken:
            taken.add(node.name)
            continue
        base = node.name or "%s_node" % node.op_type
        name, k = base, counters.get(base, 0)
        while name in taken or name in existing:
            k += 1
            name = "%s_%d" % (base, k)
        counters[base] = k
        node.name = name
        taken.add(name)
    return named


def check_converted(model):
    """Refuses a converted model that the ONNX checker, strict shape inference or ONNX Runtime rejects.

    All three read the model without its weights (they need their types and shapes only), so that the
    weights are not copied for each."""
    light = without_weights(model)
    try:
        onnx.checker.check_model(light)
    except Exception as exc:
        raise ConversionError("the converted model does not pass the ONNX checker, nothing written: %s"
                              % str(exc).splitlines()[0]) from None
    try:  # every recorded shape must be one its node computes
        onnx.shape_inference.infer_shapes(light, strict_mode=True)
    except Exception as exc:
        raise ConversionError("the converted model's shapes do not agree with its operators, nothing written: %s"
                              % " ".join(str(exc).split())[:300]) from None
    refusal = runtime_refusal(light)
    if refusal:
        raise ConversionError("ONNX Runtime refuses to load the converted model, nothing written: %s" % refusal)


def write_model_atomically(model, path):
    """Checks `model` and writes it to `path` through a temporary file, so `path` is never half written."""
    check_converted(model)
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


def runtime_refusal(model):
    """Why ONNX Runtime will not create a session for `model` (custom operators lowered), or None.

    ONNX Runtime checks more than the ONNX checker and shape inference do (a Reshape's 0 at an axis its
    input lacks, for one); a model without its weights (`without_weights`) is checked as well and at a
    fraction of the cost. Without onnxruntime, or with a custom operator that has no standard
    equivalent, there is nothing to ask and the answer is None."""
    try:
        import onnxruntime as ort
    except ImportError:
        return None
    from vexo.custom_ops import custom_op_types, lower_custom_ops
    if custom_op_types(model):
        model, unsupported = lower_custom_ops(model)
        if unsupported:
            return None
    options = ort.SessionOptions()
    options.log_severity_level = 4
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    try:
        ort.InferenceSession(model.SerializeToString(), options, providers=["CPUExecutionProvider"])
    except Exception as exc:  # noqa: BLE001 - ONNX Runtime raises its own exception types
        return " ".join(str(exc).split())[:300]
    return None


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
        expected, actual = np.atleast_1d(ref.astype(np.float64)), np.atleast_1d(got[name].astype(np.float64))
        with np.errstate(invalid="ignore"):
            diff = np.abs(actual - expected)
            diff[np.isnan(diff)] = np.inf  # a nan where the original has a number, or the other way round
            diff[np.isnan(expected) & np.isnan(actual)] = 0.0
            rel = np.where(diff == 0.0, 0.0, diff / np.maximum(np.abs(expected), 1e-6))
        errors[name] = {"max_abs": float(diff.max(initial=0.0)), "max_rel": float(rel.max(initial=0.0))}
        ok = ok and np.allclose(actual, expected, rtol=VERIFY_RTOL, atol=VERIFY_ATOL, equal_nan=True)
    customs = custom_op_types(converted)
    note = "outputs %s (custom operators %s checked through their standard equivalents)" % (
        "match" if ok else "DIFFER", ", ".join(customs)) if customs else ("outputs match" if ok else "outputs DIFFER")
    return errors, note, ok


_verify = verify  # convert_model's keyword `verify` hides the function


def _read_model(model_or_path):
    """(model, source name, seconds spent loading) of an onnx.ModelProto or the path of an .onnx file."""
    if isinstance(model_or_path, onnx.ModelProto):
        return model_or_path, model_or_path.graph.name or "<model>", None
    if not isinstance(model_or_path, (str, os.PathLike)):
        raise ConversionError("expected an onnx.ModelProto or the path of an .onnx file, got %s"
                              % type(model_or_path).__name__)
    start = time.perf_counter()
    model = load_model(model_or_path)
    return model, str(model_or_path), time.perf_counter() - start


def _positive(name, value):
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value <= 0):
        raise ConversionError("%s must be a positive integer, not %r" % (name, value))


def convert_model(model_or_path, *, input_shapes=None, tables=TABLE_NAMES, extra_rules=None, verify=False,
                  output=None, html=None, prepare=True, unsqueeze_2d_mode="AB11", dynamic_shapes=False,
                  npu_target="", channel_align=None, max_passes=DEFAULT_MAX_PASSES, quant_tab=None,
                  on_progress=None, repair=False, use_guards=True):
    """Converts a model; returns (the converted onnx.ModelProto, Report).

    `model_or_path` is an onnx.ModelProto (left unchanged) or the path of an .onnx file. `input_shapes` maps
    an input name to its full shape or a symbolic dimension to its value; `tables` names the tables to run
    ("fuse,cvt" or a list). With `verify`, both models run in ONNX Runtime on the same random inputs and
    `report.verified` tells the outcome (True, False, or None when the check cannot run). `repair` verifies
    too and, when the outputs differ, converts without the rule calls found responsible (vexo.repair;
    `report.repair` tells what it found and cost). `use_guards` False hands every match to its rule, for
    diagnosis. `output` writes
    the converted model (checked, through a temporary file), `html` the HTML report. The converted model is
    checked with the ONNX checker and strict shape inference before it is returned or written.
    Bad input raises ConversionError naming the file, node, tensor or input at fault; nothing is written."""
    model, source, load_seconds = _read_model(model_or_path)
    _positive("channel_align", channel_align)
    _positive("max_passes", max_passes)
    options = dict(source=source, input_shapes=input_shapes, tables=table_names(tables),
                   unsqueeze_2d_mode=unsqueeze_2d_mode, dynamic_shapes=dynamic_shapes, npu_target=npu_target,
                   channel_align=channel_align, prepare=prepare, max_passes=max_passes, quant_tab=quant_tab,
                   extra_rules=extra_rules, use_guards=use_guards, on_progress=on_progress)
    if repair:
        from vexo.repair import repair as repair_conversion
        start = time.perf_counter()
        ir, report, original, verdict = repair_conversion(model, **options)
        report.verified = verdict
        report.phases["repair"] = time.perf_counter() - start
    else:
        ir, report, original = convert(model, **options)
    if load_seconds is not None:
        report.phases = {"load": load_seconds, **report.phases}
    phase = _Clock(report)
    with phase("save"):
        try:
            converted = ir.to_model()
        except Exception as exc:
            raise ConversionError("%s: cannot write the converted graph: %s" % (source, exc)) from None
        if output is None:
            check_converted(converted)
        else:
            write_model_atomically(converted, output)
            report.output = str(output)
    if verify and not repair:
        with phase("verify"):
            report.verify, report.verify_note, report.verified = _verify(original, converted)
    if html is not None:
        from vexo.html_report import write_html
        with phase("html"):
            write_html(report, original, converted, html)
    return converted, report
