"""Helpers over IR nodes: reduce axes in either form, fresh node names."""
import numpy as np


def _has_axes_input(node):
    return len(node.input) > 1 and node.input[1] != ""


def get_reduce_axes(ir, node):
    """The reduction axes of a Reduce node, from its `axes` attribute or its axes input.

    A node that names no axes reduces over all of them: the list of every axis
    of its input (or [] when `noop_with_empty_axes` is set).
    """
    axes = ir.get_attr(node, "axes")
    if axes is None and _has_axes_input(node):
        value = ir.get_const(node.input[1])
        if value is None:
            raise ValueError("the axes of '%s' (%s) are not a constant" % (node.name, node.op_type))
        axes = [int(v) for v in np.asarray(value).reshape(-1)]
    if axes is None or (len(axes) == 0 and not ir.get_attr(node, "noop_with_empty_axes", 0)):
        shape = ir.get_shape(node.input[0])
        if shape is None:
            raise ValueError("the axes of '%s' (%s) depend on an unknown input shape" % (node.name, node.op_type))
        return list(range(len(shape)))
    return [int(a) for a in axes]


# From these opset versions on, a Reduce keeps its axes as an input.
AXES_INPUT_SINCE = {"ReduceSum": 13}
AXES_INPUT_SINCE_OTHERS = 18


def _takes_axes_input(ir, node):
    return _opset(ir) >= AXES_INPUT_SINCE.get(node.op_type, AXES_INPUT_SINCE_OTHERS)


def set_reduce_axes(ir, node, axes):
    """Writes the reduction axes back in the form the node keeps them.

    A node without axes gets them in the form its opset wants: an axes input
    (a new constant) from ReduceSum-13 and the other Reduce ops' 18 on, else the
    `axes` attribute.
    """
    axes = [int(a) for a in axes]
    if ir.get_attr(node, "axes") is None and _has_axes_input(node):
        ir.set_const(node.input[1], np.array(axes, dtype=np.int64))
    elif ir.get_attr(node, "axes") is None and _takes_axes_input(ir, node):
        _give_second_input(ir, node, "_axes", axes)
    else:
        ir.set_attr(node, "axes", axes)


def node_name_join(ir, base, suffix):
    """A name made of `base` and `suffix` that no node or tensor of the graph uses yet."""
    return ir.unique_name("%s%s" % (base, suffix))


def set_split_split(ir, node, sizes):
    """Writes the chunk sizes of a Split in the form the node keeps them.

    Sizes held in an input get a constant of their own (another node may read
    the old one); a Split without sizes gets them in its opset's form: an input
    from opset 13 on, else the `split` attribute. A `num_outputs` attribute
    (opset 18) goes, since a Split may not have both.
    """
    sizes = [int(s) for s in sizes]
    has_input = len(node.input) > 1 and node.input[1] != ""
    if ir.get_attr(node, "split") is None and (has_input or _opset(ir) >= 13):
        _give_second_input(ir, node, "_split", sizes)
        if ir.get_attr(node, "num_outputs") is not None:
            ir.set_attr(node, "num_outputs", None)  # sizes and num_outputs may not stand together
    else:
        ir.set_attr(node, "split", sizes)


def _give_second_input(ir, node, suffix, values):
    """Points input 1 of `node` at a new int64 constant holding `values`."""
    name = ir.unique_name(node.name + suffix)
    ir.set_const(name, np.array(values, dtype=np.int64))
    if len(node.input) > 1:
        node.input[1] = name
    else:
        node.input.append(name)


def _opset(ir):
    version = getattr(ir, "opset_version", None)
    return version() if callable(version) else 0


def make_node_reduce(g, op_type, x, axes, keepdims=1, **kwargs):
    """A Reduce node through the builder, with its axes as a constant input."""
    return g.op(op_type, x, [int(a) for a in axes], keepdims=keepdims, **kwargs)
