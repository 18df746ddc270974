"""What a conversion did: rank census, fired entries, failures, timings."""
import collections
import json
from dataclasses import dataclass, field

# Operators that only reinterpret memory: not counted as NPU operators.
VIEW_OPS = {"Reshape", "Squeeze", "Unsqueeze", "Flatten", "Identity"}
LEFT_SHOWN = 20  # operators left off rank 4 that the terminal report lists one by one


def sees_off_rank(op_type, shapes):
    """Whether an operator with these data tensor shapes (None: unknown) runs off rank 4 on the NPU."""
    return op_type not in VIEW_OPS and any(s is None or len(s) != 4 for s in shapes)


def off_rank_nodes(ir):
    """(node, shapes of its data tensors: its non-constant inputs and its outputs) for every operator
    that sees a tensor of rank other than 4 or of unknown shape (view ops excluded), in graph order.
    The graph walks itself: no Python object per node that is on rank 4."""
    return ir._off_rank(VIEW_OPS)


def off_rank_ops(ir):
    """op type -> how many of its operators see a data tensor of rank other than 4."""
    return collections.Counter(dict(ir._off_rank_counts(VIEW_OPS)))


def off_rank_reasons(ir, attempts):
    """For every operator still off rank 4: which entries were tried on it and what they did."""
    return [{"node": node.name, "op_type": node.op_type, "ranks": sorted({len(s) for s in shapes if s is not None}),
             "entries": dict(attempts.get(node.name, {}))} for node, shapes in off_rank_nodes(ir)]


def op_counts(ir):
    return collections.Counter(dict(ir._op_counts()))


@dataclass
class Report:
    source: str
    output: str = ""
    nodes_before: int = 0
    nodes_after: int = 0
    off_rank_before: collections.Counter = field(default_factory=collections.Counter)
    off_rank_after: collections.Counter = field(default_factory=collections.Counter)
    ops_before: collections.Counter = field(default_factory=collections.Counter)
    ops_after: collections.Counter = field(default_factory=collections.Counter)
    tables: list = field(default_factory=list)          # TableRun
    failures: list = field(default_factory=list)        # RuleFailure
    cleanup: collections.Counter = field(default_factory=collections.Counter)
    constants: dict = field(default_factory=dict)       # unshared / merged counts
    prepare: list = field(default_factory=list)         # lines of the preparation report
    unknown_shapes: list = field(default_factory=list)  # tensors the preparation left of unknown shape
    phases: dict = field(default_factory=dict)          # phase -> seconds
    verify: dict = field(default_factory=dict)          # output -> {max_abs, max_rel} or a note
    verify_note: str = ""
    verified: object = None                             # True / False after a verification, None otherwise
    warnings: list = field(default_factory=list)
    off_rank_left: list = field(default_factory=list)  # off_rank_reasons() after the conversion
    applied: list = field(default_factory=list)        # engine.AppliedCall, in the order applied
    declines: list = field(default_factory=list)       # engine.GuardedDecline: calls a guard held back
    normalised: dict = field(default_factory=dict)     # normalisation -> rewrites made before the rules
    repair: object = None                              # repair.Repair: what --repair found and left out

    @property
    def fired(self):
        total = collections.Counter()
        for run in self.tables:
            total.update(run.fired)
        return total

    def to_json(self):
        return {
            "source": self.source, "output": self.output,
            "nodes": {"before": self.nodes_before, "after": self.nodes_after},
            "off_rank_4": {"before": dict(self.off_rank_before), "after": dict(self.off_rank_after),
                           "total_before": sum(self.off_rank_before.values()),
                           "total_after": sum(self.off_rank_after.values())},
            "op_types": {"before": dict(self.ops_before), "after": dict(self.ops_after)},
            "tables": [{"table": r.name, "passes": r.passes, "calls": r.calls, "fired": dict(r.fired),
                        "limit": r.limit_hit, "seconds": round(r.seconds, 4)} for r in self.tables],
            "failures": [f.__dict__ for f in self.failures],
            "guarded": [d.__dict__ for d in self.declines], "normalised": self.normalised,
            "cleanup": dict(self.cleanup), "constants": self.constants, "prepare": self.prepare,
            "unknown_shapes": self.unknown_shapes,
            "phases": {k: round(v, 4) for k, v in self.phases.items()},
            "off_rank_left": self.off_rank_left,
            "verify": self.verify, "verify_note": self.verify_note, "verified": self.verified, "warnings": self.warnings,
            "repair": self.repair.to_json() if self.repair else None,
        }

    def write_json(self, path):
        with open(path, "w") as f:
            json.dump(self.to_json(), f, indent=2, sort_keys=False)

    def lines(self):
        out = ["vexo convert: %s -> %s" % (self.source, self.output or "(not written)"),
               "nodes: %d before, %d after" % (self.nodes_before, self.nodes_after)]
        out += self.prepare
        types = sorted(set(self.off_rank_before) | set(self.off_rank_after))
        out.append("operators on tensors of rank other than 4: %d before, %d after"
                   % (sum(self.off_rank_before.values()), sum(self.off_rank_after.values())))
        if types:
            width = max(len(t) for t in types)
            out.append("  %-*s  before  after" % (width, "op type"))
            for t in types:
                out.append("  %-*s  %6d  %5d" % (width, t, self.off_rank_before[t], self.off_rank_after[t]))
        for item in self.off_rank_left[:LEFT_SHOWN]:
            tried = ", ".join("%s %s" % kv for kv in item["entries"].items()) or "no entry matches its op type"
            out.append("  left: %s '%s' (rank %s): %s" % (item["op_type"], item["node"],
                                                          "/".join(map(str, item["ranks"])) or "?", tried))
        if len(self.off_rank_left) > LEFT_SHOWN:
            out.append("  ... %d more in the JSON report" % (len(self.off_rank_left) - LEFT_SHOWN))
        for run in self.tables:
            fired = ", ".join("%s x%d" % (k, v) for k, v in run.fired.most_common())
            out.append("%s: %d pass(es), %d call(s), %.3fs; fired: %s"
                       % (run.name, run.passes, run.calls, run.seconds, fired or "nothing"))
            if run.limit_hit:
                out.append("  LIMIT: %s" % run.limit_hit)
        if any(self.cleanup.values()):
            out.append("clean-up: " + ", ".join("%s %d" % (k, v) for k, v in self.cleanup.items() if v))
        if self.constants:
            out.append("constants: " + ", ".join("%s %d" % kv for kv in self.constants.items()))
        if any(self.normalised.values()):
            out.append("normalised before the rules: " + ", ".join("%s %d" % kv for kv in self.normalised.items()))
        if self.declines:
            out.append("guarded (not handed to the rule, the rewrite would not be exact): %d" % len(self.declines))
            out += ["  " + d.line() for d in self.declines]
        if self.failures:
            out.append("rule errors (each rolled back): %d" % len(self.failures))
            out += ["  " + f.line() for f in self.failures]
        out += ["warning: " + w for w in self.warnings]
        if self.verify:
            out.append("verify (ONNX Runtime, random inputs): max abs / max rel error per output")
            for name, v in self.verify.items():
                out.append("  %s: %.3g / %.3g" % (name, v["max_abs"], v["max_rel"]))
        if self.verify_note:
            out.append("verify: " + self.verify_note)
        if self.repair:
            out += self.repair.lines()
        out.append("time: " + ", ".join("%s %.3fs" % kv for kv in self.phases.items()))
        return out
