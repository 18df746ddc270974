#include <gtest/gtest.h>

#include "layout_algebra.hpp"

using namespace vexo::dims;

namespace {

// Row r of a [rows, cols, 1, 1] weight as the column index of its single 1 (-1 for a zero row).
Ints one_hot_columns(const Array& w) {
  const int64_t rows = w.shape()[0], cols = w.shape()[1];
  Ints out;
  for (int64_t r = 0; r < rows; ++r) {
    int64_t hit = -1, ones = 0;
    for (int64_t c = 0; c < cols; ++c)
      if (w.get_double(r * cols + c) != 0.0) {
        hit = c;
        ++ones;
      }
    EXPECT_LE(ones, 1) << "row " << r;
    out.push_back(hit);
  }
  return out;
}

}  // namespace

TEST(ChannelAlignment, RoundsUpToTheAlignment) {
  EXPECT_EQ(align_channels(3, 8), 8);
  EXPECT_EQ(align_channels(8, 8), 8);
  EXPECT_EQ(align_channels(9, 8), 16);
  EXPECT_EQ(align_channels(0, 16), 0);
  EXPECT_TRUE(misses_alignment(7, 8));
  EXPECT_FALSE(misses_alignment(16, 8));
  EXPECT_THROW(align_channels(3, 0), std::invalid_argument);
  EXPECT_THROW(total_channels({INT64_MAX, 1}), std::overflow_error);
}

TEST(ChannelAlignment, MapsPackedChannelsIntoAlignedBlocks) {
  const Ints counts{3, 5, 7}, aligned{8, 8, 7};
  Ints got;
  for (int64_t c = 0; c < 15; ++c) got.push_back(aligned_channel(c, counts, aligned));
  EXPECT_EQ(got, (Ints{0, 1, 2, 8, 9, 10, 11, 12, 16, 17, 18, 19, 20, 21, 22}));
  // An empty block and an unpadded block in the middle shift nothing.
  EXPECT_EQ(aligned_channel(0, {0, 4, 3}, {0, 4, 8}), 0);
  EXPECT_EQ(aligned_channel(4, {0, 4, 3}, {0, 4, 8}), 4);
}

TEST(ChannelAlignment, GatherAndScatterWeightsAreTransposedOneHots) {
  const Ints counts{3, 5, 7}, aligned{8, 8, 7};
  const Array gather = gather_weight(15, counts, aligned);
  EXPECT_EQ(gather.shape(), (Shape{15, 23, 1, 1}));
  EXPECT_EQ(gather.dtype(), DType::Float32);
  const Ints cols = one_hot_columns(gather);
  EXPECT_EQ(cols, (Ints{0, 1, 2, 8, 9, 10, 11, 12, 16, 17, 18, 19, 20, 21, 22}));

  const Array scatter = scatter_weight(15, counts, aligned);
  EXPECT_EQ(scatter.shape(), (Shape{23, 15, 1, 1}));
  EXPECT_TRUE(scatter.same_as(gather.transpose({1, 0, 2, 3})));
  // The padding rows of the scatter stay zero.
  EXPECT_EQ(one_hot_columns(scatter)[3], -1);

  // More packed channels than the layout holds is an error, not a write past the end.
  EXPECT_THROW(gather_weight(16, counts, aligned), std::out_of_range);
  EXPECT_THROW(scatter_weight(16, counts, aligned), std::out_of_range);
}

TEST(ChannelAlignment, CopyWeightPadsOrDropsChannels) {
  EXPECT_EQ(one_hot_columns(channel_copy_weight(8, 3)), (Ints{0, 1, 2, -1, -1, -1, -1, -1}));
  EXPECT_EQ(one_hot_columns(channel_copy_weight(5, 8)), (Ints{0, 1, 2, 3, 4}));
  EXPECT_THROW(channel_copy_weight(1 << 20, 1 << 20), std::length_error);
  EXPECT_THROW(channel_copy_weight(-1, 3), std::invalid_argument);
}

TEST(ChannelAlignment, PadsConstantsWithZerosOfTheirOwnType) {
  const Array c = Array::from_ints({1, 2, 3, 4, 5, 6}, DType::Int32).reshape({1, 3, 2});
  const Array p = pad_channels(c, {1, 3, 2}, 8);
  EXPECT_EQ(p.dtype(), DType::Int32);
  EXPECT_EQ(p.shape(), (Shape{1, 8, 2}));
  Ints expect{1, 2, 3, 4, 5, 6};
  expect.resize(16, 0);
  EXPECT_EQ(p.to_ints(), expect);
  // A recorded shape that disagrees with the value is refused.
  EXPECT_THROW(pad_channels(c, {1, 3, 5}, 8), ArrayError);
  EXPECT_THROW(pad_channels(c, {3}, 8), std::out_of_range);
}

TEST(ConcatAxisSwap, MovesChannelsToTheHeightAxis) {
  EXPECT_EQ(unit_spatial_axis({1, 8, 1, 20}), std::optional<size_t>(2));
  EXPECT_EQ(unit_spatial_axis({1, 8, 20, 1}), std::optional<size_t>(3));
  EXPECT_EQ(unit_spatial_axis({1, 8, 1, 1}), std::optional<size_t>(2));
  EXPECT_EQ(unit_spatial_axis({1, 8, 4, 4}), std::nullopt);
  EXPECT_EQ(unit_spatial_axis({1, 8}), std::nullopt);
  EXPECT_EQ(channel_to_height_shape({1, 3, 1, 20}, 2), (Ints{1, 1, 3, 20}));
  EXPECT_EQ(channel_to_height_shape({2, 5, 7, 1}, 3), (Ints{1, 2, 5, 7}));
  EXPECT_THROW(channel_to_height_shape({1, 3}, 2), std::out_of_range);
}

TEST(NhwcToNchw, PermutesPadsAndConstants) {
  EXPECT_EQ(nhwc_pads_to_nchw({0, 1, 2, 3, 4, 5, 6, 7}), (Ints{0, 3, 1, 2, 4, 7, 5, 6}));
  EXPECT_THROW(nhwc_pads_to_nchw({0, 1, 2, 3}), std::invalid_argument);

  const Array bias = Array::from_doubles({1, 2, 3});
  EXPECT_EQ(nhwc_const_to_nchw(bias).shape(), (Shape{1, 3, 1, 1}));
  // [1, H, W, C] becomes [1, C, H, W] with its elements moved along.
  const Array hwc = Array::from_ints({0, 1, 2, 3, 4, 5}).reshape({1, 1, 2, 3});
  const Array chw = nhwc_const_to_nchw(hwc);
  EXPECT_EQ(chw.shape(), (Shape{1, 3, 1, 2}));
  EXPECT_EQ(chw.to_ints(), (Ints{0, 3, 1, 4, 2, 5}));
  EXPECT_EQ(nhwc_const_to_nchw(Array::from_doubles({2}).reshape({})).shape(), (Shape{1, 1, 1, 1}));
  EXPECT_THROW(nhwc_const_to_nchw(Array(DType::Float32, {1, 1, 1, 1, 2})), ArrayError);
}

TEST(WindowAxes, RecognisesTheThreeModes) {
  // Swin partition: [1, 8, 7, 8, 7, 96] -> perm [0, 1, 3, 2, 4, 5] -> [1, 8, 8, 7, 7, 96].
  auto a = find_window_axes({1, 8, 8, 7, 7, 96}, {0, 1, 3, 2, 4, 5});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mode, WindowMode::Partition);
  EXPECT_EQ(a->pos, 1u);
  // Swin reverse: [1, 8, 8, 7, 7, 96] -> same perm -> [1, 8, 7, 8, 7, 96].
  a = find_window_axes({1, 8, 7, 8, 7, 96}, {0, 1, 3, 2, 4, 5});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mode, WindowMode::Reverse);
  // Window sizes before counts: [1, 7, 8, 7, 8, 96] -> perm [0, 2, 4, 1, 3, 5].
  a = find_window_axes({1, 8, 8, 7, 7, 96}, {0, 2, 4, 1, 3, 5});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mode, WindowMode::PartitionNumFirst);
  EXPECT_EQ(a->pos, 1u);
  // All four extents equal: partition is tried first.
  a = find_window_axes({1, 4, 4, 4, 4, 3}, {0, 1, 3, 2, 4, 5});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->mode, WindowMode::Partition);
  // Window axes at the end.
  a = find_window_axes({1, 96, 8, 8, 7, 7}, {0, 1, 2, 4, 3, 5});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->pos, 2u);
}

TEST(WindowAxes, RefusesWhatIsNoWindow) {
  EXPECT_FALSE(find_window_axes({8, 8, 7, 7}, {0, 2, 1, 3}));                  // rank 4
  EXPECT_FALSE(find_window_axes({1, 8, 4, 7, 7, 96}, {0, 1, 3, 2, 4, 5}));     // nH != nW
  EXPECT_FALSE(find_window_axes({1, 8, 8, 7, 7, 96}, {0, 1, 2, 3, 4, 5}));     // identity
  EXPECT_FALSE(find_window_axes({1, 8, 8, 7, 7, 96}, {0, 1, 3, 2, INT64_MIN, 5}));
  EXPECT_THROW(find_window_axes({1, 8, 8, 7, 7, 96}, {0, 1}), std::out_of_range);
}

TEST(WindowAxes, ParamsFollowTheMode) {
  WindowParams p = window_params({1, 8, 8, 7, 7, 96}, {WindowMode::Partition, 1});
  EXPECT_EQ(p.window_sizes, (Ints{7, 7}));
  EXPECT_EQ(p.num_windows, (Ints{8, 8}));
  EXPECT_EQ(p.in_shape_4d, (Ints{8, 7, 8, 7}));
  p = window_params({1, 8, 7, 4, 7, 96}, {WindowMode::Reverse, 1});
  EXPECT_EQ(p.window_sizes, (Ints{7, 7}));
  EXPECT_EQ(p.num_windows, (Ints{8, 4}));
  EXPECT_EQ(p.in_shape_4d, (Ints{8, 4, 7, 7}));
  p = window_params({1, 8, 8, 7, 7, 96}, {WindowMode::PartitionNumFirst, 1});
  EXPECT_EQ(p.window_sizes, (Ints{7, 7}));
  EXPECT_EQ(p.num_windows, (Ints{8, 8}));
  EXPECT_EQ(p.in_shape_4d, (Ints{7, 8, 7, 8}));
}

TEST(WindowShape, FindsTheWindowRun) {
  using P = std::pair<size_t, size_t>;
  EXPECT_EQ(find_shape_position({1, 8, 7, 8, 7, 96}, {8, 7, 8, 7}), P(1, 4));
  EXPECT_EQ(find_shape_position({1, 96, 8, 7, 8, 7}, {8, 7, 8, 7}), P(2, 5));
  // An earlier extent equal to the first window axis overshoots first.
  EXPECT_EQ(find_shape_position({8, 8, 7, 8, 7, 96}, {8, 7, 8, 7}), P(0, 4));
  // A run that runs out of axes before reaching the target finds nothing.
  EXPECT_EQ(find_shape_position({49, 64, 8, 7}, {8, 7, 8, 7}), std::nullopt);
  EXPECT_EQ(find_shape_position({1, 8, 7, 8, 7, 96}, {8, 7, 8, 5}), std::nullopt);  // does not divide
  EXPECT_EQ(find_shape_position({1, 56, 56, 96}, {8, 7, 8, 7}), std::nullopt);      // no axis of 8
  EXPECT_EQ(find_shape_position({1, 8, 7}, {8, 7, 8, 7}), std::nullopt);            // target too big
  EXPECT_EQ(find_shape_position({1, 0, 7}, {8, 7, 8, 7}), std::nullopt);
}

TEST(WindowShape, BuildsTheFourDimensionalReshape) {
  // Window in the middle: NHWC with Transposes around exWindow.
  auto r = window_reshape({1, 8, 7, 8, 7, 96}, {1, 4}, {8, 7, 8, 7});
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->insert_tp);
  EXPECT_EQ(r->shape, (Ints{1, 56, 56, 96}));
  // Window at the end: NCHW, batch and channel from the axes before it.
  r = window_reshape({1, 96, 8, 7, 8, 7}, {2, 5}, {8, 7, 8, 7});
  ASSERT_TRUE(r);
  EXPECT_FALSE(r->insert_tp);
  EXPECT_EQ(r->shape, (Ints{1, 96, 56, 56}));
  r = window_reshape({2, 3, 4, 8, 7, 8, 7}, {3, 6}, {8, 7, 8, 7});
  ASSERT_TRUE(r);
  EXPECT_EQ(r->shape, (Ints{6, 4, 56, 56}));
  r = window_reshape({96, 8, 7, 8, 7}, {1, 4}, {8, 7, 8, 7});
  EXPECT_EQ(r->shape, (Ints{1, 96, 56, 56}));
  r = window_reshape({8, 7, 8, 7}, {0, 3}, {8, 7, 8, 7});
  EXPECT_EQ(r->shape, (Ints{1, 1, 56, 56}));
  // Ratios scale the outer blocks when the run's last axis is wider than the window.
  r = window_reshape({2, 8, 7, 8, 14, 5}, {1, 4}, {8, 7, 8, 7});
  EXPECT_EQ(r->shape, (Ints{2, 56, 56, 10}));
  // An overshooting run that reaches past the last axis is left alone.
  EXPECT_FALSE(window_reshape({1, 8, 7, 8, 14}, {1, 5}, {8, 7, 8, 7}));
}
