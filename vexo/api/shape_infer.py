"""Shape and element-type inference: the reading of ONNX value infos.

Per-node inference lives with the native graph (vexo/graph/infer.cpp): the
IR graph records a shape and an element type for every tensor, from ONNX
shape inference at load and, for the nodes rules create or change, from its
own per-node functions (custom `ex*` operators included).
"""
import numpy as np
from onnx import helper

from vexo import _core

ShapeError = _core.ShapeError  # a node computes nothing from the shapes it is given


def value_info_shape(vi):
    """(shape, dtype) of a ValueInfoProto; shape None when any dimension is not a number."""
    t = vi.type.tensor_type
    dtype = np.dtype(helper.tensor_dtype_to_np_dtype(t.elem_type)) if t.elem_type else None
    if not t.HasField("shape"):
        return None, dtype
    dims = []
    for d in t.shape.dim:
        if not d.HasField("dim_value"):
            return None, dtype
        dims.append(int(d.dim_value))
    return dims, dtype
