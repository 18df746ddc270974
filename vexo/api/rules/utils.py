"""The node builder the rules create nodes with, and two small helpers."""
import copy

import numpy as np

from vexo.api import shape_infer
from vexo.api.ir_graph import CUSTOM_DOMAIN, IrNode, is_custom_op


def copy_par(quant_tab, new_name, existing_name):
    """Gives tensor `new_name` the quantization parameters of `existing_name` (when it has any)."""
    if quant_tab is not None and existing_name in quant_tab:
        quant_tab[new_name] = copy.deepcopy(quant_tab[existing_name])


def oper_name_join(ir, tensor, suffix):
    """A fresh tensor name made of `tensor` and `suffix`, unused in the graph."""
    return ir.unique_name("%s%s" % (tensor, suffix))


def _const_array(value):
    """A list of numbers becomes int64 when all are integers, else float32; arrays stay as they are."""
    if isinstance(value, np.ndarray):
        return value
    if isinstance(value, np.generic):
        return np.asarray(value)
    arr = np.asarray(value)
    if arr.size == 0:
        return arr.astype(np.int64)  # an empty shape list, as for a Reshape to a scalar
    if arr.dtype == np.bool_:
        return arr
    if np.issubdtype(arr.dtype, np.integer):
        return arr.astype(np.int64)
    if np.issubdtype(arr.dtype, np.floating):
        return arr.astype(np.float32)
    raise TypeError("cannot make a constant of %r" % (value,))


def _holds_no_elements(shape):
    return shape is not None and 0 in shape


def _literal_zero_target(ir, in_names, out_names):
    """A Reshape of an empty tensor whose target holds a 0: the rules mean the extent 0, which ONNX
    writes as allowzero 1 (opset 14 on); by default a 0 would copy the input's extent instead."""
    if len(in_names) < 2 or not out_names:
        return False
    target = ir.get_const(in_names[1])
    if target is None or 0 not in np.asarray(target).reshape(-1).tolist():
        return False
    opset = getattr(ir, "opset_version", None)
    if opset is None or opset() < 14:
        return False
    return _holds_no_elements(ir.get_shape(in_names[0])) or _holds_no_elements(ir.get_shape(out_names[0]))


class Graph:
    """Builds nodes for one rule call: `op(...)` creates a node, `nodes` lists them in creation order.

    New nodes are not in the graph until the engine applies the rule's result;
    the constants they read and the shapes the builder can infer are recorded
    in the IR graph at once, so the rule and the next rules can read them.
    """

    def __init__(self, ir):
        self.ir = ir
        self.nodes = []

    def op(self, op_type, *inputs, outputs=None, name=None, outputs_ref=None, **attrs):
        ir = self.ir
        node_name = name if name is not None else ir.unique_name(op_type)
        ref = outputs_ref[0] if isinstance(outputs_ref, (list, tuple)) and outputs_ref else outputs_ref
        base = ref if isinstance(ref, str) and ref else node_name
        in_names, invented = [], None
        for k, value in enumerate(inputs):
            if value is None:
                tensor = ir.unique_name("%s_in%d" % (base, k))
                invented = invented or tensor
                in_names.append(tensor)
            elif isinstance(value, str):
                in_names.append(value)
            elif isinstance(value, (list, tuple, np.ndarray, np.generic, int, float)):
                const = ir.unique_name("%s_c%d" % (node_name, k))
                ir.set_const(const, _const_array(value))
                in_names.append(const)
            else:
                raise TypeError("Graph.op('%s'): input %d is %r, not a tensor name, None, a list or an array"
                                % (op_type, k, value))
        if outputs is None:
            out_names = [ir.unique_name("%s_out" % base)]
        elif isinstance(outputs, str):
            out_names = [outputs]
        else:
            out_names = [str(o) for o in outputs]
        node_attrs = {k: (list(v) if isinstance(v, tuple) else v) for k, v in attrs.items() if v is not None}
        if op_type == "Reshape" and "allowzero" not in node_attrs and _literal_zero_target(ir, in_names, out_names):
            node_attrs["allowzero"] = 1
        node = IrNode(op_type, in_names, out_names, node_name, node_attrs,
                      CUSTOM_DOMAIN if is_custom_op(op_type) else "")
        self._record_shapes(node, ref)
        self.nodes.append(node)
        if outputs is not None and invented is not None:
            return invented
        return out_names[0]

    def _record_shapes(self, node, ref):
        ir = self.ir
        for o, (shape, dtype) in zip(node.output, shape_infer.infer(ir, node)):
            if not o or ir.get_shape(o) is not None:
                continue
            if dtype is None and isinstance(ref, str):
                dtype = ir.get_dtype(ref)
            if shape is not None:
                ir.set_shape(o, shape, dtype=dtype)
