"""Repair: find the rule call that made a conversion compute something else, and convert without it.

When the converted model's outputs differ from the original's in ONNX Runtime,
the rule calls that changed the graph (Report.applied, in order) are bisected.
The engine is deterministic, so converting again with only the first k calls
applied (CallLimits.stop_after) reproduces the run up to call k. The smallest k
whose model fails verification, with k - 1 passing, names the culprit: call k,
reported with its table, entry, node and the largest error it brings. The
model is then converted without that call (CallLimits.skip: that entry is not
called on that node) and verified again; a further culprit is looked for in
the same way, up to `max_culprits`.

Cost, with n calls applied: about log2(n) conversions and verifications per
culprit, one more when the culprit is the first call (the run without any
rule call is checked then), and one of each for the model without it.
"""
from dataclasses import dataclass, field

from vexo.convert import convert, verify
from vexo.engine import CallLimits

MAX_CULPRITS = 5


@dataclass
class Culprit:
    table: str
    entry: str
    node: str
    call: int        # 1-based position among the applied calls of the run it was found in
    max_abs: float   # largest absolute error of any output once the call is applied

    def line(self):
        return "%s/%s on node '%s' (call %d): outputs differ by up to %.3g" % (
            self.table, self.entry, self.node, self.call, self.max_abs)


@dataclass
class Repair:
    culprits: list = field(default_factory=list)
    conversions: int = 0
    verifications: int = 0
    note: str = ""   # why the search stopped short, when it did

    def to_json(self):
        return {"culprits": [c.__dict__ for c in self.culprits], "conversions": self.conversions,
                "verifications": self.verifications, "note": self.note}

    def lines(self):
        out = ["repair: %d culprit(s), %d conversions, %d verifications"
               % (len(self.culprits), self.conversions, self.verifications)]
        out += ["  left out: " + c.line() for c in self.culprits]
        return out + (["  " + self.note] if self.note else [])


class _Runs:
    """Conversions and verifications of one model under growing skip sets, counted."""

    def __init__(self, model, options):
        self.model, self.options = model, dict(options)
        self.repair = Repair()

    def convert(self, limits):
        self.repair.conversions += 1
        return convert(self.model, call_limits=limits, **self.options)

    def verify(self, original, ir):
        self.repair.verifications += 1
        return verify(original, ir.to_model())

    def fails(self, limits):
        """(True when the model converted under `limits` fails verification, its largest error)."""
        ir, _, original = self.convert(limits)
        errors, _, ok = self.verify(original, ir)
        return ok is False, _largest_error(errors)


def _largest_error(errors):
    return max((e["max_abs"] for e in errors.values()), default=float("inf"))


def _first_failing_call(runs, applied, skip, error):
    """(k, error) of the smallest prefix of `applied` whose model fails, given that the whole run fails
    with `error`; None when the run without any rule call fails as well (not a rule's doing)."""
    lo, hi = 0, len(applied)
    while hi - lo > 1:
        mid = (lo + hi) // 2
        failed, err = runs.fails(CallLimits(stop_after=mid, skip=skip))
        if failed:
            hi, error = mid, err
        else:
            lo = mid
    if hi == 1 and runs.fails(CallLimits(stop_after=0, skip=skip))[0]:
        return None
    return hi, error


def repair(model, max_culprits=MAX_CULPRITS, **options):
    """Converts and verifies `model` (keywords as for convert); while the outputs differ, finds the rule
    call responsible and converts without it. Returns (IrGraph, Report, original, verdict) of the last
    conversion, with report.repair telling what was found and what it cost; verdict as verify's."""
    runs = _Runs(model, options)
    skip = frozenset()
    ir, report, original = runs.convert(CallLimits(skip=skip))
    errors, note, ok = runs.verify(original, ir)
    while ok is False and len(runs.repair.culprits) < max_culprits:
        found = _first_failing_call(runs, report.applied, skip, _largest_error(errors)) if report.applied else None
        if found is None:
            runs.repair.note = "the outputs differ without any rule call: not a rule's doing"
            break
        k, error = found
        call = report.applied[k - 1]
        runs.repair.culprits.append(Culprit(call.table, call.entry, call.node, k, error))
        skip = skip | {(call.entry, call.node)}
        ir, report, original = runs.convert(CallLimits(skip=skip))
        errors, note, ok = runs.verify(original, ir)
    if ok is False and not runs.repair.note:
        runs.repair.note = "still differing after %d culprits; stopped" % max_culprits
    report.verify, report.verify_note, report.repair = errors, note, runs.repair
    return ir, report, original, ok
