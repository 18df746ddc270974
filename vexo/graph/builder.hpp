// The node builder the rules create nodes with (`Graph(ir).op(...)`).
//
// New nodes are not in the graph until the rule's result is applied; the
// constants they read and the shapes the builder can infer are recorded in the
// graph at once, so the rule and the next rules can read them.  Names: a node
// is named after its op type, a fresh output after the node or after the
// `outputs_ref` tensor (whose element type it then takes), an invented input
// "<base>_in<k>", a constant "<node>_c<k>", all made unique in the graph.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "graph.hpp"

namespace vexo::graph {

// One positional input of `op`: a tensor name, the None marker, or a value
// that becomes a new constant.
struct BuildInput {
  enum Kind { Tensor, None, Value } kind = None;
  graph::Name name;
  ConstPtr value;

  static BuildInput tensor(graph::Name n) { return {Tensor, n, nullptr}; }
  static BuildInput none() { return {None, graph::Name(), nullptr}; }
  static BuildInput constant(ConstPtr v) { return {Value, graph::Name(), std::move(v)}; }
};

struct BuildOptions {
  std::optional<Names> outputs;     // the tensors the node must write
  std::optional<Name> name;         // the node name
  std::optional<Name> outputs_ref;  // the referenced tensor, when it is a name
};

class Builder {
 public:
  explicit Builder(Graph& graph) : graph_(graph) {}

  // Creates one node; returns the linking tensor name: the new output, or
  // with `outputs` given, the tensor invented for a None input ("" when none).
  Name op(const std::string& op_type, const std::vector<BuildInput>& inputs, const BuildOptions& options,
          std::vector<Attr> attrs);

  const std::vector<NodePtr>& nodes() const { return nodes_; }
  Graph& graph() const { return graph_; }

 private:
  void record_shapes(const NodePtr& node, const std::optional<Name>& ref);
  bool literal_zero_target(const Names& in_names, const Names& out_names, bool fresh_output) const;

  Graph& graph_;
  std::vector<NodePtr> nodes_;
};

}  // namespace vexo::graph
