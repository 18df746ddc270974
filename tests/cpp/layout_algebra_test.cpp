#include <gtest/gtest.h>

#include "layout_algebra.hpp"

using namespace vexo::dims;

namespace {

// Column of the single 1 in each row of a [rows, cols, 1, 1] weight (-1 for a zero row).
Ints one_hot_columns(const Array& w) {
  const int64_t rows = w.shape()[0], cols = w.shape()[1];
  Ints out(static_cast<size_t>(rows), -1);
  for (int64_t r = 0; r < rows; ++r)
    for (int64_t c = 0; c < cols; ++c)
      if (w.get_double(r * cols + c) != 0.0) out[static_cast<size_t>(r)] = c;
  return out;
}

}  // namespace

TEST(ChannelAlignment, RoundsUpAndGuardsItsArithmetic) {
  EXPECT_EQ(align_channels(3, 8), 8);
  EXPECT_EQ(align_channels(16, 8), 16);
  EXPECT_EQ(align_channels(0, 16), 0);
  EXPECT_THROW(align_channels(3, 0), std::invalid_argument);
  EXPECT_THROW(align_channels(INT64_MAX, 8), std::overflow_error);
  EXPECT_THROW(total_channels({INT64_MAX, 1}), std::overflow_error);
}

TEST(ChannelAlignment, TheLastTensorByNameKeepsItsCount) {
  EXPECT_EQ(aligned_layout_counts({"a", "b", "c"}, {3, 5, 7}, 8), (Ints{8, 8, 7}));
  EXPECT_EQ(aligned_layout_counts({"c", "b", "c"}, {7, 5, 7}, 8), (Ints{7, 8, 7}));
  EXPECT_EQ(aligned_layout_counts({"a", "b"}, {16, 5}, 8), (Ints{16, 5}));
}

TEST(ChannelAlignment, GatherAndScatterAreTransposedOneHots) {
  const Ints counts{3, 5, 7}, aligned{8, 8, 7};
  const Array gather = gather_weight(15, counts, aligned);
  EXPECT_EQ(gather.shape(), (Shape{15, 23, 1, 1}));
  EXPECT_EQ(one_hot_columns(gather), (Ints{0, 1, 2, 8, 9, 10, 11, 12, 16, 17, 18, 19, 20, 21, 22}));
  EXPECT_TRUE(scatter_weight(15, counts, aligned).same_as(gather.transpose({1, 0, 2, 3})));
  // An empty block in the middle shifts nothing.
  EXPECT_EQ(aligned_channel(4, {0, 4, 3}, {0, 4, 8}), 4);
  // More packed channels than the layout holds is an error, not a write past the end.
  EXPECT_THROW(gather_weight(16, counts, aligned), std::out_of_range);
  EXPECT_THROW(scatter_weight(16, counts, aligned), std::out_of_range);
}

TEST(ChannelAlignment, WeightsAndPaddingRefuseBadSizes) {
  EXPECT_EQ(one_hot_columns(channel_copy_weight(4, 3)), (Ints{0, 1, 2, -1}));
  EXPECT_THROW(channel_copy_weight(1 << 20, 1 << 20), std::length_error);
  EXPECT_THROW(channel_copy_weight(-1, 3), std::invalid_argument);
  const Array c = Array::from_ints({1, 2, 3, 4, 5, 6}, DType::Int32).reshape({1, 3, 2});
  const Array p = pad_channels(c, {1, 3, 2}, 8);
  EXPECT_EQ(p.dtype(), DType::Int32);
  EXPECT_EQ(p.shape(), (Shape{1, 8, 2}));
  EXPECT_THROW(pad_channels(c, {1, 3, 5}, 8), ArrayError);  // recorded shape disagrees with the value
  EXPECT_THROW(pad_channels(c, {3}, 8), std::out_of_range);
}

TEST(ConcatAxisSwap, PrefersHeightAndNeedsTheAxis) {
  EXPECT_EQ(unit_spatial_axis({1, 8, 1, 1}), std::optional<size_t>(2));
  EXPECT_EQ(unit_spatial_axis({1, 8, 20, 1}), std::optional<size_t>(3));
  EXPECT_EQ(unit_spatial_axis({1, 8, 4, 4}), std::nullopt);
  EXPECT_EQ(unit_spatial_axis({1, 8}), std::nullopt);
  EXPECT_EQ(channel_to_height_shape({2, 5, 7, 1}, 3), (Ints{1, 2, 5, 7}));
  EXPECT_THROW(channel_to_height_shape({1, 3}, 2), std::out_of_range);
}

TEST(NhwcToNchw, RefusesWhatIsNotFourDimensional) {
  EXPECT_EQ(nhwc_pads_to_nchw({0, 1, 2, 3, 4, 5, 6, 7}), (Ints{0, 3, 1, 2, 4, 7, 5, 6}));
  EXPECT_THROW(nhwc_pads_to_nchw({0, 1, 2, 3}), std::invalid_argument);
  EXPECT_EQ(nhwc_const_to_nchw(Array::from_doubles({2}).reshape({})).shape(), (Shape{1, 1, 1, 1}));
  EXPECT_THROW(nhwc_const_to_nchw(Array(DType::Float32, {1, 1, 1, 1, 2})), ArrayError);
}

TEST(WindowAxes, FirstMatchWinsAndOnlyFourPermEntriesCount) {
  // All four extents equal: "partition" is tried before "reverse".
  auto a = find_window_axes({1, 4, 4, 4, 4, 3}, {0, 1, 3, 2, 4, 5});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mode, WindowMode::Partition);
  // Entries outside the window are not looked at, even absurd ones.
  a = find_window_axes({1, 8, 8, 7, 7, 96}, {INT64_MIN, 1, 3, 2, 4, INT64_MAX});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->pos, 1u);
  EXPECT_FALSE(find_window_axes({8, 8, 7, 7}, {0, 2, 1, 3}));               // rank 4
  EXPECT_FALSE(find_window_axes({1, 8, 4, 7, 7, 96}, {0, 1, 3, 2, 4, 5}));  // nH != nW
  EXPECT_THROW(find_window_axes({1, 8, 8, 7, 7, 96}, {0, 1}), std::out_of_range);
}

TEST(WindowShape, FindsTheRunThatReachesTheWindow) {
  using P = std::pair<size_t, size_t>;
  EXPECT_EQ(find_shape_position({1, 8, 7, 8, 7, 96}, {8, 7, 8, 7}), P(1, 4));
  EXPECT_EQ(find_shape_position({8, 8, 7, 8, 7, 96}, {8, 7, 8, 7}), P(0, 4));  // overshoot: one past
  EXPECT_EQ(find_shape_position({2, 1, 2, 3, 2, 3}, {2, 3, 2, 3}), P(0, 6));   // overshoot at the end
  EXPECT_EQ(find_shape_position({49, 64, 8, 7}, {8, 7, 8, 7}), std::nullopt);  // runs out of axes
  EXPECT_EQ(find_shape_position({1, 8, 7, 8, 7, 96}, {8, 7, 8, 5}), std::nullopt);
  EXPECT_EQ(find_shape_position({1, 0, 7}, {8, 7, 8, 7}), std::nullopt);
  EXPECT_EQ(find_shape_position({2, 7, 1, 1, 1, 1}, {1, 1, 1, 1}), P(2, 1));  // unit window: an empty run
}

TEST(WindowShape, BuildsTheFourDimensionalReshape) {
  auto r = window_reshape({2, 3, 4, 8, 7, 8, 7}, {3, 6}, {8, 7, 8, 7});  // trailing: NCHW
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->insert_tp);
  EXPECT_EQ(r->shape, (Ints{6, 4, 56, 56}));
  EXPECT_EQ(window_reshape({8, 7, 8, 7}, {0, 3}, {8, 7, 8, 7})->shape, (Ints{1, 1, 56, 56}));
  r = window_reshape({2, 8, 7, 8, 14, 5}, {1, 4}, {8, 7, 8, 7});  // inner: NHWC, scaled by the ratio
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->insert_tp);
  EXPECT_EQ(r->shape, (Ints{2, 56, 56, 10}));
  EXPECT_FALSE(window_reshape({2, 1, 2, 3, 2, 3}, {0, 6}, {2, 3, 2, 3}));
  // An empty run of a unit window reads the axis before it (the last one at axis 0).
  EXPECT_EQ(window_reshape({2, 7, 1, 1, 1, 1}, {2, 1}, {1, 1, 1, 1})->shape, (Ints{14, 1, 1, 7}));
  EXPECT_EQ(window_reshape({1, 1, 1, 1, 3}, {0, SIZE_MAX}, {1, 1, 1, 1})->shape, (Ints{1, 1, 1, 9}));
}
