"""A second host, written only from the call-site contracts the rules rely on.

It shares no code with vexo.api: plain lists for node ports, a dict of shapes,
a builder that records every call and invents names of its own, a logger whose
`e` returns normally. Tests install it into the rule module's namespace (the
module looks its host names up at call time) to check that the rules rely on
nothing beyond the contracts, and that the exact argument forms reach the host.
"""
import types

import numpy as np


class Node:
    def __init__(self, op_type, inputs, outputs, name=None, **attrs):
        self.op_type = op_type
        self.name = name or op_type.lower()
        self.input = list(inputs)
        self.output = list(outputs)
        self.attrs = dict(attrs)

    def __repr__(self):
        return "Node(%s %s)" % (self.op_type, self.name)


class Ir:
    """Shapes, types and constants in plain dicts; every call is recorded in `calls`."""

    def __init__(self, nodes=(), shapes=None, dtypes=None, consts=None, inputs=(), outputs=(), **config):
        self.node_list = list(nodes)
        self.shapes = dict(shapes or {})
        self.dtypes = dict(dtypes or {})
        self.const_values = {k: np.asarray(v) for k, v in (consts or {}).items()}
        for k, v in self.const_values.items():
            self.shapes.setdefault(k, list(v.shape))
        self.inputs = list(inputs)
        self.outputs = list(outputs)
        self.dynamic_shapes = config.get("dynamic_shapes", False)
        self.unsqueeze_2d_mode = config.get("unsqueeze_2d_mode", "AB11")
        self.npu_target = config.get("npu_target", "")
        self.weights_for_align = []
        self.model = types.SimpleNamespace(producer_name=config.get("producer_name", ""))
        self.calls = []

    @property
    def consts(self):
        return set(self.const_values)

    def writes(self):
        return [c for c in self.calls if c[0].startswith("set_")]

    def get_shape(self, name):
        self.calls.append(("get_shape", name))
        shape = self.shapes.get(name)
        return None if shape is None else list(shape)

    def get_dtype(self, name):
        return self.dtypes.get(name, np.float32 if name in self.shapes else None)

    def get_const(self, name):
        return self.const_values.get(name)

    def set_const(self, name, value):
        self.calls.append(("set_const", name, np.array(value)))
        self.const_values[name] = np.array(value)
        self.shapes[name] = list(np.shape(value))

    def set_shape(self, name, shape, dtype=None):
        self.calls.append(("set_shape", name, list(shape), dtype))
        if name in self.const_values:
            self.const_values[name] = self.const_values[name].reshape(shape)
        self.shapes[name] = list(shape)

    def get_attr(self, node, name, default=None):
        return node.attrs.get(name, default)

    def set_attr(self, node, name, value):
        self.calls.append(("set_attr", node.name, name, value))
        node.attrs[name] = value

    def is_invalid(self, name):
        return name == ""

    def opset_version(self):
        return 17

    def next_nodes(self, node):
        return [n for n in self.node_list if set(n.input) & set(node.output)]

    def pre_nodes(self, node):
        return [n for n in self.node_list if set(n.output) & set(node.input)]


class Graph:
    """The builder: records (op_type, inputs, keywords) and invents tensor names."""

    count = 0

    def __init__(self, ir):
        self.ir = ir
        self.nodes = []
        self.ops = []

    def _fresh(self):
        Graph.count += 1
        return "fresh%d" % Graph.count

    def op(self, op_type, *inputs, **kwargs):
        self.ops.append((op_type, inputs, kwargs))
        names, invented = [], None
        for value in inputs:
            if value is None:
                invented = invented or self._fresh()
                names.append(invented)
            elif isinstance(value, str):
                names.append(value)
            else:
                const = self._fresh()
                self.ir.const_values[const] = np.asarray(value)
                names.append(const)
        outputs = kwargs.get("outputs")
        outs = [self._fresh()] if outputs is None else ([outputs] if isinstance(outputs, str) else list(outputs))
        self.nodes.append(Node(op_type, names, outs, kwargs.get("name") or self._fresh()))
        return invented if outputs is not None and invented else outs[0]


class Log:
    """A logger whose `e` does not raise: the rule itself must stop."""

    messages = []

    @classmethod
    def e(cls, message):
        cls.messages.append(("e", message))

    @classmethod
    def w(cls, message):
        cls.messages.append(("w", message))


def get_reduce_axes(ir, node):
    return list(node.attrs["axes"])


def set_reduce_axes(ir, node, axes):
    ir.set_attr(node, "axes", list(axes))


def node_name_join(ir, base, suffix):
    return base + suffix + "_free"


def oper_name_join(ir, name, suffix):
    return name + suffix + "_free"


def copy_par(quant_tab, new, existing):
    if existing in quant_tab:
        quant_tab[new] = quant_tab[existing]


def align_sub_c(ir):
    return 8


def install(monkeypatch, module):
    """Points the rule module's host names at this host."""
    for name, value in {"Graph": Graph, "vexoLog": Log, "get_reduce_axes": get_reduce_axes,
                        "set_reduce_axes": set_reduce_axes, "node_name_join": node_name_join,
                        "oper_name_join": oper_name_join, "copy_par": copy_par, "align_sub_c": align_sub_c,
                        "REDUCE_OPS": ["ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum", "ReduceL2"]}.items():
        monkeypatch.setattr(module, name, value)
    Log.messages = []
