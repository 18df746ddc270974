"""The rule modules give the same conversion through both of the facade's backends, and with or without
the engine's cheap conditions.

The engine hands the compiled rules the native graph, and they read and write
it through C++ calls. When a host name of a module has been replaced (a
builder of the user's, say), every rule runs through the facade's Python path
instead, over the IrGraph's Python face. Both must write the same model, byte
for byte, with the same record of applied calls.

The engine asks a rule's cheap condition before it calls the rule; an engine
whose `call` is overridden calls every rule on every match. A condition only
ever declines what its rule would decline, so both give the same conversion,
the same counts of calls and the same record of attempts.
"""
from pathlib import Path

import onnx
import pytest

import vexo.api.rules.dims as dims
import vexo.api.rules.rank4 as rank4
from vexo import convert, models
from vexo.engine import Engine
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


class EveryCall(Engine):
    """The engine with `call` overridden: every match reaches its rule, no condition is asked."""

    def call(self, table_name, entry_name, rule, chain):
        return Engine.call(self, table_name, entry_name, rule, chain)


def _converted_in_full(source, options):
    model = onnx.load(source) if isinstance(source, str) else source
    ir, report, _ = convert.convert(model, keep_start=False, **options)
    runs = [(run.name, run.calls, dict(run.fired)) for run in report.tables]
    return ir.model_bytes(), report.applied, runs, report.off_rank_left


@pytest.mark.parametrize("make, options", list(_cases()))
def test_cheap_conditions_decline_only_what_their_rules_decline(make, options, monkeypatch):
    conditioned = _converted_in_full(make(), options)
    monkeypatch.setattr(convert, "Engine", EveryCall)
    every = _converted_in_full(make(), options)
    assert every[2] == conditioned[2] and every[3] == conditioned[3] and every[1] == conditioned[1]
    assert every[0] == conditioned[0]
