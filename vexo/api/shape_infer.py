"""Shape and element-type inference of single nodes, for the preparation stage.

The preparation infers the nodes it keeps one at a time, from the shapes of
their inputs and the values of constant inputs. (The IR graph has the same
functions in C++, vexo/graph/infer.cpp, for the nodes rules create or change.) Custom `ex*`
operators have their own functions. An operator without a function here is
inferred by ONNX on a one-node model built around it.

`infer(ir, node)` returns one (shape, dtype) pair per output, with None where
it cannot tell.
"""
import numpy as np
import onnx
from onnx import helper, shape_inference

from vexo import _core

BOOL = np.dtype(bool)
INT64 = np.dtype(np.int64)


class _Unknown(Exception):
    """An input shape or constant needed for inference is not known."""


ShapeError = _core.ShapeError  # a node computes nothing from the shapes it is given (a Reshape that changes the
#                               element count, operands that do not broadcast); raised out of `infer`, unlike a
#                               shape that is merely unknown


class _Ctx:
    def __init__(self, ir, node):
        self.ir = ir
        self.node = node

    def has(self, i):
        return i < len(self.node.input) and self.node.input[i] != ""

    def shape(self, i):
        if not self.has(i):
            raise _Unknown()
        s = self.ir.get_shape(self.node.input[i])
        if s is None:
            raise _Unknown()
        return list(s)

    def dtype(self, i):
        return self.ir.get_dtype(self.node.input[i]) if self.has(i) else None

    def const(self, i):
        if not self.has(i):
            return None
        return self.ir.get_const(self.node.input[i])

    def need_const(self, i):
        c = self.const(i)
        if c is None:
            raise _Unknown()
        return c

    def attr(self, name, default=None):
        return self.ir.get_attr(self.node, name, default)


def broadcast(*shapes):
    rank = max(len(s) for s in shapes)
    out = []
    for axis in range(rank):
        dims = {s[axis - rank + len(s)] for s in shapes if axis - rank + len(s) >= 0}
        dims.discard(1)
        if len(dims) > 1:
            raise ShapeError("shapes %s do not broadcast" % (shapes,))
        out.append(dims.pop() if dims else 1)
    return out


def _norm(axis, rank):
    a = axis + rank if axis < 0 else axis
    if not 0 <= a < rank:
        raise ValueError("axis %d out of range for rank %d" % (axis, rank))
    return a


# ---------------------------------------------------------------- op families

def _same(ctx):
    return [(ctx.shape(0), ctx.dtype(0))] + [(None, None)] * (len(ctx.node.output) - 1)


def _batchnorm(ctx):
    outs = [(ctx.shape(0), ctx.dtype(0))]
    for i in range(1, len(ctx.node.output)):
        outs.append(([ctx.shape(0)[1]] if i > 2 else [ctx.shape(0)[1]], ctx.dtype(0)))
    return outs


def _layer_norm(ctx):
    """Y has the input's shape; the mean and inverse deviation keep the axes ahead of `axis` and are 1 from
    it on, in float32 unless `stash_type` names another type."""
    x = ctx.shape(0)
    axis = _norm(ctx.attr("axis", -1), len(x))
    stash = ctx.attr("stash_type", 1)
    stat_dtype = np.dtype(helper.tensor_dtype_to_np_dtype(stash)) if stash else ctx.dtype(0)
    stats = (x[:axis] + [1] * (len(x) - axis), stat_dtype)
    return [(x, ctx.dtype(0))] + [stats] * (len(ctx.node.output) - 1)


def _cast(ctx):
    to = ctx.attr("to")
    return [(ctx.shape(0), np.dtype(helper.tensor_dtype_to_np_dtype(to)))]


def _broadcasting(result_dtype=None, dtype_input=0):
    def fn(ctx):
        shapes = [ctx.shape(i) for i in range(len(ctx.node.input)) if ctx.has(i)]
        dt = result_dtype if result_dtype is not None else ctx.dtype(dtype_input)
        return [(broadcast(*shapes), dt)]
    return fn


def _reshape(ctx):
    target = [int(v) for v in ctx.need_const(1).reshape(-1)]
    src = ctx.shape(0)
    allowzero = ctx.attr("allowzero", 0)
    out = []
    for i, v in enumerate(target):
        if v == 0 and not allowzero:  # 0 copies the input's extent on that axis
            if i >= len(src):
                raise ShapeError("a Reshape of %s to %s: 0 at position %d copies an axis the input does not have"
                                 % (src, target, i))
            out.append(src[i])
        else:
            out.append(v)
    total = int(np.prod(src, dtype=np.int64))
    if -1 in out:
        known = int(np.prod([v for v in out if v != -1], dtype=np.int64))
        out[out.index(-1)] = total // known if known else 0
    if int(np.prod(out, dtype=np.int64)) != total:
        raise ShapeError("a Reshape of %s to %s changes the number of elements" % (src, out))
    return [(out, ctx.dtype(0))]


def _transpose(ctx):
    s = ctx.shape(0)
    perm = ctx.attr("perm") or list(reversed(range(len(s))))
    return [([s[p] for p in perm], ctx.dtype(0))]


def _spatial(ctx, kernel, ceil=False, transposed=False):
    s = ctx.shape(0)
    n = len(s) - 2
    strides = ctx.attr("strides") or [1] * n
    dil = ctx.attr("dilations") or [1] * n
    pads = ctx.attr("pads") or [0] * (2 * n)
    auto_pad = ctx.attr("auto_pad", "NOTSET")
    if isinstance(auto_pad, bytes):
        auto_pad = auto_pad.decode()
    out = []
    for i in range(n):
        k = (kernel[i] - 1) * dil[i] + 1
        if transposed:
            op = (ctx.attr("output_padding") or [0] * n)[i]
            if ctx.attr("output_shape"):
                out.append(ctx.attr("output_shape")[i])
            elif auto_pad in ("SAME_UPPER", "SAME_LOWER"):
                out.append(s[2 + i] * strides[i])
            else:
                out.append(strides[i] * (s[2 + i] - 1) + op + k - pads[i] - pads[n + i])
        elif auto_pad in ("SAME_UPPER", "SAME_LOWER"):
            out.append(-(-s[2 + i] // strides[i]))
        elif auto_pad == "VALID":
            out.append((s[2 + i] - k) // strides[i] + 1)
        else:
            span = s[2 + i] + pads[i] + pads[n + i] - k
            out.append((-(-span // strides[i]) if ceil else span // strides[i]) + 1)
    return out


def _conv(ctx):
    s, w = ctx.shape(0), ctx.shape(1)
    kernel = ctx.attr("kernel_shape") or w[2:]
    return [([s[0], w[0]] + _spatial(ctx, kernel), ctx.dtype(0))]


def _conv_transpose(ctx):
    s, w = ctx.shape(0), ctx.shape(1)
    kernel = ctx.attr("kernel_shape") or w[2:]
    group = ctx.attr("group", 1)
    return [([s[0], w[1] * group] + _spatial(ctx, kernel, transposed=True), ctx.dtype(0))]


def _pool(ctx):
    s = ctx.shape(0)
    spatial = _spatial(ctx, ctx.attr("kernel_shape"), ceil=bool(ctx.attr("ceil_mode", 0)))
    outs = [([s[0], s[1]] + spatial, ctx.dtype(0))]
    if len(ctx.node.output) > 1:
        outs.append(([s[0], s[1]] + spatial, INT64))
    return outs


def _global_pool(ctx):
    s = ctx.shape(0)
    return [(s[:2] + [1] * (len(s) - 2), ctx.dtype(0))]


def reduce_axes_of(ctx, rank):
    axes = ctx.attr("axes")
    if axes is None and ctx.has(1):
        axes = [int(v) for v in ctx.need_const(1).reshape(-1)]
    if not axes:
        if ctx.attr("noop_with_empty_axes", 0):
            return []
        return list(range(rank))
    return sorted(_norm(a, rank) for a in axes)


def _reduce(ctx):
    s = ctx.shape(0)
    axes = reduce_axes_of(ctx, len(s))
    keep = ctx.attr("keepdims", 1)
    out = []
    for i, d in enumerate(s):
        if i in axes:
            if keep:
                out.append(1)
        else:
            out.append(d)
    return [(out, ctx.dtype(0))]


def _argreduce(ctx):
    s = ctx.shape(0)
    axis = _norm(ctx.attr("axis", 0), len(s))
    out = list(s)
    if ctx.attr("keepdims", 1):
        out[axis] = 1
    else:
        del out[axis]
    return [(out, INT64)]


def _gather(ctx):
    s, idx = ctx.shape(0), ctx.shape(1)
    axis = _norm(ctx.attr("axis", 0), len(s))
    return [(s[:axis] + idx + s[axis + 1:], ctx.dtype(0))]


def _gather_elements(ctx):
    return [(ctx.shape(1), ctx.dtype(0))]


def _concat(ctx):
    shapes = [ctx.shape(i) for i in range(len(ctx.node.input)) if ctx.has(i)]
    axis = _norm(ctx.attr("axis"), len(shapes[0]))
    out = list(shapes[0])
    out[axis] = sum(s[axis] for s in shapes)
    return [(out, ctx.dtype(0))]


def _split(ctx):
    s = ctx.shape(0)
    axis = _norm(ctx.attr("axis", 0), len(s))
    n = len(ctx.node.output)
    sizes = ctx.attr("split")
    if sizes is None and ctx.has(1):
        sizes = [int(v) for v in ctx.need_const(1).reshape(-1)]
    if not sizes:
        if s[axis] % n and ctx.attr("num_outputs") is None:
            raise ValueError("a Split without sizes cuts %d into %d equal parts" % (s[axis], n))
        chunk = -(-s[axis] // n)  # num_outputs (opset 18) lets the last part be smaller
        sizes = [chunk] * (n - 1) + [s[axis] - chunk * (n - 1)]
    outs = []
    for size in sizes:
        o = list(s)
        o[axis] = int(size)
        outs.append((o, ctx.dtype(0)))
    return outs


def _slice(ctx):
    s = ctx.shape(0)
    starts = ctx.need_const(1).reshape(-1).tolist()
    ends = ctx.need_const(2).reshape(-1).tolist()
    axes = ctx.const(3).reshape(-1).tolist() if ctx.has(3) else list(range(len(starts)))
    if ctx.has(3) and ctx.const(3) is None:
        raise _Unknown()
    steps = ctx.const(4).reshape(-1).tolist() if ctx.has(4) else [1] * len(starts)
    if ctx.has(4) and ctx.const(4) is None:
        raise _Unknown()
    out = list(s)
    for st, en, ax, step in zip(starts, ends, axes, steps):
        ax = _norm(int(ax), len(s))
        out[ax] = len(range(*slice(int(st), int(en), int(step)).indices(s[ax])))
    return [(out, ctx.dtype(0))]


def _pad(ctx):
    s = ctx.shape(0)
    pads = ctx.attr("pads")
    if pads is None:
        pads = ctx.need_const(1).reshape(-1).tolist()
    axes = list(range(len(s)))
    if ctx.has(3):
        axes = [_norm(int(a), len(s)) for a in ctx.need_const(3).reshape(-1)]
    out = list(s)
    n = len(axes)
    for k, ax in enumerate(axes):
        out[ax] = s[ax] + int(pads[k]) + int(pads[n + k])
    return [(out, ctx.dtype(0))]


def _expand(ctx):
    target = [int(v) for v in ctx.need_const(1).reshape(-1)]
    return [(broadcast(ctx.shape(0), target), ctx.dtype(0))]


def _tile(ctx):
    reps = [int(v) for v in ctx.need_const(1).reshape(-1)]
    return [([d * r for d, r in zip(ctx.shape(0), reps)], ctx.dtype(0))]


def _matmul(ctx):
    a, b = ctx.shape(0), ctx.shape(1)
    a1, b1 = len(a) == 1, len(b) == 1
    if a1:
        a = [1] + a
    if b1:
        b = b + [1]
    out = broadcast(a[:-2], b[:-2]) + [a[-2], b[-1]]
    if a1:
        del out[-2]
    if b1:
        del out[-1]
    return [(out, ctx.dtype(0))]


def _resize(ctx):
    s = ctx.shape(0)
    sizes = ctx.const(3) if ctx.has(3) else None
    if sizes is not None and sizes.size:
        return [([int(v) for v in sizes.reshape(-1)], ctx.dtype(0))]
    scales = ctx.const(2) if ctx.has(2) else None
    if scales is None or not scales.size:
        raise _Unknown()
    return [([int(np.floor(d * float(f))) for d, f in zip(s, scales.reshape(-1))], ctx.dtype(0))]


def _topk(ctx):
    s = ctx.shape(0)
    axis = _norm(ctx.attr("axis", -1), len(s))
    k = int(ctx.need_const(1).reshape(-1)[0])
    out = list(s)
    out[axis] = k
    return [(out, ctx.dtype(0)), (list(out), INT64)]


def _squeeze(ctx):
    s = ctx.shape(0)
    axes = ctx.attr("axes")
    if axes is None and ctx.has(1):
        axes = ctx.need_const(1).reshape(-1).tolist()
    if axes is None:
        return [([d for d in s if d != 1], ctx.dtype(0))]
    axes = {_norm(int(a), len(s)) for a in axes}
    return [([d for i, d in enumerate(s) if i not in axes], ctx.dtype(0))]


def _unsqueeze(ctx):
    s = ctx.shape(0)
    axes = ctx.attr("axes")
    if axes is None:
        axes = ctx.need_const(1).reshape(-1).tolist()
    rank = len(s) + len(axes)
    axes = sorted(_norm(int(a), rank) for a in axes)
    out = list(s)
    for a in axes:
        out.insert(a, 1)
    return [(out, ctx.dtype(0))]


def _flatten(ctx):
    s = ctx.shape(0)
    axis = _norm(ctx.attr("axis", 1), len(s) + 1) if s else 0
    return [([int(np.prod(s[:axis], dtype=np.int64)), int(np.prod(s[axis:], dtype=np.int64))], ctx.dtype(0))]


def _shape(ctx):
    return [([len(ctx.shape(0))], INT64)]


def _ex_window(ctx):
    n, c, h, w = ctx.shape(0)
    ws = ctx.attr("window_sizes")
    nw = ctx.attr("num_windows")
    mode = ctx.attr("mode")
    if mode == "reverse":
        return [([n, c, nw[0] * ws[0], nw[1] * ws[1]], ctx.dtype(0))]
    return [([n, c, nw[0] * nw[1], ws[0] * ws[1]], ctx.dtype(0))]


_UNARY = """Relu Sigmoid Tanh Exp Log Sqrt Abs Neg Floor Ceil Round Erf Sin Cos Tan Atan Asin Acos Sinh Cosh
Reciprocal Softplus Softsign LeakyRelu Elu Selu Celu HardSigmoid HardSwish Clip Identity Softmax LogSoftmax
Hardmax exSoftmax13 exGelu Gelu exSwish exMish Mish exDataConvert LpNormalization InstanceNormalization
exLayerNorm exMeanVarianceNormalization MeanVarianceNormalization Not BitwiseNot Dropout
Sign IsNaN IsInf ScatterND ScatterElements CumSum""".split()
_COMPARE = "Greater Less Equal GreaterOrEqual LessOrEqual".split()
_ARITH = "Add Sub Mul Div Pow Max Min Mod And Or Xor BitwiseAnd BitwiseOr BitwiseXor PRelu Sum Mean".split()
REDUCE = """ReduceMean ReduceMax ReduceMin ReduceSum ReduceL2 ReduceL1 ReduceProd ReduceLogSum ReduceLogSumExp
ReduceSumSquare""".split()

FUNCS = {op: _same for op in _UNARY}
FUNCS.update({op: _broadcasting(BOOL) for op in _COMPARE})
FUNCS.update({op: _broadcasting() for op in _ARITH})
FUNCS.update({op: _reduce for op in REDUCE})
FUNCS.update({
    "BatchNormalization": _batchnorm, "LayerNormalization": _layer_norm, "Cast": _cast, "Where": _broadcasting(dtype_input=1),
    "Reshape": _reshape, "Transpose": _transpose, "Conv": _conv, "ConvTranspose": _conv_transpose,
    "AveragePool": _pool, "MaxPool": _pool, "LpPool": _pool, "GlobalAveragePool": _global_pool,
    "GlobalMaxPool": _global_pool, "ArgMax": _argreduce, "ArgMin": _argreduce, "Gather": _gather,
    "GatherElements": _gather_elements, "Concat": _concat, "Split": _split, "Slice": _slice, "Pad": _pad,
    "Expand": _expand, "Tile": _tile, "MatMul": _matmul, "Resize": _resize, "TopK": _topk,
    "Squeeze": _squeeze, "Unsqueeze": _unsqueeze, "Flatten": _flatten, "Shape": _shape,
    "exWindow": _ex_window,
})


def infer(ir, node):
    """(shape, dtype) for every output of `node`, None where unknown."""
    fn = FUNCS.get(node.op_type)
    n = len(node.output)
    if fn is None:
        return _infer_with_onnx(ir, node)
    try:
        outs = fn(_Ctx(ir, node))
    except ShapeError as exc:
        raise ShapeError("node '%s' (%s): %s" % (node.name, node.op_type, exc)) from None
    except (_Unknown, ValueError, TypeError, IndexError, KeyError, ZeroDivisionError, AttributeError):
        return [(None, None)] * n
    outs = list(outs)[:n] + [(None, None)] * (n - len(outs))
    return [(None if s is None else [int(d) for d in s], dt) for s, dt in outs]


def _infer_with_onnx(ir, node):
    """Infers one node by running ONNX shape inference on a model holding just it."""
    n = len(node.output)
    if node.op_type.startswith("ex"):
        return [(None, None)] * n
    inputs, inits = [], []
    for name in dict.fromkeys(t for t in node.input if t):
        const = ir.get_const(name)
        if const is not None:
            inits.append(onnx.numpy_helper.from_array(const, name))
            continue
        shape, dtype = ir.get_shape(name), ir.get_dtype(name)
        if shape is None or dtype is None:
            return [(None, None)] * n
        inputs.append(helper.make_tensor_value_info(name, helper.np_dtype_to_tensor_dtype(dtype), shape))
    proto = ir.node_proto(node)
    graph = helper.make_graph([proto], "one", inputs, [helper.make_tensor_value_info(o, 0, None)
                                                       for o in node.output if o], inits)
    model = helper.make_model(graph, opset_imports=ir.opset_imports())
    try:
        inferred = shape_inference.infer_shapes(model, strict_mode=True)
    except Exception:
        return [(None, None)] * n
    found = {}
    for vi in list(inferred.graph.output) + list(inferred.graph.value_info):
        found[vi.name] = value_info_shape(vi)
    return [found.get(o, (None, None)) for o in node.output]


def value_info_shape(vi):
    """(shape, dtype) of a ValueInfoProto; shape None when any dimension is not a number."""
    t = vi.type.tensor_type
    dtype = np.dtype(helper.tensor_dtype_to_np_dtype(t.elem_type)) if t.elem_type else None
    if not t.HasField("shape"):
        return None, dtype
    dims = []
    for d in t.shape.dim:
        if not d.HasField("dim_value"):
            return None, dtype
        dims.append(int(d.dim_value))
    return dims, dtype
