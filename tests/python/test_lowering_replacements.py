"""Tile as Expand, Gather as Conv, Expand before Reshape as Gather, constant shrinking, broadcast Mul, 1x1 Resize."""
import numpy as np
import pytest

import vexo.api.rules.dims as dims
import rule_kit
from rule_kit import graph, node
from rule_kit import refused as assert_refused
from vexo.api.vexo_log import VEXOLog

I64 = np.int64


def rewrite(rule, ir, *names):
    """Runs the rule on the named nodes, checked in ONNX Runtime; the result's node names, removed and added."""
    remove, add = rule_kit.rewrite(rule, ir, *names)
    return [n.name for n in remove], [n.name for n in add]


# ------------------------------------------------------------------ Tile

def tile_graph(shape, repeats):
    return graph([node("Tile", ["x", "r"], ["y"], "tile")], {"x": shape}, {"y": None},
                 {"r": np.array(repeats, I64)})


@pytest.mark.parametrize("shape, repeats, target", [([1, 3, 1, 5], [2, 1, 4, 1], [2, 3, 4, 5]),
                                                    ([2, 3], [1, 1], [2, 3])])
def test_tile_over_unit_axes_becomes_expand(shape, repeats, target):
    ir = tile_graph(shape, repeats)
    assert rewrite(dims._p_convert_tile_to_expand, ir, "tile") == (["tile"], ["tile"])
    expand = ir.node("tile")
    assert expand.op_type == "Expand" and expand.input[0] == "x" and expand.output == ["y"]
    assert ir.get_const(expand.input[1]).tolist() == target


def test_tile_refusals():
    assert_refused(dims._p_convert_tile_to_expand, tile_graph([2, 3], [2, 1]), "tile")
    ir = tile_graph([1, 3], [2, 1])
    ir.set_const("r", np.array([2, 1, 1], I64))
    assert_refused(dims._p_convert_tile_to_expand, ir, "tile")
    ir = graph([node("Tile", ["x", "r"], ["y"], "tile")], {"x": [1, 3], "r": ([2], I64)}, {"y": None})
    assert_refused(dims._p_convert_tile_to_expand, ir, "tile")


# ------------------------------------------------------------------ Gather to Conv

def gather_graph(indices, shape=(1, 6, 4, 4), axis=1, dtype=np.float32):
    return graph([node("Gather", ["x", "i"], ["y"], "g", axis=axis)], {"x": (list(shape), dtype)}, {"y": None},
                 {"i": np.array(indices, I64)})


@pytest.mark.parametrize("indices", [[5, 0, 0], [-1], [-1, 2, -6, 3]])
def test_channel_gather_becomes_selection_conv(indices):
    ir = gather_graph(indices)
    assert rewrite(dims._p_gather_to_conv, ir, "g") == (["g"], ["g_2conv"])
    conv = ir.node("g_2conv")
    assert conv.input == ["x", "i"] and conv.output == ["y"]
    assert [ir.get_attr(conv, a) for a in ("kernel_shape", "strides", "pads", "group")] == [
        [1, 1], [1, 1], [0, 0, 0, 0], 1]
    weight = ir.get_const("i")
    assert weight.shape == (len(indices), 6, 1, 1) and weight.dtype == np.float32
    assert np.argmax(weight[:, :, 0, 0], axis=1).tolist() == [i % 6 for i in indices]
    assert weight.sum() == len(indices)


@pytest.mark.parametrize("case", [dict(indices=[[0, 1], [2, 3]]), dict(indices=[1], dtype=np.float16),
                                  dict(indices=[1], dtype=np.int64), dict(indices=[1], axis=2),
                                  dict(indices=[1], axis=-3), dict(indices=[1], shape=(6, 4, 4), axis=0)])
def test_gather_refusals(case):
    assert_refused(dims._p_gather_to_conv, gather_graph(**case), "g")


def test_gather_with_runtime_indices_or_bad_index():
    ir = graph([node("Gather", ["x", "i"], ["y"], "g", axis=1)], {"x": [1, 6, 4, 4], "i": ([2], I64)},
                  {"y": None})
    assert_refused(dims._p_gather_to_conv, ir, "g")
    ir = gather_graph([1])
    ir.set_const("i", np.array([6], I64))
    changes = ir.changes
    with pytest.raises(IndexError, match="'g'"):
        dims._p_gather_to_conv(ir, [ir.node("g")])
    assert ir.changes == changes


# ------------------------------------------------------------------ Expand before Reshape

def expand_reshape_graph(in_shape, expanded, merged, extra_consumer=False):
    nodes = [node("Expand", ["x", "s"], ["e"], "exp"), node("Reshape", ["e", "rs_shape"], ["y"], "rs")]
    outputs = {"y": None}
    if extra_consumer:
        nodes.append(node("Relu", ["e"], ["z"], "relu"))
        outputs["z"] = None
    return graph(nodes, {"x": in_shape}, outputs,
                 {"s": np.array(expanded, I64), "rs_shape": np.array(merged, I64)})


@pytest.mark.parametrize("in_shape, expanded, merged, index, gathered", [
    ([1, 3, 1, 4], [1, 3, 5, 4], [1, 15, 4], [0] * 5 + [1] * 5 + [2] * 5, [1, 15, 1, 4]),
    ([2, 3, 1], [2, 3, 4], [2, 12], [0] * 4 + [1] * 4 + [2] * 4, [2, 12, 1]),
    ([1, 1, 3, 4], [1, 5, 3, 4], [1, 15, 4], [0, 1, 2] * 5, [1, 1, 15, 4]),  # expanded axis first
])
def test_expand_merged_by_reshape_becomes_gather(in_shape, expanded, merged, index, gathered):
    ir = expand_reshape_graph(in_shape, expanded, merged)
    removed, added = rewrite(dims._p_convert_expand_to_gather_before_rs, ir, "exp", "rs")
    gather = ir.node(added[0])
    assert removed == ["exp"] and gather.op_type == "Gather" and gather.output == ["e"]
    assert ir.get_const(gather.input[1]).tolist() == index
    assert ir.get_shape("e") == gathered and ir.get_shape("x") == in_shape


@pytest.mark.parametrize("in_shape, expanded, merged, extra", [
    ([1, 1, 1, 4], [1, 2, 5, 4], [1, 10, 4], False),   # two axes expanded
    ([1, 3, 5, 4], [1, 3, 5, 4], [1, 15, 4], False),   # none
    ([3, 1, 4], [1, 3, 5, 4], [1, 15, 4], False),      # rank change
    ([2, 3, 1], [2, 3, 4], [24], False),               # merged with two axes
    ([1, 3, 1, 4], [1, 3, 6, 4], [1, 3, 2, 3, 4], False),  # split
    ([1, 3, 1, 4], [1, 3, 5, 4], [3, 5, 4], False),    # stays an axis of its own
    ([1, 3, 1, 4], [1, 3, 5, 4], [1, 15, 4], True),    # the expanded tensor has another reader
])
def test_expand_reshape_refusals(in_shape, expanded, merged, extra):
    ir = expand_reshape_graph(in_shape, expanded, merged, extra)
    assert_refused(dims._p_convert_expand_to_gather_before_rs, ir, "exp", "rs")


# ------------------------------------------------------------------ constant operands

def const_graph(op, feature, const, const_first=False):
    ins = ["c", "x"] if const_first else ["x", "c"]
    return graph([node(op, ins, ["y"], "op")], {"x": feature}, {"y": None}, {"c": const})


CHANNELS = np.broadcast_to(np.arange(64, dtype=np.float32).reshape(1, 64, 1, 1), (1, 64, 32, 32)).copy()


@pytest.mark.parametrize("op, feature, const, const_first, shrunk", [
    ("Mul", [1, 64, 32, 32], CHANNELS, False, (1, 64, 1, 1)),
    ("Add", [1, 1, 32, 32], np.full((1, 64, 32, 32), 0.5, np.float32), False, (1, 64, 1, 1)),  # widening
    ("Sub", [1, 64, 32, 32], CHANNELS, True, (1, 64, 1, 1)),
    ("Greater", [1, 64, 8, 8], CHANNELS[:, :, :8, :8], False, (1, 64, 1, 1)),
])
def test_constant_loses_repeating_axes(op, feature, const, const_first, shrunk):
    ir = const_graph(op, feature, const, const_first)
    removed, added = rewrite(dims._p_eliminate_elements_op_redundancy_const_dim, ir, "op")
    new = ir.node(added[0])
    assert removed == ["op"] and new.op_type == op and new.output == ["y"]
    assert new.input == (["c", "x"] if const_first else ["x", "c"])
    assert ir.get_const("c").shape == shrunk


@pytest.mark.parametrize("const", [np.full((1, 64, 32, 32), 0.5, np.float32), np.full(64, 2.0, np.float32)])
def test_uniform_constant_collapses_in_place(const):
    ir = const_graph("Add", [1, 64, 32, 32] if const.ndim == 4 else [1, 64, 8, 64], const)
    assert rewrite(dims._p_eliminate_elements_op_redundancy_const_dim, ir, "op") == ([], [])
    assert ir.get_const("c").shape == (1, 1, 1, 1) and ir.get_const("c").dtype == np.float32


def test_constant_refusals():
    rule = dims._p_eliminate_elements_op_redundancy_const_dim
    assert_refused(rule, const_graph("Mul", [1, 64, 8, 8], np.arange(8, dtype=np.float32)), "op")
    noise = np.random.default_rng(0).standard_normal((1, 4, 5, 5)).astype(np.float32)
    assert_refused(rule, const_graph("Div", [1, 4, 5, 5], noise), "op")
    ir = graph([node("Add", ["x", "z"], ["y"], "op")], {"x": [1, 4], "z": [1, 4]}, {"y": None})
    assert_refused(rule, ir, "op")


# ------------------------------------------------------------------ broadcast Mul

def mul_graph(a, b, **config):
    return graph([node("Mul", ["a", "b"], ["y"], "mul_1")], {"a": a, "b": b}, {"y": None}, **config)


@pytest.mark.parametrize("a, b, sizes", [([1, 64, 1, 32], [1, 1, 32, 1], {"a": [1, 1, 32, 1], "b": [1, 64, 1, 32]}),
                                         ([1, 64, 1, 1], [1, 64, 32, 32], {"a": [1, 1, 32, 32]})])
def test_broadcast_mul_gets_expands(a, b, sizes):
    ir = mul_graph(a, b)
    removed, added = rewrite(dims._p_broadcast_mul_expand, ir, "mul_1")
    assert removed == [] and added == [k + "_exp_for_mul_1" for k in sizes]
    for k, size in sizes.items():
        expand = ir.node(k + "_exp_for_mul_1")
        assert expand.input == [k, k + "_exp_for_mul_1_size"] and expand.output == [k + "_exp_for_mul_1"]
        assert ir.get_const(k + "_exp_for_mul_1_size").tolist() == size
    assert ir.node("mul_1").input == [n + "_exp_for_mul_1" if n in sizes else n for n in ("a", "b")]


def test_broadcast_mul_refusals():
    for a, b in (([1, 64, 32], [1, 1, 32]), ([1, 2, 3, 4], [1, 2, 3, 4])):
        assert_refused(dims._p_broadcast_mul_expand, mul_graph(a, b), "mul_1")
    VEXOLog.history.clear()
    assert_refused(dims._p_broadcast_mul_expand, mul_graph([1, 8, 1, 1], [1, 8, 4, 4], dynamic_shapes=True),
                   "mul_1")
    assert list(VEXOLog.history) == [
        ("warning", "The 'dynamic_input' function is enabled, disable broadcast_mul_expand!")]


# ------------------------------------------------------------------ 1x1 Resize

def resize_graph(in_shape, out_shape):
    return graph([node("Resize", ["x", "", "", "sizes"], ["y"], "rz", mode="nearest")], {"x": in_shape},
                 {"y": out_shape}, {"sizes": np.array(out_shape, I64)})


@pytest.mark.parametrize("h, w, tiles", [(8, 8, [(8, 8)]), (24, 3, [(8, 3), (3, 1)]), (40, 40, [(8, 8), (5, 5)]),
                                         (128, 128, [(8, 8), (8, 8), (2, 2)]),
                                         (50, 4, [(5, 4), (5, 1), (2, 1)])])  # three factors under 64
def test_1x1_resize_becomes_tile_chain(h, w, tiles):
    ir = resize_graph([1, 16, 1, 1], [1, 16, h, w])
    removed, added = rewrite(dims._p_convert_1x1_resize_to_tile, ir, "rz")
    names = ["rz_2tile"] if len(tiles) == 1 else ["rz_2tile_tile_%d" % t for t in range(len(tiles))]
    assert removed == ["rz"] and added == names
    data = "x"
    for t, (name, (th, tw)) in enumerate(zip(names, tiles)):
        tile = ir.node(name)
        assert tile.input == [data, "rz_2tile_repeats_%d" % t]
        assert ir.get_const(tile.input[1]).tolist() == [1, 1, th, tw]
        data = tile.output[0]
    assert data == "y" and ir.node(names[0]).output[0] == ("y" if len(tiles) == 1 else "rz_2tile_tile_out_0")


@pytest.mark.parametrize("in_shape, out_shape", [([1, 4, 1, 1], [1, 4, 11, 8]), ([1, 4, 1, 1], [1, 4, 8, 513]),
                                                 ([1, 4, 1, 1], [1, 4, 81, 8]), ([1, 4, 2, 2], [1, 4, 8, 8]),
                                                 ([4, 1, 1], [4, 8, 8]), ([1, 4, 1, 1], [1, 8, 8, 8]),
                                                 ([1], [8])])
def test_1x1_resize_refusals(in_shape, out_shape):
    assert_refused(dims._p_convert_1x1_resize_to_tile, resize_graph(in_shape, out_shape), "rz")
