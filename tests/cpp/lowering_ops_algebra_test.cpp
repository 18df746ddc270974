// Shape algebra of the Tile, Gather, Expand, constant, broadcast Mul and 1x1
// Resize lowerings: the edge cases behind the rewrites.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>

#include "lowering_algebra.hpp"

using namespace vexo::dims;

namespace {

// A [1, c, h, w] float array whose value depends on the channel only.
Array per_channel(int64_t c, int64_t h, int64_t w) {
  Array a(DType::Float32, {1, c, h, w});
  for (int64_t i = 0; i < a.size(); ++i) a.set_double(i, static_cast<double>(i / (h * w)));
  return a;
}

}  // namespace

TEST(TileExpandShape, RefusesWhatAnExpandCannotRepeat) {
  EXPECT_EQ(tile_expand_shape({1, 3, 1, 5}, {2, 1, 4, 1}), (Ints{2, 3, 4, 5}));
  EXPECT_EQ(tile_expand_shape({2, 3}, {2, 1}), std::nullopt);
  EXPECT_EQ(tile_expand_shape({1, 3}, {2, 1, 1}), std::nullopt);
  EXPECT_EQ(tile_expand_shape({1, 3}, {-2, 1}), std::nullopt);
  EXPECT_EQ(tile_expand_shape({-1, 3}, {1, 1}), std::nullopt);
}

TEST(GatherSelection, NegativeIndicesCountFromTheEnd) {
  EXPECT_EQ(gather_selected_channels({-1, -6, 2}, 6), (Ints{5, 0, 2}));
  EXPECT_EQ(gather_selected_channels({6}, 6), std::nullopt);
  EXPECT_EQ(gather_selected_channels({-7}, 6), std::nullopt);
}

TEST(ExpandMerge, TargetIsTheOtherNonUnitAxisOfTheMergingPart) {
  EXPECT_EQ(single_expanded_axis({1, 1, 1, 4}, {1, 2, 5, 4}), std::nullopt);  // two axes grow
  EXPECT_EQ(single_expanded_axis({3, 1, 4}, {1, 3, 5, 4}), std::nullopt);     // rank change
  // Unit axes inside the part do not count.
  EXPECT_EQ(merge_target_axis({{{0, 1, 2}, {0}}}, {3, 1, 5}, {15}, 2), 0);
  // Merged with two other axes, split into two, or kept on its own: no target.
  EXPECT_EQ(merge_target_axis({{{0, 1, 2}, {0}}}, {2, 3, 5}, {30}, 2), std::nullopt);
  EXPECT_EQ(merge_target_axis({{{0, 1}, {0, 1}}}, {3, 5}, {5, 3}, 1), std::nullopt);
  EXPECT_EQ(merge_target_axis({{{0}, {0}}, {{1}, {1}}}, {3, 5}, {3, 5}, 1), std::nullopt);
  EXPECT_EQ(merge_target_axis({{{0}, {0}}}, {3, 5}, {3, 5}, 1), std::nullopt);  // no part holds it
  EXPECT_THROW(merge_target_axis({{{0, 7}, {0}}}, {3, 5}, {15}, 0), std::out_of_range);
}

TEST(ShrinkConstant, DropsOnlyAxesTheFeatureFills) {
  EXPECT_EQ(shrink_redundant_axes(per_channel(64, 32, 32), {1, 64, 32, 32}).shape(), (Shape{1, 64, 1, 1}));
  // Where the feature has extent 1 the constant widens the output and keeps its axis.
  EXPECT_EQ(shrink_redundant_axes(Array::full(DType::Float32, {1, 64, 32, 32}, 0.5), {1, 1, 32, 32}).shape(),
            (Shape{1, 64, 1, 1}));
  EXPECT_EQ(shrink_redundant_axes(per_channel(4, 1, 3), {1, 4, 5, 3}).shape(), (Shape{1, 4, 1, 1}));
  EXPECT_EQ(shrink_redundant_axes(per_channel(4, 2, 2), {1, 4, 2, 2}).to_doubles(), (std::vector<double>{0, 1, 2, 3}));
}

TEST(ShrinkConstant, UniformMeansExactlyOneValue) {
  EXPECT_EQ(collapse_uniform(Array::from_ints({7, 7, 7}, DType::Int32), 2)->shape(), (Shape{1, 1}));
  EXPECT_EQ(collapse_uniform(Array::from_ints({7, 7, 7}, DType::Int32), 2)->dtype(), DType::Int32);
  const Array big = Array::from_ints({(int64_t{1} << 60) + 1, int64_t{1} << 60});
  EXPECT_EQ(collapse_uniform(big, 1), std::nullopt);  // equal as doubles, not as integers
  EXPECT_EQ(collapse_uniform(Array::from_doubles({1.0, std::nan(""), 1.0}), 1), std::nullopt);
  EXPECT_EQ(collapse_uniform(Array::from_doubles({std::nan("")}), 1), std::nullopt);
  EXPECT_EQ(collapse_uniform(Array(DType::Float32, {0}), 1), std::nullopt);
}

TEST(BroadcastMul, ShapesMustBroadcast) {
  EXPECT_EQ(broadcast_shape_4d({1, 64, 1, 32}, {1, 1, 32, 1}), (Shape{1, 64, 32, 32}));
  EXPECT_EQ(broadcast_shape_4d({1, 3, 4, 4}, {1, 5, 4, 4}), std::nullopt);
  EXPECT_EQ(broadcast_shape_4d({1, -1, 4, 4}, {1, 5, 4, 4}), std::nullopt);
}

TEST(TileChain, ThreeFactorsUnderSixtyFourStillReachTheSize) {
  const auto chain = plan_tile_chain("r", "y", 54, 60);  // 6*3*3 and 6*5*2
  ASSERT_EQ(chain.size(), 3u);
  EXPECT_EQ((Ints{chain[0].h, chain[1].h, chain[2].h, chain[0].w, chain[1].w, chain[2].w}),
            (Ints{6, 3, 3, 6, 5, 2}));
  EXPECT_EQ(chain[2].output, "y");
}

TEST(TileChain, RefusesWhatTilesCannotReach) {
  EXPECT_TRUE(plan_tile_chain("r", "y", 11, 8).empty());   // prime above 8
  EXPECT_TRUE(plan_tile_chain("r", "y", 8, 513).empty());  // above 512
  EXPECT_TRUE(plan_tile_chain("r", "y", 81, 8).empty());   // four factors
  EXPECT_TRUE(plan_tile_chain("r", "y", 0, 8).empty());
  EXPECT_TRUE(plan_tile_chain("r", "y", -4, 8).empty());
}
