// What a compiled rule module sees of the native graph.
//
// The native graph lives in the extension module vexo._core.  A rule module
// (vexo.api.rules.dims and its kind) is a separate extension; it must not hold
// a second copy of the graph's code or state, so it reaches the graph only
// through this interface: an abstract class whose one instance the core hands
// out in the capsule `vexo._core._rule_host`.  Handles are opaque; values cross
// as plain structs (no function of the core is linked into a rule module).
//
// The same capsule takes the rule module's compiled rules: `register_rule`
// maps the Python function a table entry names to its C++ body, so that the
// engine calls the body directly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vexo::graph::host {

constexpr int kVersion = 2;
constexpr const char* kCapsuleName = "vexo._core._rule_host";

struct GraphH;    // a native graph
struct NodeH;     // a node (counted: retain/release)
struct BuilderH;  // a node builder

using Ints = std::vector<int64_t>;
using Strings = std::vector<std::string>;

// A value crossing the interface: attribute values, element types, constants.
struct Value {
  enum Kind : uint8_t { None, Bool, Int, Float, String, Ints, Floats, Strings, Tensor, DType, Opaque };
  Kind kind = None;
  int64_t i = 0;         // Bool, Int
  double f = 0.0;        // Float
  std::string s;         // String
  std::vector<int64_t> ints;
  std::vector<double> floats;
  std::vector<std::string> strings;
  int32_t elem = 0;      // Tensor, DType: ONNX element type
  std::vector<int64_t> dims;  // Tensor
  std::string bytes;     // Tensor: little-endian C-ordered elements
};

// How a rule call came out, as the engine needs it.
struct Outcome {
  enum Status : uint8_t {
    Result,     // `remove` and `add` hold the rule's lists (retained handles)
    Failed,     // the rule raised: `message` is the failure as the engine reports it
    NotNative,  // the call must go through Python
  };
  Status status = Result;
  std::vector<NodeH*> remove, add;
  std::string message;
};

// A compiled rule: called with the graph, the matched nodes and the Python
// quantization table (a PyObject*, borrowed).
using RuleFn = Outcome (*)(const void* rule, GraphH* graph, NodeH* const* chain, size_t n, void* quant_tab);
// Whether a rule module's compiled rules may run on the native graph now (its
// host names are bound as at import); asked when a table starts.
using ReadyFn = bool (*)();

struct GatherPlan {
  std::optional<int64_t> axis;
  Ints index;
  bool before = false;
};

class RuleHost {
 public:
  virtual ~RuleHost() = default;
  virtual int version() const = 0;

  // ------------------------------------------------ Python objects
  // The graph behind a Python IrGraph of the converter's own class (not a
  // subclass), else nullptr.
  virtual GraphH* graph_of(void* py_ir) = 0;
  // The node behind a Python node of `graph`, retained, else nullptr.
  virtual NodeH* node_of(void* py_node, GraphH* graph) = 0;
  virtual void* node_object(NodeH* node) = 0;  // a new reference to its Python object
  virtual void register_rule(void* py_proc, RuleFn fn, const void* rule, ReadyFn ready) = 0;

  // ------------------------------------------------ nodes
  virtual void retain(NodeH* node) = 0;
  virtual void release(NodeH* node) = 0;
  virtual std::string op_type(NodeH* node) = 0;
  virtual std::string name(NodeH* node) = 0;
  virtual size_t num_ports(NodeH* node, bool outputs) = 0;
  // A port's tensor name (its text lives for the process); std::out_of_range past the end.
  virtual const std::string& port(NodeH* node, bool outputs, size_t index) = 0;
  virtual void set_port(NodeH* node, bool outputs, size_t index, const std::string& tensor) = 0;
  virtual NodeH* copy_node(NodeH* node) = 0;  // retained
  virtual NodeH* make_node(const std::string& op_type, const Strings& inputs, const Strings& outputs,
                           const std::string& name) = 0;  // retained

  // ------------------------------------------------ the graph
  virtual const std::vector<int64_t>* shape(GraphH* g, const std::string& tensor) = 0;  // nullptr: unknown
  virtual int32_t dtype(GraphH* g, const std::string& tensor) = 0;                      // 0: unknown
  virtual void set_shape(GraphH* g, const std::string& tensor, const Ints& shape, int32_t dtype) = 0;
  virtual bool get_const(GraphH* g, const std::string& tensor, Value& out) = 0;  // false: not a constant
  virtual void set_const(GraphH* g, const std::string& tensor, const Value& tensor_value) = 0;
  virtual bool is_const(GraphH* g, const std::string& tensor) = 0;
  virtual bool get_attr(GraphH* g, NodeH* node, const std::string& name, Value& out) = 0;  // false: absent
  virtual void set_attr(GraphH* g, NodeH* node, const std::string& name, const Value& value) = 0;
  virtual std::vector<NodeH*> next_nodes(GraphH* g, NodeH* node) = 0;  // retained
  virtual std::vector<NodeH*> pre_nodes(GraphH* g, NodeH* node) = 0;   // retained
  virtual bool is_graph_input(GraphH* g, const std::string& tensor) = 0;
  virtual bool is_graph_output(GraphH* g, const std::string& tensor) = 0;
  virtual bool dynamic_shapes(GraphH* g) = 0;
  virtual std::string unsqueeze_2d_mode(GraphH* g) = 0;
  virtual std::string npu_target(GraphH* g) = 0;
  virtual int64_t opset_version(GraphH* g) = 0;  // of the standard domain
  virtual std::string producer_name(GraphH* g) = 0;
  virtual void append_weight_for_align(GraphH* g, const std::string& tensor) = 0;
  virtual std::string unique_name(GraphH* g, const std::string& base) = 0;

  // ------------------------------------------------ the builder
  virtual BuilderH* new_builder(GraphH* g) = 0;
  virtual void free_builder(BuilderH* b) = 0;
  // kwargs: outputs (Strings or String), name (String), outputs_ref, attributes.
  virtual std::string build(BuilderH* b, const std::string& op_type, const std::vector<Value>& inputs,
                            const std::vector<std::pair<std::string, Value>>& kwargs) = 0;
  virtual std::vector<NodeH*> built(BuilderH* b) = 0;  // retained, in creation order

  // ------------------------------------------------ the converter's helper functions
  virtual Ints get_reduce_axes(GraphH* g, NodeH* node) = 0;
  virtual void set_reduce_axes(GraphH* g, NodeH* node, const Ints& axes) = 0;
  virtual int64_t align_sub_c(GraphH* g) = 0;
  virtual std::pair<Ints, Ints> squeeze_broadcast_dims(const Ints& a, const Ints& b) = 0;
  virtual std::vector<std::pair<Ints, Ints>> seperate_independent_part_for_reshape(const Ints& in,
                                                                                  const Ints& out) = 0;
  virtual GatherPlan gen_gather_for_change_split_shape(const Ints& refer_shape, const Ints& new_shape, int64_t axis,
                                                       int64_t new_axis, const Ints& chunk_size,
                                                       const std::string& op_type) = 0;
  virtual bool in_reduce_ops(const std::string& op_type) = 0;
};

}  // namespace vexo::graph::host
