"""The converter's IR graph over an ONNX model.

`IrGraph` holds the operators (`IrNode`) and every tensor's shape, element
type and, for constants, value. Rules read and change it through the
operations below; the engine applies their results with `apply` and writes the
graph back with `to_model`.

Bookkeeping kept exact at every step:
* producer and consumer indexes, updated when a node's `input` or `output`
  entries are assigned (they are lists that report writes to their graph);
* a mutation counter `changes`, bumped by every effective write;
* an undo journal while a transaction is open (`begin`, `rollback`,
  `commit`), so that a failed rule leaves the graph exactly as it was.

Loading makes Constant nodes and initializers constants, gives every node a
unique name, and records shapes from ONNX shape inference completed by the
per-node inference of `shape_infer` (custom `ex*` operators included).
"""
import copy
import heapq
import itertools
import operator

import numpy as np
import onnx
from onnx import helper, numpy_helper

from vexo.api import shape_infer
from vexo.api.model_checks import declared_conflict, describe, without_weights

REDUCE_OPS = ["ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum", "ReduceL2", "ReduceL1", "ReduceProd",
              "ReduceLogSum", "ReduceLogSumExp", "ReduceSumSquare"]

CUSTOM_DOMAIN = "vexo.ex"
_AT = onnx.AttributeProto


class ModelError(ValueError):
    """The model cannot be loaded or written: names the file, node or tensor at fault."""


def is_custom_op(op_type):
    return op_type.startswith("ex")


# ---------------------------------------------------------------- nodes

class PortList(list):
    """A node's `input` or `output` list; writes are reported to the node's graph."""

    __slots__ = ("_node", "_kind")

    def __init__(self, values, node, kind):
        super().__init__(values)
        self._node = node
        self._kind = kind

    def __setitem__(self, index, value):
        old = list(self)
        super().__setitem__(index, value)
        self._changed(old)

    def __delitem__(self, index):
        old = list(self)
        super().__delitem__(index)
        self._changed(old)

    def __iadd__(self, values):
        old = list(self)
        super().extend(values)
        self._changed(old)
        return self

    def _changed(self, old):
        if old == list(self):
            return
        self._node._proto = None
        graph = self._node._graph
        if graph is not None:
            graph._ports_changed(self._node, self._kind, old)

    def _wrap(name):
        def method(self, *args, **kwargs):
            old = list(self)
            result = getattr(list, name)(self, *args, **kwargs)
            self._changed(old)
            return result
        method.__name__ = name
        return method

    append = _wrap("append")
    extend = _wrap("extend")
    insert = _wrap("insert")
    pop = _wrap("pop")
    remove = _wrap("remove")
    clear = _wrap("clear")
    del _wrap

    def __deepcopy__(self, memo):
        return list(self)

    def __reduce__(self):
        return (list, (list(self),))


class IrNode:
    """One operator: `op_type`, `name`, `input` and `output` tensor names, attributes."""

    _seq_counter = itertools.count()

    def __init__(self, op_type, inputs, outputs, name="", attrs=None, domain=""):
        self.op_type = op_type
        self.name = name
        self.domain = domain
        self.attrs = dict(attrs or {})
        self._graph = None
        self._proto = None  # the NodeProto it was read from, while nothing of it has changed
        self._uid = next(IrNode._seq_counter)  # creation order: breaks ties of `_seq`
        self._seq = float(self._uid)
        self._input = PortList(inputs, self, "input")
        self._output = PortList(outputs, self, "output")

    @property
    def input(self):
        return self._input

    @input.setter
    def input(self, values):
        old = list(self._input)
        list.__init__(self._input, values)
        self._input._changed(old)

    @property
    def output(self):
        return self._output

    @output.setter
    def output(self, values):
        old = list(self._output)
        list.__init__(self._output, values)
        self._output._changed(old)

    def __deepcopy__(self, memo):
        return IrNode(self.op_type, list(self._input), list(self._output), self.name,
                      copy.deepcopy(self.attrs, memo), self.domain)

    def __repr__(self):
        return "IrNode(%s %r: %s -> %s)" % (self.op_type, self.name, list(self._input), list(self._output))


# ---------------------------------------------------------------- attribute values

def _attr_value(a):
    if a.type == _AT.INT:
        return int(a.i)
    if a.type == _AT.FLOAT:
        return float(a.f)
    if a.type == _AT.STRING:
        return a.s.decode("utf-8", "replace")
    if a.type == _AT.INTS:
        return [int(v) for v in a.ints]
    if a.type == _AT.FLOATS:
        return [float(v) for v in a.floats]
    if a.type == _AT.STRINGS:
        return [s.decode("utf-8", "replace") for s in a.strings]
    if a.type == _AT.TENSOR:
        return numpy_helper.to_array(a.t)
    return a  # graphs, sparse tensors, type protos: kept as they are


def make_attribute(name, value):
    if isinstance(value, _AT):
        return value
    if isinstance(value, np.ndarray):
        return helper.make_attribute(name, numpy_helper.from_array(value))
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, (list, tuple)):
        value = [v.item() if isinstance(v, np.generic) else v for v in value]
        if not value:
            return helper.make_attribute(name, [], attr_type=_AT.INTS)
        if all(isinstance(v, (int, bool)) for v in value):
            return helper.make_attribute(name, [int(v) for v in value])
        if all(isinstance(v, (int, float)) for v in value):
            return helper.make_attribute(name, [float(v) for v in value])
    if isinstance(value, bool):
        value = int(value)
    return helper.make_attribute(name, value)


# ---------------------------------------------------------------- the graph

class _ModelInfo:
    """What the rules may read of the source model: `producer_name` and friends."""

    def __init__(self, model):
        self.producer_name = model.producer_name
        self.producer_version = model.producer_version
        self.domain = model.domain
        self.model_version = model.model_version
        self.doc_string = model.doc_string
        self.ir_version = model.ir_version
        self.opset_import = list(model.opset_import)
        self.metadata_props = list(model.metadata_props)
        self.graph_name = model.graph.name


class JournaledList(list):
    """A list attribute of the graph (weights_for_align) whose appends can be undone."""

    def __init__(self, graph, values=()):
        super().__init__(values)
        self._graph = graph

    def append(self, value):
        super().append(value)
        self._graph._record(lambda: list.pop(self))


class IrGraph:
    def __init__(self, model, *, unsqueeze_2d_mode="AB11", dynamic_shapes=False, npu_target="",
                 channel_align=None, infer=True, source="<model>", check_declared=False):
        if not isinstance(model, onnx.ModelProto):
            raise ModelError("%s: expected an onnx.ModelProto, got %s" % (source, type(model).__name__))
        self.source = source
        self.model = _ModelInfo(model)
        self.unsqueeze_2d_mode = unsqueeze_2d_mode
        self.dynamic_shapes = dynamic_shapes
        self.npu_target = npu_target
        self.channel_align = channel_align
        self.weights_for_align = JournaledList(self)
        self.changes = 0
        self._undo = None
        self._touched = {}
        self._order_dirty = False
        self.written = []
        self.shape_conflicts = []
        self._nodes = {}
        self._producer = {}
        self._consumers = {}
        self._shapes = {}
        self._dtypes = {}
        self._consts = {}
        self._names = set()
        self._name_counters = {}
        self.inputs = []
        self.outputs = []
        self._check_declared = check_declared  # a declared shape or type its node does not compute is an error
        self._declared = {}
        self._load(model, infer)

    @classmethod
    def load(cls, path, **config):
        try:
            model = onnx.load(str(path))
        except FileNotFoundError:
            raise ModelError("%s: no such file" % path) from None
        except Exception as exc:
            raise ModelError("%s: not a readable ONNX model (%s)" % (path, exc)) from None
        return cls(model, source=str(path), **config)

    # ------------------------------------------------------------ loading

    def _load(self, model, infer):
        graph = model.graph
        for init in graph.initializer:
            self._add_const(init.name, numpy_helper.to_array(init))
        init_names = set(self._consts)
        self.inputs = [vi.name for vi in graph.input if vi.name not in init_names]
        self.outputs = [vi.name for vi in graph.output]
        self._declared = {vi.name: vi.type for vi in itertools.chain(graph.input, graph.output)
                          if vi.type.tensor_type.HasField("shape")}
        for vi in itertools.chain(graph.input, graph.output, graph.value_info):
            self._record_value_info(vi)
        if infer:
            self._record_inferred(model)
        for proto in graph.node:
            if proto.op_type == "Constant" and proto.domain in ("", "ai.onnx"):
                self._add_const(proto.output[0], _constant_value(proto, self.source))
                continue
            self._insert(self._node_from_proto(proto))
        for name in itertools.chain(self._consts, self._shapes):
            self._names.add(name)
        self._check_edges(model)
        self._infer_missing(self.nodes)
        self.changes = 0

    def _record_value_info(self, vi):
        shape, dtype = shape_infer.value_info_shape(vi)
        if vi.name in self._consts:
            return
        if shape is not None:
            self._shapes[vi.name] = shape
        if dtype is not None:
            self._dtypes[vi.name] = dtype

    def _record_inferred(self, model):
        """Records what ONNX shape inference finds. With `check_declared` it runs strict first: a declared
        shape or type that its node does not compute is an error, and a model that strict inference
        rejects for another reason is read as far as lenient inference gets. Inference reads the weights
        by type and shape only."""
        model = without_weights(model)
        inferred = None
        if self._check_declared:
            try:
                inferred = onnx.shape_inference.infer_shapes(model, strict_mode=True, data_prop=True)
            except Exception as error:
                conflict = declared_conflict(model, error)
                if conflict:
                    raise ModelError("%s: %s" % (self.source, conflict)) from None
        if inferred is None:
            try:
                inferred = onnx.shape_inference.infer_shapes(model, strict_mode=False, data_prop=True)
            except Exception:
                return  # per-node inference fills what it can
        for vi in itertools.chain(inferred.graph.value_info, inferred.graph.output):
            if vi.name not in self._shapes or vi.name not in self._dtypes:
                self._record_value_info(vi)

    def _node_from_proto(self, proto):
        attrs = {a.name: _attr_value(a) for a in proto.attribute}
        domain = proto.domain
        if is_custom_op(proto.op_type) and domain in ("", "ai.onnx"):
            domain = CUSTOM_DOMAIN
        node = IrNode(proto.op_type, list(proto.input), list(proto.output), proto.name, attrs, domain)
        if domain == proto.domain:
            node._proto = proto
        return node

    def _check_edges(self, model):
        self._check_single_writers(model)
        known = set(self.inputs) | set(self._consts) | set(self._producer)
        for node in self._nodes.values():
            for t in node.input:
                if t and t not in known:
                    raise ModelError("%s: node '%s' (%s) reads tensor '%s', which no node, input or constant "
                                     "provides" % (self.source, node.name, node.op_type, t))
        for t in self.outputs:
            if t not in known:
                raise ModelError("%s: graph output '%s' is produced by nothing" % (self.source, t))
        self.renumber()  # raises on a cycle

    def _check_single_writers(self, model):
        """Every tensor has one source: a graph input, a constant or the one node that writes it."""
        inputs = set(self.inputs)
        initializers = {init.name for init in model.graph.initializer}
        writer = {}
        for proto in model.graph.node:
            for t in proto.output:
                if not t:
                    continue
                first = writer.get(t) or ("the graph input" if t in inputs else
                                          "an initializer" if t in initializers else None)
                if first:
                    raise ModelError("%s: tensor '%s' is written by %s and by %s"
                                     % (self.source, t, first, describe(proto)))
                writer[t] = describe(proto)

    def _infer_missing(self, nodes):
        for node in nodes:
            if any(o and (o not in self._shapes or o not in self._dtypes) for o in node.output):
                try:
                    inferred = shape_infer.infer(self, node)
                except shape_infer.ShapeError as exc:
                    raise ModelError("%s: %s" % (self.source, exc)) from None
                for o, (shape, dtype) in zip(node.output, inferred):
                    if not o:
                        continue
                    if shape is not None and o not in self._shapes:
                        self._shapes[o] = shape
                    if dtype is not None and o not in self._dtypes:
                        self._dtypes[o] = dtype

    def _add_const(self, name, value):
        self._consts[name] = value
        self._shapes[name] = list(value.shape)
        self._dtypes[name] = value.dtype
        self._names.add(name)

    # ------------------------------------------------------------ journal

    def _record(self, undo):
        self.changes += 1
        if self._undo is not None:
            self._undo.append(undo)

    def begin(self):
        """Opens a transaction: every write from here on can be undone by rollback()."""
        self._undo = []
        self._touched = {}

    def commit(self):
        self._undo = None

    def rollback(self):
        undo, self._undo = self._undo or [], None
        for fn in reversed(undo):
            fn()
        self._touched = {}

    def _touch(self, node):
        if node is not None:
            self._touched[node] = None

    # ------------------------------------------------------------ tensors

    def get_shape(self, name):
        shape = self._shapes.get(name)
        return None if shape is None else list(shape)

    def get_dtype(self, name):
        return self._dtypes.get(name)

    def set_shape(self, name, shape, dtype=None):
        if shape is not None:
            shape = [int(d) for d in shape]
        old_shape, old_dtype = self._shapes.get(name), self._dtypes.get(name)
        new_dtype = np.dtype(dtype) if dtype is not None else old_dtype
        if name in self._consts and shape is not None:
            value = self._consts[name]
            if list(value.shape) != shape:
                self._set_const_value(name, value.reshape(shape))
            return
        if old_shape == shape and old_dtype == new_dtype:
            return
        self._names.add(name)
        self._set_entry(self._shapes, name, shape)
        self._set_entry(self._dtypes, name, new_dtype)
        self._record(lambda: (self._set_entry(self._shapes, name, old_shape),
                              self._set_entry(self._dtypes, name, old_dtype)))

    @staticmethod
    def _set_entry(table, key, value):
        if value is None:
            table.pop(key, None)
        else:
            table[key] = value

    @property
    def consts(self):
        return self._consts

    def get_const(self, name):
        return self._consts.get(name)

    def set_const(self, name, value):
        value = np.asarray(value)
        old = self._consts.get(name)
        if old is not None and old.dtype == value.dtype and old.shape == value.shape and np.array_equal(old, value):
            return
        self._set_const_value(name, value)

    def _set_const_value(self, name, value):
        old = self._consts.get(name)
        old_shape, old_dtype = self._shapes.get(name), self._dtypes.get(name)
        self._consts[name] = value
        self._shapes[name] = list(value.shape)
        self._dtypes[name] = value.dtype
        self._names.add(name)
        for node in self._consumers.get(name, ()):
            self._touch(node)

        def undo():
            self._set_entry(self._consts, name, old)
            self._set_entry(self._shapes, name, old_shape)
            self._set_entry(self._dtypes, name, old_dtype)
        self._record(undo)

    def drop_const(self, name):
        """Forgets constant `name` (its value, shape and type)."""
        if name not in self._consts:
            return
        old = (self._consts.pop(name), self._shapes.pop(name, None), self._dtypes.pop(name, None))

        def undo():
            self._consts[name] = old[0]
            self._set_entry(self._shapes, name, old[1])
            self._set_entry(self._dtypes, name, old[2])
        self._record(undo)

    def is_invalid(self, name):
        return name == ""

    # ------------------------------------------------------------ attributes

    def get_attr(self, node, name, default=None):
        value = node.attrs.get(name, default) if isinstance(node, IrNode) else _proto_attr(node, name, default)
        return copy.copy(value) if isinstance(value, list) else value

    def set_attr(self, node, name, value):
        if isinstance(value, tuple):
            value = list(value)
        missing = object()
        old = node.attrs.get(name, missing)
        if old is not missing and _same_value(old, value):
            return
        node.attrs[name] = value
        node._proto = None
        self._touch(node)

        def undo():
            if old is missing:
                node.attrs.pop(name, None)
            else:
                node.attrs[name] = old
        self._record(undo)

    # ------------------------------------------------------------ structure

    @property
    def nodes(self):
        """All nodes in topological order."""
        return self.topological_order()

    def node(self, name):
        try:
            return self._nodes[name]
        except KeyError:
            raise KeyError("no node named '%s'" % name) from None

    def unordered_nodes(self):
        """All nodes, in no particular order (cheaper than `nodes`)."""
        return list(self._nodes.values())

    def forget_written(self):
        """Drops the record of written nodes without re-inferring them (for rewrites that keep every shape)."""
        self.ensure_order(list(self._touched))
        self._touched = {}

    def find(self, op_type):
        """The nodes of one op type, in topological order."""
        if self._order_dirty:
            self.renumber()
        return sorted((n for n in self._nodes.values() if n.op_type == op_type), key=_ORDER_KEY)

    def __contains__(self, node):
        return isinstance(node, IrNode) and self._nodes.get(node.name) is node

    def producer(self, tensor):
        return self._producer.get(tensor)

    def consumers(self, tensor):
        return list(self._consumers.get(tensor, ()))

    def next_nodes(self, node):
        seen = {}
        for o in node.output:
            for c in self._consumers.get(o, ()):
                seen[c] = None
        return list(seen)

    def pre_nodes(self, node):
        seen = {}
        for t in node.input:
            p = self._producer.get(t)
            if p is not None:
                seen[p] = None
        return list(seen)

    def tensor_names(self):
        return set(self._shapes) | set(self._producer) | set(self._consumers) | set(self.inputs)

    def unique_name(self, base):
        """A node or tensor name derived from `base` that is used nowhere in the graph."""
        if base not in self._names and base not in self._nodes:
            self._names.add(base)
            self._journal_name(base)
            return base
        start = k = self._name_counters.get(base, 0)
        while True:
            k += 1
            name = "%s_%d" % (base, k)
            if name not in self._names and name not in self._nodes:
                self._name_counters[base] = k
                self._names.add(name)
                self._journal_name(name, base, start)
                return name

    def _journal_name(self, name, base=None, counter=0):
        """A name taken inside a transaction is free again after rollback(), so that a failed rule
        call does not change the names of what comes after it."""
        if self._undo is None:
            return

        def undo():
            self._names.discard(name)
            if base is not None:
                if counter:
                    self._name_counters[base] = counter
                else:
                    self._name_counters.pop(base, None)
        self._undo.append(undo)

    def _index(self, node, kind, names, add):
        if kind == "input":
            for t in names:
                if not t:
                    continue
                users = self._consumers.setdefault(t, {})
                if add:
                    users[node] = users.get(node, 0) + 1
                else:
                    left = users.get(node, 0) - 1
                    if left > 0:
                        users[node] = left
                    else:
                        users.pop(node, None)
                    if not users:
                        del self._consumers[t]
        else:
            for t in names:
                if not t:
                    continue
                if add:
                    self._producer[t] = node
                    self._names.add(t)
                elif self._producer.get(t) is node:
                    del self._producer[t]

    def _ports_changed(self, node, kind, old):
        new = list(getattr(node, "_" + kind))
        self._index(node, kind, old, add=False)
        self._index(node, kind, new, add=True)
        self._touch(node)
        port = getattr(node, "_" + kind)

        def undo():
            self._index(node, kind, list(port), add=False)
            list.__init__(port, old)
            self._index(node, kind, old, add=True)
        self._record(undo)

    def _insert(self, node):
        if not node.name or node.name in self._nodes:
            node.name = self.unique_name(node.name or ("%s_node" % node.op_type))
        else:
            self._names.add(node.name)
        node._graph = self
        self._nodes[node.name] = node
        self._index(node, "input", node.input, add=True)
        self._index(node, "output", node.output, add=True)

    def add_node(self, node):
        if isinstance(node, onnx.NodeProto):
            node = self._node_from_proto(node)
        if not isinstance(node, IrNode):
            raise TypeError("cannot add %r to the graph: not a node" % (node,))
        if node._graph is self and self._nodes.get(node.name) is node:
            return node
        self._insert(node)
        self._touch(node)

        def undo():
            self._unlink(node)
        self._record(undo)
        return node

    def remove_node(self, node):
        if isinstance(node, onnx.NodeProto):
            node = self._nodes.get(node.name)
        if not isinstance(node, IrNode) or self._nodes.get(node.name) is not node:
            return
        self._unlink(node)

        def undo():
            node._graph = self
            self._nodes[node.name] = node
            self._index(node, "input", node.input, add=True)
            self._index(node, "output", node.output, add=True)
        self._record(undo)

    def _unlink(self, node):
        self._index(node, "input", node.input, add=False)
        self._index(node, "output", node.output, add=False)
        del self._nodes[node.name]
        node._graph = None
        self._touched.pop(node, None)

    def apply(self, result):
        """Applies a rule result (nodes to remove, nodes to add): removes, then adds.

        Added nodes are placed between their producers and their consumers, and
        the shapes of tensors the rule left unknown are inferred. Raises
        ModelError when the result leaves a cycle. Returns the added nodes as
        IrNodes.
        """
        remove, add = _result_lists(result)
        for node in remove:
            self.remove_node(node)
        added = [self.add_node(node) for node in add]
        self._place(added)
        self.written = [n for n in self._touched if n._graph is self]
        self.ensure_order(self.written)
        self.refresh_shapes()
        return added

    # Every edge runs from a lower `_seq` to a higher one, so sorting by `_seq`
    # is a topological order. New nodes take a value between their producers
    # and consumers; when that is impossible the whole graph is renumbered.
    # Equal values are ordered by creation (`_uid`), never by the position in
    # `_nodes`, which a rolled-back removal changes.

    def _place(self, added):
        members = set(added)
        order = self._local_order(added)
        bound = {}  # the lowest `_seq` of anything downstream of an added node outside the added set
        for node in reversed(order):
            limits = [c._seq for c in self.next_nodes(node) if c not in members and c is not node]
            limits += [bound[c] for c in self.next_nodes(node) if c in members and bound.get(c) is not None]
            bound[node] = min(limits, default=None)
        for node in order:
            lo = max((p._seq for p in self.pre_nodes(node) if p is not node), default=None)
            hi = bound[node]
            if lo is None and hi is None:
                node._seq = float(next(IrNode._seq_counter))
            elif lo is None:
                node._seq = hi - 1.0
            elif hi is None:
                node._seq = lo + 1.0
            elif lo < (lo + hi) / 2 < hi:
                node._seq = (lo + hi) / 2
            else:
                self._order_dirty = True
                node._seq = lo

    def _edges_in_order(self, node):
        return (all(p._seq < node._seq for p in self.pre_nodes(node) if p is not node) and
                all(node._seq < c._seq for c in self.next_nodes(node) if c is not node))

    def ensure_order(self, nodes=None):
        """Renumbers the graph when an edge of `nodes` (default: all written since the last call) runs
        backwards; raises ModelError on a cycle."""
        nodes = self._nodes.values() if nodes is None else nodes
        if self._order_dirty or not all(self._edges_in_order(n) for n in nodes if n._graph is self):
            self.renumber()

    def renumber(self):
        """Gives every node its position in a fresh topological order (raises ModelError on a cycle)."""
        order = self._kahn()
        old = {n: n._seq for n in order}
        for k, node in enumerate(order):
            node._seq = float(k)
        self._order_dirty = False
        if self._undo is not None:
            def undo():
                for n, seq in old.items():
                    n._seq = seq
            self._undo.append(undo)

    def refresh_shapes(self):
        """Infers the output shapes of the nodes written since the last call.

        Unknown shapes are recorded. A recorded shape that differs from what its
        node computes is listed in `shape_conflicts` as (tensor, recorded,
        computed, node).
        """
        touched = [n for n in self._touched if self._nodes.get(n.name) is n]
        self._touched = {}
        self.shape_conflicts = []
        if not touched:
            return
        for node in self._local_order(touched):
            if node.op_type == "Split":
                self._split_follows_outputs(node)
            try:
                inferred = shape_infer.infer(self, node)
            except shape_infer.ShapeError as exc:
                self.shape_conflicts.append((node.output[0] if node.output else "", None, str(exc), node))
                continue
            for o, (shape, dtype) in zip(node.output, inferred):
                if not o:
                    continue
                recorded = self._shapes.get(o)
                if recorded is None and shape is not None:
                    self.set_shape(o, shape, dtype=dtype if self._dtypes.get(o) is None else None)
                elif shape is not None and recorded != shape:
                    self.shape_conflicts.append((o, list(recorded), shape, node))
                elif self._dtypes.get(o) is None and dtype is not None:
                    self.set_shape(o, recorded, dtype=dtype)

    def _split_follows_outputs(self, node):
        """Makes a Split's sizes agree with the recorded shapes of all its outputs.

        Rules that change the layout a Split writes (channel alignment) record
        the shapes of its new outputs and leave the sizes to the graph.
        """
        from vexo.api.ir_utils import set_split_split
        src = self._shapes.get(node.input[0]) if node.input else None
        outs = [self._shapes.get(o) for o in node.output]
        if src is None or not node.output or any(o is None or len(o) != len(src) for o in outs):
            return
        axis = node.attrs.get("axis", 0)
        axis = axis + len(src) if axis < 0 else axis
        if not 0 <= axis < len(src):
            return
        wanted = [o[axis] for o in outs]
        if sum(wanted) != src[axis]:
            return
        try:
            computed = shape_infer.infer(self, node)
        except shape_infer.ShapeError:
            return
        if all(c is not None and c[axis] == w for (c, _), w in zip(computed, wanted)):
            return
        set_split_split(self, node, wanted)

    def _local_order(self, nodes):
        """`nodes` ordered so that producers come before their consumers."""
        members = {n: None for n in nodes}
        order, state = [], {}

        def visit(n):
            stack = [(n, iter(self.pre_nodes(n)))]
            state[n] = 1
            while stack:
                cur, it = stack[-1]
                for p in it:
                    if p in members and p not in state:
                        state[p] = 1
                        stack.append((p, iter(self.pre_nodes(p))))
                        break
                else:
                    stack.pop()
                    order.append(cur)
        for n in members:
            if n not in state:
                visit(n)
        return order

    def topological_order(self):
        """Nodes sorted so that every tensor is written before it is read."""
        if self._order_dirty:
            self.renumber()
        return sorted(self._nodes.values(), key=_ORDER_KEY)

    def _kahn(self):
        """A topological order by Kahn's algorithm, ties broken by `_seq`; raises ModelError on a cycle."""
        indegree = {}
        for node in self._nodes.values():
            indegree[node] = sum(1 for p in self.pre_nodes(node) if p is not node)
        heap = [(n._seq, n._uid, n) for n in self._nodes.values() if indegree[n] == 0]
        heapq.heapify(heap)
        order = []
        while heap:
            _, _, node = heapq.heappop(heap)
            order.append(node)
            for c in self.next_nodes(node):
                if c is node:
                    continue
                indegree[c] -= 1
                if indegree[c] == 0:
                    heapq.heappush(heap, (c._seq, c._uid, c))
        if len(order) != len(self._nodes):
            stuck = [n.name for n in self._nodes.values() if indegree[n] > 0][:5]
            raise ModelError("%s: the graph has a cycle through node(s) %s" % (self.source, ", ".join(stuck)))
        return order

    # ------------------------------------------------------------ writing back

    def opset_version(self, domain=""):
        """The model's opset version of `domain` (the standard one by default)."""
        for op in self.model.opset_import:
            if op.domain == domain or (domain == "" and op.domain == "ai.onnx"):
                return op.version
        return 17 if domain == "" else 0

    def opset_imports(self):
        imports = [op for op in self.model.opset_import if op.domain not in (CUSTOM_DOMAIN,)]
        if not any(op.domain in ("", "ai.onnx") for op in imports):
            imports.append(helper.make_opsetid("", 17))
        if any(n.domain == CUSTOM_DOMAIN for n in self._nodes.values()):
            imports.append(helper.make_opsetid(CUSTOM_DOMAIN, 1))
        return imports

    def node_proto(self, node):
        if node._proto is not None and node._proto.name == node.name:
            return node._proto
        proto = helper.make_node(node.op_type, list(node.input), list(node.output), name=node.name,
                                 domain=node.domain or None)
        for key in sorted(node.attrs):
            value = node.attrs[key]
            if value is None:
                continue
            try:
                proto.attribute.append(make_attribute(key, value))
            except Exception as exc:
                raise ModelError("node '%s' (%s): attribute '%s' = %r cannot be written (%s)"
                                 % (node.name, node.op_type, key, value, exc)) from None
        return proto

    def _value_info(self, name):
        if name not in self._shapes and name in self._declared:
            return helper.make_value_info(name, self._declared[name])  # as declared: symbolic dimensions
        dtype = self._dtypes.get(name)
        elem = helper.np_dtype_to_tensor_dtype(dtype) if dtype is not None else onnx.TensorProto.UNDEFINED
        return helper.make_tensor_value_info(name, elem, self._shapes.get(name))

    def to_model(self):
        """The current graph as a new, checker-valid onnx.ModelProto.

        Parts are appended to the graph one at a time, so that no second copy
        of the whole graph exists while it is written.
        """
        order = self.topological_order()
        model = helper.make_model(helper.make_graph([], self.model.graph_name or "vexo", [], []),
                                  opset_imports=self.opset_imports(), producer_name=self.model.producer_name,
                                  producer_version=self.model.producer_version)
        graph = model.graph
        used = set(self.outputs)
        for node in order:
            graph.node.append(self.node_proto(node))
            used.update(t for t in node.input if t)
        for name, value in self._consts.items():
            if name in used:
                graph.initializer.append(numpy_helper.from_array(np.asarray(value, order="C"), name))
        graph.input.extend(self._value_info(i) for i in self.inputs)
        graph.output.extend(self._value_info(o) for o in self.outputs)
        graph_io = set(self.inputs) | set(self.outputs)
        for node in order:
            for o in node.output:
                if o and o not in graph_io and o in self._shapes and o in self._dtypes:
                    graph.value_info.append(self._value_info(o))
        model.ir_version = max(8, min(self.model.ir_version or 8, onnx.IR_VERSION))
        model.domain = self.model.domain
        model.model_version = self.model.model_version
        model.doc_string = self.model.doc_string
        model.metadata_props.extend(self.model.metadata_props)
        return model

    def save(self, path):
        onnx.save(self.to_model(), str(path))


_ORDER_KEY = operator.attrgetter("_seq", "_uid")


def _constant_value(proto, source):
    for a in proto.attribute:
        if a.name == "value":
            return numpy_helper.to_array(a.t)
        if a.name == "value_float":
            return np.array(a.f, dtype=np.float32)
        if a.name == "value_floats":
            return np.array(list(a.floats), dtype=np.float32)
        if a.name == "value_int":
            return np.array(a.i, dtype=np.int64)
        if a.name == "value_ints":
            return np.array(list(a.ints), dtype=np.int64)
    raise ModelError("%s: Constant node '%s' has no value this converter reads" % (source, proto.name))


def _proto_attr(proto, name, default):
    for a in getattr(proto, "attribute", ()):
        if a.name == name:
            return _attr_value(a)
    return default


def _same_value(a, b):
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and np.array_equal(a, b)
    try:
        return type(a) is type(b) and a == b
    except Exception:
        return False


def _result_lists(result):
    if not isinstance(result, (tuple, list)) or len(result) != 2:
        raise TypeError("a rule must return a pair (nodes to remove, nodes to add), got %r" % (result,))
    remove, add = result
    if not isinstance(remove, (list, tuple)) or not isinstance(add, (list, tuple)):
        raise TypeError("a rule result must hold two lists of nodes, got %s and %s"
                        % (type(remove).__name__, type(add).__name__))
    return list(remove), list(add)
