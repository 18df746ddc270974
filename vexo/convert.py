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
from vexo.api.ir_graph import IrGraph, ModelError, _infer
from vexo import _core
from vexo.api.model_checks import unknown_op_type, without_weights
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
    try:
        model = onnx.load(str(path))
    except Exception as exc:
        raise ConversionError("%s: not a readable ONNX model (%s)" % (path, str(exc).splitlines()[0])) from None
    if not model.HasField("graph"):
        raise ConversionError("%s: not an ONNX model (it holds no graph)" % path)
    return model


def check_model(data, source):
    """Refuses what no conversion can start from: bytes that are not a model, a graph without nodes or
    outputs, an unknown operator, a constant whose data does not fit its type and shape. The native reader
    looks at the graph once, and only the op types (one per kind) go through ONNX's operator schemas."""
    try:
        scan = _core._scan(bytes(data))
    except _core.WireError as exc:
        raise ConversionError("%s: not a readable ONNX model (%s)" % (source, exc)) from None
    if not scan["has_graph"]:
        raise ConversionError("%s: not an ONNX model (it holds no graph)" % source)
    if not scan["nodes"]:
        raise ConversionError("%s: the graph is empty (it has no nodes)" % source)
    if not scan["outputs"]:
        raise ConversionError("%s: the graph has no outputs" % source)
    problem = unknown_op_type(scan["opsets"], scan["op_types"]) or scan["unreadable"]
    if problem:
        raise ConversionError("%s: %s" % (source, problem))


def convert(model, *, source="<model>", input_shapes=None, tables=TABLE_NAMES, unsqueeze_2d_mode="AB11",
            dynamic_shapes=False, npu_target="", channel_align=None, prepare=True, max_passes=DEFAULT_MAX_PASSES,
            quant_tab=None, extra_rules=None, on_progress=None, extra_tables=None, call_limits=None,
            use_guards=True, keep_start=True):
    """Converts an onnx.ModelProto (or its serialized bytes); returns (converted IrGraph, Report, the model the
    rules started from, every node of it named as in the IrGraph, or None without `keep_start`).

    `input_shapes` is handed to the preparation (see vexo.prepare.prepare). `extra_tables` maps further
    table names to tables (entry -> {"ops", "proc"}), run after cvt_dims; `call_limits` (engine.CallLimits)
    leaves rule calls out, to replay part of a conversion; `use_guards` False hands every match to its
    rule, the unsafe patterns included (for diagnosis). A malformed model or input shapes that contradict
    it raise ConversionError naming `source` and the node, tensor or input at fault."""
    data = _model_data(model, source)
    check_model(data, source)
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
    config = dict(source=source, unsqueeze_2d_mode=unsqueeze_2d_mode, dynamic_shapes=dynamic_shapes,
                  npu_target=npu_target, channel_align=channel_align)
    if prepare:
        with phase("prepare"):
            ir = _prepare(data, report, input_shapes, config)
    else:
        with phase("graph"):
            try:
                ir = IrGraph(data, check_declared=True, **config)
            except ModelError as exc:
                raise ConversionError(str(exc)) from None
    start = ir.to_model() if keep_start else None
    report.nodes_before = ir.node_count()
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
    report.nodes_after = ir.node_count()
    report.off_rank_left = off_rank_reasons(ir, engine.attempts)
    report.off_rank_after = collections.Counter(item["op_type"] for item in report.off_rank_left)
    report.ops_after = op_counts(ir)
    # The rules' graph was at its largest before the clean-ups: what they and the engine's log of attempts
    # freed goes back to the system before the check, the write and verification load ONNX Runtime.
    del engine
    _core.release_free_memory()
    return ir, report, start


def _model_data(model, source):
    if isinstance(model, onnx.ModelProto):
        return model.SerializeToString()
    if isinstance(model, (bytes, bytearray, memoryview)):
        return bytes(model)
    raise ConversionError("%s: expected an onnx.ModelProto, got %s" % (source, type(model).__name__))


def _prepare(data, report, input_shapes, config):
    """The prepared graph of serialized model `data`; the preparation's report goes into `report`."""
    from vexo.prepare import prepare_graph
    try:
        ir, prep_report = prepare_graph(data, input_shapes, **config)
    except ModelError as exc:
        raise ConversionError(str(exc)) from None
    except ValueError as exc:
        raise ConversionError("%s: %s" % (config["source"], exc)) from None
    report.prepare = list(prep_report.lines())
    report.unknown_shapes = prep_report.unknown_shapes()
    return ir


def check_converted(model):
    """Refuses a converted model that the ONNX checker, strict shape inference or ONNX Runtime rejects.

    All three read the model without its weights (they need their types and shapes only), so that the
    weights are not copied for each."""
    _check_light(without_weights(model).SerializeToString(), model)


def _check_light(light, model=None, stands_for_graph=None):
    """check_converted on the serialized model without its weights; `model` (an onnx.ModelProto or an
    IrGraph) is what ONNX Runtime is asked about: one node of every kind (see runtime_refusal).

    Strict shape inference judges each node from its kind alone (op type, attributes, input and output
    types and shapes, small constant values) when every shape is static and no node computes a value
    that data propagation could carry into another's shape: it then runs on the model of one node of
    every kind, the one ONNX Runtime loads, instead of the whole model. The ONNX checker then reads the
    sample as well, and what it checks across the graph (each tensor written once, defined before it is
    read, named, of an imported domain) is checked natively on the graph."""
    sample = _runtime_sample(model if model is not None else light)
    if stands_for_graph is None:
        stands_for_graph = isinstance(model, _core.Graph) and model._kinds_stand_for_graph()
    _run_checker(sample if stands_for_graph else light, model._structure_problem() if stands_for_graph else None)
    try:  # every recorded shape must be one its node computes
        _infer(sample if stands_for_graph else light, strict=True)
    except Exception as exc:
        raise ConversionError("the converted model's shapes do not agree with its operators, nothing written: %s"
                              % " ".join(str(exc).split())[:300]) from None
    refusal = runtime_refusal(model if model is not None else light, sample)
    if refusal:
        raise ConversionError("ONNX Runtime refuses to load the converted model, nothing written: %s" % refusal)


def _run_checker(data, structure_problem=None):
    """The ONNX checker on serialized `data`; `structure_problem` is what the native check of the whole
    graph found (data is then the kind sample)."""
    try:
        if structure_problem:
            raise ValueError(structure_problem)
        onnx.checker.check_model(data)
    except Exception as exc:
        raise ConversionError("the converted model does not pass the ONNX checker, nothing written: %s"
                              % str(exc).splitlines()[0]) from None


def write_model_atomically(model, path):
    """Checks `model` and writes it to `path` through a temporary file, so `path` is never half written."""
    check_converted(model)
    _write_atomically(path, lambda tmp: Path(tmp).write_bytes(model.SerializeToString()))


def check_graph(ir):
    """Checks the converted IrGraph; returns the model without its large weights when the check read it, else
    None: when one node of every kind stands for the graph the check reads that sample and the graph itself,
    and the serialized model is never made."""
    if ir._kinds_stand_for_graph():
        _check_light(None, ir, stands_for_graph=True)
        return None
    light = ir.model_bytes(light=True)
    _check_light(light, ir, stands_for_graph=False)
    return light


def write_graph_atomically(ir, path):
    """Checks the converted IrGraph and writes its model to `path` through a temporary file (the weights are
    written from the graph's memory, not copied; a model whose weights are all small and that was serialized
    for the check is written from the bytes that were checked, which are the whole model then)."""
    light = check_graph(ir)
    if light is not None and ir._light_keeps_every_weight():
        _write_atomically(path, lambda tmp: Path(tmp).write_bytes(light))
    else:
        del light
        _write_atomically(path, ir.save)


def _write_atomically(path, write):
    """Writes `path` through a temporary file beside it, so that it is never half written: `write(tmp)` writes
    the temporary file, which then replaces `path`."""
    path = Path(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    fd, tmp = tempfile.mkstemp(prefix=path.name + ".", suffix=".tmp", dir=str(path.parent))
    os.close(fd)
    try:
        write(tmp)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.unlink(tmp)
        raise


def runtime_refusal(model, sample=None):
    """Why ONNX Runtime will not create a session for `model` (custom operators lowered), or None.

    ONNX Runtime checks more than the ONNX checker and shape inference do (a Reshape's 0 at an axis its
    input lacks, for one). What it checks of one node when it loads a model depends on the node's kind
    (op type, attributes, input and output types and shapes, the values of small constant inputs), so it
    is asked about a model of one node of every kind the graph holds (`IrGraph._kind_sample`): a model of
    repeated blocks costs what one block costs. `model` is an IrGraph, an onnx.ModelProto or serialized
    bytes (`sample`, when given, is its `_runtime_sample`); without onnxruntime, or with a custom operator
    that has no standard equivalent, there is nothing to ask and the answer is None."""
    try:
        import onnxruntime as ort
    except ImportError:
        return None
    from vexo.custom_ops import custom_op_types, lower_custom_ops
    data = sample if sample is not None else _runtime_sample(model)
    sample = onnx.load_from_string(data)
    if custom_op_types(sample):
        sample, unsupported = lower_custom_ops(sample)
        if unsupported:
            return None
        data = sample.SerializeToString()
    options = ort.SessionOptions()
    options.log_severity_level = 4
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    try:
        ort.InferenceSession(data, options, providers=["CPUExecutionProvider"])
    except Exception as exc:  # noqa: BLE001 - ONNX Runtime raises its own exception types
        return " ".join(str(exc).split())[:300]
    return None


def _runtime_sample(model):
    """The serialized model ONNX Runtime loads for `model`: one node of every kind, or the whole model
    without its weights when a node cannot stand alone."""
    if isinstance(model, _core.Graph):
        ir = model
    else:
        data = model if isinstance(model, bytes) else model.SerializeToString()
        try:
            ir = IrGraph(data, infer=False)
        except (ModelError, ValueError):
            return without_weights(onnx.load_from_string(data)).SerializeToString()
    sample = ir._kind_sample(onnx.IR_VERSION)
    return sample if sample is not None else ir.model_bytes(light=True)


def verify(original, converted, seed=0):
    """Runs both models on the same random inputs; returns ({output: errors}, note, ok)."""
    from vexo.custom_ops import custom_op_types, lower_custom_ops
    from vexo.runtime_check import random_inputs, run_model
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
    """(serialized model, source name, seconds spent loading) of an onnx.ModelProto or the path of an .onnx
    file; a model whose weights live in files of their own is loaded with them."""
    if isinstance(model_or_path, onnx.ModelProto):
        return model_or_path.SerializeToString(), model_or_path.graph.name or "<model>", None
    if not isinstance(model_or_path, (str, os.PathLike)):
        raise ConversionError("expected an onnx.ModelProto or the path of an .onnx file, got %s"
                              % type(model_or_path).__name__)
    start = time.perf_counter()
    path = Path(model_or_path)
    if not path.is_file():
        raise ConversionError("%s: no such file" % path)
    data = path.read_bytes()
    if not data:
        raise ConversionError("%s: the file is empty" % path)
    try:
        external = _core._scan(data)["external"]
    except _core.WireError:
        external = False  # check_model names what is wrong
    if external:
        data = load_model(path).SerializeToString()
    return data, str(model_or_path), time.perf_counter() - start


def _positive(name, value):
    if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value <= 0):
        raise ConversionError("%s must be a positive integer, not %r" % (name, value))


def convert_model(model_or_path, *, input_shapes=None, tables=TABLE_NAMES, extra_rules=None, verify=False,
                  output=None, html=None, prepare=True, unsqueeze_2d_mode="AB11", dynamic_shapes=False,
                  npu_target="", channel_align=None, max_passes=DEFAULT_MAX_PASSES, quant_tab=None,
                  on_progress=None, repair=False, use_guards=True, return_model=True):
    """Converts a model; returns (the converted onnx.ModelProto, or None without `return_model`, Report).

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
        ir, report, original = convert(model, keep_start=bool(verify or html), **options)
    if load_seconds is not None:
        report.phases = {"load": load_seconds, **report.phases}
    phase = _Clock(report)
    converted = None
    with phase("save"):
        try:
            if output is None:
                check_graph(ir)
            else:
                write_graph_atomically(ir, output)
                report.output = str(output)
            if return_model or verify or html is not None:
                converted = ir.to_model()
        except ConversionError:
            raise
        except Exception as exc:
            raise ConversionError("%s: cannot write the converted graph: %s" % (source, exc)) from None
    if verify and not repair:
        with phase("verify"):
            report.verify, report.verify_note, report.verified = _verify(original, converted)
    if html is not None:
        from vexo.html_report import write_html
        with phase("html"):
            write_html(report, original, converted, html)
    return converted, report
