// Pure shape algebra of the converter's rank-4 rules (no Python): the Gemm as
// a 1x1 Conv, LayerNormalization over merged axes, elementwise operators of
// any rank laid out in four dimensions, a gathered slice taken ahead of a
// Transpose, and a five-dimensional Transpose split into four-dimensional ones.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "array.hpp"

namespace vexo::rank4 {

using dims::Array;
using dims::Ints;
using dims::Shape;

// ------------------------------------------------ arrays

// numpy's broadcast_to: `a` repeated along its unit axes (and new leading ones)
// to `shape`; throws ArrayError when it does not broadcast.
Array broadcast_to(const Array& a, const Shape& shape);

// Every element times `factor`, in the element type of `a` (a floating type).
Array scaled(const Array& a, double factor);

// True when `from` broadcasts to `to` in numpy's one-directional sense.
bool broadcasts_to(const Shape& from, const Shape& to);

// ------------------------------------------------ Gemm as a 1x1 Conv
//
// Y = alpha * A' B' + beta * C with A' [M, K] and B' [K, N] runs as a 1x1 Conv
// over A' viewed as [M, K, 1, 1]: the rows are the batch, K the channels, and
// the weight holds alpha * B'^T as [N, K, 1, 1].

// The Conv weight from Gemm's constant B ([K, N], or [N, K] with transB).
Array gemm_conv_weight(const Array& b, bool trans_b, double alpha);

// beta * C as the Conv's bias [N] when C is the same for every row (its rows
// axis, after leading unit axes, is 1); nullopt when C varies over the rows.
std::optional<Array> gemm_row_bias(const Array& c, int64_t n, double beta);

// The shape of C as an addend of the Conv's output [M, N, 1, 1]: C with
// leading unit axes up to two axes, then [1, 1].
Shape gemm_addend_shape(const Shape& c);

// ------------------------------------------------ LayerNormalization

// `x` normalised from `axis` on, merged to [outer, inner, 1, 1] so that the
// normalised axes are the channels: the normalisation is then over axis 1.
Shape layer_norm_shape(const Shape& x, int64_t axis);

// The shape of the scale and bias operands in that layout: [1, inner, 1, 1],
// four axes of their own like the input's (the node reads them by element).
Shape layer_norm_operand_shape(const Shape& x, int64_t axis);

// The mean and inverse standard deviation outputs in that layout: [outer, 1, 1, 1].
Shape layer_norm_stat_shape(const Shape& x, int64_t axis);

// ------------------------------------------------ elementwise operators

// The four-dimensional shape of a tensor of rank 0 or above 4 that an
// elementwise operator sees: a scalar is [1, 1, 1, 1]; above four axes, unit
// axes are dropped from the front while more than four remain, then the
// leading axes are merged into the first.
Shape merged_to_4d(const Shape& shape);

// ------------------------------------------------ gathering one index

// A Gather of one index along `axis` of `data` as a Slice of one channel:
// the data viewed as [outer, extent, inner, 1].
Shape gather_view(const Shape& data, int64_t axis);

// `shape` without the axis at `axis`.
Shape without_axis(const Shape& shape, int64_t axis);

// The permutation left when output axis `axis` of a Transpose with `perm` is
// taken away: the entry at `axis` goes and the entries above it close the gap.
Ints perm_without(const Ints& perm, int64_t axis);

// ------------------------------------------------ transposes of five axes

// True when `perm` keeps two axes that are adjacent in its input adjacent and
// in order in its output, so that merging them makes the Transpose one of
// one axis less.
bool keeps_adjacent_pair(const Ints& perm);

// `perm` as the shortest sequence of permutations that each keep an adjacent
// pair, applied in order (the first one transposes the input); at most
// `max_steps` of them, nullopt when none is that short.  Ties go to the
// sequence whose steps come first in lexicographic order.
std::optional<std::vector<Ints>> split_into_mergeable(const Ints& perm, size_t max_steps = 3);

// One step of a split Transpose on a tensor of shape `shape`: the first
// adjacent pair the step keeps is merged, which leaves `view` (one axis less)
// and the permutation `perm` over it; `out` is the step's unmerged output shape.
struct MergedStep {
  Shape view;
  Ints perm;
  Shape out;
};
MergedStep merge_step(const Shape& shape, const Ints& step);

}  // namespace vexo::rank4
