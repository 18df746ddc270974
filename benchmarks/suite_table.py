"""Prints the README table of the model suite: nodes and operators off rank 4, before and after conversion.

    python3 benchmarks/suite_table.py
"""
from vexo.convert import convert, verify
from vexo.models import SUITE


def main():
    print("| model | version | nodes before | nodes after | off rank 4 before | off rank 4 after | verified |")
    print("|---|---|---|---|---|---|---|")
    for name, builders in SUITE.items():
        for version, build in zip(("clean", "exporter"), builders):
            model = build()
            ir, report, original = convert(model, source=name)
            _, note, ok = verify(original, ir.to_model())
            print("| %s | %s | %d | %d | %d | %d | %s |" % (
                name, version, len(model.graph.node), report.nodes_after, sum(report.off_rank_before.values()),
                sum(report.off_rank_after.values()), "yes" if ok else note))


if __name__ == "__main__":
    main()
