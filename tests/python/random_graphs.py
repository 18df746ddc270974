"""Random small ONNX graphs over the operators the dimension rules rewrite, and their conversion check.

Every seed gives one valid model: a few graph inputs of rank 1 to 7 and a chain
of three to nine operators drawn from the families below (elementwise and
broadcasting operators, Conv and pools on rank 3 and 4, normalisations,
reductions, ArgMax/ArgMin with Cast chains, softmaxes, Transpose, Reshape
chains and window partitions, Concat/Split, Slice, Pad, Expand, Tile, Gather,
MatMul, Where, Resize, TopK, ScatterND and the custom ex* operators), with
broadcasting operands that are constants (some shared, some Constant nodes),
graph inputs or earlier results, at opset 13, 17 or 18. `check_seed` converts
the model as the converter does (preparation, tables, clean-up) and checks the
result with the ONNX checker, with strict shape inference of the recorded
shapes, in ONNX Runtime against the original on the same random inputs, and by
the report: no rule failure other than the rules' own messages for graphs they
cannot handle, and no pass limit hit.

The rules are written to rewrite a few patterns into graphs that are not
equivalent (KNOWN_LIMITS, each explained where the generator makes it); the
converter normalises or guards each of them. By default the generator steers
clear of them, so the rules are seen firing on the safe forms; asked to
generate them, it records which ones each model holds, and a sweep prints how
many seeds held each pattern and how many seeds each guard declined.

    python3 tests/python/random_graphs.py --seed N [--dump out.onnx]   one seed, verdict printed
    python3 tests/python/random_graphs.py --start 0 --count 2000        many seeds, failures listed
        [--extra-rules all] [--tables fuse,hw] [--known-limits all|NAMES] [--no-guards] [-v]
"""
import argparse
import collections
import logging
import os
import re
import sys
import traceback
from dataclasses import dataclass, field

import numpy as np
import onnx
from onnx import helper, numpy_helper

if __name__ == "__main__":  # run from a checkout without installing
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

from vexo.api.ir_graph import CUSTOM_DOMAIN  # noqa: E402
from vexo.testing import run_model  # noqa: E402

F32 = np.dtype(np.float32)
I64 = np.dtype(np.int64)
BOOL = np.dtype(bool)
MAX_ELEMS = 720
DIMS = [1, 1, 1, 2, 2, 3, 3, 4, 4, 5, 6, 8]
MODES_2D = ("AB11", "1A1B", "11AB")

# Messages the rules send for graphs they are written not to handle. Such a
# failure leaves the graph as it was (the engine undoes the call) and is not a fault.
EXPECTED_MESSAGES = [re.compile(p) for p in (
    r"^Not support shape_dims = \d+ for .* in MatMul!$",  # 5-D MatMul output, an operand of rank 1, 2 or 6
    r"^Not support indices\.shape = .* in ScatterND\(.*\)!$",
    r"^Not support len\(indices\.shape\) > 4! in ScatterND\(.*\)!$",
    r"^Not support n_norm_shape = \d+ in '.*'!$",
    r"^The axis_rm = \d+ is out of range of '(pads|shape)' in '.*'!$",  # an empty roi of a 5-D Resize
    # A five-dimensional Resize reads a constant at every input position 1 to 3
    # it has; an absent roi (the empty name) is not a constant.
    r"^Only support constant '(roi|scales|sizes)' in Resize!$",
)]


# Patterns the rules are written to rewrite into graphs that are not equivalent,
# and which the converter normalises or keeps from the rule with a guard.
KNOWN_LIMITS = ("negative_removed_axis", "along_removed_axis", "unit_axis_from_output", "scatternd_layout",
             "mvn_rank3", "layernorm_11AB", "global_maxpool_layout", "pad_middle_axis", "pow_middle_axis",
             "reducel2_scalar", "window_search", "output_read_further")


@dataclass
class Tensor:
    name: str
    shape: list
    dtype: np.dtype
    exact: bool = True  # computed by data movement and per-element functions only: bit-exact after any rewrite
    op: str = ""        # the producer's op type


def _prod(shape):
    return int(np.prod(shape, dtype=np.int64)) if shape else 1


def _broadcast(*shapes):
    return [int(d) for d in np.broadcast_shapes(*[tuple(s) for s in shapes])]


def _divisors(n):
    return [d for d in range(1, n + 1) if n % d == 0]


class RandomGraph:
    """Builds one random model; `build()` returns (onnx.ModelProto, list of op families used).

    The rules are written to rewrite some graphs into ones that are not
    equivalent; the generator steers clear of each such pattern (KNOWN_LIMITS,
    each described where it is avoided). `limits` names the ones to generate
    anyway, or "all".
    """

    def __init__(self, seed, limits=()):
        self.seed = seed
        self.limits_on = set(KNOWN_LIMITS) if limits == "all" else set(limits)
        unknown = self.limits_on - set(KNOWN_LIMITS)
        if unknown:
            raise ValueError("unknown limits %s (choose from %s)" % (sorted(unknown), ", ".join(KNOWN_LIMITS)))
        self.rng = np.random.default_rng(seed)
        self.opset = int(self.rng.choice([17, 17, 17, 13, 18]))
        self.options = {"unsqueeze_2d_mode": self.pick(MODES_2D), "dynamic_shapes": self.chance(0.1)}
        self.nodes, self.inits, self.inputs = [], {}, {}
        self.pool = []
        self.uses = collections.Counter()
        self.shared = {}
        self.producer = "random_graphs"
        self.counter = 0
        self.families = []
        self.hits = set()  # the known-limit patterns this model holds

    def avoid(self, limit):
        return limit not in self.limits_on

    def hit(self, limit, present=True):
        """Counts pattern `limit`, generated on purpose, when it is present."""
        if present and not self.avoid(limit):
            self.hits.add(limit)

    def steer_clear(self, limit, present):
        """True when pattern `limit`, present here, is to be avoided; counted when it is let through."""
        self.hit(limit, present)
        return present and self.avoid(limit)

    # ------------------------------------------------------------ randomness

    def chance(self, p):
        return bool(self.rng.random() < p)

    def pick(self, seq):
        return seq[int(self.rng.integers(len(seq)))]

    def randint(self, lo, hi):
        """An integer in [lo, hi]."""
        return int(self.rng.integers(lo, hi + 1))

    def shape(self, rank, max_elems=MAX_ELEMS):
        dims = [self.pick(DIMS) for _ in range(rank)]
        while _prod(dims) > max_elems:
            k = int(np.argmax(dims))
            dims[k] = max(1, dims[k] // 2)
        return dims

    def values(self, shape, kind="normal"):
        """float32 constant values: random, uniform, or varying along a few axes only (redundant axes)."""
        shape = list(shape)
        roll = self.rng.random()
        if kind == "positive" or roll < 0.1:
            base = self.rng.uniform(0.5, 2.0, size=shape)
        elif roll < 0.25:
            base = np.full(shape, self.rng.uniform(-2, 2))
        elif roll < 0.45 and shape:
            small = [d if self.chance(0.4) else 1 for d in shape]
            base = np.broadcast_to(self.rng.standard_normal(small), shape)
        else:
            base = self.rng.standard_normal(shape)
        if kind == "positive":
            base = np.abs(base) + 0.5
        return np.ascontiguousarray(base).astype(np.float32)

    # ------------------------------------------------------------ graph pieces

    def fresh(self, base):
        self.counter += 1
        return "%s%d" % (base, self.counter)

    def add_input(self, shape, dtype=F32):
        t = Tensor(self.fresh("in"), list(shape), np.dtype(dtype))
        self.inputs[t.name] = t
        self.pool.append(t)
        return t

    def const(self, value, base="c"):
        value = np.asarray(value)
        name = self.fresh(base)
        self.inits[name] = value
        return Tensor(name, list(value.shape), value.dtype)

    def ints(self, values):
        """An int64 constant; an equal one made before is often read again, as exporters share them."""
        key = tuple(int(v) for v in values)
        if key in self.shared and self.chance(0.5):
            return self.shared[key]
        name = self.shared[key] = self.const(np.array(values, dtype=np.int64), "k").name
        return name

    def emit(self, op, inputs, outs, exact=True, **attrs):
        """Adds one node; `outs` holds (shape, dtype) per output. Returns the output tensors."""
        names = [t if isinstance(t, str) else t.name for t in inputs]
        for t in inputs:
            if isinstance(t, Tensor):
                self.uses[t.name] += 1
        results = [Tensor(self.fresh(op[:3].lower()), list(s), np.dtype(d), exact, op) for s, d in outs]
        node = helper.make_node(op, names, [r.name for r in results], name=self.fresh("n_" + op), **attrs)
        if op.startswith("ex"):
            node.domain = CUSTOM_DOMAIN
        self.nodes.append(node)
        self.pool.extend(results)
        return results

    def operand(self, want_rank=None, ranks=None, dtype=F32, exact=False, max_elems=MAX_ELEMS):
        """A tensor of the pool (recent and unused ones first) matching the wishes, else a new input."""
        def fits(t):
            return (t.dtype == dtype and (not exact or t.exact) and _prod(t.shape) <= max_elems and t.shape
                    and (want_rank is None or len(t.shape) == want_rank)
                    and (ranks is None or len(t.shape) in ranks) and t.name not in self.inits)
        candidates = [t for t in self.pool if fits(t)]
        if candidates and self.chance(0.85):
            fresh = [t for t in candidates if not self.uses[t.name]]
            if fresh and self.chance(0.7):
                return fresh[-1] if self.chance(0.6) else self.pick(fresh)
            return self.pick(candidates)
        rank = want_rank if want_rank is not None else (self.pick(list(ranks)) if ranks else self.randint(1, 7))
        return self.add_input(self.shape(rank, max_elems), dtype)

    def broadcast_shape(self, shape):
        """A shape that broadcasts against `shape`: fewer, equal or more axes, unit axes, rarely widening."""
        rank = len(shape)
        r = self.pick([rank, rank, rank, max(rank - 1, 0), max(rank - 2, 0), 0, rank + 1])
        r = min(r, 7)
        tail = list(shape[len(shape) - r:]) if r <= rank else [1] * (r - rank) + list(shape)
        out = []
        for d in tail:
            if d == 1 and self.chance(0.15):
                out.append(self.pick([2, 3]))
            elif self.chance(0.35):
                out.append(1)
            else:
                out.append(d)
        if _prod(_broadcast(shape, out)) > 2 * MAX_ELEMS:
            out = [1] * len(out)
        return out

    def second(self, shape, kind="normal"):
        """A broadcasting second operand: a constant, a new graph input or an earlier result."""
        bshape = self.broadcast_shape(shape)
        roll = self.rng.random()
        if roll < 0.5:
            return self.const(self.values(bshape, kind=kind))
        if roll < 0.8 or kind == "positive":
            t = self.add_input(bshape)
        else:
            same = [t for t in self.pool if t.dtype == F32 and t.shape == list(shape) and t.name not in self.inits]
            t = self.pick(same) if same else self.add_input(bshape)
        if kind == "positive":
            t = self.positive(t)
        return t

    def positive(self, t):
        """exp(tanh(t)): values in [0.36, 2.8], safe for Div, Pow, Log and Sqrt."""
        (a,) = self.emit("Tanh", [t], [(t.shape, F32)], t.exact)
        return self.emit("Exp", [a], [(t.shape, F32)], t.exact)[0]

    # ------------------------------------------------------------ families

    def f_unary(self):
        x = self.operand()
        op = self.pick(["Relu", "Sigmoid", "Tanh", "Clip", "LeakyRelu", "Elu", "Softplus", "Atan", "Sin", "Cos",
                        "Erf", "Exp", "Floor", "Reciprocal", "Sqrt", "Log", "exGelu", "exSwish", "exMish",
                        "exDataConvert", "Abs", "Neg"])
        attrs, ins = {}, [x]
        if op == "Floor" and not x.exact:
            x = ins[0] = self.operand(exact=True)
        if op in ("Reciprocal", "Sqrt", "Log"):
            x = ins[0] = self.positive(x)
        if op == "Exp":
            x = ins[0] = self.emit("Tanh", [x], [(x.shape, F32)], x.exact)[0]
        if op == "Clip":
            lo, hi = self.const(np.array(-0.5, np.float32)), self.const(np.array(0.7, np.float32))
            ins = [x, lo, hi] if self.chance(0.6) else [x, "", hi]
        if op in ("LeakyRelu", "Elu"):
            attrs["alpha"] = 0.2
        if op == "exSwish" and self.chance(0.5):
            attrs["alpha"] = 1.5
        self.emit(op, ins, [(x.shape, F32)], x.exact, **attrs)

    def f_binary(self):
        x = self.operand()
        op = self.pick(["Add", "Sub", "Mul", "Div", "Pow", "Max", "Min", "Add", "Mul"])
        if op == "Div":
            y = self.second(x.shape, kind="positive")
        elif op == "Pow":
            if not self.avoid("pow_middle_axis") and self.chance(0.3):  # a unit middle axis the exponent widens
                x = self.add_input([self.randint(1, 3), 1, self.randint(4, 6)])
            x = self.positive(x)
            yshape = self.broadcast_shape(x.shape)
            if not self.avoid("pow_middle_axis") and len(x.shape) == 3 and x.shape[1] == 1 and self.chance(0.5):
                yshape = [self.pick([2, 3]), 1]
            if self.steer_clear("pow_middle_axis", len(x.shape) == 3 and x.shape[1] == 1 and len(yshape) >= 2
                                and yshape[-2] != 1):
                # A rank-3 Pow takes its layout from its first input, and a unit
                # middle axis there can give "AC1B", which moves the last axis in
                # front of the middle one: an exponent widening that axis would
                # reorder the result.
                yshape[-2] = 1
            y = self.const(self.values(yshape, kind="positive"))
        else:
            y = self.second(x.shape)
        ins = [x, y] if op in ("Div", "Pow") or self.chance(0.6) else [y, x]
        out = _broadcast(x.shape, y.shape)
        self.emit(op, ins, [(out, F32)], x.exact and y.exact)

    def f_same_twice(self):
        """One tensor read by both inputs of an elementwise operator."""
        x = self.operand()
        self.emit(self.pick(["Add", "Mul", "Sub"]), [x, x], [(x.shape, F32)], x.exact)

    def f_compare(self):
        x = self.operand(exact=True)
        y = self.second(x.shape)
        if not y.exact:
            y = self.const(self.values(self.broadcast_shape(x.shape)))
        op = self.pick(["Greater", "Less", "GreaterOrEqual", "LessOrEqual", "Equal"])
        if op == "Equal":
            x = self.emit("Floor", [x], [(x.shape, F32)])[0]
            y = self.const(np.floor(self.values(y.shape)))
        shape = _broadcast(x.shape, y.shape)
        (c,) = self.emit(op, [x, y], [(shape, BOOL)])
        roll = self.rng.random()
        if roll < 0.2:
            (c,) = self.emit("Not", [c], [(shape, BOOL)])
        elif roll < 0.4:
            (d,) = self.emit("Greater", [x, self.const(np.array(0.3, np.float32))], [(x.shape, BOOL)])
            op2 = self.pick(["And", "Or", "Xor"])
            shape = _broadcast(shape, x.shape)
            (c,) = self.emit(op2, [c, d], [(shape, BOOL)])
        if self.chance(0.3):
            self.emit("Cast", [c], [(shape, F32)], to=onnx.TensorProto.FLOAT)
            return
        a = self.second(shape)
        b = self.second(_broadcast(shape, a.shape)) if self.chance(0.6) else self.const(np.array(0.0, np.float32))
        out = _broadcast(shape, a.shape, b.shape)
        self.emit("Where", [c, a, b], [(out, F32)], a.exact and b.exact)

    def f_conv(self):
        rank = self.pick([3, 3, 4])
        op = self.pick(["Conv", "Conv", "ConvTranspose", "MaxPool", "AveragePool", "GlobalAveragePool",
                        "GlobalMaxPool"])
        n, c = self.pick([1, 1, 2]), self.pick([1, 2, 3, 4, 6])
        if self.steer_clear("global_maxpool_layout", op == "GlobalMaxPool" and rank == 3):
            # A rank-3 GlobalMaxPool takes its four-dimensional layout from the
            # extents of its input; unless the channel axis leads them, the
            # layout puts a pooled axis on the channels and the rewrite is refused.
            c = self.pick([4, 6])
        spatial = [self.randint(3, 9) for _ in range(rank - 2)]
        x = self.fitting([n, c] + spatial)
        k = [self.randint(1, 3) for _ in spatial]
        s = [self.pick([1, 1, 2]) for _ in spatial]
        d = [self.pick([1, 1, 2]) for _ in spatial] if op in ("Conv", "MaxPool", "ConvTranspose") else [1] * len(k)
        eff = [(kk - 1) * dd + 1 for kk, dd in zip(k, d)]
        if op in ("MaxPool", "AveragePool"):
            pads = [self.randint(0, kk - 1) for kk in k] + [self.randint(0, kk - 1) for kk in k]
        else:
            pads = [self.randint(0, 1) for _ in range(2 * len(k))]
        written = self.chance(0.8)
        if not written:
            pads = [0] * (2 * len(k))
        if any(sp + pads[i] + pads[i + len(k)] < e for i, (sp, e) in enumerate(zip(spatial, eff))):
            pads = [0] * (2 * len(k))
            k, d = [1] * len(k), [1] * len(k)
            eff = [1] * len(k)
        attrs = {"kernel_shape": k, "strides": s}
        if written:
            attrs["pads"] = pads
        if op.startswith("Global"):
            self.emit(op, [x], [([n, c] + [1] * len(spatial), F32)], op == "GlobalMaxPool" and x.exact)
            return
        if op in ("Conv", "ConvTranspose", "MaxPool") and d != [1] * len(d):
            attrs["dilations"] = d
        if op == "ConvTranspose":
            group = self.pick([g for g in _divisors(c) if g <= 2])
            m = self.pick([1, 2, 3])
            w = self.const(self.values([c, m, *k]))
            outp = [self.randint(0, ss - 1) if self.chance(0.4) else 0 for ss in s]
            if any(outp):
                attrs["output_padding"] = outp
            sp_out = [ss * (sp - 1) + op_ + e - pads[i] - pads[i + len(k)]
                      for i, (ss, sp, op_, e) in enumerate(zip(s, spatial, outp, eff))]
            if group > 1:
                attrs["group"] = group
            ins = [x, w] + ([self.const(self.values([m * group]))] if self.chance(0.5) else [])
            self.emit(op, ins, [([n, m * group] + sp_out, F32)], False, **attrs)
            return
        sp_out = [(sp + pads[i] + pads[i + len(k)] - e) // ss + 1
                  for i, (sp, e, ss) in enumerate(zip(spatial, eff, s))]
        if op == "Conv":
            group = self.pick(_divisors(c))
            m = group * self.pick([1, 2])
            w = self.const(self.values([m, c // group, *k]))
            if group > 1:
                attrs["group"] = group
            ins = [x, w] + ([self.const(self.values([m]))] if self.chance(0.5) else [])
            self.emit(op, ins, [([n, m] + sp_out, F32)], False, **attrs)
            return
        if op == "AveragePool" and self.chance(0.5):
            attrs["count_include_pad"] = 1
        self.emit(op, [x], [([n, c] + sp_out, F32)], op == "MaxPool" and x.exact, **attrs)

    def fitting(self, shape):
        """A float tensor of exactly `shape`: an earlier result reshaped when one has the size, else an input."""
        same = [t for t in self.pool if t.dtype == F32 and _prod(t.shape) == _prod(shape)
                and t.name not in self.inits]
        if same and self.chance(0.7):
            t = self.pick(same)
            if t.shape == list(shape):
                return t
            return self.emit("Reshape", [t, self.ints(shape)], [(shape, F32)], t.exact)[0]
        return self.add_input(shape)

    def f_norm(self):
        op = self.pick(["BatchNormalization", "BatchNormalization", "InstanceNormalization", "LpNormalization",
                        "exLayerNorm", "exMeanVarianceNormalization"])
        if op == "BatchNormalization":
            x = self.operand(ranks=range(2, 8))
            c = x.shape[1]
            params = [self.const(self.values([c])), self.const(self.values([c])), self.const(self.values([c])),
                      self.const(self.values([c], kind="positive"))]
            self.emit(op, [x] + params, [(x.shape, F32)], False, epsilon=1e-3)
        elif op == "InstanceNormalization":
            x = self.operand(ranks=(3, 4))
            c = x.shape[1]
            self.emit(op, [x, self.const(self.values([c])), self.const(self.values([c]))], [(x.shape, F32)], False)
        elif op == "LpNormalization":
            x = self.operand(exact=True)  # near zero, a normalised value's sign follows the rounding
            self.emit(op, [x], [(x.shape, F32)], False, axis=self.along(x.shape), p=2)
        elif op == "exLayerNorm":
            x = self.operand(ranks=range(1, 6))
            k = self.randint(1, min(3, len(x.shape)))
            if self.steer_clear("layernorm_11AB", len(x.shape) == 2 and k == 1 and x.shape[0] != 1
                                and self.options["unsqueeze_2d_mode"] == "11AB"):
                # [x, y] is laid out as [1, 1, x, y] and a normalized_shape [y] as
                # [1, 1, y]: three trailing axes, which take in x as well.
                k = 2
            norm = x.shape[len(x.shape) - k:]
            ins = [x]
            if self.chance(0.6):
                ins += [self.const(self.values(norm)), self.const(self.values(norm))]
            self.emit(op, ins, [(x.shape, F32)], False, normalized_shape=norm, epsilon=1e-5)
        else:
            # Four-dimensional only: a rank-3 normalisation over [0, 2] keeps those
            # axes when it is made four-dimensional and then normalises over the
            # inserted unit axis instead of the last one.
            x = self.operand(want_rank=4) if self.avoid("mvn_rank3") else self.operand(ranks=(3, 4))
            self.hit("mvn_rank3", len(x.shape) == 3)
            self.emit(op, [x], [(x.shape, F32)], False, axes=[0, 2, 3][:len(x.shape) - 1])

    @staticmethod
    def removed_axis(shape):
        """The unit axis a five-dimensional operator of this shape loses, or None."""
        if len(shape) == 5 and 1 in shape[:2]:
            return shape.index(1)
        return None

    def stored_axes(self, shape, axes):
        """`axes` without a negative spelling of the axis a five-dimensional operator loses.

        The squeeze rule refuses a Slice, Split, Concat or Reduce whose axes hold
        the removed axis by comparing the axes as stored, and renumbers an axis
        equal to it to the axis before: -5 for axis 0 passes the test and ends
        up on the last axis. Written non-negative, the axis is refused.
        """
        gone = self.removed_axis(shape)
        if self.steer_clear("negative_removed_axis", any(a < 0 and a % len(shape) == gone for a in axes)):
            return [a % len(shape) if a < 0 and a % len(shape) == gone else a for a in axes]
        return axes

    def along(self, shape):
        """An axis for a softmax, TopK or Lp normalisation: never the axis a 5-D operator loses.

        The squeeze rule renumbers an `axis` equal to the removed axis to the one
        before it, so an operator along the removed unit axis would run along
        another axis after the rewrite.
        """
        rank, gone = len(shape), self.removed_axis(shape) if self.avoid("along_removed_axis") else None
        choices = [a for a in range(-rank, rank) if gone is None or a % rank != gone]
        axis = self.pick(choices)
        self.hit("along_removed_axis", axis % rank == self.removed_axis(shape))
        return axis

    def axes_subset(self, rank, most=3):
        count = self.randint(1, min(most, rank))
        axes = sorted(int(a) for a in self.rng.choice(rank, size=count, replace=False))
        return [a - rank if self.chance(0.3) else a for a in axes]

    def f_reduce(self):
        x = self.operand()
        rank = len(x.shape)
        op = self.pick(["ReduceSum", "ReduceSum", "ReduceMean", "ReduceMean", "ReduceMax", "ReduceMin", "ReduceL2",
                        "ReduceProd", "ReduceSumSquare", "ReduceL1", "ReduceLogSumExp"])
        axes = None if self.chance(0.1) else self.stored_axes(x.shape, self.axes_subset(rank))
        keep = self.pick([0, 1, None])
        if op == "ReduceL2" and not self.avoid("reducel2_scalar") and self.chance(0.5):  # a 4-D tensor to a scalar
            x, rank, axes, keep = self.operand(want_rank=4), 4, None, 0
        attrs = {} if keep is None else {"keepdims": keep}
        ins = [x]
        if axes is not None:
            if op == "ReduceSum" and self.opset >= 13 or self.opset >= 18:
                ins.append(self.ints(axes))
            else:
                attrs["axes"] = axes
        which = range(rank) if axes is None else [a % rank for a in axes]
        if self.steer_clear("reducel2_scalar", op == "ReduceL2" and keep == 0 and len(set(which)) == rank):
            # ReduceL2 runs as Pow, ReduceSum, Pow with one-element exponents,
            # which give a scalar result one axis.
            keep = attrs["keepdims"] = 1
        out = [1 if i in which else d for i, d in enumerate(x.shape)] if keep != 0 else \
            [d for i, d in enumerate(x.shape) if i not in which]
        self.emit(op, ins, [(out, F32)], op in ("ReduceMax", "ReduceMin") and x.exact, **attrs)

    def f_argmax(self):
        x = self.operand(exact=True)
        rank = len(x.shape)
        axis = self.randint(-rank, rank - 1)
        keep = self.pick([0, 1, None])
        attrs = {"axis": axis} if self.chance(0.9) or axis != 0 else {}
        if keep is not None:
            attrs["keepdims"] = keep
        out = list(x.shape)
        if keep == 0:
            del out[axis % rank]
        else:
            out[axis % rank] = 1
        (t,) = self.emit(self.pick(["ArgMax", "ArgMin"]), [x], [(out, I64)], **attrs)
        for _ in range(self.pick([0, 1, 1, 2])):
            to = self.pick([onnx.TensorProto.FLOAT, onnx.TensorProto.INT32, onnx.TensorProto.FLOAT])
            dtype = helper.tensor_dtype_to_np_dtype(to)
            (t,) = self.emit("Cast", [t], [(out, dtype)], to=to)
        if t.dtype != F32:
            (t,) = self.emit("Cast", [t], [(out, F32)], to=onnx.TensorProto.FLOAT)
        if self.chance(0.4):
            y = self.second(out)
            self.emit("Add", [t, y], [(_broadcast(out, y.shape), F32)], y.exact)

    def f_softmax(self):
        x = self.operand()
        op = self.pick(["Softmax", "LogSoftmax", "exSoftmax13", "exSoftmax13"])
        axis = self.along(x.shape)
        attrs = {"axis": axis} if self.chance(0.9) or axis != -1 else {}
        self.emit(op, [x], [(x.shape, F32)], False, **attrs)

    def f_transpose(self):
        x = self.operand(ranks=range(2, 8))
        rank = len(x.shape)
        roll = self.rng.random()
        if roll < 0.1:
            perm, attrs = list(range(rank))[::-1], {}
        else:
            if roll < 0.5:  # blocks of adjacent axes kept together
                cuts = sorted(set(int(c) for c in self.rng.choice(range(1, rank), size=self.randint(1, rank - 1),
                                                                      replace=False)))
                blocks = [list(range(a, b)) for a, b in zip([0] + cuts, cuts + [rank])]
                self.rng.shuffle(blocks)
                perm = [a for b in blocks for a in b]
            else:
                perm = [int(p) for p in self.rng.permutation(rank)]
            attrs = {"perm": perm}
        self.emit("Transpose", [x], [([x.shape[p] for p in perm], x.dtype)], x.exact, **attrs)

    def reshape_target(self, shape):
        """A new shape of the same size: adjacent axes merged, axes split, unit axes added or removed."""
        dims = [d for d in shape if d != 1 or self.chance(0.5)]
        for _ in range(self.randint(1, 3)):
            roll = self.rng.random()
            if roll < 0.35 and len(dims) >= 2:
                k = self.randint(0, len(dims) - 2)
                dims[k:k + 2] = [dims[k] * dims[k + 1]]
            elif roll < 0.7 and dims:
                k = self.randint(0, len(dims) - 1)
                fs = [f for f in _divisors(dims[k]) if 1 < f < dims[k]]
                if fs:
                    f = self.pick(fs)
                    dims[k:k + 1] = [f, dims[k] // f]
            else:
                dims.insert(self.randint(0, len(dims)), 1)
        while len(dims) > 7:
            dims[0:2] = [dims[0] * dims[1]]
        return dims or [1]

    def f_reshape(self):
        x = self.operand()
        target = self.reshape_target(x.shape)
        for _ in range(self.pick([1, 1, 2])):
            operand = list(target)  # the shape operand, with -1 or 0 standing for some extents
            if self.chance(0.2):
                operand[self.randint(0, len(operand) - 1)] = -1
            if self.chance(0.15) and len(x.shape) == len(operand):
                k = self.randint(0, len(operand) - 1)
                if x.shape[k] == target[k] and operand[k] != -1:
                    operand[k] = 0
            (x,) = self.emit("Reshape", [x, self.ints(operand)], [(target, x.dtype)], x.exact)
            target = self.reshape_target(target)
        if self.chance(0.3):
            self.f_unit_view(x)

    def f_unit_view(self, x):
        if 1 in x.shape and self.chance(0.5):
            axes = [i for i, d in enumerate(x.shape) if d == 1][:1]
            out = [d for i, d in enumerate(x.shape) if i not in axes]
            self.emit("Squeeze", [x, self.ints(axes)], [(out, x.dtype)], x.exact)
        elif len(x.shape) < 7:
            k = self.randint(0, len(x.shape))
            self.emit("Unsqueeze", [x, self.ints([k])], [(x.shape[:k] + [1] + x.shape[k:], x.dtype)], x.exact)

    def f_window(self):
        """Window partitions and their reverse as Reshape-Transpose-Reshape chains."""
        nh, wh = self.pick([1, 2, 2, 3]), self.pick([2, 2, 3, 4])
        nw, ww = (nh, wh) if self.chance(0.8) else (self.pick([1, 2, 3]), self.pick([2, 3]))
        layout = self.pick(["nhwc", "nhwc", "nchw", "num_first", "reverse"])
        # The fusion finds the window axes in the first Reshape's output as the
        # first axis equal to the window block's leading extent (nh, or wh for
        # the num-first layout) from which the extents multiply up to the
        # block's size; a batch or channel extent equal to it makes the search
        # start too early, and the fused window then reads the wrong axes.
        lead = (wh if layout == "num_first" else nh) if self.avoid("window_search") else 0
        n = self.pick([d for d in (1, 1, 2) if d != lead] or [3])
        c = self.pick([d for d in (1, 2, 3, 4) if d != lead])
        self.hit("window_search", (wh if layout == "num_first" else nh) in (n, c))
        if layout == "nhwc":
            x = self.fitting([n, nh * wh, nw * ww, c])
            view, perm = [n, nh, wh, nw, ww, c], [0, 1, 3, 2, 4, 5]
            out = self.pick([[n * nh * nw, wh, ww, c], [n * nh * nw, wh * ww, c], [-1, wh * ww, c]])
        elif layout == "nchw":
            x = self.fitting([n, c, nh * wh, nw * ww])
            view, perm = [n, c, nh, wh, nw, ww], [0, 1, 2, 4, 3, 5]
            out = self.pick([[n, c, nh * nw, wh * ww], [n * c, nh * nw, wh, ww]])
        elif layout == "num_first":
            x = self.fitting([n, c, wh * nh, ww * nw])
            view, perm = [n, c, wh, nh, ww, nw], [0, 1, 3, 5, 2, 4]
            out = [n, c, nh * nw, wh * ww]
        else:
            x = self.fitting([n * nh * nw, wh, ww, c])
            view, perm = [n, nh, nw, wh, ww, c], [0, 1, 3, 2, 4, 5]
            out = [n, nh * wh, nw * ww, c]
        (v,) = self.emit("Reshape", [x, self.ints(view)], [(view, F32)], x.exact)
        tshape = [view[p] for p in perm]
        (t,) = self.emit("Transpose", [v], [(tshape, F32)], x.exact, perm=perm)
        real = [d if d != -1 else _prod(view) // -_prod(out) for d in out]
        self.emit("Reshape", [t, self.ints(out)], [(real, F32)], x.exact)

    def f_concat(self):
        x = self.operand()
        rank = len(x.shape)
        axis = self.stored_axes(x.shape, [self.randint(-rank, rank - 1)])[0]
        a = axis % rank
        parts = [x]
        for _ in range(self.pick([1, 1, 2])):
            shape = list(x.shape)
            shape[a] = self.pick([1, 2, 3, x.shape[a]])
            parts.append(self.const(self.values(shape)) if self.chance(0.4) else self.add_input(shape))
        if self.chance(0.4):
            self.rng.shuffle(parts)
        out = list(x.shape)
        out[a] = sum(p.shape[a] for p in parts)
        self.emit("Concat", parts, [(out, F32)], all(p.exact for p in parts), axis=axis)

    def f_split(self):
        x = self.operand()
        rank = len(x.shape)
        splittable = [i for i, d in enumerate(x.shape) if d >= 2]
        if not splittable:
            x = self.add_input(self.shape(rank) if rank > 1 else [4])
            splittable = [i for i, d in enumerate(x.shape) if d >= 2] or [0]
            if x.shape[splittable[0]] < 2:
                x = self.add_input([4] + x.shape[1:])
                splittable = [0]
        a = self.pick(splittable)
        axis = self.stored_axes(x.shape, [a - rank if self.chance(0.3) else a])[0]
        dim = x.shape[a]
        count = self.randint(2, min(3, dim))
        ins, attrs = [x], {"axis": axis}
        if self.chance(0.5) and dim % count == 0:
            sizes = [dim // count] * count
            if self.opset >= 18:
                attrs["num_outputs"] = count
        else:
            cuts = sorted(int(c) for c in self.rng.choice(range(1, dim), size=count - 1, replace=False))
            sizes = [b - a_ for a_, b in zip([0] + cuts, cuts + [dim])]
            if self.opset >= 13:
                ins.append(self.ints(sizes))
            else:
                attrs["split"] = sizes
        outs = []
        for s in sizes:
            shape = list(x.shape)
            shape[a] = s
            outs.append((shape, x.dtype))
        self.emit("Split", ins, outs, x.exact, **attrs)

    def f_slice(self):
        x = self.operand()
        rank = len(x.shape)
        axes = self.stored_axes(x.shape, self.axes_subset(rank))
        starts, ends, steps, out = [], [], [], list(x.shape)
        for ax in axes:
            dim = x.shape[ax % rank]
            step = self.pick([1, 1, 1, 2, -1])
            for _ in range(20):
                st = self.randint(-dim, dim - 1)
                en = self.pick([self.randint(-dim - 1, dim + 1), 2 ** 63 - 1 if step > 0 else -2 ** 63])
                count = _slice_count(dim, st, en, step)
                if count >= 1:
                    break
            else:
                st, en, step, count = 0, dim, 1, dim
            starts.append(st)
            ends.append(en)
            steps.append(step)
            out[ax % rank] = count
        ins = [x, self.ints(starts), self.ints(ends)]
        full = sorted(a % rank for a in axes) == list(range(len(axes))) and all(
            a >= 0 for a in axes) and axes == sorted(axes)
        if not (full and all(s == 1 for s in steps) and self.chance(0.3)):
            ins.append(self.ints(axes))
            if any(s != 1 for s in steps) or self.chance(0.5):
                ins.append(self.ints(steps))
        self.emit("Slice", ins, [(out, x.dtype)], x.exact)

    def f_pad(self):
        x = self.operand()
        rank = len(x.shape)
        mode = self.pick(["constant", "constant", "reflect", "edge"])
        pads = []
        for half in range(2):
            for d in x.shape:
                hi = d - 1 if mode == "reflect" else 2
                pads.append(self.randint(0, min(2, hi)) if self.chance(0.4) else 0)
        if self.steer_clear("pad_middle_axis", rank == 3 and x.shape[1] == 1 and (pads[1] or pads[4])):
            # A rank-3 Pad takes its four-dimensional layout from its input; with
            # a unit middle axis that can be "AC1B", which moves the last axis in
            # front of the middle one. Padding the middle axis would then reorder
            # the output.
            pads[1] = pads[4] = 0
        if mode == "constant" and self.chance(0.15):
            k = self.randint(0, 2 * rank - 1)
            if x.shape[k % rank] > 1 + pads[(k + rank) % (2 * rank)]:
                pads[k] = -1
        out = [d + pads[i] + pads[i + rank] for i, d in enumerate(x.shape)]
        if self.steer_clear("unit_axis_from_output",
                            self.removed_axis(out) not in (None, self.removed_axis(x.shape))):
            # A crop to a unit axis at position 0 or 1: the squeeze rule would
            # take that axis out of the input as well, where it is not a unit axis.
            pads = [max(p, 0) for p in pads]
            out = [d + pads[i] + pads[i + rank] for i, d in enumerate(x.shape)]
        ins = [x, self.ints(pads)]
        if mode == "constant" and self.chance(0.4):
            ins.append(self.const(np.array(self.rng.uniform(-1, 1), np.float32)))
        self.emit("Pad", ins, [(out, x.dtype)], x.exact, mode=mode)

    def f_expand(self):
        x = self.operand()
        extra = self.pick([0, 0, 0, 1, 2])
        target = []
        for d in [1] * extra + list(x.shape):
            target.append(self.pick([2, 3, 4]) if d == 1 and self.chance(0.5) else (1 if self.chance(0.2) else d))
        target = target[:7] if len(target) <= 7 else target[-7:]
        out = _broadcast(x.shape, target)
        if _prod(out) > 2 * MAX_ELEMS:
            target, out = [1] * len(target), _broadcast(x.shape, [1] * len(target))
        (e,) = self.emit("Expand", [x, self.ints(target)], [(out, x.dtype)], x.exact)
        grown = [i for i, (a, b) in enumerate(zip([1] * (len(out) - len(x.shape)) + x.shape, out)) if a < b]
        if grown and self.chance(0.5):  # an Expand whose grown axis a Reshape then merges with a neighbour
            k = grown[0]
            j = k - 1 if k > 0 and (self.chance(0.5) or k == len(out) - 1) else k + 1
            if 0 <= j < len(out):
                lo = min(j, k)
                merged = out[:lo] + [out[lo] * out[lo + 1]] + out[lo + 2:]
                self.emit("Reshape", [e, self.ints(merged)], [(merged, x.dtype)], x.exact)

    def f_tile(self):
        x = self.operand()
        reps = [self.pick([2, 3]) if (d == 1 and self.chance(0.6)) or self.chance(0.1) else 1 for d in x.shape]
        out = [d * r for d, r in zip(x.shape, reps)]
        if _prod(out) > 2 * MAX_ELEMS:
            reps, out = [1] * len(reps), list(x.shape)
        self.emit("Tile", [x, self.ints(reps)], [(out, x.dtype)], x.exact)

    def f_gather(self):
        x = self.operand()
        rank = len(x.shape)
        axis = self.randint(-rank, rank - 1)
        dim = x.shape[axis % rank]
        if self.chance(0.15):
            ind = self.rng.integers(-dim, dim, size=x.shape).astype(np.int64)
            self.emit("GatherElements", [x, self.const(ind)], [(x.shape, x.dtype)], x.exact, axis=axis)
            return
        ishape = self.pick([[], [self.randint(1, 4)], [self.randint(1, 4)], [2, self.randint(1, 3)]])
        ind = self.rng.integers(-dim, dim, size=ishape).astype(np.int64)
        if self.chance(0.5):
            ind = np.abs(ind) % dim
        out = x.shape[:axis % rank] + ishape + x.shape[axis % rank + 1:]
        attrs = {"axis": axis} if axis != 0 or self.chance(0.5) else {}
        self.emit("Gather", [x, self.const(ind)], [(out, x.dtype)], x.exact, **attrs)

    def f_nhwc(self):
        """A channels-last block as converters from TensorFlow write it: Transposes around Mul, Add, Pad,
        Clip and LeakyRelu. Such models carry the converter's producer name."""
        self.producer = self.pick(["tf2onnx", "tflite2onnx", self.producer])
        x = self.operand(want_rank=4)
        n, c, h, w = x.shape
        (t,) = self.emit("Transpose", [x], [([n, h, w, c], F32)], x.exact, perm=[0, 2, 3, 1])
        for _ in range(self.randint(1, 2)):
            n, h, w, c = t.shape
            op = self.pick(["Mul", "Add", "Pad", "Clip", "LeakyRelu"])
            if op in ("Mul", "Add"):
                y = self.const(self.values(self.pick([[c], [1, 1, 1, c], [w, c], [1, h, w, c]])))
                (o,) = self.emit(op, [t, y], [(_broadcast(t.shape, y.shape), F32)], t.exact)
            elif op == "Pad":
                pads = [0, self.randint(0, 1), self.randint(0, 1), 0, 0, self.randint(0, 1), self.randint(0, 1), 0]
                out = [d + pads[i] + pads[i + 4] for i, d in enumerate(t.shape)]
                (o,) = self.emit(op, [t, self.ints(pads)], [(out, F32)], t.exact, mode="constant")
            elif op == "Clip":
                lo, hi = self.const(np.array(-0.5, np.float32)), self.const(np.array(0.5, np.float32))
                (o,) = self.emit(op, [t, lo, hi], [(t.shape, F32)], t.exact)
            else:
                (o,) = self.emit(op, [t], [(t.shape, F32)], t.exact, alpha=0.1)
            if self.chance(0.5):
                t = o
        if self.chance(0.6):
            n, h, w, c = o.shape
            self.emit("Transpose", [o], [([n, c, h, w], F32)], o.exact, perm=[0, 3, 1, 2])

    def f_concat_view(self):
        """A channel Concat between Reshapes or Transposes, with a unit spatial axis."""
        n, s = self.pick([1, 1, 2]), self.randint(2, 6)
        parts = []
        for _ in range(self.randint(2, 3)):
            ci = self.randint(1, 5)
            x = self.fitting([n, ci * s])
            (v,) = self.emit("Reshape", [x, self.ints([n, ci, 1, s])], [([n, ci, 1, s], F32)], x.exact)
            parts.append(v)
        total = sum(p.shape[1] for p in parts)
        (c,) = self.emit("Concat", parts, [([n, total, 1, s], F32)], all(p.exact for p in parts), axis=1)
        if self.chance(0.5):
            self.emit("Transpose", [c], [([n, s, 1, total], F32)], c.exact, perm=[0, 3, 2, 1])
        else:
            self.emit("Reshape", [c, self.ints([n, total * s])], [([n, total * s], F32)], c.exact)

    def f_bitwise(self):
        """Bitwise operators on integer tensors (opset 18), or logical ones on booleans before it."""
        x = self.operand(dtype=np.dtype(np.int32), ranks=range(1, 8))
        if self.opset < 18:
            (b,) = self.emit("Greater", [x, self.const(np.array(0, np.int32))], [(x.shape, BOOL)])
            (b,) = self.emit(self.pick(["Not", "Not"]), [b], [(x.shape, BOOL)])
            self.emit("Cast", [b], [(x.shape, F32)], to=onnx.TensorProto.FLOAT)
            return
        op = self.pick(["BitwiseAnd", "BitwiseOr", "BitwiseXor", "BitwiseNot"])
        if op == "BitwiseNot":
            (t,) = self.emit(op, [x], [(x.shape, x.dtype)])
        else:
            bshape = self.broadcast_shape(x.shape)
            y = (self.const(self.rng.integers(0, 4, size=bshape).astype(np.int32)) if self.chance(0.5)
                 else self.add_input(bshape, np.int32))
            (t,) = self.emit(op, [x, y], [(_broadcast(x.shape, bshape), x.dtype)])
        if self.chance(0.6):
            self.emit("Cast", [t], [(t.shape, F32)], to=onnx.TensorProto.FLOAT)

    def f_custom(self):
        """A custom element-wise operator between two others (exDataConvert is left alone at the graph edge)."""
        x = self.operand()
        if x.name in self.inputs:
            (x,) = self.emit("Relu", [x], [(x.shape, F32)], x.exact)
        op = self.pick(["exDataConvert", "exDataConvert", "exGelu", "exSwish", "exMish"])
        (t,) = self.emit(op, [x], [(x.shape, F32)], x.exact if op == "exDataConvert" else False)
        self.emit("Sigmoid", [t], [(t.shape, F32)], t.exact)

    def f_channel_gather(self):
        """A Gather along the channels of a 4-D map, with one-dimensional constant indices."""
        c = self.pick([2, 3, 4, 6])
        x = self.fitting([self.pick([1, 2]), c, self.randint(1, 4), self.randint(1, 4)])
        ind = self.rng.integers(-c, c, size=[self.randint(1, 5)]).astype(np.int64)
        out = [x.shape[0], len(ind)] + x.shape[2:]
        self.emit("Gather", [x, self.const(ind)], [(out, F32)], x.exact, axis=1)

    def f_matmul(self):
        x = self.operand(ranks=range(1, 8))
        k = x.shape[-1]
        roll = self.rng.random()
        if roll < 0.2:
            bshape = [k]
            out = x.shape[:-1]
        else:
            batch = x.shape[:-2] if len(x.shape) >= 2 else []
            r = self.pick([0, 0, len(batch), len(batch), max(len(batch) - 1, 0)])
            b_batch = [d if self.chance(0.7) else 1 for d in batch[len(batch) - r:]] if r else []
            bshape = b_batch + [k, self.randint(1, 5)]
            if len(x.shape) == 1:
                out = b_batch + [bshape[-1]]
            else:
                out = _broadcast(batch, b_batch) + [x.shape[-2], bshape[-1]]
        if not out:
            return
        y = self.const(self.values(bshape)) if self.chance(0.5) else self.add_input(bshape)
        self.emit("MatMul", [x, y], [(out, F32)], False)

    def f_resize(self):
        x = self.operand(ranks=(3, 4, 5))
        rank = len(x.shape)
        scales = [1.0] * rank
        for a in range(rank - 2 if rank == 5 else 2, rank):
            if self.chance(0.6):
                scales[a] = self.pick([2.0, 3.0, 0.5])
        if rank == 5 and self.chance(0.6):
            scales = [1.0, 1.0, 1.0, self.pick([2.0, 1.0]), 1.0]
        out = [int(np.floor(d * s)) for d, s in zip(x.shape, scales)]
        if any(o < 1 for o in out) or _prod(out) > 4 * MAX_ELEMS:
            scales, out = [1.0] * rank, list(x.shape)
        attrs = {"mode": "nearest", "coordinate_transformation_mode": "asymmetric", "nearest_mode": "floor"}
        roll = self.rng.random()
        roi = "" if roll < 0.5 else self.const(np.array([0.0] * rank + [1.0] * rank if roll < 0.85 else [],
                                                        np.float32))
        if self.chance(0.3):
            ins = [x, roi, "", self.ints(out)]
        else:
            ins = [x, roi, self.const(np.array(scales, np.float32))]
        self.emit("Resize", ins, [(out, F32)], x.exact, **attrs)

    def f_topk(self):
        x = self.operand(exact=True)
        rank = len(x.shape)
        axis = self.along(x.shape)
        dim = x.shape[axis % rank]
        kk = self.randint(1, dim)
        out = list(x.shape)
        out[axis % rank] = kk
        if self.steer_clear("unit_axis_from_output", self.removed_axis(out) == axis % rank):
            # K = 1 along axis 0 or 1 would make that axis of the output the
            # unit axis the squeeze rule removes, also from the input where it
            # is not a unit axis.
            kk = out[axis % rank] = dim
        attrs = {"axis": axis} if axis != -1 or self.chance(0.5) else {}
        if self.chance(0.3):
            attrs["largest"] = 0
        v, i = self.emit("TopK", [x, self.ints([kk])], [(out, F32), (out, I64)], **attrs)
        if self.chance(0.5):
            self.emit("Cast", [i], [(out, F32)], to=onnx.TensorProto.FLOAT)

    def f_scatternd(self):
        """ScatterND in the index layouts the rank rules rewrite.

        Rank 3 takes indices [d0, d1, d2, 3]. A five-dimensional ScatterND loses
        its unit axis together with the matching index coordinate, and its
        updates are only right-aligned to four axes, so the updates keep rank 5
        here (other layouts give the updates a rank ScatterND does not accept).
        Rank-1 data gets the rank-1 layout for its indices too, which breaks the
        index tuples, and is left out.
        """
        rank = self.pick([2, 3, 3, 4, 5, 5] if self.avoid("scatternd_layout") else [1, 3, 5])
        shape = self.shape(rank, 240)
        if rank == 5:
            shape[self.pick([0, 1])] = 1
            shape[4] = max(shape[4], 2)
        x = self.fitting(shape)
        if rank == 3:
            depth, lead = 3, self.pick([[1, 1], [1, 2], [2, 1]] if _prod(shape) >= 2 else [[1, 1]])
        elif rank == 5 and shape[0] == 1:
            depth = self.pick([2, 3])
            lead = [1] * (depth - 1)
        elif rank == 5:
            depth, lead = self.pick([1, 2]), []
        else:
            depth, lead = self.randint(1, rank), []
        if not self.avoid("scatternd_layout") and self.chance(0.7):  # full index tuples behind a unit axis
            depth, lead = rank, [1]
        room = _prod(shape[:depth]) // _prod(lead)
        count = max(1, min(self.randint(1, 3), room))
        flat = self.rng.choice(_prod(shape[:depth]), size=count * _prod(lead), replace=False)
        idx = np.stack(np.unravel_index(flat, shape[:depth]), axis=-1).astype(np.int64)
        if rank == 5 and shape[0] != 1 and depth == 2:
            idx = idx.reshape([count, 1, depth])
        else:
            idx = idx.reshape(lead + [count, depth])
        upd_shape = list(idx.shape[:-1]) + shape[depth:]
        self.hit("scatternd_layout", rank == 1 or (rank == 3 and list(idx.shape[-1:]) + [idx.ndim] != [3, 4])
                 or (rank == 5 and len(upd_shape) != 5))
        upd = self.const(self.values(upd_shape)) if self.chance(0.5) else self.add_input(upd_shape)
        self.emit("ScatterND", [x, self.const(idx), upd], [(shape, F32)], x.exact and upd.exact)

    def f_rank_sweep(self):
        """An operator on a unit-axis 5-D tensor or on rank 6 and 7: the shapes the rank rules look for."""
        rank = self.pick([5, 5, 6, 7])
        shape = self.shape(rank)
        if rank == 5:
            shape[self.pick([0, 1])] = 1
        x = self.fitting(shape)
        family = self.pick([self.f_binary, self.f_unary, self.f_softmax, self.f_reduce, self.f_transpose,
                            self.f_norm, self.f_concat, self.f_split, self.f_matmul, self.f_expand, self.f_topk,
                            self.f_custom, self.f_compare, self.f_slice, self.f_pad, self.f_resize])
        self.pool.append(x)  # most recent and unused: the family picks it up first
        family()

    FAMILIES = ("unary", "binary", "binary", "same_twice", "compare", "conv", "conv", "norm", "reduce", "reduce",
                "argmax", "softmax", "transpose", "transpose", "reshape", "reshape", "window", "concat", "split",
                "slice", "pad", "expand", "tile", "gather", "channel_gather", "matmul", "resize", "topk",
                "scatternd", "bitwise", "custom", "nhwc", "concat_view", "rank_sweep", "rank_sweep", "rank_sweep")

    # ------------------------------------------------------------ what only the rank-4 rules make four-dimensional

    def f_gemm(self):
        """A Gemm as Linear layers write it, and with every other attribute and form of C."""
        m, k, n = self.pick([1, 1, 2, 3, 5]), self.randint(1, 8), self.randint(1, 6)
        trans_a, trans_b = self.chance(0.3), self.chance(0.6)
        a = self.fitting([k, m] if trans_a else [m, k])
        bshape = [n, k] if trans_b else [k, n]
        ins = [a, self.const(self.values(bshape)) if self.chance(0.75) else self.add_input(bshape)]
        if self.chance(0.8):
            cshape = self.pick([[n], [n], [1, n], [m, n], [], [m, 1], [1]])
            ins.append(self.const(self.values(cshape)) if self.chance(0.7) else self.add_input(cshape))
        attrs = {"transA": int(trans_a), "transB": int(trans_b)}
        if self.chance(0.3):
            attrs["alpha"] = self.pick([0.5, 2.0, -1.5])
        if self.chance(0.3):
            attrs["beta"] = self.pick([0.0, 0.5, 3.0])
        self.emit("Gemm", ins, [([m, n], F32)], False, **attrs)

    def f_layernorm(self):
        """LayerNormalization (opset 17 on) over any axis, with broadcasting or computed scale and bias, and
        sometimes its mean and inverse deviation outputs."""
        if self.opset < 17:
            return
        x = self.operand(ranks=range(1, 7))
        rank = len(x.shape)
        axis = self.randint(-rank, rank - 1)
        norm = x.shape[axis % rank:]

        def operand():
            if self.chance(0.2):
                return self.add_input(norm)
            shape = [d if self.chance(0.6) else 1 for d in norm][self.randint(0, len(norm) - 1):]
            return self.const(self.values(shape))
        ins = [x, operand()] + ([operand()] if self.chance(0.6) else [])
        outs = [(x.shape, F32)] + [(x.shape[:axis % rank] + [1] * len(norm), F32)] * self.pick([0, 0, 1, 2])
        self.emit("LayerNormalization", ins, outs, False, axis=axis, epsilon=1e-5)

    def f_unary_any_rank(self):
        """An elementwise operator the dimension rules do not list, on a tensor of rank 1 to 7, with inputs in
        its domain."""
        x = self.operand()
        ops = ["HardSigmoid", "Selu", "Celu", "Softsign", "ThresholdedRelu", "Shrink", "Sinh", "Cosh", "Asinh",
               "Tan", "Asin", "Acos", "Atanh", "Acosh", "Ceil", "Round", "Sign", "IsNaN", "IsInf", "Neg", "Abs",
               "Relu"] + (["HardSwish"] if self.opset >= 14 else []) + (["Mish"] if self.opset >= 18 else [])
        op = self.pick(ops)
        if op in ("Ceil", "Round", "Sign") and not x.exact:
            x = self.operand(exact=True)
        if op in ("Tan", "Asin", "Acos", "Atanh"):
            (x,) = self.emit("Tanh", [x], [(x.shape, F32)], x.exact)
            if op == "Atanh":  # tanh rounds to 1 for large inputs, where atanh is infinite
                (x,) = self.emit("Mul", [x, self.const(np.array(0.9, np.float32))], [(x.shape, F32)], x.exact)
        if op == "Acosh":
            (x,) = self.emit("Add", [self.positive(x), self.const(np.array(1.0, np.float32))], [(x.shape, F32)])
        if op in ("IsNaN", "IsInf"):
            (b,) = self.emit(op, [x], [(x.shape, BOOL)])
            self.emit("Cast", [b], [(x.shape, F32)], to=onnx.TensorProto.FLOAT)
            return
        self.emit(op, [x], [(x.shape, F32)], x.exact)

    def f_attention_split(self):
        """The q/k/v split of attention: a Reshape to [B, N, 3, H, D], a Transpose of five axes ([2, 0, 3, 1, 4]
        or another) and Gathers of one index, sometimes read by another operator too."""
        b, n, h, d = self.pick([1, 2]), self.randint(1, 6), self.pick([1, 2, 3]), self.randint(2, 4)
        x = self.fitting([b, n, 3 * h * d])
        (v,) = self.emit("Reshape", [x, self.ints([b, n, 3, h, d])], [([b, n, 3, h, d], F32)], x.exact)
        perm = [2, 0, 3, 1, 4] if self.chance(0.6) else [int(p) for p in self.rng.permutation(5)]
        tshape = [v.shape[p] for p in perm]
        (t,) = self.emit("Transpose", [v], [(tshape, F32)], x.exact, perm=perm)
        axis = 0 if perm[0] == 2 and self.chance(0.8) else self.randint(-5, 4)
        dim = tshape[axis % 5]
        for _ in range(self.randint(1, 3)):
            index = self.randint(-dim, dim - 1)
            scalar = self.chance(0.6)
            out = tshape[:axis % 5] + ([] if scalar else [1]) + tshape[axis % 5 + 1:]
            ind = self.const(np.array(index if scalar else [index], np.int64))
            self.emit("Gather", [t, ind], [(out, F32)], x.exact, axis=axis)
        if self.chance(0.3):
            self.emit("Sigmoid", [t], [(tshape, F32)], x.exact)

    RANK4_FAMILIES = ("gemm", "layernorm", "unary_any_rank", "attention_split")

    def rank4_appendix(self):
        """One or two operators that only the converter's rank-4 rules make four-dimensional, half the time.

        They come last and draw from a stream of their own, so the operators an
        earlier seed drew stay as they were."""
        own = np.random.default_rng([self.seed, 4])
        if own.random() >= 0.5:
            return
        main, self.rng = self.rng, own
        try:
            for _ in range(self.randint(1, 2)):
                name = self.pick(self.RANK4_FAMILIES)
                self.families.append(name)
                getattr(self, "f_" + name)()
        finally:
            self.rng = main

    def build(self):
        first = self.randint(1, 7)
        self.add_input(self.shape(first))
        for _ in range(self.randint(3, 9)):
            name = self.pick(self.FAMILIES)
            self.families.append(name)
            getattr(self, "f_" + name)()
        self.rank4_appendix()
        return self.model(), list(self.families)

    def model(self):
        produced = [t for t in self.pool if t.name not in self.inputs and t.name not in self.inits]
        unique = list({t.name: t for t in produced}.values())
        outputs = [t for t in unique if not self.uses[t.name]]
        consumed = [t for t in unique if self.uses[t.name]]
        # An output that is also read further on. Not a Reshape output: a Reshape
        # read only by elementwise operators is made to write a 4-D tensor in
        # place. Not an ArgMax/ArgMin or Cast output either: an arg-reduce whose
        # keepdims becomes 1 gives its kept axes to every tensor of the Cast chain
        # behind it. Both rewrites follow the consumers and do not look at outputs.
        readable = [t for t in consumed
                    if not self.avoid("output_read_further") or t.op not in ("Reshape", "ArgMax", "ArgMin", "Cast")]
        if readable and self.chance(0.3):
            outputs.append(self.pick(readable))
            self.hit("output_read_further", outputs[-1].op in ("Reshape", "ArgMax", "ArgMin", "Cast"))
        if self.chance(0.3):  # results of Split or TopK that nobody reads and that are no graph output
            spare = [t for t in outputs if t.op in ("Split", "TopK")]
            if spare and len(spare) < len(outputs):
                outputs.remove(self.pick(spare))
        used = {n for node in self.nodes for n in node.input}
        batch = self.chance(0.2)  # a symbolic leading unit axis, as exporters write the batch
        ins = [helper.make_tensor_value_info(t.name, helper.np_dtype_to_tensor_dtype(t.dtype),
                                             ["batch"] + t.shape[1:] if batch and t.shape[:1] == [1] else t.shape)
               for t in self.inputs.values() if t.name in used]
        outs = [helper.make_tensor_value_info(t.name, helper.np_dtype_to_tensor_dtype(t.dtype), t.shape)
                for t in outputs]
        inits, constants = [], []
        as_nodes = self.chance(0.2)  # exporter style: Constant nodes instead of initializers
        for k, v in self.inits.items():
            if k not in used:
                continue
            if as_nodes and self.chance(0.6):
                constants.append(helper.make_node("Constant", [], [k], name=self.fresh("n_Constant"),
                                                  value=numpy_helper.from_array(v, k)))
            else:
                inits.append(numpy_helper.from_array(v, k))
        imports = [helper.make_opsetid("", self.opset)]
        if any(n.domain == CUSTOM_DOMAIN for n in self.nodes):
            imports.append(helper.make_opsetid(CUSTOM_DOMAIN, 1))
        graph = helper.make_graph(constants + self.nodes, "random_%d" % self.seed, ins, outs, inits)
        model = helper.make_model(graph, opset_imports=imports, producer_name=self.producer)
        model.ir_version = 8
        return model


def _slice_count(dim, start, end, step):
    """Elements an ONNX Slice takes from an axis of extent `dim`."""
    start = start + dim if start < 0 else start
    end = end + dim if end < 0 else end
    if step > 0:
        start, end = min(max(start, 0), dim), min(max(end, 0), dim)
    else:
        start, end = min(max(start, 0), dim - 1), min(max(end, -1), dim - 1)
    return max(0, -(-(end - start) // step))


def generate(seed, limits=()):
    """(model, options, families, known-limit patterns held) of one seed; options are the converter
    settings drawn for it."""
    graph = RandomGraph(seed, limits)
    model, families = graph.build()
    platform = np.random.default_rng([seed, 1])  # the NPU's alignment, read by the untabled channel rules only
    options = dict(graph.options, npu_target=str(platform.choice(["", "n7", "x4"])),
                   channel_align=[None, None, 4, 8][int(platform.integers(4))])
    return model, options, families, graph.hits


# ---------------------------------------------------------------- the check

@dataclass
class Verdict:
    seed: int
    problems: list = field(default_factory=list)
    expected: list = field(default_factory=list)   # rule messages the rules send by design
    families: list = field(default_factory=list)
    options: dict = field(default_factory=dict)
    fired: collections.Counter = field(default_factory=collections.Counter)
    hits: set = field(default_factory=set)        # known-limit patterns the model holds
    guarded: set = field(default_factory=set)     # guards that kept a chain from its rule

    @property
    def ok(self):
        return not self.problems

    def lines(self):
        head = "seed %d: %s  (%s; %s)" % (self.seed, "ok" if self.ok else "FAILED", ", ".join(self.families),
                                         ", ".join("%s=%s" % kv for kv in self.options.items()))
        return [head] + ["  " + p for p in self.problems] + ["  expected: " + e for e in self.expected]


def is_expected(message):
    return any(p.match(message) for p in EXPECTED_MESSAGES)


def _compare(want, got):
    """Problems between two output dicts of ONNX Runtime."""
    problems = []
    for name, ref in want.items():
        if name not in got:
            problems.append("output '%s' is missing" % name)
            continue
        out = got[name]
        if out.shape != ref.shape or out.dtype != ref.dtype:
            problems.append("output '%s': %s %s, expected %s %s" % (name, out.dtype, list(out.shape), ref.dtype,
                                                                    list(ref.shape)))
            continue
        if ref.dtype.kind in "biu":
            bad = int(np.count_nonzero(out != ref))
            if bad:
                problems.append("output '%s': %d of %d values differ" % (name, bad, ref.size))
            continue
        ref64, out64 = ref.astype(np.float64), out.astype(np.float64)
        finite = np.isfinite(ref64)
        scale = max(1.0, float(np.abs(ref64[finite]).max(initial=0.0)))
        close = np.isclose(out64, ref64, rtol=1e-3, atol=1e-4 * scale, equal_nan=True)
        if not close.all():
            k = int(np.argmax(~close.reshape(-1)))
            problems.append("output '%s': %d of %d values differ (first at %d: %r, expected %r)" % (
                name, int((~close).sum()), ref.size, k, float(out64.reshape(-1)[k]), float(ref64.reshape(-1)[k])))
    return problems


def check_model(model, seed=0, **options):
    """Converts `model` and checks the result; returns a Verdict."""
    from vexo.convert import ConversionError, convert
    from vexo.custom_ops import lower_custom_ops
    from vexo.testing import random_inputs
    verdict = Verdict(seed, options=dict(options))
    try:
        onnx.checker.check_model(model)
        feeds = random_inputs(model, seed)
        want = run_model(model, feeds)
    except Exception as exc:
        verdict.problems.append("generator: the model does not run: %s" % _first_line(exc))
        return verdict
    for out in model.graph.output:
        declared = ([d.dim_value for d in out.type.tensor_type.shape.dim],
                    np.dtype(helper.tensor_dtype_to_np_dtype(out.type.tensor_type.elem_type)))
        value = want[out.name]
        if (list(value.shape), value.dtype) != declared:
            verdict.problems.append("generator: output '%s' is %s %s, declared %s %s" % (
                out.name, value.dtype, list(value.shape), declared[1], declared[0]))
    if verdict.problems:
        return verdict
    try:
        ir, report, _ = convert(model, source="seed %d" % seed, **options)
        converted = ir.to_model()
    except ConversionError as exc:
        verdict.problems.append("conversion refused: %s" % exc)
        return verdict
    except Exception:
        verdict.problems.append("conversion crashed: %s" % traceback.format_exc().strip().splitlines()[-1])
        return verdict
    verdict.fired = report.fired
    verdict.guarded = {d.guard for d in report.declines}
    for failure in report.failures:
        (verdict.expected if is_expected(failure.message) else verdict.problems).append("rule " + failure.line())
    verdict.problems += ["engine: " + w for w in report.warnings]
    try:
        onnx.checker.check_model(converted)
    except Exception as exc:
        verdict.problems.append("checker: %s" % _first_line(exc))
        return verdict
    try:
        onnx.shape_inference.infer_shapes(lower_custom_ops(converted)[0], strict_mode=True)
    except Exception as exc:
        verdict.problems.append("recorded shapes: %s" % _first_line(exc))
    try:
        got = run_model(converted, feeds)
    except Exception as exc:
        verdict.problems.append("ONNX Runtime cannot run the converted model: %s" % _first_line(exc))
        return verdict
    verdict.problems += _compare(want, got)
    return verdict


def check_seed(seed, limits=(), **extra_options):
    try:
        model, options, families, hits = generate(seed, limits)
    except Exception:
        return Verdict(seed, ["generator: %s" % traceback.format_exc().strip().splitlines()[-1]])
    verdict = check_model(model, seed, **options, **extra_options)
    verdict.families, verdict.hits = families, hits
    return verdict


def _first_line(exc):
    text = str(exc).strip()
    return (text.splitlines() or [type(exc).__name__])[0][:400]


def _cli_flags(options, args):
    flags = ["--unsqueeze-2d-mode", options["unsqueeze_2d_mode"]]
    if options["dynamic_shapes"]:
        flags.append("--dynamic-shapes")
    if options["npu_target"]:
        flags += ["--npu-target", options["npu_target"]]
    if options["channel_align"]:
        flags += ["--channel-align", str(options["channel_align"])]
    if args.extra_rules:
        flags += ["--extra-rules", args.extra_rules]
    if args.tables:
        flags += ["--tables", args.tables]
    if args.no_guards:
        flags.append("--no-guards")
    return flags


def reproduce_command(seed, limits=(), extra_rules=""):
    names = limits if isinstance(limits, str) else ",".join(limits)
    flags = (" --known-limits %s" % names if names else "") + (" --extra-rules %s" % extra_rules if extra_rules else "")
    return "python3 tests/python/random_graphs.py --seed %d%s --dump seed%d.onnx" % (seed, flags, seed)


def main(argv=None):
    p = argparse.ArgumentParser(description="Random graphs through the converter, checked in ONNX Runtime.")
    p.add_argument("--seed", type=int, help="check one seed and print its verdict")
    p.add_argument("--dump", metavar="OUT.onnx", help="with --seed: also write the generated model")
    p.add_argument("--start", type=int, default=0, help="first seed of a sweep (default 0)")
    p.add_argument("--count", type=int, default=200, help="seeds in a sweep (default 200)")
    p.add_argument("-v", "--verbose", action="store_true", help="print every seed of a sweep, entries and messages")
    p.add_argument("--extra-rules", metavar="NAMES", default="",
                   help="also run rules without a table entry ('all' or a list, as the converter takes them)")
    p.add_argument("--tables", default="", help="the tables to run (default: all three, as the converter)")
    p.add_argument("--no-guards", action="store_true", help="convert without the converter's guards")
    p.add_argument("--known-limits", metavar="NAMES", default="",
                   help="also generate graphs the rules are written to rewrite wrongly: 'all' or some of "
                        + ", ".join(KNOWN_LIMITS))
    args = p.parse_args(argv)
    limits = "all" if args.known_limits == "all" else [n for n in args.known_limits.split(",") if n]
    extra = {"extra_rules": args.extra_rules} if args.extra_rules else {}
    if args.tables:
        from vexo.convert import table_names
        extra["tables"] = table_names(args.tables)
    if args.no_guards:
        extra["use_guards"] = False
    logging.getLogger("vexo").setLevel(logging.CRITICAL)  # rule messages are in the verdicts
    if args.seed is not None:
        if args.dump:
            model, options, _, _ = generate(args.seed, limits)
            onnx.save(model, args.dump)
            print("wrote %s (convert it with: python3 -m vexo convert %s --verify %s)"
                  % (args.dump, args.dump, " ".join(_cli_flags(options, args))))
        verdict = check_seed(args.seed, limits, **extra)
        print("\n".join(verdict.lines()))
        return 0 if verdict.ok else 1
    failed, fired, expected = [], collections.Counter(), collections.Counter()
    hits, guarded = collections.Counter(), collections.Counter()
    for seed in range(args.start, args.start + args.count):
        verdict = check_seed(seed, limits, **extra)
        fired.update(verdict.fired)
        hits.update(verdict.hits)
        guarded.update(verdict.guarded)
        expected.update(e.split(": ", 1)[-1][:60] for e in verdict.expected)
        if not verdict.ok:
            failed.append(seed)
        if args.verbose or not verdict.ok:
            print("\n".join(verdict.lines()), flush=True)
    print("%d seeds, %d failed%s" % (args.count, len(failed), (": " + " ".join(map(str, failed))) if failed else ""))
    print("entries fired: %d distinct, %d calls" % (len(fired), sum(fired.values())))
    if limits:
        print("seeds holding each known-limit pattern: " + ", ".join(
            "%s %d" % (name, hits[name]) for name in KNOWN_LIMITS if limits == "all" or name in limits))
    print("seeds in which each guard declined: " + (", ".join("%s %d" % kv for kv in sorted(guarded.items()))
                                                     or "none"))
    if args.verbose:
        for entry, n in sorted(fired.items()):
            print("  %-50s %d" % (entry, n))
        for msg, n in expected.most_common():
            print("  expected message x%d: %s" % (n, msg))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
