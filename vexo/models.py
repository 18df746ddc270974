"""A suite of small models at the shapes real architectures use.

Each model comes in two versions built by the same function:

* clean: shape operands are initializers, every shape is static;
* exporter: what framework exporters leave behind. Shape operands are
  Constant nodes or are computed at run time from Shape -> Gather ->
  Unsqueeze -> Concat (and Div, Mul, Slice, ReduceProd, Range, Expand,
  ConstantOfShape, Equal, Where, Cast) subgraphs, Identity nodes sit on
  weights and outputs, and the first (batch) dimension of inputs and outputs
  is symbolic.

Both versions draw the same weights from the same seeded generator, so they
compute the same outputs, and `vexo.prepare.prepare` turns the exporter
version back into a graph with the op types of the clean one.

`SUITE` maps a model name to (clean builder, exporter builder). Run
`python3 -m vexo.models OUTDIR` to write every model as OUTDIR/<name>.onnx and
OUTDIR/<name>_exporter.onnx.
"""
import os
import sys
import tempfile

import numpy as np
import onnx
from onnx import TensorProto, helper, numpy_helper

OPSET = 17
IR_VERSION = 8


class _Net:
    """Builds one model; `exporter` selects how shape operands are written."""

    def __init__(self, name, seed, exporter, producer=""):
        self.name = name
        self.rng = np.random.default_rng(seed)
        self.exporter = exporter
        self.producer = producer
        self.nodes, self.inits, self.inputs, self.outputs = [], [], [], []
        self.count = 0
        self.shapes = {}

    def fresh(self, base):
        self.count += 1
        return "%s_%d" % (base, self.count)

    def input(self, name, shape, dtype=TensorProto.FLOAT):
        self.inputs.append((name, shape, dtype))
        return name

    def weight(self, shape, scale=None):
        """A float32 weight drawn from the model's generator (same draws in both versions)."""
        fan_in = int(np.prod(shape[1:])) if len(shape) > 1 else 1
        scale = 1.0 / np.sqrt(fan_in) if scale is None else scale
        value = (self.rng.standard_normal(shape) * scale).astype(np.float32)
        return self.initializer(value, "w")

    def initializer(self, value, base="c"):
        name = self.fresh(base)
        self.inits.append(numpy_helper.from_array(np.asarray(value), name))
        return name

    def const(self, values, dtype=np.int64):
        """A small operand: an initializer, or a Constant node in the exporter version."""
        value = np.asarray(values, dtype)
        if not self.exporter:
            return self.initializer(value)
        return self.op("Constant", value=numpy_helper.from_array(value))

    def op(self, op_type, *inputs, outputs=1, **attrs):
        name = self.fresh(op_type.lower())
        outs = [name if outputs == 1 else "%s_%d" % (name, k) for k in range(outputs)]
        self.nodes.append(helper.make_node(op_type, list(inputs), outs, name=name, **attrs))
        return outs[0] if outputs == 1 else outs

    def identity(self, t):
        """Exporters leave Identity nodes behind (tied weights, renamed outputs)."""
        return self.op("Identity", t) if self.exporter else t

    # -- run-time shape arithmetic of the exporter version

    def shape(self, t):
        key = ("shape", t)
        if key not in self.shapes:
            self.shapes[key] = self.op("Shape", t)
        return self.shapes[key]

    def dim(self, t, axis, op=None, k=None):
        """Dimension `axis` of `t` as an int64 scalar computed at run time, optionally `op`-ed with k."""
        d = self.op("Gather", self.shape(t), self.const(axis), axis=0)
        return self.op(op, d, self.const(k)) if op else d

    def reshape(self, x, shape, dims=None):
        """Reshape to `shape`; in the exporter version the entries in `dims` (axis -> args of dim())
        are computed from run-time shapes and concatenated with Constant nodes."""
        if not self.exporter or not dims:
            return self.op("Reshape", x, self.const(shape))
        parts = [self.op("Unsqueeze", self.dim(*dims[k]), self.const([0])) if k in dims else self.const([v])
                 for k, v in enumerate(shape)]
        return self.op("Reshape", x, self.op("Concat", *parts, axis=0))

    # -- the model

    def output(self, t, name):
        """Makes tensor `t` the graph output `name`."""
        if self.exporter:
            self.nodes.append(helper.make_node("Identity", [t], [name], name=self.fresh("identity")))
            self.outputs.append(name)
            return
        for node in self.nodes:
            for k, o in enumerate(node.output):
                if o == t:
                    node.output[k] = name
            for k, i in enumerate(node.input):
                if i == t:
                    node.input[k] = name
        self.outputs.append(name)

    def model(self, output_types=None):
        """The model. Output types come from shape inference of the clean version, or `output_types`."""
        symbolic = "unk__0" if self.producer == "tf2onnx" else "batch"
        ins = [helper.make_tensor_value_info(n, dt, [symbolic] + list(s[1:]) if self.exporter else s)
               for n, s, dt in self.inputs]
        graph = helper.make_graph(self.nodes, self.name, ins, [], self.inits)
        graph.output.extend(output_types or [helper.make_value_info(o, onnx.TypeProto()) for o in self.outputs])
        model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", OPSET)], producer_name=self.producer)
        model.ir_version = IR_VERSION
        if output_types is None:
            inferred = onnx.shape_inference.infer_shapes(model, strict_mode=True)
            del model.graph.output[:]
            model.graph.output.extend(inferred.graph.output)
        return model


def _matmul_bias(net, x, n_in, n_out):
    """x @ W + b. The exporter version keeps W transposed behind a Transpose node, as older exporters do."""
    w = net.weight([n_in, n_out])
    if net.exporter:
        wt = net.initializer(numpy_helper.to_array(net.inits.pop()).T.copy(), "wt")
        w = net.op("Transpose", wt, perm=[1, 0])
    return net.op("Add", net.op("MatMul", x, w), net.weight([n_out], 0.1))


def _layer_norm(net, x, channels, eps=1e-5):
    """LayerNorm over the last axis written out as ReduceMean/Sub/Pow/Sqrt/Div."""
    mean = net.op("ReduceMean", x, axes=[-1], keepdims=1)
    d = net.op("Sub", x, mean)
    var = net.op("ReduceMean", net.op("Pow", d, net.const(2.0, np.float32)), axes=[-1], keepdims=1)
    std = net.op("Sqrt", net.op("Add", var, net.const(eps, np.float32)))
    gamma = net.identity(net.initializer((1 + 0.1 * net.rng.standard_normal(channels)).astype(np.float32), "g"))
    return net.op("Add", net.op("Mul", net.op("Div", d, std), gamma), net.weight([channels], 0.1))


# ---------------------------------------------------------------- the models

def audio_net(exporter=False):
    """Conv1d/BatchNorm/pool audio network on [1, 16, 400] ending in a linear classifier."""
    net = _Net("audio_net", 1, exporter)
    x = net.input("audio", [1, 16, 400])
    for c_in, c_out, k, pool in ((16, 32, 5, "MaxPool"), (32, 32, 3, "AveragePool")):
        x = net.op("Conv", x, net.weight([c_out, c_in, k]), net.weight([c_out], 0.1), kernel_shape=[k],
                   pads=[k // 2, k // 2])
        var = net.initializer((0.5 + net.rng.random(c_out)).astype(np.float32), "var")
        x = net.op("BatchNormalization", x, net.weight([c_out], 1.0), net.weight([c_out], 0.1),
                   net.weight([c_out], 0.1), var, epsilon=1e-5)
        x = net.op("Relu", x)
        size = 2 if pool == "MaxPool" else 4
        x = net.op(pool, x, kernel_shape=[size], strides=[size])
    x = net.op("GlobalAveragePool", x)                       # [1, 32, 1]
    if exporter:                                             # x.view(x.size(0), -1) via ReduceProd
        rest = net.op("ReduceProd", net.op("Slice", net.shape(x), net.const([1]), net.const([3])), keepdims=1)
        batch = net.op("Unsqueeze", net.dim(x, 0), net.const([0]))
        x = net.op("Reshape", x, net.op("Concat", batch, rest, axis=0))
    else:
        x = net.reshape(x, [1, 32])
    net.output(_matmul_bias(net, x, 32, 10), "logits")
    return net


def transformer_block(exporter=False):
    """Pre-norm transformer encoder block on [1, 50, 64] with 4 heads."""
    net = _Net("transformer_block", 2, exporter)
    tokens, width, heads = 50, 64, 4
    head = width // heads
    x = net.input("tokens", [1, tokens, width])
    h = _layer_norm(net, x, width)
    split = {0: (h, 0), 1: (h, 1), 3: (h, 2, "Div", heads)}
    q = net.op("Transpose", net.reshape(_matmul_bias(net, h, width, width), [1, tokens, heads, head], split),
               perm=[0, 2, 1, 3])
    k = net.op("Transpose", net.reshape(_matmul_bias(net, h, width, width), [1, tokens, heads, head], split),
               perm=[0, 2, 3, 1])
    v = net.op("Transpose", net.reshape(_matmul_bias(net, h, width, width), [1, tokens, heads, head], split),
               perm=[0, 2, 1, 3])
    scores = net.op("MatMul", q, k)                          # [1, 4, 50, 50]
    if exporter:                                             # scale = sqrt(q.size(-1))
        scale = net.op("Sqrt", net.op("Cast", net.dim(q, 3), to=TensorProto.FLOAT))
    else:
        scale = net.const(np.sqrt(head), np.float32)
    attn = net.op("Softmax", net.op("Div", scores, scale), axis=-1)
    ctx = net.op("Transpose", net.op("MatMul", attn, v), perm=[0, 2, 1, 3])
    ctx = net.reshape(ctx, [1, tokens, width], {0: (ctx, 0), 1: (ctx, 1)})
    x = net.op("Add", x, _matmul_bias(net, ctx, width, width))
    h = net.op("Relu", _matmul_bias(net, _layer_norm(net, x, width), width, 2 * width))
    net.output(net.op("Add", x, _matmul_bias(net, h, 2 * width, width)), "encoded")
    return net


def swin_block(exporter=False):
    """Swin-style window attention on [1, 56, 56, 96]: window partition, attention, window reverse."""
    net = _Net("swin_block", 3, exporter)
    size, win, ch = 56, 7, 96
    n = size // win
    x = net.input("features", [1, size, size, ch])
    h = net.op("Add", net.op("Mul", x, net.weight([ch], 1.0)), net.weight([ch], 0.1))
    # window partition: view(B, H // ws, ws, W // ws, ws, C), permute, view(-1, ws, ws, C)
    h = net.reshape(h, [1, n, win, n, win, ch], {0: (h, 0), 1: (h, 1, "Div", win), 3: (h, 2, "Div", win),
                                                  5: (h, 3)})
    h = net.op("Transpose", h, perm=[0, 1, 3, 2, 4, 5])
    h = net.reshape(h, [-1, win, win, ch], {3: (h, 5)})
    h = net.reshape(h, [-1, win * win, ch])                  # [64, 49, 96]
    q, k, v = (_matmul_bias(net, h, ch, ch) for _ in range(3))
    scores = net.op("MatMul", q, net.op("Transpose", k, perm=[0, 2, 1]))
    attn = net.op("Softmax", net.op("Mul", scores, net.const(ch ** -0.5, np.float32)), axis=-1)
    h = _matmul_bias(net, net.op("MatMul", attn, v), ch, ch)
    h = net.reshape(h, [-1, win, win, ch])
    # window reverse: B = windows.size(0) // (H * W / ws / ws); view(B, H // ws, W // ws, ws, ws, C)
    h = net.reshape(h, [1, n, n, win, win, ch], {0: (h, 0, "Div", n * n)})
    h = net.op("Transpose", h, perm=[0, 1, 3, 2, 4, 5])
    h = net.reshape(h, [1, size, size, ch], {0: (h, 0)})
    net.output(net.op("Add", x, h), "features_out")
    return net


def yolo_head(exporter=False):
    """YOLO-style detection head: Conv output viewed as [1, 3, 85, 20, 20], decoded in five dimensions."""
    net = _Net("yolo_head", 4, exporter)
    anchors, outs, grid, stride = 3, 85, 20, 16.0
    x = net.input("p4", [1, 64, grid, grid])
    y = net.op("Conv", x, net.weight([anchors * outs, 64, 1, 1]), net.weight([anchors * outs], 0.1),
               kernel_shape=[1, 1])
    y = net.reshape(y, [1, anchors, outs, grid, grid], {0: (y, 0), 3: (y, 2), 4: (y, 3)})
    y = net.op("Sigmoid", net.op("Transpose", y, perm=[0, 1, 3, 4, 2]))   # [1, 3, 20, 20, 85]
    anchor_wh = np.array([[10, 13], [16, 30], [33, 23]], np.float32).reshape(1, anchors, 1, 1, 2)
    if exporter:
        anchor_grid = net.op("Mul", net.const(anchor_wh / stride, np.float32), net.const(stride, np.float32))
        cells = _grid_from_shape(net, y)
    else:
        anchor_grid = net.const(anchor_wh / stride * np.float32(stride), np.float32)
        gy, gx = np.meshgrid(np.arange(grid), np.arange(grid), indexing="ij")
        cells = net.const(np.stack([gx, gy], -1).reshape(1, 1, grid, grid, 2), np.float32)

    def part(start, end):
        return net.op("Slice", y, net.const([start]), net.const([end]), net.const([4]))

    two = net.const(2.0, np.float32)
    xy = net.op("Mul", net.op("Add", net.op("Sub", net.op("Mul", part(0, 2), two), net.const(0.5, np.float32)),
                              cells), net.const(stride, np.float32))
    wh = net.op("Mul", net.op("Pow", net.op("Mul", part(2, 4), two), two), anchor_grid)
    det = net.op("Concat", xy, wh, part(4, outs), axis=-1)
    net.output(net.reshape(det, [1, -1, outs], {0: (det, 0)}), "detections")
    return net


def _grid_from_shape(net, y):
    """The [1, 1, ny, nx, 2] cell grid built at run time from y's shape (Range, Expand, Concat, Cast)."""
    ny, nx = net.dim(y, 2), net.dim(y, 3)
    zero, one = net.const(0), net.const(1)
    size = net.op("Concat", net.op("Unsqueeze", ny, net.const([0])), net.op("Unsqueeze", nx, net.const([0])),
                  axis=0)
    gx = net.op("Expand", net.op("Unsqueeze", net.op("Range", zero, nx, one), net.const([0])), size)
    gy = net.op("Expand", net.op("Unsqueeze", net.op("Range", zero, ny, one), net.const([1])), size)
    cells = net.op("Concat", net.op("Unsqueeze", gx, net.const([-1])), net.op("Unsqueeze", gy, net.const([-1])),
                   axis=-1)
    return net.op("Cast", net.op("Unsqueeze", cells, net.const([0, 1])), to=TensorProto.FLOAT)


def pixel_shuffle(exporter=False):
    """Conv then pixel shuffle by 2 through 6-D: view [1, C, r, r, H, W], permute, view back."""
    net = _Net("pixel_shuffle", 5, exporter)
    ch, r, size = 64, 2, 16
    x = net.input("image", [1, ch, size, size])
    y = net.op("Conv", x, net.weight([ch, ch, 3, 3]), net.weight([ch], 0.1), kernel_shape=[3, 3],
               pads=[1, 1, 1, 1])
    y = net.reshape(y, [1, ch // (r * r), r, r, size, size], {0: (y, 0), 1: (y, 1, "Div", r * r), 4: (y, 2),
                                                              5: (y, 3)})
    y = net.op("Transpose", y, perm=[0, 1, 4, 2, 5, 3])
    y = net.reshape(y, [1, ch // (r * r), size * r, size * r], {0: (y, 0), 1: (y, 1), 2: (y, 2, "Mul", r),
                                                                3: (y, 4, "Mul", r)})
    net.output(net.op("Relu", y), "upscaled")
    return net


def reduction_mix(exporter=False):
    """ReduceSum/ReduceMean/ReduceL2 with keepdims 0 and 1, ArgMax with Casts, Gather, Tile over unit axes."""
    net = _Net("reduction_mix", 6, exporter)
    x = net.input("x", [1, 32, 24, 24])
    x = net.op("Mul", x, net.weight([32, 1, 1], 1.0))
    ch_sum = net.op("ReduceSum", x, net.const([1]), keepdims=1)                    # [1, 1, 24, 24]
    if exporter:                                 # x.expand(-1, 4, -1, -1) style repeats: -1 means "keep"
        want = net.const([-1, 4, -1, -1])
        keep = net.op("Equal", want, net.op("Mul", net.op("ConstantOfShape", net.const([4]),
                                                          value=numpy_helper.from_array(np.ones(1, np.int64))),
                                            net.const(-1)))
        reps = net.op("Where", keep, net.const([1, 1, 1, 1]), want)
    else:
        reps = net.const([1, 4, 1, 1])
    net.output(net.op("Tile", ch_sum, reps), "tiled_sum")                          # [1, 4, 24, 24]
    net.output(net.op("ReduceMean", x, axes=[2, 3], keepdims=0), "spatial_mean")   # [1, 32]
    net.output(net.op("ReduceL2", x, axes=[3], keepdims=1), "row_l2")              # [1, 32, 24, 1]
    net.output(net.op("ReduceSum", x, net.const([1, 2]), keepdims=0), "col_sum")   # [1, 24]
    idx = net.op("ArgMax", x, axis=1, keepdims=0)                                  # [1, 24, 24]
    idx = net.op("Cast", net.op("Cast", idx, to=TensorProto.INT32), to=TensorProto.FLOAT)
    net.output(net.op("Mul", idx, net.const(0.5, np.float32)), "argmax_scaled")
    picked = net.op("Gather", x, net.const([0, 5, 7]), axis=1)                     # [1, 3, 24, 24]
    net.output(net.op("Gather", picked, net.const(3), axis=2), "gathered")         # [1, 3, 24]
    return net


def mlp(exporter=False):
    """Two-dimensional MLP on [8, 64]: MatMul + Add + Relu, no Gemm."""
    net = _Net("mlp", 7, exporter)
    x = net.input("x", [8, 64])
    for n_in, n_out in ((64, 128), (128, 64)):
        x = net.op("Relu", _matmul_bias(net, x, n_in, n_out))
    net.output(_matmul_bias(net, net.identity(x), 64, 10), "scores")
    return net


def nhwc_tf(exporter=False):
    """A graph as tf2onnx writes it: NHWC ops between Transposes, Pad with NHWC pads, Clip, LeakyRelu."""
    net = _Net("nhwc_tf", 8, exporter, producer="tf2onnx")
    ch, size = 32, 40
    x = net.input("input", [1, ch, size, size])
    x = net.op("Conv", x, net.weight([ch, ch, 3, 3]), net.weight([ch], 0.1), kernel_shape=[3, 3],
               pads=[1, 1, 1, 1])
    h = net.op("Transpose", x, perm=[0, 2, 3, 1])                                 # [1, 40, 40, 32]
    h = net.op("Add", net.op("Mul", h, net.weight([ch], 1.0)), net.identity(net.weight([ch], 0.1)))
    paddings = np.array([[0, 0], [1, 1], [2, 2], [0, 0]], np.int32)                # tf.pad paddings, NHWC
    if exporter:                                   # tf2onnx turns paddings into ONNX pads at run time
        pads = net.op("Reshape", net.op("Transpose", net.const(paddings, np.int32), perm=[1, 0]), net.const([-1]))
        pads = net.op("Cast", pads, to=TensorProto.INT64)
    else:
        pads = net.const(paddings.T.reshape(-1))
    h = net.op("Pad", h, pads, net.const(0.0, np.float32), mode="constant")       # [1, 42, 44, 32]
    h = net.op("Clip", h, net.const(0.0, np.float32), net.const(6.0, np.float32))
    h = net.identity(net.op("LeakyRelu", h, alpha=0.1))
    net.output(net.op("Transpose", h, perm=[0, 3, 1, 2]), "output")              # [1, 32, 42, 44]
    return net


def _versions(build):
    def clean():
        return build(False).model()

    def exporter():
        outputs = clean().graph.output
        symbolic = []
        for vi in outputs:
            vi = helper.make_tensor_value_info(vi.name, vi.type.tensor_type.elem_type,
                                               [d.dim_value for d in vi.type.tensor_type.shape.dim])
            vi.type.tensor_type.shape.dim[0].dim_param = "unk__0" if build is nhwc_tf else "batch"
            symbolic.append(vi)
        return build(True).model(symbolic)

    clean.__name__, exporter.__name__ = build.__name__, build.__name__ + "_exporter"
    clean.__doc__ = exporter.__doc__ = build.__doc__
    return clean, exporter


SUITE = {f.__name__: _versions(f) for f in (audio_net, transformer_block, swin_block, yolo_head, pixel_shuffle,
                                            reduction_mix, mlp, nhwc_tf)}


def write_suite(outdir):
    """Writes every model of the suite to `outdir`; returns the paths written."""
    os.makedirs(outdir, exist_ok=True)
    paths = []
    for name, (clean, exporter) in SUITE.items():
        for suffix, build in (("", clean), ("_exporter", exporter)):
            path = os.path.join(outdir, name + suffix + ".onnx")
            _save_atomically(build(), path)
            paths.append(path)
    return paths


def _save_atomically(model, path):
    fd, tmp = tempfile.mkstemp(suffix=".onnx.tmp", dir=os.path.dirname(path) or ".")
    os.close(fd)
    try:
        onnx.save(model, tmp)
        os.replace(tmp, path)
    except BaseException:
        os.unlink(tmp)
        raise


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    if len(argv) != 1 or argv[0].startswith("-"):
        print("usage: python3 -m vexo.models OUTDIR", file=sys.stderr)
        return 2
    for path in write_suite(argv[0]):
        print(path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
