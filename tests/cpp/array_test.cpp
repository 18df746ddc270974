// Constant arrays behave as numpy does for the operations the rules use.
#include <gtest/gtest.h>

#include "array.hpp"

using vexo::dims::Array;
using vexo::dims::ArrayError;
using vexo::dims::DType;
using vexo::dims::Ints;

namespace {

Array iota(const Ints& shape, DType t = DType::Int64) {
  Array a(t, shape);
  for (int64_t i = 0; i < a.size(); ++i) a.set_int(i, i);
  return a;
}

}  // namespace

TEST(Array, TransposeMatchesNumpy) {
  // np.arange(24).reshape(2, 3, 4).transpose(2, 0, 1)
  const Array t = iota({2, 3, 4}).transpose({2, 0, 1});
  EXPECT_EQ(t.shape(), (Ints{4, 2, 3}));
  EXPECT_EQ(t.to_ints(), (Ints{0, 4, 8, 12, 16, 20, 1, 5, 9, 13, 17, 21,
                               2, 6, 10, 14, 18, 22, 3, 7, 11, 15, 19, 23}));
  EXPECT_THROW(iota({2, 3}).transpose({0, 0}), ArrayError);
}

TEST(Array, DeleteSqueezeAndSlice) {
  // np.delete(arange(12).reshape(1, 4, 3), 0, axis=-1) then squeeze(axis=0)
  const Array d = iota({1, 4, 3}).delete_index(0, -1);
  EXPECT_EQ(d.shape(), (Ints{1, 4, 2}));
  EXPECT_EQ(d.to_ints(), (Ints{1, 2, 4, 5, 7, 8, 10, 11}));
  EXPECT_EQ(d.squeeze_axis(0).shape(), (Ints{4, 2}));
  EXPECT_THROW(d.squeeze_axis(1), ArrayError);
  const Array s = iota({2, 3}).slice_first(1);
  EXPECT_EQ(s.shape(), (Ints{2, 1}));
  EXPECT_EQ(s.to_ints(), (Ints{0, 3}));
}

TEST(Array, ConcatenateAlongAxis) {
  const Array c = Array::concatenate({iota({2, 1}), Array(DType::Int64, {2, 2})}, 1);
  EXPECT_EQ(c.shape(), (Ints{2, 3}));
  EXPECT_EQ(c.to_ints(), (Ints{0, 0, 0, 1, 0, 0}));
  EXPECT_THROW(Array::concatenate({iota({2}), iota({2}, DType::Float32)}, 0), ArrayError);
}

TEST(Array, BroadcastEqualityAndExtremes) {
  Array a = Array::full(DType::Float32, {1, 3, 2}, 0.5);
  a.set_double(2, 1.5);
  a.set_double(3, 1.5);
  EXPECT_TRUE(a.broadcast_equal(a.slice_first(2)));
  EXPECT_FALSE(a.broadcast_equal(a.slice_first(1)));
  EXPECT_DOUBLE_EQ(a.min_value(), 0.5);
  EXPECT_DOUBLE_EQ(a.max_value(), 1.5);
}

TEST(Array, ElementTypesRoundTrip) {
  Array h = Array::from_doubles({1.0, -2.5, 65504.0, 1e-7}, DType::Float16);
  EXPECT_DOUBLE_EQ(h.get_double(0), 1.0);
  EXPECT_DOUBLE_EQ(h.get_double(1), -2.5);
  EXPECT_DOUBLE_EQ(h.get_double(2), 65504.0);
  EXPECT_DOUBLE_EQ(h.get_double(3), 1.1920928955078125e-07);  // np.float16(1e-7), a subnormal
  const Array big = Array::from_ints({INT64_MAX, -1});
  EXPECT_EQ(big.get_int(0), INT64_MAX);
  EXPECT_EQ(big.astype(DType::Int32).astype(DType::Int64).get_int(1), -1);
  EXPECT_EQ(std::string(vexo::dims::dtype_name(DType::Float32)), "float32");
}

TEST(Array, RejectsImpossibleShapes) {
  EXPECT_THROW(Array(DType::Float32, {-1, 2}), ArrayError);
  EXPECT_THROW(Array(DType::Float32, {INT64_MAX, 4}), ArrayError);
  EXPECT_THROW(iota({2, 3}).reshape({4, 2}), ArrayError);
}

TEST(Array, ConstantsBeyondTwoGibibytesAreRefusedBeforeAllocation) {
  // [2^15, 2^15, 1, 1] float32 weights are 4 GiB: the kind of size a broken shape asks for.
  EXPECT_THROW(Array(DType::Float32, {int64_t{1} << 15, int64_t{1} << 15, 1, 1}), ArrayError);
  EXPECT_THROW(Array::full(DType::Int64, {(int64_t{1} << 28) + 1}, 1.0), ArrayError);
  EXPECT_THROW(Array(DType::Float32, {int64_t{1} << 40, int64_t{1} << 40}), ArrayError);  // overflows int64
  EXPECT_THROW(Array(DType::Float32, {-1, 4}), ArrayError);
  EXPECT_EQ(Array(DType::UInt8, {int64_t{1} << 20}).size(), int64_t{1} << 20);
}
