"""Test toolkit: small models, running a rule, and numerical equivalence in ONNX Runtime."""
import numpy as np
import onnx
from onnx import helper, numpy_helper

from vexo.api.ir_graph import CUSTOM_DOMAIN, IrGraph, is_custom_op
from vexo.custom_ops import lower_custom_ops


def _type_and_shape(spec):
    if isinstance(spec, tuple) and len(spec) == 2 and not isinstance(spec[1], (int, np.integer)):
        shape, dtype = spec
    else:
        shape, dtype = spec, np.float32
    return shape, helper.np_dtype_to_tensor_dtype(np.dtype(dtype))


def make_model(nodes, inputs, outputs, consts=None, producer="", opset=17):
    """An ONNX model from nodes, input/output specs (name -> shape or (shape, dtype)) and constants.

    Custom ex* nodes are put in the converter's custom domain. Outputs given
    without a shape are typed by inference.
    """
    nodes = list(nodes)
    for n in nodes:
        if is_custom_op(n.op_type) and not n.domain:
            n.domain = CUSTOM_DOMAIN
    ins = []
    for name, spec in inputs.items():
        shape, elem = _type_and_shape(spec)
        ins.append(helper.make_tensor_value_info(name, elem, shape))
    outs, untyped = [], False
    for name, spec in outputs.items():
        if spec is None:
            outs.append(helper.make_value_info(name, onnx.TypeProto()))
            untyped = True
        else:
            shape, elem = _type_and_shape(spec)
            outs.append(helper.make_tensor_value_info(name, elem, shape))
    inits = [numpy_helper.from_array(np.asarray(v), k) for k, v in (consts or {}).items()]
    imports = [helper.make_opsetid("", opset)]
    if any(n.domain == CUSTOM_DOMAIN for n in nodes):
        imports.append(helper.make_opsetid(CUSTOM_DOMAIN, 1))
    model = helper.make_model(helper.make_graph(nodes, "test", ins, outs, inits), opset_imports=imports,
                              producer_name=producer)
    model.ir_version = 8
    if untyped:
        model = IrGraph(model).to_model()
    return model


def run_rule(rule, ir, nodes, quant_tab=None):
    """Calls `rule` on the matched nodes and applies its (remove, add) result to `ir`."""
    result = rule(ir, list(nodes)) if quant_tab is None else rule(ir, list(nodes), quant_tab)
    ir.apply(result)
    return result


def random_inputs(model, seed=0):
    """Random values for every graph input: normal floats, small non-negative integers, random bools."""
    rng = np.random.default_rng(seed)
    inits = {i.name for i in model.graph.initializer}
    feeds = {}
    for vi in model.graph.input:
        if vi.name in inits:
            continue
        t = vi.type.tensor_type
        shape = [d.dim_value if d.HasField("dim_value") else 1 for d in t.shape.dim]
        dtype = np.dtype(helper.tensor_dtype_to_np_dtype(t.elem_type))
        if np.issubdtype(dtype, np.floating):
            feeds[vi.name] = rng.standard_normal(shape).astype(dtype)
        elif dtype == np.bool_:
            feeds[vi.name] = rng.random(shape) < 0.5
        else:
            feeds[vi.name] = rng.integers(0, 3, size=shape).astype(dtype)
    return feeds


def run_model(model, feeds):
    """Outputs of `model` (custom operators lowered) in ONNX Runtime, by output name.

    Failures come as exceptions; ONNX Runtime's own error log stays quiet.
    """
    import onnxruntime as ort
    lowered, unsupported = lower_custom_ops(model)
    if unsupported:
        raise RuntimeError("custom operators %s have no standard equivalent" % unsupported)
    options = ort.SessionOptions()
    options.log_severity_level = 4
    options.graph_optimization_level = ort.GraphOptimizationLevel.ORT_DISABLE_ALL
    session = ort.InferenceSession(lowered.SerializeToString(), options, providers=["CPUExecutionProvider"])
    names = [o.name for o in session.get_outputs()]
    return dict(zip(names, session.run(names, feeds)))


def assert_equivalent(before, after, rtol=1e-4, atol=1e-5, seed=0, feeds=None):
    """`after` passes the checker and gives the outputs of `before` on the same random inputs."""
    onnx.checker.check_model(after)
    feeds = random_inputs(before, seed) if feeds is None else feeds
    want = run_model(before, feeds)
    got = run_model(after, feeds)
    for name, value in want.items():
        assert name in got, "output '%s' is missing after the rewrite" % name
        assert got[name].shape == value.shape, "output '%s': shape %s, expected %s" % (
            name, got[name].shape, value.shape)
        np.testing.assert_allclose(got[name], value, rtol=rtol, atol=atol, err_msg="output '%s'" % name)


def peak_error(got, want):
    """The largest absolute difference of `got` from `want`, relative to the largest magnitude in `want`."""
    want = np.asarray(want, dtype=np.float64)
    peak = float(np.abs(want).max(initial=0.0)) or 1.0
    return float(np.abs(np.asarray(got, dtype=np.float64) - want).max(initial=0.0)) / peak


def check_export(path, reference=None, tolerance=1e-4):
    """Converts the model at `path` with the default tables as the command line does, and checks what a
    user relies on. Returns a dict of figures whose "problems" lists what failed (empty when all holds):
    the conversion and the write raise nothing; the output passes the ONNX checker; in ONNX Runtime its
    outputs are within `tolerance` of each output's peak of the original's, and of the reference outputs
    in `reference` (an .npz holding `input` and `output`, as tools/export-models writes); every tensor has
    a static shape after preparation; no rule call was rolled back."""
    import tempfile
    import time
    from pathlib import Path

    from vexo.convert import convert, load_model, write_model_atomically
    original = load_model(path)
    figures = {"model": Path(path).stem, "nodes_before": len(original.graph.node), "problems": []}
    problems = figures["problems"]
    start = time.perf_counter()
    try:
        ir, report, _ = convert(original, source=str(path))
        converted = ir.to_model()
        with tempfile.TemporaryDirectory() as out:
            write_model_atomically(converted, Path(out) / "converted.onnx")
    except Exception as exc:  # noqa: BLE001 - any failure is what the caller wants to see
        problems.append("conversion failed: %s" % exc)
        return figures
    figures["seconds"] = time.perf_counter() - start
    figures.update(nodes_after=len(converted.graph.node), off_rank_before=sum(report.off_rank_before.values()),
                   off_rank_after=sum(report.off_rank_after.values()))
    try:
        onnx.checker.check_model(converted)
    except onnx.checker.ValidationError as exc:
        problems.append("the ONNX checker refuses the output: %s" % str(exc).splitlines()[0])
    feeds = random_inputs(original)
    if reference is not None:
        ref = np.load(reference)
        feeds = {original.graph.input[0].name: ref["input"]}
    want, got = run_model(original, feeds), run_model(converted, feeds)
    figures["vs_original"] = max(peak_error(got[name], value) for name, value in want.items())
    if reference is not None:
        figures["vs_reference"] = peak_error(got[original.graph.output[0].name], ref["output"])
    for against in ("vs_original", "vs_reference"):
        if figures.get(against, 0.0) > tolerance:
            problems.append("outputs differ %s by %.3g of the peak" % (against.replace("_", " "), figures[against]))
    if report.unknown_shapes:
        problems.append("%d tensors of unknown shape after preparation" % len(report.unknown_shapes))
    if report.failures:
        problems.append("%d rule calls rolled back, the first: %s" % (len(report.failures), report.failures[0].line()))
    return figures
