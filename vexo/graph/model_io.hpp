// Reading a serialized ONNX model into the native graph and writing it back.
//
// Reading parses the bytes once; weights stay in the buffer they were read
// from.  Writing emits the graph in topological order; nodes nothing changed
// are written as the bytes they were read from, and every field of the model
// the converter does not interpret (functions, training info, metadata, doc
// strings, graph annotations) is written back as it was read.  The output is
// a list of pieces that borrow the constants' memory, so a large model is
// written to a file without a second copy of its weights.
#pragma once

#include <array>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "graph.hpp"

namespace vexo::graph {

// A serialized model in pieces: owned bytes and borrowed constant data.
class Pieces {
 public:
  void add(std::string bytes);
  void borrow(std::string_view bytes, ConstPtr keep);
  void append(Pieces&& other);
  size_t size() const { return size_; }
  void copy_to(char* out) const;  // the joined bytes into `out`, which holds size() bytes

 private:
  struct Piece {
    std::string own;
    std::string_view view;
    ConstPtr keep;
  };
  std::vector<Piece> pieces_;
  size_t size_ = 0;
};

// What a first look at a model finds, before anything is decoded.
struct ModelScan {
  bool has_graph = false;
  size_t nodes = 0, outputs = 0;
  // (domain, op type, describing text) of the first node of every op type and domain, in graph order.
  std::vector<std::array<std::string, 3>> op_types;
  std::vector<std::pair<int64_t, std::string>> opsets;  // (version, domain) as imported
  std::string unreadable;  // the first initializer or Constant whose data does not fit its type and shape
  bool external = false;   // an initializer keeps its data in a file of its own
};
// Throws wire::WireError for bytes that are no protocol buffer.
ModelScan scan_model(std::string_view bytes);

struct ReadOptions {
  // Record the shapes the model declares for its outputs and in its value
  // infos (the graph inputs' always are); the preparation reads them only to
  // check them against what the nodes compute.
  bool record_declared = true;
};

// Reads `bytes` into `g` (which must be empty): model information, constants
// (initializers and Constant nodes), graph inputs and outputs, declared and
// recorded shapes, nodes (every node named, and named once); then checks the
// edges (one writer per tensor, a source for every read, no cycle).  Throws
// ModelError naming the tensor or node at fault, wire::WireError for bytes
// that are no protocol buffer, and ExternalData when a tensor's data is kept
// in a file.
void read_model(Graph& g, std::string_view bytes, const std::shared_ptr<const void>& owner,
                const ReadOptions& options = ReadOptions());

// Records the shapes and types of a model ONNX inference returned (value
// infos and graph outputs) for tensors whose shape or type is not known yet.
void record_inferred(Graph& g, std::string_view inferred_model);

// A light model keeps the values shape inference may read: integer constants
// of at most kLightElements elements (shapes, axes, pads, repeats) and any
// constant of at most kShapeFloats (Resize's scales, Range's bounds).  A
// graph input of their type and shape stands for every other constant, which
// is all shape inference and the checker need of it.
constexpr int64_t kLightElements = 1024;
constexpr int64_t kShapeFloats = 16;
bool values_may_decide_shapes(int32_t elem, int64_t count);

// The model as read, without the data of large initializers.
std::string light_source_model(std::string_view bytes);

struct WriteOptions {
  bool light = false;       // large constants as typed graph inputs instead of initializers
  int64_t max_ir_version = 8;
  // For a round of ONNX shape inference: no recorded value infos but these
  // (name, TypeProto), and the graph outputs typed as `output_types` says.
  bool bare = false;
  const std::vector<std::pair<Name, std::string>>* value_infos = nullptr;
  const std::unordered_map<Name, std::string, NameHash>* output_types = nullptr;
  // Shapes known in part (the preparation's result): a node output of known
  // element type gets a value info with what is known of its extents, and a
  // graph output without a static shape keeps the type the model declares.
  const NameMap<Dims>* partial = nullptr;
  // The opsets as the model imports them (none added for the standard domain):
  // for checking the model as it came in.
  bool opsets_as_read = false;
  // A part of the graph for a round of inference: these nodes (in this order)
  // instead of all, these tensors (name, TypeProto) as further graph inputs,
  // and these graph outputs instead of the graph's.
  const std::vector<Node*>* nodes = nullptr;
  const std::vector<std::pair<Name, std::string>>* extra_inputs = nullptr;
  const Names* outputs = nullptr;
};

// The opsets a written model imports: the model's own, the standard one at 17
// when it has none (unless `as_read`), and the converter's custom domain when
// one of `nodes` is of it.
std::vector<std::pair<std::string, int64_t>> opset_imports(const Graph& g, const std::vector<Node*>& nodes,
                                                           bool as_read = false);

// The graph as a model: nodes in topological order, the constants they read,
// inputs and outputs with their recorded (or declared) types, the recorded
// shape of every other node output.
Pieces write_model(Graph& g, const WriteOptions& options);
// The same, written to `f` as it is made (nothing of the serialized graph is
// held in memory); throws std::runtime_error on a write error.
void write_model(Graph& g, const WriteOptions& options, std::FILE* f);

// A light model holding one node of every kind the graph has: the same op
// type, domain and attributes, constant inputs of the same type, shape and
// (where a value may decide a shape: integers, and small floats) value, other
// inputs as graph inputs and outputs as graph outputs of the recorded types.
// What a runtime checks of one node when it loads a model (kernels, type
// constraints, shapes from constant inputs) it checks on the sample as well,
// at a cost that does not grow with repeated blocks.  nullopt when a node
// cannot stand alone (a subgraph, an input of unknown type): check the whole
// light model then.
std::optional<std::string> kind_sample_model(Graph& g, int64_t max_ir_version);

// True when the light model leaves no weight out: it is then the whole model.
bool light_keeps_every_weight(const Graph& g);

// True when ONNX shape inference of the kind sample judges every node as
// inference of the whole model would: every tensor a node reads or writes has
// a known type and a static shape (each node then sees its recorded input
// shapes, whole model or sample), and no node computes a small integer vector
// or scalar (data propagation could carry its value into a consumer's shape
// in the whole model, while the sample has no value for it).
bool kinds_stand_for_graph(const Graph& g);

// What the ONNX checker would refuse in the graph's structure as written, in
// one line, or "" when nothing: a tensor written twice (by two nodes, or by a
// node over a graph input or constant), a node reading a tensor that no graph
// input, constant or earlier node defines, a graph output nothing defines, an
// empty graph input, output or constant name, a node domain without an opset
// import.  What the checker checks of one node (schema, attributes, types) it
// checks on the kind sample, which stands for every node of its kind.
std::string structure_problem(Graph& g);

// One node as a model of its own, for ONNX shape inference of an op type the
// graph does not know; nullopt when an input's shape or type is unknown.
std::optional<std::string> one_node_model(const Graph& g, const Node& node);
// Per output of `node`, what ONNX inference found in `inferred_model`.
std::vector<Inferred> inferred_outputs(std::string_view inferred_model, const Node& node);

// What a TypeProto says of a tensor: its element type and, when its rank is
// known, its extents (nullopt where symbolic or unknown).
struct TypeFacts {
  int32_t elem = kUndefined;
  std::optional<Dims> dims;
};
TypeFacts type_facts(std::string_view type_proto);
std::optional<Dims> type_dims(std::string_view type_proto);
// A TypeProto of a tensor: the element type (kUndefined: none) and, when
// `dims` is given, its extents.
std::string type_proto(int32_t elem, const Dims* dims);
// (name, TypeProto) of the graph inputs, value infos and outputs of a model,
// in that order.
std::vector<std::pair<Name, std::string>> inferred_types(std::string_view model);

// A NodeProto of `node` (as read when nothing changed).
std::string node_proto(const Node& node);

}  // namespace vexo::graph
