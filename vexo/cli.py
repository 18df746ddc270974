"""Command line: `python3 -m vexo convert [MODEL] -o OUT.onnx [options]`, a thin layer over convert_model."""
import argparse
import re
import sys
import time
from pathlib import Path

from vexo.convert import EXTRA_RULES, MODES_2D, ConversionError, convert_model
from vexo.engine import DEFAULT_MAX_PASSES

SAMPLE = Path(__file__).with_name("data") / "sample.onnx"


def _parser():
    p = argparse.ArgumentParser(prog="vexo", description="vexo model converter: dimension rules.")
    sub = p.add_subparsers(dest="command", required=True)
    c = sub.add_parser("convert", help="run the dimension rules on an ONNX model",
                       description="Loads an ONNX model, runs the rule tables fuse_dims, cvt_dims, rank4_dims and "
                                   "hw_dims to a fixed point, removes cancelling Reshapes/Transposes, writes the "
                                   "converted model and reports what changed. Without MODEL the bundled sample is "
                                   "converted.")
    c.add_argument("model", nargs="?", help="input .onnx file (default: the bundled sample model)")
    c.add_argument("-o", "--output", help="output .onnx file (default: MODEL's name with .converted.onnx, "
                                          "in the current directory)")
    c.add_argument("--input-shape", action="append", default=[], metavar="NAME:D,D,...",
                   help="full shape of the graph input NAME, e.g. input:1,3,224,224 (repeatable)")
    c.add_argument("--dim", action="append", default=[], metavar="SYMBOL=N",
                   help="value of the symbolic input dimension SYMBOL, e.g. batch=8 (repeatable; open dimensions "
                        "not set take 1)")
    c.add_argument("--tables", default="fuse_dims,cvt_dims,rank4_dims,hw_dims",
                   help="tables to run, in the converter's order (default: %(default)s; short names "
                        "fuse,cvt,rank4,hw)")
    c.add_argument("--extra-rules", metavar="NAMES", default="",
                   help="also run the dimension rules without a table entry, right after cvt_dims (before "
                        "rank4_dims): 'all' or a comma-separated list of "
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
    c.add_argument("--html", metavar="FILE.html",
                   help="write an HTML report: summary, operators left off rank 4, a before/after picture per "
                        "rewrite site")
    c.add_argument("-q", "--quiet", action="store_true", help="print only errors")
    return p


def input_shapes_from(shape_specs, dim_specs):
    """The `input_shapes` of the preparation from --input-shape NAME:D,D,... and --dim SYMBOL=N."""
    shapes = {}
    for spec in shape_specs:
        name, colon, dims = spec.rpartition(":")   # input names may hold ':' themselves
        if not colon or not name or not re.fullmatch(r"\s*\d+(\s*,\s*\d+)*\s*", dims):
            raise ConversionError("--input-shape '%s': expected NAME:D,D,... with positive integers, "
                                  "e.g. input:1,3,224,224" % spec)
        _set_once(shapes, name, [int(d) for d in dims.split(",")], "--input-shape")
    for spec in dim_specs:
        symbol, equals, value = spec.partition("=")
        if not equals or not symbol.strip() or not re.fullmatch(r"\s*\d+\s*", value):
            raise ConversionError("--dim '%s': expected SYMBOL=N with a positive integer N, e.g. batch=8" % spec)
        _set_once(shapes, symbol.strip(), int(value), "--dim")
    return shapes


def _set_once(shapes, name, value, option):
    if name in shapes:
        raise ConversionError("%s: '%s' is given twice" % (option, name))
    shapes[name] = value


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
    progress = None if args.quiet else _progress()
    _, report = convert_model(source, input_shapes=input_shapes_from(args.input_shape, args.dim) or None,
                              tables=args.tables, extra_rules=args.extra_rules, verify=args.verify,
                              repair=args.repair, output=output, html=args.html, prepare=not args.no_prepare,
                              unsqueeze_2d_mode=args.unsqueeze_2d_mode, dynamic_shapes=args.dynamic_shapes,
                              npu_target=args.npu_target, channel_align=args.channel_align,
                              max_passes=args.max_passes, use_guards=not args.no_guards, on_progress=progress,
                              return_model=False)
    if progress is not None and progress.shown[0]:
        sys.stderr.write("\n")
    if args.report:
        report.write_json(args.report)
    if not args.quiet:
        print("\n".join(report.lines()))
    return 3 if report.verified is False else 0


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
