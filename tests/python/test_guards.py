"""Patterns the rules would rewrite into something else: the converter normalises them or a guard keeps
them from the rule, the report says which, and the result computes what the original did. Repair finds a
planted wrong rewrite and converts without it."""
import numpy as np
import pytest
from onnx import helper

from vexo.convert import ConversionError, convert, convert_model, verify
from vexo.repair import repair
from vexo.testing import make_model

node = helper.make_node
F = np.float32


def case(nodes, inputs, outputs, consts=None, **options):
    return make_model(nodes, inputs, outputs, consts=consts), options


def i64(*values):
    return np.array(values, np.int64)


def pad(shape, pads, **options):
    return case([node("Pad", ["x", "p"], ["y"])], {"x": shape}, {"y": None}, {"p": i64(*pads)}, **options)


def softmax(shape, axis):
    return case([node("Softmax", ["x"], ["y"], axis=axis)], {"x": shape}, {"y": None})


def scatter(data, indices, updates):
    return case([node("ScatterND", ["x", "i", "u"], ["y"])], {"x": data}, {"y": None},
                {"i": np.array(indices, np.int64), "u": np.ones(updates, F)})


def mvn(shape, axes):
    return case([node("exMeanVarianceNormalization", ["x"], ["y"], axes=axes)], {"x": shape}, {"y": None})


def layernorm(shape, mode):
    return case([node("exLayerNorm", ["x"], ["y"], normalized_shape=shape[-1:], epsilon=1e-5)], {"x": shape},
                {"y": None}, unsqueeze_2d_mode=mode)


def gmp(shape, **options):
    return case([node("GlobalMaxPool", ["x"], ["y"])], {"x": shape}, {"y": None}, **options)


def reshape_then_add(output_too):
    return case([node("Reshape", ["x", "s"], ["r"]), node("Add", ["r", "z"], ["y"])], {"x": [6], "z": [1, 6, 1, 1]},
                dict({"y": None}, **({"r": None} if output_too else {})), {"s": i64(6, 1, 1)})


def argmax_cast(output_too):
    return case([node("ArgMax", ["x"], ["i"], axis=1, keepdims=0), node("Cast", ["i"], ["y"], to=1)],
                {"x": [2, 3, 4, 5]}, dict({"y": None}, **({"i": None} if output_too else {})))


def window(channels, perm=(0, 1, 2, 4, 3, 5), batch=1):
    """A window partition of [N, C, 4, 4] into 2 x 2 windows of 2 x 2 (NCHW; window sizes first by default)."""
    return case([node("Reshape", ["x", "v"], ["r"]), node("Transpose", ["r"], ["t"], perm=list(perm)),
                 node("Reshape", ["t", "o"], ["y"])], {"x": [batch, channels, 4, 4]}, {"y": None},
                {"v": i64(batch, channels, 2, 2, 2, 2), "o": i64(batch, channels, 4, 4)})


# guard -> [(model and options, True when its rule's rewrite is not exact)]: the guard refuses exactly those.
VARIANTS = {
    "along_removed_axis": [(softmax([1, 3, 4, 2, 6], 0), True), (softmax([1, 3, 4, 2, 6], 1), False),
                           (softmax([1, 3, 4, 2, 1], 0), False)],  # the axis it moves to has extent 1 too
    "unit_axis_from_output": [(pad([2, 3, 4, 2, 2], [0, 0, 0, 0, 0, -1, 0, 0, 0, 0]), True),
                              (pad([1, 3, 4, 2, 2], [0, 0, 0, 0, 0, 0, 0, -1, 0, 0]), False)],
    "scatternd_updates_rank": [(scatter([1, 4, 3, 2, 2], [[[0, 1, 2, 0, 1], [0, 3, 0, 1, 0]]], [1, 2]), True),
                               (scatter([1, 4, 3, 2, 2], [[[0, 1], [0, 3]]], [1, 2, 3, 2, 2]), False),
                               (scatter([2, 1, 3, 2, 2], [[1, 0], [0, 0]], [2, 3, 2, 2]), True),  # axis 1 kept
                               (scatter([2, 1, 3, 2, 2], [[[1, 0]], [[0, 0]]], [2, 1, 3, 2, 2]), False)],
    "scatternd_index_layout": [(scatter([4, 3, 2], [[1, 2, 0], [3, 0, 1]], [2]), True),
                               (scatter([4, 3, 2], [[[[1, 2, 0], [3, 0, 1]]]], [1, 1, 2]), False)],
    "mvn_axes_off_layout": [(mvn([2, 3, 4], [0, 2]), True), (mvn([5], [0]), True), (mvn([2, 3, 4], [0, 1]), False),
                            (mvn([2, 3, 1], [0, 2]), False), (mvn([2, 3], [0, 1]), False)],
    "layernorm_block_grows": [(layernorm([3, 4], "11AB"), True), (layernorm([1, 4], "11AB"), False),
                              (layernorm([3, 4], "AB11"), False), (layernorm([3, 4], "1A1B"), False)],
    "global_maxpool_layout": [(gmp([4, 2, 3]), True), (gmp([3, 2, 3]), True), (gmp([2, 5, 3]), False),
                              (gmp([3, 3, 3]), False), (gmp([4, 1, 3]), False),
                              (gmp([4, 2, 3], dynamic_shapes=True), False)],
    "middle_axis_widened": [(pad([2, 1, 5], [0, 1, 0, 0, 1, 0]), True), (pad([2, 1, 5], [0, 0, 1, 0, 0, 1]), False),
                            (pad([2, 1, 5], [0, 1, 0, 0, 1, 0], dynamic_shapes=True), False),
                            (case([node("Pow", ["x", "e"], ["y"])], {"x": [2, 1, 5]}, {"y": None},
                                  {"e": np.full([3, 1], 2.0, F)}), True)],
    "reducel2_scalar": [(case([node("ReduceL2", ["x"], ["y"], keepdims=k)], {"x": [1, 2, 3, 4]}, {"y": None}), k == 0)
                        for k in (0, 1)],
    "reshape_output_is_graph_output": [(reshape_then_add(True), True), (reshape_then_add(False), False)],
    "argreduce_chain_output": [(argmax_cast(True), True), (argmax_cast(False), False)],
    # The channel extent 2 equals the window count: the fusion would look for the window from axis 1.
    "window_elsewhere": [(window(2), True), (window(3), False), (window(2, (0, 1, 3, 5, 2, 4)), True),
                         (window(3, (0, 1, 3, 5, 2, 4)), False), (window(3, (1, 0, 2, 4, 3, 5), batch=5), True),
                         (window(3, (1, 0, 2, 4, 3, 5)), False)],  # moving a unit axis reorders nothing
}


def exact(ir, report, original):
    return not report.failures and verify(original, ir.to_model())[2] is True


@pytest.mark.parametrize("guard,k", [(g, k) for g, variants in sorted(VARIANTS.items()) for k in range(len(variants))])
def test_a_guard_refuses_exactly_the_matches_its_rule_would_break(guard, k):
    (model, options), unsafe = VARIANTS[guard][k]
    ir, report, original = convert(model, **options)
    assert (guard in {d.guard for d in report.declines}) == unsafe
    assert (guard in "\n".join(report.lines())) == (guard in str(report.to_json()["guarded"])) == unsafe
    assert exact(ir, report, original)
    assert exact(*convert(model, use_guards=False, **options)) != unsafe


def test_the_html_report_lists_guarded_calls_and_the_repair(tmp_path):
    (model, options), _ = VARIANTS["global_maxpool_layout"][0]
    _, report = convert_model(model, repair=True, html=tmp_path / "r.html", **options)
    page = (tmp_path / "r.html").read_text()
    assert report.verified and "global_maxpool_layout" in page and "puts a pooled axis on the channels" in page
    assert "0 culprit(s)" in page


def test_negative_axes_are_written_non_negative_so_the_squeeze_rule_refuses_the_removed_axis():
    # -5 names the unit axis 0 the 5-D ReduceSum loses.
    model, _ = case([node("ReduceSum", ["x", "a"], ["y"])], {"x": [1, 3, 4, 2, 2]}, {"y": None}, {"a": i64(-5)})
    ir, report, original = convert(model)
    assert report.normalised["negative axes"] == 1 and not report.fired["squeeze_to_4d_reducesum"]
    assert exact(ir, report, original)


def test_two_dimensional_modes_written_for_rank_3_are_refused():
    model, _ = layernorm([3, 4], "AB11")
    with pytest.raises(ConversionError, match="'AC1B' is not a layout of two-dimensional operators"):
        convert(model, unsqueeze_2d_mode="AC1B")


def steeper_slope(ir, nodes, quant_tab={}):
    ir.set_attr(nodes[0], "alpha", 0.5)  # changes what a LeakyRelu of negative inputs computes
    return [], []


PLANTED = {"planted": {"steeper_slope": {"ops": ["LeakyRelu"], "proc": steeper_slope}}}


def test_repair_finds_planted_wrong_rewrites_and_converts_without_them():
    nodes = [node("Tanh", ["x"], ["a"], name="tanh"), node("LeakyRelu", ["a"], ["b"], name="bad1", alpha=0.1),
             node("Tanh", ["b"], ["c"], name="tanh2"), node("LeakyRelu", ["c"], ["d"], name="bad2", alpha=0.1),
             node("Sigmoid", ["d"], ["e"], name="sig"), node("LeakyRelu", ["e"], ["y"], name="harmless", alpha=0.1)]
    model = make_model(nodes, {"x": [1, 8, 5]}, {"y": None})
    plain, plain_report, original = convert(model, extra_tables=PLANTED)
    assert verify(original, plain.to_model())[2] is False
    ir, report, original, ok = repair(model, extra_tables=PLANTED)
    assert ok and [(c.entry, c.node) for c in report.repair.culprits] == [("steeper_slope", "bad1"),
                                                                         ("steeper_slope", "bad2")]
    assert min(c.max_abs for c in report.repair.culprits) > 1e-3 and report.fired["steeper_slope"] == 1
    assert ir.get_attr(ir.node("bad1"), "alpha") == pytest.approx(0.1) and report.off_rank_after == {}
    assert "left out: planted/steeper_slope on node 'bad2'" in "\n".join(report.lines())
    # Two searches over at most 10 calls and the conversions without each culprit.
    assert report.repair.conversions == report.repair.verifications <= 1 + 2 * (4 + 1)
    _, report, _, ok = repair(model, max_culprits=1, extra_tables=PLANTED)
    assert ok is False and len(report.repair.culprits) == 1 and "stopped" in report.repair.note


def test_repair_tells_when_the_outputs_differ_without_any_rule_call(monkeypatch):
    monkeypatch.setattr("vexo.repair.verify", lambda original, converted: ({}, "outputs DIFFER", False))
    _, report, _, ok = repair(make_model([node("Relu", ["x"], ["y"])], {"x": [1, 8, 5]}, {"y": None}))
    assert ok is False and not report.repair.culprits and "not a rule's doing" in report.repair.note


@pytest.mark.parametrize("answer,refused", [("keeps the axis", True), ("", False), (False, False), (None, False)])
def test_a_guard_written_in_python_refuses_only_with_a_reason(monkeypatch, answer, refused):
    from vexo import guards
    registered = {rule: list(found) for rule, found in guards.GUARDS.items()}
    monkeypatch.setattr(guards, "GUARDS", guards.collections.defaultdict(list, registered))
    guards.guard("_p_unsqueeze_to_4d", "Softmax")(lambda ir, chain: answer)
    (model, options) = softmax([2, 3, 4], 2)
    _, report, _ = convert(model, **options)
    assert bool(report.declines) == refused and bool(report.applied) != refused
