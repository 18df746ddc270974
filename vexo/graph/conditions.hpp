// Rule calls the engine need not make.
//
// Most rule calls decline: the rule looks at its node and finds nothing to
// do.  For a rule called on many nodes, the checks it begins with, which
// decline without writing anything, are repeated here as a cheap condition
// the engine asks on the native graph before it opens a transaction (a
// rule's cheap condition before its rewrite, as in a rule-based graph
// transformer).  A call whose condition fails is counted and recorded as
// declined, as the rule would have declined it.  A condition is the rule's
// own first checks, never more: every call that could change the graph
// meets it.
#pragma once

#include <string>
#include <vector>

#include "graph.hpp"

namespace vexo::graph {

// Whether the call on `chain` could change anything.
using ConditionFn = bool (*)(const Graph& g, const std::vector<Node*>& chain);

struct NativeCondition {
  const char* module;  // the rule module
  const char* rule;    // the rule function (its name in the module's tables)
  ConditionFn fn;
  const char* doc;
};

// The condition of the function `rule` of the rule module `module`, or
// nullptr when it has none.
const NativeCondition* condition_of(const std::string& module, const std::string& rule);

}  // namespace vexo::graph
