// The converter's own rank-4 rules: what the dimension rules leave off rank 4
// in real exports (the classifier Gemm, LayerNormalization, unary activations
// and the q/k/v split of attention), made four-dimensional.
#pragma once

#include <vector>

#include "rule.hpp"

namespace vexo::rank4 {

using dims::RuleDef;
using dims::TableEntry;

// The rules in source order.
const std::vector<RuleDef>& rank4_rules();

// The table rank4_dims: one entry per matched op type, named after the rule
// (and the op type where a rule matches several).
const std::vector<TableEntry>& rank4_dims_table();

}  // namespace vexo::rank4
