// Pure shape algebra of the squeeze rules (no Python).
//
// A five-dimensional operator becomes four-dimensional by deleting one unit
// axis, `axis_rm` (0 or 1).  Everything that moves with it lives here: which
// axis goes, how axes, pads and shapes of the node are renumbered, what new
// shape each input gets, how ScatterND indices lose a coordinate, and how a
// five-dimensional Transpose is folded to four axes.  The functions return a
// fault instead of failing; the rule turns a fault into its message at the
// moment its rewrite reaches that value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "shape_common.hpp"

#include "array.hpp"

namespace vexo::dims {

// ---------------------------------------------------------------- faults

// What a squeeze computation could not do.
enum class SqueezeFault {
  none,
  shape_range,    // axis_rm is not an axis of the shape list
  pads_range,     // axis_rm is not an axis of the pads list
  matmul_rank,    // a MatMul input of rank other than 3, 4 or 5
};

template <typename T>
struct Squeezed {
  T value{};
  SqueezeFault fault = SqueezeFault::none;
  bool ok() const { return fault == SqueezeFault::none; }
};

// ---------------------------------------------------------------- the removed axis

// The unit axis a five-dimensional shape loses: 0 when axis 0 has extent 1,
// else 1 when axis 1 has; nullopt for any other shape (unknown, another rank,
// or no unit extent at the front).
std::optional<int64_t> squeeze_removed_axis(const Shape& shape);

// Operators judged by their inputs' shapes (reductions, Split, Slice) rather
// than their outputs'.
bool squeeze_judged_by_inputs(const std::string& op_type, bool reduce_op);

// A Resize can lose axis 0 or 1 only when it leaves axes 1, 2 and 4 unscaled:
// the output/input extent ratio is exactly 1.0 there.  Shapes of another rank
// never qualify.
bool resize_scales_only_axis_3(const Shape& in_shape, const Shape& out_shape);

// ---------------------------------------------------------------- renumbering

// Axes of a five-dimensional node renumbered for four dimensions: negative
// axes count from 5, and every axis at or after axis_rm moves down by one.
// An axis equal to axis_rm therefore lands on axis_rm - 1; callers refuse such
// nodes beforehand.
Ints squeeze_axes(const Ints& axes, int64_t axis_rm);

// The pair (begin, end) of axis_rm dropped from a pads-layout list of 2n
// values (n begins, then n ends).  An odd trailing value stays at the end.
template <typename T>
Squeezed<std::vector<T>> squeeze_pads(const std::vector<T>& pads, int64_t axis_rm) {
  const auto n = static_cast<int64_t>(pads.size() / 2);
  if (axis_rm < 0 || axis_rm >= n) return {{}, SqueezeFault::pads_range};
  std::vector<T> out = pads;
  out.erase(out.begin() + (axis_rm + n));
  out.erase(out.begin() + axis_rm);
  return {out, SqueezeFault::none};
}

// The entry at axis_rm dropped from a per-axis list (shape, scales, sizes);
// the entry is not required to be 1.
template <typename T>
Squeezed<std::vector<T>> squeeze_shape(const std::vector<T>& shape, int64_t axis_rm) {
  if (axis_rm < 0 || axis_rm >= static_cast<int64_t>(shape.size())) return {{}, SqueezeFault::shape_range};
  std::vector<T> out = shape;
  out.erase(out.begin() + axis_rm);
  return {out, SqueezeFault::none};
}

// ---------------------------------------------------------------- inputs

// What the rewrite does with input k of a squeezed node.
enum class InputRole {
  data,             // reshaped to its new shape (a constant takes it in place)
  kept,             // axes, split sizes, shapes, K, starts/ends/steps...: left as they are
  slice_axes,       // Slice axes renumbered
  pad_pads,         // Pad pads lose the axis_rm pair
  resize_roi,       // Resize roi loses the axis_rm pair
  resize_scales,    // Resize scales lose entry axis_rm
  resize_sizes,     // Resize sizes lose entry axis_rm
  scatter_indices,  // ScatterND indices lose the axis_rm coordinate
};

InputRole squeeze_input_role(const std::string& op_type, size_t k, bool reduce_op);

// The four-dimensional shape of an input of a squeezed node.  MatMul inputs
// keep rank 4, lose axis_rm at rank 5 and gain a leading 1 at rank 3; other
// ranks are a matmul_rank fault.  Other operators drop axis_rm from inputs of
// rank 5 and above and pad lower ranks with leading ones, so that broadcasting
// operands stay right-aligned (a scalar becomes [1, 1, 1, 1]).
Squeezed<Shape> squeeze_input_shape(const Shape& in_shape, int64_t axis_rm, bool matmul);

// Operators whose `axis` attribute is renumbered.
bool squeeze_renumbers_axis_attr(const std::string& op_type);

// ---------------------------------------------------------------- ScatterND indices

// How the index tuples of a ScatterND follow the data losing axis_rm:
// the coordinate of that axis is deleted from every tuple and the indices
// array loses its own unit axis `squeeze_axis`; rank-2 indices under axis_rm 1
// stay as they are.
struct ScatterIndicesPlan {
  enum Kind { drop, keep, unsupported } kind = unsupported;
  int64_t coordinate = 0;    // position in each index tuple (last axis)
  int64_t squeeze_axis = 0;  // unit axis of the indices array
};

ScatterIndicesPlan scatter_indices_plan(const Shape& indices_shape, int64_t axis_rm);

// The plan applied to the indices array (throws ArrayError when the array does
// not have the shape the plan was made for).
Array apply_scatter_indices_plan(const Array& indices, const ScatterIndicesPlan& plan);

// ---------------------------------------------------------------- five-dimensional Transpose

// Output shape of a Transpose: out[i] = in[perm[i]] (perm must be a permutation).
Shape transposed_shape(const Shape& in_shape, const Ints& perm);

// A five-dimensional Transpose folded to four axes: the input's first unit
// axis is dropped, or, without one, the first input axis that follows its
// predecessor through the permutation is merged into that predecessor.
struct TransposeSqueeze {
  Shape input_shape;  // the four-dimensional input
  Ints perm;          // the four-axis permutation
  int64_t removed;    // the input axis that disappears
};

// nullopt when the input has no unit axis and no adjacent pair survives the
// permutation.  Requires a five-entry shape and a permutation of five axes;
// throws ArrayError when a merged extent overflows.
std::optional<TransposeSqueeze> squeeze_transpose(const Shape& in_shape, const Ints& perm);

}  // namespace vexo::dims
