"""Time of the HTML report on large models: a generated one and any .onnx files given.

For each model it converts, then writes the HTML report and prints the time it
took, the number of sites, drawn pictures and the page size; it also lays out
the same pictures with one Graphviz process per picture, the way a page drawn
region by region would, to show what laying them all out in one process saves.

    python3 benchmarks/bench_html.py [--nodes 6000] [MODEL.onnx ...]
"""
import argparse
import os
import re
import subprocess
import sys
import tempfile
import time

import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_convert import generate  # noqa: E402

from vexo.convert import convert  # noqa: E402
from vexo.html_report import GraphView, region_dot, write_html  # noqa: E402


def _one_process_per_picture(sources):
    start = time.perf_counter()
    for source in sources:
        subprocess.run(["dot", "-Tsvg"], input=source.encode(), capture_output=True, check=True)
    return time.perf_counter() - start


def measure(name, model):
    ir, report, before = convert(model, source=name)
    after = ir.to_model()
    with tempfile.TemporaryDirectory() as tmp:
        page = os.path.join(tmp, "report.html")
        start = time.perf_counter()
        write_html(report, before, after, page)
        seconds = time.perf_counter() - start
        text = open(page, encoding="utf-8").read()
    pictures = len(re.findall(r"<svg", text))
    # the same number of typical pictures, each laid out by a process of its own
    view = GraphView(after)
    sources = [region_dot(view, [n]) for n in list(view.nodes)[:pictures]]
    return (name, report.nodes_before, len(report.applied), len(report.off_rank_left), pictures, len(text) / 1e6,
            seconds, _one_process_per_picture(sources))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--nodes", type=int, default=6000, help="size of the generated model (default: %(default)s)")
    ap.add_argument("models", nargs="*", help=".onnx files to report on as well")
    args = ap.parse_args()
    rows = [measure("generated", generate(args.nodes))] + [measure(os.path.basename(p), onnx.load(p))
                                                           for p in args.models]
    print("| model | nodes (prepared) | sites | left off rank 4 | pictures | page MB | HTML report s | "
          "one dot process per picture s |")
    print("|---|---|---|---|---|---|---|---|")
    for row in rows:
        print("| %s | %d | %d | %d | %d | %.1f | %.2f | %.2f |" % row)


if __name__ == "__main__":
    main()
