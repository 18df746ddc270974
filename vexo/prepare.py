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
  per-node inference (the native graph's) where ONNX left them unknown.
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
in the size of the model. ONNX's inference itself costs more per node as a
model grows (about 3 µs per node at 5,000 nodes, 7 µs at 100,000), so a
round over a model of more than twice `INFERENCE_PART_NODES` nodes goes part
by part in topological order: each part is a model of its own, reading what
earlier parts computed as graph inputs of the types inference gave them.
Only a tensor of known type and static shape of rank two or more crosses
from part to part (a small integer vector could carry a value into a shape
in one model, which a graph input would not): where another would cross,
that part takes in the rest of the model. The shapes found are those of a
round over the whole model. Each round after the first must give a tensor a
static shape it did not have, which bounds the rounds; `MAX_INFERENCE_ROUNDS`
is a further bound no real graph meets, reported when hit. Shape inference
sees constants of more than `INLINE_ELEMENTS` elements (weights) by type and
shape only, so a round does not copy the weights.

The graph is the converter's native one (`vexo._core`): the model is read
once, the walks, the dead-node drop and the bookkeeping run in C++, and only
the folds themselves (numpy evaluators), the input shapes and the rounds of
ONNX inference are Python's. `prepare_graph` hands the prepared graph to the
converter as it is; `prepare` writes it back as a model.

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

from vexo import _core
from vexo.api.ir_graph import IrGraph, ModelError, _infer
from vexo.api.model_checks import INLINE_ELEMENTS, describe, value_info_dims
from vexo.custom_ops import lower_custom_ops
from vexo.evaluators import EVALUATORS, Call, CannotFold

MAX_INFERENCE_ROUNDS = 50
INFERENCE_PART_NODES = 5000      # a round over a larger model goes in parts of about this many nodes
SCREENFUL = 20                   # lines of tensors of unknown shape the terminal report shows at most
assert INLINE_ELEMENTS == 1024  # the native light model keeps the same constants


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


# ---------------------------------------------------------------- input shapes

def _input_dims(prep, name):
    """(dims with None where unknown, dim_param per dimension) an input declares, or (None, None)."""
    data = prep.input_type(name)
    if data is None:
        return None, None
    vi = helper.make_value_info(name, onnx.TypeProto.FromString(data))
    dims = value_info_dims(vi)
    if dims is None:
        return None, None
    params = [d.dim_param if d.HasField("dim_param") else "" for d in vi.type.tensor_type.shape.dim]
    return dims, params


def _make_inputs_static(prep, ir, report, input_shapes, default_dim):
    """Fixes every input dimension: full shapes from `input_shapes` first, then the symbolic dimensions they
    and `input_shapes` bind, then `default_dim`."""
    if not _is_dim(default_dim):
        raise ValueError("default_dim must be a positive integer, not %r" % (default_dim,))
    declared = {name: _input_dims(prep, name) for name in ir.inputs}
    full, bound = _read_input_shapes(declared, dict(input_shapes or {}))
    for name, (dims, params) in declared.items():
        if name in full:
            shape = full[name]
        elif dims is None:
            continue                          # rank unknown: reported with the dynamic tensors
        else:
            shape = [d if d is not None else bound.get(p, int(default_dim)) for d, p in zip(dims, params)]
        if shape != dims:
            report.inputs_made_static[name] = shape
        prep.set_input_shape(name, shape)


def _read_input_shapes(declared, given):
    """Checks `input_shapes`; returns (input name -> full shape, symbolic dimension -> value)."""
    params = {p for _, ps in declared.values() if ps for p in ps if p}
    full, bound = {}, {}
    for key, value in given.items():
        if key in declared and not isinstance(value, (int, np.integer, str)):
            full[key] = _check_full_shape(key, list(value), declared[key][0])
        elif key in declared and key not in params:
            raise ValueError("input '%s' needs a full shape, not the single value %r" % (key, value))
        elif key not in params:
            raise ValueError("'%s' is neither a graph input nor a symbolic dimension of one (inputs: %s; "
                             "symbolic dimensions: %s)" % (key, _listing(declared), _listing(sorted(params))))
        elif not _is_dim(value):
            raise ValueError("the symbolic dimension '%s' is given %r: it must be a positive integer"
                             % (key, value))
        else:
            bound[key] = int(value)
    for name, shape in full.items():
        for param, value in zip(declared[name][1] or (), shape):
            if param and bound.setdefault(param, value) != value:
                raise ValueError("the symbolic dimension '%s' is given the values %d and %d"
                                 % (param, bound[param], value))
    return full, bound


def _check_full_shape(name, shape, dims):
    if not all(_is_dim(d) for d in shape):
        raise ValueError("input '%s' is given the shape %s: dimensions must be positive integers" % (name, shape))
    if dims is not None and len(dims) != len(shape):
        raise ValueError("input '%s' is given %d dimensions, the model gives it %d" % (name, len(shape), len(dims)))
    for k, (old, new) in enumerate(zip(dims or [], shape)):
        if old is not None and old != new:
            raise ValueError("input '%s': dimension %d is %d in the model, %d given" % (name, k, old, new))
    return [int(d) for d in shape]


def _is_dim(value):
    return isinstance(value, (int, np.integer)) and not isinstance(value, bool) and value > 0


def _listing(names, limit=8):
    names = list(names)
    more = ", ... (%d in all)" % len(names) if len(names) > limit else ""
    return ", ".join(names[:limit]) + more if names else "none"


# ---------------------------------------------------------------- folding

def _folder(source):
    """The evaluation of one node for the native walk: fold(node bytes, input values, expected) -> one array
    per output, or None when the node stays. A value must have the type and shape its tensor is known to
    have (`expected`: element type or 0, static shape or None, per output)."""
    def fold(node_bytes, values, expected):
        node = onnx.NodeProto.FromString(node_bytes)
        try:
            with np.errstate(all="ignore"):
                result = EVALUATORS[node.op_type](Call(node, values))
        except CannotFold:
            return None
        except (ValueError, TypeError, IndexError, KeyError, ZeroDivisionError, OverflowError, MemoryError) as err:
            raise ModelError("%s: %s cannot be evaluated on its constant inputs: %s"
                             % (source, describe(node), err)) from None
        results = result if isinstance(result, list) else [result]
        out = []
        for name, value, (elem, shape) in zip(node.output, results, expected):
            value = np.asarray(value)
            if name:
                _check_folded(source, node, name, value, elem, shape)
            out.append(value if name else None)
        return out
    return fold


def _check_folded(source, node, name, value, elem, shape):
    """A folded value must have the type and shape inference gives the tensor."""
    if elem and _elem_of(value.dtype) != elem:
        raise ModelError("%s: %s folds '%s' to %s, but the model types it %s" % (
            source, describe(node), name, value.dtype, helper.tensor_dtype_to_np_dtype(elem)))
    if shape is not None and list(value.shape) != shape:
        raise ModelError("%s: %s folds '%s' to shape %s, but the model gives it %s" % (
            source, describe(node), name, list(value.shape), shape))


def _elem_of(dtype):
    try:
        return helper.np_dtype_to_tensor_dtype(np.dtype(dtype))
    except (KeyError, TypeError, ValueError):
        return None


# ---------------------------------------------------------------- rounds of ONNX inference

def _check(data, what, source):
    try:
        onnx.checker.check_model(data)
    except onnx.checker.ValidationError as err:
        raise ModelError("%s: the %s does not pass the ONNX checker: %s" % (source, what, err)) from None


def _infer_round(prep, report, first, source):
    """One round of ONNX shape inference over the whole model (large weights by type and shape only), part by
    part on a large model; returns how many tensors it gave a static shape they lacked."""
    prep.plan_inference(INFERENCE_PART_NODES)
    learned, k, foreign = 0, 0, prep.has_foreign_ops
    while k < prep.inference_parts:
        data = prep.inference_part(k, first)
        if foreign:
            data = lower_custom_ops(onnx.load_from_string(data))[0].SerializeToString()
        try:
            inferred = _infer(data, strict=False)
        except Exception as err:   # noqa: BLE001 - inference errors come in several types
            raise ModelError("%s: shape inference fails on the model: %s" % (source, err)) from None
        found = prep.record_part(k, inferred, first)
        if found < 0:
            continue  # a tensor read further on came out unfit to cross: the rest goes in one part
        learned += found
        k += 1
    report.rounds += 1
    return learned


# ---------------------------------------------------------------- the stage

def _source_bytes(model):
    if isinstance(model, onnx.ModelProto):
        return model.SerializeToString()
    raise TypeError("prepare expects an onnx.ModelProto, not %s" % type(model).__name__)


def _prepare(data, input_shapes, default_dim, source, config):
    """The preparation of serialized model `data`: (IrGraph, its native Preparation, PrepareReport)."""
    report = PrepareReport()
    ir = IrGraph(data, source=source, as_read=True, **config)
    prep = _core.Preparation(ir, _folder(source), set(EVALUATORS))
    prep.check_outer_reads()
    _make_inputs_static(prep, ir, report, input_shapes, default_dim)
    _check(prep.model_bytes(light=True, opsets_as_read=True), "model", source)
    prep.drop_dead()
    _infer_round(prep, report, True, source)
    conflict = prep.declared_contradiction()
    if conflict:
        raise ModelError("%s: %s" % (source, conflict))
    while prep.walk() and prep.unknown_shapes_left():
        if report.rounds >= MAX_INFERENCE_ROUNDS:
            report.limit_hit = "stopped after %d rounds of shape inference" % MAX_INFERENCE_ROUNDS
            break
        if not _infer_round(prep, report, False, source):
            break
    _finish(prep, report)
    return ir, prep, report


def prepare_graph(data, input_shapes=None, default_dim=1, *, source="<model>", **config):
    """Prepares the serialized model `data` on the converter's native graph; returns (IrGraph, PrepareReport).

    The graph is left as if read from the prepared model, ready for the rules; `config` goes to IrGraph
    (unsqueeze_2d_mode, npu_target, ...). A malformed model raises ModelError naming the node or tensor at
    fault, input shapes that do not fit the model ValueError."""
    ir, _, report = _prepare(data, input_shapes, default_dim, source, config)
    ir._settle()
    ir._infer_missing()
    return ir, report


def _finish(prep, report):
    report.initializers_removed = prep.initializers_removed
    prep.keep_declared_output_shapes()
    report.folded.update(prep.folded)
    report.noops_removed.update(prep.noops_removed)
    report.dead_nodes_removed = prep.dead_nodes_removed
    report.walks = prep.walks
    report.not_evaluable.update(prep.not_evaluable())
    for tensor, written_by, lost_at in prep.unknown_shapes():
        report.dynamic_tensors.append((tensor, written_by))
        report.shape_lost_at[tensor] = lost_at


def prepare(model, input_shapes=None, default_dim=1):
    """Folds an exporter graph into the static, constant-rich form the dimension rules need.

    `model` is an onnx.ModelProto and is left unchanged. `input_shapes` maps a
    graph input to its shape, or a symbolic dimension name to its value;
    other symbolic or unknown input dimensions take `default_dim`. Returns the
    prepared model and a PrepareReport. A malformed model raises ModelError
    naming the node or tensor at fault.
    """
    data = _source_bytes(model)
    _, prep, report = _prepare(data, input_shapes, default_dim, "<model>", {})
    prep.constant_outputs()
    prepared = prep.model_bytes()
    _check(prep.model_bytes(light=True), "prepared model", "<model>")
    return onnx.load_from_string(prepared), report
