"""Random small ONNX graphs over the operators the dimension rules rewrite, and their conversion check.

Every seed gives one valid model: a few graph inputs of rank 1 to 7 and a chain
of three to nine operators, then, for half the seeds, one or two that only the
converter's rank-4 rules handle. Operators are drawn from tables (`Op`: the ranks
and values of the first input, how each attribute and further input is drawn);
structures of several nodes (window partitions, NHWC blocks, attention splits,
Conv and pools, ScatterND layouts, ...) are drawn by the `f_*` methods. Output
shapes come from ONNX shape inference. `check_seed` converts the model as the
converter does and checks the result with the ONNX checker, with strict shape
inference of the recorded shapes, in ONNX Runtime against the original on the
same random inputs, and by the report: no rule failure other than the rules' own
messages for graphs they cannot handle, and no pass limit hit.

The rules are written to rewrite a few patterns into graphs that are not
equivalent (KNOWN_LIMITS, each explained where the generator makes it); the
converter normalises or guards each of them. By default the generator steers
clear of them; asked to generate them, it records which ones each model holds,
and a sweep prints how many seeds held each pattern and how many seeds each
guard declined.

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
from onnx import defs, helper, numpy_helper, shape_inference

if __name__ == "__main__":  # run from a checkout without installing
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))

from vexo.api.ir_graph import CUSTOM_DOMAIN  # noqa: E402
from vexo.runtime_check import run_model  # noqa: E402

F32, I64, I32, BOOL = np.dtype(np.float32), np.dtype(np.int64), np.dtype(np.int32), np.dtype(bool)
FLOAT = onnx.TensorProto.FLOAT
MAX_ELEMS = 720
DIMS = [1, 1, 1, 2, 2, 3, 3, 4, 4, 5, 6, 8]
MODES_2D = ("AB11", "1A1B", "11AB")
ALL_RANKS = tuple(range(1, 8))

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


@dataclass(frozen=True)
class Op:
    """How one operator is drawn. `first` names the method choosing its first input (of the given ranks and
    element type), `domain` the values that input must hold ("exact": bit-exact, as rounding and comparing
    need; "positive"; "tanh": in (-1, 1); "atanh": in (-0.9, 0.9); "acosh": above 1). Each attribute is a
    list of choices or the name of a method `attr_<name>(x)`; each further input the name of a method
    `in_<name>(x, attrs)`. The result is bit-exact when `exact` and all inputs are; `swap` lets the first
    two inputs trade places; `opset` is the first opset defining the operator."""
    first: str = "operand"
    ranks: tuple = ALL_RANKS
    dtype: np.dtype = F32
    domain: str = ""
    attrs: dict = field(default_factory=dict)
    inputs: tuple = ()
    exact: bool = True
    swap: bool = False
    opset: int = 13


def _ops(names, **spec):
    return {name: Op(**spec) for name in names.split()}


UNARY = {**_ops("Relu Sigmoid Tanh Atan Sin Cos Erf Abs Neg Softplus exGelu exMish exDataConvert"),
         **_ops("Reciprocal Sqrt Log", domain="positive"), "Floor": Op(domain="exact"), "Exp": Op(domain="tanh"),
         "LeakyRelu": Op(attrs={"alpha": [0.2]}), "Elu": Op(attrs={"alpha": [0.2]}),
         "exSwish": Op(attrs={"alpha": [None, 1.5]}), "Clip": Op(inputs=("clip_low", "clip_high"))}
BINARY = {**_ops("Add Sub Mul Max Min", inputs=("operand",), swap=True),
          "Div": Op(inputs=("positive_operand",)), "Pow": Op(first="pow_base", inputs=("exponent",))}
SOFTMAX = _ops("Softmax LogSoftmax exSoftmax13 exSoftmax13", attrs={"axis": "along_or_default"}, exact=False)
NORMS = {"BatchNormalization": Op(ranks=tuple(range(2, 8)), attrs={"epsilon": [1e-3]}, exact=False,
                                  inputs=("channel", "channel", "channel", "positive_channel")),
         "InstanceNormalization": Op(ranks=(3, 4), inputs=("channel", "channel"), exact=False),
         # near zero, a normalised value's sign follows the rounding
         "LpNormalization": Op(domain="exact", attrs={"axis": "along", "p": [2]}, exact=False),
         "exLayerNorm": Op(ranks=(1, 2, 3, 4, 5), attrs={"normalized_shape": "normalized_shape", "epsilon": [1e-5]},
                           inputs=("layernorm_params",), exact=False),
         "exMeanVarianceNormalization": Op(first="mvn_input", attrs={"axes": "mvn_axes"}, exact=False)}
REDUCE_OPS = ("ReduceSum ReduceSum ReduceMean ReduceMean ReduceMax ReduceMin ReduceL2 ReduceProd ReduceSumSquare "
              "ReduceL1 ReduceLogSumExp").split()
# What only the rank-4 rules make four-dimensional: elementwise operators the tables do not list.
RANK4_UNARY = {**_ops("HardSigmoid Selu Celu Softsign ThresholdedRelu Shrink Sinh Cosh Asinh Neg Abs Relu"),
               **_ops("Ceil Round Sign", domain="exact"), **_ops("Tan Asin Acos", domain="tanh"),
               "Atanh": Op(domain="atanh"), "Acosh": Op(domain="acosh"), **_ops("IsNaN IsInf"),
               "HardSwish": Op(opset=14), "Mish": Op(opset=18)}
# The families drawn from a table; the others are the f_* methods of RandomGraph.
TABLES = {"unary": UNARY, "binary": BINARY, "softmax": SOFTMAX, "norm": NORMS, "unary_any_rank": RANK4_UNARY,
          "transpose": {"Transpose": Op(ranks=tuple(range(2, 8)), attrs={"perm": "perm"})},
          "tile": {"Tile": Op(inputs=("repeats",))}}


def _prod(shape):
    return int(np.prod(shape, dtype=np.int64)) if shape else 1


def _broadcast(*shapes):
    return [int(d) for d in np.broadcast_shapes(*[tuple(s) for s in shapes])]


def _divisors(n):
    return [d for d in range(1, n + 1) if n % d == 0]


def _tensor_type(dtype, shape):
    return helper.make_tensor_type_proto(helper.np_dtype_to_tensor_dtype(np.dtype(dtype)), shape)


class RandomGraph:
    """Builds one random model; `build()` returns (onnx.ModelProto, list of op families used).

    `limits` names the known-limit patterns to generate anyway, or "all".
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
        self.nodes, self.inits, self.inputs, self.pool = [], {}, {}, []
        self.uses, self.shared = collections.Counter(), {}
        self.producer, self.counter = "random_graphs", 0
        self.families, self.hits = [], set()  # the op families drawn, the known-limit patterns held

    # ------------------------------------------------------------ known-limit patterns

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

    def values(self, shape, positive=False):
        """float32 constant values: random, uniform, or varying along a few axes only (redundant axes)."""
        shape = list(shape)
        roll = self.rng.random()
        if positive or roll < 0.1:
            base = self.rng.uniform(0.5, 2.0, size=shape)
        elif roll < 0.25:
            base = np.full(shape, self.rng.uniform(-2, 2))
        elif roll < 0.45 and shape:
            base = np.broadcast_to(self.rng.standard_normal([d if self.chance(0.4) else 1 for d in shape]), shape)
        else:
            base = self.rng.standard_normal(shape)
        return np.ascontiguousarray(np.abs(base) + 0.5 if positive else base).astype(np.float32)

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

    def scalar(self, value):
        return self.const(np.array(value, np.float32))

    def ints(self, values):
        """An int64 constant; an equal one made before is often read again, as exporters share them."""
        key = tuple(int(v) for v in values)
        if key in self.shared and self.chance(0.5):
            return self.shared[key]
        name = self.shared[key] = self.const(np.array(values, dtype=np.int64), "k").name
        return name

    def emit(self, op, inputs, exact=True, outputs=1, **attrs):
        """Adds one node (attributes given None are left out) and returns its output tensors, typed by ONNX
        shape inference; custom operators keep the shape and type of their first input."""
        names = [t if isinstance(t, str) else t.name for t in inputs]
        for t in inputs:
            if isinstance(t, Tensor):
                self.uses[t.name] += 1
        outs = [self.fresh(op[:3].lower()) for _ in range(outputs)]
        node = helper.make_node(op, names, outs, name=self.fresh("n_" + op),
                                **{k: v for k, v in attrs.items() if v is not None})
        if op.startswith("ex"):
            node.domain = CUSTOM_DOMAIN
            types = [(inputs[0].shape, inputs[0].dtype)] * outputs
        else:
            types = self.infer(node, inputs)
        results = [Tensor(name, shape, dtype, exact, op) for name, (shape, dtype) in zip(outs, types)]
        self.nodes.append(node)
        self.pool.extend(results)
        return results

    def infer(self, node, inputs):
        known = {t.name: _tensor_type(t.dtype, t.shape) for t in inputs if isinstance(t, Tensor)}
        data = {}
        for name in node.input:
            if name in self.inits:
                known[name] = _tensor_type(self.inits[name].dtype, self.inits[name].shape)
                data[name] = numpy_helper.from_array(self.inits[name], name)
        schema = defs.get_schema(node.op_type, self.opset)
        types = shape_inference.infer_node_outputs(schema, node, known, data)
        if not all(types[o].tensor_type.HasField("shape") for o in node.output):
            # An operator defined as a function (GreaterOrEqual before opset 16) is inferred through its body.
            graph = helper.make_graph([node], "one", [helper.make_value_info(k, v) for k, v in known.items()],
                                      [helper.make_value_info(o, onnx.TypeProto()) for o in node.output],
                                      list(data.values()))
            model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", self.opset)])
            types = {o.name: o.type for o in shape_inference.infer_shapes(model, strict_mode=True).graph.output}
        return [([d.dim_value for d in types[o].tensor_type.shape.dim],
                 np.dtype(helper.tensor_dtype_to_np_dtype(types[o].tensor_type.elem_type))) for o in node.output]

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

    def fitting(self, shape):
        """A float tensor of exactly `shape`: an earlier result reshaped when one has the size, else an input."""
        same = [t for t in self.pool if t.dtype == F32 and _prod(t.shape) == _prod(shape)
                and t.name not in self.inits]
        if same and self.chance(0.7):
            t = self.pick(same)
            if t.shape == list(shape):
                return t
            return self.emit("Reshape", [t, self.ints(shape)], t.exact)[0]
        return self.add_input(shape)

    def broadcast_shape(self, shape):
        """A shape that broadcasts against `shape`: fewer, equal or more axes, unit axes, rarely widening."""
        rank = len(shape)
        r = min(self.pick([rank, rank, rank, max(rank - 1, 0), max(rank - 2, 0), 0, rank + 1]), 7)
        tail = list(shape[len(shape) - r:]) if r <= rank else [1] * (r - rank) + list(shape)
        out = [self.pick([2, 3]) if d == 1 and self.chance(0.15) else 1 if self.chance(0.35) else d for d in tail]
        return [1] * len(out) if _prod(_broadcast(shape, out)) > 2 * MAX_ELEMS else out

    def second(self, shape, positive=False):
        """A broadcasting second operand: a constant, a new graph input or an earlier result."""
        bshape = self.broadcast_shape(shape)
        roll = self.rng.random()
        if roll < 0.5:
            return self.const(self.values(bshape, positive))
        if roll < 0.8 or positive:
            t = self.add_input(bshape)
        else:
            same = [t for t in self.pool if t.dtype == F32 and t.shape == list(shape) and t.name not in self.inits]
            t = self.pick(same) if same else self.add_input(bshape)
        return self.positive(t) if positive else t

    def positive(self, t):
        """exp(tanh(t)): values in [0.36, 2.8], safe for Div, Pow, Log and Sqrt."""
        (a,) = self.emit("Tanh", [t], t.exact)
        return self.emit("Exp", [a], t.exact)[0]

    def in_domain(self, x, domain):
        if domain in ("positive", "acosh"):
            x = self.positive(x)
        if domain in ("tanh", "atanh"):
            (x,) = self.emit("Tanh", [x], x.exact)
        if domain == "atanh":  # tanh rounds to 1 for large inputs, where atanh is infinite
            (x,) = self.emit("Mul", [x, self.scalar(0.9)], x.exact)
        if domain == "acosh":
            (x,) = self.emit("Add", [x, self.scalar(1.0)], x.exact)
        return x

    # ------------------------------------------------------------ operators drawn from the tables

    def draw(self, table):
        """One operator of `table` with its inputs and attributes drawn as its Op says; a result that is not
        float is cast back to float."""
        op = self.pick([name for name, spec in table.items() if spec.opset <= self.opset])
        spec = table[op]
        x = getattr(self, "first_" + spec.first)(spec)
        x = self.in_domain(x, spec.domain)
        attrs = {k: self.pick(v) if isinstance(v, list) else getattr(self, "attr_" + v)(x)
                 for k, v in spec.attrs.items()}
        ins = [x] + [t for name in spec.inputs for t in getattr(self, "in_" + name)(x, attrs)]
        if spec.swap and self.chance(0.4):
            ins[:2] = ins[1::-1]
        exact = spec.exact and all(t.exact for t in ins if isinstance(t, Tensor))
        (out,) = self.emit(op, ins, exact, **attrs)
        if out.dtype != F32:
            self.emit("Cast", [out], to=FLOAT)

    def first_operand(self, spec):
        return self.operand(ranks=spec.ranks, dtype=spec.dtype, exact=spec.domain == "exact")

    def first_pow_base(self, spec):
        if not self.avoid("pow_middle_axis") and self.chance(0.3):  # a unit middle axis the exponent widens
            return self.positive(self.add_input([self.randint(1, 3), 1, self.randint(4, 6)]))
        return self.positive(self.operand())

    def first_mvn_input(self, spec):
        # Four-dimensional only: a rank-3 normalisation over [0, 2] keeps those
        # axes when it is made four-dimensional and then normalises over the
        # inserted unit axis instead of the last one.
        x = self.operand(want_rank=4) if self.avoid("mvn_rank3") else self.operand(ranks=(3, 4))
        self.hit("mvn_rank3", len(x.shape) == 3)
        return x

    def in_operand(self, x, attrs):
        return [self.second(x.shape)]

    def in_positive_operand(self, x, attrs):
        return [self.second(x.shape, positive=True)]

    def in_exponent(self, x, attrs):
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
        return [self.const(self.values(yshape, positive=True))]

    def in_clip_low(self, x, attrs):
        return [self.scalar(-0.5) if self.chance(0.6) else ""]

    def in_clip_high(self, x, attrs):
        return [self.scalar(0.7)]

    def in_repeats(self, x, attrs):
        reps = [self.pick([2, 3]) if (d == 1 and self.chance(0.6)) or self.chance(0.1) else 1 for d in x.shape]
        return [self.ints(reps if _prod(x.shape) * _prod(reps) <= 2 * MAX_ELEMS else [1] * len(reps))]

    def in_channel(self, x, attrs, positive=False):
        return [self.const(self.values([x.shape[1]], positive))]

    def in_positive_channel(self, x, attrs):
        return self.in_channel(x, attrs, positive=True)

    def in_layernorm_params(self, x, attrs):
        norm = attrs["normalized_shape"]
        return [self.const(self.values(norm)), self.const(self.values(norm))] if self.chance(0.6) else []

    def attr_along(self, x):
        """An axis for a softmax, TopK or Lp normalisation: never the axis a 5-D operator loses.

        The squeeze rule renumbers an `axis` equal to the removed axis to the one
        before it, so an operator along the removed unit axis would run along
        another axis after the rewrite.
        """
        rank, gone = len(x.shape), self.removed_axis(x.shape) if self.avoid("along_removed_axis") else None
        axis = self.pick([a for a in range(-rank, rank) if gone is None or a % rank != gone])
        self.hit("along_removed_axis", axis % rank == self.removed_axis(x.shape))
        return axis

    def attr_along_or_default(self, x):
        axis = self.attr_along(x)
        return axis if self.chance(0.9) or axis != -1 else None

    def attr_perm(self, x):
        """No perm (reversed axes), blocks of adjacent axes kept together, or any permutation."""
        rank, roll = len(x.shape), self.rng.random()
        if roll < 0.1:
            return None
        if roll < 0.5:
            cuts = sorted(set(int(c) for c in self.rng.choice(range(1, rank), size=self.randint(1, rank - 1),
                                                                  replace=False)))
            blocks = [list(range(a, b)) for a, b in zip([0] + cuts, cuts + [rank])]
            self.rng.shuffle(blocks)
            return [a for b in blocks for a in b]
        return [int(p) for p in self.rng.permutation(rank)]

    def attr_normalized_shape(self, x):
        k = self.randint(1, min(3, len(x.shape)))
        if self.steer_clear("layernorm_11AB", len(x.shape) == 2 and k == 1 and x.shape[0] != 1
                            and self.options["unsqueeze_2d_mode"] == "11AB"):
            # [x, y] is laid out as [1, 1, x, y] and a normalized_shape [y] as
            # [1, 1, y]: three trailing axes, which take in x as well.
            k = 2
        return x.shape[len(x.shape) - k:]

    def attr_mvn_axes(self, x):
        return [0, 2, 3][:len(x.shape) - 1]

    # ------------------------------------------------------------ the axis a five-dimensional operator loses

    @staticmethod
    def removed_axis(shape):
        """The unit axis a five-dimensional operator of this shape loses, or None."""
        return shape.index(1) if len(shape) == 5 and 1 in shape[:2] else None

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

    def axes_subset(self, rank, most=3):
        axes = sorted(int(a) for a in self.rng.choice(rank, size=self.randint(1, min(most, rank)), replace=False))
        return [a - rank if self.chance(0.3) else a for a in axes]

    # ------------------------------------------------------------ families

    def family(self, name):
        if name in TABLES:
            self.draw(TABLES[name])
        else:
            getattr(self, "f_" + name)()

    def f_same_twice(self):
        """One tensor read by both inputs of an elementwise operator."""
        x = self.operand()
        self.emit(self.pick(["Add", "Mul", "Sub"]), [x, x], x.exact)

    def f_compare(self):
        """A comparison, sometimes negated or combined, then cast to float or selecting with Where."""
        x = self.operand(exact=True)
        y = self.second(x.shape)
        if not y.exact:
            y = self.const(self.values(self.broadcast_shape(x.shape)))
        op = self.pick(["Greater", "Less", "GreaterOrEqual", "LessOrEqual", "Equal"])
        if op == "Equal":
            x, y = self.emit("Floor", [x])[0], self.const(np.floor(self.values(y.shape)))
        (c,) = self.emit(op, [x, y])
        roll = self.rng.random()
        if roll < 0.2:
            (c,) = self.emit("Not", [c])
        elif roll < 0.4:
            (d,) = self.emit("Greater", [x, self.scalar(0.3)])
            (c,) = self.emit(self.pick(["And", "Or", "Xor"]), [c, d])
        if self.chance(0.3):
            self.emit("Cast", [c], to=FLOAT)
            return
        a = self.second(c.shape)
        b = self.second(_broadcast(c.shape, a.shape)) if self.chance(0.6) else self.scalar(0.0)
        self.emit("Where", [c, a, b], a.exact and b.exact)

    def f_conv(self):
        """Conv, ConvTranspose and pools on rank 3 and 4: kernels, strides, dilations, pads, groups."""
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
        if op.startswith("Global"):
            self.emit(op, [x], op == "GlobalMaxPool" and x.exact)
            return
        k = [self.randint(1, 3) for _ in spatial]
        s = [self.pick([1, 1, 2]) for _ in spatial]
        d = [self.pick([1, 1, 2]) if op != "AveragePool" else 1 for _ in spatial]
        pool = op in ("MaxPool", "AveragePool")
        pads = [self.randint(0, kk - 1) if pool else self.randint(0, 1) for kk in k * 2]
        written = self.chance(0.8)
        pads = pads if written else [0] * len(pads)
        if any(sp + pads[i] + pads[i + len(k)] < (kk - 1) * dd + 1 for i, (sp, kk, dd) in enumerate(zip(spatial, k, d))):
            pads, k, d = [0] * len(pads), [1] * len(k), [1] * len(k)
        attrs = {"kernel_shape": k, "strides": s, "pads": pads if written else None,
                 "dilations": d if d != [1] * len(d) else None}
        if op == "AveragePool" and self.chance(0.5):
            attrs["count_include_pad"] = 1
        if pool:
            self.emit(op, [x], op == "MaxPool" and x.exact, **attrs)
            return
        if op == "ConvTranspose":
            group, m = self.pick([g for g in _divisors(c) if g <= 2]), self.pick([1, 2, 3])
            w = self.const(self.values([c, m, *k]))
            outp = [self.randint(0, ss - 1) if self.chance(0.4) else 0 for ss in s]
            attrs["output_padding"] = outp if any(outp) else None
        else:
            group = self.pick(_divisors(c))
            m = group * self.pick([1, 2])
            w = self.const(self.values([m, c // group, *k]))
        out_channels = m * group if op == "ConvTranspose" else m
        bias = [self.const(self.values([out_channels]))] if self.chance(0.5) else []
        self.emit(op, [x, w] + bias, False, group=group if group > 1 else None, **attrs)

    def f_reduce(self):
        x = self.operand()
        rank = len(x.shape)
        op = self.pick(REDUCE_OPS)
        axes = None if self.chance(0.1) else self.stored_axes(x.shape, self.axes_subset(rank))
        keep = self.pick([0, 1, None])
        if op == "ReduceL2" and not self.avoid("reducel2_scalar") and self.chance(0.5):  # a 4-D tensor to a scalar
            x, rank, axes, keep = self.operand(want_rank=4), 4, None, 0
        which = range(rank) if axes is None else [a % rank for a in axes]
        if self.steer_clear("reducel2_scalar", op == "ReduceL2" and keep == 0 and len(set(which)) == rank):
            # ReduceL2 runs as Pow, ReduceSum, Pow with one-element exponents,
            # which give a scalar result one axis.
            keep = 1
        as_input = axes is not None and (op == "ReduceSum" or self.opset >= 18)
        ins = [x, self.ints(axes)] if as_input else [x]
        self.emit(op, ins, op in ("ReduceMax", "ReduceMin") and x.exact, keepdims=keep,
                  axes=None if as_input else axes)

    def f_argmax(self):
        """ArgMax/ArgMin with a chain of Casts behind it, sometimes added to another tensor."""
        x = self.operand(exact=True)
        rank = len(x.shape)
        axis = self.randint(-rank, rank - 1)
        (t,) = self.emit(self.pick(["ArgMax", "ArgMin"]), [x], keepdims=self.pick([0, 1, None]),
                         axis=axis if self.chance(0.9) or axis != 0 else None)
        for _ in range(self.pick([0, 1, 1, 2])):
            (t,) = self.emit("Cast", [t], to=self.pick([FLOAT, onnx.TensorProto.INT32, FLOAT]))
        if t.dtype != F32:
            (t,) = self.emit("Cast", [t], to=FLOAT)
        if self.chance(0.4):
            y = self.second(t.shape)
            self.emit("Add", [t, y], y.exact)

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
        """One or two Reshapes (targets holding -1 or 0), sometimes a Squeeze or Unsqueeze after them."""
        x = self.operand()
        target = self.reshape_target(x.shape)
        for _ in range(self.pick([1, 1, 2])):
            operand = list(target)
            if self.chance(0.2):
                operand[self.randint(0, len(operand) - 1)] = -1
            if self.chance(0.15) and len(x.shape) == len(operand):
                k = self.randint(0, len(operand) - 1)
                if x.shape[k] == target[k] and operand[k] != -1:
                    operand[k] = 0
            (x,) = self.emit("Reshape", [x, self.ints(operand)], x.exact)
            target = self.reshape_target(target)
        if self.chance(0.3):
            if 1 in x.shape and self.chance(0.5):
                self.emit("Squeeze", [x, self.ints([x.shape.index(1)])], x.exact)
            elif len(x.shape) < 7:
                self.emit("Unsqueeze", [x, self.ints([self.randint(0, len(x.shape))])], x.exact)

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
        lead = wh if layout == "num_first" else nh
        n = self.pick([d for d in (1, 1, 2) if d != lead or not self.avoid("window_search")] or [3])
        c = self.pick([d for d in (1, 2, 3, 4) if d != lead or not self.avoid("window_search")])
        self.hit("window_search", lead in (n, c))
        x_shape, view, perm, out = {
            "nhwc": ([n, nh * wh, nw * ww, c], [n, nh, wh, nw, ww, c], [0, 1, 3, 2, 4, 5],
                     self.pick([[n * nh * nw, wh, ww, c], [n * nh * nw, wh * ww, c], [-1, wh * ww, c]])),
            "nchw": ([n, c, nh * wh, nw * ww], [n, c, nh, wh, nw, ww], [0, 1, 2, 4, 3, 5],
                     self.pick([[n, c, nh * nw, wh * ww], [n * c, nh * nw, wh, ww]])),
            "num_first": ([n, c, wh * nh, ww * nw], [n, c, wh, nh, ww, nw], [0, 1, 3, 5, 2, 4],
                          [n, c, nh * nw, wh * ww]),
            "reverse": ([n * nh * nw, wh, ww, c], [n, nh, nw, wh, ww, c], [0, 1, 3, 2, 4, 5], [n, nh * wh, nw * ww, c]),
        }[layout]
        x = self.fitting(x_shape)
        (v,) = self.emit("Reshape", [x, self.ints(view)], x.exact)
        (t,) = self.emit("Transpose", [v], x.exact, perm=perm)
        self.emit("Reshape", [t, self.ints(out)], x.exact)

    def f_concat(self):
        x = self.operand()
        rank = len(x.shape)
        axis = self.stored_axes(x.shape, [self.randint(-rank, rank - 1)])[0]
        parts = [x]
        for _ in range(self.pick([1, 1, 2])):
            shape = list(x.shape)
            shape[axis % rank] = self.pick([1, 2, 3, x.shape[axis % rank]])
            parts.append(self.const(self.values(shape)) if self.chance(0.4) else self.add_input(shape))
        if self.chance(0.4):
            self.rng.shuffle(parts)
        self.emit("Concat", parts, all(p.exact for p in parts), axis=axis)

    def f_split(self):
        x = self.operand()
        rank = len(x.shape)
        splittable = [i for i, d in enumerate(x.shape) if d >= 2]
        if not splittable:
            x = self.add_input(self.shape(rank) if rank > 1 else [4])
            splittable = [i for i, d in enumerate(x.shape) if d >= 2] or [0]
            if x.shape[splittable[0]] < 2:
                x, splittable = self.add_input([4] + x.shape[1:]), [0]
        a = self.pick(splittable)
        axis = self.stored_axes(x.shape, [a - rank if self.chance(0.3) else a])[0]
        dim = x.shape[a]
        count = self.randint(2, min(3, dim))
        ins, attrs = [x], {"axis": axis}
        if self.chance(0.5) and dim % count == 0:
            if self.opset >= 18:
                attrs["num_outputs"] = count
        else:
            cuts = sorted(int(c) for c in self.rng.choice(range(1, dim), size=count - 1, replace=False))
            sizes = [b - a_ for a_, b in zip([0] + cuts, cuts + [dim])]
            if self.opset >= 13:
                ins.append(self.ints(sizes))
            else:
                attrs["split"] = sizes
        self.emit("Split", ins, x.exact, outputs=count, **attrs)

    def f_slice(self):
        x = self.operand()
        rank = len(x.shape)
        axes = self.stored_axes(x.shape, self.axes_subset(rank))
        starts, ends, steps = [], [], []
        for ax in axes:
            dim = x.shape[ax % rank]
            step = self.pick([1, 1, 1, 2, -1])
            for _ in range(20):
                st = self.randint(-dim, dim - 1)
                en = self.pick([self.randint(-dim - 1, dim + 1), 2 ** 63 - 1 if step > 0 else -2 ** 63])
                if len(range(dim)[st:en:step]):  # Python clamps a slice as ONNX does
                    break
            else:
                st, en, step = 0, dim, 1
            starts.append(st)
            ends.append(en)
            steps.append(step)
        ins = [x, self.ints(starts), self.ints(ends)]
        leading = [a % rank for a in axes] == list(range(len(axes))) and all(a >= 0 for a in axes)
        if not (leading and all(s == 1 for s in steps) and self.chance(0.3)):
            ins.append(self.ints(axes))
            if any(s != 1 for s in steps) or self.chance(0.5):
                ins.append(self.ints(steps))
        self.emit("Slice", ins, x.exact)

    def f_pad(self):
        x = self.operand()
        rank = len(x.shape)
        mode = self.pick(["constant", "constant", "reflect", "edge"])
        pads = [self.randint(0, min(2, d - 1 if mode == "reflect" else 2)) if self.chance(0.4) else 0
                for d in x.shape * 2]
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
        ins = [x, self.ints(pads)]
        if mode == "constant" and self.chance(0.4):
            ins.append(self.scalar(self.rng.uniform(-1, 1)))
        self.emit("Pad", ins, x.exact, mode=mode)

    def f_expand(self):
        """An Expand, sometimes followed by a Reshape merging a grown axis with a neighbour."""
        x = self.operand()
        extra = self.pick([0, 0, 0, 1, 2])
        target = [self.pick([2, 3, 4]) if d == 1 and self.chance(0.5) else (1 if self.chance(0.2) else d)
                  for d in [1] * extra + list(x.shape)][-7:]
        if _prod(_broadcast(x.shape, target)) > 2 * MAX_ELEMS:
            target = [1] * len(target)
        (e,) = self.emit("Expand", [x, self.ints(target)], x.exact)
        out = e.shape
        grown = [i for i, (a, b) in enumerate(zip([1] * (len(out) - len(x.shape)) + x.shape, out)) if a < b]
        if grown and self.chance(0.5):
            k = grown[0]
            j = k - 1 if k > 0 and (self.chance(0.5) or k == len(out) - 1) else k + 1
            if 0 <= j < len(out):
                lo = min(j, k)
                self.emit("Reshape", [e, self.ints(out[:lo] + [out[lo] * out[lo + 1]] + out[lo + 2:])], x.exact)

    def f_gather(self):
        x = self.operand()
        rank = len(x.shape)
        axis = self.randint(-rank, rank - 1)
        dim = x.shape[axis % rank]
        if self.chance(0.15):
            ind = self.rng.integers(-dim, dim, size=x.shape).astype(np.int64)
            self.emit("GatherElements", [x, self.const(ind)], x.exact, axis=axis)
            return
        ishape = self.pick([[], [self.randint(1, 4)], [self.randint(1, 4)], [2, self.randint(1, 3)]])
        ind = self.rng.integers(-dim, dim, size=ishape).astype(np.int64)
        if self.chance(0.5):
            ind = np.abs(ind) % dim
        self.emit("Gather", [x, self.const(ind)], x.exact, axis=axis if axis != 0 or self.chance(0.5) else None)

    def f_channel_gather(self):
        """A Gather along the channels of a 4-D map, with one-dimensional constant indices."""
        c = self.pick([2, 3, 4, 6])
        x = self.fitting([self.pick([1, 2]), c, self.randint(1, 4), self.randint(1, 4)])
        ind = self.rng.integers(-c, c, size=[self.randint(1, 5)]).astype(np.int64)
        self.emit("Gather", [x, self.const(ind)], x.exact, axis=1)

    def f_matmul(self):
        x = self.operand(ranks=range(1, 8))
        k = x.shape[-1]
        if self.chance(0.2) and len(x.shape) > 1:
            bshape = [k]
        else:
            batch = x.shape[:-2]
            r = self.pick([0, 0, len(batch), len(batch), max(len(batch) - 1, 0)])
            bshape = [d if self.chance(0.7) else 1 for d in batch[len(batch) - r:]] + [k, self.randint(1, 5)]
        y = self.const(self.values(bshape)) if self.chance(0.5) else self.add_input(bshape)
        self.emit("MatMul", [x, y], False)

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
        roll = self.rng.random()
        roi = "" if roll < 0.5 else self.const(np.array([0.0] * rank + [1.0] * rank if roll < 0.85 else [],
                                                        np.float32))
        sizes = [roi, "", self.ints(out)] if self.chance(0.3) else [roi, self.const(np.array(scales, np.float32))]
        self.emit("Resize", [x] + sizes, x.exact, mode="nearest", coordinate_transformation_mode="asymmetric",
                  nearest_mode="floor")

    def f_topk(self):
        x = self.operand(exact=True)
        rank = len(x.shape)
        axis = self.attr_along(x)
        dim = x.shape[axis % rank]
        kk = self.randint(1, dim)
        out = list(x.shape)
        out[axis % rank] = kk
        if self.steer_clear("unit_axis_from_output", self.removed_axis(out) == axis % rank):
            # K = 1 along axis 0 or 1 would make that axis of the output the
            # unit axis the squeeze rule removes, also from the input where it
            # is not a unit axis.
            kk = dim
        _, i = self.emit("TopK", [x, self.ints([kk])], outputs=2, axis=axis if axis != -1 or self.chance(0.5) else None,
                         largest=0 if self.chance(0.3) else None)
        if self.chance(0.5):
            self.emit("Cast", [i], to=FLOAT)

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
        count = max(1, min(self.randint(1, 3), _prod(shape[:depth]) // _prod(lead)))
        flat = self.rng.choice(_prod(shape[:depth]), size=count * _prod(lead), replace=False)
        idx = np.stack(np.unravel_index(flat, shape[:depth]), axis=-1).astype(np.int64)
        idx = idx.reshape([count, 1, depth] if rank == 5 and shape[0] != 1 and depth == 2 else lead + [count, depth])
        upd_shape = list(idx.shape[:-1]) + shape[depth:]
        self.hit("scatternd_layout", rank == 1 or (rank == 3 and list(idx.shape[-1:]) + [idx.ndim] != [3, 4])
                 or (rank == 5 and len(upd_shape) != 5))
        upd = self.const(self.values(upd_shape)) if self.chance(0.5) else self.add_input(upd_shape)
        self.emit("ScatterND", [x, self.const(idx), upd], x.exact and upd.exact)

    def f_nhwc(self):
        """A channels-last block as converters from TensorFlow write it: Transposes around Mul, Add, Pad,
        Clip and LeakyRelu. Such models carry the converter's producer name."""
        self.producer = self.pick(["tf2onnx", "tflite2onnx", self.producer])
        x = self.operand(want_rank=4)
        (t,) = self.emit("Transpose", [x], x.exact, perm=[0, 2, 3, 1])
        for _ in range(self.randint(1, 2)):
            n, h, w, c = t.shape
            op = self.pick(["Mul", "Add", "Pad", "Clip", "LeakyRelu"])
            if op in ("Mul", "Add"):
                ins = [t, self.const(self.values(self.pick([[c], [1, 1, 1, c], [w, c], [1, h, w, c]])))]
            elif op == "Pad":
                ins = [t, self.ints([0, self.randint(0, 1), self.randint(0, 1), 0, 0, self.randint(0, 1),
                                     self.randint(0, 1), 0])]
            elif op == "Clip":
                ins = [t, self.scalar(-0.5), self.scalar(0.5)]
            else:
                ins = [t]
            (o,) = self.emit(op, ins, t.exact, alpha=0.1 if op == "LeakyRelu" else None)
            if self.chance(0.5):
                t = o
        if self.chance(0.6):
            self.emit("Transpose", [o], o.exact, perm=[0, 3, 1, 2])

    def f_concat_view(self):
        """A channel Concat between Reshapes or Transposes, with a unit spatial axis."""
        n, s = self.pick([1, 1, 2]), self.randint(2, 6)
        parts = []
        for _ in range(self.randint(2, 3)):
            ci = self.randint(1, 5)
            x = self.fitting([n, ci * s])
            parts += self.emit("Reshape", [x, self.ints([n, ci, 1, s])], x.exact)
        total = sum(p.shape[1] for p in parts)
        (c,) = self.emit("Concat", parts, all(p.exact for p in parts), axis=1)
        if self.chance(0.5):
            self.emit("Transpose", [c], c.exact, perm=[0, 3, 2, 1])
        else:
            self.emit("Reshape", [c, self.ints([n, total * s])], c.exact)

    def f_bitwise(self):
        """Bitwise operators on integer tensors (opset 18), or logical ones on booleans before it."""
        x = self.operand(dtype=I32, ranks=range(1, 8))
        if self.opset < 18:
            (b,) = self.emit("Greater", [x, self.const(np.array(0, np.int32))])
            self.emit("Cast", self.emit("Not", [b]), to=FLOAT)
            return
        op = self.pick(["BitwiseAnd", "BitwiseOr", "BitwiseXor", "BitwiseNot"])
        ins = [x]
        if op != "BitwiseNot":
            bshape = self.broadcast_shape(x.shape)
            ins.append(self.const(self.rng.integers(0, 4, size=bshape).astype(np.int32)) if self.chance(0.5)
                       else self.add_input(bshape, I32))
        (t,) = self.emit(op, ins)
        if self.chance(0.6):
            self.emit("Cast", [t], to=FLOAT)

    def f_custom(self):
        """A custom element-wise operator between two others (exDataConvert is left alone at the graph edge)."""
        x = self.operand()
        if x.name in self.inputs:
            (x,) = self.emit("Relu", [x], x.exact)
        op = self.pick(["exDataConvert", "exDataConvert", "exGelu", "exSwish", "exMish"])
        (t,) = self.emit(op, [x], x.exact and op == "exDataConvert")
        self.emit("Sigmoid", [t], t.exact)

    def f_rank_sweep(self):
        """An operator on a unit-axis 5-D tensor or on rank 6 and 7: the shapes the rank rules look for."""
        rank = self.pick([5, 5, 6, 7])
        shape = self.shape(rank)
        if rank == 5:
            shape[self.pick([0, 1])] = 1
        x = self.fitting(shape)
        self.pool.append(x)  # most recent and unused: the family picks it up first
        self.family(self.pick(["binary", "unary", "softmax", "reduce", "transpose", "norm", "concat", "split",
                               "matmul", "expand", "topk", "custom", "compare", "slice", "pad", "resize"]))

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
        self.emit("Gemm", ins, False, transA=int(trans_a), transB=int(trans_b),
                  alpha=self.pick([0.5, 2.0, -1.5]) if self.chance(0.3) else None,
                  beta=self.pick([0.0, 0.5, 3.0]) if self.chance(0.3) else None)

    def f_layernorm(self):
        """LayerNormalization (opset 17 on) over any axis, with broadcasting or computed scale and bias, and
        sometimes its mean and inverse deviation outputs."""
        if self.opset < 17:
            return
        x = self.operand(ranks=range(1, 7))
        axis = self.randint(-len(x.shape), len(x.shape) - 1)
        norm = x.shape[axis % len(x.shape):]

        def operand():
            if self.chance(0.2):
                return self.add_input(norm)
            return self.const(self.values([d if self.chance(0.6) else 1 for d in norm][self.randint(0, len(norm) - 1):]))
        ins = [x, operand()] + ([operand()] if self.chance(0.6) else [])
        self.emit("LayerNormalization", ins, False, outputs=self.pick([1, 1, 2, 3]), axis=axis, epsilon=1e-5)

    def f_attention_split(self):
        """The q/k/v split of attention: a Reshape to [B, N, 3, H, D], a Transpose of five axes ([2, 0, 3, 1, 4]
        or another) and Gathers of one index, sometimes read by another operator too."""
        b, n, h, d = self.pick([1, 2]), self.randint(1, 6), self.pick([1, 2, 3]), self.randint(2, 4)
        x = self.fitting([b, n, 3 * h * d])
        (v,) = self.emit("Reshape", [x, self.ints([b, n, 3, h, d])], x.exact)
        perm = [2, 0, 3, 1, 4] if self.chance(0.6) else [int(p) for p in self.rng.permutation(5)]
        (t,) = self.emit("Transpose", [v], x.exact, perm=perm)
        axis = 0 if perm[0] == 2 and self.chance(0.8) else self.randint(-5, 4)
        dim = t.shape[axis % 5]
        for _ in range(self.randint(1, 3)):
            index = self.randint(-dim, dim - 1)
            ind = self.const(np.array(index if self.chance(0.6) else [index], np.int64))
            self.emit("Gather", [t, ind], x.exact, axis=axis)
        if self.chance(0.3):
            self.emit("Sigmoid", [t], x.exact)

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
                self.family(name)
        finally:
            self.rng = main

    def build(self):
        self.add_input(self.shape(self.randint(1, 7)))
        for _ in range(self.randint(3, 9)):
            name = self.pick(self.FAMILIES)
            self.families.append(name)
            self.family(name)
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


def _compare(want, got):
    """Problems between two output dicts of ONNX Runtime."""
    problems = []
    for name, ref in want.items():
        out = got.get(name)
        if out is None or out.shape != ref.shape or out.dtype != ref.dtype:
            problems.append("output '%s': %s, expected %s %s" % (
                name, "missing" if out is None else "%s %s" % (out.dtype, list(out.shape)), ref.dtype, list(ref.shape)))
            continue
        if ref.dtype.kind in "biu":
            close = out == ref
        else:
            ref, out = ref.astype(np.float64), out.astype(np.float64)
            scale = max(1.0, float(np.abs(ref[np.isfinite(ref)]).max(initial=0.0)))
            close = np.isclose(out, ref, rtol=1e-3, atol=1e-4 * scale, equal_nan=True)
        if not close.all():
            k = int(np.argmax(~close.reshape(-1)))
            problems.append("output '%s': %d of %d values differ (first at %d: %r, expected %r)" % (
                name, int((~close).sum()), ref.size, k, out.reshape(-1)[k].item(), ref.reshape(-1)[k].item()))
    return problems


def check_model(model, seed=0, **options):
    """Converts `model` and checks the result; returns a Verdict."""
    from vexo.convert import ConversionError, convert
    from vexo.custom_ops import lower_custom_ops
    from vexo.runtime_check import random_inputs
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
        expected = any(p.match(failure.message) for p in EXPECTED_MESSAGES)
        (verdict.expected if expected else verdict.problems).append("rule " + failure.line())
    verdict.problems += ["engine: " + w for w in report.warnings]
    checks = [("checker", lambda: onnx.checker.check_model(converted)),
              ("recorded shapes", lambda: onnx.shape_inference.infer_shapes(lower_custom_ops(converted)[0],
                                                                            strict_mode=True)),
              ("ONNX Runtime cannot run the converted model", lambda: run_model(converted, feeds))]
    for what, check in checks:
        try:
            got = check()
        except Exception as exc:
            verdict.problems.append("%s: %s" % (what, _first_line(exc)))
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
    flags += ["--dynamic-shapes"] if options["dynamic_shapes"] else []
    flags += ["--npu-target", options["npu_target"]] if options["npu_target"] else []
    flags += ["--channel-align", str(options["channel_align"])] if options["channel_align"] else []
    flags += ["--extra-rules", args.extra_rules] if args.extra_rules else []
    flags += ["--tables", args.tables] if args.tables else []
    return flags + (["--no-guards"] if args.no_guards else [])


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
    p.add_argument("--tables", default="", help="the tables to run (default: all of them, as the converter)")
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
