"""The converter's IR graph over an ONNX model.

`IrGraph` holds the operators (`IrNode`) and every tensor's shape, element
type and, for constants, value. Rules read and change it through the
operations below; the engine applies their results with `apply` and writes the
graph back with `to_model`.

The graph itself lives in C++ (`vexo._core.Graph`, vexo/graph/): this class is
its Python face. Bookkeeping kept exact at every step:
* producer and consumer indexes, updated when a node's `input` or `output`
  entries are assigned (they are views whose writes reach the graph at once);
* a mutation counter `changes`, bumped by every effective write;
* an undo journal while a transaction is open (`begin`, `rollback`,
  `commit`), so that a failed rule leaves the graph exactly as it was.

Loading makes Constant nodes and initializers constants, gives every node a
unique name, and records shapes from ONNX shape inference (run on the model
without the data of its large weights) completed by the per-node inference of
the native graph (custom `ex*` operators included).
"""
import onnx
from onnx import helper

from vexo import _core
from vexo.api.model_checks import declared_conflict
from vexo.api.vexo_log import VexoError

REDUCE_OPS = ["ReduceMean", "ReduceMax", "ReduceMin", "ReduceSum", "ReduceL2", "ReduceL1", "ReduceProd",
              "ReduceLogSum", "ReduceLogSumExp", "ReduceSumSquare"]

CUSTOM_DOMAIN = "vexo.ex"

ModelError = _core.ModelError  # the model cannot be loaded or written: names the file, node or tensor at fault
IrNode = _core.Node            # one operator: op_type, name, domain, input and output lists, attributes
PortList = _core.PortList


def is_custom_op(op_type):
    return op_type.startswith("ex")


def _attr_value(a):
    value = helper.get_attribute_value(a)
    if a.type == onnx.AttributeProto.STRING:
        return value.decode("utf-8", "replace")
    if a.type == onnx.AttributeProto.STRINGS:
        return [s.decode("utf-8", "replace") for s in value]
    if a.type == onnx.AttributeProto.TENSOR:
        return onnx.numpy_helper.to_array(value)
    if a.type in (onnx.AttributeProto.INT, onnx.AttributeProto.FLOAT, onnx.AttributeProto.INTS,
                  onnx.AttributeProto.FLOATS):
        return value
    return a  # graphs, sparse tensors, type protos: kept as they are


def _proto_attr(proto, name, default):
    """An attribute of an onnx.NodeProto (a rule may hand one to get_attr)."""
    for a in getattr(proto, "attribute", ()):
        if a.name == name:
            return _attr_value(a)
    return default


class _ModelInfo:
    """What the rules may read of the source model: `producer_name` and friends."""

    def __init__(self, info):
        self.producer_name = info["producer_name"]
        self.producer_version = info["producer_version"]
        self.domain = info["domain"]
        self.model_version = info["model_version"]
        self.doc_string = info["doc_string"]
        self.ir_version = info["ir_version"]
        self.opset_import = [helper.make_opsetid(d, v) for d, v in info["opset_import"]]
        self.graph_name = info["graph_name"]


def _model_bytes(model, source):
    if isinstance(model, onnx.ModelProto):
        return model.SerializeToString()
    if isinstance(model, (bytes, bytearray, memoryview)):
        return bytes(model)
    raise ModelError("%s: expected an onnx.ModelProto, got %s" % (source, type(model).__name__))


class IrGraph(_core.Graph):
    """The graph of one model. `model` is an onnx.ModelProto or its serialized bytes."""

    def __init__(self, model, *, unsqueeze_2d_mode="AB11", dynamic_shapes=False, npu_target="",
                 channel_align=None, infer=True, source="<model>", check_declared=False, as_read=False):
        """`infer` runs ONNX shape inference on the model first (its per-node inference fills the rest
        either way); `check_declared` makes a declared shape or type that its node does not compute an
        error. With `as_read` the graph is left as read, for the preparation: the shapes the model declares
        for its outputs and value infos are not recorded and nothing is inferred."""
        data = _model_bytes(model, source)
        super().__init__(source, unsqueeze_2d_mode, dynamic_shapes, npu_target, channel_align, check_declared)
        self.check_declared = check_declared  # a declared shape or type its node does not compute is an error
        try:
            self._read(data, not as_read)
        except _core.WireError as exc:
            raise ModelError("%s: not a readable ONNX model (%s)" % (source, exc)) from None
        except _core.ExternalData as exc:
            raise ModelError("%s: %s; load it with onnx.load first" % (source, exc)) from None
        self._info = None
        if as_read:
            return
        if infer:
            self._record_inferred_shapes(data, model)
        self._take_known_names()
        self._infer_missing()
        self._reset_changes()

    @classmethod
    def load(cls, path, **config):
        try:
            with open(str(path), "rb") as f:
                data = f.read()
        except FileNotFoundError:
            raise ModelError("%s: no such file" % path) from None
        except OSError as exc:
            raise ModelError("%s: not a readable ONNX model (%s)" % (path, exc)) from None
        return cls(data, source=str(path), **config)

    @property
    def model(self):
        if self._info is None:
            self._info = _ModelInfo(self._model_info())
        return self._info

    # ------------------------------------------------------------ loading

    def _record_inferred_shapes(self, data, model):
        """Records what ONNX shape inference finds, run on the model without its large weights. With
        `check_declared` it runs strict first: a declared shape or type that its node does not compute is an
        error, and a model that strict inference rejects for another reason is read as far as lenient
        inference gets."""
        light = _core._light_source(data)
        if self.check_declared:
            try:
                self._record_inferred(_infer(light, strict=True))
                return
            except Exception as error:  # noqa: BLE001 - inference errors come in several types
                full = model if isinstance(model, onnx.ModelProto) else onnx.load_from_string(data)
                conflict = declared_conflict(full, error)
                if conflict:
                    raise ModelError("%s: %s" % (self.source, conflict)) from None
        try:
            self._record_inferred(_infer(light, strict=False))
        except Exception:  # noqa: BLE001 - per-node inference fills what it can
            return

    # ------------------------------------------------------------ nodes and results

    def add_node(self, node):
        return self._add_node(node)

    def remove_node(self, node):
        self._remove_node(node)

    def apply(self, result):
        """Applies a rule result (nodes to remove, nodes to add): removes, then adds.

        Added nodes are placed between their producers and their consumers, and
        the shapes of tensors the rule left unknown are inferred. Raises
        ModelError when the result leaves a cycle. Returns the added nodes as
        IrNodes.
        """
        remove, add = _result_lists(result)
        return self._apply(remove, add)

    # ------------------------------------------------------------ writing back

    def opset_imports(self):
        return [helper.make_opsetid(d, v) for d, v in self._write_opsets()]

    def node_proto(self, node):
        return onnx.NodeProto.FromString(self._node_proto_bytes(node))

    def model_bytes(self, light=False):
        """The current graph as a serialized model; `light` leaves the data of large weights out (their
        type and shape stand in for them, all the checker and shape inference need)."""
        return self._model_bytes(light, onnx.IR_VERSION)

    def to_model(self):
        """The current graph as a new, checker-valid onnx.ModelProto."""
        return onnx.load_from_string(self.model_bytes())

    def save(self, path):
        """Writes the model to `path` (the weights are written from the graph's memory, not copied)."""
        self._write(str(path), onnx.IR_VERSION)


def _infer(model_bytes, strict):
    """ONNX shape inference with data propagation, bytes in and out."""
    c_infer = getattr(onnx.shape_inference, "C", None)
    if c_infer is not None and hasattr(c_infer, "infer_shapes"):
        return c_infer.infer_shapes(model_bytes, False, strict, True)
    model = onnx.shape_inference.infer_shapes(onnx.load_from_string(model_bytes), strict_mode=strict, data_prop=True)
    return model.SerializeToString()


def _result_lists(result):
    if not isinstance(result, (tuple, list)) or len(result) != 2:
        raise TypeError("a rule must return a pair (nodes to remove, nodes to add), got %r" % (result,))
    remove, add = result
    if not isinstance(remove, (list, tuple)) or not isinstance(add, (list, tuple)):
        raise TypeError("a rule result must hold two lists of nodes, got %s and %s"
                        % (type(remove).__name__, type(add).__name__))
    return list(remove), list(add)


_core._set_classes(IrGraph, VexoError)
