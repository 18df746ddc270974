// Graph clean-up around the rule tables.
//
// Rules wrap operators in Reshapes and Transposes and leave facing pairs
// behind.  Between tables and at the end the converter joins a Reshape of a
// Reshape into one, drops a Reshape to the shape its input already has, drops
// a Transpose followed by its inverse, and drops the nodes no graph output
// depends on and the constants no node reads.  Before the rules run, every
// constant read more than once gets a copy per further read, so that a rule
// rewriting a constant in place changes only what its own input sees; equal
// constants are merged again at the end.  A clean-up after another looks
// only at what the graph's log of writes since then names (Graph::CleanupLog).
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "graph.hpp"

namespace vexo::graph {

using Counts = std::vector<std::pair<std::string, int64_t>>;  // label -> how often, in the order first counted

void redirect(Graph& g, const Name& old_name, const Name& new_name);
// Removes `node`, whose one output equals tensor `source`; false when it must stay
// (its output is a graph output that `source`'s producer cannot write instead).
bool bypass(Graph& g, Node& node, const Name& source);

bool join_reshape_chain(Graph& g, Node& node);
bool drop_identity_reshape(Graph& g, Node& node);
bool cancel_transpose_pair(Graph& g, Node& node);
int64_t drop_dead(Graph& g);

// The clean-ups to a fixed point, as one worklist.
Counts cleanup(Graph& g);
int64_t unshare_constants(Graph& g);
int64_t merge_constants(Graph& g);

}  // namespace vexo::graph
