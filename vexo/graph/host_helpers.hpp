// The converter's helper functions the rules call (vexo.api.vexo_utils and
// vexo.api.ir_utils), in C++: the Python functions call these, and so does a
// rule running on the native graph.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph.hpp"

namespace vexo::graph {

// Adjacent axes of the same broadcast type merged (extents multiplied); axes
// where both are 1 join a neighbour.  std::invalid_argument when the ranks differ.
std::pair<Shape, Shape> squeeze_broadcast_dims(const Shape& a, const Shape& b);

// The axis groups of a Reshape's input and output shapes that map onto each
// other, in order; leftover unit axes join the last group.
std::vector<std::pair<Shape, Shape>> independent_parts(const Shape& in, const Shape& out);

// The Gather that keeps a Split/Concat exact after a window of its axes is
// merged into one (see vexo_utils.gen_gather_for_change_split_shape).
struct MergedGather {
  std::optional<int64_t> axis;  // nullopt: the shapes describe no such merge
  std::vector<int64_t> index;
  bool before = false;
};
MergedGather gather_for_merged_axes(const Shape& refer_shape, const Shape& new_shape, int64_t axis, int64_t new_axis,
                                    const std::vector<int64_t>& chunk_size, bool concat);

bool is_reduce_op(const std::string& op_type);
// A Reduce node's axes from its attribute or constant input; every axis when
// it names none (none with noop_with_empty_axes).  std::invalid_argument when
// they cannot be known.
std::vector<int64_t> reduce_axes(const Graph& g, const Node& node);
// Writes a Reduce node's axes where it keeps them, or in its opset's form.
void set_reduce_axes(Graph& g, Node& node, const std::vector<int64_t>& axes);
int64_t channel_alignment(const Graph& g);

}  // namespace vexo::graph
