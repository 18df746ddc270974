"""The host layer: IR graph, builder, helper functions and the equivalence harness."""
import gc

import numpy as np
import onnx
import pytest
from onnx import helper

from vexo import _core
from vexo.api import ir_utils, vexo_utils
from vexo.api.ir_graph import IrGraph, ModelError
from vexo.api.rules.utils import Graph, copy_par, oper_name_join
from vexo.api.vexo_log import VEXOLog, VexoError
from vexo.testing import assert_equivalent, make_model, run_model


def relu_softmax_model():
    return make_model([helper.make_node("Relu", ["x"], ["y"], name="relu"),
                       helper.make_node("exSoftmax13", ["y"], ["z"], name="sm", axis=1)],
                      {"x": [1, 64, 100]}, {"z": None})


def test_load_records_shapes_constants_and_unique_names(tmp_path):
    const = helper.make_node("Constant", [], ["c"], value=onnx.numpy_helper.from_array(np.ones(3, np.float32)))
    model = make_model([const, helper.make_node("Add", ["x", "c"], ["y"]), helper.make_node("Neg", ["y"], ["z"], name="Add_node")],
                       {"x": [2, 3]}, {"z": [2, 3]})
    ir = IrGraph(model)
    assert "c" in ir.consts and ir.get_const("c").shape == (3,)
    assert [n.op_type for n in ir.nodes] == ["Add", "Neg"]
    # the unnamed node is named, and not with a name the model gives another
    assert [n.name for n in ir.nodes] == ["Add_node_1", "Add_node"]
    assert [n.name for n in ir.find("Neg")] == ["Add_node"] and ir.find("Relu") == []
    assert ir.get_shape("y") == [2, 3] and ir.get_dtype("y") == np.float32
    path = tmp_path / "m.onnx"
    ir.save(path)
    onnx.checker.check_model(onnx.load(str(path)))
    assert onnx.load(str(path)).ir_version == 8  # written for runtimes that read IR 8


@pytest.mark.parametrize("attr,value,expected", [
    ("value_float", 2.5, np.array(2.5, np.float32)),
    ("value_floats", [1.5, -2.0], np.array([1.5, -2.0], np.float32)),
    ("value_int", 7, np.array(7, np.int64)),
    ("value_ints", [3, -4], np.array([3, -4], np.int64)),
])
def test_a_constant_node_of_every_value_attribute_is_read_as_its_constant(attr, value, expected):
    model = make_model([helper.make_node("Constant", [], ["c"], **{attr: value}),
                        helper.make_node("Identity", ["c"], ["y"], name="id")], {}, {"y": list(expected.shape)})
    got = IrGraph(model).get_const("c")
    assert got.dtype == expected.dtype and got.tolist() == expected.tolist()


def test_custom_ops_get_shapes_and_a_domain():
    ir = IrGraph(relu_softmax_model())
    assert ir.get_shape("z") == [1, 64, 100]
    assert ir.node("sm").domain == "vexo.ex"
    # handed over as an onnx NodeProto without a domain, an ex* operator gets the converter's too
    ir.apply(([], [helper.make_node("exSoftmax13", ["y"], ["w"], name="sm2", axis=2)]))
    assert ir.node("sm2").domain == "vexo.ex" and ir.get_shape("w") == [1, 64, 100]
    onnx.checker.check_model(ir.to_model())


def test_attributes_of_every_kind_read_back_as_given_and_as_written(tmp_path):
    kinds = dict(i=3, f=0.5, s="same", ints=[1, 2], floats=[0.25, 1.5], strings=["a", "bc"],
                 t=onnx.numpy_helper.from_array(np.arange(3, dtype=np.int64)))
    model = make_model([helper.make_node("Relu", ["x"], ["y"], name="r"),
                        helper.make_node("exCustom", ["y"], ["z"], name="c", **kinds)],
                       {"x": [1, 2]}, {"z": [1, 2]})
    ir = IrGraph(model)
    path = tmp_path / "m.onnx"
    ir.save(path)
    for graph in (ir, IrGraph(onnx.load(str(path)))):
        attrs = graph.node("c").attrs
        assert {k: attrs[k] for k in ("i", "f", "s", "ints", "floats", "strings")} == \
            dict(i=3, f=0.5, s="same", ints=[1, 2], floats=[0.25, 1.5], strings=["a", "bc"])
        assert np.array_equal(attrs["t"], np.arange(3))


def test_a_node_left_as_read_is_written_with_its_bytes_as_read(tmp_path):
    node = helper.make_node("LpNormalization", ["x"], ["y"], name="n")
    node.attribute.extend([helper.make_attribute("p", 2),  # not sorted by name, and a field the typed value lacks
                           helper.make_attribute("axis", 1, doc_string="kept")])
    as_read = node.SerializeToString()
    data = make_model([node], {"x": [2, 3]}, {"y": [2, 3]}).SerializeToString()
    ir = IrGraph(data)
    del data  # the graph keeps what it read from alive
    gc.collect()
    ir.begin()
    ir.set_attr(ir.node("n"), "p", 1)
    ir.rollback()  # the node comes back as read
    ir.save(tmp_path / "same.onnx")
    assert as_read in (tmp_path / "same.onnx").read_bytes()
    ir.set_attr(ir.node("n"), "p", 1)
    ir.save(tmp_path / "changed.onnx")
    assert as_read not in (tmp_path / "changed.onnx").read_bytes()
    changed = onnx.load(str(tmp_path / "changed.onnx")).graph.node[0].attribute
    assert {a.name: (a.i, a.doc_string) for a in changed} == dict(p=(1, ""), axis=(1, "kept"))  # axis as read


def test_a_port_change_that_runs_an_edge_backwards_renumbers_the_graph():
    """'first' is made to read what 'second', after it, writes: the order follows once the writes are settled."""
    nodes = [helper.make_node("Relu", ["x"], ["a"], name="first"), helper.make_node("Neg", ["x"], ["b"], name="second"),
             helper.make_node("Add", ["a", "b"], ["y"], name="add")]
    ir = IrGraph(make_model(nodes, {"x": [2]}, {"y": [2]}))
    ir.node("first").input[0] = "b"
    ir.forget_written()
    assert [n.name for n in ir.nodes] == ["second", "first", "add"]


def test_light_models_keep_only_values_shape_inference_may_read():
    # integers up to 1,024 elements and anything up to 16 keep their values; every other weight is a typed input
    consts = {"i1024": np.ones(1024, np.int64), "i1025": np.ones(1025, np.int64),
              "f16": np.ones(16, np.float32), "f17": np.ones(17, np.float32)}
    nodes = [helper.make_node("Add", ["x_" + k, k], ["y_" + k], name="add_" + k) for k in consts]
    model = make_model(nodes, {"x_" + k: (list(v.shape), v.dtype) for k, v in consts.items()},
                       {"y_" + k: (list(v.shape), v.dtype) for k, v in consts.items()}, consts=consts)
    ir = IrGraph(model)
    for light in (onnx.load_from_string(ir._model_bytes(light=True)),
                  onnx.load_from_string(_core._light_source(model.SerializeToString()))):
        assert sorted(i.name for i in light.graph.initializer) == ["f16", "i1024"]
        assert {"f17", "i1025"} <= {i.name for i in light.graph.input}
    assert not ir._light_keeps_every_weight()


def test_a_weight_given_as_typed_values_with_a_doc_string_keeps_both(tmp_path):
    weight = helper.make_tensor("w", onnx.TensorProto.FLOAT, [8], [0.5 * k for k in range(8)])  # float_data
    weight.doc_string = "kept"
    model = make_model([helper.make_node("Add", ["x", "w"], ["y"], name="add")], {"x": [8]}, {"y": [8]})
    model.graph.initializer.append(weight)
    ir = IrGraph(model)
    noise = [IrGraph(relu_softmax_model()) for _ in range(3)]  # reuses whatever memory was freed
    assert ir.get_const("w").tolist() == [0.5 * k for k in range(8)] and noise
    path = tmp_path / "m.onnx"
    ir.save(path)
    [written] = onnx.load(str(path)).graph.initializer
    assert written.doc_string == "kept" and onnx.numpy_helper.to_array(written).tolist() == [0.5 * k for k in range(8)]


def test_equal_small_constants_share_their_bytes_and_change_apart():
    ir = IrGraph(relu_softmax_model())
    for name in ("a", "b"):
        ir.set_const(name, np.array([1, 64, 1, 100], np.int64))
        ir.set_const("big_" + name, np.arange(9, dtype=np.int64))  # 72 bytes: each its own
    assert np.shares_memory(ir.get_const("a"), ir.get_const("b"))
    assert not np.shares_memory(ir.get_const("big_a"), ir.get_const("big_b"))
    ir.set_const("a", np.array([2], np.int64))
    assert ir.get_const("b").tolist() == [1, 64, 1, 100]


def test_complex_and_string_weights_read_and_written_with_their_values(tmp_path):
    # complex ones by their bytes, strings (no byte layout) as the TensorProto read, under their own name
    values = {"c64": np.array([1 + 2j, -3j], np.complex64), "c128": np.array([0.5 - 1j, 2 + 0j], np.complex128),
              "s": np.array([b"a", b"bc"], dtype=object)}
    nodes = [helper.make_node("Identity", [k], ["y_" + k], name="id_" + k) for k in values]
    model = make_model(nodes, {}, {"y_" + k: (list(v.shape), np.dtype(object) if k == "s" else v.dtype)
                                   for k, v in values.items()}, consts=values)
    path = tmp_path / "m.onnx"
    IrGraph(model).save(path)
    written = {i.name: onnx.numpy_helper.to_array(i) for i in onnx.load(str(path)).graph.initializer}
    expected = dict(values, s=np.array(["a", "bc"], dtype=object))  # onnx reads strings back as text
    assert all(np.array_equal(written[k], v) and written[k].dtype == v.dtype for k, v in expected.items())


def test_each_graph_takes_its_own_names_and_a_rollback_gives_them_back():
    first, second = IrGraph(relu_softmax_model()), IrGraph(relu_softmax_model())
    assert [first.unique_name("fresh") for _ in range(2)] == ["fresh", "fresh_1"]
    assert [second.unique_name("fresh") for _ in range(3)] == ["fresh", "fresh_1", "fresh_2"]
    assert first.unique_name("fresh") == "fresh_2"
    first.begin()
    assert first.unique_name("other") == "other" and second.unique_name("other") == "other"
    first.rollback()
    assert first.unique_name("other") == "other" and second.unique_name("other") == "other_1"


def test_settling_a_graph_keeps_the_names_it_holds_and_frees_the_rest():
    first, second = IrGraph(relu_softmax_model()), IrGraph(relu_softmax_model())
    node = first.nodes[0]
    assert first.unique_name("spare") == "spare"
    first._settle()
    assert first.unique_name("spare") == "spare"  # made and never used: free again
    for graph in (first, second):  # the other graph's names are its own still
        assert graph.unique_name(node.name) == node.name + "_1"
        assert graph.unique_name(node.output[0]) == node.output[0] + "_1"


def test_names_stay_apart_past_the_first_table_of_the_name_pool():
    ir = IrGraph(relu_softmax_model())
    names = [ir.unique_name("pool") for _ in range(70000)]  # the pool's first table holds 65,536
    assert len(set(names)) == len(names) and names[-1] == "pool_69999"


def test_dangling_tensor_and_cycle_are_reported():
    dangling = make_model([helper.make_node("Add", ["x", "nowhere"], ["y"], name="add")], {"x": [2]}, {"y": [2]})
    with pytest.raises(ModelError, match="node 'add'.*'nowhere'"):
        IrGraph(dangling)
    cyc = make_model([helper.make_node("Add", ["x", "b"], ["a"], name="n1"),
                      helper.make_node("Neg", ["a"], ["b"], name="n2")], {"x": [2]}, {"b": [2]})
    with pytest.raises(ModelError, match="cycle"):
        IrGraph(cyc)


def test_reshape_wrapping_by_hand_stays_equivalent():
    ir = IrGraph(relu_softmax_model())
    before = ir.to_model()
    relu = ir.node("relu")
    g = Graph(ir)
    relu.input[0] = g.op("Reshape", relu.input[0], [1, 64, 1, 100])
    fresh = g.op("Reshape", None, [1, 64, 100], outputs=[relu.output[0]])
    relu.output[0] = fresh
    ir.apply(([], g.nodes))
    assert ir.next_nodes(relu) == [g.nodes[1]] and ir.pre_nodes(relu) == [g.nodes[0]]
    assert ir.get_shape(fresh) == [1, 64, 1, 100]
    assert [n.op_type for n in ir.nodes] == ["Reshape", "Relu", "Reshape", "exSoftmax13"]
    assert_equivalent(before, ir.to_model())


def test_builder_constants_names_and_keywords():
    ir = IrGraph(relu_softmax_model())
    g = Graph(ir)
    a = g.op("Reshape", "x", [64, 100])
    b = g.op("Mul", a, np.array([2.0], np.float32), name="scale")
    c = g.op("Pow", b, [0.5], outputs="pz", keepdims=None)
    assert c == "pz" and ir.get_shape(b) == [64, 100]
    assert ir.get_const(g.nodes[0].input[1]).dtype == np.int64
    assert ir.get_const(g.nodes[2].input[1]).dtype == np.float32
    assert "keepdims" not in g.nodes[2].attrs and g.nodes[1].name == "scale"
    # Past four made inputs the names are still the node's, in order, and the output's stays its own.
    cut = g.op("Slice", "x", [0], [1], [0], [1], name="cut")
    assert g.nodes[3].input == ["x", "cut_c1", "cut_c2", "cut_c3", "cut_c4"] and cut == "cut_out"
    assert g.op("Concat", None, None, None, None, None, name="cat", outputs_ref="c", axis=0) == "c_out"
    assert g.nodes[4].input == ["c_in%d" % k for k in range(5)] and g.nodes[4].output == ["c_out"]
    long = "t" * 120  # names longer than the room kept for them in place
    assert [g.op("Relu", "x", outputs_ref=long) for _ in range(2)] == [long + "_out", long + "_out_1"]
    names = {t for n in g.nodes for t in n.input + n.output} | {n.name for n in g.nodes}
    assert not names & {"x", "y", "z", "relu", "sm"} - {"x"}
    proto = helper.make_node("Foo", ["x"], ["y"], names=["a", "b"], k=3, mode="m")  # a rule may read one
    assert [ir.get_attr(proto, k) for k in ("names", "k", "mode", "none")] == [["a", "b"], 3, "m", None]


def test_rollback_restores_everything():
    ir = IrGraph(relu_softmax_model())
    snapshot = ir.to_model().SerializeToString()
    ir.begin()
    relu = ir.node("relu")
    g = Graph(ir)
    relu.input[0] = g.op("Reshape", "x", [64, 100, 1])
    ir.set_attr(ir.node("sm"), "axis", 2)
    ir.set_attr(relu, "alpha", 0.5)  # a new attribute: its undo removes it, not another
    ir.set_shape("y", [64, 100, 1])
    ir.weights_for_align.append("w")
    ir.apply(([ir.node("sm")], g.nodes))
    assert ir.changes > 0
    ir.rollback()
    assert ir.to_model().SerializeToString() == snapshot
    assert ir.weights_for_align == [] and ir.next_nodes(ir.node("relu"))[0].name == "sm"
    assert dict(relu.attrs) == {} and dict(ir.node("sm").attrs) == {"axis": 1}


def test_a_constant_takes_only_a_shape_of_its_size():
    ir = IrGraph(relu_softmax_model())
    ir.set_const("c", np.arange(6, dtype=np.float32))
    ir.set_shape("c", [2, 3])
    assert ir.get_const("c").shape == (2, 3)
    with pytest.raises(ValueError, match=r"cannot reshape array of size 6 into shape \(4,\)$"):
        ir.set_shape("c", [4])
    with pytest.raises(ValueError, match=r"into shape \(4, 2\)$"):
        ir.set_shape("c", [4, 2])


def test_unchanged_writes_are_not_changes():
    ir = IrGraph(relu_softmax_model())
    ir.set_shape("y", ir.get_shape("y"))
    ir.set_attr(ir.node("sm"), "axis", 1)
    relu = ir.node("relu")
    relu.input[0] = relu.input[0]
    assert ir.changes == 0
    ir.set_const("big", np.array([2 ** 60], np.int64))
    ir.set_const("big", np.array([2 ** 60 + 1], np.int64))  # the same as a float64, not as an integer
    assert ir.changes == 2 and ir.get_const("big")[0] == 2 ** 60 + 1
    ir.set_attr(ir.node("sm"), "scales", [0.5, 2.0])
    ir.set_attr(ir.node("sm"), "scales", [0.5, 2.0])  # the same list of floats again
    ir.set_attr(ir.node("sm"), "axes", [1, 2])
    ir.set_attr(ir.node("sm"), "axes", [1.0, 2.0])  # the same numbers
    assert ir.changes == 4
    ir.set_const("f", np.array([0.5, -0.0], np.float32))
    ir.set_const("f", np.array([0.5, 0.0], np.float32))  # floats compare as numbers: -0.0 is 0.0
    assert ir.changes == 5
    ir.set_const("f", np.array([0.5, np.nan], np.float32))
    ir.set_const("f", np.array([0.5, np.nan], np.float32))  # a NaN is never equal to itself
    assert ir.changes == 7


def test_built_nodes_get_the_shapes_their_axes_and_steps_give():
    ir = IrGraph(make_model([helper.make_node("Relu", ["x"], ["y"], name="r")], {"x": [2, 3, 4]}, {"y": [2, 3, 4]}))
    g = Graph(ir)
    assert ir.get_shape(g.op("ReduceMean", "y", axes=[-1], keepdims=1)) == [2, 3, 1]
    assert ir.get_shape(g.op("ReduceMean", "y", axes=[3], keepdims=1)) is None
    assert ir.get_shape(g.op("ReduceMean", "y", axes=[-4], keepdims=1)) is None
    assert ir.get_shape(g.op("Slice", "y", [0], [4], [2], [2])) == [2, 3, 2]  # every second element of the last axis


def test_reduce_axes_in_both_forms():
    attr = make_model([helper.make_node("ReduceMean", ["x"], ["y"], name="r", axes=[1], keepdims=1)],
                      {"x": [2, 3, 4]}, {"y": None}, opset=13)
    ir = IrGraph(attr)
    r = ir.node("r")
    assert ir_utils.get_reduce_axes(ir, r) == [1]
    ir_utils.set_reduce_axes(ir, r, [2])
    assert ir.get_attr(r, "axes") == [2]
    inp = make_model([helper.make_node("ReduceSum", ["x", "ax"], ["y"], name="r", keepdims=0)],
                     {"x": [2, 3, 4]}, {"y": None}, consts={"ax": np.array([-1], np.int64)})
    ir = IrGraph(inp)
    r = ir.node("r")
    assert ir_utils.get_reduce_axes(ir, r) == [-1] and ir.get_shape("y") == [2, 3]
    ir_utils.set_reduce_axes(ir, r, [0])
    assert ir.get_const("ax").tolist() == [0] and ir.get_attr(r, "axes") is None
    none = make_model([helper.make_node("ReduceMax", ["x"], ["y"], name="r")], {"x": [2, 3]}, {"y": None})
    assert ir_utils.get_reduce_axes(IrGraph(none), IrGraph(none).node("r")) == [0, 1]



def test_split_sizes_replace_an_output_count():
    model = make_model([helper.make_node("Split", ["x"], ["a", "b"], name="s", axis=1, num_outputs=2)],
                       {"x": [2, 4]}, {"a": [2, 2], "b": [2, 2]}, opset=18)
    ir = IrGraph(model)
    ir_utils.set_split_split(ir, ir.node("s"), [2, 2])
    assert ir.get_attr(ir.node("s"), "num_outputs") is None
    assert ir.get_const(ir.node("s").input[1]).tolist() == [2, 2]
    onnx.checker.check_model(ir.to_model(), full_check=True)

@pytest.mark.parametrize("a,b,want", [
    ([5, 6, 7], [5, 6, 7], ([210], [210])),
    ([1, 1, 3, 4], [2, 6, 3, 4], ([1, 12], [12, 12])),
    ([1, 3, 1, 4, 1], [2, 3, 2, 4, 2], ([1, 3, 1, 4, 1], [2, 3, 2, 4, 2])),
    ([1, 1, 7], [1, 1, 7], ([7], [7])),
    ([2, 1, 3], [2, 1, 1], ([2, 3], [2, 1])),
    ([1, 1], [1, 1], ([1], [1])),
])
def test_squeeze_broadcast_dims(a, b, want):
    assert vexo_utils.squeeze_broadcast_dims(a, b) == want


@pytest.mark.parametrize("i,o,want", [
    ([1, 3, 5, 4], [1, 15, 4], [([0], [0]), ([1, 2], [1]), ([3], [2])]),
    ([2, 3, 4], [2, 12], [([0], [0]), ([1, 2], [1])]),
    ([6, 4], [2, 3, 4], [([0], [0, 1]), ([1], [2])]),
    ([3, 5, 1], [15], [([0, 1, 2], [0])]),
])
def test_independent_parts_of_a_reshape(i, o, want):
    assert vexo_utils.seperate_independent_part_for_reshape(i, o) == want


@pytest.mark.parametrize("shape,axis,new_axis,chunks", [
    ([2, 4, 6, 3, 5], 2, 1, [2, 4]), ([2, 3, 4, 5, 6], 3, 2, [1, 3, 1]), ([2, 6, 4, 5, 3], 1, 1, [2, 4])])
def test_gather_keeps_merged_split_and_concat_exact(shape, axis, new_axis, chunks):
    window = len(shape) - 3
    new_shape = shape[:new_axis] + [int(np.prod(shape[new_axis:new_axis + window]))] + shape[new_axis + window:]
    x = np.arange(np.prod(shape)).reshape(shape)
    want = np.split(x, np.cumsum(chunks)[:-1], axis=axis)
    prod_other = int(np.prod(shape[new_axis:new_axis + window])) // shape[axis]
    gaxis, index, before = vexo_utils.gen_gather_for_change_split_shape(shape, new_shape, axis, new_axis, chunks,
                                                                        op_type="Split")
    assert gaxis == new_axis and before is False
    merged = np.take(x.reshape(new_shape), index, axis=gaxis)
    got = np.split(merged, np.cumsum([c * prod_other for c in chunks])[:-1], axis=new_axis)
    for g_, w in zip(got, want):
        np.testing.assert_array_equal(g_.reshape(w.shape), w)
    gaxis, index, before = vexo_utils.gen_gather_for_change_split_shape(shape, new_shape, axis, new_axis, chunks,
                                                                        op_type="Concat")
    parts = [w.reshape(new_shape[:new_axis] + [-1] + new_shape[new_axis + 1:]) for w in want]
    cat = np.take(np.concatenate(parts, axis=new_axis), index, axis=gaxis)
    np.testing.assert_array_equal(cat.reshape(shape), x)
    assert before is True


def test_names_copy_par_and_log():
    ir = IrGraph(relu_softmax_model())
    assert oper_name_join(ir, "y", "_pad") == "y_pad"
    assert oper_name_join(ir, "y", "_pad") == "y_pad_1"
    assert ir_utils.node_name_join(ir, "relu", "") != "relu"
    qt = {"a": {"scale": 1.0}}
    copy_par(qt, "b", "a")
    copy_par(qt, "c", "missing")
    assert qt == {"a": {"scale": 1.0}, "b": {"scale": 1.0}}
    with pytest.raises(VexoError, match="^boom$"):
        VEXOLog.e("boom")
    VEXOLog.w("careful")
    assert VEXOLog.history[-1] == ("warning", "careful")
    assert vexo_utils.align_sub_c(ir) == 16
    assert vexo_utils.align_sub_c(IrGraph(relu_softmax_model(), channel_align=8)) == 8


def test_custom_op_lowering_matches_numpy():
    x = np.random.default_rng(1).standard_normal((2, 8, 1, 3)).astype(np.float32)
    nodes = [helper.make_node("exLayerNorm", ["x", "s", "b"], ["ln"], normalized_shape=[8, 1, 3], epsilon=1e-5),
             helper.make_node("exGelu", ["ln"], ["g"]), helper.make_node("exSwish", ["g"], ["y"])]
    s, b = np.full((8, 1, 3), 2, np.float32), np.ones((8, 1, 3), np.float32)
    out = run_model(make_model(nodes, {"x": [2, 8, 1, 3]}, {"y": None}, consts={"s": s, "b": b}), {"x": x})["y"]
    mean = x.mean(axis=(1, 2, 3), keepdims=True)
    ln = (x - mean) / np.sqrt(((x - mean) ** 2).mean(axis=(1, 2, 3), keepdims=True) + 1e-5) * s + b
    from math import erf
    g = 0.5 * ln * (1 + np.vectorize(erf)(ln / np.sqrt(2)))
    np.testing.assert_allclose(out, g / (1 + np.exp(-g)), rtol=1e-4, atol=1e-5)


def test_layer_norm_lowering_needs_no_recorded_rank():
    """A normalisation whose input has no recorded shape still runs over its last axes."""
    nodes = [helper.make_node("Relu", ["x"], ["r"]),
             helper.make_node("exLayerNorm", ["r"], ["y"], domain="vexo.ex", normalized_shape=[2, 3], epsilon=1e-5)]
    graph = helper.make_graph(nodes, "g", [helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, [4, 2, 3])],
                              [helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, [4, 2, 3])])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17), helper.make_opsetid("vexo.ex", 1)])
    x = np.random.default_rng(2).standard_normal((4, 2, 3)).astype(np.float32)
    r = np.maximum(x, 0)
    mean = r.mean(axis=(1, 2), keepdims=True)
    want = (r - mean) / np.sqrt(((r - mean) ** 2).mean(axis=(1, 2), keepdims=True) + 1e-5)
    np.testing.assert_allclose(run_model(model, {"x": x})["y"], want, rtol=1e-4, atol=1e-5)


def test_topological_order_with_nodes_sharing_a_position():
    """A node placed where no position is free takes its producer's; renumbering still orders the graph."""
    nodes = [helper.make_node("Relu", ["x"], ["p"], name="p"), helper.make_node("Neg", ["p"], ["q"], name="q"),
             helper.make_node("Abs", ["p"], ["s"], name="s"), helper.make_node("Sigmoid", ["x"], ["r"], name="r")]
    ir = IrGraph(make_model(nodes, {"x": [2]}, {"q": [2], "s": [2], "r": [2]}))
    for name, seq in (("p", 0.0), ("q", 5.0), ("s", 6.0), ("r", 5.0)):
        ir.node(name)._seq = seq
    ir.renumber()
    order = [n.name for n in ir.nodes]
    assert order.index("p") < order.index("q") and order.index("p") < order.index("s") and len(order) == 4



def test_inputs_with_symbolic_dimensions_are_written_as_declared():
    graph = helper.make_graph([helper.make_node("Relu", ["x"], ["y"])], "g",
                              [helper.make_tensor_value_info("x", onnx.TensorProto.FLOAT, ["batch", 3])],
                              [helper.make_tensor_value_info("y", onnx.TensorProto.FLOAT, ["batch", 3])])
    model = IrGraph(helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])).to_model()
    onnx.checker.check_model(model)
    assert [d.dim_param or d.dim_value for d in model.graph.input[0].type.tensor_type.shape.dim] == ["batch", 3]


@pytest.mark.parametrize("change", ["nothing", "constant", "attribute", "input", "op type"])
def test_a_built_node_changed_before_it_is_applied_is_inferred_again(change):
    # The builder's inference of a node is reused when the rewrite is applied only while nothing it read
    # has changed: a change after the build shows as a conflict with the shape the builder recorded.
    ir = IrGraph(make_model([helper.make_node("Relu", ["x"], ["y"], name="r")], {"x": [2, 3, 4]}, {"y": [2, 3, 4]},
                            consts={"other": np.zeros((4, 6), np.float32)}))
    ir.begin()
    g = Graph(ir)
    v = g.op("Reshape", "y", np.array([6, 4], np.int64))
    t = g.op("Transpose", v, perm=[1, 0])
    assert ir.get_shape(t) == [4, 6]
    reshape, transpose = g.nodes
    if change == "constant":
        ir.set_const(reshape.input[1], np.array([4, 6], np.int64))
    elif change == "attribute":
        ir.set_attr(transpose, "perm", [0, 1])
    elif change == "input":
        transpose.input[0] = "other"
    elif change == "op type":
        transpose.op_type = "Identity"
    ir.apply(([], g.nodes))
    conflicts = {c[0]: c[1:3] for c in ir.shape_conflicts}
    if change == "nothing":
        assert conflicts == {}
    elif change == "constant":
        assert conflicts == {v: ([6, 4], [4, 6])}
    else:
        assert conflicts == {t: ([4, 6], [6, 4])}
    ir.rollback()


@pytest.mark.parametrize("opset,empty_side,want", [(14, "input", 1), (14, "output", 1), (14, "neither", None),
                                                    (13, "input", None)])
def test_a_built_reshape_to_an_empty_tensor_writes_its_zero_literally(opset, empty_side, want):
    # A 0 in a Reshape's target means the extent 0 when the input or the output holds no elements (allowzero,
    # from opset 14); the side known to be empty may be either.
    shapes = {"input": ([2, 0], None), "output": (None, [1, 0, 1, 1]), "neither": ([1, 3], None)}[empty_side]
    ir = IrGraph(make_model([helper.make_node("Relu", ["x"], ["y"], name="r"),
                             helper.make_node("Relu", ["z"], ["e"], name="e")],
                            {"x": shapes[0], "z": [1, 0, 1, 1]}, {"y": shapes[0], "e": [1, 0, 1, 1]}, opset=opset))
    g = Graph(ir)
    g.op("Reshape", "y", np.array([1, 0, 1, 1], np.int64), outputs="e" if shapes[1] else None)
    assert ir.get_attr(g.nodes[0], "allowzero") == want


def test_a_built_node_whose_missing_input_gets_a_shape_before_it_is_applied_gets_its_shape():
    ir = IrGraph(make_model([helper.make_node("Relu", ["x"], ["y"], name="r")], {"x": [2, 3]}, {"y": [2, 3]}))
    ir.begin()
    g = Graph(ir)
    out = g.op("Relu", "later")  # nothing writes "later" yet: the builder infers no shape
    assert ir.get_shape(out) is None
    ir.set_shape("later", [4, 5])
    ir.apply(([], g.nodes))
    assert ir.get_shape(out) == [4, 5] and not ir.shape_conflicts
    ir.rollback()


@pytest.mark.parametrize("axis", [None, 0, -2])
def test_a_split_written_with_new_output_shapes_takes_its_sizes_from_them(axis):
    # A rewrite adds a Split whose outputs keep the shapes their old writers gave: the refresh of shapes
    # writes the sizes those shapes cut along the Split's axis (0 when the attribute is absent).
    nodes = [helper.make_node("Slice", ["x", "s0", "e0"], ["a"], name="first"),
             helper.make_node("Slice", ["x", "s1", "e1"], ["b"], name="rest")]
    consts = {"s0": np.array([0], np.int64), "e0": np.array([1], np.int64),
              "s1": np.array([1], np.int64), "e1": np.array([4], np.int64)}
    ir = IrGraph(make_model(nodes, {"x": [4, 2]}, {"a": [1, 2], "b": [3, 2]}, consts=consts))
    g = Graph(ir)
    attrs = {} if axis is None else {"axis": axis}
    g.op("Split", "x", outputs=["a", "b"], **attrs)
    ir.apply(([ir.node("first"), ir.node("rest")], g.nodes))
    assert not ir.shape_conflicts
    assert ir.get_const(ir.node(g.nodes[0].name).input[1]).tolist() == [1, 3]
