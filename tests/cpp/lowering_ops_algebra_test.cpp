// Shape algebra of the Tile, Gather, Expand, constant, broadcast Mul and 1x1
// Resize lowerings.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "lowering_algebra.hpp"

using namespace vexo::dims;

namespace {

Array iota(const Shape& shape) {
  Array a(DType::Float32, shape);
  for (int64_t i = 0; i < a.size(); ++i) a.set_double(i, static_cast<double>(i));
  return a;
}

// A [1, c, h, w] float array whose value depends on the channel only.
Array per_channel(int64_t c, int64_t h, int64_t w) {
  Array a(DType::Float32, {1, c, h, w});
  for (int64_t i = 0; i < a.size(); ++i) a.set_double(i, static_cast<double>(i / (h * w)));
  return a;
}

}  // namespace

TEST(TileExpandShape, RepeatsOnlyUnitAxes) {
  EXPECT_EQ(tile_expand_shape({1, 3, 1, 5}, {2, 1, 4, 1}), (Ints{2, 3, 4, 5}));
  EXPECT_EQ(tile_expand_shape({2, 3}, {1, 1}), (Ints{2, 3}));
  EXPECT_EQ(tile_expand_shape({2, 3}, {2, 1}), std::nullopt);
  EXPECT_EQ(tile_expand_shape({1, 3}, {2, 1, 1}), std::nullopt);
  EXPECT_EQ(tile_expand_shape({1, 3}, {-2, 1}), std::nullopt);
  EXPECT_EQ(tile_expand_shape({-1, 3}, {1, 1}), std::nullopt);
}

TEST(GatherSelection, NegativeIndicesCountFromTheEnd) {
  EXPECT_EQ(gather_selected_channels({5, 0, 0}, 6), (Ints{5, 0, 0}));
  EXPECT_EQ(gather_selected_channels({-1, -6}, 6), (Ints{5, 0}));
  EXPECT_EQ(gather_selected_channels({6}, 6), std::nullopt);
  EXPECT_EQ(gather_selected_channels({-7}, 6), std::nullopt);
}

TEST(GatherSelection, WeightPicksOneChannelPerRow) {
  const Array w = selection_weight({5, 0, 0}, 6);
  EXPECT_EQ(w.shape(), (Shape{3, 6, 1, 1}));
  EXPECT_EQ(w.dtype(), DType::Float32);
  const std::vector<double> v = w.to_doubles();
  for (int64_t row = 0; row < 3; ++row)
    for (int64_t col = 0; col < 6; ++col)
      EXPECT_EQ(v[static_cast<size_t>(row * 6 + col)], (row == 0 ? col == 5 : col == 0) ? 1.0 : 0.0);
}

TEST(ExpandMerge, FindsTheOneGrowingAxis) {
  EXPECT_EQ(single_expanded_axis({1, 3, 1, 4}, {1, 3, 5, 4}), 2);
  EXPECT_EQ(single_expanded_axis({1, 1, 1, 4}, {1, 2, 5, 4}), std::nullopt);  // two axes
  EXPECT_EQ(single_expanded_axis({1, 3, 5, 4}, {1, 3, 5, 4}), std::nullopt);  // none
  EXPECT_EQ(single_expanded_axis({3, 1, 4}, {1, 3, 5, 4}), std::nullopt);     // rank change
  EXPECT_EQ(single_expanded_axis({1, -1, 1}, {1, -1, 5}), std::nullopt);
}

TEST(ExpandMerge, TargetIsTheOtherNonUnitAxisOfTheMergingPart) {
  // [1, 3, 5, 4] -> [1, 15, 4]: parts (0)->(0), (1, 2)->(1), (3)->(2).
  const ReshapeParts parts = {{{0}, {0}}, {{1, 2}, {1}}, {{3}, {2}}};
  EXPECT_EQ(merge_target_axis(parts, {1, 3, 5, 4}, {1, 15, 4}, 2), 1);
  EXPECT_EQ(merge_target_axis(parts, {1, 3, 5, 4}, {1, 15, 4}, 1), 2);
  // Unit axes inside the part do not count.
  EXPECT_EQ(merge_target_axis({{{0, 1, 2}, {0}}}, {3, 1, 5}, {15}, 2), 0);
  // Merged with two other axes, split into two, or kept on its own: no target.
  EXPECT_EQ(merge_target_axis({{{0, 1, 2}, {0}}}, {2, 3, 5}, {30}, 2), std::nullopt);
  EXPECT_EQ(merge_target_axis({{{0, 1}, {0, 1}}}, {3, 5}, {5, 3}, 1), std::nullopt);
  EXPECT_EQ(merge_target_axis({{{0}, {0}}, {{1}, {1}}}, {3, 5}, {3, 5}, 1), std::nullopt);
  EXPECT_EQ(merge_target_axis({{{0}, {0}}}, {3, 5}, {3, 5}, 1), std::nullopt);  // no part holds it
  EXPECT_THROW(merge_target_axis({{{0, 7}, {0}}}, {3, 5}, {15}, 0), std::out_of_range);
}

TEST(ExpandMerge, GatherIndexFollowsTheMergedOrder) {
  EXPECT_EQ(repeated_gather_index(3, 5, true), (Ints{0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 2, 2, 2, 2, 2}));
  EXPECT_EQ(repeated_gather_index(3, 4, true), (Ints{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2}));
  EXPECT_EQ(repeated_gather_index(3, 2, false), (Ints{0, 1, 2, 0, 1, 2}));
  EXPECT_EQ(merged_gather_shape({1, 3, 1, 4}, 1, 5), (Shape{1, 15, 1, 4}));
  EXPECT_EQ(merged_gather_shape({2, 3, 1}, 1, 4), (Shape{2, 12, 1}));
}

TEST(ShrinkConstant, DropsAxesThatOnlyRepeat) {
  EXPECT_EQ(shrink_redundant_axes(per_channel(64, 32, 32), {1, 64, 32, 32}).shape(), (Shape{1, 64, 1, 1}));
  // The feature has extent 1 on the channel axis there: the constant widens it and keeps it.
  EXPECT_EQ(shrink_redundant_axes(Array::full(DType::Float32, {1, 64, 32, 32}, 0.5), {1, 1, 32, 32}).shape(),
            (Shape{1, 64, 1, 1}));
  EXPECT_EQ(shrink_redundant_axes(iota({1, 4, 3, 3}), {1, 4, 3, 3}).shape(), (Shape{1, 4, 3, 3}));
  // A constant axis that broadcasts against the feature (extent 1) is not the feature's to drop.
  EXPECT_EQ(shrink_redundant_axes(per_channel(4, 1, 3), {1, 4, 5, 3}).shape(), (Shape{1, 4, 1, 1}));
  const Array shrunk = shrink_redundant_axes(per_channel(4, 2, 2), {1, 4, 2, 2});
  EXPECT_EQ(shrunk.to_doubles(), (std::vector<double>{0, 1, 2, 3}));
}

TEST(ShrinkConstant, UniformCollapsesToOneElementOfItsType) {
  const std::optional<Array> half = collapse_uniform(Array::full(DType::Float32, {1, 64, 32, 32}, 0.5), 4);
  ASSERT_TRUE(half);
  EXPECT_EQ(half->shape(), (Shape{1, 1, 1, 1}));
  EXPECT_EQ(half->to_doubles(), (std::vector<double>{0.5}));
  const Array big = Array::from_ints({(int64_t{1} << 60) + 1, (int64_t{1} << 60)});
  EXPECT_EQ(collapse_uniform(big, 1), std::nullopt);  // equal as doubles, not as integers
  EXPECT_EQ(collapse_uniform(Array::from_ints({7, 7, 7}, DType::Int32), 2)->dtype(), DType::Int32);
  EXPECT_EQ(collapse_uniform(Array::from_doubles({1.0, std::nan(""), 1.0}), 1), std::nullopt);
  EXPECT_EQ(collapse_uniform(Array::from_doubles({std::nan("")}), 1), std::nullopt);
  EXPECT_EQ(collapse_uniform(Array(DType::Float32, {0}), 1), std::nullopt);
}

TEST(BroadcastMul, ExpandsGrowUnitAxesOnly) {
  EXPECT_EQ(broadcast_shape_4d({1, 64, 1, 32}, {1, 1, 32, 1}), (Shape{1, 64, 32, 32}));
  EXPECT_EQ(broadcast_shape_4d({1, 3, 4, 4}, {1, 5, 4, 4}), std::nullopt);
  EXPECT_EQ(broadcast_shape_4d({1, 3, 4}, {1, 3, 4, 4}), std::nullopt);
  EXPECT_EQ(broadcast_expand_size({1, 64, 1, 32}, {1, 64, 32, 32}), (Ints{1, 1, 32, 1}));
  EXPECT_EQ(broadcast_expand_size({1, 1, 32, 1}, {1, 64, 32, 32}), (Ints{1, 64, 1, 32}));
  EXPECT_EQ(broadcast_expand_size({1, 64, 1, 1}, {1, 64, 32, 32}), (Ints{1, 1, 32, 32}));
  EXPECT_EQ(broadcast_expand_name("a", "mul_1"), "a_exp_for_mul_1");
  EXPECT_EQ(broadcast_expand_size_name("a_exp_for_mul_1"), "a_exp_for_mul_1_size");
}

TEST(TileChain, OneTilePerFactorWithItsNames) {
  const auto one = plan_tile_chain("r_2tile", "y", 8, 8);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].node_name, "r_2tile");
  EXPECT_EQ(one[0].repeats_name, "r_2tile_repeats_0");
  EXPECT_EQ(one[0].output, "y");
  EXPECT_EQ((Ints{one[0].h, one[0].w}), (Ints{8, 8}));

  const auto two = plan_tile_chain("r_2tile", "y", 24, 3);  // [8, 3] and [3, 1]
  ASSERT_EQ(two.size(), 2u);
  EXPECT_EQ((Ints{two[0].h, two[0].w, two[1].h, two[1].w}), (Ints{8, 3, 3, 1}));
  EXPECT_EQ(two[0].node_name, "r_2tile_tile_0");
  EXPECT_EQ(two[0].output, "r_2tile_tile_out_0");
  EXPECT_EQ(two[1].node_name, "r_2tile_tile_1");
  EXPECT_EQ(two[1].repeats_name, "r_2tile_repeats_1");
  EXPECT_EQ(two[1].output, "y");

  const auto three = plan_tile_chain("r_2tile", "y", 128, 128);
  ASSERT_EQ(three.size(), 3u);
  EXPECT_EQ((Ints{three[2].h, three[2].w}), (Ints{2, 2}));
  EXPECT_EQ(three[1].output, "r_2tile_tile_out_1");
  EXPECT_EQ(three[2].node_name, "r_2tile_tile_2");
  EXPECT_EQ(three[2].repeats_name, "r_2tile_repeats_2");
  EXPECT_EQ(three[2].output, "y");
}

TEST(TileChain, ThreeFactorsUnderSixtyFourStillReachTheSize) {
  const auto chain = plan_tile_chain("r", "y", 50, 4);  // 5 * 5 * 2
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ((Ints{chain[0].h, chain[1].h, chain[2].h}), (Ints{5, 5, 2}));
  EXPECT_EQ((Ints{chain[0].w, chain[1].w, chain[2].w}), (Ints{4, 1, 1}));
}

TEST(TileChain, RefusesWhatTilesCannotReach) {
  EXPECT_TRUE(plan_tile_chain("r", "y", 11, 8).empty());   // prime above 8
  EXPECT_TRUE(plan_tile_chain("r", "y", 8, 513).empty());  // above 512
  EXPECT_TRUE(plan_tile_chain("r", "y", 81, 8).empty());   // four factors
  EXPECT_TRUE(plan_tile_chain("r", "y", 0, 8).empty());
  EXPECT_TRUE(plan_tile_chain("r", "y", -4, 8).empty());
}
