"""Calls every rule of vexo.api.rules.dims and vexo.api.rules.rank4 with hostile host objects.

    python fuzz_rules_driver.py [--seed S] [--calls N] [--only K]

Each call builds a plausible match for the rule's pattern on the contract-only
host (independent_host), then lets a seeded "chaos" make some of the host's
answers hostile: shapes that are None, empty, of the wrong type, negative or
huge; constants of odd element types, 0-d or empty; attributes of the wrong
type; node lists of the wrong length; nodes whose port lists are too short or
hold non-strings; builders and helper functions that return the wrong type.

A rule may raise any ordinary exception or return a pair of node lists. The
driver prints a JSON summary on stdout and exits 3 when a call broke that
promise in a way the interpreter survives (a result of another form, a
SystemError, an untranslated C++ exception). A crash kills the process; the
last line on stderr then names the call that caused it.
"""
import argparse
import collections
import copy
import json
import os
import sys
import types

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import independent_host as host  # noqa: E402
import rule_models  # noqa: E402
import vexo.api.ir_utils as ir_utils  # noqa: E402
import vexo.api.rules.dims as dims  # noqa: E402
import vexo.api.rules.rank4 as rank4  # noqa: E402
import vexo.api.rules.utils as rule_utils  # noqa: E402
import vexo.api.vexo_utils as vexo_utils  # noqa: E402
from vexo import cleanup  # noqa: E402
from vexo.api.ir_graph import REDUCE_OPS, IrGraph  # noqa: E402
from vexo.api.vexo_log import VEXOLog  # noqa: E402
from vexo.convert import EXTRA_RULES, convert  # noqa: E402
from vexo.engine import index_table, match_chain  # noqa: E402
from vexo.models import SUITE  # noqa: E402
from vexo.sample import build_sample  # noqa: E402

HUGE = [2 ** 40, 2 ** 62, 2 ** 63 - 1, 2 ** 63, -1, -(2 ** 62), 0]
DIMS = [1, 1, 1, 2, 3, 4, 5, 8, 16, 32]

HOSTILE_SHAPES = [None, [], "1x2x3", 3.5, {"a": 1}, [1.5, 2], [None, 2], [True, 2], [-1, 3, 4, 5],
                  [2 ** 40] * 4, [2 ** 62, 2, 3, 4, 5], [2 ** 63, 1], [0, 0, 0, 0, 0], [1] * 9, (1, 2, 3, 4),
                  np.array([2, 3, 4]), [np.int64(2)] * 5, [-(2 ** 62)] * 6, [2 ** 31, 2 ** 31, 2 ** 31, 2], object()]
HOSTILE_CONSTS = [np.zeros((), bool), np.array(True), np.arange(6, dtype=np.float16).reshape(2, 3),
                  np.arange(5, dtype=np.uint8), np.array([], np.int64), np.zeros((0, 3), np.float32),
                  np.array(3, np.int64), np.array(["a", "b"]), np.array([1 + 2j]), np.array([None], dtype=object),
                  np.array([2 ** 62, -(2 ** 62)], np.int64), np.array([np.nan, np.inf, -np.inf], np.float32),
                  np.array([-1, -7, 99], np.int64), np.ones((1, 1, 1, 1, 1, 1, 1, 1, 1), np.float32),
                  np.arange(4, dtype=np.int32), np.arange(4, dtype=np.uint64), "not an array", [1, 2], 5]
HOSTILE_ATTRS = ["abc", 3.5, [1.5], ["a"], None, 2 ** 63, -(2 ** 40), [2 ** 62] * 4, [[1, 2]], {"x": 1},
                 np.array([1, 2]), True, [], (0, 1, 2, 3, 4), [-9, 9], list(range(12)), b"bytes"]
HOSTILE_DTYPES = [None, "float32", np.int64, object(), 5, np.dtype("float16"), np.bool_, np.dtype("uint8")]
HOSTILE_NAMES = [None, 5, b"x", ["x"], ""]
HOSTILE_NODE_LISTS = [None, "abc", 42, [None], [42], [object()]]
MODULES = (dims, rank4)
TABLES = (dims.fuse_dims, dims.cvt_dims, dims.hw_dims, rank4.rank4_dims)
RULES = {name: getattr(m, name) for m in MODULES for name in dir(m) if name.startswith("_p_")}


class Chaos:
    """Seeded choices; `hit()` is true with the call's level of hostility."""

    def __init__(self, rng, level):
        self.rng = rng
        self.level = level

    def hit(self, scale=1.0):
        return self.level > 0 and self.rng.random() < self.level * scale

    def pick(self, seq):
        return seq[int(self.rng.integers(len(seq)))]

    def int(self, lo, hi):
        return int(self.rng.integers(lo, hi))


# Host queries that answer with the call's chaos: how often (a share of the call's level) and with what.
HOSTILE_ANSWERS = {"get_shape": (1.0, HOSTILE_SHAPES), "get_dtype": (0.5, HOSTILE_DTYPES),
                   "get_const": (0.5, HOSTILE_CONSTS), "get_attr": (1.0, HOSTILE_ATTRS),
                   "next_nodes": (0.5, HOSTILE_NODE_LISTS), "pre_nodes": (0.5, HOSTILE_NODE_LISTS),
                   "is_invalid": (0.3, [None, "yes", 1, []])}


def asked_by_rule():
    """True when the caller of the host method is the rule itself (the compiled rule runs under its
    Python wrapper, made by exec), not the host's own shape inference or builder."""
    return sys._getframe(2).f_code.co_filename == "<string>"


def hostile(cls, rule_queries_only):
    """A subclass of the host class `cls` whose queries answer with the chaos of the call (`self.chaos`);
    with `rule_queries_only`, the host's own machinery keeps getting honest answers."""
    def query(name, share, answers):
        honest = getattr(cls, name)

        def method(self, *args, **kwargs):
            if (not rule_queries_only or asked_by_rule()) and self.chaos.hit(share):
                return self.chaos.pick(answers)
            return honest(self, *args, **kwargs)
        return method
    return type("Hostile" + cls.__name__, (cls,), {name: query(name, *how) for name, how in HOSTILE_ANSWERS.items()})


class Ir(hostile(host.Ir, False)):
    def __init__(self, chaos, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.chaos = chaos


class ChaosIrGraph(hostile(IrGraph, True)):
    """The converter's own IR graph, answering the rules' queries with the chaos of the call."""

    chaos = Chaos(None, 0.0)


def chaos_builder(base):
    class Graph(base):
        chaos = None

        def op(self, op_type, *inputs, **kwargs):
            if self.chaos is not None and self.chaos.hit(0.3):
                return self.chaos.pick([None, 5, ["x"], b"x"])
            return super().op(op_type, *inputs, **kwargs)
    return Graph


Graph = chaos_builder(host.Graph)
RealGraph = chaos_builder(rule_utils.Graph)


# ---------------------------------------------------------------- helper functions, sometimes hostile

def helpers(chaos, real_host):
    def maybe(real, hostile):
        def fn(*args, **kwargs):
            if chaos.hit():
                value = chaos.pick(hostile)
                if isinstance(value, Exception):
                    raise value
                return value
            return real(*args, **kwargs)
        return fn

    def get_reduce_axes(ir, node):
        return list(node.attrs.get("axes", [0]))

    base = ir_utils if real_host else host
    return {
        "get_reduce_axes": maybe(ir_utils.get_reduce_axes if real_host else get_reduce_axes,
                                 [None, "ab", [2 ** 63], [1.5], 7, [-99], []]),
        "squeeze_broadcast_dims": maybe(vexo_utils.squeeze_broadcast_dims,
                                        [None, ([1],), ([1, 2], [3]), ("a", "b"), ([2 ** 62], [2 ** 62]),
                                         ([], []), ([-1, 4], [4, -1])]),
        "seperate_independent_part_for_reshape": maybe(
            vexo_utils.seperate_independent_part_for_reshape,
            [None, [(1,)], [([0], [0, 1, 2, 99])], [([-5], [2 ** 40])], "ab", [([], [])], 5]),
        "gen_gather_for_change_split_shape": maybe(
            vexo_utils.gen_gather_for_change_split_shape,
            [None, (None, None, None), (0, [99, -99, 2 ** 62], True), (2 ** 63, [], 1), (1, "x", 0), (7, [0], 0)]),
        "align_sub_c": maybe(vexo_utils.align_sub_c if real_host else (lambda ir: 8),
                             [0, -1, "8", None, 2 ** 62, 3, 2 ** 63]),
        "node_name_join": maybe(base.node_name_join, HOSTILE_NAMES),
        "oper_name_join": maybe(rule_utils.oper_name_join if real_host else host.oper_name_join, HOSTILE_NAMES),
        "copy_par": maybe(rule_utils.copy_par if real_host else host.copy_par, [KeyError("quant"), None]),
        "set_reduce_axes": base.set_reduce_axes,
    }


def install(chaos, real_host):
    """Points the rule module's host names at the contract-only host or at the converter's own."""
    builder = RealGraph if real_host else Graph
    builder.chaos = chaos
    names = {"Graph": builder, "vexoLog": VEXOLog if real_host else host.Log,
             "REDUCE_OPS": REDUCE_OPS if real_host else ["ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum",
                                                          "ReduceL2"]}
    names.update(helpers(chaos, real_host))
    for name, value in names.items():
        for module in MODULES:
            if name in vars(module):  # each module is given the host names it binds
                setattr(module, name, value)
    host.Log.messages = []


# ---------------------------------------------------------------- plausible matches

def patterns():
    """Rule name -> the op-type patterns it is called on."""
    found = collections.defaultdict(list)
    for table in TABLES:
        for entry in table.values():
            ops = list(entry["ops"])
            if ops not in found[entry["proc"].__name__]:
                found[entry["proc"].__name__].append(ops)
    for op, proc in EXTRA_RULES.values():
        found[proc].append([op])
    return dict(found)


# How a plausible value of each attribute is drawn, given the chaos and the rank of the match.
PLAUSIBLE_ATTRS = {
    "axis": lambda c, r: c.int(-r, r),
    "axes": lambda c, r: sorted(set(c.int(-r, r) for _ in range(c.int(1, 3)))),
    "perm": lambda c, r: [int(v) for v in c.rng.permutation(r)],
    "keepdims": lambda c, r: c.int(0, 2), "transA": lambda c, r: c.int(0, 2), "transB": lambda c, r: c.int(0, 2),
    "alpha": lambda c, r: c.pick([1.0, 0.5, -2.0, 0.0]), "beta": lambda c, r: c.pick([1.0, 0.5, -2.0, 0.0]),
    "kernel_shape": lambda c, r: [c.int(1, 4)] * c.int(1, 3), "strides": lambda c, r: [c.int(1, 4)] * c.int(1, 3),
    "dilations": lambda c, r: [c.int(1, 4)] * c.int(1, 3), "output_padding": lambda c, r: [c.int(1, 4)] * c.int(1, 3),
    "pads": lambda c, r: [c.int(0, 2)] * (2 * c.int(1, 3)),
    "split": lambda c, r: [c.int(1, 4) for _ in range(c.int(1, 4))],
    "normalized_shape": lambda c, r: [c.pick(DIMS)],
    "mode": lambda c, r: c.pick(["nearest", "linear", "partition", "reverse"]),
    "coordinate_transformation_mode": lambda c, r: c.pick(["asymmetric", "tf_crop_and_resize", "half_pixel"]),
    "epsilon": lambda c, r: c.rng.random(),
}


def plausible_attr(chaos, name, rank):
    return PLAUSIBLE_ATTRS[name](chaos, max(rank, 1))


def plausible_const(chaos, rank):
    kind = chaos.int(0, 5)
    if kind == 0:  # axes or indices
        return np.array([chaos.int(-rank - 1, rank + 1) for _ in range(chaos.int(1, 4))], np.int64)
    if kind == 1:  # a shape
        return np.array([chaos.pick(DIMS + [-1, 0]) for _ in range(chaos.int(1, 8))], np.int64)
    if kind == 2:  # a weight
        shape = [chaos.pick(DIMS[:6]) for _ in range(chaos.int(0, 6))]
        return chaos.rng.standard_normal(shape).astype(np.float32)
    if kind == 3:  # pads, sizes, scales
        return np.array([chaos.int(0, 3) for _ in range(2 * max(rank, 1))], np.int64)
    return np.array([1.0, 1.0, 2.0, 2.0][:chaos.int(1, 5)], np.float32)


def build_case(chaos, rule_name, ops):
    rank = chaos.pick([1, 2, 3, 4, 4, 5, 5, 6, 6, 7, 8])
    shapes, consts, nodes = {}, {}, []

    def shape():
        if chaos.hit(0.3):
            return [chaos.pick(HUGE + DIMS) for _ in range(rank)]
        return [chaos.pick(DIMS) for _ in range(rank)]
    prev = None
    for i, op in enumerate(ops):
        n_in = chaos.int(0, 6) if chaos.hit(0.5) else chaos.int(1, 4)
        n_out = chaos.int(0, 3) if chaos.hit(0.5) else 1
        inputs = ["in%d_%d" % (i, j) for j in range(n_in)]
        if prev is not None and inputs:
            inputs[0] = prev
        outputs = ["out%d_%d" % (i, j) for j in range(n_out)]
        for j, t in enumerate(inputs):
            if j > 0 and chaos.rng.random() < 0.5:
                consts[t] = chaos.pick(HOSTILE_CONSTS[:16]) if chaos.hit() else plausible_const(chaos, rank)
            elif t not in shapes:
                shapes[t] = shape()
        for t in outputs:
            shapes[t] = shape()
        attrs = {}
        for name in PLAUSIBLE_ATTRS:
            if chaos.rng.random() < 0.4:
                attrs[name] = chaos.pick(HOSTILE_ATTRS) if chaos.hit() else plausible_attr(chaos, name, rank)
        node = host.Node(op, inputs, outputs, name="%s_%d" % (op.lower(), i), **attrs)
        if chaos.hit(0.2):
            setattr(node, chaos.pick(["input", "output"]), chaos.pick([None, "abc", [None], [1, 2], ()]))
        if chaos.hit(0.1):
            setattr(node, chaos.pick(["op_type", "name"]), chaos.pick(HOSTILE_NAMES))
        nodes.append(node)
        prev = outputs[0] if outputs else None
    neighbours = []
    for node in nodes:
        for t in list(getattr(node, "input", None) or [])[:1]:
            if isinstance(t, str) and t not in consts and chaos.rng.random() < 0.5:
                neighbours.append(host.Node(chaos.pick(["Conv", "Relu", "Softmax", "Transpose"]), ["src"], [t],
                                       perm=plausible_attr(chaos, "perm", rank)))
        for t in list(getattr(node, "output", None) or []):
            if isinstance(t, str) and chaos.rng.random() < 0.5:
                neighbours.append(host.Node(chaos.pick(["Relu", "Reshape", "Add", "Transpose", "Mul"]), [t, "k"],
                                       ["use_" + t], perm=plausible_attr(chaos, "perm", 4)))
    config = {"dynamic_shapes": chaos.pick([False, False, True, None, "yes"]) if chaos.hit() else False,
              "unsqueeze_2d_mode": chaos.pick(["AB11", "AB1C", "1A1B", "XY", 5, None]) if chaos.hit() else
              chaos.pick(["AB11", "AB1C", "1ABC", "AC1B", "1A1B", "11AB", "1A11"]),
              "npu_target": chaos.pick(["", "n7", "x4", None, 5]),
              "producer_name": chaos.pick(["", "tf2onnx", None, 5] if chaos.hit() else ["", "tf2onnx"])}
    ir = Ir(chaos, nodes + neighbours, shapes=shapes, consts=consts,
            inputs=[t for t in shapes if t.startswith("in") and chaos.rng.random() < 0.3],
            outputs=[t for t in shapes if t.startswith("out") and chaos.rng.random() < 0.3], **config)
    ir.model = types.SimpleNamespace(producer_name=config["producer_name"])
    if chaos.hit(0.3):
        ir.weights_for_align = chaos.pick([None, (), "abc"])
    matched = list(nodes)
    if chaos.hit(0.5):
        matched = chaos.pick([[], nodes[:1], nodes * 3, nodes + [None], tuple(nodes), None, "abc", 42])
    quant_tab = chaos.pick([{}, {"in0_0": {"scale": 1.0}}, None, [], "abc"]) if chaos.hit() else {}
    return ir, matched, quant_tab


# ---------------------------------------------------------------- matches in real graphs

def real_matches():
    """(graph, matched nodes, rule) for pattern matches in a set of models, before and after conversion:
    per rule, the matches it rewrites when the host is honest and as many it declines.

    The graphs are ChaosIrGraphs; calls on them run inside a transaction that is rolled back."""
    builders = [build_sample, rule_models.nd_model, rule_models.aligned_concat_split_model,
                rule_models.four_d_fixups_model, rule_models.rank4_model] + [clean for clean, _ in SUITE.values()]
    tables = list(TABLES) + [{name: {"ops": [op], "proc": getattr(dims, proc)}
                              for name, (op, proc) in EXTRA_RULES.items()}]
    matches = []
    for build in builders:
        model = build()
        converted = convert(model, extra_rules="all")[0].to_model()
        for m in (model, converted):
            ir = ChaosIrGraph(m, channel_align=8)
            cleanup.unshare_constants(ir)
            for table in tables:
                index = index_table(table)
                for node in ir.nodes:
                    for _, ops, rule in index.get(node.op_type, ()):
                        chain = match_chain(ir, node, ops)
                        if chain is not None:
                            matches.append((ir, chain, rule))
    install(Chaos(None, 0.0), real_host=True)
    fires, declines = collections.defaultdict(list), collections.defaultdict(list)
    for match in matches:
        ir, chain, rule = match
        changes = ir.changes
        ir.begin()
        try:
            rule(ir, list(chain))
        except Exception:  # noqa: BLE001 - a rule may refuse an honest host with an error too
            pass
        finally:
            rewrites = ir.changes != changes
            ir.rollback()
        (fires if rewrites else declines)[rule.__name__].append(match)
    chosen = []
    for name in set(fires) | set(declines):
        chosen += fires[name] + declines[name][:max(len(fires[name]), 2)]
    return chosen


def real_case(chaos, match):
    ir, chain, rule = match
    ChaosIrGraph.chaos = chaos
    matched = list(chain)
    if chaos.hit(0.5):
        matched = chaos.pick([[], matched[:1], matched * 3, matched + [None], tuple(matched), None])
    elif chaos.hit(0.5):
        k = chaos.int(0, len(matched))
        short = copy.deepcopy(matched[k])  # a detached copy whose port lists are cut short
        short.input = list(short.input)[:chaos.int(0, max(len(short.input), 1))]
        short.output = list(short.output)[:chaos.int(0, max(len(short.output), 1))]
        matched[k] = short
    quant_tab = chaos.pick([{}, None, [], "abc"]) if chaos.hit() else {}

    def call():
        ir.begin()
        try:
            return rule(ir, matched, quant_tab) if quant_tab is not None else rule(ir, matched)
        finally:
            call.wrote = ir.changes != changes
            ir.rollback()
            ChaosIrGraph.chaos = Chaos(None, 0.0)
    changes = ir.changes
    return rule.__name__, call


# ---------------------------------------------------------------- running

def verdict(call):
    """'ok:<kind>' or 'bad:<reason>' for one call; a call that wrote to the graph (`call.wrote`) counts as
    a rewrite even when it returns two empty lists, as rules that rewrite in place do."""
    try:
        result = call()
    except SystemError as exc:
        return "bad:SystemError: %s" % exc
    except RuntimeError as exc:
        if "unknown exception" in str(exc):
            return "bad:untranslated C++ exception: %s" % exc
        return "ok:%s" % type(exc).__name__
    except Exception as exc:  # noqa: BLE001 - any ordinary exception is an acceptable answer
        return "ok:%s" % type(exc).__name__
    if isinstance(result, list) and all(isinstance(v, int) for v in result):
        return "ok:tile sizes"
    # Rules that replace their match hand back `nodes` itself, which a caller may pass as a tuple.
    if not (isinstance(result, tuple) and len(result) == 2 and all(isinstance(v, (list, tuple)) for v in result)):
        return "bad:result %r" % (result,)
    return "ok:rewrite" if result[0] or result[1] or getattr(call, "wrote", False) else "ok:no change"


def synthetic_call(rule, ir, matched, quant_tab):
    def call():
        try:
            return rule(ir, matched, quant_tab) if quant_tab is not None else rule(ir, matched)
        finally:
            call.wrote = bool(ir.writes())
    return call


def tile_size_call(chaos):
    args = [chaos.pick([0, 1, 2, 7, 12, 49, 97, 1024, 2 ** 31, 2 ** 62, -1, -(2 ** 62), 2 ** 63, 3.5, "8", None])
            for _ in range(3)]
    return lambda: dims._1x1_resize_to_tile_size(*args)


def run(seed, calls, only=None):
    rules = sorted(RULES)
    found = patterns()
    by_rule = collections.defaultdict(list)
    for match in real_matches():
        by_rule[match[2].__name__].append(match)
    matched_rules = sorted(by_rule)
    outcomes = collections.Counter()
    per_rule = collections.defaultdict(collections.Counter)
    bad = []
    for k in range(calls) if only is None else [only]:
        # Even calls: a real match on the converter's graph; odd calls: a synthetic match on the
        # contract-only host. The hostility level cycles so that deep and shallow paths both run.
        chaos = Chaos(np.random.default_rng([seed, k]), level=[0.0, 0.05, 0.2, 0.5, 0.05, 0.2][k % 6])
        install(chaos, real_host=k % 2 == 0)
        j = k // 2
        if k % 2 == 0:
            same = by_rule[matched_rules[j % len(matched_rules)]]
            name, call = real_case(chaos, same[(j // len(matched_rules)) % len(same)])
        elif j % (len(rules) + 1) == len(rules):
            name, call = "_1x1_resize_to_tile_size", tile_size_call(chaos)
        else:
            name = rules[j % (len(rules) + 1)]
            ir, matched, quant_tab = build_case(chaos, name, chaos.pick(found[name]))
            call = synthetic_call(RULES[name], ir, matched, quant_tab)
        sys.stderr.write("call %d: %s (seed %d)\n" % (k, name, seed))
        sys.stderr.flush()
        v = verdict(call)
        outcomes[v.split(":")[0]] += 1
        per_rule[name][v.split(":", 1)[1] if v.startswith("ok") else "bad"] += 1
        if v.startswith("bad"):
            bad.append({"call": k, "rule": name, "seed": seed, "what": v[4:]})
    return {"calls": calls, "outcomes": dict(outcomes), "per_rule": {k: dict(v) for k, v in per_rule.items()},
            "bad": bad}


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--seed", type=int, default=0)
    p.add_argument("--calls", type=int, default=3000)
    p.add_argument("--only", type=int, metavar="K", help="make call K alone, to reproduce what it did")
    args = p.parse_args(argv)
    summary = run(args.seed, args.calls, args.only)
    print(json.dumps(summary))
    return 3 if summary["bad"] else 0


if __name__ == "__main__":
    sys.exit(main())
