// Node attributes of the native graph.
//
// The value types the rules and the shape inference read are held typed:
// integers, floats, strings, their lists, and tensors.  Anything else
// (subgraphs, type protos, sparse tensors, attributes without a type) is kept
// as the AttributeProto it was read from and written back unchanged.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "shared_bytes.hpp"
#include "tensor.hpp"

namespace vexo::graph {

struct AttrValue {
  enum Kind : uint8_t { None, Int, Float, String, Ints, Floats, Strings, Tensor, Raw };

  Kind kind = None;
  bool is_bool = false;  // an Int the host gave as a bool
  int64_t i = 0;
  double f = 0.0;
  Rare<std::string> s;  // String: the bytes; Raw: the whole AttributeProto
  std::vector<int64_t> ints;
  Rare<std::vector<double>> floats;
  Rare<std::vector<std::string>> strings;
  ConstPtr tensor;

  static AttrValue none() { return AttrValue(); }
  static AttrValue of_int(int64_t v, bool as_bool = false);
  static AttrValue of_float(double v);
  static AttrValue of_string(std::string v);
  static AttrValue of_ints(std::vector<int64_t> v);
  static AttrValue of_floats(std::vector<double> v);  // an empty list is held as an empty Ints
  static AttrValue of_strings(std::vector<std::string> v);
  static AttrValue of_tensor(ConstPtr t);
  static AttrValue of_raw(std::string proto);

  // Unchanged by a write of `other`: equal values of one type (lists compare
  // by their numbers, arrays by their elements).
  bool same(const AttrValue& other) const;
  bool is_list() const { return kind == Ints || kind == Floats || kind == Strings; }
};

struct Attr {
  std::string name;
  AttrValue value;
  SharedBytes raw;  // the AttributeProto as read, while the value is unchanged
};

// Reads an AttributeProto; its bytes as read are a view of `source` when it
// holds them (the model read), else a copy.  Throws wire::WireError or
// TensorError when malformed.
Attr read_attribute(std::string_view bytes, const std::shared_ptr<const void>& owner,
                    const SharedBytes* source = nullptr);
// Writes an attribute; None values are not written (returns false).
bool write_attribute(const Attr& a, std::string& out);

}  // namespace vexo::graph
