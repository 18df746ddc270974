"""Preparation of exporter graphs for the dimension rules.

Framework exporters leave Constant and Identity nodes, and whole subgraphs that
compute at run time shapes which are in fact static (Shape -> Gather ->
Unsqueeze -> Concat -> Reshape). The rules need constants and known shapes, so
before they run `prepare`:

* gives every graph input a static shape (symbolic or unknown dimensions come
  from `input_shapes`, else `default_dim`);
* removes Identity nodes, rewiring their consumers; an Identity that writes a
  graph output hands that name to the producer of its input, so the output
  keeps its name;
* folds Constant nodes, Shape and Size of tensors whose shape is known, and
  every node whose inputs are all constant and whose op type has an evaluator
  in `vexo.evaluators.EVALUATORS` (numpy);
* re-runs ONNX shape inference (with data propagation) once per round, over
  the whole model, until a round folds nothing, dropping dead nodes and unused
  initializers as it goes;
* records a static shape for every tensor it can and reports the rest.

Every step is one pass over the node list, and a round runs shape inference
once, so the stage stays linear in the size of the model; exporter graphs
settle in two or three rounds.

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
  subgraphs are not folded, only rewired when an Identity they read goes away.
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

from vexo.api.ir_graph import ModelError
from vexo.api.model_checks import contradiction
from vexo.custom_ops import lower_custom_ops
from vexo.evaluators import EVALUATORS, Call, CannotFold, constant_value, node_attrs

MAX_ROUNDS = 10
_STD_DOMAINS = ("", "ai.onnx")
_SUBGRAPH_TYPES = (onnx.AttributeProto.GRAPH, onnx.AttributeProto.GRAPHS)


@dataclass
class PrepareReport:
    """What `prepare` did to a model and what it could not do."""
    folded: Counter = field(default_factory=Counter)        # op type -> nodes folded into constants
    identities_removed: int = 0
    inputs_made_static: dict = field(default_factory=dict)   # input name -> the static shape chosen
    dynamic_tensors: list = field(default_factory=list)      # (tensor, node writing it) whose shape stays unknown
    not_evaluable: Counter = field(default_factory=Counter)  # op type -> nodes with constant inputs left in place
    dead_nodes_removed: int = 0
    initializers_removed: int = 0
    rounds: int = 0

    def lines(self):
        """The report as lines for the terminal."""
        out = ["prepare: %d round%s of shape inference" % (self.rounds, "" if self.rounds == 1 else "s")]
        for name, shape in self.inputs_made_static.items():
            out.append("  input '%s' made static: %s" % (name, list(shape)))
        if self.folded:
            out.append("  folded %d nodes into constants: %s" % (sum(self.folded.values()), _counts(self.folded)))
        if self.identities_removed:
            out.append("  removed %d Identity nodes" % self.identities_removed)
        if self.dead_nodes_removed or self.initializers_removed:
            out.append("  dropped %d dead nodes and %d unused initializers"
                       % (self.dead_nodes_removed, self.initializers_removed))
        if self.not_evaluable:
            out.append("  left in place with constant inputs (no evaluator): %s" % _counts(self.not_evaluable))
        if self.dynamic_tensors:
            out.append("  %d tensors keep an unknown or dynamic shape:" % len(self.dynamic_tensors))
            out.extend("    '%s' written by %s" % (t, by) for t, by in self.dynamic_tensors)
        else:
            out.append("  every tensor has a static shape")
        return out


def _counts(counter):
    return ", ".join("%s %d" % (op, n) for op, n in sorted(counter.items()))


# ---------------------------------------------------------------- graph walking

def _describe(node):
    if node.name:
        return "node '%s' (%s)" % (node.name, node.op_type)
    return "the %s node writing '%s'" % (node.op_type, node.output[0] if node.output else "")


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
        self.infos, self.shapes, self.elems = {}, {}, {}
        self.outer_cache = {}
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
                    other = _describe(producer[o]) if o in producer else "the graph"
                    raise ModelError("tensor '%s' is written by %s and by %s" % (o, other, _describe(node)))
                producer[o] = node
        for node in self.nodes:
            for t in self._reads(node):
                if t not in producer and t not in provided:
                    raise ModelError("%s reads tensor '%s', which no node, graph input or initializer provides"
                                     % (_describe(node), t))
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
            raise ModelError("the graph has a cycle through %s" % _describe(stuck))
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
            elif key not in params:
                raise ValueError("input_shapes names '%s', which is neither a graph input nor a symbolic "
                                 "dimension of one" % key)
            elif not _is_dim(value):
                raise ValueError("input_shapes gives the symbolic dimension '%s' the value %r: it must be a "
                                 "positive integer" % (key, value))
            else:
                bound[key] = int(value)
        for name, shape in full.items():
            for param, value in zip(params_of.get(name, ()), shape):
                if param and bound.setdefault(param, value) != value:
                    raise ValueError("input_shapes gives the symbolic dimension '%s' the values %d and %d"
                                     % (param, bound[param], value))
        return full, bound

    @staticmethod
    def _check_full_shape(name, shape, dims):
        if not all(_is_dim(d) for d in shape):
            raise ValueError("input_shapes gives input '%s' the shape %s: dimensions must be positive integers"
                             % (name, shape))
        if dims is not None and len(dims) != len(shape):
            raise ValueError("input_shapes gives input '%s' %d dimensions, the model gives it %d"
                             % (name, len(shape), len(dims)))
        for k, (old, new) in enumerate(zip(dims or [], shape)):
            if old is not None and old != new:
                raise ValueError("input '%s': dimension %d is %d in the model, input_shapes gives %d"
                                 % (name, k, old, new))
        return [int(d) for d in shape]

    # -- Identity removal

    def remove_identities(self):
        outputs = set(self.output_names)
        produced = {o for n in self.nodes if not _is_identity(n) for o in n.output if o}
        alias, renamed, kept = {}, set(), []

        def resolve(t):
            while t in alias:
                t = alias[t]
            return t

        for node in self.nodes:
            if not _is_identity(node):
                kept.append(node)
                continue
            src, out = resolve(node.input[0]), node.output[0]
            if out not in outputs:
                alias[out] = src
            elif src in produced and src not in outputs and src not in renamed:
                alias[src] = out                 # the producer writes the graph output itself
                renamed.add(src)
            else:
                kept.append(node)                # graph input or output copied to an output
                continue
            self.report.identities_removed += 1
        if not alias:
            return
        for node in kept:
            for i, t in enumerate(node.input):
                if t in alias:
                    node.input[i] = resolve(t)
            for i, t in enumerate(node.output):
                if t in renamed:
                    node.output[i] = resolve(t)
            for g in _subgraphs(node):
                _rename_outer(g, resolve)
        self.nodes = kept
        self.outer_cache.clear()

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

    def build(self, nodes, value_info=(), outputs=None):
        model = onnx.ModelProto()
        model.CopyFrom(self.model)
        g = model.graph
        g.node.extend(nodes)
        g.input.extend(self.inputs)
        g.output.extend(outputs or [self.declared_outputs[o] for o in self.output_names])
        reads = dict.fromkeys(t for n in nodes for t in self._reads(n))
        g.initializer.extend(self.tensor(t) for t in reads if self.is_const(t))
        g.value_info.extend(value_info)
        return model

    def infer(self, output_types=True):
        # Declared output shapes may be symbolic: inference starts from the element types only, or from
        # nothing at all when the declared types are to be checked against what the nodes compute.
        outputs = [helper.make_tensor_value_info(
            o, self.declared_outputs[o].type.tensor_type.elem_type if output_types else onnx.TensorProto.UNDEFINED,
            None) for o in self.output_names]
        model = self.build(self.nodes, self.fallback_info, outputs)
        if self.has_custom:
            model, _ = lower_custom_ops(model)
        try:
            inferred = onnx.shape_inference.infer_shapes(model, data_prop=True)
        except Exception as err:   # noqa: BLE001 - inference errors come in several types
            raise ModelError("shape inference fails on the model: %s" % err) from None
        g = inferred.graph
        self.infos = {vi.name: vi for vi in list(g.input) + list(g.value_info) + list(g.output)}
        self.shapes = {name: _static_dims(vi) for name, vi in self.infos.items()}
        self.elems = {name: vi.type.tensor_type.elem_type for name, vi in self.infos.items()}
        self.report.rounds += 1

    def check_declared(self):
        """A static shape or an element type the model declares for a tensor must be what its node
        computes; a contradiction means a broken model, named by tensor and node."""
        producer = {o: n for n in self.nodes for o in n.output if o}
        for name, vi in self.declared.items():
            if name in producer and name in self.infos:
                message = contradiction(name, vi, self.infos[name], producer[name])
                if message:
                    raise ModelError(message)

    # -- folding

    def fold_pass(self):
        """Folds what can be folded in one topological sweep; True when anything changed."""
        kept, changed = [], False
        for node in self.nodes:
            values = self._fold(node)
            if values is None:
                kept.append(node)
                continue
            for name, value in values.items():
                self._check_folded(node, name, value)
                self.set_const(name, value)
            self.report.folded[node.op_type] += 1
            changed = True
        self.nodes = kept
        return self.drop_dead() or changed

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
            raise ModelError("%s cannot be evaluated on its constant inputs: %s" % (_describe(node), err)) from None
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
        """A folded value must have the type and shape ONNX gives the tensor."""
        elem = self.elems.get(name)
        if elem and helper.np_dtype_to_tensor_dtype(value.dtype) != elem:
            raise ModelError("%s folds '%s' to %s, but the model types it %s" % (
                _describe(node), name, value.dtype, helper.tensor_dtype_to_np_dtype(elem)))
        dims = self.shapes.get(name)
        if _is_static(dims) and list(value.shape) != dims:
            raise ModelError("%s folds '%s' to shape %s, but the model gives it %s" % (
                _describe(node), name, list(value.shape), dims))

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
        self._settle_output_shapes()
        value_info = self._value_info_and_dynamic_tensors()
        self._report_unfolded()
        model = self.build(self._constant_outputs() + self.nodes, value_info)
        try:
            onnx.checker.check_model(model)
        except onnx.checker.ValidationError as err:
            raise ModelError("the prepared model does not pass the ONNX checker: %s" % err) from None
        return model

    def _settle_output_shapes(self):
        """Graph outputs take the inferred shape, else keep a static shape the model declares."""
        for o in self.output_names:
            if _is_static(self.shapes.get(o)):
                self.declared_outputs[o] = self.infos[o]
            elif _is_static(_static_dims(self.declared_outputs[o])):
                self.shapes[o] = _static_dims(self.declared_outputs[o])

    def _value_info_and_dynamic_tensors(self):
        outputs = set(self.output_names)
        value_info = []
        for vi in self.inputs:
            if not _is_static(_static_dims(vi)):
                self.report.dynamic_tensors.append((vi.name, "the graph input"))
        for node in self.nodes:
            for o in node.output:
                if o and o in self.infos and o not in outputs:
                    value_info.append(self.infos[o])
                if o and not _is_static(self.shapes.get(o)):
                    self.report.dynamic_tensors.append((o, _describe(node)))
        return value_info

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
        return nodes


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
            _copy_field(shell, fd, value)
    for fd, value in model.graph.ListFields():
        if fd.name not in _GRAPH_CONTENT:
            _copy_field(shell.graph, fd, value)
    return shell


def _copy_field(target, fd, value):
    if hasattr(value, "extend"):
        getattr(target, fd.name).extend(value)
    elif fd.message_type is not None:
        getattr(target, fd.name).CopyFrom(value)
    else:
        setattr(target, fd.name, value)


def _is_identity(node):
    return node.op_type == "Identity" and node.domain in _STD_DOMAINS


def _is_dim(value):
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool) and value > 0


def _fresh(base, names):
    name, k = base, 0
    while name in names:
        k += 1
        name = "%s_%d" % (base, k)
    names.add(name)
    return name


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
    try:
        onnx.checker.check_model(prep.build(prep.nodes))
    except onnx.checker.ValidationError as err:
        raise ModelError("the model does not pass the ONNX checker: %s" % err) from None
    prep.remove_identities()
    prep.drop_dead()
    for round_no in range(MAX_ROUNDS):
        prep.infer(output_types=round_no > 0)
        if round_no == 0:
            prep.check_declared()
        if not prep.fold_pass():
            break
    else:
        prep.infer()
    return prep.finish(), report
