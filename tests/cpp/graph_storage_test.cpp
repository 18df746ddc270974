// The storage of the native graph: the map of names with its table of names
// found last, a tensor's readers, interned shapes, the bytes a node keeps as
// read, the numbers a constant's bytes stand for, the journal's undos, a node's
// ports, the texts of names made from others and the order keys of added nodes.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "graph.hpp"
#include "name_map.hpp"
#include "readers.hpp"
#include "shared_bytes.hpp"
#include "tensor.hpp"
#include "undo.hpp"

using vexo::graph::Constant;
using vexo::graph::Name;
using vexo::graph::NameMap;
using vexo::graph::InternedShape;
using vexo::graph::TensorError;
using vexo::graph::Node;
using vexo::graph::Readers;
using vexo::graph::Shape;
using vexo::graph::SharedBytes;
using vexo::graph::Undo;
using vexo::graph::ComposedName;

namespace {

Node* node(int k) { return reinterpret_cast<Node*>(static_cast<uintptr_t>(16 * (k + 1))); }

template <class T>
std::shared_ptr<const Constant> constant_of(int32_t elem, const std::vector<T>& values) {
  std::string bytes(values.size() * sizeof(T), '\0');
  std::memcpy(bytes.data(), values.data(), bytes.size());
  return Constant::owned(elem, Shape{static_cast<int64_t>(values.size())}, bytes);
}

std::vector<std::pair<Node*, int>> listed(const Readers& r) {
  std::vector<std::pair<Node*, int>> out;
  for (const auto& [n, count] : r) out.emplace_back(n, count);
  EXPECT_EQ(out.size(), r.size());
  return out;
}

}  // namespace

TEST(NameMap, FindsWhatIsThereWhenErasedPlacesAreReused) {
  NameMap<int, 4> map;  // a small table of names found last: names share its places
  auto name = [](const char* prefix, int k) { return Name(prefix + std::to_string(k)); };
  for (int k = 0; k < 64; ++k) map[name("t", k)] = k;
  for (int k = 0; k < 64; k += 2) {
    ASSERT_EQ(*map.find(name("t", k)), k);  // found last, then erased
    EXPECT_TRUE(map.erase(name("t", k)));
    EXPECT_EQ(map.find(name("t", k)), nullptr) << "t" << k << " was erased";
    map[name("u", k)] = 100 + k;  // in the place t<k> left
    EXPECT_EQ(map.find(name("t", k)), nullptr);
    EXPECT_EQ(*map.find(name("u", k)), 100 + k);
  }
  for (int k = 1; k < 64; k += 2) EXPECT_EQ(*map.find(name("t", k)), k);
  EXPECT_EQ(map.size(), 64u);
}

TEST(Readers, CountRepeatedReadsAndKeepFirstReadOrderPastTheInlineOne) {
  Readers r;
  r.add(node(0));
  r.add(node(0));  // the same node reading twice in a row counts on its entry
  EXPECT_EQ(listed(r), (std::vector<std::pair<Node*, int>>{{node(0), 2}}));
  for (int k = 1; k < 6; ++k) r.add(node(k));  // past the inline reader and the first heap list
  r.remove(node(0));
  r.remove(node(3));
  EXPECT_EQ(listed(r), (std::vector<std::pair<Node*, int>>{{node(0), 1}, {node(1), 1}, {node(2), 1}, {node(4), 1},
                                                           {node(5), 1}}));
  r.remove(node(9));  // not a reader: nothing changes
  EXPECT_EQ(r.size(), 5u);
}

TEST(Readers, CopiesAndMovesCarryTheListInlineOrOnTheHeap) {
  Readers one;
  one.add(node(7));
  one.add(node(7));
  Readers many;
  for (int k = 0; k < 3; ++k) many.add(node(k));
  for (Readers* r : {&one, &many}) {
    const auto want = listed(*r);
    Readers copy(*r);
    EXPECT_EQ(listed(copy), want);
    Readers moved(std::move(copy));
    EXPECT_EQ(listed(moved), want);
    EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from list is empty
    Readers assigned;
    assigned.add(node(9));
    assigned = moved;
    EXPECT_EQ(listed(assigned), want);
  }
  many.remove(node(0));
  many.remove(node(1));
  many.remove(node(2));
  EXPECT_TRUE(many.empty());
  many.add(node(4));  // an emptied heap list takes readers again
  EXPECT_EQ(listed(many), (std::vector<std::pair<Node*, int>>{{node(4), 1}}));
}

TEST(InternedShape, EqualShapesAreOneAndUnknownIsNone) {
  const InternedShape a(Shape{1, 64, 56, 56}), b(Shape{1, 64, 56, 56}), c(Shape{1, 64, 56});
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.get(), b.get());
  EXPECT_NE(a, c);
  EXPECT_EQ(*c, (Shape{1, 64, 56}));
  const InternedShape unknown(std::optional<Shape>{}), scalar(Shape{});
  EXPECT_FALSE(unknown);
  EXPECT_TRUE(scalar);  // a scalar's shape is known and empty
  EXPECT_NE(unknown, scalar);
  EXPECT_EQ(std::optional<Shape>(unknown), std::nullopt);
  EXPECT_EQ(std::optional<Shape>(a), (Shape{1, 64, 56, 56}));
}

TEST(SharedBytes, SlicesKeepTheirBufferAliveAndCopiesStandAlone) {
  SharedBytes slice;
  {
    auto model = std::make_shared<const std::string>("header|node one|node two");
    const SharedBytes whole = SharedBytes::of_buffer(*model, model);
    slice = whole.slice(std::string_view(*model).substr(7, 8));
    EXPECT_TRUE(whole.slice(std::string_view()).empty());
  }  // the model's last owner is the slice
  EXPECT_EQ(slice.view(), "node one");
  SharedBytes taken = slice.take();
  EXPECT_TRUE(slice.empty());
  EXPECT_EQ(taken.view(), "node one");
  std::string text = "as given";
  const SharedBytes copy = SharedBytes::copy_of(text);
  text = "changed";
  EXPECT_EQ(copy.view(), "as given");
}

TEST(Constant, ReadsItsBytesAsNumbersOfItsElementType) {
  const auto flags = constant_of<uint8_t>(vexo::graph::kBool, {0, 1});
  EXPECT_EQ(flags->get_double(1), 1.0);
  EXPECT_EQ(flags->get_int(0), 0);
  const auto small = constant_of<int8_t>(vexo::graph::kInt8, {-3});
  EXPECT_EQ(small->get_double(0), -3.0);
  const auto big = constant_of<uint64_t>(vexo::graph::kUInt64, {uint64_t{1} << 63});
  EXPECT_EQ(big->get_double(0), std::ldexp(1.0, 63));
  // float16: 1.5, the smallest subnormal (2^-24), -infinity
  const auto half = constant_of<uint16_t>(vexo::graph::kFloat16, {0x3E00, 0x0001, 0xFC00});
  EXPECT_EQ(half->get_double(0), 1.5);
  EXPECT_EQ(half->get_double(1), std::ldexp(1.0, -24));
  EXPECT_EQ(half->get_double(2), -INFINITY);
  // bfloat16 and complex numbers are kept as bytes, not read as numbers
  EXPECT_THROW(constant_of<uint16_t>(vexo::graph::kBFloat16, {0x3F80})->get_double(0), TensorError);
  EXPECT_THROW(constant_of<uint64_t>(vexo::graph::kComplex64, {0})->get_int(0), TensorError);
}

TEST(Undo, RunsAndFreesWhatItHoldsInPlaceOrOnTheHeapThroughMoves) {
  auto held = std::make_shared<int>(0);
  std::array<char, 200> big{};  // past the room kept in place
  std::vector<Undo> journal;
  journal.emplace_back([held] { ++*held; });
  journal.emplace_back([held, big] { *held += 10 + big[0]; });
  for (int k = 0; k < 40; ++k) journal.emplace_back([held] { ++*held; });  // the vector grows: undos move
  EXPECT_EQ(held.use_count(), 43);
  Undo moved = std::move(journal[1]);
  journal[1]();  // moved from: nothing
  EXPECT_EQ(*held, 0);
  moved();
  for (Undo& u : journal) u();
  EXPECT_EQ(*held, 51);
  journal[0] = std::move(moved);  // the one it replaces is freed
  journal.clear();
  EXPECT_EQ(held.use_count(), 1);
}

TEST(ComposedName, JoinsStemSuffixAndNumberShortOrLong) {
  EXPECT_EQ(ComposedName("Reshape_7", "_c", 12).view(), "Reshape_7_c12");
  EXPECT_EQ(ComposedName("x", "_out").view(), "x_out");
  EXPECT_EQ(ComposedName("", "_", 0).view(), "_0");
  const std::string stem(90, 't');  // no room for the number in place
  EXPECT_EQ(ComposedName(stem, "_", 18446744073709551615ull).view(), stem + "_18446744073709551615");
  EXPECT_EQ(ComposedName(std::string(76, 'u'), "").view(), std::string(76, 'u'));
}

TEST(Node, SetsAPortInPlaceAndRefusesOnePastTheEnd) {
  Node n("Relu", {Name("x")}, {Name("y")}, Name("relu"));
  n.set_port(vexo::graph::Port::Input, 0, Name("z"));
  EXPECT_EQ(n.inputs(), vexo::graph::Names{Name("z")});
  EXPECT_THROW(n.set_port(vexo::graph::Port::Input, 1, Name("w")), std::out_of_range);
  EXPECT_THROW(n.set_port(vexo::graph::Port::Output, 1, Name("w")), std::out_of_range);
  EXPECT_EQ(n.outputs(), vexo::graph::Names{Name("y")});
}

// Nodes added between others take order keys between theirs, and the nodes
// around them keep their keys: renumbering the whole order is for when no key
// fits between.
TEST(Graph, PlacesAddedNodesBetweenTheirNeighboursWithoutRenumbering) {
  using vexo::graph::NodePtr;
  vexo::graph::Graph g;
  g.inputs = {Name("x")};
  auto relu = [](const char* in, const char* out, const char* name) {
    return NodePtr(new Node("Relu", {Name(in)}, {Name(out)}, Name(name)));
  };
  const NodePtr a = relu("x", "t", "a"), c = relu("t", "y", "c"), d = relu("y", "z", "d");
  g.apply({}, {a, c, d});
  const double a_key = a->seq(), d_key = d->seq();
  ASSERT_LT(a_key, c->seq());
  ASSERT_LT(c->seq(), d_key);
  const NodePtr n = relu("t", "u", "n"), c2 = relu("u", "y", "c2");
  g.apply({c}, {n, c2});
  EXPECT_EQ(a->seq(), a_key);
  EXPECT_EQ(d->seq(), d_key);
  EXPECT_LT(a_key, n->seq());
  EXPECT_LT(n->seq(), c2->seq());
  EXPECT_LT(c2->seq(), d_key);
}
