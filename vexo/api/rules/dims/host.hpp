// The host facade: the one door between the rules and the converter's objects.
//
// Rules work on the converter's IR graph (`ir`), its nodes, the node builder
// `Graph`, the logger `vexoLog` and a few helper functions, all of which are
// Python objects owned by the host.  This header wraps them in small typed C++
// classes so that rule code reads like the algorithm it implements and never
// touches the Python C API.  Only host.cpp (and module.cpp, the entry) include
// Python headers.
//
// Two backends.  The host objects are either Python objects (any host that
// honours the host interface) or, when the rule runs on the converter's own
// native graph, handles of that graph reached through its rule host
// (graph/rule_host.hpp): then no Python object is made per shape, attribute,
// port or node.  Every class below holds one or the other; rules do not see
// the difference.
//
// Contracts kept here:
//  * Host exceptions pass through unchanged (they travel as an opaque C++
//    exception and are restored when the rule returns to Python).
//  * A value of the wrong type from the host raises HostTypeError (TypeError in
//    Python) naming the tensor, node or attribute it came from.
//  * `Log::error` ends the rule with an error even when the host's `e` returns.
//  * An unknown shape, whether the host says None or [], reads as nullopt from
//    Ir::shape(); Ir::shape_raw() keeps the difference for the rules that read
//    an empty shape as a scalar.
//  * Host functions are looked up in the module's namespace at call time, so a
//    host that rebinds `vexoLog`, `Graph` or a helper in the module is obeyed.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "array.hpp"
#include "rule_host.hpp"

namespace vexo::dims {

namespace native = vexo::graph::host;

using Strings = std::vector<std::string>;

// ---------------------------------------------------------------- errors

// A host object returned something of the wrong type (TypeError in Python).
struct HostTypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A rule reported an error through vexoLog.e and stops (RuntimeError in Python).
struct RuleError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------- references

// A counted reference to a host object.  Rules hold these without knowing what
// they are; they pass them back to the host unchanged (data types, attribute
// values, node lists).
class Ref {
 public:
  Ref() noexcept = default;            // Python None
  Ref(const Ref& other) noexcept;
  Ref(Ref&& other) noexcept;
  Ref& operator=(const Ref& other) noexcept;
  Ref& operator=(Ref&& other) noexcept;
  ~Ref();

  static Ref steal(void* obj) noexcept;   // takes over a new reference
  static Ref borrow(void* obj) noexcept;  // adds a reference
  static Ref of(native::Value value);     // a value of the native graph
  void* get() const noexcept { return obj_; }
  void* release() noexcept;               // hands the reference out
  const native::Value* value() const noexcept { return value_.get(); }  // nullptr: a Python object

  bool is_none() const;                   // None (or empty Ref)
  bool truthy() const;                    // Python truth value
  bool equals(int64_t v) const;           // Python `==` with an int
  bool equals(const std::string& v) const;
  std::string repr() const;               // str() of the value, for messages

 private:
  void* obj_ = nullptr;
  std::shared_ptr<const native::Value> value_;
};

// Typed reading of attribute values and other host values.  `what` names the
// value in error messages, e.g. "attribute 'perm' of node 'tp_1'".
int64_t to_int(const Ref& v, const std::string& what);
double to_double(const Ref& v, const std::string& what);
Ints to_ints(const Ref& v, const std::string& what);       // a list/tuple/array of ints, or one int
std::string to_str(const Ref& v, const std::string& what);

// ---------------------------------------------------------------- nodes

class Node {
 public:
  explicit Node(Ref ref) : ref_(std::move(ref)) {}
  static Node adopt(native::NodeH* handle);  // takes over a retained handle
  Node(const Node& other);
  Node(Node&& other) noexcept;
  Node& operator=(Node other) noexcept;
  ~Node();
  const Ref& ref() const { return ref_; }
  native::NodeH* handle() const { return handle_; }  // nullptr: a Python node

  std::string op_type() const;
  std::string name() const;

  size_t num_inputs() const;
  std::string input(size_t i) const;
  Strings inputs() const;
  void set_input(size_t i, const std::string& tensor) const;  // node.input[i] = tensor

  size_t num_outputs() const;
  std::string output(size_t i) const;
  Strings outputs() const;
  void set_output(size_t i, const std::string& tensor) const;  // node.output[i] = tensor

  bool same_as(const Node& other) const {
    return handle_ ? handle_ == other.handle_ : ref_.get() == other.ref_.get();
  }

 private:
  Node() = default;
  Ref ref_;
  native::NodeH* handle_ = nullptr;
};

// The matched nodes handed to a rule, in pattern order.
class NodeList {
 public:
  NodeList(Ref seq, const char* rule) : seq_(std::move(seq)), rule_(rule) {}
  NodeList(std::vector<Node> nodes, const char* rule) : nodes_(std::move(nodes)), native_(true), rule_(rule) {}
  size_t size() const;
  Node at(size_t i) const;  // std::out_of_range (IndexError) naming the rule when short
  const Ref& ref() const { return seq_; }
  bool is_native() const { return native_; }
  const std::vector<Node>& nodes() const { return nodes_; }

 private:
  Ref seq_;
  std::vector<Node> nodes_;
  bool native_ = false;
  const char* rule_;
};

// ---------------------------------------------------------------- values handed to the host

struct None {};
struct Bool {  // a Python bool, where the host call shows one: get_attr(node, "pads", False)
  bool value;
};
struct IntsTuple {  // a tuple of ints, where the host call shows one: kernel_shape=(1, 1)
  Ints values;
};
using Floats = std::vector<double>;

// An attribute or keyword value passed to the host.
using Value = std::variant<None, Bool, int64_t, double, std::string, Ints, IntsTuple, Floats, Strings, Array, Ref>;

// One positional input of Graph.op: a tensor name, the None marker, a list of
// numbers or an array (both become a new constant), or a host object as is.
using OpInput = std::variant<std::string, None, Ints, Floats, Array, Ref>;

// Keyword arguments, in the order they are passed.
using Kwargs = std::vector<std::pair<std::string, Value>>;

// ---------------------------------------------------------------- the IR graph

class Ir {
 public:
  explicit Ir(Ref ir) : ref_(std::move(ir)) {}
  explicit Ir(native::GraphH* graph) : graph_(graph) {}
  const Ref& ref() const { return ref_; }
  native::GraphH* handle() const { return graph_; }  // nullptr: a Python host

  // Shapes.  shape(): nullopt when unknown (None or []).  shape_raw(): nullopt
  // only for None; [] stays an empty shape (a scalar, for the rules that say so).
  std::optional<Shape> shape(const std::string& tensor) const;
  std::optional<Shape> shape_raw(const std::string& tensor) const;
  Ref dtype(const std::string& tensor) const;  // as the host hands it out
  void set_shape(const std::string& tensor, const Shape& shape) const;
  void set_shape(const std::string& tensor, const Shape& shape, const Ref& dtype) const;  // dtype=...

  // Constants.
  std::optional<Array> get_const(const std::string& tensor) const;  // nullopt when not a constant
  Ref get_const_ref(const std::string& tensor) const;               // the host's array object (or None)
  void set_const(const std::string& tensor, const Array& value) const;
  bool is_const(const std::string& tensor) const;                   // tensor in ir.consts

  // Attributes.
  Ref get_attr(const Node& node, const std::string& name) const;
  Ref get_attr(const Node& node, const std::string& name, const Value& dflt) const;
  void set_attr(const Node& node, const std::string& name, const Value& value) const;

  // Neighbourhood and graph edges.
  std::vector<Node> next_nodes(const Node& node) const;
  std::vector<Node> pre_nodes(const Node& node) const;
  bool is_graph_input(const std::string& tensor) const;   // tensor in ir.inputs
  bool is_graph_output(const std::string& tensor) const;  // tensor in ir.outputs
  bool is_invalid(const std::string& tensor) const;

  // Configuration.
  bool dynamic_shapes() const;
  std::string unsqueeze_2d_mode() const;
  int64_t opset_version() const;      // ir.opset_version(): the model's standard opset
  std::string npu_target() const;
  std::string producer_name() const;  // ir.model.producer_name
  void append_weight_for_align(const std::string& tensor) const;  // ir.weights_for_align.append

 private:
  Ref ref_;
  native::GraphH* graph_ = nullptr;
};

// ---------------------------------------------------------------- the node builder

class Builder {
 public:
  explicit Builder(const Ir& ir);  // g = Graph(ir)

  // g.op(op_type, *inputs, **kwargs): the linking tensor name ("" when the
  // builder returns None, which it may when `outputs` is given without a None input).
  std::string op(const std::string& op_type, const std::vector<OpInput>& inputs, const Kwargs& kwargs = {}) const;

  std::vector<Node> nodes() const;  // g.nodes, in creation order
  size_t num_nodes() const;
  Node last_node() const;           // g.nodes[-1]
  Ref nodes_ref() const;            // the g.nodes list object itself
  bool is_native() const { return native_ != nullptr; }

 private:
  Ref ref_;
  std::shared_ptr<native::BuilderH> native_;
};

// ---------------------------------------------------------------- logger and helper functions

namespace log {
void warn(const std::string& message);                 // vexoLog.w(message)
[[noreturn]] void error(const std::string& message);   // vexoLog.e(message), then RuleError
}  // namespace log

bool in_reduce_ops(const std::string& op_type);  // op_type in REDUCE_OPS
Ints get_reduce_axes(const Ir& ir, const Node& node);
void set_reduce_axes(const Ir& ir, const Node& node, const Ints& axes);
std::string node_name_join(const Ir& ir, const std::string& base, const std::string& suffix);
std::string oper_name_join(const Ir& ir, const std::string& tensor, const std::string& suffix);
void copy_par(const Ref& quant_tab, const std::string& first, const std::string& second);
int64_t align_sub_c(const Ir& ir);
std::pair<Ints, Ints> squeeze_broadcast_dims(const Ints& a, const Ints& b);
std::vector<std::pair<Ints, Ints>> seperate_independent_part_for_reshape(const Ints& in_shape, const Ints& out_shape);

struct GatherPlan {
  std::optional<int64_t> axis;  // nullopt: the merged layout cannot express the split/concat
  Ints index;
  bool before = false;
};
GatherPlan gen_gather_for_change_split_shape(const Ints& refer_shape, const Ints& new_shape, int64_t axis,
                                             int64_t new_axis, const Value& chunk_size, const std::string& op_type);

Node deepcopy(const Node& node);  // copy.deepcopy(node)
// onnx.helper.make_node(op_type, inputs=..., outputs=..., name=...)
Node make_onnx_node(const std::string& op_type, const Strings& inputs, const Strings& outputs, const std::string& name);

// The data type tests the rules make on what ir.get_dtype hands out.
bool dtype_is_floating(const Ref& dtype);  // np.issubdtype(dtype, np.floating); false for None
bool dtype_is_float32(const Ref& dtype);   // dtype == np.float32, compared by value
// np.dtype(dtype) as an element type of Array; nullopt for None and for types Array does not hold.
std::optional<DType> element_type(const Ref& dtype);

// ---------------------------------------------------------------- results

// The pair a rule returns: (nodes to remove, nodes to add), both host lists,
// or both lists of native nodes; with neither, two empty lists.
struct RuleResult {
  Ref remove;
  Ref add;
  bool native = false;
  std::vector<Node> native_remove, native_add;
};

RuleResult no_change();                                            // ([], [])
RuleResult added(const Builder& g);                                // ([], g.nodes)
RuleResult replaced(const std::vector<Node>& remove, const Builder& g);  // ([...], g.nodes)
RuleResult replaced(const NodeList& nodes, const Builder& g);      // (nodes, g.nodes)
RuleResult result(const std::vector<Node>& remove, const std::vector<Node>& add);

// ---------------------------------------------------------------- messages

// "{}"-placeholder formatting as Python's str.format does it for these values.
std::string py_str(const Ints& v);  // "[1, 2, 3]"
std::string py_str(int64_t v);
std::string py_str(const std::string& v);
std::string format(const std::string& fmt, const Strings& args);

}  // namespace vexo::dims
