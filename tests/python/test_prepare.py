"""Preparation of exporter graphs: folding checked against ONNX Runtime, rewiring, reports, bad input."""
import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper, numpy_helper

from vexo.api.ir_graph import ModelError
from vexo.prepare import prepare
from vexo.testing import assert_equivalent, make_model


def model_of(nodes, inputs, outputs, consts=None, opset=17):
    """make_model with its outputs typed by ONNX shape inference (scalar constants stay scalars)."""
    model = make_model(nodes, inputs, {}, consts=consts, opset=opset)
    model.graph.output.extend(helper.make_value_info(o, onnx.TypeProto()) for o in outputs)
    return onnx.shape_inference.infer_shapes(model, strict_mode=True)


def arr(values, dtype=np.int64):
    return np.array(values, dtype)


F = np.float32
GRID = np.arange(24, dtype=F).reshape(2, 3, 4) - 11.5
MIXED = arr([[7, -7, 5], [-5, 6, -6]])

# op type, constant inputs ("" for an absent optional one), attributes, number of outputs, opset
CASES = [
    ("Gather", [GRID, arr([[-1, 0], [2, 1]])], {"axis": 1}, 1, 17),
    ("GatherElements", [GRID, arr(np.zeros((2, 3, 2), np.int64) - 1)], {"axis": 2}, 1, 17),
    ("Unsqueeze", [GRID, arr([-1, 0])], {}, 1, 17),
    ("Unsqueeze", [GRID], {"axes": [1, 4]}, 1, 11),
    ("Squeeze", [GRID[:1, :, :1], arr([-1])], {}, 1, 17),
    ("Squeeze", [GRID[:1, :, :1]], {}, 1, 17),
    ("Concat", [arr([1, 2]), arr([3]), arr([], np.int64)], {"axis": -1}, 1, 17),
    ("Cast", [GRID / 4], {"to": TensorProto.INT64}, 1, 17),
    ("Cast", [MIXED], {"to": TensorProto.BOOL}, 1, 17),
    ("CastLike", [MIXED, arr([1.0], F)], {}, 1, 17),
    ("ConstantOfShape", [arr([2, 3])], {"value": numpy_helper.from_array(arr([7], np.int32))}, 1, 17),
    ("ConstantOfShape", [arr([0, 3])], {}, 1, 17),
    ("Range", [arr(10), arr(-3), arr(-4)], {}, 1, 17),
    ("Range", [arr(0.5, F), arr(2.0, F), arr(0.25, F)], {}, 1, 17),
    ("Slice", [GRID, arr([-1, 10]), arr([-100, 0]), arr([2, 1]), arr([-2, -1])], {}, 1, 17),
    ("Slice", [GRID, arr([1]), arr([2 ** 62]), "", ""], {}, 1, 17),
    ("Slice", [GRID], {"starts": [1], "ends": [3], "axes": [2]}, 1, 9),
    ("Where", [GRID > 0, GRID, arr([0], F)], {}, 1, 17),
    ("Equal", [MIXED, arr([7, -6, 5])], {}, 1, 17),
    ("Less", [MIXED, arr(0)], {}, 1, 17),
    ("And", [MIXED > 0, MIXED < 6], {}, 1, 17),
    ("Not", [MIXED > 0], {}, 1, 17),
    ("Div", [MIXED, arr([2, -4, 3])], {}, 1, 17),
    ("Div", [GRID, arr(4.0, F)], {}, 1, 17),
    ("Mod", [MIXED, arr([3, -4, 2])], {}, 1, 17),
    ("Mod", [MIXED, arr([3, -4, 2])], {"fmod": 1}, 1, 17),
    ("Pow", [GRID, arr(2.0, F)], {}, 1, 17),
    ("Sqrt", [np.abs(GRID)], {}, 1, 17),
    ("Neg", [MIXED], {}, 1, 17),
    ("Floor", [GRID / 3], {}, 1, 17),
    ("Ceil", [GRID / 3], {}, 1, 17),
    ("Sign", [MIXED], {}, 1, 17),
    ("Max", [MIXED, arr([0, 6, -10]), arr(-5)], {}, 1, 17),
    ("Sum", [GRID, arr([1, 2, 3, 4], F)], {}, 1, 17),
    ("Mean", [GRID, arr([1, 2, 3, 4], F)], {}, 1, 17),
    ("Clip", [GRID, arr(-2.0, F), ""], {}, 1, 17),
    ("ReduceProd", [arr([[2, 3], [4, 5]])], {"axes": [-1], "keepdims": 0}, 1, 17),
    ("ReduceSum", [GRID, arr([], np.int64)], {"noop_with_empty_axes": 1}, 1, 17),
    ("ReduceSum", [GRID, arr([0, 2])], {}, 1, 17),
    ("ReduceSum", [GRID], {"axes": [1], "keepdims": 0}, 1, 11),
    ("ReduceMax", [GRID], {}, 1, 17),
    ("ReduceMean", [GRID], {"axes": [1]}, 1, 17),
    ("ArgMax", [arr([[1, 5, 5], [7, 7, 0]])], {"axis": 1, "select_last_index": 1}, 1, 17),
    ("ArgMin", [GRID], {"axis": -1, "keepdims": 0}, 1, 17),
    ("Reshape", [GRID, arr([0, -1, 2])], {}, 1, 17),
    ("Expand", [arr([[1], [2]], F), arr([3, 1, 4])], {}, 1, 17),
    ("Tile", [MIXED, arr([2, 1])], {}, 1, 17),
    ("Transpose", [GRID], {}, 1, 17),
    ("Flatten", [GRID], {"axis": -1}, 1, 17),
    ("Flatten", [GRID], {"axis": 0}, 1, 17),
    ("Split", [GRID, arr([1, 3])], {"axis": -1}, 2, 17),
    ("Split", [GRID], {"axis": 1}, 3, 17),
    ("Split", [GRID], {"axis": 2, "split": [3, 1]}, 2, 11),
    ("NonZero", [MIXED > 0], {}, 1, 17),
    ("Trilu", [GRID, arr(1)], {"upper": 0}, 1, 17),
    ("ScatterND", [np.zeros((4, 4), F), arr([[0, 1], [-1, 2], [0, 1]]), arr([1, 2, 3], F)], {"reduction": "add"}, 1, 17),
    ("ScatterND", [np.zeros((3, 4), F), arr([[1], [2]]), np.ones((2, 4), F)], {}, 1, 17),
    ("ScatterElements", [GRID, arr(np.full((2, 1, 4), -1)), np.ones((2, 1, 4), F)], {"axis": 1}, 1, 17),
    ("CumSum", [MIXED, arr(-1)], {"exclusive": 1, "reverse": 1}, 1, 17),
    ("CumSum", [GRID, arr(1)], {}, 1, 17),
    ("OneHot", [arr([[0, -1], [5, 2]]), arr(3), arr([0.5, 2.0], F)], {"axis": 0}, 1, 17),
    ("GatherND", [GRID, arr([[1, 2], [0, -1]])], {}, 1, 17),
    ("Pad", [GRID, arr([0, -1, 1, 1, 0, 2]), arr(7.0, F)], {}, 1, 17),
    ("MatMul", [GRID, np.ones((4, 2), F)], {}, 1, 17),
    ("Gemm", [GRID[0], GRID[1], arr([1, 2, 3], F)], {"transB": 1, "alpha": 0.5, "beta": 2.0}, 1, 17),
    ("Sigmoid", [GRID / 4], {}, 1, 17),
    ("Erf", [GRID / 8], {}, 1, 17),
    ("Round", [GRID / 2], {}, 1, 17),
    ("IsInf", [np.array([np.inf, -np.inf, 1.0], F)], {"detect_positive": 0}, 1, 17),
]


def constant_model(op, values, attrs, n_out, opset):
    """A graph of one node whose inputs are all constants; its outputs are the graph outputs."""
    names = ["" if isinstance(v, str) else "c%d" % i for i, v in enumerate(values)]
    consts = {n: v for n, v in zip(names, values) if n}
    outs = ["y%d" % k for k in range(n_out)]
    node = helper.make_node(op, names, outs, name="n", **attrs)
    return model_of([node], {}, outs, consts=consts, opset=opset)


@pytest.mark.parametrize("op,values,attrs,n_out,opset", CASES,
                         ids=["%s-%d" % (c[0], i) for i, c in enumerate(CASES)])
def test_each_evaluator_agrees_with_onnx_runtime(op, values, attrs, n_out, opset):
    model = constant_model(op, values, attrs, n_out, opset)
    out, report = prepare(model)
    assert report.folded == {op: 1}
    assert [n.op_type for n in out.graph.node] == ["Constant"] * n_out
    assert_equivalent(model, out, rtol=1e-6)


def test_shape_and_size_of_known_shapes_fold_and_feed_a_reshape():
    nodes = [helper.make_node("Shape", ["x"], ["s"], start=1, end=-1),
             helper.make_node("Size", ["x"], ["n"]),
             helper.make_node("ReduceProd", ["s"], ["p"], keepdims=0),
             helper.make_node("Div", ["n", "p"], ["b"]),
             helper.make_node("Unsqueeze", ["b", "zero"], ["b1"]),
             helper.make_node("Concat", ["b1", "s"], ["target"], axis=0),
             helper.make_node("Reshape", ["x", "target"], ["y"], name="view")]
    model = model_of(nodes, {"x": [2, 3, 4, 5]}, ["y"], consts={"zero": arr([0])})
    model.graph.input.append(helper.make_tensor_value_info("zero", TensorProto.INT64, [1]))  # old-style weight input
    out, report = prepare(model)
    assert [n.op_type for n in out.graph.node] == ["Reshape"] and [i.name for i in out.graph.input] == ["x"]
    assert report.folded["Shape"] == 1 and report.folded["Size"] == 1
    target = numpy_helper.to_array(out.graph.initializer[0])
    assert target.tolist() == [10, 3, 4]
    assert_equivalent(model, out)


def test_identities_go_and_graph_outputs_keep_their_names():
    nodes = [helper.make_node("Identity", ["x"], ["x1"]),
             helper.make_node("Relu", ["x1"], ["r"], name="relu"),
             helper.make_node("Identity", ["r"], ["r1"]),
             helper.make_node("Identity", ["r1"], ["y"]),          # chain ending at a graph output
             helper.make_node("Neg", ["r1"], ["z"], name="neg"),    # another reader of the renamed tensor
             helper.make_node("Identity", ["y"], ["y_copy"]),      # output copied to an output: kept
             helper.make_node("Identity", ["x"], ["x_out"])]       # input copied to an output: kept
    model = make_model(nodes, {"x": [2, 8]}, {o: [2, 8] for o in ("y", "z", "y_copy", "x_out")})
    out, report = prepare(model)
    assert report.identities_removed == 3
    ops = {n.name or n.output[0]: n for n in out.graph.node}
    assert list(ops["relu"].output) == ["y"] and list(ops["neg"].input) == ["y"]
    assert sorted(n.op_type for n in out.graph.node) == ["Identity", "Identity", "Neg", "Relu"]
    assert [o.name for o in out.graph.output] == ["y", "z", "y_copy", "x_out"]
    assert_equivalent(model, out)


def test_nodes_that_pass_their_input_through_go():
    mk = helper.make_node
    nodes = [mk("Dropout", ["x", "ratio"], ["d"]),
             mk("Cast", ["d"], ["c"], to=TensorProto.FLOAT),
             mk("Pad", ["c", "zeros"], ["p"]),
             mk("Slice", ["p", "zero", "big"], ["s"]),
             mk("Transpose", ["s"], ["t"], perm=[0, 1]),
             mk("Reshape", ["t", "shape"], ["r"]),
             mk("Concat", ["r"], ["cat"], axis=0),
             mk("Slice", ["cat", "minus1", "lowest", "zero", "minus1"], ["reversed"], name="reverse"),  # kept
             mk("Dropout", ["reversed"], ["y", "mask"], name="masked"),     # its mask is read: kept
             mk("Cast", ["mask"], ["z"], name="mask_cast", to=TensorProto.FLOAT),
             mk("Relu", ["x"], ["relu"], name="relu"),
             mk("Expand", ["relu", "shape"], ["w"]),                       # writes a graph output
             mk("Dropout", ["ratio"], ["k"]),                              # a constant to a graph output
             mk("Transpose", ["x"], ["xt"], name="flip")]                  # no perm: reverses the axes
    consts = {"ratio": np.array(0.5, F), "zeros": arr([0, 0, 0, 0]), "zero": arr([0]), "big": arr([99]),
              "shape": arr([3, 4]), "minus1": arr([-1]), "lowest": arr([-(2 ** 62)])}
    model = model_of(nodes, {"x": [3, 4]}, ["y", "z", "w", "k", "xt"], consts=consts)
    out, report = prepare(model)
    assert report.noops_removed == {"Dropout": 2, "Cast": 1, "Pad": 1, "Slice": 1, "Transpose": 1, "Reshape": 1,
                                    "Concat": 1, "Expand": 1}
    assert sorted((n.op_type if n.op_type == "Constant" else n.name, list(n.output)) for n in out.graph.node) == [
        ("Constant", ["k"]), ("flip", ["xt"]), ("mask_cast", ["z"]), ("masked", ["y", "mask"]), ("relu", ["w"]),
        ("reverse", ["reversed"])]
    assert_equivalent(model, out)


def test_a_pad_of_zeros_given_as_an_attribute_goes_and_one_that_pads_stays():
    mk = helper.make_node
    nodes = [mk("Pad", ["x"], ["p"], pads=[0, 0, 0, 0]), mk("Pad", ["p"], ["y"], name="pads", pads=[0, 1, 0, 1])]
    model = model_of(nodes, {"x": [3, 4]}, ["y"], opset=10)
    out, report = prepare(model)
    assert report.noops_removed == {"Pad": 1} and [n.name for n in out.graph.node] == ["pads"]
    assert_equivalent(model, out)


def test_shape_arithmetic_that_inference_cannot_see_through_settles_in_one_walk():
    """Each view's target is computed with Div, which ONNX data propagation does not evaluate: the shape
    only becomes known when the Div folds, and the next block's Shape reads it in the same walk."""
    mk = helper.make_node
    nodes, x = [], "x"
    for b in range(12):
        p = "b%d_" % b
        nodes += [mk("Shape", [x], [p + "s"]), mk("Gather", [p + "s", "last"], [p + "n"], axis=0),
                  mk("Div", [p + "n", "two"], [p + "half"]), mk("Unsqueeze", [p + "half", "axis0"], [p + "h"]),
                  mk("Concat", ["two1", p + "h", "minus1"], [p + "target"], axis=0),
                  mk("Reshape", [x, p + "target"], [p + "view"]), mk("Relu", [p + "view"], [p + "out"])]
        x = p + "out"
    nodes.append(mk("Reshape", [x, "flat"], ["y"]))
    consts = {"last": arr(-1), "two": arr(2), "axis0": arr([0]), "two1": arr([2]), "minus1": arr([-1]),
              "flat": arr([-1])}
    model = model_of(nodes, {"x": [2, 1 << 12]}, ["y"], consts=consts)
    out, report = prepare(model)
    assert (report.rounds, report.walks) == (1, 1) and not report.dynamic_tensors
    assert [n.op_type for n in out.graph.node] == ["Reshape", "Relu"] * 12 + ["Reshape"]
    assert_equivalent(model, out)


def test_unknown_shapes_are_reported_by_the_node_that_lost_them(monkeypatch):
    mk = helper.make_node
    nodes = [mk("Abs", ["c"], ["one"])]  # folds: a walk changes
    for k in range(25):
        nodes += [mk("NonZero", ["x"], ["nz%d" % k], name="nonzero%d" % k),
                  mk("Shape", ["nz%d" % k], ["s%d" % k]), mk("Add", ["s%d" % k, "one"], ["s1_%d" % k]),
                  mk("ConstantOfShape", ["s1_%d" % k], ["zeros%d" % k])]
    model = model_of(nodes, {"x": [4, 3]}, ["zeros%d" % k for k in range(25)], consts={"c": arr([-1])})
    monkeypatch.setattr("vexo.prepare.MAX_INFERENCE_ROUNDS", 1)
    out, report = prepare(model)
    text = "\n".join(report.lines())
    assert "50 tensors keep an unknown or dynamic shape, lost at 25 nodes" in text
    assert "node 'nonzero0' (NonZero): 'nz0' and 1 tensor computed from it" in text
    assert text.count("(NonZero)") == 20 and "... 5 more nodes" in text
    assert "LIMIT: stopped after 1 rounds" in text
    unknown = report.unknown_shapes()
    assert len(unknown) == 50 and {u["lost_at"] for u in unknown if u["tensor"] == "zeros24"} == {
        "node 'nonzero24' (NonZero)"}


def test_subgraphs_follow_renamed_tensors_and_keep_their_producers():
    def branch(name, op):
        return helper.make_graph([helper.make_node(op, ["r1"], ["o_" + name])], name, [],
                                 [helper.make_tensor_value_info("o_" + name, TensorProto.FLOAT, [3])])
    nodes = [helper.make_node("If", ["cond"], ["y"], name="if", then_branch=branch("then", "Neg"),
                              else_branch=branch("else", "Abs")),
             helper.make_node("Relu", ["x"], ["r"], name="relu"),   # listed after its reader
             helper.make_node("Identity", ["r"], ["r1"])]
    model = make_model(nodes, {"x": [3], "cond": ([], np.bool_)}, {"y": [3]})
    out, report = prepare(model)
    assert report.identities_removed == 1
    assert [n.op_type for n in out.graph.node] == ["Relu", "If"]
    for cond in (True, False):
        feeds = {"x": arr([-1, 2, -3], F), "cond": np.array(cond)}
        assert_equivalent(model, out, feeds=feeds)


def test_symbolic_input_dimensions_take_given_or_default_values():
    nodes = [helper.make_node("Add", ["a", "b"], ["y"])]
    model = make_model(nodes, {"a": [1, 4], "b": [1, 4]}, {"y": [1, 4]})
    for vi, dims in zip(list(model.graph.input) + list(model.graph.output),
                        (["batch", "width"], ["batch", None], ["batch", "width"])):
        vi.type.CopyFrom(helper.make_tensor_type_proto(TensorProto.FLOAT, dims))
    out, report = prepare(model, input_shapes={"batch": 3, "width": 4})
    assert report.inputs_made_static == {"a": [3, 4], "b": [3, 1]}
    assert not report.dynamic_tensors
    out, report = prepare(model, input_shapes={"a": [2, 4]})   # 'batch' follows input a
    assert report.inputs_made_static == {"a": [2, 4], "b": [2, 1]}
    assert [d.dim_value for d in out.graph.output[0].type.tensor_type.shape.dim] == [2, 4]
    with pytest.raises(ValueError, match="symbolic dimension 'batch' is given the values 2 and 3"):
        prepare(model, input_shapes={"a": [2, 4], "b": [3, 4]})


def test_custom_operators_survive_and_shapes_flow_through_them():
    consts = {"k": np.ones((4, 6), F)}
    nodes = [helper.make_node("exGelu", ["x"], ["g"], name="gelu"),
             helper.make_node("exSoftmax13", ["k"], ["ks"], name="const_softmax", axis=1),
             helper.make_node("Shape", ["g"], ["s"]),
             helper.make_node("Reshape", ["g", "s"], ["gr"]),
             helper.make_node("MatMul", ["gr", "ks"], ["y"], name="mm")]
    model = make_model(nodes, {"x": [2, 3, 4]}, {"y": [2, 3, 6]}, consts=consts)
    before = {n.name: n for n in model.graph.node if n.domain == "vexo.ex"}
    out, report = prepare(model)
    after = {n.name: n for n in out.graph.node if n.domain == "vexo.ex"}
    assert after == before and not report.not_evaluable and not report.dynamic_tensors
    assert report.folded == {"Shape": 1}
    assert_equivalent(model, out, rtol=1e-6)


def test_what_cannot_be_made_static_or_folded_is_reported():
    nodes = [helper.make_node("NonZero", ["x"], ["nz"], name="nonzero"),
             helper.make_node("Shape", ["nz"], ["s"], name="nz_shape"),
             helper.make_node("ConstantOfShape", ["s"], ["zeros"], name="zeros"),
             helper.make_node("DequantizeLinear", ["w_q", "scale"], ["w"], name="dequant"),
             helper.make_node("MatMul", ["u", "w"], ["v"], name="mm"),
             helper.make_node("ConstantOfShape", ["huge"], ["big"], name="big"),
             helper.make_node("Mul", ["x", "big"], ["x_big"], name="use_big")]
    model = model_of(nodes, {"x": [4, 3], "u": [5, 2]}, ["zeros", "v", "x_big"],
                     consts={"scale": np.array(0.5, F), "huge": arr([1 << 24, 4, 3]),
                             "w_q": np.arange(6, dtype=np.int8).reshape(2, 3)})
    out, report = prepare(model)
    assert report.rounds == 1  # the walk changed nothing: another round of inference would learn nothing
    assert report.not_evaluable == {"DequantizeLinear": 1, "ConstantOfShape": 1}
    dynamic = dict(report.dynamic_tensors)
    assert set(dynamic) == {"nz", "zeros"}
    text = "\n".join(report.lines())
    assert "node 'nonzero' (NonZero): 'nz' and 1 tensor computed from it" in text and "DequantizeLinear 1" in text
    onnx.checker.check_model(out)


# Constant nodes that cannot be evaluated, and a model the ONNX checker refuses; the converter's tests of
# malformed models cover tensors nobody or two nodes write and cycles.
MALFORMED = {
    "bad reshape": (lambda: make_model([helper.make_node("Reshape", ["c", "s"], ["y"], name="view")], {}, {"y": [4]},
                                       consts={"c": np.ones(6, F), "s": arr([4])}),
                    "node 'view' \\(Reshape\\) cannot be evaluated"),
    "bad gather": (lambda: make_model([helper.make_node("Gather", ["c", "i"], ["y"], name="pick")], {}, {"y": [1]},
                                      consts={"c": np.ones(3, F), "i": arr([3])}),
                   "node 'pick' \\(Gather\\) cannot be evaluated"),
    "checker": (lambda: make_model([helper.make_node("Relu", ["x"], ["y"], name="relu", bogus=1)], {"x": [2]},
                                   {"y": [2]}), "does not pass the ONNX checker.*bogus"),
}


@pytest.mark.parametrize("kind", MALFORMED)
def test_malformed_models_get_errors_naming_the_culprit(kind):
    build, match = MALFORMED[kind]
    model = build()
    data = model.SerializeToString()
    with pytest.raises(ModelError, match=match):
        prepare(model)
    assert model.SerializeToString() == data


# Unknown names, wrong ranks and extents: the command line's tests give them through --input-shape and --dim.
@pytest.mark.parametrize("shapes,default,match", [
    ({"x": 4}, 1, "input 'x' needs a full shape"),
    ({"batch": -2}, 1, "symbolic dimension 'batch'"),
    (None, 0, "default_dim"),
])
def test_bad_input_shapes_are_refused(shapes, default, match):
    model = make_model([helper.make_node("Relu", ["x"], ["y"])], {"x": [1, 3]}, {"y": [1, 3]})
    model.graph.input[0].type.tensor_type.shape.dim[0].dim_param = "batch"
    with pytest.raises(ValueError, match=match):
        prepare(model, input_shapes=shapes, default_dim=default)
    with pytest.raises(TypeError, match="onnx.ModelProto"):
        prepare(model.SerializeToString())


def test_prepared_outputs_take_known_static_shapes_and_keep_declared_types_otherwise():
    model = make_model([helper.make_node("Relu", ["x"], ["y"], name="relu"),
                        helper.make_node("NonZero", ["x"], ["z"], name="nz")], {"x": ["N", 3]}, {})
    model.graph.output.extend([helper.make_tensor_value_info("y", TensorProto.FLOAT, ["N", 3]),
                               helper.make_tensor_value_info("z", TensorProto.INT64, [2, "K"])])
    prepared, _ = prepare(model)
    y, z = prepared.graph.output
    assert [d.dim_value for d in y.type.tensor_type.shape.dim] == [1, 3]
    assert [d.dim_param or d.dim_value for d in z.type.tensor_type.shape.dim] == [2, "K"]


def test_a_round_in_parts_finds_what_one_round_over_the_whole_model_finds(monkeypatch):
    """Four models of the suite prepared with rounds of inference in parts of two nodes: the clean versions
    go part by part, in the exporter versions a part that a small integer vector would leave (shape
    arithmetic) takes in the rest, and the prepared model is the one a round over the whole model gives."""
    from vexo import _core, models
    splits, merged = [], []
    record_part = _core.Preparation.record_part

    def counted(prep, k, inferred, first):
        found = record_part(prep, k, inferred, first)
        splits.append((prep.inference_parts, found))
        return found
    monkeypatch.setattr(_core.Preparation, "record_part", counted)
    for build in (models.audio_net, models.transformer_block, models.swin_block, models.yolo_head):
        for exporter in (False, True):
            model = build(exporter=exporter).model()
            monkeypatch.setattr("vexo.prepare.INFERENCE_PART_NODES", 0)
            whole, whole_report = prepare(model)
            monkeypatch.setattr("vexo.prepare.INFERENCE_PART_NODES", 2)
            splits.clear()
            parts, parts_report = prepare(model)
            assert parts.SerializeToString() == whole.SerializeToString()
            assert parts_report.lines() == whole_report.lines()
            merged.append(any(found < 0 for _, found in splits))
            if not exporter:  # no shape arithmetic: every part stays a part
                assert len(splits) > 1 and all(n > 1 and found >= 0 for n, found in splits)
    assert any(merged)  # parts took in the rest where a shape vector would cross
