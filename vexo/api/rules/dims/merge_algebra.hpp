// Pure shape algebra of the merge rules (no Python).
//
// Operators of rank five and above are folded into four dimensions by
// dropping unit axes and merging adjacent axes that move together.  Everything
// here works on plain integer vectors; the rules in merge_rules.cpp read the
// shapes from the graph, call these functions and write the results back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "shape_common.hpp"

namespace vexo::dims {

using Ints = std::vector<int64_t>;

// ------------------------------------------------ shared helpers

// True when every extent is non-negative.
bool all_extents_known(const Ints& shape);


// `shape` with 1s prepended up to `rank` (a shorter input broadcasts along
// the missing leading axes); unchanged when already that long.
Ints pad_left_ones(const Ints& shape, size_t rank);

// ------------------------------------------------ unit axes of N-D Transposes

// The unit axes to delete, outermost first: the walk stops as soon as only
// four axes would remain, so the rank never drops below four.
Ints unit_axes_to_drop(const Ints& shape);

// `shape` without the given axes.
Ints without_axes(const Ints& shape, const Ints& axes);

// `perm` with the dropped axes taken out and the remaining axes renumbered
// 0 .. k-1 in ascending order; the dropped axes must not be needed elsewhere.
Ints perm_without_axes(const Ints& perm, const Ints& axes);

// ------------------------------------------------ broadcast merges

// Merges adjacent axes of the same broadcast type of two equally long shapes
// (the converter's own merge, handed in by the rule).
using BroadcastMerge = std::function<std::pair<Ints, Ints>(const Ints&, const Ints&)>;

// Four-dimensional shapes found for the two operands of a broadcast merge.
struct BroadcastSplit {
  int64_t dims_keep;  // axes left unmerged (leading for the tail merge, trailing for the head merge)
  Ints shape_0;
  Ints shape_1;
};

// Elementwise operators: keep 3, 2, 1, 0 leading axes and merge the tail into
// 1, 2, 3, 4 axes; the first attempt whose merge of `a` has exactly that many
// axes wins.  Both shapes must have the same length of at least three.
std::optional<BroadcastSplit> find_tail_merge(const Ints& a, const Ints& b, const BroadcastMerge& merge);

// MatMul and Expand: keep the trailing `keep` axes, for each `keep` of
// `keep_order` in turn, and merge the leading part into 4 - keep axes; the
// first attempt whose merge of `a` has exactly that many axes wins.
std::optional<BroadcastSplit> find_head_merge(const Ints& a, const Ints& b, const Ints& keep_order,
                                              const BroadcastMerge& merge);

// ------------------------------------------------ channelwise operators

// [N, C, 1, product of the rest]: what a per-channel operator may see instead
// of an N-D tensor.  The shape needs at least two axes.
Ints channelwise_shape(const Ints& shape);

// ------------------------------------------------ N-D Transposes

// One mark per input axis: true ("squeezeable") when the axis follows the
// axis before it directly in `perm`, so both move as one block.
std::vector<bool> contiguity_marks(const Ints& perm);

// Number of unmarked axes.
int64_t independent_count(const std::vector<bool>& marks);

// How many innermost axes stay unmerged so that exactly four axes remain,
// given that merging every marked axis leaves fewer than four.
int64_t inner_axes_kept(const std::vector<bool>& marks);

struct TransposeMerge {
  Ints input_shape;  // four axes
  Ints perm;         // four entries
};

// The four-dimensional Transpose equivalent to `perm` on `shape`, or nullopt
// when no pair of axes moves together or merging all of them still leaves
// more than four axes.  `perm` must be a permutation of the shape's axes.
std::optional<TransposeMerge> plan_transpose_merge(const Ints& shape, const Ints& perm);

// ------------------------------------------------ operators along one axis

struct AxisMerge {
  Ints shape;    // four axes
  int64_t axis;  // where the operator's axis went
};

// Drops unit axes from the last towards the first until four remain, sparing
// the operator's own axis, then merges the axes after the operator's axis
// into one and, if still needed, the axes before it, from the inside out.
// `shape` needs at least five axes and `axis` must be one of them.
AxisMerge plan_axis_merge(const Ints& shape, int64_t axis);

// ------------------------------------------------ Split / Concat

// The window of `rank - 3` adjacent axes holding `axis` that becomes the one
// merged axis: of the windows starting at 0 .. 3 that contain the axis, the
// one starting at the axis itself if any, else the first.  nullopt when none
// contains it (a negative or too large axis).  Returns the window's first axis.
std::optional<int64_t> merge_window_start(size_t rank, int64_t axis);

// `shape` with the `count` axes from `start` replaced by their product.
Ints merge_window(const Ints& shape, int64_t start, int64_t count);

// Product of the window's extents other than the split/concat axis.
int64_t window_other_product(const Ints& shape, int64_t start, int64_t count, int64_t axis);

// Every chunk size multiplied by `factor`.
Ints scale_chunks(const Ints& chunks, int64_t factor);

// True when `index` is not in ascending order.
bool needs_reorder(const Ints& index);

}  // namespace vexo::dims
