"""What the rule tests share: small IR graphs, a rule called on named nodes, and the two outcomes a call may
have (a rewrite that computes what the graph computed, or a refusal that writes nothing)."""
import numpy as np
import pytest
from onnx import helper

from vexo.api.ir_graph import IrGraph
from vexo.api.vexo_log import VexoError
from vexo.testing import assert_equivalent, make_model, run_rule

RNG = np.random.default_rng(1)


def i64(*values):
    return np.array(values, np.int64)


def f32(*shape):
    return RNG.standard_normal(shape).astype(np.float32)


def node(op, ins, outs, name=None, **attrs):
    """A node named after its op type unless told otherwise."""
    return helper.make_node(op, ins, outs, name=op.lower() if name is None else name, **attrs)


def graph(nodes, inputs, outputs=None, consts=None, opset=17, **config):
    """An IrGraph of one node or a list of them; the outputs default to the last node's, typed by inference."""
    nodes = nodes if isinstance(nodes, list) else [nodes]
    outputs = outputs or {o: None for o in nodes[-1].output}
    return IrGraph(make_model(nodes, inputs, outputs, consts, opset=opset), **config)


def rewrite(rule, ir, *names, quant_tab=None):
    """Runs `rule` on the named nodes and checks in ONNX Runtime that the graph still computes the same."""
    before = ir.to_model()
    result = run_rule(rule, ir, [ir.node(n) for n in names], quant_tab)
    assert_equivalent(before, ir.to_model())
    return result


def refused(rule, ir, *names):
    """The rule declines the named nodes and writes nothing."""
    changes = ir.changes
    assert rule(ir, [ir.node(n) for n in names]) == ([], [])
    assert ir.changes == changes


def message_of(rule, ir, name):
    """The message of the VexoError the rule raises on node `name`."""
    with pytest.raises(VexoError) as err:
        rule(ir, [ir.node(name)])
    return err.value.message
