#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>

#include "rank4_algebra.hpp"

using namespace vexo::rank4;
using vexo::dims::DType;

namespace {

Array iota(const Shape& shape) {
  Array a(DType::Float32, shape);
  for (int64_t i = 0; i < a.size(); ++i) a.set_double(i, static_cast<double>(i));
  return a;
}

}  // namespace

// Every permutation of five axes runs as a chain of Transposes of four axes on
// merged views, and the chain moves the data exactly as the permutation does.
TEST(SplitTranspose, EveryFiveAxisPermutationRunsAsFourAxisSteps) {
  const Shape shape{2, 3, 4, 5, 6};
  const Array x = iota(shape);
  Ints perm{0, 1, 2, 3, 4};
  size_t longest = 0;
  do {
    const auto steps = split_into_mergeable(perm);
    ASSERT_TRUE(steps.has_value());
    longest = std::max(longest, steps->size());
    Array cur = x;
    for (const Ints& step : *steps) {
      ASSERT_TRUE(keeps_adjacent_pair(step));
      const MergedStep m = merge_step(cur.shape(), step);
      ASSERT_EQ(m.view.size(), 4u);
      cur = cur.reshape(m.view).transpose(m.perm).reshape(m.out);
    }
    EXPECT_TRUE(cur.same_as(x.transpose(perm))) << "perm " << ::testing::PrintToString(perm);
  } while (std::next_permutation(perm.begin(), perm.end()));
  EXPECT_EQ(longest, 2u);
  EXPECT_EQ(split_into_mergeable({0, 1, 2, 3, 4})->size(), 0u);
  EXPECT_EQ(split_into_mergeable({2, 0, 3, 1, 4}, 1), std::nullopt);
}

TEST(Gemm, WeightBiasAndAddendFollowTheConvLayout) {
  const Array b = iota({3, 2});  // [K, N]
  const Array w = gemm_conv_weight(b, false, 2.0);
  EXPECT_EQ(w.shape(), (Shape{2, 3, 1, 1}));
  EXPECT_EQ(w.to_doubles(), (std::vector<double>{0, 4, 8, 2, 6, 10}));
  EXPECT_TRUE(gemm_conv_weight(b.transpose({1, 0}), true, 2.0).same_as(w));
  EXPECT_EQ(gemm_row_bias(iota({1, 2}), 2, 0.5)->to_doubles(), (std::vector<double>{0, 0.5}));
  EXPECT_EQ(gemm_row_bias(Array::full(DType::Float32, {}, 3.0), 2, 1.0)->to_doubles(), (std::vector<double>{3, 3}));
  EXPECT_EQ(gemm_row_bias(iota({2, 2}), 2, 1.0), std::nullopt);
  EXPECT_TRUE(broadcasts_to({1, 2}, {3, 2}) && broadcasts_to({}, {3, 2}));
  EXPECT_FALSE(broadcasts_to({3}, {3, 2}) || broadcasts_to({1, 3, 2}, {3, 2}));
  EXPECT_EQ(gemm_addend_shape({5}), (Shape{1, 5, 1, 1}));
  EXPECT_EQ(gemm_addend_shape({4, 1}), (Shape{4, 1, 1, 1}));
}
