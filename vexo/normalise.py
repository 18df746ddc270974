"""Forms the rules handle exactly, written on the IR graph right before they run.

The squeeze rule refuses a five-dimensional Slice, Split, Concat or Reduce
that works along the unit axis it removes by comparing the axes as stored: a
negative spelling of that axis (-5 for axis 0) passes the test and the axis is
renumbered onto another one. Every axis attribute and constant axes input is
therefore written non-negative while the rank is known; ONNX reads both
spellings alike, so the graph computes the same.
"""
import numpy as np

from vexo.api.ir_graph import REDUCE_OPS

# Op types with an "axis" attribute counted over the rank of their first input.
AXIS_OPS = {"Concat", "Split", "Softmax", "LogSoftmax", "Hardmax", "exSoftmax13", "TopK", "LpNormalization",
            "Gather", "GatherElements", "ScatterElements", "ArgMax", "ArgMin"}
# Op types with an "axes" attribute, or the input position of constant axes.
AXES_ATTR_OPS = set(REDUCE_OPS) | {"exMeanVarianceNormalization"}
AXES_INPUT = dict({op: 1 for op in REDUCE_OPS}, Slice=3)
NORMALISED_OPS = AXIS_OPS | AXES_ATTR_OPS | set(AXES_INPUT)


def _non_negative(values, rank):
    return [int(v) + rank if int(v) < 0 else int(v) for v in values]


def _normalise_axis_attr(ir, node, rank):
    axis = ir.get_attr(node, "axis")
    if isinstance(axis, int) and -rank <= axis < 0:
        ir.set_attr(node, "axis", axis + rank)
        return 1
    return 0


def _normalise_axes_attr(ir, node, rank):
    axes = ir.get_attr(node, "axes")
    if isinstance(axes, list) and any(isinstance(a, int) and -rank <= a < 0 for a in axes):
        ir.set_attr(node, "axes", _non_negative(axes, rank))
        return 1
    return 0


def _normalise_axes_input(ir, node, k, rank):
    name = node.input[k] if len(node.input) > k else ""
    value = ir.get_const(name) if name else None
    if value is None or value.dtype.kind != "i" or not (value < 0).any() or (value < -rank).any():
        return 0
    if name in ir.outputs or len(ir.consumers(name)) != 1:
        return 0  # read elsewhere too: not this node's to rewrite
    ir.set_const(name, np.where(value < 0, value + rank, value).astype(value.dtype))
    return 1


def normalise_axes(ir):
    """Writes every negative axis of a node whose input rank is known non-negative; returns how many
    attributes and constants were rewritten."""
    count = 0
    for node in ir._nodes_of(NORMALISED_OPS):
        op = node.op_type
        shape = ir.get_shape(node.input[0]) if node.input and node.input[0] else None
        if shape is None:
            continue
        rank = len(shape)
        if op in AXIS_OPS:
            count += _normalise_axis_attr(ir, node, rank)
        if op in AXES_ATTR_OPS:
            count += _normalise_axes_attr(ir, node, rank)
        if op in AXES_INPUT:
            count += _normalise_axes_input(ir, node, AXES_INPUT[op], rank)
    return count
