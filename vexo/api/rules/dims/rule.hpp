// What every rule module shares: the rule type, its description and a table
// entry.  The dimension rules and the converter's own rank-4 rules are both
// made of these.
#pragma once

#include <vector>

#include "host.hpp"

namespace vexo::dims {

// rule(ir, nodes, quant_tab) -> (nodes to remove, nodes to add)
using RuleFn = RuleResult (*)(const Ir& ir, const NodeList& nodes, const Ref& quant_tab);

struct RuleDef {
  const char* name;  // "_p_..."
  RuleFn fn;
  const char* doc;   // purpose, matched operators, approach
};

struct TableEntry {
  const char* entry;
  std::vector<const char*> ops;
  const char* proc;
};

}  // namespace vexo::dims
