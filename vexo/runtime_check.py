"""Models in ONNX Runtime: random inputs, outputs by name, and the check of a converted export."""
import numpy as np
import onnx
from onnx import helper

from vexo.custom_ops import lower_custom_ops


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
