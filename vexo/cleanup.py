"""Graph clean-up around the rule tables.

Rules wrap operators in Reshapes and Transposes and leave facing pairs behind
for the engine to remove. Between tables and at the end the converter
* joins a Reshape of a Reshape into one Reshape;
* drops a Reshape to the shape its input already has;
* drops a Transpose followed by its inverse;
* drops nodes whose results nobody reads, and constants nobody reads.
Before the rules run, every constant read more than once (by several nodes,
or at several inputs of one node) is given one copy per read, so that a rule
that rewrites a constant in place changes only what that input sees; identical
constants are merged again at the end.

The steps run in C++ over the native graph (vexo/graph/cleanup.cpp); a copy of
a constant shares its data until one of them is rewritten.
"""
import collections

from vexo import _core

redirect = _core.redirect                        # every reader of tensor `old` reads `new` instead
bypass = _core.bypass                            # removes a node whose one output equals `source`
join_reshape_chain = _core.join_reshape_chain    # Reshape(Reshape(x)) reads x directly
drop_identity_reshape = _core.drop_identity_reshape
cancel_transpose_pair = _core.cancel_transpose_pair
drop_dead = _core.drop_dead                      # the nodes no output depends on, the constants nobody reads
unshare_constants = _core.unshare_constants
merge_constants = _core.merge_constants


def cleanup(ir):
    """Runs the clean-ups to a fixed point; returns how often each applied (a Counter)."""
    return collections.Counter(dict(_core.cleanup(ir)))
