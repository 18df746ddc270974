"""vexo against onnxsim and the floor, as whole processes on the same generated model.

For each size it writes the model of benchmarks/bench_convert.py and times,
from interpreter start to saved file:

* vexo:    python -m vexo convert MODEL -o OUT -q
* onnxsim: onnxsim.simplify + onnx.save (onnxsim lives in a virtual environment
           of its own, made on first use under build/onnxsim-venv; never in
           .venv, never in CI)
* floor:   onnx.load + onnx.shape_inference.infer_shapes + onnx.save

and prints the machine (cores, CPU model, memory), the times and the ratios
vexo / onnxsim and vexo / floor.

    python3 benchmarks/bench_onnxsim.py [--sizes 10000,100000] [--repeat 1]
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import onnx

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_convert import generate  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
ONNXSIM_VENV = ROOT / "build" / "onnxsim-venv"

ONNXSIM = ("import sys, onnx, onnxsim\n"
           "model, ok = onnxsim.simplify(onnx.load(sys.argv[1]))\n"
           "onnx.save(model, sys.argv[2])\n")
FLOOR = ("import sys, onnx\n"
         "onnx.save(onnx.shape_inference.infer_shapes(onnx.load(sys.argv[1])), sys.argv[2])\n")


def onnxsim_python():
    """The interpreter of onnxsim's own virtual environment, made on first use."""
    python = ONNXSIM_VENV / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(ONNXSIM_VENV)], check=True)
        subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check", "onnxsim"],
                       check=True)
    return str(python)


def timed(cmd):
    start = time.perf_counter()
    done = subprocess.run(cmd, capture_output=True, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        sys.exit("%s failed:\n%s" % (" ".join(cmd[:3]), done.stderr[-2000:]))
    return seconds


def machine():
    """'N cores, CPU model, M GiB RAM' of this machine (Linux)."""
    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), "unknown CPU")
    kib = next(int(line.split()[1]) for line in Path("/proc/meminfo").read_text().splitlines()
               if line.startswith("MemTotal"))
    return "%d cores, %s, %.0f GiB RAM" % (len(os.sched_getaffinity(0)), cpu, kib / 2 ** 20)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--sizes", default="10000,100000")
    ap.add_argument("--repeat", type=int, default=1, help="runs per tool and size; the fastest counts")
    args = ap.parse_args()
    peer = onnxsim_python()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for size in [int(s) for s in args.sizes.split(",")]:
            src = os.path.join(tmp, "bench_%d.onnx" % size)
            onnx.save(generate(size), src)
            out = os.path.join(tmp, "out.onnx")
            runs = {"vexo": [sys.executable, "-m", "vexo", "convert", src, "-o", out, "-q"],
                    "onnxsim": [peer, "-c", ONNXSIM, src, out],
                    "floor": [sys.executable, "-c", FLOOR, src, out]}
            best = {name: min(timed(cmd) for _ in range(args.repeat)) for name, cmd in runs.items()}
            rows.append((size, best))
    print("Machine: %s" % machine())
    print("| nodes | vexo s | onnxsim s | floor s | vexo / onnxsim | vexo / floor |")
    print("|---|---|---|---|---|---|")
    for size, t in rows:
        print("| %d | %.2f | %.2f | %.2f | %.2f | %.2f |" % (size, t["vexo"], t["onnxsim"], t["floor"],
                                                          t["vexo"] / t["onnxsim"], t["vexo"] / t["floor"]))


if __name__ == "__main__":
    main()
