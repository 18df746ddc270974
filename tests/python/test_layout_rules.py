"""Channel alignment and layout rules: Concat/Split padding, concat axis swap, NHWC consumers, exWindow."""
import numpy as np
import pytest
from onnx import helper

import vexo.api.rules.dims as dims
from rule_kit import refused, rewrite
from vexo.api.ir_graph import IrGraph
from vexo.testing import make_model

node = helper.make_node


def one_hot_columns(weight):
    """Column of the single 1 in each row of a [rows, cols, 1, 1] weight (-1 for a zero row)."""
    w = weight[:, :, 0, 0]
    assert set(np.unique(w)) <= {0.0, 1.0} and (w.sum(axis=1) <= 1).all()
    return [int(np.argmax(r)) if r.any() else -1 for r in w]


# ---------------------------------------------------------------- Concat channel alignment

def concat_ir(chs, inputs=None, producer="Relu", dtype=np.float32, axis=1, target="", align=8, consts=None):
    """Relu(x_i) for every input, concatenated; `inputs` may repeat or name constants."""
    names = inputs or ["r%d" % i for i in range(len(chs))]
    nodes = [node(producer, ["x%d" % i], ["r%d" % i], name="p%d" % i) for i in range(len(chs))]
    nodes.append(node("Concat", names, ["y"], name="cat", axis=axis))
    model = make_model(nodes, {"x%d" % i: ([1, c, 3, 2], dtype) for i, c in enumerate(chs)}, {"y": None},
                       consts=consts)
    return IrGraph(model, npu_target=target, channel_align=align)


def test_concat_pads_3_5_7_to_8_and_gathers_them_back():
    ir = concat_ir([3, 5, 7])
    quant = {"r0": "q_r0", "y": "q_y"}
    remove, add = rewrite(dims._p_convert_concat_to_conv_concat, ir, "cat", quant_tab=quant)
    assert remove == [] and [n.op_type for n in add] == ["Conv", "Conv", "Conv"]
    pad0, pad1, gather = add
    assert [one_hot_columns(ir.get_const(c.input[1])) for c in (pad0, pad1)] == [
        [0, 1, 2, -1, -1, -1, -1, -1], [0, 1, 2, 3, 4, -1, -1, -1]]
    assert pad0.attrs == {"kernel_shape": [1, 1], "dilations": [1, 1], "strides": [1, 1], "pads": [0, 0, 0, 0]}
    cat = ir.node("cat")
    assert cat.input == [pad0.output[0], pad1.output[0], "r2"] and ir.get_shape(cat.output[0]) == [1, 23, 3, 2]
    assert gather.output == ["y"] and gather.input[0] == cat.output[0]
    assert one_hot_columns(ir.get_const(gather.input[1])) == [0, 1, 2, 8, 9, 10, 11, 12] + list(range(16, 23))
    assert list(ir.weights_for_align) == [pad0.input[1], pad1.input[1], gather.input[1]]
    # The padded tensor takes the quantization of its source, the aligned concat that of the old output.
    assert quant[pad0.output[0]] == "q_r0" and quant[cat.output[0]] == "q_y"


def test_concat_shared_input_gets_one_conv_and_constants_are_padded():
    weights = np.arange(30, dtype=np.float32).reshape(1, 5, 3, 2)
    ir = concat_ir([3, 7], inputs=["r0", "k", "r0", "r1"], consts={"k": weights})
    remove, add = rewrite(dims._p_convert_concat_to_conv_concat, ir, "cat")
    pad, gather = add  # one Conv for both r0 positions, none for the constant
    cat = ir.node("cat")
    assert cat.input == [pad.output[0], "k_pad", pad.output[0], "r1"]
    padded = ir.get_const("k_pad")
    assert padded.dtype == np.float32 and padded.shape == (1, 8, 3, 2)
    assert (padded[:, :5] == weights).all() and not padded[:, 5:].any()
    assert (ir.get_const("k") == weights).all()
    assert list(ir.weights_for_align) == [pad.input[1], gather.input[1]]


@pytest.mark.parametrize("case", ["softmax", "no_producer", "integer", "float16", "axis_-3", "rank_3",
                                  "too_wide", "aligned", "last_only", "last_by_name"])
def test_concat_refusals_leave_the_graph_alone(case):
    kw = {"softmax": dict(producer="Softmax"), "integer": dict(producer="Neg", dtype=np.int32),
          "float16": dict(dtype=np.float16), "axis_-3": dict(axis=-3)}.get(case, {})
    chs = {"aligned": [8, 16, 3], "last_only": [8, 8, 5], "too_wide": [1001, 1048], "last_by_name": [8, 5]}
    inputs = ["r1", "r0", "r1"] if case == "last_by_name" else None
    ir = concat_ir(chs.get(case, [3, 5, 7]), inputs=inputs, **kw)
    if case == "no_producer":
        for i in range(3):
            ir.node("cat").input[i] = "x%d" % i
    if case == "rank_3":
        ir.set_shape("y", [1, 15, 6])
    refused(dims._p_convert_concat_to_conv_concat, ir, "cat")


@pytest.mark.parametrize("target,chs,handled", [("", [1000, 1048], True), ("n7", [1000, 1049], True),
                                                ("x4", [1000, 1049], True)])
def test_concat_channel_limit_spares_n7_and_x4(target, chs, handled):
    ir = concat_ir(chs, target=target, align=16)
    assert bool(dims._p_convert_concat_to_conv_concat(ir, [ir.node("cat")])[1]) == handled


# ---------------------------------------------------------------- Split channel alignment

class UnusedOutputsInvalid(IrGraph):
    """An IR graph that calls an output nobody reads invalid."""

    def is_invalid(self, name):
        return name == "" or (name not in self.outputs and not self.consumers(name))


def split_ir(chs, producer="Relu", dtype=np.float32, axis=1, unused=(), cls=IrGraph, target=""):
    outs = ["o%d" % i for i in range(len(chs))]
    model = make_model([node(producer, ["x"], ["r"], name="p"), node("Split", ["r", "sz"], outs, name="split",
                                                                       axis=axis)],
                       {"x": ([1, sum(chs), 2, 3], dtype)}, {o: None for o in outs if o not in unused},
                       consts={"sz": np.array(chs, np.int64)})
    return cls(model, channel_align=8, npu_target=target)


def test_split_scatters_3_5_7_into_aligned_blocks():
    ir = split_ir([3, 5, 7], producer="Softmax")  # unlike Concat, a softmax producer does not matter
    quant = {"r": "q_r", "o0": "q_o0"}
    remove, add = rewrite(dims._p_convert_split_to_conv_split, ir, "split", quant_tab=quant)
    take0, take1, scatter = add
    split = ir.node("split")
    assert take0.output == ["o0"] and take1.output == ["o1"] and split.output[2] == "o2"
    assert split.output[:2] == [take0.input[0], take1.input[0]] and split.input[0] == scatter.output[0]
    assert [ir.get_shape(t) for t in split.output] == [[1, 8, 2, 3], [1, 8, 2, 3], [1, 7, 2, 3]]
    assert one_hot_columns(ir.get_const(take1.input[1])) == [0, 1, 2, 3, 4]
    scatter_w = ir.get_const(scatter.input[1])
    assert scatter_w.shape == (23, 15, 1, 1)
    assert one_hot_columns(scatter_w.transpose(1, 0, 2, 3)) == [0, 1, 2, 8, 9, 10, 11, 12] + list(range(16, 23))
    assert list(ir.weights_for_align) == []
    assert quant[take0.input[0]] == "q_o0" and quant[scatter.output[0]] == "q_r"
    assert (ir.get_const("sz") == [3, 5, 7]).all()  # other readers keep the old sizes


def test_split_invalid_output_keeps_its_block_without_a_conv():
    ir = split_ir([3, 5, 7], unused=["o1"], cls=UnusedOutputsInvalid)
    remove, add = rewrite(dims._p_convert_split_to_conv_split, ir, "split")
    assert [n.output for n in add[:-1]] == [["o0"]]
    assert ir.node("split").output[1] == "o1"
    assert ir.get_const(add[-1].input[1]).shape == (23, 15, 1, 1)


@pytest.mark.parametrize("case", ["all_invalid", "too_wide_n7", "integer", "float16", "rank_3", "axis_0",
                                  "last_only", "aligned"])
def test_split_refusals_leave_the_graph_alone(case):
    chs = {"too_wide_n7": [1001, 1048], "last_only": [8, 16, 5], "aligned": [8, 16]}.get(case, [3, 5, 7])
    kw = {"all_invalid": dict(unused=["o0", "o1"], cls=UnusedOutputsInvalid), "too_wide_n7": dict(target="n7"),
          "integer": dict(producer="Neg", dtype=np.int64), "float16": dict(dtype=np.float16)}.get(case, {})
    ir = split_ir(chs, **kw)
    if case == "rank_3":
        ir.set_shape("r", [1, 15, 6])
    if case == "axis_0":
        ir.set_attr(ir.node("split"), "axis", 0)
    refused(dims._p_convert_split_to_conv_split, ir, "split")


# ---------------------------------------------------------------- Concat axis swap

def swap_ir(chs, hw=(1, 20), producer="Reshape", consumer="Reshape", axis=1, const=None):
    h, w = hw
    nodes, inputs, consts = [], {}, {"so": np.array([-1], np.int64)}
    for i, c in enumerate(chs):
        nodes.append(node(producer, ["x%d" % i] + (["s%d" % i] if producer == "Reshape" else []), ["r%d" % i],
                          name="p%d" % i))
        inputs["x%d" % i] = [c * h * w] if producer == "Reshape" else [1, c, h, w]
        consts["s%d" % i] = np.array([1, c, h, w], np.int64)
    names = ["r%d" % i for i in range(len(chs))] + (["k"] if const is not None else [])
    if const is not None:
        consts["k"] = const
    nodes.append(node("Concat", names, ["c"], name="cat", axis=axis))
    nodes.append(node(consumer, ["c"] + (["so"] if consumer == "Reshape" else []), ["y"], name="after"))
    return IrGraph(make_model(nodes, inputs, {"y": None}, consts=consts))


@pytest.mark.parametrize("hw,k_shape", [((1, 20), [1, 1, 2, 20]), ((20, 1), [1, 1, 2, 20]), ((1, 1), [1, 1, 2, 1])])
def test_concat_axis_swap_moves_channels_to_height(hw, k_shape):
    const = np.random.default_rng(1).standard_normal((1, 2) + hw).astype(np.float32)
    ir = swap_ir([3, 5], hw=hw, const=const)
    remove, add = rewrite(dims._p_swap_concat_axis_avoid_channel_concat, ir, "cat")
    assert [n.op_type for n in add] == ["Reshape"] * 3 and ir.get_attr(ir.node("cat"), "axis") == 2
    assert [ir.get_shape(t) for t in ir.node("cat").input[:2]] == [[1, 1, 3, k_shape[3]], [1, 1, 5, k_shape[3]]]
    assert ir.get_shape("k") == k_shape and ir.node("cat").input[2] == "k"
    assert add[-1].output == ["c"] and ir.get_shape("c") == [1, 10, *hw]


@pytest.mark.parametrize("kw", [dict(producer="Relu"), dict(consumer="Relu"), dict(axis=-3), dict(hw=(4, 4))])
def test_concat_axis_swap_refusals(kw):
    ir = swap_ir([3, 5], **kw)
    refused(dims._p_swap_concat_axis_avoid_channel_concat, ir, "cat")


def test_concat_axis_swap_needs_producers():
    model = make_model([node("Concat", ["x0", "x1"], ["c"], name="cat", axis=1),
                        node("Reshape", ["c", "so"], ["y"], name="after")],
                       {"x0": [1, 3, 1, 4], "x1": [1, 5, 1, 4]}, {"y": None}, consts={"so": np.array([-1])})
    refused(dims._p_swap_concat_axis_avoid_channel_concat, IrGraph(model), "cat")


# ---------------------------------------------------------------- NHWC to NCHW

def nhwc_ir(consumers, producer="tf2onnx", perm=(0, 2, 3, 1), consts=None, inputs=None, opset=17):
    nodes = [node("Transpose", ["x"], ["t"], name="tp", perm=list(perm))] + consumers
    read = {i for n in consumers for i in n.input}
    outs = {o: None for n in consumers for o in n.output if o not in read}
    inputs = {"x": [1, 3, 4, 5], **(inputs or {})}
    return IrGraph(make_model(nodes, inputs, outs, consts=consts, producer=producer, opset=opset))


def test_nhwc_consumers_run_in_nchw():
    consts = {"c": np.arange(3, dtype=np.float32), "pads": np.array([0, 1, 2, 1, 0, 2, 1, 2]),
              "cv": np.array(0.5, np.float32), "lo": np.array(-0.5, np.float32), "hi": np.array(0.5, np.float32),
              "w": np.ones((2, 4, 1, 1), np.float32)}
    ir = nhwc_ir([node("Mul", ["t", "c"], ["m"], name="mul"), node("Add", ["c", "t"], ["a"], name="add"),
                  node("Pad", ["t", "pads", "cv"], ["p"], name="pad"),
                  node("Clip", ["t", "lo", "hi"], ["cl"], name="clip"),
                  node("LeakyRelu", ["t"], ["lr"], name="lrelu", alpha=0.2),
                  node("Conv", ["t", "w"], ["cv_out"], name="conv")], producer="tflite2onnx", consts=consts)
    remove, add = rewrite(dims._p_convert_tf_nhwc_to_nchw, ir, "tp")
    # One Transpose in and one out per supported consumer; the shared constant is rearranged once.
    assert len(add) == 10 and all(n.op_type == "Transpose" for n in add)
    assert ir.get_const("c").shape == (1, 3, 1, 1)
    assert ir.get_const("pads").tolist() == [0, 1, 1, 2, 0, 2, 2, 1]
    assert ir.node("pad").input[1:] == ["pads", "cv"] and ir.node("clip").input[1:] == ["lo", "hi"]
    assert ir.node("conv").input[0] == "t" and ir.node("mul").output == [add[1].input[0]]


@pytest.mark.parametrize("producer,perm", [("", (0, 2, 3, 1)), ("pytorch", (0, 2, 3, 1)),
                                           ("tf2onnx", (0, 3, 1, 2))])
def test_nhwc_needs_a_tf_model_and_an_nhwc_transpose(producer, perm):
    ir = nhwc_ir([node("Relu", ["t"], ["r"], name="relu")], producer=producer, perm=perm)
    refused(dims._p_convert_tf_nhwc_to_nchw, ir, "tp")


def test_nhwc_leaves_pads_it_cannot_rearrange():
    # Pads known only at run time, and pads of selected axes, stay as they are; the Mul is still rewritten.
    consumers = [node("Pad", ["t", "pads_in"], ["p"], name="pad"), node("ReduceSum", ["p"], ["ps"], keepdims=0),
                 node("Pad", ["t", "hw_pads", "", "axes"], ["q"], name="pad_hw"),
                 node("Mul", ["t", "c"], ["m"], name="mul")]
    ir = nhwc_ir(consumers, opset=18, inputs={"pads_in": ([8], np.int64)},
                 consts={"c": np.ones((1, 1, 1, 3), np.float32), "hw_pads": np.array([1, 0, 0, 2]),
                         "axes": np.array([1, 2])})
    remove, add = rewrite(dims._p_convert_tf_nhwc_to_nchw, ir, "tp")
    assert len(add) == 2 and ir.node("pad").input[0] == "t" and ir.node("pad_hw").input[0] == "t"
    assert ir.get_const("hw_pads").tolist() == [1, 0, 0, 2]


def test_nhwc_constant_above_rank_4_is_an_error_before_any_write():
    ir = nhwc_ir([node("Relu", ["t"], ["r"], name="relu"), node("Mul", ["t", "v"], ["m"], name="mul")],
                 consts={"v": np.ones((1, 1, 1, 1, 3), np.float32)})
    with pytest.raises(ValueError, match="Mul 'mul'.*more than four axes"):
        dims._p_convert_tf_nhwc_to_nchw(ir, [ir.node("tp")])
    assert ir.changes == 0


# ---------------------------------------------------------------- window partition to exWindow

def window_ir(in_shape, shape_1, perm, shape_2):
    nodes = [node("Relu", ["x"], ["r"], name="relu"), node("Reshape", ["r", "s1"], ["a"], name="rs1"),
             node("Transpose", ["a"], ["b"], name="tp", perm=list(perm)),
             node("Reshape", ["b", "s2"], ["y"], name="rs2")]
    consts = {"s1": np.array(shape_1, np.int64), "s2": np.array(shape_2, np.int64)}
    return IrGraph(make_model(nodes, {"x": in_shape}, {"y": None}, consts=consts))


CHAIN = ["rs1", "tp", "rs2"]


@pytest.mark.parametrize("ws,nw,c", [(7, 8, 96), (7, 2, 16), (4, 4, 32), (2, 3, 8)])
@pytest.mark.parametrize("mode", ["partition", "reverse", "partition_num_first"])
def test_swin_window_chains_become_exwindow(mode, ws, nw, c):
    h = ws * nw
    if mode == "partition":
        ir = window_ir([1, h, h, c], [1, nw, ws, nw, ws, c], [0, 1, 3, 2, 4, 5], [-1, ws * ws, c])
    elif mode == "reverse":
        ir = window_ir([nw * nw, ws, ws, c], [1, nw, nw, ws, ws, c], [0, 1, 3, 2, 4, 5], [1, h, h, c])
    else:
        ir = window_ir([1, h, h, c], [1, ws, nw, ws, nw, c], [0, 2, 4, 1, 3, 5], [-1, ws * ws, c])
    remove, add = rewrite(dims._p_fuse_reshape_tp_reshape_to_exWindow, ir, *CHAIN)
    assert [n.name for n in remove] == ["rs1", "tp"]
    assert [n.op_type for n in add] == ["Reshape", "Transpose", "exWindow", "Transpose"]
    win = add[2]
    if ws == nw and mode == "reverse":
        mode = "partition"  # all four extents equal: partition is tried first, and means the same
    assert win.name == "tp_2win" and win.attrs == {"mode": mode, "window_sizes": [ws, ws],
                                                   "num_windows": [nw, nw]}
    assert add[1].attrs["perm"] == [0, 3, 1, 2] and add[3].attrs["perm"] == [0, 2, 3, 1]
    assert ir.node("rs2").input[0] == add[3].output[0]


def test_trailing_window_axes_need_no_transposes():
    ir = window_ir([1, 96, 56, 56], [1, 96, 8, 7, 8, 7], [0, 1, 2, 4, 3, 5], [1, 96, 64, 49])
    remove, add = rewrite(dims._p_fuse_reshape_tp_reshape_to_exWindow, ir, *CHAIN)
    assert [n.op_type for n in add] == ["Reshape", "exWindow"]
    assert ir.get_const(add[0].input[1]).tolist() == [1, 96, 56, 56]


@pytest.mark.parametrize("chain", [
    ([1, 56, 56], [8, 7, 8, 7 * 56], [0, 2, 1, 3], [-1]),                  # rank 4 Transpose
    ([1, 56, 28, 96], [1, 8, 7, 4, 7, 96], [0, 1, 3, 2, 4, 5], [-1]),       # 8 x 4 windows
    ([8, 56, 56, 96], [8, 8, 7, 8, 7, 96], [0, 1, 3, 2, 4, 5], [-1]),       # batch 8 found first, sizes differ
    ([72], [2, 1, 2, 3, 2, 3], [0, 1, 2, 4, 3, 5], [-1]),                   # run overshoots past the last axis
])
def test_window_refusals(chain):
    refused(dims._p_fuse_reshape_tp_reshape_to_exWindow, window_ir(*chain), *CHAIN)


def test_window_chain_with_a_shared_middle_tensor_stays():
    ir = window_ir([1, 56, 56, 96], [1, 8, 7, 8, 7, 96], [0, 1, 3, 2, 4, 5], [-1, 49, 96])
    ir.outputs.append("b")
    refused(dims._p_fuse_reshape_tp_reshape_to_exWindow, ir, *CHAIN)


# ---------------------------------------------------------------- hostile input

@pytest.mark.parametrize("rule", ["_p_convert_concat_to_conv_concat", "_p_convert_split_to_conv_split",
                                  "_p_swap_concat_axis_avoid_channel_concat", "_p_convert_tf_nhwc_to_nchw",
                                  "_p_fuse_reshape_tp_reshape_to_exWindow"])
def test_short_node_lists_raise(rule):
    with pytest.raises(IndexError, match=rule):
        getattr(dims, rule)(concat_ir([3, 5]), [])


def test_malformed_shapes_are_named():
    ir = concat_ir([3, 5])
    ir.set_shape("r0", [3])
    with pytest.raises(IndexError, match="'r0'"):
        dims._p_convert_concat_to_conv_concat(ir, [ir.node("cat")])
    ir = window_ir([1, 56, 56, 96], [1, 8, 7, 8, 7, 96], [0, 1, 3, 2, 4, 5], [-1, 49, 96])
    ir.set_attr(ir.node("tp"), "perm", [0, 1, 3, 2])
    with pytest.raises(ValueError, match="Transpose 'tp'"):
        dims._p_fuse_reshape_tp_reshape_to_exWindow(ir, [ir.node(n) for n in CHAIN])


# ---------------------------------------------------------------- against a host built from the contracts alone

@pytest.fixture
def contract_host(monkeypatch):
    import independent_host as host

    class RecordingGraph(host.Graph):
        made = []

        def __init__(self, ir):
            super().__init__(ir)
            RecordingGraph.made.append(self)

    host.install(monkeypatch, dims)
    monkeypatch.setattr(dims, "Graph", RecordingGraph)
    return host, lambda: [(op, [None if i is None else i if isinstance(i, str) else np.asarray(i) for i in ins], kw)
                          for g in RecordingGraph.made for op, ins, kw in g.ops]


CONV_KW = {"kernel_shape": (1, 1), "dilations": (1, 1), "strides": (1, 1), "pads": (0, 0, 0, 0)}


def test_contract_host_sees_the_exact_conv_calls(contract_host):
    host, ops = contract_host
    relu = host.Node("Relu", ["x"], ["r0"])
    cat = host.Node("Concat", ["r0", "k", "r2"], ["y"], name="cat", axis=1)
    ir = host.Ir([relu, cat], shapes={"r0": [1, 3, 2, 2], "r2": [1, 7, 2, 2], "y": [1, 15, 2, 2]},
                 consts={"k": np.ones((1, 5, 2, 2), np.float32)})
    quant = {"y": "q_y"}
    _, (pad, gather) = dims._p_convert_concat_to_conv_concat(ir, [cat], quant)
    (op0, in0, kw0), (op1, in1, kw1) = ops()
    assert (op0, in0[0], kw0) == ("Conv", "r0", CONV_KW) and list(kw1) == ["outputs"] + list(CONV_KW)
    assert in1[0] is None and kw1["outputs"] == "y" and in1[1].shape == (15, 23, 1, 1)
    assert cat.input == [pad.output[0], "k_pad_free", "r2"] and cat.output == gather.input[:1]
    assert ir.weights_for_align == [pad.input[1], gather.input[1]] and quant[gather.input[0]] == "q_y"

    split = host.Node("Split", ["x"], ["a", "", "c"], name="split", axis=1)  # the empty name is invalid
    ir = host.Ir([split], shapes={"x": [1, 15, 2, 2], "a": [1, 3, 2, 2], "": [1, 5, 2, 2], "c": [1, 7, 2, 2]})
    _, (take, scatter) = dims._p_convert_split_to_conv_split(ir, [split])
    (_, _, kw_take), (_, in_sc, kw_sc) = ops()[2:]
    assert kw_take["outputs"] == "a" and in_sc[0] == "x" and kw_sc == CONV_KW
    assert split.output == [take.input[0], "", "c"] and split.input == scatter.output
    assert ir.const_values[scatter.input[1]].shape == (23, 15, 1, 1) and ir.weights_for_align == []


def test_contract_host_sees_the_exact_layout_calls(contract_host):
    host, ops = contract_host
    rs1 = host.Node("Reshape", ["r", "s1"], ["a"], name="rs1")
    tp = host.Node("Transpose", ["a"], ["b"], name="tp", perm=[0, 1, 3, 2, 4, 5])
    rs2 = host.Node("Reshape", ["b", "s2"], ["y"], name="rs2")
    ir = host.Ir([rs1, tp, rs2], shapes={"r": [1, 56, 56, 96], "a": [1, 8, 7, 8, 7, 96], "b": [1, 8, 8, 7, 7, 96]})
    remove, add = dims._p_fuse_reshape_tp_reshape_to_exWindow(ir, [rs1, tp, rs2])
    (_, rs_in, _), tp_in, win, tp_out = ops()
    assert remove == [rs1, tp] and rs_in[1].dtype == np.int64 and rs_in[1].tolist() == [1, 56, 56, 96]
    assert tp_in[2] == {"perm": [0, 3, 1, 2]} and tp_out[2] == {"perm": [0, 2, 3, 1]}
    assert win[2] == {"name": "tp_2win", "mode": "partition", "window_sizes": [7, 7], "num_windows": [8, 8]}
    assert rs2.input[0] == add[-1].output[0]

    t = host.Node("Transpose", ["x"], ["t"], name="t", perm=[0, 2, 3, 1])
    mul = host.Node("Mul", ["t", "c"], ["m"], name="mul")
    ir = host.Ir([t, mul], shapes={"x": [1, 3, 4, 5], "t": [1, 4, 5, 3]}, consts={"c": np.ones(3, np.float32)},
                 producer_name="tf2onnx")
    dims._p_convert_tf_nhwc_to_nchw(ir, [t])
    assert [kw for _, _, kw in ops()[4:]] == [{"perm": [0, 3, 1, 2]}, {"perm": [0, 2, 3, 1], "outputs": "m"}]
    assert ir.const_values["c"].shape == (1, 3, 1, 1)

    prods = [host.Node("Reshape", ["x%d" % i], ["r%d" % i]) for i in range(2)]
    cat = host.Node("Concat", ["r0", "r1"], ["c"], name="cat", axis=1)
    after = host.Node("Reshape", ["c"], ["y"])
    ir = host.Ir(prods + [cat, after], shapes={"r0": [1, 3, 1, 20], "r1": [1, 5, 1, 20], "c": [1, 8, 1, 20]})
    dims._p_swap_concat_axis_avoid_channel_concat(ir, [cat])
    assert [list(i[1]) for _, i, _ in ops()[6:8]] == [[1, 1, 3, 20], [1, 1, 5, 20]]
    assert ops()[8][2] == {"outputs": ["c"]} and ("set_attr", "cat", "axis", 2) in ir.writes()
