"""Every suite model converts, passes the checker and stays equivalent; exporter versions behave like clean ones."""
import onnx
import pytest

from vexo.convert import convert, verify
from vexo.models import SUITE

# Operators left on tensors of rank other than 4 after conversion, by model (none).
LEFT_OFF_RANK = {}


def converted(name, version):
    build = SUITE[name][0 if version == "clean" else 1]
    ir, report, original = convert(build(), source=name)
    model = ir.to_model()
    onnx.checker.check_model(model)
    return report, original, model


@pytest.mark.parametrize("name", sorted(SUITE))
def test_suite_model_converts_equivalently(name):
    results = {}
    for version in ("clean", "exporter"):
        report, original, model = converted(name, version)
        errors, note, ok = verify(original, model)
        assert ok, "%s (%s): %s %s" % (name, version, note, errors)
        assert not report.failures, [f.line() for f in report.failures]
        assert sum(report.off_rank_after.values()) == LEFT_OFF_RANK.get(name, 0), report.off_rank_left
        assert sum(report.off_rank_before.values()) >= sum(report.off_rank_after.values())
        results[version] = (report.nodes_after, dict(report.off_rank_after), dict(report.ops_after))
    assert results["clean"] == results["exporter"]


def test_untabled_rules_run_on_request():
    ir, report, original = convert(SUITE["nhwc_tf"][0](), extra_rules="tf_nhwc_to_nchw")
    assert report.fired["tf_nhwc_to_nchw"] > 0 and not report.failures
    assert verify(original, ir.to_model())[2]


def test_reductions_are_lowered_where_the_rules_apply():
    report = converted("reduction_mix", "clean")[0]
    assert report.ops_before["ReduceL2"] == 1 and report.ops_after["ReduceL2"] == 0
    assert report.ops_after["ReduceSum"] < report.ops_before["ReduceSum"]
    assert report.fired["convert_reduce_sum_to_conv"] >= 1
