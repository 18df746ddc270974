"""Shape helpers the rules call: broadcast-type merging, Reshape axis groups,
channel alignment per target, and the Gather that keeps a merged Split/Concat
layout exact."""
import numpy as np

from vexo import _core

# Channel alignment of each NPU target; unknown targets use the default.
CHANNEL_ALIGN = {"n7": 16, "x4": 32}
DEFAULT_CHANNEL_ALIGN = 16


def align_sub_c(ir):
    """The channel alignment of the target NPU: the graph's own setting, else the target table."""
    configured = getattr(ir, "channel_align", None)
    if configured:
        return int(configured)
    return CHANNEL_ALIGN.get(getattr(ir, "npu_target", "") or "", DEFAULT_CHANNEL_ALIGN)


def squeeze_broadcast_dims(shape_a, shape_b):
    """Merges adjacent axes of the same broadcast type; axes where both are 1 join a neighbour.

    Returns the two merged shapes (extents multiplied), of equal length.
    """
    merged = _core.squeeze_broadcast_dims([int(a) for a in shape_a], [int(b) for b in shape_b])
    return list(merged[0]), list(merged[1])


def seperate_independent_part_for_reshape(in_shape, out_shape):
    """Groups the axes of a Reshape's input and output shapes that map onto each other.

    Returns a list of pairs (input axes, output axes): the product of the input
    extents of a pair equals the product of its output extents, and the pairs
    cover both shapes in order. Leftover unit axes join the last pair.
    """
    parts = _core.seperate_independent_part_for_reshape([int(d) for d in in_shape], [int(d) for d in out_shape])
    return [(list(a), list(b)) for a, b in parts]


def gen_gather_for_change_split_shape(refer_shape, new_shape, axis, new_axis, chunk_size, op_type="Split"):
    """The Gather that keeps a Split/Concat exact after its window of axes is merged.

    The window of axes of `refer_shape` starting at `new_axis` becomes the one
    axis `new_axis` of `new_shape`. Chunks along `axis` are contiguous on the
    merged axis only when the window starts at `axis`; otherwise the merged axis
    is permuted: for a Split before the split (gather after the Reshape, so
    `before` is False), for a Concat after the concat (gather before the final
    Reshape, `before` True). Returns (gather axis, indices, before), or
    (None, [], False) when the shapes do not describe such a merge.
    """
    refer_shape = [int(d) for d in refer_shape]
    new_shape = [int(d) for d in new_shape]
    chunk_size = [int(c) for c in np.asarray(chunk_size).reshape(-1)]
    axis, index, before = _core.gen_gather_for_change_split_shape(refer_shape, new_shape, int(axis), int(new_axis),
                                                                  chunk_size, op_type)
    return axis, list(index), before
