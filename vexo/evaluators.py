"""Numpy evaluators of the standard operators exporters apply to constants.

Shape arithmetic (Shape -> Gather -> Concat -> Reshape), index grids, masks
and small constant subgraphs are computed once at preparation instead of at
run time. `EVALUATORS` maps an op type to a function of a `Call` (the node,
its constant input values and its attributes) returning one array or a list of
arrays (one per output). An evaluator raises `CannotFold` to leave a node in
place (an unsupported variant, a result above `MAX_FOLD_ELEMENTS` elements),
and ValueError and friends for inputs the operator cannot take.
"""
import functools
import math

import numpy as np
import onnx
from onnx import helper, numpy_helper

MAX_FOLD_ELEMENTS = 1 << 26
_SUBGRAPH_TYPES = (onnx.AttributeProto.GRAPH, onnx.AttributeProto.GRAPHS)


class CannotFold(Exception):
    """The evaluator declines this node (unsupported type, result too large)."""


def _axis(axis, rank):
    a = int(axis) + rank if int(axis) < 0 else int(axis)
    if not 0 <= a < rank:
        raise ValueError("axis %d is out of range for rank %d" % (axis, rank))
    return a


def _guard_size(shape):
    n = 1
    for d in shape:
        if d < 0:
            raise ValueError("negative dimension in %s" % (list(shape),))
        n *= int(d)
    if n > MAX_FOLD_ELEMENTS:
        raise CannotFold()
    return [int(d) for d in shape]


class Call:
    """One node to evaluate: its constant inputs (None where absent) and attributes."""

    def __init__(self, node, values):
        self.node = node
        self.values = values
        self.attrs = node_attrs(node)

    def x(self, i):
        return self.values[i] if i < len(self.values) else None

    def ints(self, i):
        v = self.x(i)
        return None if v is None else [int(a) for a in v.reshape(-1)]

    def present(self):
        return [v for v in self.values if v is not None]

    def attr(self, name, default=None):
        return self.attrs.get(name, default)

    def axes(self, i=1):
        axes = self.attr("axes")
        return axes if axes is not None else self.ints(i)


def node_attrs(node):
    """A NodeProto's attributes as plain values (subgraphs left out)."""
    out = {}
    for a in node.attribute:
        if a.type in _SUBGRAPH_TYPES:
            continue
        v = helper.get_attribute_value(a)
        if isinstance(v, bytes):
            v = v.decode()
        elif isinstance(v, onnx.TensorProto):
            v = numpy_helper.to_array(v)
        elif isinstance(v, list) and v and isinstance(v[0], bytes):
            v = [s.decode() for s in v]
        out[a.name] = v
    return out


def _like_first(fn):
    """Elementwise op whose result has the type of the first input."""
    return lambda c: np.asarray(fn(*c.present())).astype(c.x(0).dtype, copy=False)


def _variadic(fn):
    return lambda c: np.asarray(functools.reduce(fn, c.present())).astype(c.x(0).dtype, copy=False)


def _boolean(fn):
    return lambda c: np.asarray(fn(*c.present()), dtype=bool)


def _div(c):
    a, b = c.x(0), c.x(1)
    if np.issubdtype(a.dtype, np.integer):
        if np.any(b == 0):
            raise ZeroDivisionError("integer division by zero")
        q = np.abs(a) // np.abs(b)              # integer Div truncates toward zero
        return np.where((a < 0) != (b < 0), -q, q).astype(a.dtype)
    return np.asarray(a / b).astype(a.dtype)


def _mod(c):
    a, b = c.x(0), c.x(1)
    if np.issubdtype(a.dtype, np.integer) and np.any(b == 0):
        raise ZeroDivisionError("integer modulo by zero")
    fn = np.fmod if c.attr("fmod", 0) else np.mod
    return np.asarray(fn(a, b)).astype(a.dtype)


def _mean(c):
    vals = c.present()
    return np.asarray(functools.reduce(np.add, vals) / len(vals)).astype(vals[0].dtype)


def _cast_to(x, dtype):
    if dtype.kind not in "biuf" or x.dtype.kind not in "biuf":
        raise CannotFold()                     # strings and exotic float formats
    return (x != 0) if dtype == np.bool_ else x.astype(dtype)


def _cast(c):
    return _cast_to(c.x(0), np.dtype(helper.tensor_dtype_to_np_dtype(c.attr("to"))))


def _clip(c):
    x = c.x(0)
    lo = c.x(1) if c.x(1) is not None else c.attr("min")
    hi = c.x(2) if c.x(2) is not None else c.attr("max")
    out = x if lo is None else np.maximum(x, lo)
    out = out if hi is None else np.minimum(out, hi)
    return np.asarray(out).astype(x.dtype)


def _gather(c):
    data = c.x(0)
    return np.take(data, c.x(1).astype(np.int64), axis=_axis(c.attr("axis", 0), data.ndim))


def _gather_elements(c):
    data, idx = c.x(0), c.x(1).astype(np.int64)
    axis = _axis(c.attr("axis", 0), data.ndim)
    return np.take_along_axis(data, np.where(idx < 0, idx + data.shape[axis], idx), axis=axis)


def _unsqueeze(c):
    x, axes = c.x(0), c.axes()
    rank = x.ndim + len(axes)
    axes = sorted(_axis(a, rank) for a in axes)
    if len(set(axes)) != len(axes):
        raise ValueError("repeated axes %s" % axes)
    return np.expand_dims(x, tuple(axes))


def _squeeze(c):
    x, axes = c.x(0), c.axes()
    if axes is None:
        return np.squeeze(x)
    return np.squeeze(x, axis=tuple(sorted({_axis(a, x.ndim) for a in axes})))


def _concat(c):
    vals = c.present()
    return np.concatenate(vals, axis=_axis(c.attr("axis"), vals[0].ndim))


def _constant_of_shape(c):
    value = c.attr("value")
    value = np.zeros(1, np.float32) if value is None else value
    return np.full(_guard_size(c.ints(0)), value.reshape(-1)[0], dtype=value.dtype)


def _range(c):
    start, limit, delta = (c.x(i).reshape(()) for i in range(3))
    if delta == 0:
        raise ValueError("Range with delta 0")
    if np.issubdtype(start.dtype, np.integer):
        n = max(-((int(start) - int(limit)) // int(delta)), 0)
    else:
        n = max(int(np.ceil((float(limit) - float(start)) / float(delta))), 0)
    _guard_size([n])
    return (start + np.arange(n) * delta).astype(start.dtype)


def _slice(c):
    x = c.x(0)
    if c.x(1) is not None:
        starts, ends = c.ints(1), c.ints(2)
        axes, steps = c.ints(3), c.ints(4)
    else:
        starts, ends, axes, steps = c.attr("starts"), c.attr("ends"), c.attr("axes"), None
    axes = list(range(len(starts))) if axes is None else axes
    steps = [1] * len(starts) if steps is None else steps
    index = [slice(None)] * x.ndim
    for start, end, axis, step in zip(starts, ends, axes, steps):
        if step == 0:
            raise ValueError("Slice step 0")
        index[_axis(axis, x.ndim)] = slice(start, end, step)
    return x[tuple(index)].copy()


def _reshape(c):
    x, shape = c.x(0), c.ints(1)
    if not c.attr("allowzero", 0):
        shape = [x.shape[i] if v == 0 else v for i, v in enumerate(shape)]
    return x.reshape(shape)


def _expand(c):
    x = c.x(0)
    shape = np.broadcast_shapes(x.shape, tuple(c.ints(1)))
    return np.broadcast_to(x, _guard_size(shape)).copy()


def _tile(c):
    x, reps = c.x(0), c.ints(1)
    if len(reps) != x.ndim:
        raise ValueError("Tile repeats %s do not match rank %d" % (reps, x.ndim))
    _guard_size([d * r for d, r in zip(x.shape, reps)])
    return np.tile(x, reps)


def _flatten(c):
    x = c.x(0)
    axis = c.attr("axis", 1)
    axis = axis + x.ndim if axis < 0 else axis
    if not 0 <= axis <= x.ndim:
        raise ValueError("Flatten axis out of range")
    return x.reshape(int(np.prod(x.shape[:axis])), int(np.prod(x.shape[axis:])))


def _split(c):
    x = c.x(0)
    axis = _axis(c.attr("axis", 0), x.ndim)
    n, dim = len(c.node.output), x.shape[axis]
    sizes = c.attr("split") or c.ints(1)
    if not sizes:
        chunk = -(-dim // n)
        sizes = [chunk] * (n - 1) + [dim - chunk * (n - 1)]
    if len(sizes) != n or sum(sizes) != dim or min(sizes) < 0:
        raise ValueError("split sizes %s do not fit dimension %d in %d outputs" % (list(sizes), dim, n))
    return np.split(x, np.cumsum(sizes)[:-1], axis=axis)


def _reduce(fn):
    def run(c):
        x, axes = c.x(0), c.axes()
        if not axes:
            if c.attr("noop_with_empty_axes", 0):
                return x.copy()
            axes = range(x.ndim)
        axes = tuple(sorted({_axis(a, x.ndim) for a in axes}))
        return np.asarray(fn(x, axis=axes, keepdims=bool(c.attr("keepdims", 1)))).astype(x.dtype)
    return run


def _arg(fn):
    def run(c):
        x = c.x(0)
        axis = _axis(c.attr("axis", 0), x.ndim)
        if c.attr("select_last_index", 0):
            idx = x.shape[axis] - 1 - fn(np.flip(x, axis), axis=axis)
        else:
            idx = fn(x, axis=axis)
        if c.attr("keepdims", 1):
            idx = np.expand_dims(idx, axis)
        return np.asarray(idx, dtype=np.int64)
    return run


def _nonzero(c):
    if c.x(0).ndim == 0:
        raise CannotFold()
    return np.array(np.nonzero(c.x(0)), dtype=np.int64).reshape(c.x(0).ndim, -1)


def _trilu(c):
    k = 0 if c.x(1) is None else int(c.x(1).reshape(()))
    return (np.triu if c.attr("upper", 1) else np.tril)(c.x(0), k)


def _where(c):
    cond, a, b = c.x(0), c.x(1), c.x(2)
    return np.where(cond, a, b).astype(a.dtype)


def _matmul(c):
    a, b = c.x(0), c.x(1)
    rows = a.size // max(a.shape[-1], 1) if a.ndim > 1 else 1
    _guard_size([rows, b.shape[-1] if b.ndim > 1 else 1] + list(b.shape[:-2]))
    return np.asarray(np.matmul(a, b)).astype(a.dtype)


def _gemm(c):
    a, b = c.x(0), c.x(1)
    a = a.T if c.attr("transA", 0) else a
    b = b.T if c.attr("transB", 0) else b
    _guard_size([a.shape[0], b.shape[1]])
    y = c.attr("alpha", 1.0) * (a @ b)
    if c.x(2) is not None:
        y = y + c.attr("beta", 1.0) * c.x(2)
    return np.asarray(y).astype(c.x(0).dtype)


def _cumsum(c):
    x = c.x(0)
    axis = _axis(int(c.x(1).reshape(())), x.ndim)
    x = np.flip(x, axis) if c.attr("reverse", 0) else x
    out = np.cumsum(x, axis=axis, dtype=x.dtype)
    if c.attr("exclusive", 0):                  # each sum leaves out its own element
        shifted = np.zeros_like(out)
        head, tail = [slice(None)] * x.ndim, [slice(None)] * x.ndim
        head[axis], tail[axis] = slice(1, None), slice(None, -1)
        shifted[tuple(head)] = out[tuple(tail)]
        out = shifted
    return np.flip(out, axis).copy() if c.attr("reverse", 0) else out


def _one_hot(c):
    depth, values = int(c.x(1).reshape(-1)[0]), c.x(2).reshape(-1)
    idx = c.x(0).astype(np.int64)
    axis = _axis(c.attr("axis", -1), idx.ndim + 1)
    _guard_size(list(idx.shape) + [depth])
    idx = np.where(idx < 0, idx + depth, idx)
    out = np.where(idx[..., None] == np.arange(depth), values[1], values[0]).astype(values.dtype)
    return np.moveaxis(out, -1, axis)


_SCATTER_REDUCTIONS = {"none": None, "add": np.add, "mul": np.multiply, "max": np.maximum, "min": np.minimum}


def _scatter_into(c, data, where, updates):
    reduction = c.attr("reduction", "none")
    if reduction not in _SCATTER_REDUCTIONS:
        raise ValueError("unknown reduction '%s'" % reduction)
    fn = _SCATTER_REDUCTIONS[reduction]
    if fn is None:
        data[where] = updates
    else:
        fn.at(data, where, updates)
    return data


def _scatter_nd(c):
    data, idx = c.x(0).copy(), c.x(1).astype(np.int64)
    k = idx.shape[-1] if idx.ndim else 0
    if k == 0:
        raise CannotFold()
    where = tuple(idx.reshape(-1, k).T)
    return _scatter_into(c, data, where, c.x(2).reshape((-1,) + data.shape[k:]))


def _scatter_elements(c):
    data, idx = c.x(0).copy(), c.x(1).astype(np.int64)
    axis = _axis(c.attr("axis", 0), data.ndim)
    where = list(np.indices(idx.shape, sparse=True))
    where[axis] = idx                           # numpy counts negative indices from the end, as ONNX does
    return _scatter_into(c, data, tuple(where), c.x(2))


def _gather_nd(c):
    data, idx = c.x(0), c.x(1).astype(np.int64)
    if c.attr("batch_dims", 0):
        raise CannotFold()
    k = idx.shape[-1]
    picked = data[tuple(idx.reshape(-1, k).T)]
    return picked.reshape(idx.shape[:-1] + data.shape[k:])


def _pad(c):
    x = c.x(0)
    if c.attr("mode", "constant") != "constant":
        raise CannotFold()
    pads = c.ints(1) if c.x(1) is not None else c.attr("pads")
    value = c.x(2) if c.x(2) is not None else c.attr("value", 0)
    axes = [_axis(a, x.ndim) for a in (c.ints(3) or range(x.ndim))]
    widths = [(0, 0)] * x.ndim
    for k, a in enumerate(axes):
        widths[a] = (pads[k], pads[len(axes) + k])
    x = x[tuple(slice(max(-b, 0), d - max(-e, 0)) for d, (b, e) in zip(x.shape, widths))]  # negative pads crop
    widths = [(max(b, 0), max(e, 0)) for b, e in widths]
    _guard_size([d + b + e for d, (b, e) in zip(x.shape, widths)])
    return np.pad(x, widths, constant_values=np.asarray(value).reshape(-1)[0] if np.size(value) else 0)


def _is_inf(c):
    x = c.x(0)
    positive = np.isposinf(x) if c.attr("detect_positive", 1) else np.zeros(x.shape, bool)
    return positive | np.isneginf(x) if c.attr("detect_negative", 1) else positive


_erf = np.vectorize(math.erf, otypes=[np.float64])


# Op types exporters use for shape arithmetic, masks and constant preparation.
EVALUATORS = {
    "Identity": lambda c: c.x(0).copy(),
    "Neg": _like_first(np.negative), "Abs": _like_first(np.abs), "Sqrt": _like_first(np.sqrt),
    "Floor": _like_first(np.floor), "Ceil": _like_first(np.ceil), "Reciprocal": _like_first(np.reciprocal),
    "Sign": _like_first(np.sign), "Exp": _like_first(np.exp), "Log": _like_first(np.log),
    "Add": _like_first(np.add), "Sub": _like_first(np.subtract), "Mul": _like_first(np.multiply),
    "Div": _div, "Mod": _mod, "Pow": _like_first(np.power),
    "Max": _variadic(np.maximum), "Min": _variadic(np.minimum), "Sum": _variadic(np.add), "Mean": _mean,
    "Clip": _clip,
    "Equal": _boolean(np.equal), "Less": _boolean(np.less), "Greater": _boolean(np.greater),
    "LessOrEqual": _boolean(np.less_equal), "GreaterOrEqual": _boolean(np.greater_equal),
    "And": _boolean(np.logical_and), "Or": _boolean(np.logical_or), "Xor": _boolean(np.logical_xor),
    "Not": _boolean(np.logical_not), "Where": _where,
    "Cast": _cast, "CastLike": lambda c: _cast_to(c.x(0), c.x(1).dtype),
    "Gather": _gather, "GatherElements": _gather_elements,
    "Unsqueeze": _unsqueeze, "Squeeze": _squeeze, "Concat": _concat, "Split": _split,
    "Reshape": _reshape, "Expand": _expand, "Tile": _tile, "Transpose": lambda c: np.transpose(
        c.x(0), c.attr("perm")),
    "Flatten": _flatten, "Slice": _slice, "ConstantOfShape": _constant_of_shape, "Range": _range,
    "ReduceProd": _reduce(np.prod), "ReduceSum": _reduce(np.sum), "ReduceMin": _reduce(np.min),
    "ReduceMax": _reduce(np.max), "ReduceMean": _reduce(np.mean),
    "ArgMax": _arg(np.argmax), "ArgMin": _arg(np.argmin),
    "NonZero": _nonzero, "Trilu": _trilu, "CumSum": _cumsum, "OneHot": _one_hot,
    "ScatterND": _scatter_nd, "ScatterElements": _scatter_elements, "Scatter": _scatter_elements,
    "GatherND": _gather_nd, "Pad": _pad, "MatMul": _matmul, "Gemm": _gemm,
    "Relu": _like_first(lambda x: np.maximum(x, 0)), "Sigmoid": _like_first(lambda x: 1 / (1 + np.exp(-x))),
    "Tanh": _like_first(np.tanh), "Erf": _like_first(_erf), "Sin": _like_first(np.sin),
    "Cos": _like_first(np.cos), "Round": _like_first(np.round), "IsNaN": _boolean(np.isnan), "IsInf": _is_inf,
}


def constant_value(node):
    """The value a Constant node holds."""
    a = node.attribute[0]
    if a.name == "value":
        return numpy_helper.to_array(a.t)
    if a.name == "value_float":
        return np.array(a.f, np.float32)
    if a.name == "value_floats":
        return np.array(list(a.floats), np.float32)
    if a.name == "value_int":
        return np.array(a.i, np.int64)
    if a.name == "value_ints":
        return np.array(list(a.ints), np.int64)
    raise CannotFold()                         # strings and sparse tensors stay as they are
