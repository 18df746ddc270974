"""Shape helpers the rules call: broadcast-type merging, Reshape axis groups,
channel alignment per target, and the Gather that keeps a merged Split/Concat
layout exact."""
import numpy as np

# Channel alignment of each NPU target; unknown targets use the default.
CHANNEL_ALIGN = {"n7": 16, "x4": 32}
DEFAULT_CHANNEL_ALIGN = 16


def align_sub_c(ir):
    """The channel alignment of the target NPU: the graph's own setting, else the target table."""
    configured = getattr(ir, "channel_align", None)
    if configured:
        return int(configured)
    return CHANNEL_ALIGN.get(getattr(ir, "npu_target", "") or "", DEFAULT_CHANNEL_ALIGN)


def _broadcast_type(a, b):
    if a == 1 and b == 1:
        return 4
    if a == b:
        return 1
    if a == 1:
        return 2
    if b == 1:
        return 3
    return (1, a, b)  # not broadcastable: an axis of its own


def squeeze_broadcast_dims(shape_a, shape_b):
    """Merges adjacent axes of the same broadcast type; axes where both are 1 join a neighbour.

    Returns the two merged shapes (extents multiplied), of equal length.
    """
    if len(shape_a) != len(shape_b):
        raise ValueError("squeeze_broadcast_dims needs shapes of one rank, got %s and %s" % (shape_a, shape_b))
    groups = []  # [type, extent_a, extent_b]
    for a, b in zip(shape_a, shape_b):
        a, b = int(a), int(b)
        t = _broadcast_type(a, b)
        if t == 4:
            continue  # both 1: joins whichever neighbour, changing no extent
        if groups and groups[-1][0] == t:
            groups[-1][1] *= a
            groups[-1][2] *= b
        else:
            groups.append([t, a, b])
    if not groups:
        return [1], [1]
    return [g[1] for g in groups], [g[2] for g in groups]


def seperate_independent_part_for_reshape(in_shape, out_shape):
    """Groups the axes of a Reshape's input and output shapes that map onto each other.

    Returns a list of pairs (input axes, output axes): the product of the input
    extents of a pair equals the product of its output extents, and the pairs
    cover both shapes in order. Leftover unit axes join the last pair.
    """
    in_shape, out_shape = [int(d) for d in in_shape], [int(d) for d in out_shape]
    parts = []
    i = j = 0
    while i < len(in_shape) and j < len(out_shape):
        in_axes, out_axes = [i], [j]
        p, q = in_shape[i], out_shape[j]
        while p != q:
            if p < q and i + 1 < len(in_shape):
                i += 1
                in_axes.append(i)
                p *= in_shape[i]
            elif j + 1 < len(out_shape):
                j += 1
                out_axes.append(j)
                q *= out_shape[j]
            elif i + 1 < len(in_shape):
                i += 1
                in_axes.append(i)
                p *= in_shape[i]
            else:
                break
        parts.append((in_axes, out_axes))
        i += 1
        j += 1
    if parts:
        parts[-1][0].extend(range(i, len(in_shape)))
        parts[-1][1].extend(range(j, len(out_shape)))
    elif in_shape or out_shape:
        parts.append((list(range(len(in_shape))), list(range(len(out_shape)))))
    return parts


def _chunk_major_order(refer_shape, axis, new_axis, window_len, chunk_size):
    """Row-major merged indices of the window, reordered chunk by chunk along `axis`."""
    window = list(range(new_axis, new_axis + window_len))
    extents = [int(refer_shape[a]) for a in window]
    pos = window.index(axis)
    strides = [int(np.prod(extents[k + 1:], dtype=np.int64)) for k in range(len(extents))]
    order = []
    start = 0
    for size in chunk_size:
        sub = list(extents)
        sub[pos] = int(size)
        for idx in np.ndindex(*sub):
            idx = list(idx)
            idx[pos] += start
            order.append(int(sum(i * s for i, s in zip(idx, strides))))
        start += int(size)
    return order


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
    window_len = len(refer_shape) - len(new_shape) + 1
    if not (0 <= new_axis <= axis < new_axis + window_len <= len(refer_shape)) or window_len < 1:
        return None, [], False
    if int(np.prod(refer_shape[new_axis:new_axis + window_len], dtype=np.int64)) != new_shape[new_axis]:
        return None, [], False
    if sum(chunk_size) != refer_shape[axis] or any(c < 0 for c in chunk_size):
        return None, [], False
    order = _chunk_major_order(refer_shape, axis, new_axis, window_len, chunk_size)
    if op_type == "Concat":
        inverse = [0] * len(order)
        for target, source in enumerate(order):
            inverse[source] = target
        return new_axis, inverse, True
    return new_axis, order, False
