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

namespace {

bool has_negative(const Ints& v) {
  for (int64_t x : v)
    if (x < 0) return true;
  return false;
}

bool contains_axis(const Ints& axes, int64_t axis) {
  for (int64_t a : axes)
    if (a == axis) return true;
  return false;
}

// The axes of `part` whose extent in `shape` is not 1; a part naming an axis
// the shape does not have is a broken helper result, not a decline.
Ints non_unit_axes(const Ints& part, const Shape& shape) {
  Ints out;
  for (int64_t a : part) {
    if (a < 0 || a >= static_cast<int64_t>(shape.size()))
      throw std::out_of_range("independent reshape part names axis " + std::to_string(a) + " of a rank-" +
                              std::to_string(shape.size()) + " shape");
    if (shape[static_cast<size_t>(a)] != 1) out.push_back(a);
  }
  return out;
}

}  // namespace

std::optional<Ints> tile_expand_shape(const Shape& input_shape, const Ints& repeats) {
  if (input_shape.size() != repeats.size() || has_negative(input_shape) || has_negative(repeats))
    return std::nullopt;
  Ints expand_shape;
  for (size_t i = 0; i < repeats.size(); ++i) {
    if (repeats[i] == 1)
      expand_shape.push_back(input_shape[i]);
    else if (input_shape[i] != 1)
      return std::nullopt;  // an Expand cannot repeat an axis of extent above 1
    else
      expand_shape.push_back(repeats[i]);
  }
  return expand_shape;
}

std::optional<Ints> gather_selected_channels(const Ints& indices, int64_t ch_in) {
  Ints columns;
  columns.reserve(indices.size());
  for (int64_t id : indices) {
    const int64_t c = id < 0 ? id + ch_in : id;
    if (c < 0 || c >= ch_in) return std::nullopt;
    columns.push_back(c);
  }
  return columns;
}

Array selection_weight(const Ints& columns, int64_t ch_in) {
  const int64_t ch_out = static_cast<int64_t>(columns.size());
  Array weight(DType::Float32, Shape{ch_out, ch_in, 1, 1});
  for (int64_t i = 0; i < ch_out; ++i) weight.set_double(checked_mul(i, ch_in) + columns[static_cast<size_t>(i)], 1.0);
  return weight;
}

std::optional<int64_t> single_expanded_axis(const Shape& in_shape, const Shape& out_shape) {
  if (in_shape.size() != out_shape.size() || has_negative(in_shape) || has_negative(out_shape)) return std::nullopt;
  std::optional<int64_t> axis;
  for (size_t a = 0; a < in_shape.size(); ++a) {
    if (in_shape[a] >= out_shape[a]) continue;
    if (axis) return std::nullopt;  // more than one axis grows
    axis = static_cast<int64_t>(a);
  }
  return axis;
}

std::optional<int64_t> merge_target_axis(const ReshapeParts& parts, const Shape& rs_in, const Shape& rs_out,
                                         int64_t expand_axis) {
  for (const auto& [in_part, out_part] : parts) {
    if (!contains_axis(in_part, expand_axis)) continue;
    const Ints in_non_1 = non_unit_axes(in_part, rs_in);
    const Ints out_non_1 = non_unit_axes(out_part, rs_out);
    if (in_non_1.size() != 2 || out_non_1.size() != 1) return std::nullopt;
    return in_non_1[0] != expand_axis ? in_non_1[0] : in_non_1[1];
  }
  return std::nullopt;
}

Ints repeated_gather_index(int64_t target, int64_t expanded, bool target_first) {
  if (target < 0 || expanded < 0) throw ArrayError("a gather index cannot repeat a negative extent");
  const int64_t count = checked_mul(target, expanded);
  check_array_bytes(count, sizeof(int64_t));  // it becomes an int64 constant
  Ints index;
  index.reserve(static_cast<size_t>(count));
  if (target_first) {
    for (int64_t i = 0; i < target; ++i) index.insert(index.end(), static_cast<size_t>(expanded), i);
  } else {
    for (int64_t e = 0; e < expanded; ++e)
      for (int64_t i = 0; i < target; ++i) index.push_back(i);
  }
  return index;
}

Shape merged_gather_shape(const Shape& expand_in, int64_t target_axis, int64_t expanded) {
  Shape out = expand_in;
  out.at(static_cast<size_t>(target_axis)) = checked_mul(out[static_cast<size_t>(target_axis)], expanded);
  return out;
}

Array shrink_redundant_axes(const Array& constant, const Shape& feature_shape) {
  Array shrunk = constant;
  const size_t rank = std::min(feature_shape.size(), constant.ndim());
  for (size_t idx = 0; idx < rank; ++idx) {
    const int64_t fs = feature_shape[idx];
    if (fs == 1 || constant.shape()[idx] != fs) continue;
    Array first = shrunk.slice_first(static_cast<int64_t>(idx));
    if (shrunk.broadcast_equal(first)) shrunk = std::move(first);
  }
  return shrunk;
}

std::optional<Array> collapse_uniform(const Array& constant, size_t rank) {
  if (constant.size() == 0) return std::nullopt;
  const bool exact = dtype_is_integer(constant.dtype());
  for (int64_t i = 1; i < constant.size(); ++i) {
    const bool same = exact ? constant.get_int(i) == constant.get_int(0) : constant.get_double(i) == constant.get_double(0);
    if (!same) return std::nullopt;  // NaN never equals itself, so a NaN stays
  }
  if (!exact && constant.get_double(0) != constant.get_double(0)) return std::nullopt;
  return constant.flatten().slice_first(0).reshape(Shape(rank, 1));
}

std::optional<Shape> broadcast_shape_4d(const Shape& a, const Shape& b) {
  if (a.size() != 4 || b.size() != 4 || has_negative(a) || has_negative(b)) return std::nullopt;
  Shape out(4);
  for (size_t i = 0; i < 4; ++i) {
    if (a[i] != b[i] && a[i] != 1 && b[i] != 1) return std::nullopt;
    out[i] = std::max(a[i], b[i]);
  }
  return out;
}

Ints broadcast_expand_size(const Shape& in_shape, const Shape& broadcast) {
  Ints size(broadcast.size(), 1);
  for (size_t i = 0; i < broadcast.size() && i < in_shape.size(); ++i)
    if (in_shape[i] < broadcast[i] && in_shape[i] == 1) size[i] = broadcast[i];
  return size;
}

std::string broadcast_expand_name(const std::string& input, const std::string& mul) {
  return input + "_exp_for_" + mul;
}

std::string broadcast_expand_size_name(const std::string& expand_name) { return expand_name + "_size"; }

namespace {

constexpr int64_t kMaxTileFmSize = 512;  // largest output height or width handled
constexpr int64_t kMaxTileRepeat = 8;    // largest repeat one Tile of the NPU takes
constexpr size_t kMaxTiles = 3;

// Names of Tile t of a chain of n: a single Tile keeps the base name; in a
// longer chain each Tile is numbered, and only the last writes `output`.
TileStep tile_step(const std::string& base, const std::string& output, size_t t, size_t n, int64_t h, int64_t w) {
  const std::string k = std::to_string(t);
  TileStep step;
  step.node_name = n == 1 ? base : base + "_tile_" + k;
  step.repeats_name = base + "_repeats_" + k;
  step.output = t + 1 == n ? output : base + "_tile_out_" + k;
  step.h = h;
  step.w = w;
  return step;
}

}  // namespace

std::vector<TileStep> plan_tile_chain(const std::string& base, const std::string& output, int64_t scale_y,
                                      int64_t scale_x) {
  if (scale_y < 1 || scale_x < 1 || scale_y > kMaxTileFmSize || scale_x > kMaxTileFmSize) return {};
  Ints h_tiles = resize_to_tile_size(scale_y, kMaxTileFmSize, kMaxTileRepeat);
  Ints w_tiles = resize_to_tile_size(scale_x, kMaxTileFmSize, kMaxTileRepeat);
  if (h_tiles.empty() || w_tiles.empty() || h_tiles.size() > kMaxTiles || w_tiles.size() > kMaxTiles) return {};
  const size_t n = std::max(h_tiles.size(), w_tiles.size());
  h_tiles.resize(n, 1);
  w_tiles.resize(n, 1);
  // One Tile per factor.  This is one Tile for scales up to 8, two up to 64 and
  // three beyond, except for scales up to 64 that still split into three
  // factors (50 -> 5*5*2, 54 -> 6*3*3): those get three Tiles too, since two
  // would stop short of the output size.
  std::vector<TileStep> chain;
  for (size_t t = 0; t < n; ++t) chain.push_back(tile_step(base, output, t, n, h_tiles[t], w_tiles[t]));
  return chain;
}

}  // namespace vexo::dims
