"""Command line: `python3 -m vexo convert [MODEL] -o OUT.onnx [options]`."""
import argparse
import sys
import time
from pathlib import Path

from vexo.convert import (EXTRA_RULES, MODES_2D, ConversionError, convert, load_model, table_names, verify,
                          write_model_atomically)
from vexo.engine import DEFAULT_MAX_PASSES

SAMPLE = Path(__file__).with_name("data") / "sample.onnx"


def _parser():
    p = argparse.ArgumentParser(prog="python3 -m vexo", description="vexo model converter: dimension rules.")
    sub = p.add_subparsers(dest="command", required=True)
    c = sub.add_parser("convert", help="run the dimension rules on an ONNX model",
                       description="Loads an ONNX model, runs the rule tables fuse_dims, cvt_dims and hw_dims to a "
                                   "fixed point, removes cancelling Reshapes/Transposes, writes the converted model "
                                   "and reports what changed. Without MODEL the bundled sample is converted.")
    c.add_argument("model", nargs="?", help="input .onnx file (default: the bundled sample model)")
    c.add_argument("-o", "--output", help="output .onnx file (default: MODEL's name with .converted.onnx, "
                                          "in the current directory)")
    c.add_argument("--tables", default="fuse_dims,cvt_dims,hw_dims",
                   help="tables to run, in the converter's order (default: %(default)s; short names fuse,cvt,hw)")
    c.add_argument("--extra-rules", metavar="NAMES", default="",
                   help="also run rules without a table entry, after cvt_dims: 'all' or a comma-separated list of "
                        + ", ".join(EXTRA_RULES))
    c.add_argument("--unsqueeze-2d-mode", default="AB11",
                   choices=MODES_2D,
                   help="dimension mode of two-dimensional operators (default: %(default)s)")
    c.add_argument("--dynamic-shapes", action="store_true", help="treat the model's input shapes as dynamic")
    c.add_argument("--npu-target", default="", help="target NPU identifier (e.g. n7, x4)")
    c.add_argument("--channel-align", type=int, default=None, help="channel alignment (default: the target's)")
    c.add_argument("--no-prepare", action="store_true",
                   help="skip folding of constant subgraphs, Identity removal and static shapes")
    c.add_argument("--no-guards", action="store_true",
                   help="hand every match to its rule, also the patterns the rules rewrite into something else "
                        "(for diagnosis; combine with --repair)")
    c.add_argument("--max-passes", type=int, default=DEFAULT_MAX_PASSES,
                   help="pass limit per table (default: %(default)s)")
    c.add_argument("--verify", action="store_true",
                   help="run original and converted model in ONNX Runtime on random inputs and compare")
    c.add_argument("--repair", action="store_true",
                   help="verify (implies --verify); when the outputs differ, find the rule calls responsible by "
                        "bisection and write the model converted without them")
    c.add_argument("--report", metavar="FILE.json", help="write the report as JSON")
    c.add_argument("--html", metavar="FILE.html", help="write an HTML report with before/after pictures")
    c.add_argument("-q", "--quiet", action="store_true", help="print only errors")
    return p


def _progress():
    start = time.perf_counter()
    shown = [False]

    def show(table, pass_no, done, total):
        if time.perf_counter() - start > 2.0:
            sys.stderr.write("\r%s pass %d: %d/%d nodes   " % (table, pass_no, done, total))
            sys.stderr.flush()
            shown[0] = True
    show.shown = shown
    return show


def run_convert(args):
    source = Path(args.model) if args.model else SAMPLE
    output = Path(args.output) if args.output else Path(source.name.replace(".onnx", "") + ".converted.onnx")
    if args.channel_align is not None and args.channel_align <= 0:
        raise ConversionError("--channel-align must be a positive integer")
    if args.max_passes <= 0:
        raise ConversionError("--max-passes must be a positive integer")
    tables = table_names(args.tables)
    t0 = time.perf_counter()
    model = load_model(source)
    load_seconds = time.perf_counter() - t0
    progress = None if args.quiet else _progress()
    options = dict(source=str(source), tables=tables, unsqueeze_2d_mode=args.unsqueeze_2d_mode,
                   dynamic_shapes=args.dynamic_shapes, npu_target=args.npu_target, channel_align=args.channel_align,
                   prepare=not args.no_prepare, max_passes=args.max_passes, extra_rules=args.extra_rules,
                   use_guards=not args.no_guards, on_progress=progress)
    t0 = time.perf_counter()
    if args.repair:
        from vexo.repair import repair
        ir, report, original, verdict = repair(model, **options)
        report.phases["repair"] = time.perf_counter() - t0
    else:
        ir, report, original = convert(model, **options)
    if progress is not None and progress.shown[0]:
        sys.stderr.write("\n")
    report.phases = {"load": load_seconds, **report.phases}
    t0 = time.perf_counter()
    try:
        converted = ir.to_model()
    except Exception as exc:
        raise ConversionError("cannot write the converted graph: %s" % exc) from None
    write_model_atomically(converted, output)
    report.output = str(output)
    report.phases["save"] = time.perf_counter() - t0
    ok = True
    if args.repair:
        ok = verdict is not False
    elif args.verify:
        t0 = time.perf_counter()
        report.verify, report.verify_note, verdict = verify(original, converted)
        ok = verdict is not False
        report.phases["verify"] = time.perf_counter() - t0
    if args.report:
        report.write_json(args.report)
    if args.html:
        from vexo.html_report import write_html
        write_html(report, original, converted, args.html)
    if not args.quiet:
        print("\n".join(report.lines()))
    return 0 if ok else 3


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        if args.command == "convert":
            return run_convert(args)
    except ConversionError as exc:
        print("vexo: error: %s" % exc, file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("vexo: interrupted; nothing written", file=sys.stderr)
        return 130
    return 1
