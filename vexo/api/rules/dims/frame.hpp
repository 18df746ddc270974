// The frame of the dimension rules: the rules of each subsystem, the catalogue
// of the module's functions in source order, and the three registration tables.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "rule.hpp"

namespace vexo::dims {

// The rules of each subsystem, one source unit each.
const std::vector<RuleDef>& unsqueeze_rules();  // rank raising to 4-D
const std::vector<RuleDef>& squeeze_rules();    // rank lowering of 5-D operators
const std::vector<RuleDef>& merge_rules();      // N-D dimension merging
const std::vector<RuleDef>& lowering_rules();   // operator lowering
const std::vector<RuleDef>& layout_rules();     // channel alignment and layout

// Looks a rule up by name across all subsystems; throws std::logic_error when absent.
const RuleDef& find_rule(const std::string& name);

// The module's functions in source order: every rule plus the plain function
// "_1x1_resize_to_tile_size".
const std::vector<const char*>& catalogue();

const std::vector<TableEntry>& fuse_dims_table();
const std::vector<TableEntry>& cvt_dims_table();
const std::vector<TableEntry>& hw_dims_table();

}  // namespace vexo::dims
