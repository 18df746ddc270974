"""Guards: rule calls the converter does not make, because the rewrite would not be exact.

The dimension rules rewrite a few patterns into graphs that compute something
else (README, "What the converter does about the rules' limits"). Each such
pattern has a guard here, registered under the rule function it protects: a
cheap predicate `(ir, chain) -> reason or None` that reads only what the rule
itself reads through the host interface (shapes, attributes, constants,
neighbours). The engine asks `check` right before it calls a rule; on a
reason it does not call it and reports the decline with the guard's name.

A guard refuses exactly the chains whose rewrite is wrong and nothing around
them, so the rule still fires on the safe cases of the same op type. A host
that calls a rule directly still gets its own rewrite: the guards belong to
this converter, not to the rule module.
"""
import collections
import math
from dataclasses import dataclass

from vexo.api.ir_graph import REDUCE_OPS


@dataclass(frozen=True)
class Guard:
    name: str          # the pattern it keeps from the rule
    rule: str          # name of the rule function it protects
    ops: frozenset     # op types of the first matched node it looks at; empty: every one
    predicate: object  # (ir, chain) -> reason or None


GUARDS = collections.defaultdict(list)  # rule function name -> [Guard], in registration order


def guard(rule, *ops):
    """Registers the decorated predicate as a guard of `rule` for matches starting with one of `ops`."""
    def register(predicate):
        GUARDS[rule].append(Guard(predicate.__name__, rule, frozenset(ops), predicate))
        return predicate
    return register


def check(rule_name, ir, chain):
    """(guard name, reason) of the first guard of `rule_name` that refuses `chain`, or None."""
    for g in GUARDS.get(rule_name, ()):
        if g.ops and chain[0].op_type not in g.ops:
            continue
        reason = g.predicate(ir, chain)
        if reason:
            return g.name, reason
    return None


def may_refuse(rule_name, op_type):
    """Whether a guard of `rule_name` looks at matches starting with `op_type` (the engine asks only then)."""
    return any(not g.ops or op_type in g.ops for g in GUARDS.get(rule_name, ()))


def _prod(values):
    return math.prod(int(v) for v in values)


# ---------------------------------------------------------------- rank 1 to 3 made four-dimensional

def size_rule_mode(a, b, c):
    """The layout the unsqueeze rule gives a rank-3 operator from its extents: the channel axis goes to the
    largest axis, preferring B, then A; "AC1B" only when B is 1."""
    if (b >= a and b >= c) or b >= 4:
        return "AB1C"
    if (a >= b and a >= c) or a >= 4:
        return "1ABC"
    if b != 1:
        return "AB1C" if b >= a else "1ABC"
    return "AC1B"


# Four-dimensional layout of a rank-1 and a rank-2 shape under each two-dimensional mode.
_LAYOUT_2D = {
    "AB11": (lambda x: [x, 1, 1], lambda x, y: [x, y, 1, 1]),
    "1A1B": (lambda x: [1, x], lambda x, y: [1, x, 1, y]),
    "11AB": (lambda x: [1, 1, x], lambda x, y: [1, 1, x, y]),
}


@guard("_p_unsqueeze_to_4d", "exLayerNorm")
def layernorm_block_grows(ir, chain):
    """A 2-D layer norm over its last axis normalises over the trailing axes its normalized_shape takes in
    the layout; under "11AB" ([x, y] as [1, 1, x, y], [y] as [1, 1, y]) that takes in x as well."""
    node = chain[0]
    shape, norm = ir.get_shape(node.output[0]), ir.get_attr(node, "normalized_shape")
    layouts = _LAYOUT_2D.get(ir.unsqueeze_2d_mode)
    if not shape or len(shape) != 2 or not norm or len(norm) != 1 or layouts is None:
        return None
    laid_out, norm_laid_out = layouts[1](*shape), layouts[0](*norm)
    block = _prod(laid_out[len(laid_out) - len(norm_laid_out):])
    if block != norm[0]:
        return ("normalized_shape %s becomes %s in the %s layout %s: it would normalise over %d values, not %d"
                % (norm, norm_laid_out, ir.unsqueeze_2d_mode, laid_out, block, norm[0]))
    return None


# The layout the rule gives exMeanVarianceNormalization by rank: where each axis goes ("1A11", "AB11", "AB1C").
_MVN_AXIS_MAP = {1: [1], 2: [0, 1], 3: [0, 1, 3]}


@guard("_p_unsqueeze_to_4d", "exMeanVarianceNormalization")
def mvn_axes_off_layout(ir, chain):
    """The rule keeps the axes of a rank 1-3 normalisation as written while its layout moves the axes."""
    node = chain[0]
    shape = ir.get_shape(node.output[0])
    if not shape or len(shape) not in _MVN_AXIS_MAP:
        return None
    where = _MVN_AXIS_MAP[len(shape)]
    laid_out = [1] * 4
    for axis, to in enumerate(where):
        laid_out[to] = shape[axis]
    axes = ir.get_attr(node, "axes")
    if not axes or any(not -len(shape) <= a < len(shape) for a in axes):
        return None
    wanted = {where[a % len(shape)] for a in axes}
    kept = {a % 4 for a in axes}
    if {a for a in wanted if laid_out[a] != 1} != {a for a in kept if laid_out[a] != 1}:
        return ("axes %s stay as written while the layout puts %s at %s: it would normalise over other axes"
                % (axes, shape, laid_out))
    return None


@guard("_p_unsqueeze_to_4d", "GlobalMaxPool")
def global_maxpool_layout(ir, chain):
    """A rank-3 GlobalMaxPool pools its last axis; a layout other than "AB1C" pools another one."""
    shape = ir.get_shape(chain[0].input[0])
    if ir.dynamic_shapes or not shape or len(shape) != 3:
        return None
    mode = size_rule_mode(*shape)
    if mode == "AB1C" or (mode == "1ABC" and shape[1] == 1):
        return None
    return "the layout %s of %s puts a pooled axis on the channels" % (mode, shape)


@guard("_p_unsqueeze_to_4d", "Pad", "Pow", "Resize")
def middle_axis_widened(ir, chain):
    """"AC1B" lays [a, 1, c] out as [a, c, 1, 1], which is a plain view only while the middle axis stays 1:
    an output that widens it comes back reordered."""
    node = chain[0]
    shape, out = ir.get_shape(node.input[0]), ir.get_shape(node.output[0])
    if ir.dynamic_shapes or not shape or len(shape) != 3 or not out or len(out) != 3:
        return None
    if size_rule_mode(*shape) == "AC1B" and out[1] != 1:
        return ("the layout AC1B of %s moves the last axis in front of the unit middle axis, which the output "
                "widens to %d" % (shape, out[1]))
    return None


@guard("_p_unsqueeze_to_4d", "ScatterND")
def scatternd_index_layout(ir, chain):
    """Only indices [d0, d1, d2, 3] are rewritten for the layout of rank-3 data; any other index layout (and
    any of rank-1 data) keeps tuples that address other axes, or updates of the wrong shape."""
    node = chain[0]
    data, indices = ir.get_shape(node.output[0]), ir.get_shape(node.input[1])
    if not data or len(data) not in (1, 3) or indices is None or node.input[1] not in ir.consts:
        return None
    if any(t not in ir.consts and len(ir.get_shape(t) or data) != len(data) for t in node.input if t):
        return None  # an operand of another rank: the rule declines on its own
    if len(indices) == 4 and indices[3] == 3:
        return None
    return "indices %s of rank-%d data: only indices [d0, d1, d2, 3] are rewritten for the layout" % (
        indices, len(data))


# ---------------------------------------------------------------- five-dimensional operators losing a unit axis

def squeeze_removed_axis(ir, node):
    """The unit axis (0 or 1) the squeeze rule takes out of a five-dimensional node, or None where it
    declines: the last non-constant input decides for the reductions, Split and Slice, the last output
    for the others."""
    by_inputs = node.op_type in REDUCE_OPS or node.op_type in ("Split", "Slice")
    names = [t for t in node.input if t and t not in ir.consts] if by_inputs else list(node.output)
    axis = None
    for name in names:
        shape = ir.get_shape(name)
        if not shape or len(shape) != 5 or 1 not in shape[:2]:
            return None
        axis = shape.index(1)
    if axis is None or (ir.dynamic_shapes and axis != 0):
        return None
    return axis


def _default_axis(ir, node):
    if node.op_type in ("Softmax", "LogSoftmax") and ir.opset_version() < 13:
        return 1
    return -1


@guard("_p_squeeze_to_4d", "Softmax", "LogSoftmax", "exSoftmax13", "TopK")
def along_removed_axis(ir, chain):
    """The rule renumbers an axis equal to the removed one to the axis before it (the last one for axis
    0): an operator along the removed unit axis would run along an axis that is not a unit axis."""
    node = chain[0]
    gone = squeeze_removed_axis(ir, node)
    shape = ir.get_shape(node.input[0])
    axis = ir.get_attr(node, "axis", _default_axis(ir, node))
    if gone is None or not shape or len(shape) != 5 or axis % 5 != gone:
        return None
    moved_to = 4 if gone == 0 else 0
    if shape[moved_to] == 1:
        return None
    return "%s runs along the unit axis %d that the rewrite removes; it would run along axis %d (extent %d)" % (
        node.op_type, gone, moved_to, shape[moved_to])


@guard("_p_squeeze_to_4d")
def unit_axis_from_output(ir, chain):
    """Output-judged operators take the removed axis from their output; an input that is not a unit axis
    there (TopK with K = 1, a Pad cropping to 1, a Resize shrinking to 1) would lose real data."""
    node = chain[0]
    gone = squeeze_removed_axis(ir, node)
    if gone is None:
        return None
    for k, name in enumerate(node.input):
        if not name or (node.op_type == "ScatterND" and k == 1):
            continue
        shape = ir.get_shape(name)
        if shape and len(shape) == 5 and shape[gone] != 1:
            return "input '%s' %s has extent %d on axis %d, the output's unit axis the rewrite removes" % (
                name, shape, shape[gone], gone)
    return None


@guard("_p_squeeze_to_4d", "ScatterND")
def scatternd_updates_rank(ir, chain):
    """Dropping the removed axis from the indices is exact only when the updates lose the same unit axis
    (updates of rank 5 or more) and, for axis 1, the index tuples have a coordinate for it to lose."""
    node = chain[0]
    gone = squeeze_removed_axis(ir, node)
    if gone is None or len(node.input) < 3 or node.input[1] not in ir.consts:
        return None
    indices, updates = ir.get_shape(node.input[1]), ir.get_shape(node.input[2])
    if indices is None or updates is None:
        return None
    if 3 <= len(indices) <= 6 and indices[gone] == 1:
        if len(updates) < 5:
            return "updates %s of rank %d would be given leading unit axes instead of losing one" % (
                updates, len(updates))
        if gone == 1 and indices[-1] < 2:
            return "index tuples of one coordinate have no coordinate of axis 1 to lose"
    elif gone == 1 and len(indices) == 2 and indices[-1] > 1:
        return "index tuples %s keep a coordinate of the removed axis 1" % indices
    return None


# ---------------------------------------------------------------- operator lowering

@guard("_p_convert_reduce_L2_to_pow_sum_pow")
def reducel2_scalar(ir, chain):
    """The last Pow's one-element exponent broadcasts a scalar result to shape [1]."""
    node = chain[0]
    if ir.get_shape(node.output[0]) == [] and len(ir.get_shape(node.input[0]) or []) == 4:
        return "its result is a scalar, which the one-element exponent of the square root makes [1]"
    return None


def _reads_beside_4d(ir, node, tensor):
    """True when `node` is an Add, Sub, Mul or Div whose first other operand than `tensor` is 4-D."""
    others = [t for t in node.input if t != tensor]
    return node.op_type in ("Add", "Sub", "Mul", "Div") and bool(others) and len(ir.get_shape(others[0]) or []) == 4


@guard("_p_unsqueeze_to_4d_reshape_with_elementwise_op")
def reshape_output_is_graph_output(ir, chain):
    """The rule makes a Reshape read only by elementwise operators beside 4-D operands write the 4-D form
    of its result in place; a graph output would change shape."""
    out = chain[0].output[0]
    readers = ir.next_nodes(chain[0])
    if out not in ir.outputs or len(ir.get_shape(out) or [0] * 4) >= 4 or not readers:
        return None
    if all(_reads_beside_4d(ir, n, out) for n in readers):
        return "its output '%s' is a graph output, whose shape the rewrite would change" % out
    return None


def _cast_chain_outputs(ir, node):
    """The tensors that take the kept-dimension shape: the arg-reduce's output and the outputs of the
    single-consumer Casts behind it, all but the last."""
    kept, seen = [], {node.name}
    while True:
        nxt = ir.next_nodes(node)
        if len(nxt) != 1 or nxt[0].op_type != "Cast" or nxt[0].name in seen:
            return kept
        kept.append(node.output[0])
        node = nxt[0]
        seen.add(node.name)


@guard("_p_convert_keepdims_to_1", "ArgMax", "ArgMin")
def argreduce_chain_output(ir, chain):
    """ArgMax/ArgMin results keep their axis up to the Casts behind them; a graph output among those
    tensors would change shape."""
    node = chain[0]
    if ir.get_attr(node, "keepdims") == 1:
        return None
    outputs = [t for t in _cast_chain_outputs(ir, node) if t in ir.outputs]
    if outputs:
        return "graph output '%s' would keep the reduced axis" % outputs[0]
    return None


# ---------------------------------------------------------------- window partitions

def _window_position(shape, perm):
    """(mode, first axis) of the window block the fusion finds in the Transpose's output, or None."""
    for i in range(len(shape) - 3):
        part = [p - i for p in perm[i:i + 4]]
        s0, s1, s2, s3 = shape[i:i + 4]
        if part == [0, 2, 1, 3] and ((s0 == s1 and s2 == s3) or (s0 == s2 and s1 == s3)):
            return i
        if part == [1, 3, 0, 2] and s0 == s1 and s2 == s3:
            return i
    return None


def _first_run(shape, block):
    """(first, last) of the first run of `shape` that starts at block[0] and multiplies up to the block's
    size (last one past the run when it overshoots), or None: where the fusion looks for the window."""
    size, total = _prod(block), _prod(shape)
    if size > total or total % size:
        return None
    for i, d in enumerate(shape):
        if d != block[0]:
            continue
        prod, end = 1, i
        while prod < size and end < len(shape):
            prod *= shape[end]
            end += 1
        if prod >= size:
            return i, end - 1 if prod == size else end
    return None


@guard("_p_fuse_reshape_tp_reshape_to_exWindow")
def window_elsewhere(ir, chain):
    """The fusion reads only the four window entries of the perm, and looks for the window axes in the
    first Reshape's output as the first run that starts with the block's leading extent: a Transpose that
    also moves other axes, or a batch or channel extent equal to that extent, gives exWindow other data."""
    reshape_1, tp = chain[0], chain[1]
    view, out, perm = ir.get_shape(reshape_1.output[0]), ir.get_shape(tp.output[0]), ir.get_attr(tp, "perm")
    if not view or not out or not perm or len(view) != len(perm) or len(out) < 5 or min(view) < 1:
        return None
    pos = _window_position(out, perm)
    if pos is None:
        return None
    block = view[pos:pos + 4]
    run = _first_run(view, block)
    if run is None or run[1] >= len(view):
        return None
    first, last = run  # last is first - 1 for an empty run (a window of unit extents)
    if last == len(view) - 1:
        outer, inner = _prod(view[:first]), 1
    else:
        outer = _prod(view[:first]) * (view[first] // block[0])
        inner = _prod(view[last + 1:]) * (view[last] // block[3])
    if outer * _prod(block) * inner != _prod(view):
        return None  # the fusion declines on its own
    outside = [p for k, p in enumerate(perm) if not pos <= k < pos + 4 and view[p] != 1]
    if outside != sorted(outside):
        return "perm %s also moves axes outside the window axes %d to %d" % (perm, pos, pos + 3)
    if outer != _prod(view[:pos]):
        return "the window axes %s of %s are looked for at axis %d instead of %d" % (block, view, first, pos)
    return None
