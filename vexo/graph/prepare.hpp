// The preparation of exporter graphs, on the native graph.
//
// A walk visits the nodes in topological order: a node whose inputs are all
// constant and whose op type can be evaluated is folded into constants (by
// the host's evaluators), as are Shape and Size of known shapes; a node that
// passes its input through unchanged at inference is removed, its readers
// reading its input; any other node is kept and gets the shapes of its
// outputs from the per-node inference where they are unknown.  So a folded
// shape feeds the Reshape it sizes and the Shape after that folds too, all in
// one walk.  Rounds of ONNX shape inference between walks are the host's; the
// preparation records what they find, shapes known in part included.
//
// Nodes with subgraphs (If, Loop, Scan) are never folded or removed; the
// tensors their subgraphs read from outside count as read, and follow a
// rename.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "cleanup.hpp"
#include "graph.hpp"
#include "model_io.hpp"
#include "subgraph.hpp"

namespace vexo::graph {

// Evaluates the standard operators on constants (numpy in the converter).
class Folder {
 public:
  virtual ~Folder() = default;
  virtual bool can_fold(const std::string& op_type) const = 0;
  // The values of `node`'s outputs (one per output, nullptr where none is
  // given), or nullopt when the node stays.  Throws when the operator cannot
  // take these inputs or a value contradicts what its tensor is known to be.
  virtual std::optional<std::vector<ConstPtr>> fold(const Graph& g, const Node& node,
                                                    const std::vector<ConstPtr>& inputs) = 0;
};

struct UnknownShape {
  Name tensor;
  std::string written_by;  // "the graph input" or the node
  std::string lost_at;     // the first node on its way that computes a shape that is not static
};

class Preparation {
 public:
  Preparation(Graph& g, Folder& folder);

  // Every tensor a subgraph reads from outside has a source (the reader
  // checks the nodes' own inputs).
  void check_outer_reads() const;
  // Drops the nodes no graph output needs and the constants nobody reads;
  // returns how many nodes went.
  int64_t drop_dead();
  // A round of ONNX inference over a large model goes part by part: parts of
  // about `part_nodes` nodes in topological order, each a model of its own
  // whose further graph inputs are the tensors it reads from earlier parts,
  // typed as inference of those parts found.  ONNX's inference costs more
  // per node as a model grows, and a part costs what a small model does.  A
  // model with fewer than twice `part_nodes` nodes, an operator outside the
  // standard domain, a subgraph, or a graph output that no node writes goes
  // whole.  Returns the number of parts.
  size_t plan_inference(size_t part_nodes);
  size_t inference_parts() const { return parts_.size(); }
  // Part k as a model for ONNX inference: large weights by type and shape
  // only, no recorded shapes, the graph outputs untyped in the first round
  // and typed by element after it.
  Pieces part_model(size_t k, bool first);
  // Records the shapes and types inference of part k found where they are
  // unknown (a static shape over one known in part); returns how many
  // tensors got a static shape they lacked (the first round's findings are
  // kept for declared_contradiction).  -1 when a
  // tensor that later parts read did not come out of it with a known element
  // type and a static shape of rank two or more (a value ONNX may carry into
  // a shape, such as a small integer vector, or a shape known in part, would
  // not reach them as it does in one model): part k then takes in every
  // later part, nothing is recorded, and the caller infers it again.
  int64_t record_part(size_t k, std::string_view inferred_model, bool first);
  // The first tensor whose declared shape or type the first round of
  // inference contradicts, as a message naming it and its node ("" when none).
  std::string declared_contradiction() const;
  // One walk; true when a node was folded, removed or dropped as dead.
  bool walk();
  bool unknown_shapes_left() const;

  // -- the result
  // Graph outputs without a static shape take the static shape the model
  // declares for them, if any.
  void keep_declared_output_shapes();
  // Constant nodes for the graph outputs that are constants (a model's own form).
  void constant_outputs();
  std::vector<UnknownShape> unknown_shapes() const;
  Counts not_evaluable() const;  // op type -> nodes left with constant inputs only
  int64_t initializers_removed() const;
  const NameMap<Dims>& partial() const { return partial_; }

  // -- what a round of ONNX inference is given
  bool has_foreign_ops() const;  // an operator outside the standard domain
  // The value infos the model declares for outputs of such operators.
  std::vector<std::pair<Name, std::string>> foreign_value_infos() const;
  // The graph outputs' types: none in the first round, the declared element type after it.
  std::unordered_map<Name, std::string, NameHash> output_types(bool first) const;

  // The dimensions known of a tensor: nullopt when even its rank is unknown.
  std::optional<Dims> dims(const Name& tensor) const;

  Counts folded, noops_removed;
  int64_t dead_nodes_removed = 0;
  int64_t walks = 0;

 private:
  bool fold(Node& node);
  std::optional<std::vector<ConstPtr>> fold_shape(const Node& node) const;
  void infer_node(const Node& node);
  std::optional<Name> passed_through(const Node& node) const;
  bool bypass(Node& node, const Name& source);
  void redirect_all(const Name& from, const Name& to);
  bool is_read(const Name& tensor) const;
  bool has_static_shape(const Name& tensor) const;
  bool element_type_known(const Name& tensor) const;
  void set_static(const Name& tensor, const Shape& shape);
  void set_elem(const Name& tensor, int32_t elem);
  const Names& outer_reads_of(const Node& node) const;
  Names reads(const Node& node) const;

  Graph& g_;
  Folder& folder_;
  NameMap<Dims> partial_;  // shapes known only in part (the rank and some extents)
  std::unordered_map<Name, std::string, NameHash> first_round_;  // declared tensor -> first inferred TypeProto
  int64_t record_types(const std::vector<std::pair<Name, std::string>>& types, bool first);
  std::optional<std::unordered_set<Name, NameHash>> declared_;  // the declared tensors, for the first round's parts
  std::vector<std::vector<Node*>> parts_;  // this round's parts, in topological order
  std::unordered_map<Name, std::string, NameHash> crossing_;  // tensor read by a later part -> its inferred TypeProto
  std::vector<NodePtr> with_subgraphs_;
  Names initializers_;  // constants read from initializers
};

}  // namespace vexo::graph
