"""Converts real exports and prints the README table of them.

    python3 benchmarks/exports_table.py DIR [NAME ...]

DIR holds NAME.onnx with its reference NAME.npz, as tools/export-models writes
them; without NAMEs every model in DIR is converted, in name order. Each model
is converted with the default tables in a process of its own and checked by
`vexo.runtime_check.check_export`: no error, the ONNX checker, the outputs against
the original's in ONNX Runtime and against the reference within 1e-4 of the
output's peak, every tensor static after preparation, no rule call rolled
back. The time is the conversion's: preparation, rules, clean-up and the
checked write.
"""
import json
import subprocess
import sys
from pathlib import Path

COLUMNS = ("model", "nodes before", "nodes after", "off rank 4 before", "off rank 4 after", "time s",
           "error / peak", "verified")


def check_one(path):
    """Figures of one model, measured in a fresh interpreter so that models do not share memory or caches."""
    code = ("import json, sys; from pathlib import Path; from vexo.runtime_check import check_export; "
            "p = Path(sys.argv[1]); npz = p.with_suffix('.npz'); "
            "print(json.dumps(check_export(p, npz if npz.exists() else None)))")
    run = subprocess.run([sys.executable, "-c", code, str(path)], capture_output=True, text=True)
    if run.returncode:
        return {"model": path.stem, "problems": ["crashed: %s" % (run.stderr.strip().splitlines() or ["?"])[-1]]}
    return json.loads(run.stdout.strip().splitlines()[-1])


def row(f):
    def num(key, fmt="%d"):
        return fmt % f[key] if key in f else "-"
    error = f.get("vs_reference", f.get("vs_original"))
    return "| %s |" % " | ".join([
        f["model"], num("nodes_before"), num("nodes_after"), num("off_rank_before"), num("off_rank_after"),
        num("seconds", "%.1f"), "-" if error is None else "%.1e" % error,
        "; ".join(f["problems"]) or "yes"])


def main(argv):
    if not argv:
        sys.exit(__doc__)
    folder = Path(argv[0])
    paths = [folder / (n + ".onnx") for n in argv[1:]] or sorted(folder.glob("*.onnx"))
    print("| %s |" % " | ".join(COLUMNS))
    print("|%s" % ("---|" * len(COLUMNS)))
    failed = 0
    for path in paths:
        figures = check_one(path)
        failed += bool(figures["problems"])
        print(row(figures), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
