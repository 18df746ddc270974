"""The rule modules give the same conversion through both of the facade's backends.

The engine hands the compiled rules the native graph, and they read and write
it through C++ calls. When a host name of a module has been replaced (a
builder of the user's, say), every rule runs through the facade's Python path
instead, over the IrGraph's Python face. Both must write the same model, byte
for byte, with the same record of applied calls.
"""
from pathlib import Path

import onnx
import pytest

import vexo.api.rules.dims as dims
import vexo.api.rules.rank4 as rank4
from vexo import convert, models
from vexo.api.rules import utils

import random_graphs
from test_real_exports import EXPORTS

SAMPLE = Path(convert.__file__).parent / "data" / "sample.onnx"


class PythonBuilder(utils.Graph):
    """The same builder, as a name the modules did not bind at import: it sends them down the Python path."""

    ops = 0

    def op(self, *args, **kwargs):
        PythonBuilder.ops += 1
        return super().op(*args, **kwargs)


def _cases():
    for versions in models.SUITE.values():
        for build in versions:
            yield pytest.param(build, {}, id=build.__name__)
    yield pytest.param(lambda: str(SAMPLE), {}, id="sample")
    for path in EXPORTS:
        yield pytest.param(lambda path=path: str(path), {}, id=path.stem)
    for seed in range(0, 400, 10):
        model, options, _, _ = random_graphs.generate(seed)
        yield pytest.param(lambda model=model: model, options, id="seed%d" % seed)


def _converted(source, options):
    model = onnx.load(source) if isinstance(source, str) else source
    ir, report, _ = convert.convert(model, keep_start=False, **options)
    return ir.model_bytes(), report.applied, [f.__dict__ for f in report.failures]


@pytest.mark.parametrize("make, options", list(_cases()))
def test_native_and_python_paths_write_the_same_model(make, options, monkeypatch):
    native = _converted(make(), options)
    for module in (dims, rank4):
        monkeypatch.setattr(module, "Graph", PythonBuilder)
    python = _converted(make(), options)
    assert python[1] == native[1] and python[2] == native[2]
    assert python[0] == native[0]


def test_a_replaced_host_name_sends_the_rules_down_the_python_path(monkeypatch):
    monkeypatch.setattr(dims, "Graph", PythonBuilder)
    PythonBuilder.ops = 0
    _converted(models.SUITE["swin_block"][0](), {})
    assert PythonBuilder.ops > 30
