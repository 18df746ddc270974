// Pure shape algebra of the layout rules (no Python): channel alignment
// weights for Concat/Split, the channel-to-height shape of a concat axis swap,
// NHWC constants and pads, and the window-partition search behind exWindow.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "array.hpp"

namespace vexo::dims {

using Ints = std::vector<int64_t>;

// ------------------------------------------------ channel alignment (Concat / Split)

// One-hot channel weights are dense float32 tensors; anything larger than this
// many elements is refused with std::length_error instead of exhausting memory.
constexpr int64_t kMaxOneHotWeightElements = int64_t{1} << 28;

// True when `ch` channels miss the alignment (Python's `ch % align != 0`).
bool misses_alignment(int64_t ch, int64_t align);

// The next multiple of `align` at or above `ch`: int((ch + align - 1) / align) * align.
int64_t align_channels(int64_t ch, int64_t align);

// Channels each tensor of a Concat's inputs (or a Split's outputs) occupies in
// the aligned layout: its count rounded up to `align` when it misses the
// alignment, its own count when it does not or when it is, by name, the last one.
Ints aligned_layout_counts(const std::vector<std::string>& names, const Ints& counts, int64_t align);

// Sum of channel counts; std::overflow_error when it does not fit 64 bits.
int64_t total_channels(const Ints& counts);

// Channel `ch` of the packed layout (blocks of `counts` channels side by side)
// as a channel of the aligned layout (the same blocks, each widened to
// `aligned[j]` channels).  Real counts [3, 5, 7] aligned to [8, 8, 7] map
// 0-2 to 0-2, 3-7 to 8-12 and 8-14 to 16-22.  Channels past the last block
// keep walking by the full width of every block.
int64_t aligned_channel(int64_t ch, const Ints& counts, const Ints& aligned);

// [rows, cols, 1, 1] float32 with weight[j, j] = 1 for j < min(rows, cols):
// a 1x1 Conv that copies the first channels and zero-fills or drops the rest.
Array channel_copy_weight(int64_t rows, int64_t cols);

// [out_ch, sum(aligned), 1, 1] float32 with weight[o, aligned_channel(o)] = 1:
// a 1x1 Conv that gathers the real channels out of the aligned layout.
// std::out_of_range when a channel maps beyond the aligned layout.
Array gather_weight(int64_t out_ch, const Ints& counts, const Ints& aligned);

// [sum(aligned), in_ch, 1, 1] float32 with weight[aligned_channel(i), i] = 1:
// a 1x1 Conv that scatters the real channels into the aligned layout.
// std::out_of_range when a channel maps beyond the aligned layout.
Array scatter_weight(int64_t in_ch, const Ints& counts, const Ints& aligned);

// The constant `value` followed along axis 1 by zeros of its own element
// type, up to `aligned` channels.  `shape` is the tensor's recorded shape; the
// zero block takes it with axis 1 replaced by the missing channel count.
Array pad_channels(const Array& value, const Ints& shape, int64_t aligned);

// ------------------------------------------------ concat axis swap

// The axis (2 or 3) of a 4-D Concat output whose extent is 1, nullopt when
// neither height nor width is 1.  Height wins when both are.
std::optional<size_t> unit_spatial_axis(const Ints& out_shape);

// [1] followed by `shape` without axis `k`: [N, C, 1, W] with k = 2 gives
// [1, N, C, W], so a channel concat becomes a concat on axis 2.
Ints channel_to_height_shape(const Ints& shape, size_t k);

// ------------------------------------------------ NHWC to NCHW

// Pads of a 4-D Pad, begins then ends, from NHWC to NCHW axis order:
// [Nb, Hb, Wb, Cb, Ne, He, We, Ce] -> [Nb, Cb, Hb, Wb, Ne, Ce, He, We].
// std::invalid_argument unless there are exactly eight entries.
Ints nhwc_pads_to_nchw(const Ints& pads);

// A constant operand of an NHWC elementwise op rearranged for NCHW: leading
// unit axes up to rank 4, then transposed by [0, 3, 1, 2] ([C] -> [1, C, 1, 1]).
// ArrayError when the constant has more than four axes.
Array nhwc_const_to_nchw(const Array& value);

// ------------------------------------------------ window partition

enum class WindowMode { Partition, Reverse, PartitionNumFirst };

const char* window_mode_name(WindowMode mode);  // "partition", "reverse", "partition_num_first"

struct WindowAxes {
  WindowMode mode;
  size_t pos;  // first of the four window axes in the Transpose's output
};

// Finds four adjacent axes of a Transpose output of rank 5 or more that form a
// window partition: at the first position i where perm[i..i+3] - i is
// [0, 2, 1, 3] and the extents read A A B B ("partition", tested first) or
// A B A B ("reverse"), or where it is [1, 3, 0, 2] and the extents read
// A A B B ("partition_num_first").  Only those four perm entries are looked
// at.  std::out_of_range when `perm` is shorter than an examined position.
std::optional<WindowAxes> find_window_axes(const Ints& shape, const Ints& perm);

struct WindowParams {
  WindowMode mode;
  Ints window_sizes;  // [wh, ww]
  Ints num_windows;   // [nh, nw]
  Ints in_shape_4d;   // the four window axes in the order they have before the Transpose
};

// The exWindow parameters of a window found by find_window_axes.
WindowParams window_params(const Ints& tp_out_shape, const WindowAxes& axes);

// The first run of adjacent axes of `input_shape` that starts with an extent
// equal to target[0] and whose product reaches the element count of
// `target`: (first, last) when it matches exactly, (first, one past the last
// axis multiplied) when it overshoots, and (first, first - 1) when a target of
// unit extents is reached before any axis is multiplied (for first 0 the
// second index wraps around).  nullopt when the target does not
// divide the input, when no run reaches it, or when an extent is not positive.
std::optional<std::pair<size_t, size_t>> find_shape_position(const Ints& input_shape, const Ints& target);

struct WindowReshape {
  Ints shape;      // the 4-D shape fed to exWindow (NCHW, or NHWC when insert_tp)
  bool insert_tp;  // the window axes are not the trailing ones: wrap exWindow in Transposes
};

// The 4-D Reshape that replaces the first Reshape of a window chain, from its
// output shape, the window's position there and the window axes
// `in_shape_4d`.  nullopt when an overshooting run ends past the last axis.
// An empty run reads its ratio from the axis before it (the last axis when it
// starts the shape); the caller's element count check then decides.
std::optional<WindowReshape> window_reshape(const Ints& reshape_out_shape, std::pair<size_t, size_t> indices,
                                            const Ints& in_shape_4d);

}  // namespace vexo::dims
