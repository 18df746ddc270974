"""Preparation of exporter graphs for the dimension rules.

Framework exporters leave Constant and Identity nodes, and whole subgraphs that
compute at run time shapes which are in fact static (Shape -> Gather ->
Unsqueeze -> Concat -> Reshape), index grids and attention masks. The rules
need constants and known shapes, so before they run `prepare`:

* gives every graph input a static shape (symbolic or unknown dimensions come
  from `input_shapes`, else `default_dim`);
* runs ONNX shape inference (with data propagation) over the whole model once;
* then walks the nodes in topological order. A node whose inputs are all
  constant and whose op type has an evaluator in `vexo.evaluators.EVALUATORS`
  is folded into a constant, as are Constant nodes and Shape and Size of
  tensors whose shape is known. A node that passes its input through
  unchanged at inference (Identity, Dropout, a Cast to the type it has, a Pad
  with zero pads, a Reshape, Expand, Slice or Transpose that changes nothing,
  a Concat of one input) is removed, its readers reading its input; one that
  writes a graph output hands the name to the producer of its input. Any
  other node is kept and gets its output shapes from the converter's own
  per-node inference (`vexo.api.shape_infer`) where ONNX left them unknown.
  So a folded shape feeds the Reshape it sizes, the Reshape's new static
  shape feeds the Shape after it, and that folds too, all in the same walk;
* runs ONNX shape inference again only when a walk changed the graph and left
  tensors of unknown shape (an op type the per-node inference does not know),
  then walks again; it stops when a walk changes nothing, nothing unknown is
  left, or the round of ONNX inference teaches nothing new;
* drops dead nodes and unused initializers, records a static shape for every
  tensor it can and reports the rest, grouped by the node where the shape was
  first lost.

Each walk is one pass over the node list and exporter graphs settle in one
round of ONNX shape inference and one or two walks, so the stage stays linear
in the size of the model. Each round after the first must give a tensor a
static shape it did not have, which bounds the rounds; `MAX_INFERENCE_ROUNDS`
is a further bound no real graph meets, reported when hit. Shape inference
sees constants of more than `INLINE_ELEMENTS` elements (weights) by type and
shape only, so a round does not copy the weights.

Choices a user may want to know about:

* `input_shapes` maps an input name to its full shape, or a symbolic
  dimension name (such as "batch") to a value; a dimension the model fixes
  cannot be changed.
* Initializers that are also listed as graph inputs (old exporters list every
  weight that way) are read as constants and leave the input list.
* Custom ex* operators (domain "vexo.ex") and operators of other non-standard
  domains are never folded; shape inference sees the custom operators through
  their standard equivalents, so shapes flow through them.
* Operators with subgraphs (If, Loop, Scan) are kept as they are; their
  subgraphs are not folded, only rewired when a tensor they read is renamed.
* Quantize/Dequantize and random operators have no evaluator on purpose: their
  constant inputs stay as the model has them. A fold whose result would exceed
  `vexo.evaluators.MAX_FOLD_ELEMENTS` elements is skipped and reported with them.
* A graph output that folds to a constant is written by a Constant node.
"""
from collections import Counter
from dataclasses import dataclass, field

import numpy as np
import onnx
from onnx import helper, numpy_helper

from vexo.api import shape_infer
from vexo.api.ir_graph import CUSTOM_DOMAIN, ModelError
from vexo.api.model_checks import INLINE_ELEMENTS, contradiction, copy_field, describe
from vexo.custom_ops import lower_custom_ops
from vexo.evaluators import EVALUATORS, Call, CannotFold, constant_value, node_attrs

MAX_INFERENCE_ROUNDS = 50
SCREENFUL = 20                   # lines of tensors of unknown shape the terminal report shows at most
_STD_DOMAINS = ("", "ai.onnx")
_SHAPE_DOMAINS = _STD_DOMAINS + (CUSTOM_DOMAIN,)
_SUBGRAPH_TYPES = (onnx.AttributeProto.GRAPH, onnx.AttributeProto.GRAPHS)


@dataclass
class PrepareReport:
    """What `prepare` did to a model and what it could not do."""
    folded: Counter = field(default_factory=Counter)        # op type -> nodes folded into constants
    noops_removed: Counter = field(default_factory=Counter)  # op type -> nodes that passed their input through
    inputs_made_static: dict = field(default_factory=dict)   # input name -> the static shape chosen
    dynamic_tensors: list = field(default_factory=list)      # (tensor, node writing it) whose shape stays unknown
    shape_lost_at: dict = field(default_factory=dict)        # such a tensor -> the node where its shape was lost
    not_evaluable: Counter = field(default_factory=Counter)  # op type -> nodes with constant inputs left in place
    dead_nodes_removed: int = 0
    initializers_removed: int = 0
    rounds: int = 0                                          # rounds of ONNX shape inference
    walks: int = 0                                           # topological walks over the nodes
    limit_hit: str = ""

    @property
    def identities_removed(self):
        return self.noops_removed["Identity"]

    def lines(self, limit=SCREENFUL):
        """The report as lines for the terminal: at most `limit` lines name tensors of unknown shape."""
        out = ["prepare: %d round%s of ONNX shape inference, %d walk%s over the nodes" % (
            self.rounds, "" if self.rounds == 1 else "s", self.walks, "" if self.walks == 1 else "s")]
        for name, shape in self.inputs_made_static.items():
            out.append("  input '%s' made static: %s" % (name, list(shape)))
        if self.folded:
            out.append("  folded %d nodes into constants: %s" % (sum(self.folded.values()), _counts(self.folded)))
        if self.noops_removed:
            out.append("  removed %d nodes that pass their input through: %s"
                       % (sum(self.noops_removed.values()), _counts(self.noops_removed)))
        if self.dead_nodes_removed or self.initializers_removed:
            out.append("  dropped %d dead nodes and %d unused initializers"
                       % (self.dead_nodes_removed, self.initializers_removed))
        if self.not_evaluable:
            out.append("  left in place with constant inputs (no evaluator): %s" % _counts(self.not_evaluable))
        if self.limit_hit:
            out.append("  LIMIT: %s" % self.limit_hit)
        out.extend(self._unknown_shape_lines(limit))
        return out

    def _unknown_shape_lines(self, limit):
        if not self.dynamic_tensors:
            return ["  every tensor has a static shape"]
        groups = {}
        for tensor, _ in self.dynamic_tensors:
            groups.setdefault(self.shape_lost_at.get(tensor, "?"), []).append(tensor)
        out = ["  %d tensors keep an unknown or dynamic shape, lost at %d node%s:" % (
            len(self.dynamic_tensors), len(groups), "" if len(groups) == 1 else "s")]
        for origin, tensors in list(groups.items())[:limit]:
            after = " and %d tensor%s computed from it" % (len(tensors) - 1, "" if len(tensors) == 2 else "s")
            out.append("    %s: '%s'%s" % (origin, tensors[0], after if len(tensors) > 1 else ""))
        if len(groups) > limit:
            out.append("    ... %d more nodes; every tensor is listed in the JSON report" % (len(groups) - limit))
        return out

    def unknown_shapes(self):
        """Every tensor of unknown shape, for the JSON report."""
        return [{"tensor": t, "written_by": by, "lost_at": self.shape_lost_at.get(t, "?")}
                for t, by in self.dynamic_tensors]


def _counts(counter):
    return ", ".join("%s %d" % (op, n) for op, n in sorted(counter.items()))


# ---------------------------------------------------------------- graph walking

def _has_subgraph(node):
    return any(a.type in _SUBGRAPH_TYPES for a in node.attribute)


def _subgraphs(node):
    for a in node.attribute:
        if a.type == onnx.AttributeProto.GRAPH:
            yield a.g
        elif a.type == onnx.AttributeProto.GRAPHS:
            yield from a.graphs


def _outer_reads(graph):
    """Names a subgraph reads from the scopes around it."""
    local = {i.name for i in graph.input} | {t.name for t in graph.initializer}
    local |= {t.values.name for t in graph.sparse_initializer}
    reads = []
    for n in graph.node:
        inner = [r for g in _subgraphs(n) for r in _outer_reads(g)]
        reads.extend(t for t in list(n.input) + inner if t and t not in local)
        local.update(n.output)
    reads.extend(o.name for o in graph.output if o.name not in local)
    return reads


def _rename_outer(graph, resolve):
    """Points a subgraph's reads of outer tensors at their new names."""
    local = {i.name for i in graph.input} | {t.name for t in graph.initializer}
    for n in graph.node:
        for i, t in enumerate(n.input):
            if t and t not in local:
                n.input[i] = resolve(t)
        for g in _subgraphs(n):
            _rename_outer(g, resolve)
        local.update(n.output)
    for o in graph.output:
        if o.name not in local:
            o.name = resolve(o.name)


def _static_dims(vi):
    """Dimensions of a ValueInfoProto (None for an unknown one), or None when the rank is unknown."""
    if not vi.type.HasField("tensor_type") or not vi.type.tensor_type.HasField("shape"):
        return None
    return [d.dim_value if d.HasField("dim_value") else None for d in vi.type.tensor_type.shape.dim]


def _is_static(dims):
    return dims is not None and all(d is not None for d in dims)



# ---------------------------------------------------------------- the stage

class _Prep:
    def __init__(self, model, report):
        self.report = report
        self.model = _shell(model)
        g = model.graph
        self.nodes = [_copied(onnx.NodeProto, n) for n in g.node]
        self.tensors = {t.name: t for t in g.initializer}    # constants as TensorProto ...
        self.arrays = {}                                      # ... and as numpy, made on demand
        self.original_inits = set(self.tensors)
        self.inputs = [_copied(onnx.ValueInfoProto, vi) for vi in g.input if vi.name not in self.tensors]
        self.input_names = {vi.name for vi in self.inputs}
        self.output_names = [o.name for o in g.output]
        self.declared_outputs = {o.name: o for o in g.output}
        self.output_set = set(self.output_names)
        self.infos, self.shapes, self.elems = {}, {}, {}
        self.outer_cache = {}
        self.alias = {}          # a removed node's output -> the tensor its readers read instead
        self.producer = {}       # tensor -> the kept node writing it, within a walk
        self.read = None         # every tensor read, made when first asked for within a walk
        self.view = _ShapeView(self)
        self.with_subgraphs = {id(n) for n in self.nodes if _has_subgraph(n)}
        self._check_structure()
        custom_outputs = {o for n in self.nodes if n.domain not in _STD_DOMAINS for o in n.output}
        self.has_custom = bool(custom_outputs)
        # Shapes the model gives custom-op outputs stand in where inference cannot see through them.
        self.fallback_info = [vi for vi in g.value_info if vi.name in custom_outputs]
        # What the model declares of its tensors, checked against inference once.
        self.declared = {vi.name: vi for vi in list(g.value_info) + list(g.output)}

    # -- structure

    def _reads(self, node):
        reads = [t for t in node.input if t]
        if id(node) in self.with_subgraphs:
            if id(node) not in self.outer_cache:
                self.outer_cache[id(node)] = [r for sg in _subgraphs(node) for r in _outer_reads(sg)]
            reads += self.outer_cache[id(node)]
        return reads

    def _check_structure(self):
        """Names every tensor no one provides and every tensor written twice; sorts the nodes."""
        provided = self.input_names | set(self.tensors) | {""}
        provided |= {t.values.name for t in self.model.graph.sparse_initializer}
        producer = {}
        for node in self.nodes:
            for o in node.output:
                if not o:
                    continue
                if o in producer or o in provided:
                    other = describe(producer[o]) if o in producer else "the graph"
                    raise ModelError("tensor '%s' is written by %s and by %s" % (o, other, describe(node)))
                producer[o] = node
        for node in self.nodes:
            for t in self._reads(node):
                if t not in producer and t not in provided:
                    raise ModelError("%s reads tensor '%s', which no node, graph input or initializer provides"
                                     % (describe(node), t))
        for name in self.output_names:
            if name not in producer and name not in provided:
                raise ModelError("graph output '%s' is written by no node" % name)
        self.nodes = self._topological(producer)

    def _topological(self, producer):
        position = {id(n): i for i, n in enumerate(self.nodes)}
        if all(position[id(producer[t])] < position[id(n)] for n in self.nodes for t in self._reads(n)
               if t in producer):
            return self.nodes
        waiting = {id(n): len({id(producer[t]) for t in self._reads(n) if t in producer}) for n in self.nodes}
        users = {}
        for n in self.nodes:
            for p in {id(producer[t]): producer[t] for t in self._reads(n) if t in producer}:
                users.setdefault(p, []).append(n)
        ready = [n for n in self.nodes if waiting[id(n)] == 0]
        order = []
        while ready:
            n = ready.pop()
            order.append(n)
            for u in users.get(id(n), ()):
                waiting[id(u)] -= 1
                if waiting[id(u)] == 0:
                    ready.append(u)
        if len(order) != len(self.nodes):
            stuck = next(n for n in self.nodes if waiting[id(n)] > 0)
            raise ModelError("the graph has a cycle through %s" % describe(stuck))
        return order

    # -- inputs

    def make_inputs_static(self, input_shapes, default_dim):
        """Fixes every input dimension: full shapes from `input_shapes` first, then the symbolic
        dimensions they and `input_shapes` bind, then `default_dim`."""
        if not _is_dim(default_dim):
            raise ValueError("default_dim must be a positive integer, not %r" % (default_dim,))
        full, bound = self._read_input_shapes(dict(input_shapes or {}))
        for vi in self.inputs:
            dims = _static_dims(vi)
            if vi.name in full:
                shape = full[vi.name]
            elif dims is None:
                continue                          # rank unknown: reported with the dynamic tensors
            else:
                shape = [d.dim_value if d.HasField("dim_value") else bound.get(d.dim_param, int(default_dim))
                         for d in vi.type.tensor_type.shape.dim]
            if shape != dims:
                self.report.inputs_made_static[vi.name] = shape
            vi.type.CopyFrom(helper.make_tensor_type_proto(vi.type.tensor_type.elem_type, shape))

    def _read_input_shapes(self, given):
        """Checks `input_shapes`; returns (input name -> full shape, symbolic dimension -> value)."""
        dims_of = {vi.name: _static_dims(vi) for vi in self.inputs}
        params_of = {vi.name: [d.dim_param if d.HasField("dim_param") else "" for d in
                               vi.type.tensor_type.shape.dim] for vi in self.inputs if dims_of[vi.name] is not None}
        params = {p for ps in params_of.values() for p in ps if p}
        full, bound = {}, {}
        for key, value in given.items():
            if key in self.input_names and not isinstance(value, (int, np.integer, str)):
                full[key] = self._check_full_shape(key, list(value), dims_of[key])
            elif key in self.input_names and key not in params:
                raise ValueError("input '%s' needs a full shape, not the single value %r" % (key, value))
            elif key not in params:
                raise ValueError("'%s' is neither a graph input nor a symbolic dimension of one (inputs: %s; "
                                 "symbolic dimensions: %s)" % (key, _listing(self.input_names), _listing(sorted(params))))
            elif not _is_dim(value):
                raise ValueError("the symbolic dimension '%s' is given %r: it must be a positive integer"
                                 % (key, value))
            else:
                bound[key] = int(value)
        for name, shape in full.items():
            for param, value in zip(params_of.get(name, ()), shape):
                if param and bound.setdefault(param, value) != value:
                    raise ValueError("the symbolic dimension '%s' is given the values %d and %d"
                                     % (param, bound[param], value))
        return full, bound

    @staticmethod
    def _check_full_shape(name, shape, dims):
        if not all(_is_dim(d) for d in shape):
            raise ValueError("input '%s' is given the shape %s: dimensions must be positive integers"
                             % (name, shape))
        if dims is not None and len(dims) != len(shape):
            raise ValueError("input '%s' is given %d dimensions, the model gives it %d"
                             % (name, len(shape), len(dims)))
        for k, (old, new) in enumerate(zip(dims or [], shape)):
            if old is not None and old != new:
                raise ValueError("input '%s': dimension %d is %d in the model, %d given"
                                 % (name, k, old, new))
        return [int(d) for d in shape]

    # -- constants and shapes

    def is_const(self, name):
        return name in self.tensors or name in self.arrays

    def value(self, name):
        if name not in self.arrays:
            self.arrays[name] = numpy_helper.to_array(self.tensors[name])
        return self.arrays[name]

    def tensor(self, name):
        if name not in self.tensors:
            self.tensors[name] = numpy_helper.from_array(self.arrays[name], name)
        return self.tensors[name]

    def set_const(self, name, value):
        self.arrays[name] = value
        self.tensors.pop(name, None)

    def dims(self, name):
        if name in self.arrays:
            return list(self.arrays[name].shape)
        if name in self.tensors:
            return list(self.tensors[name].dims)
        return self.shapes.get(name)

    def elem(self, name):
        if name in self.tensors:
            return self.tensors[name].data_type
        if name in self.arrays:
            return _elem_of(self.arrays[name].dtype)
        return self.elems.get(name)

    def _const_as_input(self, name):
        """A weight as shape inference needs it: its type and shape, not its data."""
        return helper.make_tensor_value_info(name, self.elem(name), self.dims(name))

    def build(self, nodes, value_info=(), outputs=None, weights=True):
        """The model of `nodes`; without `weights`, constants of more than INLINE_ELEMENTS elements
        become graph inputs of their type and shape, which is all shape inference and the checker need."""
        model = onnx.ModelProto()
        model.CopyFrom(self.model)
        g = model.graph
        g.node.extend(nodes)
        g.input.extend(self.inputs)
        g.output.extend(outputs or [self.declared_outputs[o] for o in self.output_names])
        reads = dict.fromkeys([t for n in nodes for t in self._reads(n)] + self.output_names)
        for t in reads:
            if not self.is_const(t):
                continue
            if weights or int(np.prod(self.dims(t), dtype=np.int64)) <= INLINE_ELEMENTS:
                g.initializer.append(self.tensor(t))
            else:
                g.input.append(self._const_as_input(t))
        g.value_info.extend(value_info)
        return model

    def check(self, nodes, value_info=(), outputs=None, what="model"):
        try:
            onnx.checker.check_model(self.build(nodes, value_info, outputs, weights=False))
        except onnx.checker.ValidationError as err:
            raise ModelError("the %s does not pass the ONNX checker: %s" % (what, err)) from None

    def infer(self, first=False):
        """One round of ONNX shape inference over the whole model. Records the shapes and types it finds
        where they were unknown; returns how many tensors it gave a static shape they lacked."""
        # Declared output shapes may be symbolic: inference starts from the element types only, or, in the
        # first round, from nothing at all, so that the declared types can be checked against the nodes.
        outputs = [helper.make_tensor_value_info(
            o, onnx.TensorProto.UNDEFINED if first else self.declared_outputs[o].type.tensor_type.elem_type,
            None) for o in self.output_names]
        model = self.build(self.nodes, self.fallback_info, outputs, weights=False)
        if self.has_custom:
            model, _ = lower_custom_ops(model)
        try:
            inferred = onnx.shape_inference.infer_shapes(model, data_prop=True)
        except Exception as err:   # noqa: BLE001 - inference errors come in several types
            raise ModelError("shape inference fails on the model: %s" % err) from None
        self.report.rounds += 1
        learned = 0
        g = inferred.graph
        for vi in list(g.input) + list(g.value_info) + list(g.output):
            if self.is_const(vi.name):
                continue
            if first:
                self.infos[vi.name] = vi
            dims = _static_dims(vi)
            if dims is not None and (self.shapes.get(vi.name) is None or
                                     (_is_static(dims) and not _is_static(self.shapes[vi.name]))):
                learned += _is_static(dims)
                self.shapes[vi.name] = dims
            if vi.type.tensor_type.elem_type and not self.elems.get(vi.name):
                self.elems[vi.name] = vi.type.tensor_type.elem_type
        return learned

    def check_declared(self):
        """A static shape or an element type the model declares for a tensor must be what its node
        computes; a contradiction means a broken model, named by tensor and node."""
        producer = {o: n for n in self.nodes for o in n.output if o}
        for name, vi in self.declared.items():
            if name in producer and name in self.infos:
                message = contradiction(name, vi, self.infos[name], producer[name])
                if message:
                    raise ModelError(message)

    def unknown_shapes_left(self):
        return any(o and not _is_static(self.dims(o)) for n in self.nodes for o in n.output)

    # -- the walk

    def walk(self):
        """One pass in topological order: every node is folded, removed when it passes its input through,
        or kept with the shapes of its outputs inferred, so that its readers see all of that in the same
        pass. True when a node was folded or removed."""
        kept, changed = [], False
        self.producer = {}
        self.read = None
        for node in self.nodes:
            self._follow_aliases(node)
            values = self._fold(node)
            if values is not None:
                for name, value in values.items():
                    self._check_folded(node, name, value)
                    self.set_const(name, value)
                self.report.folded[node.op_type] += 1
                changed = True
                continue
            self._infer_node(node)
            source = _passed_through(self, node)
            if source is not None and self._bypass(node, source):
                self.report.noops_removed[node.op_type] += 1
                changed = True
                continue
            kept.append(node)
            self.producer.update((o, node) for o in node.output if o)
        self.nodes = kept
        self.report.walks += 1
        if self.alias:
            self._rename_readers()
        return self.drop_dead() or changed

    def _resolve(self, name):
        while name in self.alias:
            name = self.alias[name]
        return name

    def _follow_aliases(self, node):
        if self.alias:
            for i, t in enumerate(node.input):
                if t in self.alias:
                    node.input[i] = self._resolve(t)

    def _bypass(self, node, source):
        """Removes `node`, which passes tensor `source` through unchanged; False when it has to stay."""
        out = node.output[0]
        if out not in self.output_set:
            self.alias[out] = source
            return True
        if self.is_const(source):
            self.set_const(out, self.value(source))
            return True
        producer = self.producer.get(source)
        if producer is None or source in self.output_set:
            return False                         # a graph input or another output copied to this output
        producer.output[list(producer.output).index(source)] = out   # the producer writes the output itself
        self.alias[source] = out
        self.producer[out] = self.producer.pop(source)
        return True

    def _rename_readers(self):
        """Points the readers a walk passed before a tensor got its new name, subgraphs included, at it."""
        for node in self.nodes:
            self._follow_aliases(node)
            for g in _subgraphs(node):
                _rename_outer(g, self._resolve)
        self.alias.clear()
        self.outer_cache.clear()

    def is_read(self, name):
        if self.read is None:
            self.read = set(self.output_names)
            self.read.update(t for n in self.nodes for t in self._reads(n))
        return name in self.read

    def _infer_node(self, node):
        """Output shapes from the inputs' by the converter's own inference, where they are unknown (an
        op type it has no function for is inferred by ONNX on a model of the one node)."""
        outputs = [o for o in node.output if o]
        if all(_is_static(self.shapes.get(o)) and self.elems.get(o) for o in outputs):
            return
        if node.domain not in _SHAPE_DOMAINS:
            return
        try:
            inferred = shape_infer.infer(self.view, node)
        except shape_infer.ShapeError as exc:
            raise ModelError(str(exc)) from None
        for o, (shape, dtype) in zip(node.output, inferred):
            if o and shape is not None and not _is_static(self.shapes.get(o)):
                self.shapes[o] = shape
            if o and dtype is not None and not self.elems.get(o):
                self.elems[o] = _elem_of(dtype)

    # -- folding

    def _fold(self, node):
        if node.domain not in _STD_DOMAINS or id(node) in self.with_subgraphs:
            return None
        op = node.op_type
        try:
            if op == "Constant":
                return {node.output[0]: constant_value(node)}
            if op in ("Shape", "Size"):
                return self._fold_shape(node)
            if op not in EVALUATORS or not all(t == "" or self.is_const(t) for t in node.input):
                return None
            values = [self.value(t) if t else None for t in node.input]
            with np.errstate(all="ignore"):
                result = EVALUATORS[op](Call(node, values))
        except CannotFold:
            return None
        except (ValueError, TypeError, IndexError, KeyError, ZeroDivisionError, OverflowError, MemoryError) as err:
            raise ModelError("%s cannot be evaluated on its constant inputs: %s" % (describe(node), err)) from None
        results = result if isinstance(result, list) else [result]
        return {name: np.asarray(v) for name, v in zip(node.output, results) if name}

    def _fold_shape(self, node):
        dims = self.dims(node.input[0])
        if dims is None:
            return None
        if node.op_type == "Size":
            return {node.output[0]: np.array(np.prod(dims), np.int64)} if _is_static(dims) else None
        attrs = node_attrs(node)
        picked = dims[slice(attrs.get("start", 0), attrs.get("end"))]
        return {node.output[0]: np.array(picked, np.int64)} if _is_static(picked) else None

    def _check_folded(self, node, name, value):
        """A folded value must have the type and shape inference gives the tensor."""
        elem = self.elems.get(name)
        if elem and helper.np_dtype_to_tensor_dtype(value.dtype) != elem:
            raise ModelError("%s folds '%s' to %s, but the model types it %s" % (
                describe(node), name, value.dtype, helper.tensor_dtype_to_np_dtype(elem)))
        dims = self.shapes.get(name)
        if _is_static(dims) and list(value.shape) != dims:
            raise ModelError("%s folds '%s' to shape %s, but the model gives it %s" % (
                describe(node), name, list(value.shape), dims))

    def drop_dead(self):
        live = set(self.output_names)
        kept = []
        for node in reversed(self.nodes):
            if any(o in live for o in node.output if o):
                kept.append(node)
                live.update(self._reads(node))
        kept.reverse()
        removed = len(self.nodes) - len(kept)
        self.report.dead_nodes_removed += removed
        self.nodes = kept
        for name in [t for t in list(self.tensors) + list(self.arrays) if t not in live]:
            self.tensors.pop(name, None)
            self.arrays.pop(name, None)
        return removed > 0

    # -- the result

    def finish(self):
        self.report.initializers_removed = len(self.original_inits - set(self.tensors) - set(self.arrays))
        nodes = self._constant_outputs() + self.nodes
        outputs = [self._output_info(o) for o in self.output_names]
        value_info = [self._info(o) for n in self.nodes for o in n.output
                      if o and o not in self.output_set and self.elems.get(o)]
        self._report_unknown_shapes()
        self._report_unfolded()
        self.check(nodes, value_info, outputs, what="prepared model")
        return self.build(nodes, value_info, outputs)

    def _info(self, name):
        return helper.make_tensor_value_info(name, self.elem(name), self.dims(name))

    def _output_info(self, name):
        """A graph output takes the shape found for it, else keeps the static shape the model declares."""
        if _is_static(self.dims(name)) and self.elem(name):
            return self._info(name)
        declared = self.declared_outputs[name]
        if _is_static(_static_dims(declared)):
            self.shapes[name] = _static_dims(declared)
        return declared

    def _report_unknown_shapes(self):
        """Every tensor whose shape is not static, with the node that writes it and the node where the
        shape was first lost. That is the first node on its way that computes a dynamic shape from static
        ones; the way runs through dynamic tensors and the integer tensors computed from them (the shape
        arithmetic that carries a dynamic extent on to a Reshape or ConstantOfShape)."""
        lost = self.report.shape_lost_at
        origins = {}                             # tensor on such a way -> where the shape was lost
        for vi in self.inputs:
            if not _is_static(_static_dims(vi)):
                self.report.dynamic_tensors.append((vi.name, "the graph input"))
                lost[vi.name] = origins[vi.name] = "the graph input '%s'" % vi.name
        for node in self.nodes:
            origin = next((origins[t] for t in self._reads(node) if t in origins), None)
            for o in node.output:
                if o and not _is_static(self.dims(o)):
                    self.report.dynamic_tensors.append((o, describe(node)))
                    lost[o] = origins[o] = origin or describe(node)
                elif o and origin and _is_integer(self.elem(o)):
                    origins[o] = origin

    def _report_unfolded(self):
        for node in self.nodes:
            if node.domain in _STD_DOMAINS and id(node) not in self.with_subgraphs and all(
                    t == "" or self.is_const(t) for t in node.input):
                self.report.not_evaluable[node.op_type] += 1

    def _constant_outputs(self):
        """Constant nodes for the graph outputs that folded to constants."""
        names = {n.name for n in self.nodes}
        nodes = []
        for o in dict.fromkeys(o for o in self.output_names if self.is_const(o)):
            nodes.append(helper.make_node("Constant", [], [o], name=_fresh(o + "_const", names), value=self.tensor(o)))
            self.tensors.pop(o)
            self.arrays.pop(o, None)
            self.shapes[o] = list(nodes[-1].attribute[0].t.dims)
            self.elems[o] = nodes[-1].attribute[0].t.data_type
        return nodes


class _ShapeView:
    """The graph being prepared as the per-node shape inference reads it."""

    def __init__(self, prep):
        self.prep = prep
        self.attrs = {}

    def get_shape(self, name):
        dims = self.prep.dims(name)
        return list(dims) if _is_static(dims) else None

    def get_dtype(self, name):
        elem = self.prep.elem(name)
        try:
            return np.dtype(helper.tensor_dtype_to_np_dtype(elem)) if elem else None
        except (KeyError, TypeError, ValueError):
            return None

    def get_const(self, name):
        return self.prep.value(name) if self.prep.is_const(name) else None

    def node_proto(self, node):
        return node

    def opset_imports(self):
        return list(self.prep.model.opset_import)

    def get_attr(self, node, name, default=None):
        entry = self.attrs.get(id(node))
        if entry is None or entry[0] is not node:
            entry = self.attrs[id(node)] = (node, node_attrs(node))
        return entry[1].get(name, default)


def _is_integer(elem):
    return elem in _INTEGER_ELEMS


_INTEGER_ELEMS = {onnx.TensorProto.INT64, onnx.TensorProto.INT32, onnx.TensorProto.INT16, onnx.TensorProto.INT8,
                  onnx.TensorProto.UINT64, onnx.TensorProto.UINT32, onnx.TensorProto.UINT16, onnx.TensorProto.UINT8}


def _elem_of(dtype):
    try:
        return helper.np_dtype_to_tensor_dtype(np.dtype(dtype))
    except (KeyError, TypeError, ValueError):
        return None


# ---------------------------------------------------------------- nodes that pass their input through

def _same_shape(prep, node):
    a, b = prep.dims(node.input[0]), prep.dims(node.output[0])
    return _is_static(a) and a == b


def _ints_of(prep, name, default=None):
    if not name:
        return default
    return [int(v) for v in prep.value(name).reshape(-1)] if prep.is_const(name) else None


def _zero_pads(prep, node):
    pads = _ints_of(prep, node.input[1]) if len(node.input) > 1 else node_attrs(node).get("pads")
    return pads is not None and not any(pads)


def _unit_steps(prep, node):
    steps = _ints_of(prep, node.input[4], []) if len(node.input) > 4 else []
    return steps is not None and all(s == 1 for s in steps) and _same_shape(prep, node)


def _identity_perm(prep, node):
    perm = node_attrs(node).get("perm")
    if perm is None:                            # no perm reverses the axes
        return len(prep.dims(node.input[0]) or [None, None]) <= 1
    return list(perm) == list(range(len(perm)))


def _inference_dropout(prep, node):
    training = _ints_of(prep, node.input[2], [0]) if len(node.input) > 2 else [0]
    return training is not None and not any(training)


_PASSES_THROUGH = {
    "Identity": lambda prep, node: True,
    "Dropout": _inference_dropout,
    "Cast": lambda prep, node: prep.elem(node.input[0]) == node_attrs(node).get("to"),
    "CastLike": lambda prep, node: prep.elem(node.input[0]) == prep.elem(node.input[1]),
    "Pad": _zero_pads,
    "Transpose": _identity_perm,
    "Slice": _unit_steps,
    "Concat": lambda prep, node: len([t for t in node.input if t]) == 1,
}
_PASSES_THROUGH.update(dict.fromkeys(("Reshape", "Expand", "Tile", "Squeeze", "Unsqueeze", "Flatten"), _same_shape))


def _passed_through(prep, node):
    """The input tensor `node` passes on unchanged at inference, or None."""
    check = _PASSES_THROUGH.get(node.op_type)
    if check is None or node.domain not in _STD_DOMAINS or id(node) in prep.with_subgraphs:
        return None
    if not node.input or not node.input[0] or not node.output or not node.output[0]:
        return None
    if any(o and prep.is_read(o) for o in node.output[1:]):   # a Dropout mask someone reads
        return None
    source = next(t for t in node.input if t) if node.op_type == "Concat" else node.input[0]
    return source if check(prep, node) else None


def _copied(cls, proto):
    out = cls()
    out.CopyFrom(proto)
    return out


_GRAPH_CONTENT = {"node", "initializer", "value_info", "input", "output"}


def _shell(model):
    """A copy of `model` without nodes, tensors and value infos (the weights are not copied)."""
    shell = onnx.ModelProto()
    for fd, value in model.ListFields():
        if fd.name != "graph":
            copy_field(shell, fd, value)
    for fd, value in model.graph.ListFields():
        if fd.name not in _GRAPH_CONTENT:
            copy_field(shell.graph, fd, value)
    return shell


def _is_dim(value):
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool) and value > 0


def _fresh(base, names):
    name, k = base, 0
    while name in names:
        k += 1
        name = "%s_%d" % (base, k)
    names.add(name)
    return name


def _listing(names, limit=8):
    names = list(names)
    more = ", ... (%d in all)" % len(names) if len(names) > limit else ""
    return ", ".join(names[:limit]) + more if names else "none"


def prepare(model, input_shapes=None, default_dim=1):
    """Folds an exporter graph into the static, constant-rich form the dimension rules need.

    `model` is an onnx.ModelProto and is left unchanged. `input_shapes` maps a
    graph input to its shape, or a symbolic dimension name to its value;
    other symbolic or unknown input dimensions take `default_dim`. Returns the
    prepared model and a PrepareReport. A malformed model raises ModelError
    naming the node or tensor at fault.
    """
    if not isinstance(model, onnx.ModelProto):
        raise TypeError("prepare expects an onnx.ModelProto, not %s" % type(model).__name__)
    report = PrepareReport()
    prep = _Prep(model, report)
    prep.make_inputs_static(input_shapes, default_dim)
    prep.check(prep.nodes)
    prep.drop_dead()
    prep.infer(first=True)
    prep.check_declared()
    while prep.walk() and prep.unknown_shapes_left():
        if report.rounds >= MAX_INFERENCE_ROUNDS:
            report.limit_hit = "stopped after %d rounds of shape inference" % MAX_INFERENCE_ROUNDS
            break
        if not prep.infer():
            break
    return prep.finish(), report
