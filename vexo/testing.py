"""Test toolkit: small models, running a rule, and numerical equivalence in ONNX Runtime."""
import numpy as np
import onnx
from onnx import helper, numpy_helper

from vexo.api.ir_graph import CUSTOM_DOMAIN, IrGraph, is_custom_op
from vexo.runtime_check import random_inputs, run_model  # noqa: F401 - the tests' toolkit offers them too


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


def assert_equivalent(before, after, rtol=1e-4, atol=1e-5, seed=0, feeds=None):
    """`after` passes the checker and gives the outputs of `before` on the same random inputs."""
    onnx.checker.check_model(after)
    feeds = random_inputs(before, seed) if feeds is None else feeds
    want = run_model(before, feeds)
    got = run_model(after, feeds)
    for name, value in want.items():
        assert name in got, "output '%s' is missing after the rewrite" % name
        assert (got[name].shape, got[name].dtype) == (value.shape, value.dtype), "output '%s': %s %s, expected %s %s" % (
            name, got[name].dtype, got[name].shape, value.dtype, value.shape)
        np.testing.assert_allclose(got[name], value, rtol=rtol, atol=atol, err_msg="output '%s'" % name)
