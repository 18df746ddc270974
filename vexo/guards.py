"""Guards: rule calls the converter does not make, because the rewrite would not be exact.

The dimension rules rewrite a few patterns into graphs that compute something
else (README, "What the converter does about the rules' limits"). Each such
pattern has a guard here, registered under the rule function it protects: a
cheap predicate `(ir, chain) -> reason or None` that reads only what the rule
itself reads through the host interface (shapes, attributes, constants,
neighbours). The engine asks `check` right before it calls a rule; on a
reason it does not call it and reports the decline with the guard's name.

A guard refuses exactly the chains whose rewrite is wrong and nothing around
them, so the rule still fires on the safe cases of the same op type. A host
that calls a rule directly still gets its own rewrite: the guards belong to
this converter, not to the rule module.
"""
import collections
from dataclasses import dataclass

from vexo import _core


@dataclass(frozen=True)
class Guard:
    name: str          # the pattern it keeps from the rule
    rule: str          # name of the rule function it protects
    ops: frozenset     # op types of the first matched node it looks at; empty: every one
    predicate: object  # (ir, chain) -> reason or None


GUARDS = collections.defaultdict(list)  # rule function name -> [Guard], in registration order


def guard(rule, *ops):
    """Registers the decorated predicate as a guard of `rule` for matches starting with one of `ops`."""
    def register(predicate):
        GUARDS[rule].append(Guard(predicate.__name__, rule, frozenset(ops), predicate))
        return predicate
    return register


def check(rule_name, ir, chain):
    """(guard name, reason) of the first guard of `rule_name` that refuses `chain`, or None."""
    for g in GUARDS.get(rule_name, ()):
        if g.ops and chain[0].op_type not in g.ops:
            continue
        reason = g.predicate(ir, chain)
        if reason:
            return g.name, reason
    return None


def guards_of(rule_name, op_type):
    """The guards of `rule_name` that look at matches starting with `op_type`, in the order they are asked."""
    return [g for g in GUARDS.get(rule_name, ()) if not g.ops or op_type in g.ops]


for _name, _rule, _ops, _predicate in _core.native_guards():
    GUARDS[_rule].append(Guard(_name, _rule, frozenset(_ops), _predicate))
