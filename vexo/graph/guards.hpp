// The converter's guards: rule calls it does not make, because the rewrite
// would not be exact.
//
// A few patterns the dimension rules rewrite into graphs that compute
// something else.  Each has a guard here, under the rule it protects: a cheap
// predicate over the matched chain that reads only what the rule itself reads
// (shapes, attributes, constants, neighbours) and gives the reason it refuses,
// or nothing.  A guard refuses exactly the chains whose rewrite is wrong, so
// the rule still fires on the safe cases of the same op type.  The engine asks
// them right before a call; vexo/guards.py registers them, beside any guard
// written in Python.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "graph.hpp"

namespace vexo::graph {

using GuardFn = std::optional<std::string> (*)(const Graph& g, const std::vector<Node*>& chain);

struct NativeGuard {
  const char* name;              // the pattern it keeps from the rule
  const char* rule;              // the rule function it protects
  std::vector<const char*> ops;  // op types of the first matched node it looks at; empty: every one
  GuardFn fn;
  const char* doc;
};

// Every guard, in the order the converter asks them.
const std::vector<NativeGuard>& native_guards();

// The layout the unsqueeze rule gives a rank-3 operator [a, b, c]: the channel
// axis goes to the largest axis, preferring B, then A; "AC1B" only when B is 1.
std::string size_rule_mode(int64_t a, int64_t b, int64_t c);

}  // namespace vexo::graph
