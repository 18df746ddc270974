#include <gtest/gtest.h>

#include "lowering_algebra.hpp"

using namespace vexo::dims;

TEST(SingleReduceAxis, KeepsNonBatchAxesOfRankFour) {
  EXPECT_EQ(single_reduce_axis(1), 1);
  EXPECT_EQ(single_reduce_axis(3), 3);
  EXPECT_EQ(single_reduce_axis(-1), 3);
  EXPECT_EQ(single_reduce_axis(-3), 1);
  for (int64_t bad : {0, -4, 4, 7, -5, -100}) EXPECT_EQ(single_reduce_axis(bad), std::nullopt) << bad;
}

TEST(ReduceSumConv, DepthwiseKernelUpToSeven) {
  const auto h = plan_reduce_sum_conv({1, 16, 7, 9}, 2);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->weight_shape, (Ints{16, 1, 7, 1}));
  EXPECT_EQ(h->group, 16);
  EXPECT_TRUE(h->perm.empty());

  const auto w = plan_reduce_sum_conv({2, 3, 40, 7}, 3);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->weight_shape, (Ints{3, 1, 1, 7}));
  EXPECT_EQ(w->group, 3);
  EXPECT_TRUE(w->perm.empty());
}

TEST(ReduceSumConv, ChannelSumIsOneOutputChannelWhateverItsSize) {
  const auto c = plan_reduce_sum_conv({1, 300, 64, 64}, 1);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->weight_shape, (Ints{1, 300, 1, 1}));
  EXPECT_EQ(c->group, 1);
  EXPECT_TRUE(c->perm.empty());
}

TEST(ReduceSumConv, KernelAboveSevenGoesThroughTheChannelAxis) {
  const auto h = plan_reduce_sum_conv({1, 16, 8, 9}, 2);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->weight_shape, (Ints{1, 8, 1, 1}));
  EXPECT_EQ(h->group, 1);
  EXPECT_EQ(h->perm, (Ints{0, 2, 1, 3}));

  const auto w = plan_reduce_sum_conv({1, 16, 3, 100}, 3);
  ASSERT_TRUE(w);
  EXPECT_EQ(w->weight_shape, (Ints{1, 100, 1, 1}));
  EXPECT_EQ(w->perm, (Ints{0, 3, 2, 1}));
  EXPECT_EQ(inverse_perm(w->perm), w->perm);
}

TEST(ReduceSumConv, RefusesUnusableExtentsAndRanks) {
  EXPECT_FALSE(plan_reduce_sum_conv({1, -1, 4, 4}, 2));  // depthwise group unknown
  EXPECT_FALSE(plan_reduce_sum_conv({1, 4, 0, 4}, 2));
  EXPECT_FALSE(plan_reduce_sum_conv({1, 4, 4}, 2));
  EXPECT_FALSE(plan_reduce_sum_conv({1, 4, 4, 4}, 0));
  EXPECT_TRUE(plan_reduce_sum_conv({-1, 4, 4, 4}, 1));  // the batch extent is never used
  EXPECT_TRUE(plan_reduce_sum_conv({1, -1, 9, 4}, 2));  // nor the channels once transposed
}

TEST(ReduceKernelShape, MeanKernelsHaveNoLimit) {
  EXPECT_EQ(reduce_kernel_shape({1, 4, 5, 40}, 3), (Ints{4, 1, 1, 40}));
  EXPECT_EQ(reduce_kernel_shape({1, 8, 2, 2}, 1), (Ints{1, 8, 1, 1}));
  EXPECT_EQ(reduce_kernel_shape({1, 8, 99, 2}, 2), (Ints{8, 1, 99, 1}));
}

TEST(KeptDimsShape, PutsOneOnTheReducedAxes) {
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {1}), (Ints{1, 1, 4, 4}));
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {-1}), (Ints{1, 8, 4, 1}));
  EXPECT_EQ(kept_dims_shape({5, 7}, {0}), (Ints{1, 7}));
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {4}), std::nullopt);
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {-5}), std::nullopt);
}

TEST(SoftmaxAxis, OnlyAxesZeroAndTwoOfRealExtentMove) {
  EXPECT_EQ(softmax_axis_to_move({1, 8, 16, 16}, 2), 2);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, 0), 0);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, -4), 0);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, -2), 2);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, 1), std::nullopt);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, 3), std::nullopt);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, -1), std::nullopt);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 1, 16}, 2), std::nullopt);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, 4), std::nullopt);
  EXPECT_EQ(softmax_axis_to_move({8, 16, 16}, 0), std::nullopt);
}

TEST(SoftmaxAxis, ReshapeShapeFoldsTheNeighbours) {
  EXPECT_TRUE(softmax_moves_by_reshape({1, 8, 16, 16}));
  EXPECT_TRUE(softmax_moves_by_reshape({4, 8, 1, 16}));
  EXPECT_FALSE(softmax_moves_by_reshape({2, 8, 16, 1}));
  EXPECT_EQ(softmax_channel_shape({1, 8, 16, 16}, 2), (Ints{8, 16, 1, 16}));
  EXPECT_EQ(softmax_channel_shape({4, 1, 16, 16}, 0), (Ints{1, 4, 16, 16}));
  EXPECT_EQ(softmax_channel_shape({4, 1, 16, 5}, 0), (Ints{1, 4, 16, 5}));
  EXPECT_EQ(softmax_channel_shape({-1, 1, 16, 5}, 2), std::nullopt);
}

TEST(SoftmaxAxis, PermutationsAreTheirOwnInverse) {
  EXPECT_EQ(softmax_channel_perm(0), (Ints{1, 0, 2, 3}));
  EXPECT_EQ(softmax_channel_perm(2), (Ints{0, 2, 1, 3}));
  EXPECT_EQ(inverse_perm({1, 0, 2, 3}), (Ints{1, 0, 2, 3}));
  EXPECT_EQ(inverse_perm({2, 0, 3, 1}), (Ints{1, 3, 0, 2}));
  EXPECT_THROW(inverse_perm({0, 4, 1, 2}), std::invalid_argument);
}
