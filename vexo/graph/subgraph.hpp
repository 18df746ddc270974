// Subgraphs of If, Loop and Scan nodes, kept as the AttributeProtos they
// were read from: what they read from the scopes around them, and renaming
// such a read.
#pragma once

#include "graph.hpp"

namespace vexo::graph {

bool has_subgraph(const Node& node);
// Tensors the subgraphs of `node` read from the scopes around them.
Names outer_reads(const Node& node);
// Points the reads of outer tensor `from` in `node`'s subgraphs at `to`
// (and updates the node's list of outer reads).
void rename_outer(Graph& g, Node& node, const Name& from, const Name& to);

}  // namespace vexo::graph
