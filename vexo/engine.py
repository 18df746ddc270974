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

The loop runs in C++ (vexo/graph/engine.cpp). The rules of the compiled rule
modules are called there directly; any other `proc` (a Python function: a
test's rule, a user's table) is called through Python with the same
guarantees. Guards are Python predicates: the engine asks them only for the
entries whose rule has a guard for the matched op type.
"""
import collections
import collections.abc
from dataclasses import dataclass, field

from vexo import _core

DEFAULT_MAX_PASSES = _core.DEFAULT_MAX_PASSES
FIRES_PER_NODE = _core.FIRES_PER_NODE  # a node rewritten more often than this in one table is left as it is

BrokenGraph = _core.BrokenGraph  # a rule result that would leave the graph inconsistent


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


class AppliedCalls(collections.abc.Sequence):
    """The engine's applied calls as a sequence of AppliedCall, each made when it is read: a large run
    applies tens of thousands, and most reports never look at them."""

    def __init__(self, log):
        self._log = log

    def __len__(self):
        return len(self._log)

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        if index < 0:
            index += len(self)
        if not 0 <= index < len(self):
            raise IndexError("applied call %d of %d" % (index, len(self)))
        return AppliedCall(*self._log[index])

    def __eq__(self, other):
        return isinstance(other, collections.abc.Sequence) and list(self) == list(other)

    def __repr__(self):
        return "AppliedCalls(%d calls)" % len(self)


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
    return _core.match_chain(ir, node, list(ops))


class _Attempts:
    """node name -> {entry: "fired" | "declined" | "error" | why it was not tried}, read from the engine."""

    def __init__(self, native):
        self._native = native

    def get(self, name, default=None):
        found = self._native.attempts_of(name)
        return default if found is None else found

    def __getitem__(self, name):
        return self.get(name, {})


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
        self.declines = []  # GuardedDecline, one per (table, entry, node)
        self._native = _core.Engine(ir, self.quant_tab, self.failures, RuleFailure, max_passes, check_shapes,
                                    on_progress)
        self._native.set_limits(self.limits.stop_after, [tuple(s) for s in self.limits.skip], self.declines,
                                GuardedDecline)
        # node name -> {entry: "fired" | "declined" | "error" | "guarded (...)" | "skipped"}
        self.attempts = _Attempts(self._native)

    def _guards(self, table):
        """(entries the host-wide guard function is asked about, entry -> its guards): with the converter's
        own guards, every entry gets the guards of its rule for its op type, asked without Python when they
        are compiled; any other guard function is asked about every entry."""
        if self.guards is None:
            return [], {}
        from vexo import guards as registry
        if self.guards is not registry.check:
            return list(table), {}
        lists = {}
        for name, e in table.items():
            found = registry.guards_of(getattr(e["proc"], "__name__", ""), list(e["ops"])[0])
            if found:
                lists[name] = [(g.name, sorted(g.ops), g.predicate) for g in found]
        return [], lists

    @property
    def applied(self):
        """Every rule call that changed the graph (AppliedCall), in order."""
        return AppliedCalls(self._native.applied)

    def call(self, table_name, entry_name, rule, chain):
        """Calls `rule` on `chain` as a transaction; returns the nodes to revisit, or None when nothing changed."""
        return self._native.call(table_name, entry_name, rule, list(chain))

    def run_table(self, table_name, table):
        hook = self.call if type(self).call is not Engine.call else None
        guarded, guard_lists = self._guards(table)
        passes, calls, fired, limit, seconds = self._native.run_table(table_name, table, hook, self.guards, guarded,
                                                                      guard_lists)
        return TableRun(table_name, passes, calls, collections.Counter(dict(fired)), limit, seconds)
