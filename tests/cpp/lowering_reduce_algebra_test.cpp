#include <gtest/gtest.h>

#include "lowering_algebra.hpp"

using namespace vexo::dims;

TEST(ReduceAxis, OnlyNonBatchAxesOfRankFour) {
  EXPECT_EQ(single_reduce_axis(-1), 3);
  EXPECT_EQ(single_reduce_axis(1), 1);
  for (int64_t bad : {0, -4, 4, -5}) EXPECT_EQ(single_reduce_axis(bad), std::nullopt) << bad;
  EXPECT_EQ(reduce_kernel_shape({1, 8, 99, 2}, 2), (Ints{8, 1, 99, 1}));  // a mean has no kernel limit
}

TEST(ReduceSumConv, KernelUpToSevenIsDepthwise) {
  const auto h = plan_reduce_sum_conv({1, 16, 7, 9}, 2);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->weight_shape, (Ints{16, 1, 7, 1}));
  EXPECT_EQ(h->group, 16);
  EXPECT_TRUE(h->perm.empty());
  const auto c = plan_reduce_sum_conv({1, 300, 64, 64}, 1);
  ASSERT_TRUE(c);
  EXPECT_EQ(c->weight_shape, (Ints{1, 300, 1, 1}));
  EXPECT_EQ(c->group, 1);
  EXPECT_TRUE(c->perm.empty());
}

TEST(ReduceSumConv, KernelAboveSevenGoesThroughTheChannels) {
  const auto h = plan_reduce_sum_conv({1, 16, 8, 9}, 2);
  ASSERT_TRUE(h);
  EXPECT_EQ(h->weight_shape, (Ints{1, 8, 1, 1}));
  EXPECT_EQ(h->group, 1);
  EXPECT_EQ(h->perm, (Ints{0, 2, 1, 3}));
  const auto w = plan_reduce_sum_conv({1, -1, 3, 100}, 3);  // the channel count is not needed then
  ASSERT_TRUE(w);
  EXPECT_EQ(w->perm, (Ints{0, 3, 2, 1}));
}

TEST(ReduceSumConv, RefusesExtentsAWeightCannotHave) {
  EXPECT_FALSE(plan_reduce_sum_conv({1, -1, 4, 4}, 2));
  EXPECT_FALSE(plan_reduce_sum_conv({1, 4, 0, 4}, 2));
  EXPECT_FALSE(plan_reduce_sum_conv({1, 4, 4}, 2));
}

TEST(KeptDimsShape, PutsOneOnTheReducedAxes) {
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {1}), (Ints{1, 1, 4, 4}));
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {-1}), (Ints{1, 8, 4, 1}));
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {4}), std::nullopt);
  EXPECT_EQ(kept_dims_shape({1, 8, 4, 4}, {-5}), std::nullopt);
}

TEST(SoftmaxAxis, WhichAxesMoveAndHow) {
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, -4), 0);
  EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, 2), 2);
  for (int64_t kept : {1, 3, -1, 4}) EXPECT_EQ(softmax_axis_to_move({4, 8, 16, 16}, kept), std::nullopt) << kept;
  EXPECT_EQ(softmax_axis_to_move({4, 8, 1, 16}, 2), std::nullopt);
  EXPECT_EQ(softmax_axis_to_move({8, 16, 16}, 0), std::nullopt);
  EXPECT_TRUE(softmax_moves_by_reshape({4, 8, 1, 16}));
  EXPECT_FALSE(softmax_moves_by_reshape({2, 8, 16, 1}));
  EXPECT_EQ(softmax_channel_shape({1, 8, 16, 16}, 2), (Ints{8, 16, 1, 16}));
  EXPECT_EQ(softmax_channel_shape({4, 1, 16, 5}, 0), (Ints{1, 4, 16, 5}));
  EXPECT_EQ(softmax_channel_shape({-1, 1, 16, 5}, 2), std::nullopt);
  EXPECT_EQ(inverse_perm({2, 0, 3, 1}), (Ints{1, 3, 0, 2}));
  EXPECT_THROW(inverse_perm({0, 4, 1, 2}), std::invalid_argument);
}
