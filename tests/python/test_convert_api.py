"""The Python API and the command line over it: input shapes, errors, launchers, exit status."""
import re
import subprocess
import sys
from pathlib import Path

import onnx
import pytest

import vexo
from vexo.cli import main
from vexo.models import SUITE

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture
def mlp(tmp_path):
    """An exporter graph whose input 'x' is [batch, 64], saved to a file."""
    path = tmp_path / "mlp.onnx"
    onnx.save(SUITE["mlp"][1](), str(path))
    return path


def input_dims(model):
    return [d.dim_value for d in model.graph.input[0].type.tensor_type.shape.dim]


def test_readme_example_runs(tmp_path, monkeypatch):
    code = re.search(r"## Python API.*?```python\n(.*?)```", (ROOT / "README.md").read_text(), re.S).group(1)
    monkeypatch.chdir(tmp_path)
    exec(compile(code, "README.md", "exec"), {})
    assert (tmp_path / "mlp.vexo.onnx").is_file() and (tmp_path / "mlp.html").is_file()


@pytest.mark.parametrize("args,words", [
    (["--input-shape", "x:3,65"], ["input 'x'", "dimension 1 is 64", "65 given"]),
    (["--input-shape", "x:3"], ["input 'x'", "1 dimensions", "gives it 2"]),
    (["--input-shape", "y:3,64"], ["'y' is neither", "inputs: x", "symbolic dimensions: batch"]),
    (["--input-shape", "x:3,a"], ["--input-shape 'x:3,a'"]),
    (["--input-shape", "x:0,64"], ["input 'x'", "positive"]),
    (["--dim", "bat=3"], ["'bat' is neither"]),
    (["--dim", "batch"], ["--dim 'batch'", "SYMBOL=N"]),
    (["--dim", "batch=two"], ["--dim 'batch=two'"]),
    (["--dim", "=8"], ["--dim '=8'", "SYMBOL=N"]),
    (["--dim", "batch=2", "--dim", "batch=3"], ["'batch' is given twice"]),
    (["--dim", "batch=2", "--input-shape", "x:3,64"], ["'batch' is given the values 2 and 3"]),
    (["--dim", "batch=2", "--no-prepare"], ["preparation"]),
    (["--channel-align", "0"], ["channel_align must be a positive integer"]),
])
def test_bad_shapes_and_options_name_the_culprit_in_one_line(mlp, tmp_path, capsys, args, words):
    out = tmp_path / "o.onnx"
    assert main(["convert", str(mlp), "-o", str(out), *args]) == 2
    err = capsys.readouterr().err.strip()
    assert len(err.splitlines()) == 1 and all(w in err for w in words), err
    assert not out.exists()


def test_console_script_behaves_like_python_m_vexo(mlp, tmp_path, capsys):
    """`python3 -m vexo` is main() itself: the installed script gives the same status, output and file.
    The script sets the batch by symbol, main() by the input's full shape."""
    by_dim = ["convert", str(mlp), "-o", str(tmp_path / "s.onnx"), "--dim", "batch=3", "--verify", "-q"]
    by_shape = ["convert", str(mlp), "-o", str(tmp_path / "m.onnx"), "--input-shape", "x:3,64", "--verify", "-q"]
    bad = ["convert", str(mlp), "--dim", "nope=2"]
    script = str(Path(sys.executable).with_name("vexo"))
    got = [subprocess.run([script, *args], capture_output=True, text=True) for args in (by_dim, bad)]
    want = [(main(args), *capsys.readouterr()) for args in (by_shape, bad)]
    assert [(r.returncode, r.stdout, r.stderr) for r in got] == want and want[1][0] == 2
    converted = onnx.load(str(tmp_path / "m.onnx"))
    assert (tmp_path / "s.onnx").read_bytes() == (tmp_path / "m.onnx").read_bytes() and input_dims(converted) == [3, 64]


def test_api_takes_a_model_or_a_path_and_refuses_anything_else(mlp):
    exported = SUITE["mlp"][1]()
    data = exported.SerializeToString()
    model, report = vexo.convert_model(exported)
    assert exported.SerializeToString() == data and input_dims(model) == [1, 64]
    assert report.applied and report.verified is None and report.source == exported.graph.name != ""
    calls = list(report.applied)  # read from the engine's log on demand, as a sequence
    assert report.applied[-1] == calls[-1] and report.applied[1:3] == calls[1:3] and report.applied == calls
    with pytest.raises(IndexError):
        report.applied[len(calls)]
    assert vexo.convert_model(str(mlp), tables=["cvt"])[1].tables[0].name == "cvt_dims"
    assert vexo.convert_model(str(mlp), tables=[])[1].tables == []  # none asked, none run
    for bad in (42, b"bytes", None):
        with pytest.raises(vexo.ConversionError, match="expected an onnx.ModelProto or the path"):
            vexo.convert_model(bad)
    with pytest.raises(vexo.ConversionError, match="input_shapes must map"):
        vexo.convert_model(exported, input_shapes=[8, 64])


def test_outputs_that_differ_exit_with_3_after_writing(mlp, tmp_path, monkeypatch):
    monkeypatch.setattr("vexo.convert._verify", lambda a, b: ({}, "outputs DIFFER", False))
    out = tmp_path / "o.onnx"
    assert main(["convert", str(mlp), "-o", str(out), "--verify", "-q"]) == 3 and out.is_file()


def test_the_terminal_report_lists_twenty_operators_left_off_rank_4_and_counts_the_rest():
    from vexo.report import Report
    report = Report("m.onnx")
    report.off_rank_left = [{"node": "n%d" % k, "op_type": "Foo", "ranks": [3], "entries": {}} for k in range(21)]
    lines = report.lines()
    assert sum(line.startswith("  left: Foo") for line in lines) == 20
    assert "  ... 1 more in the JSON report" in lines


def test_extra_tables_run_after_cvt_dims_and_the_bundled_sample_is_what_the_builder_writes():
    from vexo.convert import convert
    from vexo.sample import DEFAULT_PATH, build_sample
    never = {"never": {"ops": ["NoSuchOp"], "proc": lambda ir, nodes, quant_tab={}: ([], [])}}
    _, report, _ = convert(build_sample(), extra_rules="all", extra_tables={"mine": never})
    assert [t.name for t in report.tables] == ["fuse_dims", "cvt_dims", "extra_dims", "mine", "rank4_dims", "hw_dims"]
    assert build_sample().SerializeToString() == Path(DEFAULT_PATH).read_bytes()
