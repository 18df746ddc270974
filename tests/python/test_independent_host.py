"""The rules against a second host written only from the call-site contracts."""
import numpy as np
import pytest

import vexo.api.rules.dims as dims

import independent_host as host


@pytest.fixture(autouse=True)
def independent(monkeypatch):
    host.install(monkeypatch, dims)


def test_reduce_l2_builds_the_exact_calls():
    node = host.Node("ReduceL2", ["x"], ["y"], name="l2", axes=[2, 3], keepdims=1)
    ir = host.Ir([node], shapes={"x": [1, 16, 8, 8], "y": [1, 16, 1, 1]})
    remove, add = dims._p_convert_reduce_L2_to_pow_sum_pow(ir, [node])
    assert remove == [node] and [n.op_type for n in add] == ["Pow", "ReduceSum", "Pow"]
    g_ops = [(n.op_type, n.name) for n in add]
    assert g_ops[1] == ("ReduceSum", "l2_2rsum")
    assert add[2].output == ["y"] and add[1].input[0] == add[0].output[0]


def test_an_error_ends_the_rule_even_when_the_logger_returns():
    node = host.Node("exSoftmax13", ["x"], ["y"], name="sm", axis=2)
    ir = host.Ir([node], shapes={"x": [1, 8, 16, 16], "y": [1, 8, 16, 16]})
    remove, add = dims._p_fix_softmax_axis(ir, [node])
    assert remove == [node] and [n.op_type for n in add] == ["Reshape", "exSoftmax13", "Reshape"]


def test_wrong_types_from_the_host_are_type_errors():
    node = host.Node("ReduceL2", ["x"], ["y"], name="l2", axes=[2, 3], keepdims=1)
    class BadIr(host.Ir):
        def get_shape(self, name):
            return self.shapes[name]
    for bad in ("1x16x8x8", [1, "16", 8, 8], 3.5, 7, {"a": 1}, [1.5, 2]):  # a number is no shape, even a whole one
        ir = BadIr([node], shapes={"x": bad, "y": [1]})
        with pytest.raises(TypeError, match="tensor 'x'"):
            dims._p_convert_reduce_L2_to_pow_sum_pow(ir, [node])


def test_wrong_node_lists_are_index_or_type_errors():
    ir = host.Ir()
    with pytest.raises(IndexError, match="_p_convert_reduce_L2_to_pow_sum_pow"):
        dims._p_convert_reduce_L2_to_pow_sum_pow(ir, [])
    with pytest.raises(TypeError):
        dims._p_convert_reduce_L2_to_pow_sum_pow(ir, None)
    with pytest.raises(TypeError):
        dims._p_convert_reduce_L2_to_pow_sum_pow(ir, [None])
