#include <gtest/gtest.h>

#include "unsqueeze_algebra.hpp"

using namespace vexo::dims;

namespace {

Ints shape_of(const Ints& s, const std::string& mode) {
  const auto r = _new_shape(s, mode, "t");
  EXPECT_TRUE(r.error.empty() && r.warning.empty()) << mode << ": " << r.error << r.warning;
  return r.value;
}

}  // namespace

TEST(SizeRule, ChannelGoesToTheLargestAxisPreferringB) {
  EXPECT_EQ(size_rule_mode(1, 64, 100), "AB1C");  // B >= 4 even though C is larger
  EXPECT_EQ(size_rule_mode(1, 3, 2), "AB1C");
  EXPECT_EQ(size_rule_mode(64, 2, 3), "1ABC");
  EXPECT_EQ(size_rule_mode(5, 2, 7), "1ABC");     // A >= 4
  EXPECT_EQ(size_rule_mode(3, 2, 5), "1ABC");     // B != 1 and B < A
  EXPECT_EQ(size_rule_mode(2, 3, 5), "AB1C");     // B != 1 and B >= A
  EXPECT_EQ(size_rule_mode(2, 1, 3), "AC1B");     // B == 1: moving C ahead reorders nothing
  EXPECT_EQ(size_rule_mode(1, 1, 1), "AB1C");
}

// Order matters where classes meet: MatMul keeps "1ABC" and exLayerNorm its
// merged modes even with dynamic shapes; ScatterND is refused at rank 2.
TEST(ModeChoice, PrecedenceBetweenClasses) {
  EXPECT_EQ(fixed_rank3_mode("MatMul", true), "1ABC");
  EXPECT_EQ(fixed_rank3_mode("exLayerNorm", true), std::nullopt);
  EXPECT_EQ(fixed_rank3_mode("Relu", true), "AB1C");
  EXPECT_EQ(fixed_rank3_mode("Relu", false), std::nullopt);
  EXPECT_EQ(fixed_rank3_mode("GlobalMaxPool", false), std::nullopt);  // sized, unlike GlobalAveragePool
  EXPECT_EQ(layer_norm_mode(2, "ln").value, "ABc11");
  EXPECT_EQ(layer_norm_mode(4, "ln").error, "Not support n_norm_shape = 4 in 'ln'!");
  EXPECT_EQ(rank2_mode("InstanceNormalization", "1A1B"), "AB11");
  EXPECT_EQ(rank2_mode("MatMul", "AB11"), "11AB");
  EXPECT_EQ(rank2_mode("ScatterND", "AB11"), std::nullopt);
}

TEST(NewShape, EveryModeAtEveryRank) {
  const Ints r3{2, 3, 5}, r2{3, 5}, r1{5};
  EXPECT_EQ(shape_of(r3, "AB1C"), (Ints{2, 3, 1, 5}));
  EXPECT_EQ(shape_of(r2, "AB1C"), (Ints{3, 1, 5}));
  EXPECT_EQ(shape_of(r1, "AB1C"), (Ints{5}));
  EXPECT_EQ(shape_of(r3, "1ABC"), (Ints{1, 2, 3, 5}));
  EXPECT_EQ(shape_of(r2, "1ABC"), (Ints{1, 1, 3, 5}));
  EXPECT_EQ(shape_of(r1, "1ABC"), (Ints{5}));
  EXPECT_EQ(shape_of(r3, "AC1B"), (Ints{2, 5, 1, 3}));
  EXPECT_EQ(shape_of(r2, "AC1B"), (Ints{5, 1, 3}));
  EXPECT_EQ(shape_of(r1, "AC1B"), (Ints{5, 1, 1}));
  EXPECT_EQ(shape_of(r3, "AbC11"), (Ints{6, 5, 1, 1}));
  EXPECT_EQ(shape_of(r2, "AbC11"), (Ints{3, 5, 1, 1}));
  EXPECT_EQ(shape_of(r1, "AbC11"), (Ints{5, 1, 1}));
  EXPECT_EQ(shape_of(r3, "ABc11"), (Ints{2, 15, 1, 1}));
  EXPECT_EQ(shape_of(r2, "ABc11"), (Ints{15, 1, 1}));
  EXPECT_EQ(shape_of(r3, "1Abc11"), (Ints{1, 30, 1, 1}));
  EXPECT_EQ(shape_of(r2, "1Abc11"), (Ints{15, 1, 1}));
  EXPECT_EQ(shape_of(r1, "1Abc11"), (Ints{5, 1, 1}));
  EXPECT_EQ(shape_of(r2, "AB11"), (Ints{3, 5, 1, 1}));
  EXPECT_EQ(shape_of(r1, "AB11"), (Ints{5, 1, 1}));
  EXPECT_EQ(shape_of(r2, "1A1B"), (Ints{1, 3, 1, 5}));
  EXPECT_EQ(shape_of(r1, "1A1B"), (Ints{1, 5}));
  EXPECT_EQ(shape_of(r3, "11AB"), (Ints{1, 1, 2, 3, 5}));
  EXPECT_EQ(shape_of(r2, "11AB"), (Ints{1, 1, 3, 5}));
  EXPECT_EQ(shape_of(r3, "1A11"), (Ints{1, 2, 3, 5, 1, 1}));
  EXPECT_EQ(shape_of(r1, "1A11"), (Ints{1, 5, 1, 1}));
}

TEST(NewShape, EmptyLongAndUnknown) {
  EXPECT_EQ(shape_of({}, "bogus"), Ints{});  // an empty shape is never looked at

  const auto long_shape = _new_shape(Ints{2, 3, 5}, "AB11", "x");
  EXPECT_EQ(long_shape.value, (Ints{2, 3, 5}));
  EXPECT_EQ(long_shape.warning, "n_dims_mode = 2 is not match the shape [2, 3, 5] in 'x'!");
  EXPECT_TRUE(long_shape.error.empty());
  EXPECT_EQ(_new_shape(Ints{1, 2, 3, 4}, "bogus", "x").warning,
            "n_dims_mode = 3 is not match the shape [1, 2, 3, 4] in 'x'!");

  EXPECT_EQ(_new_shape(Ints{2, 3}, "AB13", "y").error, "Not support mode = AB13 in 'y'!");
  EXPECT_THROW(_new_shape(Ints{INT64_MAX, 2, 1}, "AbC11", "z"), ArrayError);
}

TEST(NewShape, RealScales) {
  EXPECT_EQ(_new_shape(Reals{1, 1, 2}, "AB1C", "s").value, (Reals{1, 1, 1, 2}));
  EXPECT_EQ(_new_shape(Reals{1.5, 2}, "1A1B", "s").value, (Reals{1, 1.5, 1, 2}));
  EXPECT_EQ(_new_shape(Reals{1, 1, 1.5, 2}, "AB1C", "s").warning,
            "n_dims_mode = 3 is not match the shape [1.0, 1.0, 1.5, 2.0] in 's'!");
}

TEST(NewAxes, MapsAndNegativeAxes) {
  EXPECT_EQ(_new_axes({0, 1, 2}, "AB1C", "n").value, (Ints{0, 1, 3}));
  EXPECT_EQ(_new_axes({0, 1, 2}, "1ABC", "n").value, (Ints{1, 2, 3}));
  EXPECT_EQ(_new_axes({0, 1, 2}, "AC1B", "n").value, (Ints{0, 3, 1}));
  EXPECT_EQ(_new_axes({-1}, "AB1C", "n").value, (Ints{3}));
  EXPECT_EQ(_new_axes({-1}, "1ABC", "n").value, (Ints{3}));
  EXPECT_EQ(_new_axes({-1, 0}, "AB11", "n").value, (Ints{1, 0}));
  EXPECT_EQ(_new_axes({0, -1}, "1A1B", "n").value, (Ints{1, 3}));
  EXPECT_EQ(_new_axes({0, 1}, "11AB", "n").value, (Ints{2, 3}));
  EXPECT_EQ(_new_axes({-1}, "1A11", "n").value, (Ints{1}));
  EXPECT_EQ(_new_axes({}, "AB1C", "n").value, Ints{});
}

TEST(NewAxes, Errors) {
  EXPECT_EQ(_new_axes({0, 1, 2}, "11AB", "r attr::axes").error,
            "n_dims_mode = 2 is not match the axes [0, 1, 2] in 'r attr::axes'!");
  EXPECT_EQ(_new_axes({3}, "AB1C", "r attr::axis").error,
            "n_dims_mode = 3 is not match the axes [3] in 'r attr::axis'!");
  EXPECT_EQ(_new_axes({-4}, "AB1C", "r attr::axis").error,
            "n_dims_mode = 3 is not match the axes [-4] in 'r attr::axis'!");
  EXPECT_EQ(_new_axes({0}, "AbC11", "r attr::axes").error, "Not support mode = AbC11 in 'r attr::axes'!");
  EXPECT_EQ(_new_axes({0}, "xyz", "r").error, "Not support mode = xyz in 'r'!");
}

TEST(NewPerm, EveryMode) {
  EXPECT_EQ(_new_perm({0, 2, 1}, "AB1C", "t").value, (Ints{0, 3, 2, 1}));
  EXPECT_EQ(_new_perm({0, 2, 1}, "1ABC", "t").value, (Ints{0, 1, 3, 2}));
  EXPECT_EQ(_new_perm({2, 0, 1}, "AC1B", "t").value, (Ints{1, 0, 2, 3}));
  EXPECT_EQ(_new_perm({1, 0}, "AB11", "t").value, (Ints{1, 0, 2, 3}));
  EXPECT_EQ(_new_perm({1, 0}, "1A1B", "t").value, (Ints{0, 3, 2, 1}));
  EXPECT_EQ(_new_perm({1, 0}, "11AB", "t").value, (Ints{0, 1, 3, 2}));
  EXPECT_EQ(_new_perm({0}, "1A11", "t").value, (Ints{0, 1, 2, 3}));
  EXPECT_EQ(_new_perm({0, 1, 2}, "ABc11", "t attr::perm").error, "Not support mode = ABc11 in 't attr::perm'!");
  EXPECT_EQ(_new_perm({0, 2, 1}, "AB11", "t attr::perm").error,
            "Not support perm = [0, 2, 1] for mode = AB11 in 't attr::perm'!");
  EXPECT_FALSE(_new_perm({-1, 0, 1}, "AB1C", "t").error.empty());
}

// A layout is right when the 4-D permutation moves the data as the old one did:
// permuting the mapped shape gives the mapped permuted shape.
TEST(NewPerm, AgreesWithNewShape) {
  const Ints shape{2, 3, 5};
  const std::vector<Ints> perms{{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (const char* mode : {"AB1C", "1ABC"}) {
    for (const Ints& p : perms) {
      const Ints s4 = shape_of(shape, mode);
      const Ints p4 = _new_perm(p, mode, "t").value;
      Ints permuted{shape[p[0]], shape[p[1]], shape[p[2]]}, permuted4;
      for (int64_t a : p4) permuted4.push_back(s4[a]);
      EXPECT_EQ(permuted4, shape_of(permuted, mode)) << mode;
    }
  }
}

TEST(NewPads, EveryMode) {
  const Ints six{1, 2, 3, 4, 5, 6}, four{1, 2, 3, 4};
  EXPECT_EQ(_new_pads(six, "AB1C", "p").value, (Ints{1, 2, 0, 3, 4, 5, 0, 6}));
  EXPECT_EQ(_new_pads({1, 2}, "AB1C", "p").value, (Ints{0, 1, 0, 2}));
  EXPECT_EQ(_new_pads(six, "1ABC", "p").value, (Ints{0, 1, 2, 3, 0, 4, 5, 6}));
  EXPECT_EQ(_new_pads(six, "AC1B", "p").value, (Ints{1, 3, 0, 2, 4, 6, 0, 5}));
  EXPECT_EQ(_new_pads(four, "AB11", "p").value, (Ints{1, 2, 0, 0, 3, 4, 0, 0}));
  EXPECT_EQ(_new_pads(four, "1A1B", "p").value, (Ints{0, 1, 0, 2, 0, 3, 0, 4}));
  EXPECT_EQ(_new_pads(four, "11AB", "p").value, (Ints{0, 0, 1, 2, 0, 0, 3, 4}));
  EXPECT_EQ(_new_pads({1, 2}, "1A11", "p").value, (Ints{0, 1, 0, 0, 0, 2, 0, 0}));
  EXPECT_EQ(_new_pads(four, "1Abc11", "p").error, "Not support mode = 1Abc11 in 'p'!");
  EXPECT_EQ(_new_pads(four, "AC1B", "p").error, "Not support pads = [1, 2, 3, 4] for mode = AC1B in 'p'!");
}

TEST(LeadingOnes, ReachTheRankAndNeverCut) {
  EXPECT_EQ(leading_ones_to({64, 1, 1}, 4), (Ints{1, 64, 1, 1}));
  EXPECT_EQ(leading_ones_to({}, 4), (Ints{1, 1, 1, 1}));
  EXPECT_EQ(leading_ones_to({2, 3, 4, 5, 6}, 4), (Ints{2, 3, 4, 5, 6}));
}

TEST(ScatterIndices, TuplesGainAZeroHeight) {
  Array idx = Array::from_ints({0, 1, 2, 3, 4, 5}, DType::Int32).reshape({1, 2, 1, 3});
  const Array out = scatter_indices_to_ab1c(idx);
  EXPECT_EQ(out.dtype(), DType::Int64);
  EXPECT_EQ(out.shape(), (Shape{1, 2, 1, 1, 4}));
  EXPECT_EQ(out.to_ints(), (Ints{0, 1, 0, 2, 3, 4, 0, 5}));
  EXPECT_THROW(scatter_indices_to_ab1c(Array::from_ints({0, 1}).reshape({1, 1, 1, 2})), ArrayError);
}

TEST(Messages, ListsReadAsPythonPrintsThem) {
  EXPECT_EQ(list_str(Ints{}), "[]");
  EXPECT_EQ(list_str(Ints{1, -2}), "[1, -2]");
  EXPECT_EQ(list_str(Reals{2, 0.1, 1e-05, 1.5e20}), "[2.0, 0.1, 1e-05, 1.5e+20]");
}
