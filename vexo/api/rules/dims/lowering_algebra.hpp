// Pure shape algebra of the lowering rules (no Python).
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "shape_common.hpp"

#include "array.hpp"

namespace vexo::dims {

using Ints = std::vector<int64_t>;

// ------------------------------------------------ reductions, keepdims, Gather indices, softmax axis

// The single reduced axis of a 4-D reduction, made non-negative: nullopt for
// the batch axis or an axis outside the rank.
std::optional<int64_t> single_reduce_axis(int64_t axis);

// The weight shape of the Conv/pool that reduces `axis` (1..3) of a 4-D input
// in place: [1, C, 1, 1] for C, [C, 1, H, 1] for H, [C, 1, 1, W] for W.
// nullopt when an extent the weight needs is not positive.
std::optional<Ints> reduce_kernel_shape(const Ints& in_shape, int64_t axis);

// How a ReduceSum over `axis` runs as a Conv of ones.  Kernels up to
// `max_kernel` along H or W are used directly as a depthwise Conv; a larger
// one is avoided by swapping the axis into the channel position (perm, its
// own inverse) and summing the channels with a Conv of group 1.
struct ReduceSumConv {
  Ints weight_shape;  // [out channels, in channels per group, kH, kW]
  int64_t group;
  Ints perm;          // empty: no Transpose around the Conv
};
std::optional<ReduceSumConv> plan_reduce_sum_conv(const Ints& in_shape, int64_t axis, int64_t max_kernel = 7);

// The output shape of an arg-reduce that keeps its reduced axes: the input
// shape with 1 on every axis in `axes` (negative axes count from the end).
// nullopt when an axis lies outside the rank.
std::optional<Ints> kept_dims_shape(const Ints& in_shape, const Ints& axes);

// The softmax axis of a 4-D input that has to be moved to the channel axis:
// axis normalised into 0..3, nullopt when it is already 1 or 3, outside the
// rank, or spans an extent of 1 (the softmax is then trivially 1).
std::optional<int64_t> softmax_axis_to_move(const Ints& in_shape, int64_t axis);

// True when a Reshape can bring the softmax axis to position 1 without moving
// data: one of the first three extents is 1.
bool softmax_moves_by_reshape(const Ints& in_shape);

// The 4-D shape whose channel axis is the softmax axis (0 or 2) of `in_shape`:
// [prod before, extent at axis, prod between axis and the last axis, last].
// nullopt when one of the multiplied extents is not positive.
std::optional<Ints> softmax_channel_shape(const Ints& in_shape, int64_t axis);

// The permutation that swaps the softmax axis (0 or 2) with axis 1.
Ints softmax_channel_perm(int64_t axis);


// ------------------------------------------------ Tile, Gather, Expand, constants, broadcast Mul, 1x1 Resize

// Splits one repeat factor `x` into per-Tile factors of at most `max_kernel`
// whose product is `x`: [] when x exceeds `max_fm` or has a prime factor above
// `max_kernel`, [x] when it fits one Tile, else the largest divisors from
// `max_kernel` down, taken off in turn (100 -> [5, 5, 4], 128 -> [8, 8, 2]).
Ints resize_to_tile_size(int64_t x, int64_t max_fm, int64_t max_kernel);

// Tile to Expand: the Expand target of a Tile that repeats only unit axes
// (repeat 1 keeps the extent, repeat r of an extent-1 axis gives r); nullopt
// when the ranks differ, an axis of extent above 1 is repeated, or an extent or
// repeat is negative.
std::optional<Ints> tile_expand_shape(const Shape& input_shape, const Ints& repeats);

// Gather to Conv: the input channel each output channel picks, with negative
// indices counted from the end as numpy and Gather count them; nullopt when an
// index falls outside [-ch_in, ch_in).
std::optional<Ints> gather_selected_channels(const Ints& indices, int64_t ch_in);

// The 1x1 Conv weight [ch_out, ch_in, 1, 1] that picks channel columns[i] into
// output channel i: 1.0 there, 0.0 everywhere else.
Array selection_weight(const Ints& columns, int64_t ch_in);

// Expand before Reshape: the one axis an Expand enlarges (in < out); nullopt
// when the ranks differ, no axis or several axes grow, or an extent is negative.
std::optional<int64_t> single_expanded_axis(const Shape& in_shape, const Shape& out_shape);

// The non-unit axis the expanded axis merges with: the first independent part
// of the Reshape that holds `expand_axis` must have exactly two non-unit input
// axes and one non-unit output axis.  nullopt when no part holds the axis or
// the part merges differently.  Throws std::out_of_range when a part names an
// axis outside its shape.
using ReshapeParts = std::vector<std::pair<Ints, Ints>>;
std::optional<int64_t> merge_target_axis(const ReshapeParts& parts, const Shape& rs_in, const Shape& rs_out,
                                         int64_t expand_axis);

// Gather indices along the target axis (extent `target`) that rebuild the
// merged axis of the expanded tensor (expanded extent `expanded`): each index
// repeated `expanded` times when the target axis comes first ([0,0,1,1,...]),
// the run 0..target-1 repeated `expanded` times when the expanded axis comes
// first ([0,1,0,1,...]).
Ints repeated_gather_index(int64_t target, int64_t expanded, bool target_first);

// Shape of that Gather's output: the Expand's input with the target axis
// multiplied by the expanded extent.
Shape merged_gather_shape(const Shape& expand_in, int64_t target_axis, int64_t expanded);

// Constant operand shrinking: the constant with every axis removed (kept at
// extent 1) along which it repeats the same values while the feature operand
// has the same non-unit extent there.  Axes are tried in order, each on the
// result of the ones before.
Array shrink_redundant_axes(const Array& constant, const Shape& feature_shape);

// The one value a constant holds throughout, as a one-element array of its
// element type shaped [1] * rank; nullopt when it holds several values, a NaN,
// or no element at all.
std::optional<Array> collapse_uniform(const Array& constant, size_t rank);

// Broadcast Mul: the shape both 4-D operands broadcast to; nullopt when an
// extent is negative or two extents differ with neither being 1.
std::optional<Shape> broadcast_shape_4d(const Shape& a, const Shape& b);

// Expand sizes that bring `in_shape` to `broadcast`: the broadcast extent on
// the unit axes that grow, 1 everywhere else.
Ints broadcast_expand_size(const Shape& in_shape, const Shape& broadcast);

// "<input>_exp_for_<mul>" and that name followed by "_size".
std::string broadcast_expand_name(const std::string& input, const std::string& mul);
std::string broadcast_expand_size_name(const std::string& expand_name);

// 1x1 Resize to Tile: one Tile of the chain.
struct TileStep {
  std::string node_name;
  std::string repeats_name;
  std::string output;
  int64_t h = 1;
  int64_t w = 1;
};

// The Tile chain that repeats a 1x1 map to scale_y x scale_x, named from
// `base` (the Resize's name + "_2tile"), the last Tile writing `output`.
// Empty when a scale is below 1 or above 512, or needs a factor above 8 or more
// than three factors.
std::vector<TileStep> plan_tile_chain(const std::string& base, const std::string& output, int64_t scale_y,
                                      int64_t scale_x);

}  // namespace vexo::dims
