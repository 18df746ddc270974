"""The model suite: both versions are valid and runnable, and prepared exporter graphs equal the clean ones."""
import subprocess
import sys
from collections import Counter

import numpy as np
import onnx
import pytest

from vexo.models import SUITE
from vexo.prepare import prepare
from vexo.runtime_check import random_inputs, run_model

SHAPE_OPS = {"Shape", "Size", "Constant", "ConstantOfShape", "Range", "Identity", "Equal", "Where", "ReduceProd"}


def dims(vi):
    return [d.dim_value if d.HasField("dim_value") else d.dim_param for d in vi.type.tensor_type.shape.dim]


@pytest.fixture(scope="module", params=sorted(SUITE))
def versions(request):
    clean, exporter = SUITE[request.param]
    return request.param, clean(), exporter()


def test_both_versions_are_valid_and_carry_what_they_promise(versions):
    name, clean, exporter = versions
    for model in (clean, exporter):
        onnx.checker.check_model(model, full_check=True)
        assert model.opset_import[0].version == 17
    ops = Counter(n.op_type for n in exporter.graph.node)
    shape_operands = any(t.data_type == onnx.TensorProto.INT64 for t in clean.graph.initializer)
    assert ops["Identity"] and bool(ops["Constant"]) == shape_operands and "Constant" not in {
        n.op_type for n in clean.graph.node}
    assert all(isinstance(d, str) for d in [dims(vi)[0] for vi in exporter.graph.input])
    assert [vi.name for vi in clean.graph.input] == [vi.name for vi in exporter.graph.input]
    assert [vi.name for vi in clean.graph.output] == [vi.name for vi in exporter.graph.output]
    feeds = random_inputs(clean)
    want, got = run_model(clean, feeds), run_model(exporter, feeds)
    for out in want:
        assert np.all(np.isfinite(want[out]))
        np.testing.assert_allclose(got[out], want[out], rtol=1e-5, atol=1e-6, err_msg=out)


def test_prepared_exporter_version_is_the_clean_graph(versions):
    name, clean, exporter = versions
    batch = dims(clean.graph.input[0])[0]
    symbol = dims(exporter.graph.input[0])[0]
    prepared, report = prepare(exporter, input_shapes=None if batch == 1 else {symbol: batch})
    onnx.checker.check_model(prepared, full_check=True)
    assert not report.dynamic_tensors and not report.not_evaluable and report.rounds <= 5
    assert Counter(n.op_type for n in prepared.graph.node) == Counter(n.op_type for n in clean.graph.node)
    assert not SHAPE_OPS & {n.op_type for n in prepared.graph.node} - {n.op_type for n in clean.graph.node}
    assert {vi.name: dims(vi) for vi in prepared.graph.output} == {vi.name: dims(vi) for vi in clean.graph.output}
    recorded = {vi.name: dims(vi) for vi in prepared.graph.value_info}
    inner = {o for n in prepared.graph.node for o in n.output} - {vi.name for vi in prepared.graph.output}
    assert set(recorded) == inner and all(d and all(isinstance(v, int) and v > 0 for v in d)
                                          for d in recorded.values())
    feeds = random_inputs(clean)
    want, got = run_model(clean, feeds), run_model(prepared, feeds)
    for out in want:
        np.testing.assert_allclose(got[out], want[out], rtol=1e-5, atol=1e-6, err_msg=out)


def test_clean_versions_pass_through_unchanged(versions):
    name, clean, _ = versions
    prepared, report = prepare(clean)
    assert not report.folded and not report.identities_removed and not report.inputs_made_static
    assert [n.SerializeToString() for n in prepared.graph.node] == [n.SerializeToString() for n in clean.graph.node]


def test_module_writes_the_suite(tmp_path):
    done = subprocess.run([sys.executable, "-m", "vexo.models", str(tmp_path)], capture_output=True, text=True,
                          check=True)
    written = sorted(p.name for p in tmp_path.iterdir())
    assert written == sorted(n + s + ".onnx" for n in SUITE for s in ("", "_exporter"))
    assert len(done.stdout.split()) == 2 * len(SUITE)
    assert onnx.load(str(tmp_path / "nhwc_tf_exporter.onnx")).producer_name == "tf2onnx"
    bad = subprocess.run([sys.executable, "-m", "vexo.models"], capture_output=True, text=True)
    assert bad.returncode == 2 and "usage" in bad.stderr
