"""Checks of a model as it comes in: operators the converter can read, and declarations its nodes keep.

A model that uses an op type its standard opset does not define, or declares
for a tensor a shape or element type that its node does not compute, is
broken; the messages name the node and the tensor so the user can find them.
"""
import re

import onnx
from onnx import helper

_STANDARD_DOMAINS = {"": "", "ai.onnx": "", "ai.onnx.ml": "ai.onnx.ml"}


def describe(node):
    """'node NAME (OP)', or the op type and first output for a node without a name."""
    if node.name:
        return "node '%s' (%s)" % (node.name, node.op_type)
    return "the %s node writing '%s'" % (node.op_type, node.output[0] if node.output else "")


def unknown_op_type(opsets, op_types):
    """The message for the first (domain, op type, describing text) of `op_types`, in graph order, that the
    opsets `[(version, domain)]` of the standard domains do not define, or None."""
    versions = {_STANDARD_DOMAINS[domain]: version for version, domain in opsets if domain in _STANDARD_DOMAINS}
    for domain, op_type, who in op_types:
        if domain not in _STANDARD_DOMAINS or (op_type.startswith("ex") and not domain):
            continue
        standard = _STANDARD_DOMAINS[domain]
        version = versions.get(standard)
        if version is None:
            continue  # a domain without an opset import: the checker names it
        if not onnx.defs.has(op_type, version, standard):
            return "%s has an op type that opset %d of the %s domain does not define" % (
                who, version, "standard" if not standard else "'%s'" % standard)
    return None


INLINE_ELEMENTS = 1024  # constants up to this size keep their values; shape inference may need them


def without_weights(model):
    """A copy of `model` whose initializers of more than INLINE_ELEMENTS elements are graph inputs of their
    type and shape: all the checker and shape inference need of them, without copying their data."""
    light = onnx.ModelProto()
    for fd, value in model.ListFields():
        if fd.name != "graph":
            copy_field(light, fd, value)
    for fd, value in model.graph.ListFields():
        if fd.name != "initializer":
            copy_field(light.graph, fd, value)
    for init in model.graph.initializer:
        count = 1
        for d in init.dims:
            count *= d
        if count <= INLINE_ELEMENTS or init.data_location == onnx.TensorProto.EXTERNAL:
            light.graph.initializer.append(init)
        else:
            light.graph.input.append(helper.make_tensor_value_info(init.name, init.data_type, list(init.dims)))
    return light


def copy_field(target, fd, value):
    """Copies one protobuf field `fd` holding `value` onto `target`."""
    if hasattr(value, "extend"):
        getattr(target, fd.name).extend(value)
    elif fd.message_type is not None:
        getattr(target, fd.name).CopyFrom(value)
    else:
        setattr(target, fd.name, value)


# ---------------------------------------------------------------- declared shapes and types

def dims_contradict(a, b):
    """Two shapes (None entries unknown, None for an unknown rank) that cannot describe one tensor."""
    if a is None or b is None:
        return False
    return len(a) != len(b) or any(x is not None and y is not None and x != y for x, y in zip(a, b))


def dims_text(dims):
    return "[%s]" % ", ".join("?" if d is None else str(d) for d in dims)


def elem_name(elem):
    return onnx.TensorProto.DataType.Name(elem).lower()


def value_info_dims(vi):
    """Dimensions of a ValueInfoProto (None for a symbolic one), or None when the rank is unknown."""
    t = vi.type.tensor_type
    if not vi.type.HasField("tensor_type") or not t.HasField("shape"):
        return None
    return [d.dim_value if d.HasField("dim_value") else None for d in t.shape.dim]


def contradiction(name, declared, computed, node):
    """The message for a tensor whose declared ValueInfoProto contradicts the computed one, or None."""
    d_dims, c_dims = value_info_dims(declared), value_info_dims(computed)
    if dims_contradict(d_dims, c_dims):
        return "tensor '%s' is declared with shape %s, but %s computes %s" % (
            name, dims_text(d_dims), describe(node), dims_text(c_dims))
    d_elem, c_elem = declared.type.tensor_type.elem_type, computed.type.tensor_type.elem_type
    if d_elem and c_elem and d_elem != c_elem:
        return "tensor '%s' is declared as %s, but %s computes %s" % (
            name, elem_name(d_elem), describe(node), elem_name(c_elem))
    return None


_CONFLICT = re.compile(r"\(op_type:(?P<op>[^,)]*)(?:, node name: (?P<name>[^)]*))?\): \[\w+\] "
                       r"(?P<what>Inferred (?:shape and existing shape differ|elem type differs)[^\n]*)")


def declared_conflict(model, error):
    """When `error` (from strict ONNX shape inference of `model`) reports a declared shape or type that a
    node does not compute, a message naming the tensor and the node; else None."""
    found = _CONFLICT.search(str(error))
    if found is None:
        return None
    op_type, name = found.group("op"), found.group("name")
    node = next((n for n in model.graph.node if n.op_type == op_type and (name is None or n.name == name)), None)
    if node is None:
        return None
    outputs = set(o for o in node.output if o)
    declared = {vi.name: vi for vi in list(model.graph.value_info) + list(model.graph.output) if vi.name in outputs}
    # What the node computes, with its own outputs' declarations taken away.
    bare = onnx.ModelProto()
    bare.CopyFrom(model)
    kept = [vi for vi in bare.graph.value_info if vi.name not in outputs]
    del bare.graph.value_info[:]
    bare.graph.value_info.extend(kept)
    for vi in bare.graph.output:
        if vi.name in outputs:
            vi.type.tensor_type.elem_type = onnx.TensorProto.UNDEFINED
            vi.type.tensor_type.ClearField("shape")
    try:
        inferred = onnx.shape_inference.infer_shapes(bare, strict_mode=False, data_prop=True)
    except Exception:  # noqa: BLE001 - fall back to what the inference error says
        inferred = None
    if inferred is not None:
        computed = {vi.name: vi for vi in list(inferred.graph.value_info) + list(inferred.graph.output)}
        for o in node.output:
            if o in declared and o in computed:
                message = contradiction(o, declared[o], computed[o], node)
                if message:
                    return message
    return "%s computes a shape or type that contradicts what the model declares for %s (%s)" % (
        describe(node), ", ".join("'%s'" % o for o in node.output if o), found.group("what"))
