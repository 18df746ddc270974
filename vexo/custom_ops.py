"""Standard-operator equivalents of the converter's custom `ex*` operators.

ONNX Runtime does not know the NPU's custom operators. To check a converted
model numerically, each custom node is replaced by standard nodes computing
the same thing:

* exSoftmax13(axis): Softmax with opset-13 semantics (one axis).
* exLayerNorm(normalized_shape, epsilon): normalisation over the last
  len(normalized_shape) axes, then the optional scale and bias inputs.
* exMeanVarianceNormalization(axes): MeanVarianceNormalization.
* exGelu: 0.5 x (1 + erf(x / sqrt 2)); exSwish(alpha): x sigmoid(alpha x);
  exMish: x tanh(softplus(x)).
* exDataConvert: identity (it changes the number format, not the values).
* exWindow(mode, window_sizes [wh, ww], num_windows [nh, nw]) on [N, C, H, W]:
  "partition": viewed [N, C, nh, wh, nw, ww], transposed to
  [N, C, nh, nw, wh, ww], output [N, C, nh*nw, wh*ww];
  "reverse": viewed [N, C, nh, nw, wh, ww], transposed to
  [N, C, nh, wh, nw, ww], output [N, C, nh*wh, nw*ww];
  "partition_num_first": viewed [N, C, wh, nh, ww, nw], transposed to
  [N, C, nh, nw, wh, ww], output [N, C, nh*nw, wh*ww].

A custom operator without an equivalent here is reported by name, so that a
check can say what it could not verify.
"""
import numpy as np
import onnx
from onnx import helper, numpy_helper

SUPPORTED = {"exSoftmax13", "exLayerNorm", "exMeanVarianceNormalization", "exGelu", "exSwish", "exMish",
             "exDataConvert", "exWindow"}


class _Lowering:
    def __init__(self, model):
        self.opset = next((op.version for op in model.opset_import if op.domain in ("", "ai.onnx")), 17)
        self.names = {t for n in model.graph.node for t in list(n.input) + list(n.output)}
        self.names |= {i.name for i in model.graph.initializer} | {n.name for n in model.graph.node}
        self.inits = []
        self.counter = 0

    def fresh(self, base):
        while True:
            self.counter += 1
            name = "%s__std%d" % (base, self.counter)
            if name not in self.names:
                self.names.add(name)
                return name

    def const(self, base, value):
        name = self.fresh(base)
        self.inits.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    def reduce(self, op, x, axes, out, base):
        if self.opset >= 18 or (op == "ReduceSum" and self.opset >= 13):
            return helper.make_node(op, [x, self.const(base + "_axes", np.array(axes, np.int64))], [out],
                                    keepdims=1)
        return helper.make_node(op, [x], [out], axes=list(axes), keepdims=1)

    def softmax(self, node, attrs):
        x, y, base = node.input[0], node.output[0], node.name or node.output[0]
        axis = attrs.get("axis", -1)
        if self.opset >= 13:
            return [helper.make_node("Softmax", [x], [y], axis=axis)]
        m, d, e, s = (self.fresh(base) for _ in range(4))
        return [self.reduce("ReduceMax", x, [axis], m, base), helper.make_node("Sub", [x, m], [d]),
                helper.make_node("Exp", [d], [e]), self.reduce("ReduceSum", e, [axis], s, base),
                helper.make_node("Div", [e, s], [y])]

    def layer_norm(self, node, attrs):
        base = node.name or node.output[0]
        k = len(attrs.get("normalized_shape", [1]))
        axes = list(range(-k, 0))  # the last k axes, whatever the rank and whether or not it is recorded
        eps = attrs.get("epsilon", 1e-5)
        x = node.input[0]
        mean, d, sq, var, ve, std, y = (self.fresh(base) for _ in range(7))
        nodes = [self.reduce("ReduceMean", x, axes, mean, base), helper.make_node("Sub", [x, mean], [d]),
                 helper.make_node("Mul", [d, d], [sq]), self.reduce("ReduceMean", sq, axes, var, base),
                 helper.make_node("Add", [var, self.const(base + "_eps", np.array(eps, np.float32))], [ve]),
                 helper.make_node("Sqrt", [ve], [std])]
        extra = [t for t in node.input[1:3] if t]
        last = node.output[0] if not extra else y
        nodes.append(helper.make_node("Div", [d, std], [last]))
        for i, t in enumerate(extra):
            out = node.output[0] if i == len(extra) - 1 else self.fresh(base)
            nodes.append(helper.make_node("Mul" if i == 0 else "Add", [last, t], [out]))
            last = out
        return nodes

    def window(self, node, attrs):
        base = node.name or node.output[0]
        wh, ww = attrs["window_sizes"]
        nh, nw = attrs["num_windows"]
        mode = attrs["mode"]
        if mode == "reverse":
            view, out = [0, 0, nh, nw, wh, ww], [0, 0, nh * wh, nw * ww]
        elif mode == "partition_num_first":
            view, out = [0, 0, wh, nh, ww, nw], [0, 0, nh * nw, wh * ww]
        else:
            view, out = [0, 0, nh, wh, nw, ww], [0, 0, nh * nw, wh * ww]
        perm = {"partition": [0, 1, 2, 4, 3, 5], "reverse": [0, 1, 2, 4, 3, 5],
                "partition_num_first": [0, 1, 3, 5, 2, 4]}[mode]
        v, t = self.fresh(base), self.fresh(base)
        return [helper.make_node("Reshape", [node.input[0], self.const(base + "_view", np.array(view, np.int64))],
                                 [v]),
                helper.make_node("Transpose", [v], [t], perm=perm),
                helper.make_node("Reshape", [t, self.const(base + "_out", np.array(out, np.int64))],
                                 [node.output[0]])]

    def lower(self, node):
        attrs = {a.name: helper.get_attribute_value(a) for a in node.attribute}
        attrs = {k: (v.decode() if isinstance(v, bytes) else v) for k, v in attrs.items()}
        x, y, base = node.input[0], node.output[0], node.name or node.output[0]
        op = node.op_type
        if op == "exSoftmax13":
            return self.softmax(node, attrs)
        if op == "exLayerNorm":
            return self.layer_norm(node, attrs)
        if op == "exMeanVarianceNormalization":
            return [helper.make_node("MeanVarianceNormalization", [x], [y], **attrs)]
        if op == "exDataConvert":
            return [helper.make_node("Identity", [x], [y])]
        if op == "exGelu":
            a, b, c, d = (self.fresh(base) for _ in range(4))
            return [helper.make_node("Div", [x, self.const(base + "_s2", np.array(np.sqrt(2), np.float32))], [a]),
                    helper.make_node("Erf", [a], [b]),
                    helper.make_node("Add", [b, self.const(base + "_one", np.array(1, np.float32))], [c]),
                    helper.make_node("Mul", [x, c], [d]),
                    helper.make_node("Mul", [d, self.const(base + "_half", np.array(.5, np.float32))], [y])]
        if op == "exSwish":
            a, s = self.fresh(base), self.fresh(base)
            alpha = float(attrs.get("alpha", 1.0))
            return [helper.make_node("Mul", [x, self.const(base + "_alpha", np.array(alpha, np.float32))], [a]),
                    helper.make_node("Sigmoid", [a], [s]), helper.make_node("Mul", [x, s], [y])]
        if op == "exMish":
            a, b = self.fresh(base), self.fresh(base)
            return [helper.make_node("Softplus", [x], [a]), helper.make_node("Tanh", [a], [b]),
                    helper.make_node("Mul", [x, b], [y])]
        if op == "exWindow":
            return self.window(node, attrs)
        return None


def custom_op_types(model):
    return sorted({n.op_type for n in model.graph.node if n.op_type.startswith("ex")})


def lower_custom_ops(model):
    """A copy of `model` in which every custom operator is replaced by standard ones.

    Returns (model, unsupported op types).
    """
    model = onnx.ModelProto.FromString(model.SerializeToString())
    lowering = _Lowering(model)
    nodes, unsupported = [], set()
    for node in model.graph.node:
        if not node.op_type.startswith("ex"):
            nodes.append(node)
            continue
        lowered = lowering.lower(node)
        if lowered is None:
            unsupported.add(node.op_type)
            nodes.append(node)
        else:
            nodes.extend(lowered)
    del model.graph.node[:]
    model.graph.node.extend(nodes)
    model.graph.initializer.extend(lowering.inits)
    if not unsupported:
        keep = [op for op in model.opset_import if op.domain in ("", "ai.onnx") or
                any(n.domain == op.domain for n in model.graph.node)]
        del model.opset_import[:]
        model.opset_import.extend(keep)
    return model, sorted(unsupported)
