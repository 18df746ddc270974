#include <gtest/gtest.h>

#include "squeeze_algebra.hpp"

namespace vexo::dims {
namespace {

using Reals = std::vector<double>;

TEST(SqueezeRemovedAxis, FirstUnitAxisAtTheFront) {
  EXPECT_EQ(squeeze_removed_axis({1, 3, 8, 16, 16}), 0);
  EXPECT_EQ(squeeze_removed_axis({2, 1, 8, 16, 16}), 1);
  EXPECT_EQ(squeeze_removed_axis({1, 1, 8, 16, 16}), 0);
  EXPECT_EQ(squeeze_removed_axis({2, 3, 1, 16, 16}), std::nullopt);
  EXPECT_EQ(squeeze_removed_axis({1, 3, 16, 16}), std::nullopt);
  EXPECT_EQ(squeeze_removed_axis({1, 1, 3, 8, 16, 16}), std::nullopt);
  EXPECT_EQ(squeeze_removed_axis({}), std::nullopt);
}

TEST(SqueezeResize, OnlyAxis3MayBeScaled) {
  EXPECT_TRUE(resize_scales_only_axis_3({1, 3, 4, 8, 8}, {1, 3, 4, 16, 8}));
  EXPECT_TRUE(resize_scales_only_axis_3({1, 3, 4, 8, 8}, {2, 3, 4, 8, 8}));  // axis 0 is not tested
  EXPECT_FALSE(resize_scales_only_axis_3({1, 3, 4, 8, 8}, {1, 3, 4, 16, 16}));
  EXPECT_FALSE(resize_scales_only_axis_3({1, 3, 4, 8, 8}, {1, 3, 8, 8, 8}));
  EXPECT_FALSE(resize_scales_only_axis_3({1, 3, 4, 8, 8}, {1, 6, 4, 8, 8}));
  EXPECT_FALSE(resize_scales_only_axis_3({1, 0, 4, 8, 8}, {1, 0, 4, 8, 8}));  // 0/0 is nan
  EXPECT_FALSE(resize_scales_only_axis_3({3, 4, 8, 8}, {3, 4, 16, 8}));
}

TEST(SqueezeAxes, NegativeAxesCountFromFiveAndLaterAxesMoveDown) {
  EXPECT_EQ(squeeze_axes({0, 2, -1}, 0), (Ints{-1, 1, 3}));
  EXPECT_EQ(squeeze_axes({0, 2, -1}, 1), (Ints{0, 1, 3}));
  EXPECT_EQ(squeeze_axes({1}, 1), (Ints{0}));  // the removed axis itself lands on axis_rm - 1
  EXPECT_EQ(squeeze_axes({}, 0), Ints{});
  EXPECT_EQ(squeeze_axes({9, -9}, 0), (Ints{8, -4}));  // no range check
}

TEST(SqueezePads, DropsTheBeginAndEndOfTheRemovedAxis) {
  const auto p = squeeze_pads(Ints{0, 0, 1, 2, 3, 0, 0, 1, 2, 3}, 1);
  ASSERT_TRUE(p.ok());
  EXPECT_EQ(p.value, (Ints{0, 1, 2, 3, 0, 1, 2, 3}));
  const auto p0 = squeeze_pads(Ints{9, 1, 2, 3, 4, 8, 5, 6, 7, 8}, 0);
  EXPECT_EQ(p0.value, (Ints{1, 2, 3, 4, 5, 6, 7, 8}));
  const auto roi = squeeze_pads(Reals{0, 0, 0, 0, 0, 1, 1, 1, 1, 1}, 0);
  EXPECT_EQ(roi.value, (Reals{0, 0, 0, 0, 1, 1, 1, 1}));
  EXPECT_EQ(squeeze_pads(Ints{0, 0}, 1).fault, SqueezeFault::pads_range);
  EXPECT_EQ(squeeze_pads(Ints{}, 0).fault, SqueezeFault::pads_range);
  EXPECT_EQ(squeeze_pads(Ints{1, 2, 3}, 0).value, (Ints{3}));  // odd length: n is truncated
}

TEST(SqueezeShape, DropsTheRemovedEntryWhateverItHolds) {
  EXPECT_EQ(squeeze_shape(Ints{1, 3, 8, 16, 16}, 0).value, (Ints{3, 8, 16, 16}));
  EXPECT_EQ(squeeze_shape(Ints{1, 3, 4, 16, 8}, 0).value, (Ints{3, 4, 16, 8}));
  EXPECT_EQ(squeeze_shape(Reals{1, 1, 1, 2, 1}, 0).value, (Reals{1, 1, 2, 1}));
  EXPECT_EQ(squeeze_shape(Ints{5, 7}, 1).value, (Ints{5}));
  EXPECT_EQ(squeeze_shape(Ints{5}, 1).fault, SqueezeFault::shape_range);
  EXPECT_EQ(squeeze_shape(Reals{}, 0).fault, SqueezeFault::shape_range);
}

TEST(SqueezeInputShape, LowerRanksStayRightAligned) {
  EXPECT_EQ(squeeze_input_shape({2, 1, 8, 16, 16}, 1, false).value, (Shape{2, 8, 16, 16}));
  EXPECT_EQ(squeeze_input_shape({16, 16}, 0, false).value, (Shape{1, 1, 16, 16}));
  EXPECT_EQ(squeeze_input_shape({}, 0, false).value, (Shape{1, 1, 1, 1}));
  EXPECT_EQ(squeeze_input_shape({1, 2, 3, 4, 5, 6}, 1, false).value, (Shape{1, 3, 4, 5, 6}));
}

TEST(SqueezeInputShape, MatMulByRank) {
  EXPECT_EQ(squeeze_input_shape({1, 3, 8, 16, 32}, 0, true).value, (Shape{3, 8, 16, 32}));
  EXPECT_EQ(squeeze_input_shape({3, 8, 32, 64}, 0, true).value, (Shape{3, 8, 32, 64}));
  EXPECT_EQ(squeeze_input_shape({8, 32, 64}, 0, true).value, (Shape{1, 8, 32, 64}));
  for (const Shape& s : {Shape{}, Shape{64}, Shape{32, 64}, Shape{1, 1, 2, 3, 4, 5}})
    EXPECT_EQ(squeeze_input_shape(s, 0, true).fault, SqueezeFault::matmul_rank) << s.size();
}

TEST(ScatterIndices, CoordinateOfTheRemovedAxisIsDropped) {
  auto plan = scatter_indices_plan({1, 10, 5}, 0);
  ASSERT_EQ(plan.kind, ScatterIndicesPlan::drop);
  Array indices(DType::Int64, {1, 2, 3});
  for (int64_t i = 0; i < 6; ++i) indices.set_int(i, i);  // tuples [0 1 2] [3 4 5]
  const Array out = apply_scatter_indices_plan(indices, plan);
  EXPECT_EQ(out.shape(), (Shape{2, 2}));
  EXPECT_EQ(out.to_ints(), (Ints{1, 2, 4, 5}));
  EXPECT_EQ(out.dtype(), DType::Int64);

}

TEST(ScatterIndices, UnsupportedShapesAndTheRankTwoCase) {
  EXPECT_EQ(scatter_indices_plan({10, 5}, 0).kind, ScatterIndicesPlan::unsupported);
  EXPECT_EQ(scatter_indices_plan({10, 1}, 1).kind, ScatterIndicesPlan::keep);
  EXPECT_EQ(scatter_indices_plan({2, 10, 5}, 0).kind, ScatterIndicesPlan::unsupported);
  EXPECT_EQ(scatter_indices_plan({1, 2, 3, 4, 5, 6, 5}, 0).kind, ScatterIndicesPlan::unsupported);
  EXPECT_EQ(scatter_indices_plan({1, 1, 2, 3, 4, 5}, 0).kind, ScatterIndicesPlan::drop);
  EXPECT_EQ(scatter_indices_plan({}, 1).kind, ScatterIndicesPlan::unsupported);
  Array wrong(DType::Int64, {3, 5});  // the shape record and the value disagree
  EXPECT_THROW(apply_scatter_indices_plan(wrong, scatter_indices_plan({1, 3, 5}, 0)), ArrayError);
}

TEST(SqueezeTranspose, UnitAxisIsDropped) {
  auto t = squeeze_transpose({2, 3, 1, 4, 5}, {0, 3, 1, 2, 4});
  ASSERT_TRUE(t);
  EXPECT_EQ(t->removed, 2);
  EXPECT_EQ(t->input_shape, (Shape{2, 3, 4, 5}));
  EXPECT_EQ(t->perm, (Ints{0, 2, 1, 3}));
  t = squeeze_transpose({1, 1, 4, 5, 6}, {1, 0, 4, 2, 3});
  ASSERT_TRUE(t);
  EXPECT_EQ(t->removed, 0);
  EXPECT_EQ(t->input_shape, (Shape{1, 4, 5, 6}));
  EXPECT_EQ(t->perm, (Ints{0, 3, 1, 2}));
}

TEST(SqueezeTranspose, AdjacentAxesAreMerged) {
  auto t = squeeze_transpose({2, 3, 4, 5, 6}, {0, 2, 3, 1, 4});
  ASSERT_TRUE(t);
  EXPECT_EQ(t->removed, 3);
  EXPECT_EQ(t->input_shape, (Shape{2, 3, 20, 6}));
  EXPECT_EQ(t->perm, (Ints{0, 2, 1, 3}));
  EXPECT_FALSE(squeeze_transpose({2, 3, 4, 5, 6}, {4, 3, 2, 1, 0}));
  EXPECT_FALSE(squeeze_transpose({2, 3, 4, 5}, {0, 1, 2, 3}));
  EXPECT_FALSE(squeeze_transpose({2, 3, 4, 5, 6}, {0, 1, 2, 3, 3}));
  EXPECT_THROW(squeeze_transpose({2, INT64_MAX, 2, 5, 6}, {0, 1, 2, 4, 3}), ArrayError);
}

}  // namespace
}  // namespace vexo::dims
