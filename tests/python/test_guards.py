"""Patterns the rules would rewrite into something else: the converter normalises them or a guard keeps
them from the rule, the report says which, and the result computes what the original did. Repair finds a
planted wrong rewrite and converts without it."""
import numpy as np
import pytest
from onnx import helper

from vexo.convert import ConversionError, convert, verify
from vexo.repair import repair
from vexo.testing import make_model

node = helper.make_node
F = np.float32


def case(nodes, inputs, outputs, consts=None, **options):
    return make_model(nodes, inputs, outputs, consts=consts), options


CASES = {
    # -5 names the unit axis 0 the 5-D ReduceSum loses: written 0, the squeeze rule refuses it.
    "negative axes": case([node("ReduceSum", ["x", "a"], ["y"])], {"x": [1, 3, 4, 2, 2]}, {"y": None},
                          {"a": np.array([-5], np.int64)}),
    "along_removed_axis": case([node("Softmax", ["x"], ["y"], axis=0)], {"x": [1, 3, 4, 2, 6]}, {"y": None}),
    "unit_axis_from_output": case([node("Pad", ["x", "p"], ["y"])], {"x": [2, 3, 4, 2, 2]}, {"y": None},
                                  {"p": np.array([0, 0, 0, 0, 0, -1, 0, 0, 0, 0], np.int64)}),
    "scatternd_updates_rank": case([node("ScatterND", ["x", "i", "u"], ["y"])], {"x": [1, 4, 3, 2, 2], "u": [1, 2]},
                                   {"y": None}, {"i": np.array([[[0, 1, 2, 0, 1], [0, 3, 0, 1, 0]]], np.int64)}),
    "scatternd_index_layout": case([node("ScatterND", ["x", "i", "u"], ["y"])], {"x": [4, 3, 2]}, {"y": None},
                                   {"i": np.array([[1, 2, 0], [3, 0, 1]], np.int64), "u": np.ones(2, F)}),
    "mvn_axes_off_layout": case([node("exMeanVarianceNormalization", ["x"], ["y"], axes=[0, 2])], {"x": [2, 3, 4]},
                                {"y": None}),
    "layernorm_block_grows": case([node("exLayerNorm", ["x"], ["y"], normalized_shape=[4], epsilon=1e-5)],
                                  {"x": [3, 4]}, {"y": None}, unsqueeze_2d_mode="11AB"),
    "global_maxpool_layout": case([node("GlobalMaxPool", ["x"], ["y"])], {"x": [4, 2, 3]}, {"y": None}),
    "middle_axis_widened": case([node("Pad", ["x", "p"], ["a"]), node("Pow", ["x", "e"], ["b"])], {"x": [2, 1, 5]},
                                {"a": None, "b": None},
                                {"p": np.array([0, 1, 0, 0, 1, 0], np.int64), "e": np.full([3, 1], 2.0, F)}),
    "reducel2_scalar": case([node("ReduceL2", ["x"], ["y"], keepdims=0)], {"x": [1, 2, 3, 4]}, {"y": None}),
    "reshape_output_is_graph_output": case([node("Reshape", ["x", "s"], ["r"]), node("Add", ["r", "z"], ["y"])],
                                           {"x": [6], "z": [1, 6, 1, 1]}, {"r": None, "y": None},
                                           {"s": np.array([6, 1, 1], np.int64)}),
    "argreduce_chain_output": case([node("ArgMax", ["x"], ["i"], axis=1, keepdims=0),
                                    node("Cast", ["i"], ["y"], to=1)], {"x": [2, 3, 4, 5]}, {"i": None, "y": None}),
    # The channel extent 2 equals the window count: the fusion would look for the window from axis 1.
    "window_elsewhere": case([node("Reshape", ["x", "v"], ["r"]), node("Transpose", ["r"], ["t"], perm=[0, 1, 2, 4, 3, 5]),
                              node("Reshape", ["t", "o"], ["y"])], {"x": [1, 2, 4, 4]}, {"y": None},
                             {"v": np.array([1, 2, 2, 2, 2, 2], np.int64), "o": np.array([1, 2, 4, 4], np.int64)}),
}


@pytest.mark.parametrize("name", sorted(CASES))
def test_unsafe_patterns_are_normalised_or_guarded(name):
    model, options = CASES[name]
    ir, report, original = convert(model, **options)
    if name == "negative axes":
        assert report.normalised["negative axes"] == 1 and not report.fired["squeeze_to_4d_reducesum"]
    else:
        assert name in {d.guard for d in report.declines}
        assert any(name in line for line in report.lines())
    assert not report.failures
    assert verify(original, ir.to_model())[2]


def test_two_dimensional_modes_written_for_rank_3_are_refused():
    model, _ = CASES["layernorm_block_grows"]
    with pytest.raises(ConversionError, match="'AC1B' is not a layout of two-dimensional operators"):
        convert(model, unsqueeze_2d_mode="AC1B")


def test_repair_finds_a_planted_wrong_rewrite_and_converts_without_it():
    def steeper_slope(ir, nodes, quant_tab={}):
        ir.set_attr(nodes[0], "alpha", 0.5)  # changes what a LeakyRelu of negative inputs computes
        return [], []
    nodes = [node("Tanh", ["x"], ["a"], name="tanh"), node("LeakyRelu", ["a"], ["b"], name="bad", alpha=0.1),
             node("Sigmoid", ["b"], ["c"], name="sig"), node("LeakyRelu", ["c"], ["y"], name="harmless", alpha=0.1)]
    model = make_model(nodes, {"x": [1, 8, 5]}, {"y": None})
    planted = {"planted": {"steeper_slope": {"ops": ["LeakyRelu"], "proc": steeper_slope}}}
    plain, _, original = convert(model, extra_tables=planted)
    assert verify(original, plain.to_model())[2] is False
    ir, report, original, ok = repair(model, extra_tables=planted)
    assert ok and [(c.entry, c.node) for c in report.repair.culprits] == [("steeper_slope", "bad")]
    assert report.repair.culprits[0].max_abs > 0.01 and report.fired["steeper_slope"] == 1
    assert ir.get_attr(ir.node("bad"), "alpha") == pytest.approx(0.1) and report.off_rank_after == {}
    assert "left out: planted/steeper_slope on node 'bad'" in "\n".join(report.lines())
