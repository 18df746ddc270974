#include "builder.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

using namespace std::string_view_literals;

namespace vexo::graph {

Name Builder::op(const std::string& op_type, const std::vector<BuildInput>& inputs, const BuildOptions& options,
                 std::vector<Attr> attrs) {
  Graph& g = graph_;
  const Name node_name = options.name ? *options.name : g.unique_name(op_type);
  const Name base = options.outputs_ref && !options.outputs_ref->empty() ? *options.outputs_ref : node_name;
  // The fresh names the node needs (of invented inputs, constants, the
  // output), asked of the name pool ahead: the look-up of a new name waits on
  // the memory, and these then wait together instead of one after another.
  constexpr size_t kAhead = 4;
  std::array<ComposedName, kAhead> in_text;
  auto fresh_input = [&](size_t k) {
    return inputs[k].kind == BuildInput::None ? ComposedName(base.str(), "_in", k)
                                              : ComposedName(node_name.str(), "_c", k);
  };
  for (size_t k = 0; k < inputs.size() && k < kAhead; ++k)
    if (inputs[k].kind != BuildInput::Tensor) Name::prefetch(in_text[k] = fresh_input(k));
  const ComposedName out_text = options.outputs ? ComposedName() : ComposedName(base.str(), "_out");
  if (!options.outputs) Name::prefetch(out_text);
  Names in_names;
  in_names.reserve(inputs.size());
  std::optional<Name> invented;
  for (size_t k = 0; k < inputs.size(); ++k) {
    const BuildInput& in = inputs[k];
    if (in.kind == BuildInput::Tensor) {
      in_names.push_back(in.name);
      continue;
    }
    const Name t = g.unique_name(k < kAhead ? in_text[k] : fresh_input(k));
    g.prefetch_tensor(t);  // a new name's entry, written below, is far from the caches
    if (in.kind == BuildInput::None && !invented) invented = t;
    in_names.push_back(t);
  }
  Names out_names = options.outputs ? *options.outputs : Names{g.unique_name(out_text)};
  if (!options.outputs) g.prefetch_tensor(out_names[0]);
  // Constants are written once every name is made: the entries asked for
  // above have had that long to come.
  for (size_t k = 0; k < inputs.size(); ++k)
    if (inputs[k].kind == BuildInput::Value) g.set_const(in_names[k], inputs[k].value);
  NodePtr node(new Node(op_type, std::move(in_names), std::move(out_names), node_name,
                        is_custom_op(op_type) ? kCustomDomain : ""));
  const Names& ins = node->inputs();
  const Names& outs = node->outputs();
  bool allowzero = false;
  node->attrs.reserve(attrs.size());
  for (Attr& a : attrs) {
    if (a.value.kind == AttrValue::None) continue;
    allowzero = allowzero || a.name == "allowzero"sv;
    node->attrs.push_back(std::move(a));
  }
  if (op_type == "Reshape"sv && !allowzero && literal_zero_target(ins, outs, !options.outputs))
    node->attrs.push_back(Attr{"allowzero", AttrValue::of_int(1), {}});
  record_shapes(node, options.outputs_ref);
  nodes_.push_back(node);
  if (options.outputs && invented) return *invented;
  if (outs.empty()) throw std::out_of_range("list index out of range");
  return outs[0];
}

// A Reshape of an empty tensor whose target holds a 0: the rules mean the
// extent 0, which ONNX writes as allowzero 1 (opset 14 on); by default a 0
// would copy the input's extent instead. A fresh output (a name made for the
// node) has no shape yet: only the input can tell, and the look-up of a new
// name, which waits on the memory, is spared.
bool Builder::literal_zero_target(const Names& in_names, const Names& out_names, bool fresh_output) const {
  if (in_names.size() < 2 || out_names.empty()) return false;
  auto empty = [&](const Name& t) {
    const InternedShape* s = graph_.shape(t);
    return s && *s && std::find((*s)->begin(), (*s)->end(), 0) != (*s)->end();
  };
  if (!empty(in_names[0]) && (fresh_output || !empty(out_names[0]))) return false;  // nearly always: nothing is empty
  const ConstPtr target = graph_.get_const(in_names[1]);
  if (!target || graph_.opset_version() < 14) return false;
  std::vector<int64_t> values;
  try {
    values = target->to_ints();
  } catch (const TensorError&) {
    return false;
  }
  return std::find(values.begin(), values.end(), 0) != values.end();
}

void Builder::record_shapes(const NodePtr& built, const std::optional<Name>& ref) {
  Graph& g = graph_;
  const Node& node = *built;
  bool own = false;
  std::vector<Inferred> inferred = g.infer(node, own);
  const Names& outs = node.outputs();
  for (size_t k = 0; k < outs.size() && k < inferred.size(); ++k) {
    const Name& o = outs[k];
    if (o.empty()) continue;
    const InternedShape* known = g.shape(o);
    if (known && *known) continue;
    int32_t dtype = inferred[k].dtype;
    if (dtype == kUndefined && ref) dtype = g.dtype(*ref);
    if (inferred[k].shape) g.set_shape(o, inferred[k].shape, dtype);
  }
  if (own) g.remember_inference(built, std::move(inferred));
}

}  // namespace vexo::graph
