#include "lowering_algebra.hpp"

#include <cstddef>
#include <stdexcept>

#include "array.hpp"

namespace vexo::dims {

// ------------------------------------------------ reductions, keepdims, Gather indices, softmax axis

std::optional<int64_t> single_reduce_axis(int64_t axis) {
  if (axis < 0) axis += 4;
  if (axis <= 0 || axis >= 4) return std::nullopt;
  return axis;
}

std::optional<Ints> reduce_kernel_shape(const Ints& in_shape, int64_t axis) {
  if (in_shape.size() != 4 || axis < 1 || axis > 3) return std::nullopt;
  const auto a = static_cast<size_t>(axis);
  const int64_t ch = axis == 1 ? 1 : in_shape[1];
  if (ch <= 0 || in_shape[a] <= 0) return std::nullopt;
  Ints k{ch, 1, 1, 1};
  k[a] = in_shape[a];
  return k;
}

std::optional<ReduceSumConv> plan_reduce_sum_conv(const Ints& in_shape, int64_t axis, int64_t max_kernel) {
  if (in_shape.size() != 4 || axis < 1 || axis > 3) return std::nullopt;
  const int64_t extent = in_shape[static_cast<size_t>(axis)];
  if (axis != 1 && extent > max_kernel) {
    Ints perm{0, axis, 2, 3};
    perm[static_cast<size_t>(axis)] = 1;
    return ReduceSumConv{{1, extent, 1, 1}, 1, perm};
  }
  const std::optional<Ints> k = reduce_kernel_shape(in_shape, axis);
  if (!k) return std::nullopt;
  return ReduceSumConv{*k, (*k)[0], {}};
}

std::optional<Ints> kept_dims_shape(const Ints& in_shape, const Ints& axes) {
  const auto rank = static_cast<int64_t>(in_shape.size());
  Ints out = in_shape;
  for (int64_t axis : axes) {
    const int64_t a = axis < 0 ? axis + rank : axis;
    if (a < 0 || a >= rank) return std::nullopt;
    out[static_cast<size_t>(a)] = 1;
  }
  return out;
}

std::optional<int64_t> softmax_axis_to_move(const Ints& in_shape, int64_t axis) {
  if (in_shape.size() != 4) return std::nullopt;
  if (axis < 0) axis += 4;
  if (axis < 0 || axis >= 4 || axis == 1 || axis == 3) return std::nullopt;
  if (in_shape[static_cast<size_t>(axis)] == 1) return std::nullopt;
  return axis;
}

bool softmax_moves_by_reshape(const Ints& in_shape) {
  return in_shape.size() == 4 && (in_shape[0] == 1 || in_shape[1] == 1 || in_shape[2] == 1);
}

std::optional<Ints> softmax_channel_shape(const Ints& in_shape, int64_t axis) {
  if (in_shape.size() != 4 || (axis != 0 && axis != 2)) return std::nullopt;
  for (size_t i = 0; i < 3; ++i)
    if (in_shape[i] <= 0) return std::nullopt;
  const auto a = static_cast<size_t>(axis);
  const Ints before(in_shape.begin(), in_shape.begin() + static_cast<std::ptrdiff_t>(a));
  const Ints between(in_shape.begin() + static_cast<std::ptrdiff_t>(a) + 1, in_shape.begin() + 3);
  return Ints{checked_prod(before), in_shape[a], checked_prod(between), in_shape[3]};
}

Ints softmax_channel_perm(int64_t axis) { return axis == 0 ? Ints{1, 0, 2, 3} : Ints{0, 2, 1, 3}; }

Ints inverse_perm(const Ints& perm) {
  Ints inv(perm.size(), 0);
  for (size_t i = 0; i < perm.size(); ++i) {
    const int64_t p = perm[i];
    if (p < 0 || p >= static_cast<int64_t>(perm.size())) throw std::invalid_argument("not a permutation");
    inv[static_cast<size_t>(p)] = static_cast<int64_t>(i);
  }
  return inv;
}

// ------------------------------------------------ Tile, Gather, Expand, constants, broadcast Mul, 1x1 Resize

Ints resize_to_tile_size(int64_t x, int64_t max_fm, int64_t max_kernel) {
  if (x > max_fm) return {};
  if (x <= max_kernel) return {x};
  Ints tiles;
  int64_t rest = x;
  while (rest > max_kernel) {
    int64_t k = max_kernel;
    while (k >= 2 && rest % k != 0) --k;
    if (k < 2) return {};  // a prime factor above max_kernel
    tiles.push_back(k);
    rest /= k;
    if (rest <= max_kernel) tiles.push_back(rest);
  }
  return tiles;
}

}  // namespace vexo::dims
