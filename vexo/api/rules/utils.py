"""The node builder the rules create nodes with, and two small helpers."""
import copy

import numpy as np

from vexo import _core


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


class Graph(_core.Builder):
    """Builds nodes for one rule call: `op(...)` creates a node, `nodes` lists them in creation order.

    New nodes are not in the graph until the engine applies the rule's result;
    the constants they read and the shapes the builder can infer are recorded
    in the IR graph at once, so the rule and the next rules can read them. The
    builder is the native graph's own (vexo/graph/builder.cpp); this class turns
    the Python arguments into what it takes.
    """

    def __init__(self, ir):
        super().__init__(ir)

    def op(self, op_type, *inputs, outputs=None, name=None, outputs_ref=None, **attrs):
        values = []
        for k, value in enumerate(inputs):
            if value is None or isinstance(value, str):
                values.append(value)
            elif isinstance(value, (list, tuple, np.ndarray, np.generic, int, float)):
                values.append(_const_array(value))
            else:
                raise TypeError("Graph.op('%s'): input %d is %r, not a tensor name, None, a list or an array"
                                % (op_type, k, value))
        ref = outputs_ref[0] if isinstance(outputs_ref, (list, tuple)) and outputs_ref else outputs_ref
        if outputs is not None:
            outputs = [outputs] if isinstance(outputs, str) else [str(o) for o in outputs]
        node_attrs = {k: (list(v) if isinstance(v, tuple) else v) for k, v in attrs.items() if v is not None}
        return self._op(op_type, values, outputs, name, ref if isinstance(ref, str) else None, node_attrs)
