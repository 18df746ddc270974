"""The HTML report: rewrite sites traced to both graphs, bounded pictures, and the page in a real browser."""
import re
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import onnx
import pytest
from onnx import helper

import vexo
from vexo import html_report
from vexo.convert import convert
from vexo.engine import AppliedCall
from vexo.html_report import GraphView, trace_sites
from vexo.models import SUITE
from vexo.testing import make_model

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "benchmarks"))


def test_a_site_is_traced_through_later_rewrites_and_the_clean_up():
    def chain(op, first):       # x -> op -> t0 -> Neg -> y
        return GraphView(make_model([helper.make_node(op, ["x"], ["t0"], name=first),
                                     helper.make_node("Neg", ["t0"], ["y"], name="n1")], {"x": [1, 8]}, {"y": [1, 8]}))
    before, after = chain("Relu", "n0"), chain("Sigmoid", "c")
    applied = [AppliedCall("t", "first", "n0", removed=["n0"], added=["b"]),
               AppliedCall("t", "second", "b", removed=["b"], added=["c", "d"]),
               AppliedCall("t", "third", "d", removed=["d"]),            # 'd' also gone: nothing to show of it
               AppliedCall("t", "fourth", "n1", changed=["n1"])]
    sites = trace_sites(applied, before, after)
    assert [(s.before, s.after) for s in sites] == [(["n0"], ["c"]), (["n0"], ["c"]), (["n0"], ["c", "n1"]),
                                                    (["n1"], ["n1"])]


def test_a_region_draws_its_nodes_their_neighbours_and_the_tensors_between_them():
    nodes = [helper.make_node("Reshape", ["x", "s4"], ["t"], name="r"),
             helper.make_node("Relu", ["t"], ["u"], name="b"),
             helper.make_node("Reshape", ["u", "s3"], ["v"], name="r2"),
             helper.make_node("Neg", ["v"], ["y"], name="n")]
    model = make_model(nodes, {"x": [1, 8, 5]}, {"y": [1, 8, 5]},
                       consts={"s4": np.array([1, 8, 5, 1]), "s3": np.array([1, 8, 5])})
    dot = html_report.region_dot(GraphView(onnx.shape_inference.infer_shapes(model)), ["r2"])
    edges = {(a.split()[0], b.split()[0]) for a, b in re.findall(r'"([^"]+)" -> "([^"]+)";', dot)}
    assert edges == {("b", "u"), ("u", "r2"), ("r2", "v"), ("v", "n")}      # no constant, no edge past them
    attrs = {m[0]: m[1:] for m in re.findall(r'^"(\w+)" \[.*?class="vx-(\w+)".*? color="([^"]+)" '
                                             r'style="([^"]+)"', dot, re.M)}
    assert attrs == {"r2": ("view", "#333333", "rounded,filled,bold"),
                     "b": ("npu4", "#333333", "rounded,filled,dashed"),
                     "n": ("off4", html_report.OFF4_BORDER, "rounded,filled,dashed")}


def test_every_site_of_a_model_with_unnamed_nodes_is_found_in_both_graphs():
    exported = SUITE["transformer_block"][1]()
    for node in exported.graph.node:
        node.name = ""
    ir, report, prepared = convert(exported)
    sites = trace_sites(report.applied, GraphView(prepared), GraphView(ir.to_model()))
    assert sites and all(s.before and s.after for s in sites)


def test_pages_stay_bounded_on_a_large_model(tmp_path, monkeypatch):
    from bench_convert import generate
    monkeypatch.setattr(html_report, "MAX_DRAWN_SITES", 10)
    monkeypatch.setattr(html_report, "MAX_CORE_NODES", 3)
    monkeypatch.setattr(html_report, "MAX_LEFT_REGIONS", 2)
    page = tmp_path / "r.html"
    report = vexo.convert_model(generate(1000), html=page)[1]
    text = page.read_text()
    pictures = re.findall(r"<svg.*?</svg>", text, re.S)
    assert len(report.applied) > 500 and len(pictures) <= 2 * (10 + 2)
    assert max(p.count('class="node') for p in pictures) <= 3 + html_report.MAX_NEIGHBOURS
    # every site can be reached by its anchor, drawn or listed
    assert all("id='site-%d'" % k in text for k in range(1, len(report.applied) + 1))
    groups = [(int(n), int(d or n)) for n, d in re.findall(r"</small>: (\d+) rewrite\(s\)(?:, (\d+) drawn)?", text)]
    counts = [n for n, _ in groups]
    assert counts == sorted(counts, reverse=True) and sum(counts) == len(report.applied)
    assert sum(d for _, d in groups) <= 10 and all(d < n for n, d in groups if n > 10)


def test_odd_names_survive_the_layout_and_the_page(tmp_path, monkeypatch):
    odd = 'a"b\\c<d>{0}&\n<!--picture 0-->'
    model = make_model([helper.make_node("Relu", ["x"], ["y"], name=odd)], {"x": [1, 8, 5]}, {"y": [1, 8, 5]})
    page = tmp_path / "r.html"
    vexo.convert_model(model, html=page)
    text = page.read_text()
    assert text.count("<svg") >= 2 and "<d>" not in text and "a&quot;b" in text
    assert re.search(r"</small>: 1 rewrite\(s\)</summary>", text)  # all drawn: no count of the drawn ones
    monkeypatch.setattr(shutil, "which", lambda name: None)
    vexo.convert_model(model, html=page)
    assert "<svg" not in page.read_text() and "listed as text" in page.read_text()


CHROMIUM = shutil.which("chromium") or shutil.which("chromium-browser")


@pytest.mark.skipif(CHROMIUM is None, reason="Chromium is not installed (tools/setup installs Debian's chromium)")
def test_report_as_a_browser_shows_it(tmp_path):
    page = tmp_path / "report.html"
    _, report = vexo.convert_model(SUITE["swin_block"][1](), verify=True, html=page)
    last = len(report.applied)         # a site of a group that starts closed
    dom = subprocess.run([CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--dump-dom",
                          "%s#site-%d" % (page.as_uri(), last)], capture_output=True, text=True, timeout=120).stdout
    summary = re.search(r"<table class=\"summary\">.*?</table>", dom, re.S).group(0)
    assert re.search(r"nodes</td><td>%d → %d<" % (report.nodes_before, report.nodes_after), summary)
    assert "outputs match" in summary
    assert re.search(r'<g id="node\d+" class="node vx-off4">.*?fill="#ffb74d"', dom, re.S)
    opened = re.search(r"<details class=\"entry\"[^>]*>(?:(?!</details>).)*id=\"site-%d\"" % last, dom, re.S)
    assert opened and " open=" in opened.group(0).split(">")[0]
