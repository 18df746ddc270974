// Pure shape algebra of the lowering rules (no Python).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

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

// inverse[i] = position of i in perm.
Ints inverse_perm(const Ints& perm);

// ------------------------------------------------ Tile, Gather, Expand, constants, broadcast Mul, 1x1 Resize

// Splits one repeat factor `x` into per-Tile factors of at most `max_kernel`
// whose product is `x`: [] when x exceeds `max_fm` or has a prime factor above
// `max_kernel`, [x] when it fits one Tile, else the largest divisors from
// `max_kernel` down, taken off in turn (100 -> [5, 5, 4], 128 -> [8, 8, 2]).
Ints resize_to_tile_size(int64_t x, int64_t max_fm, int64_t max_kernel);

}  // namespace vexo::dims
