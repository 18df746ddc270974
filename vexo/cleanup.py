"""Graph clean-up around the rule tables.

Rules wrap operators in Reshapes and Transposes and leave facing pairs behind
for the engine to remove. Between tables and at the end the converter
* joins a Reshape of a Reshape into one Reshape;
* drops a Reshape to the shape its input already has;
* drops a Transpose followed by its inverse;
* drops nodes whose results nobody reads, and constants nobody reads.
Before the rules run, every constant read more than once (by several nodes,
or at several inputs of one node) is given one copy per read, so that a rule
that rewrites a constant in place changes only what that input sees; identical
constants are merged again at the end.
"""
import collections
import hashlib

import numpy as np

from vexo.api.ir_graph import IrGraph


def redirect(ir: IrGraph, old, new):
    """Every reader of tensor `old` reads `new` instead."""
    for consumer in ir.consumers(old):
        for k, t in enumerate(consumer.input):
            if t == old:
                consumer.input[k] = new


def bypass(ir, node, source):
    """Removes `node`, whose single output equals tensor `source`; True when done.

    Readers of the output read `source`. When the output is a graph output, the
    producer of `source` writes the output name instead, provided `source` has
    no other use.
    """
    out = node.output[0]
    if out not in ir.outputs:
        redirect(ir, out, source)
        ir.remove_node(node)
        return True
    producer = ir.producer(source)
    if producer is None or source in ir.outputs or len(ir.consumers(source)) != 1 or ir.consumers(out):
        return False
    ir.remove_node(node)
    k = list(producer.output).index(source)
    producer.output[k] = out
    redirect(ir, source, out)  # a reader of `source` other than `node` (the inner Transpose of a pair)
    return True


def _shape_operand(ir, node):
    const = ir.get_const(node.input[1]) if len(node.input) > 1 else None
    return None if const is None else [int(v) for v in np.asarray(const).reshape(-1)]


def join_reshape_chain(ir, node):
    """Reshape(Reshape(x)) reads x directly; the shape operand is made explicit first."""
    inner = ir.producer(node.input[0])
    if inner is None or inner.op_type != "Reshape" or inner is node:
        return False
    target = ir.get_shape(node.output[0])
    operand = _shape_operand(ir, node)
    if target is None or operand is None:
        return False
    if 0 in target:  # an empty result: its target is written literally, which needs allowzero (opset 14)
        if ir.opset_version() < 14:
            return False
        ir.set_attr(node, "allowzero", 1)
    if operand != target:
        name = ir.unique_name(node.input[1] + "_explicit")
        ir.set_const(name, np.array(target, dtype=np.int64))
        node.input[1] = name
    node.input[0] = inner.input[0]
    return True


def drop_identity_reshape(ir, node):
    """A Reshape to the shape its input already has disappears."""
    src, out = ir.get_shape(node.input[0]), ir.get_shape(node.output[0])
    return src is not None and src == out and bypass(ir, node, node.input[0])


def _perm(ir, node):
    perm = ir.get_attr(node, "perm")
    if perm is None:
        shape = ir.get_shape(node.input[0])
        perm = None if shape is None else list(reversed(range(len(shape))))
    return perm


def cancel_transpose_pair(ir, node):
    """A Transpose whose input is a Transpose and whose composition is the identity disappears."""
    inner = ir.producer(node.input[0])
    if inner is None or inner.op_type != "Transpose" or inner is node:
        return False
    p1, p2 = _perm(ir, inner), _perm(ir, node)
    if p1 is None or p2 is None or len(p1) != len(p2):
        return False
    return [p1[p] for p in p2] == list(range(len(p1))) and bypass(ir, node, inner.input[0])


def drop_dead(ir):
    """Removes the nodes no graph output depends on, and the constants no node reads."""
    live, stack = set(), [ir.producer(t) for t in ir.outputs]
    while stack:
        node = stack.pop()
        if node is None or node in live:
            continue
        live.add(node)
        stack.extend(ir.producer(t) for t in node.input if t)
    dead = [n for n in ir.unordered_nodes() if n not in live]
    for node in dead:
        ir.remove_node(node)
    used = set(ir.outputs)
    for node in live:
        used.update(node.input)
    for name in [c for c in ir.consts if c not in used]:
        ir.drop_const(name)
    return len(dead)


STEPS = {"Reshape": [("reshape chains joined", join_reshape_chain),
                     ("identity reshapes dropped", drop_identity_reshape)],
         "Transpose": [("transpose pairs cancelled", cancel_transpose_pair)]}


def cleanup(ir):
    """Runs the clean-ups to a fixed point; returns how often each applied.

    One worklist over the Reshapes and Transposes: a node that changes or
    disappears puts its readers back on the list, since they may now face a
    Reshape or Transpose of their own. Shapes do not change (every step keeps
    each remaining tensor's value), so nothing is re-inferred.
    """
    counts = collections.Counter()
    queue = collections.deque(n for n in ir.unordered_nodes() if n.op_type in STEPS)
    queued = set(queue)
    while queue:
        node = queue.popleft()
        queued.discard(node)
        if node not in ir:
            continue
        for label, step in STEPS[node.op_type]:
            tensors = list(node.output) + list(node.input[:1])
            if not step(ir, node):
                continue
            counts[label] += 1
            readers = [c for t in tensors for c in ir.consumers(t)]
            for n in readers + ([node] if node in ir else []):
                if n.op_type in STEPS and n not in queued:
                    queue.append(n)
                    queued.add(n)
            break
    counts["dead nodes dropped"] += drop_dead(ir)
    ir.forget_written()
    return counts


def unshare_constants(ir):
    """Gives every constant read more than once, by several nodes or at several inputs of one node, its
    own copy per further read."""
    copies = 0
    for name in list(ir.consts):
        reads = [(node, k) for node in ir.consumers(name) for k, t in enumerate(node.input) if t == name]
        for node, k in reads[1:]:
            fresh = ir.unique_name("%s_%s" % (name, node.name))
            ir.set_const(fresh, ir.get_const(name).copy())
            node.input[k] = fresh
            copies += 1
    return copies


def merge_constants(ir):
    """Readers of equal constants (same type, shape and values) share one of them."""
    merged = 0
    seen = {}
    for name in list(ir.consts):
        if name in ir.outputs:
            continue
        value = ir.get_const(name)
        data = np.ascontiguousarray(value).reshape(-1).view(np.uint8)
        key = (value.dtype.str, value.shape, hashlib.blake2b(data, digest_size=16).digest())
        keep = seen.setdefault(key, name)
        if keep != name:
            redirect(ir, name, keep)
            ir.drop_const(name)
            merged += 1
    return merged
