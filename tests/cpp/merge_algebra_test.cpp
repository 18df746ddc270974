#include <gtest/gtest.h>

#include "array.hpp"
#include "merge_algebra.hpp"

using namespace vexo::dims;

namespace {

// A stand-in for the converter's broadcast merge: adjacent axes of the same
// broadcast type (equal, first is 1, second is 1) join; axes where both are 1
// join their left neighbour (the right one at the start).
std::pair<Ints, Ints> merge_by_type(const Ints& a, const Ints& b) {
  auto type = [&](size_t i) { return a[i] == 1 && b[i] == 1 ? 0 : a[i] == b[i] ? 1 : a[i] == 1 ? 2 : 3; };
  Ints ma, mb;
  int last = -1;
  for (size_t i = 0; i < a.size(); ++i) {
    const int t = type(i);
    if (!ma.empty() && (t == 0 || t == last || last == 0)) {
      ma.back() *= a[i];
      mb.back() *= b[i];
      if (t != 0) last = t;
    } else {
      ma.push_back(a[i]);
      mb.push_back(b[i]);
      last = t;
    }
  }
  return {ma, mb};
}

}  // namespace

TEST(UnitAxes, DropsOuterUnitAxesButKeepsFourAxes) {
  EXPECT_EQ(unit_axes_to_drop({2, 1, 3, 1, 4, 5}), (Ints{1, 3}));
  EXPECT_EQ(unit_axes_to_drop({1, 1, 1, 1, 8, 8}), (Ints{0, 1}));
  EXPECT_EQ(unit_axes_to_drop({2, 3, 4, 5, 1}), (Ints{4}));
  EXPECT_EQ(unit_axes_to_drop({2, 3, 4, 5, 6}), Ints{});
  EXPECT_EQ(unit_axes_to_drop({1, 2, 1, 3, 1, 4, 1}), (Ints{0, 2, 4}));
}

TEST(TailMerge, KeepsAsManyLeadingAxesAsItCan) {
  auto s = find_tail_merge({2, 3, 4, 5, 6, 7}, {2, 3, 4, 5, 6, 7}, merge_by_type);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->dims_keep, 3);
  EXPECT_EQ(s->shape_0, (Ints{2, 3, 4, 210}));
  EXPECT_EQ(s->shape_1, (Ints{2, 3, 4, 210}));

  // A tail of two types cannot be one axis: keep two leading axes instead.
  s = find_tail_merge({2, 3, 4, 5, 6, 7}, {2, 3, 4, 5, 1, 1}, merge_by_type);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->dims_keep, 2);
  EXPECT_EQ(s->shape_0, (Ints{2, 3, 20, 42}));
  EXPECT_EQ(s->shape_1, (Ints{2, 3, 20, 1}));
}

TEST(TailMerge, CountsMustMatchExactly) {
  // Types alternate on every axis: no attempt gives exactly i + 1 axes.
  EXPECT_FALSE(find_tail_merge({2, 1, 4, 1, 6, 1}, {1, 3, 1, 5, 1, 7}, merge_by_type));
  // The whole shape merging to fewer than four axes is not a success either.
  int calls = 0;
  auto one_axis = [&](const Ints& a, const Ints& b) {
    ++calls;
    return std::pair<Ints, Ints>{{checked_prod(a)}, {checked_prod(b)}};
  };
  auto s = find_tail_merge({2, 3, 4, 5, 6, 7}, {2, 3, 4, 5, 6, 7}, one_axis);
  ASSERT_TRUE(s);
  EXPECT_EQ(calls, 1);
  auto never = [&](const Ints& a, const Ints& b) { return std::pair<Ints, Ints>{a, b}; };
  EXPECT_FALSE(find_tail_merge({2, 3, 4, 5, 6, 7}, {2, 3, 4, 5, 6, 7}, never));
}

TEST(HeadMerge, ExpandTriesFourSplits) {
  auto s = find_head_merge({1, 1, 3, 4, 5}, {2, 6, 3, 4, 5}, {3, 2, 1, 0}, merge_by_type);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->shape_0, (Ints{1, 3, 4, 5}));
  EXPECT_EQ(s->shape_1, (Ints{12, 3, 4, 5}));

  // Nothing kept: the whole shape must merge into exactly four axes.
  s = find_head_merge({1, 3, 1, 4, 4}, {2, 3, 2, 4, 4}, {3, 2, 1, 0}, merge_by_type);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->dims_keep, 0);
  EXPECT_EQ(s->shape_0, (Ints{1, 3, 1, 16}));
  EXPECT_EQ(s->shape_1, (Ints{2, 3, 2, 16}));

  EXPECT_FALSE(find_head_merge({1, 3, 1, 4, 1}, {2, 3, 2, 4, 2}, {3, 2, 1, 0}, merge_by_type));
}

TEST(TransposeMerge, KeepsInnerAxesApartToReachFourAxes) {
  EXPECT_EQ(inner_axes_kept(contiguity_marks({0, 1, 2, 3, 5, 4})), 3);
  auto p = plan_transpose_merge({2, 3, 4, 5, 6, 7, 2}, {3, 4, 5, 6, 0, 1, 2});
  ASSERT_TRUE(p);
  EXPECT_EQ(p->input_shape, (Ints{24, 30, 7, 2}));
  EXPECT_EQ(p->perm, (Ints{1, 2, 3, 0}));
}

TEST(TransposeMerge, Refusals) {
  EXPECT_FALSE(plan_transpose_merge({2, 3, 4, 5, 6}, {4, 3, 2, 1, 0}));
  EXPECT_FALSE(plan_transpose_merge({2, 3, 4, 5, 6, 7}, {0, 2, 1, 4, 3, 5}));
  EXPECT_FALSE(plan_transpose_merge({2, 3, 4, 5, 6, 7}, {0, 2, 3, 1, 5, 4}));
  // Channels-first pixel shuffle [N, C, r, r, H, W] -> [N, C, H, r, W, r]:
  // only N and C move together, five axes would remain.
  EXPECT_FALSE(plan_transpose_merge({2, 4, 2, 2, 5, 6}, {0, 1, 4, 2, 5, 3}));
  EXPECT_FALSE(plan_transpose_merge({2, 3, 4, 5, 6}, {0, 1, 2, 3}));
  EXPECT_FALSE(plan_transpose_merge({2, 3, 4, 5, 6}, {0, 1, 2, 3, 7}));
}

TEST(AxisMerge, MergesAfterTheAxisFirst) {
  auto m = plan_axis_merge({2, 3, 4, 5, 6, 7, 8}, 0);
  EXPECT_EQ(m.shape, (Ints{2, 3, 4, 1680}));
  EXPECT_EQ(m.axis, 0);
  m = plan_axis_merge({2, 3, 4, 5, 6, 7, 8}, 6);
  EXPECT_EQ(m.shape, (Ints{2, 3, 840, 8}));
  EXPECT_EQ(m.axis, 3);
  EXPECT_THROW(plan_axis_merge({2, 3, 4, 5, 6}, 5), std::invalid_argument);
}

TEST(SplitConcatWindow, PrefersTheWindowStartingAtTheAxis) {
  EXPECT_EQ(merge_window_start(5, 1), 1);
  EXPECT_EQ(merge_window_start(5, 0), 0);
  EXPECT_EQ(merge_window_start(5, 4), 3);  // window [3, 4]: the axis is its end
  EXPECT_EQ(merge_window_start(6, 3), 3);
  EXPECT_EQ(merge_window_start(6, 4), 2);  // windows [2..4], [3..5]: none starts at 4
  EXPECT_EQ(merge_window_start(7, 6), 3);
  EXPECT_EQ(merge_window_start(7, 2), 2);
  EXPECT_FALSE(merge_window_start(5, -1));
  EXPECT_FALSE(merge_window_start(5, 5));
}

TEST(SplitConcatWindow, ShapeAndChunks) {
  EXPECT_EQ(merge_window({2, 6, 4, 5, 3}, 1, 2), (Ints{2, 24, 5, 3}));
  EXPECT_EQ(window_other_product({2, 6, 4, 5, 3}, 1, 2, 1), 4);
  EXPECT_EQ(window_other_product({2, 3, 4, 5, 6, 7}, 2, 3, 4), 20);
  EXPECT_EQ(scale_chunks({2, 4}, 4), (Ints{8, 16}));
  EXPECT_THROW(scale_chunks({int64_t{1} << 40}, int64_t{1} << 40), ArrayError);
  EXPECT_THROW(merge_window({2, 3, 4}, 2, 2), std::invalid_argument);
  EXPECT_FALSE(needs_reorder({0, 1, 2, 3}));
  EXPECT_TRUE(needs_reorder({0, 2, 1, 3}));
}
