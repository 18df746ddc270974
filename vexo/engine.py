"""The rule engine: runs registration tables on an IR graph to a fixed point.

A table maps an entry name to {"ops": [op types], "proc": rule}. Entries are
indexed by their first op type; a pattern of several op types is matched by
following single-consumer edges from the first node (the next node must be the
only consumer and read the previous node's first output as its first input).

Nodes with a tensor of unknown shape are not handed to the rules: they
rewrite attributes for the shapes they see; nor are nodes with an empty
tensor, which hold nothing to compute. A table runs in passes. The first pass visits every node in topological order;
each later pass visits only the nodes next to a change of the pass before
(the changed and added nodes and their producers and consumers), so a large
graph costs work proportional to what changes. For each visited node the
node's entries are tried in table order and the first that changes the graph
ends the node's turn. The table is done when a pass changes nothing; a pass
limit stops a run that would not settle, and the limit is reported.

Every rule call is a transaction: when the rule raises (an error reported
through vexoLog.e included) or leaves a broken graph (a tensor read but not
written, a tensor written twice, a cycle, a recorded shape that contradicts its
node), the graph and the quantization table are restored exactly as they were
before the call, the failure is recorded with the entry, node and message, and
the run goes on.

Before a call the engine asks the converter's guards (vexo.guards) whether
the rule's rewrite of this chain would be exact; a refused chain is not handed
to the rule, and the refusal is recorded with the guard's reason. CallLimits
make the engine replay a prefix of a conversion (only the first k calls that
change the graph) or leave given (entry, node) calls out: the engine is
deterministic, so both reproduce a run exactly up to where they cut it.
"""
import collections
import time
from dataclasses import dataclass, field

from vexo.api.ir_graph import ModelError
from vexo.api.vexo_log import VexoError

DEFAULT_MAX_PASSES = 50
FIRES_PER_NODE = 32  # a node rewritten more often than this in one table is left as it is


class BrokenGraph(Exception):
    """A rule result that would leave the graph inconsistent."""


@dataclass
class RuleFailure:
    table: str
    entry: str
    node: str
    message: str

    def line(self):
        return "%s/%s on node '%s': %s" % (self.table, self.entry, self.node, self.message)


@dataclass
class AppliedCall:
    """One rule call that changed the graph, in the order the engine applied them."""
    table: str
    entry: str
    node: str                                    # the first matched node
    removed: list = field(default_factory=list)  # names of the nodes the call removed
    added: list = field(default_factory=list)    # names of the nodes it added
    changed: list = field(default_factory=list)  # names of surviving nodes it rewrote (matched nodes included)


@dataclass
class GuardedDecline:
    """A rule call the converter did not make because a guard found the rewrite would not be exact."""
    table: str
    entry: str
    node: str
    guard: str
    reason: str

    def line(self):
        return "%s/%s on node '%s' (%s): %s" % (self.table, self.entry, self.node, self.guard, self.reason)


@dataclass(frozen=True)
class CallLimits:
    """Rule calls left out of a run: every call once `stop_after` calls have changed the graph, and the
    (entry, node name) pairs in `skip`."""
    stop_after: int = None
    skip: frozenset = frozenset()


@dataclass
class TableRun:
    name: str
    passes: int = 0
    calls: int = 0
    fired: collections.Counter = field(default_factory=collections.Counter)
    limit_hit: str = ""
    seconds: float = 0.0


class QuantTable(dict):
    """The model's quantization table, whose writes can be undone like the graph's."""

    _MISSING = object()

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._log = None

    def __setitem__(self, key, value):
        if self._log is not None:
            self._log.append((key, self.get(key, self._MISSING)))
        super().__setitem__(key, value)

    def __delitem__(self, key):
        if self._log is not None:
            self._log.append((key, self.get(key, self._MISSING)))
        super().__delitem__(key)

    def begin(self):
        self._log = []

    def commit(self):
        self._log = None

    def rollback(self):
        log, self._log = self._log or [], None
        for key, old in reversed(log):
            if old is self._MISSING:
                dict.pop(self, key, None)
            else:
                dict.__setitem__(self, key, old)


def index_table(table):
    """op type -> [(entry name, ops, rule)] in table order, keyed by the pattern's first op type."""
    index = collections.defaultdict(list)
    for entry_name, entry in table.items():
        ops = list(entry["ops"])
        index[ops[0]].append((entry_name, ops, entry["proc"]))
    return index


def match_chain(ir, node, ops):
    """The nodes matching `ops` from `node` along single-consumer edges, or None."""
    chain = [node]
    cur = node
    for op in ops[1:]:
        nxt = ir.next_nodes(cur)
        if len(nxt) != 1 or nxt[0].op_type != op or not nxt[0].input or nxt[0].input[0] != cur.output[0]:
            return None
        cur = nxt[0]
        chain.append(cur)
    return chain


def _empty_result(result):
    return (isinstance(result, (tuple, list)) and len(result) == 2 and isinstance(result[0], (list, tuple))
            and isinstance(result[1], (list, tuple)) and not result[0] and not result[1])


def failure_message(exc):
    if isinstance(exc, VexoError):
        return exc.message
    text = str(exc) or type(exc).__name__
    return text if isinstance(exc, (BrokenGraph, ModelError)) else "%s: %s" % (type(exc).__name__, text)


class Engine:
    def __init__(self, ir, quant_tab=None, max_passes=DEFAULT_MAX_PASSES, check_shapes=True, on_progress=None,
                 guards=None, limits=None):
        self.ir = ir
        self.quant_tab = quant_tab if isinstance(quant_tab, QuantTable) else QuantTable(quant_tab or {})
        self.max_passes = max_passes
        self.check_shapes = check_shapes
        self.on_progress = on_progress
        self.guards = guards  # (rule name, ir, chain) -> (guard name, reason) or None
        self.limits = limits or CallLimits()
        self.failures = []
        self.applied = []  # AppliedCall, in order
        self.declines = []  # GuardedDecline, one per (table, entry, node)
        self._declined = set()
        # node name -> {entry: "fired" | "declined" | "error" | "guarded (...)" | "skipped"}
        self.attempts = collections.defaultdict(dict)

    # ------------------------------------------------------------ calls the converter does not make

    def held_back(self, table_name, entry_name, rule, chain):
        """True when the call is not made: it is to be skipped, the limit of applied calls is reached,
        or a guard refuses the chain (recorded with its reason)."""
        node = chain[0].name
        if (entry_name, node) in self.limits.skip:
            self.attempts[node][entry_name] = "skipped"
            return True
        if self.limits.stop_after is not None and len(self.applied) >= self.limits.stop_after:
            return True
        refused = self.guards(getattr(rule, "__name__", ""), self.ir, chain) if self.guards else None
        if refused is None:
            return False
        guard, reason = refused
        self.attempts[node][entry_name] = "guarded (%s): %s" % (guard, reason)
        if (table_name, entry_name, node) not in self._declined:
            self._declined.add((table_name, entry_name, node))
            self.declines.append(GuardedDecline(table_name, entry_name, node, guard, reason))
        return True

    # ------------------------------------------------------------ one rule call

    def call(self, table_name, entry_name, rule, chain):
        """Calls `rule` on `chain` as a transaction; returns the nodes to revisit, or None when nothing changed."""
        ir = self.ir
        before = ir.changes
        ir.begin()
        self.quant_tab.begin()
        try:
            result = rule(ir, list(chain), self.quant_tab)
            if ir.changes == before and _empty_result(result):
                ir.commit()
                self.quant_tab.commit()
                return None  # declined: nothing written, nothing to apply
            removed = list(result[0]) if isinstance(result, (tuple, list)) and len(result) == 2 else []
            added = ir.apply(result)
            written = ir.written
            self._check(chain, removed, added, written)
        except Exception as exc:  # the rule's own errors and broken results alike
            ir.rollback()
            self.quant_tab.rollback()
            self.failures.append(RuleFailure(table_name, entry_name, chain[0].name, failure_message(exc)))
            return None
        ir.commit()
        self.quant_tab.commit()
        if ir.changes == before:
            return None
        touched = [n for n in list(chain) + added + written if n in ir]
        added_set = set(added)
        self.applied.append(AppliedCall(
            table_name, entry_name, chain[0].name, [getattr(n, "name", "") for n in removed if n not in ir],
            [n.name for n in added if n in ir],
            sorted({n.name for n in touched if n not in added_set})))
        revisit = set(touched)
        for n in touched:
            revisit.update(ir.pre_nodes(n))
            revisit.update(ir.next_nodes(n))
        return revisit

    def _check(self, chain, removed, added, written):
        ir = self.ir
        live = [n for n in set(chain) | set(added) | set(written) if n in ir]
        for node in live:
            for t in node.input:
                if t and not self._available(t):
                    raise BrokenGraph("node '%s' reads tensor '%s', which nothing writes any more" % (node.name, t))
            for t in node.output:
                if t and ir.producer(t) is not node:
                    raise BrokenGraph("tensor '%s' is written by more than one node" % t)
        for node in removed:
            for t in getattr(node, "output", ()):
                if t and (ir.consumers(t) or t in ir.outputs) and not self._available(t):
                    raise BrokenGraph("tensor '%s' of removed node '%s' is still read" % (t, node.name))
        if self.check_shapes and ir.shape_conflicts:
            t, recorded, shape, node = ir.shape_conflicts[0]
            if recorded is None:
                raise BrokenGraph(shape)  # the node computes nothing from its inputs' shapes
            raise BrokenGraph("tensor '%s' is recorded as %s but node '%s' (%s) computes %s"
                              % (t, recorded, node.name, node.op_type, shape))

    def _shapes_known(self, node):
        """Rules rewrite attributes for the shapes they see, so a node whose tensors have no known
        shape (a symbolic dimension left by an unprepared model) is not handed to them."""
        ir = self.ir
        return all(ir.get_shape(t) is not None for t in list(node.input) + list(node.output)
                   if t and t not in ir.consts)

    def _reads_or_writes_empty(self, node):
        """An empty tensor holds nothing for the NPU to compute, and before opset 14 a Reshape cannot
        give one another rank (a 0 in its target copies the input's extent), so rules leave it alone."""
        ir = self.ir
        return any(0 in ir.get_shape(t) for t in list(node.input) + list(node.output) if t and t not in ir.consts)

    def _available(self, tensor):
        ir = self.ir
        return ir.producer(tensor) is not None or tensor in ir.consts or tensor in ir.inputs

    # ------------------------------------------------------------ one table

    def run_table(self, table_name, table):
        ir = self.ir
        run = TableRun(table_name)
        start = time.perf_counter()
        index = index_table(table)
        fires = collections.Counter()
        visit = None
        while True:
            if run.passes >= self.max_passes:
                run.limit_hit = "stopped after %d passes with changes still pending" % self.max_passes
                break
            run.passes += 1
            order = ir.topological_order()
            if visit is not None:
                order = [n for n in order if n in visit]
            changed = set()
            for k, node in enumerate(order):
                if self.on_progress and k % 2000 == 0:
                    self.on_progress(table_name, run.passes, k, len(order))
                if node not in ir or node.op_type not in index or fires[node.name] >= FIRES_PER_NODE:
                    continue
                if not self._shapes_known(node):
                    self.attempts[node.name] = {"(every entry)": "not tried: a tensor's shape is unknown"}
                    continue
                if self._reads_or_writes_empty(node):
                    self.attempts[node.name] = {"(every entry)": "not tried: a tensor holds no elements"}
                    continue
                for entry_name, ops, rule in index[node.op_type]:
                    chain = match_chain(ir, node, ops)
                    if chain is None or self.held_back(table_name, entry_name, rule, chain):
                        continue
                    run.calls += 1
                    failures = len(self.failures)
                    revisit = self.call(table_name, entry_name, rule, chain)
                    self.attempts[node.name][entry_name] = (
                        "fired" if revisit is not None else "error" if len(self.failures) > failures else "declined")
                    if revisit is not None:
                        run.fired[entry_name] += 1
                        fires[node.name] += 1
                        if fires[node.name] == FIRES_PER_NODE:
                            run.limit_hit = run.limit_hit or ("node '%s' was rewritten %d times; left as it is"
                                                              % (node.name, FIRES_PER_NODE))
                        changed |= revisit
                        break
            if not changed:
                break
            visit = changed
        run.seconds = time.perf_counter() - start
        return run
