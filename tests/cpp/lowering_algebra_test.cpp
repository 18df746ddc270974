#include <gtest/gtest.h>

#include "lowering_algebra.hpp"

using vexo::dims::Ints;
using vexo::dims::resize_to_tile_size;

TEST(ResizeToTileSize, SplitsFactorsAtMostEight) {
  EXPECT_EQ(resize_to_tile_size(6, 512, 8), (Ints{6}));
  EXPECT_EQ(resize_to_tile_size(64, 512, 8), (Ints{8, 8}));
  EXPECT_EQ(resize_to_tile_size(100, 512, 8), (Ints{5, 5, 4}));
  EXPECT_EQ(resize_to_tile_size(128, 512, 8), (Ints{8, 8, 2}));
  EXPECT_EQ(resize_to_tile_size(81, 512, 8), (Ints{3, 3, 3, 3}));
}

TEST(ResizeToTileSize, RefusesPrimesAboveKernelAndOversize) {
  EXPECT_EQ(resize_to_tile_size(22, 512, 8), Ints{});
  EXPECT_EQ(resize_to_tile_size(600, 512, 8), Ints{});
  EXPECT_EQ(resize_to_tile_size(11, 512, 8), Ints{});
}

TEST(RepeatedGatherIndex, HugeOrNegativeExtentsAreRefusedBeforeFilling) {
  using vexo::dims::repeated_gather_index;
  EXPECT_EQ(repeated_gather_index(3, 2, true), (Ints{0, 0, 1, 1, 2, 2}));
  EXPECT_EQ(repeated_gather_index(3, 2, false), (Ints{0, 1, 2, 0, 1, 2}));
  EXPECT_THROW(repeated_gather_index(int64_t{1} << 20, int64_t{1} << 20, true), vexo::dims::ArrayError);
  EXPECT_THROW(repeated_gather_index(-3, 2, true), vexo::dims::ArrayError);
}
