"""Malformed models get a one-line reason naming the file, node or tensor, and no output file."""
import subprocess
import sys

import numpy as np
import pytest
from onnx import TensorProto, helper

from vexo.cli import main
from vexo.convert import ConversionError, convert, load_model

node = helper.make_node


def model(nodes, inputs, outputs, value_info=(), inits=(), opset=17):
    """A model written as given: no inference, no repair (name -> (shape, element type))."""
    def infos(specs):
        return [helper.make_tensor_value_info(n, elem, shape) for n, (shape, elem) in specs.items()]
    m = helper.make_model(helper.make_graph(nodes, "g", infos(inputs), infos(outputs), list(inits),
                                            value_info=infos(dict(value_info))),
                          opset_imports=[helper.make_opsetid("", opset)])
    m.ir_version = 8
    return m


F = TensorProto.FLOAT
X = {"x": ([1, 4], F)}
Y = {"y": ([1, 4], F)}


def relu_neg():
    return model([node("Relu", ["x"], ["h"], name="relu"), node("Neg", ["h"], ["y"], name="neg")], X, Y)


def short_weight():
    """A [1, 4] float initializer holding three values."""
    w = helper.make_tensor("w", F, [3], np.ones(3, np.float32).tobytes(), raw=True)
    w.dims[:] = [1, 4]
    return w


def short_strings():
    """A [3] string initializer holding two strings."""
    s = helper.make_tensor("s", TensorProto.STRING, [2], [b"a", b"b"])
    s.dims[:] = [3]
    return s


MODELS = {
    "unknown op type": (model([node("FooBar", ["x"], ["y"], name="foo")], X, Y),
                        "node 'foo' (FooBar) has an op type that opset 17 of the standard domain does not define"),
    "op type newer than the opset": (model([node("Gelu", ["x"], ["y"], name="gelu")], X, Y),
                                     "node 'gelu' (Gelu) has an op type that opset 17"),
    "cycle": (model([node("Relu", ["z"], ["h"], name="relu"), node("Add", ["h", "x"], ["z"], name="add"),
                     node("Neg", ["h"], ["y"], name="neg")], X, Y), "cycle through node"),
    "dangling tensor": (model([node("Relu", ["nowhere"], ["y"], name="relu")], X, Y),
                        "node 'relu' (Relu) reads tensor 'nowhere'"),
    "declared output shape": (model([node("Relu", ["x"], ["y"], name="relu")], X, {"y": ([1, 5], F)}),
                              "tensor 'y' is declared with shape [1, 5], but node 'relu' (Relu) computes [1, 4]"),
    "declared inner rank": (model(relu_neg().graph.node, X, Y, value_info={"h": ([4], F)}),
                            "tensor 'h' is declared with shape [4], but node 'relu' (Relu) computes [1, 4]"),
    "declared output type": (model([node("Relu", ["x"], ["y"], name="relu")], X, {"y": ([1, 4], TensorProto.INT64)}),
                             "tensor 'y' is declared as int64, but node 'relu' (Relu) computes float"),
    "duplicate producers": (model([node("Relu", ["x"], ["y"], name="r1"), node("Neg", ["x"], ["y"], name="r2")], X, Y),
                            "tensor 'y' is written by node 'r1' (Relu) and by node 'r2' (Neg)"),
    "empty graph": (model([], {}, {}), "the graph is empty"),
    "no outputs": (model([node("Relu", ["x"], ["y"], name="relu")], X, {}), "the graph has no outputs"),
    "initializer data": (model([node("Add", ["x", "w"], ["y"], name="add")], X, Y, inits=[short_weight()]),
                         "initializer 'w' cannot be read"),
    "string data": (model([node("Identity", ["s"], ["y"], name="id")], {}, {"y": ([3], TensorProto.STRING)},
                          inits=[short_strings()]),
                    "initializer 's' cannot be read"),
}


@pytest.mark.parametrize("prepare", [True, False], ids=["prepared", "as is"])
@pytest.mark.parametrize("case", MODELS)
def test_convert_names_the_fault(case, prepare):
    bad, reason = MODELS[case]
    with pytest.raises(ConversionError) as info:
        convert(bad, source="bad.onnx", prepare=prepare)
    message = str(info.value)
    assert message.startswith("bad.onnx: ") and reason in message and "\n" not in message


def test_weights_given_as_typed_values_read_as_raw_bytes_do():
    weight = np.arange(4, dtype=np.float32).reshape(1, 4)
    converted = []
    for raw in (True, False):
        w = helper.make_tensor("w", F, [1, 4], weight.tobytes() if raw else weight.ravel().tolist(), raw=raw)
        ir, _, _ = convert(model([node("Add", ["x", "w"], ["y"], name="add")], X, Y, inits=[w]))
        converted.append(ir.get_const("w"))
    for value in converted:  # the rules may give the weight another rank, not other values
        np.testing.assert_array_equal(np.ravel(value), weight.ravel())


FILES = {
    "truncated": (lambda: relu_neg().SerializeToString()[:60], "not a readable ONNX model"),
    "not onnx": (lambda: b"\x00\xffnot an onnx model at all\xff" * 8, "not a readable ONNX model"),
    "empty file": (lambda: b"", "the file is empty"),
    "no graph": (lambda: b"\x08\x08", "not an ONNX model (it holds no graph)"),
    "cycle": (lambda: MODELS["cycle"][0].SerializeToString(), "cycle through node"),
    "shape": (lambda: MODELS["declared output shape"][0].SerializeToString(), "tensor 'y' is declared"),
}


@pytest.mark.parametrize("case", FILES)
def test_command_line_exits_with_one_line_and_writes_nothing(case, tmp_path, capsys):
    data, reason = FILES[case]
    src, out = tmp_path / "model.onnx", tmp_path / "out.onnx"
    src.write_bytes(data())
    out.write_bytes(b"previous result")
    assert main(["convert", str(src), "-o", str(out), "-q"]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("vexo: error: %s: " % src) and reason in err
    # The previous output is untouched and no temporary file is left behind.
    assert out.read_bytes() == b"previous result" and sorted(p.name for p in tmp_path.iterdir()) == [
        "model.onnx", "out.onnx"]


def test_every_truncation_of_a_model_is_refused(tmp_path):
    data = relu_neg().SerializeToString()
    for cut in range(1, len(data)):
        path = tmp_path / "cut.onnx"
        path.write_bytes(data[:cut])
        with pytest.raises(ConversionError, match="cut.onnx"):
            convert(load_model(path), source=str(path))


def test_the_module_entry_point_exits_non_zero(tmp_path):
    src = tmp_path / "model.onnx"
    src.write_bytes(MODELS["duplicate producers"][0].SerializeToString())
    proc = subprocess.run([sys.executable, "-m", "vexo", "convert", str(src), "-o", str(tmp_path / "out.onnx")],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 2 and proc.stderr.strip().splitlines() == [
        "vexo: error: %s: tensor 'y' is written by node 'r1' (Relu) and by node 'r2' (Neg)" % src]
    assert not (tmp_path / "out.onnx").exists()
