// The converter's IR graph in C++.
//
// Operators (Node) and named tensors (shape, element type, constant value,
// producer, consumers).  Every write that changes something counts in
// `changes()` and, inside a transaction, pushes its undo on the journal, so
// that `rollback()` restores the graph exactly: nodes, ports, attributes,
// constants, shapes, weights_for_align, the order keys of the nodes and the
// names taken.  Only the order in which a tensor's consumers are listed may
// differ after a rollback.
//
// Order keys: every edge runs from a lower key to a higher one, so sorting by
// (key, creation number) is a topological order.  A new node takes a key
// between its producers and its consumers; when there is no room the graph is
// renumbered (Kahn's algorithm, ties broken by the old keys).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "attr.hpp"
#include "name.hpp"
#include "name_map.hpp"
#include "rare.hpp"
#include "readers.hpp"
#include "shared_bytes.hpp"
#include "tensor.hpp"
#include "undo.hpp"

namespace vexo::graph {

class Graph;
class Node;

// ---------------------------------------------------------------- errors

// The model cannot be loaded or the graph is broken (a cycle, a dangling
// tensor): names the file, node or tensor at fault.
struct ModelError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A node computes nothing from the shapes it is given (a Reshape changing the
// element count, operands that do not broadcast).
struct ShapeError : std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

// ---------------------------------------------------------------- counted nodes

// Nodes are shared by the graph, the journal, builders, rule results and the
// Python objects that stand for them; NodePtr counts those owners.
template <class T>
class Counted {
 public:
  Counted() = default;
  Counted(T* p) noexcept : p_(p) {  // NOLINT: converts like a raw pointer
    if (p_) ++p_->refs_;
  }
  Counted(const Counted& o) noexcept : Counted(o.p_) {}
  Counted(Counted&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Counted& operator=(Counted o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Counted() {
    if (p_ && --p_->refs_ == 0) delete p_;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  bool operator==(const Counted& o) const { return p_ == o.p_; }

 private:
  T* p_ = nullptr;
};

using NodePtr = Counted<Node>;

enum class Port { Input, Output };

class Node {
 public:
  Node(std::string op_type, Names inputs, Names outputs, Name name = Name(), std::string domain = "");
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  std::string op_type;
  Rare<std::string> domain;  // most nodes have none (the standard domain)
  Name name;
  std::vector<Attr> attrs;  // in the order they were set
  Rare<std::string> extras;  // NodeProto fields kept as read (doc_string, metadata_props, ...)
  SharedBytes raw;           // the NodeProto as read, while nothing of it has changed
  Rare<Names> outer;         // what its subgraphs read from the graph (If, Loop, Scan): ordered after their writers

  const Names& inputs() const { return inputs_; }
  const Names& outputs() const { return outputs_; }
  const Names& ports(Port p) const { return p == Port::Input ? inputs_ : outputs_; }
  Graph* graph() const { return graph_; }
  uint64_t uid() const { return uid_; }
  double seq() const { return seq_; }
  void set_seq(double s) { seq_ = s; }

  // The port list takes `names`; a change is journaled when the node is in a graph.
  void set_ports(Port p, Names names);
  void set_port(Port p, size_t index, const Name& name);

  const AttrValue* attr(const std::string& name) const;  // nullptr when absent
  // A count of the changes to its attributes and op type (by Graph::set_attr
  // and the op type's setter), for inference remembered from before them.
  uint32_t edits() const { return edits_; }
  void note_edit() { ++edits_; }
  void walk_mark(uint64_t mark) const { walk_ = mark; }
  NodePtr copy() const;  // a detached copy with a new creation number (copy.deepcopy)

  int refs_ = 0;

 private:  // beside refs_, in the four bytes it leaves
  uint32_t touched_at_ = 0;  // 1 + the node's place in the graph's list of written nodes, 0 when not there
  uint32_t edits_ = 0;

 public:
  uint64_t visit_ = 0;  // the engine's mark of the nodes its next pass visits, the clean-up's of those queued
  uint64_t logged_ = 0;  // the clean-up log's epoch when the node went into it

 private:
  friend class Graph;
  Names inputs_, outputs_;
  mutable uint64_t mark_ = 0;     // neighbour walks (each_pre, each_next) mark what they have seen
  mutable uint64_t walk_ = 0;     // outer walks (orders, liveness, the engine's visits) mark with this
  mutable size_t scratch_ = 0;    // and count or index with this (in-degrees, places)
  Graph* graph_ = nullptr;
  uint64_t uid_;
  double seq_;
};

// A creation number from the process-wide counter (also used for keys of
// nodes placed where nothing bounds them).
uint64_t next_uid();

// Whether `a` comes before `b` in the order of the keys (ties broken by creation number).
inline bool key_less(const Node* a, const Node* b) {
  return a->seq() < b->seq() || (a->seq() == b->seq() && a->uid() < b->uid());
}

// ---------------------------------------------------------------- tensors and configuration

struct Tensor {
  mutable uint64_t mark = 0;  // the graph's walks mark what they have seen
  InternedShape shape;
  int32_t dtype = kUndefined;  // kUndefined: not known
  uint32_t const_place = 0;    // 1 + its place in the graph's order of constants, 0 when not there
  ConstPtr value;              // a constant
  Node* producer = nullptr;
  Readers consumers;  // in first-read order, with the number of reads
};

// A graph's tensors by name, with the 4,096 found last at hand.
using TensorMap = NameMap<Tensor, 4096>;

// The names of a graph's constants in the order they were made, as a Python
// dict keeps its keys: erasing one and making it again moves it to the end.
// Each constant's place is kept in its tensor, so the order is one list of
// names and no map of its own.
class ConstOrder {
 public:
  explicit ConstOrder(TensorMap& tensors) : tensors_(tensors) {}
  ConstOrder(const ConstOrder&) = delete;
  ConstOrder& operator=(const ConstOrder&) = delete;

  bool contains(const Name& n) const {
    const Tensor* t = tensors_.find(n);
    return t && t->const_place;
  }
  void insert(const Name& n);  // a constant already present keeps its place
  void erase(const Name& n);
  size_t size() const { return slots_.size() - dead_; }
  Names list() const;
  template <class F>
  void each(F&& f) const {
    for (const Name& n : slots_)
      if (!n.empty()) f(n);
  }
  void assign(const Names& order);  // these names, in this order

 private:
  void compact();
  TensorMap& tensors_;
  Names slots_;  // an erased constant leaves an empty name
  size_t dead_ = 0;  // empty names in slots_
};

struct Config {
  std::string source = "<model>";
  std::string unsqueeze_2d_mode = "AB11";
  bool dynamic_shapes = false;
  std::string npu_target;
  std::optional<int64_t> channel_align;
  bool check_declared = false;
};

// What the writer needs of the source model besides the graph.
struct ModelInfo {
  int64_t ir_version = 0;
  std::vector<std::pair<std::string, int64_t>> opset_import;
  std::string producer_name, producer_version, domain, doc_string, graph_name;
  int64_t model_version = 0;
  std::string extras;        // other ModelProto fields, as read (functions, training info, metadata, ...)
  std::string graph_extras;  // other GraphProto fields, as read (doc string, quantization annotation, ...)
  std::string metadata_props;  // ModelProto.metadata_props, as read
};

// One output whose recorded shape its node does not compute (shape nullopt,
// message set: the node computes nothing from its inputs' shapes).
struct ShapeConflict {
  Name tensor;
  std::optional<Shape> recorded;
  std::optional<Shape> computed;
  std::string message;
  NodePtr node;
};

// What is known of a shape: the rank, with nullopt for an unknown extent.
using Dims = std::vector<std::optional<int64_t>>;

// Per-node inference result: one (shape, element type) per output; the shape
// interned, as the graph records it.
struct Inferred {
  InternedShape shape;
  int32_t dtype = kUndefined;
};
using InferFn = std::function<std::vector<Inferred>(const Graph&, const Node&)>;

// ---------------------------------------------------------------- the graph

class Graph {
 public:
  explicit Graph(Config config = Config());
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  Config config;
  ModelInfo model;
  Names inputs, outputs;
  std::unordered_map<Name, std::string, NameHash> declared;  // graph input/output -> TypeProto as declared
  // What the model declares, as read: every graph input's and output's
  // TypeProto (with or without a shape) and the value infos in their order.
  std::unordered_map<Name, std::string, NameHash> io_types;
  std::vector<std::pair<Name, std::string>> value_infos;
  Names constants_read;  // the tensors of the Constant nodes read as constants, in model order
  InferFn onnx_infer;  // inference of op types the graph does not know (may be empty)
  std::function<void()> on_write;  // called after every journaled write (fault injection in tests)

  // ------------------------------------------------ journal
  uint64_t changes() const { return changes_; }
  void reset_changes() { changes_ = 0; }
  // Every write counted since the graph was made, never reset (rolled-back
  // writes included): two equal readings mean nothing was written between.
  uint64_t writes() const { return writes_; }
  void note_write() { ++writes_; }  // a write that bypasses the journal (loading, graph inputs and outputs)
  // writes() after the last clean-up that left nothing for another to find
  // (it changed nothing, or what it changed cannot enable one of its steps);
  // a clean-up at the same reading would find nothing.
  std::optional<uint64_t> clean_at;
  void begin();
  void commit();
  void rollback();
  bool in_transaction() const { return journal_.has_value(); }

  // ------------------------------------------------ tensors
  const Tensor* tensor(const Name& name) const;
  // Asks the memory for what looking up the node's tensors will read, a few
  // steps ahead of it, one stage at a time: its port lists, their slots in the
  // tensor map, the tensors.
  enum class Prefetch { PortLists, Slots, Tensors };
  void prefetch_ports(const Node& node, Prefetch stage) const;
  // In a walk over `order` (nodes or NodePtrs) at place k: the stages for the
  // nodes two to eight places ahead, so that each is at hand when the walk gets there.
  template <class Seq>
  void prefetch_ahead(const Seq& order, size_t k) const {
    const size_t n = order.size();
    if (k + 8 < n) __builtin_prefetch(&*order[k + 8]);
    if (k + 6 < n) prefetch_ports(*order[k + 6], Prefetch::PortLists);
    if (k + 4 < n) prefetch_ports(*order[k + 4], Prefetch::Slots);
    if (k + 2 < n) prefetch_ports(*order[k + 2], Prefetch::Tensors);
  }
  // Ask the memory for the tensor-map slot of `name` (a look-up soon after finds it at hand).
  void prefetch_tensor(const Name& name) const { tensors_.prefetch_slot(name); }
  void prefetch_value(const Name& name) const { tensors_.prefetch_value(name); }  // once its slot is at hand
  const InternedShape* shape(const Name& name) const;  // nullptr or none: unknown
  int32_t dtype(const Name& name) const;
  // set_shape(name, shape, dtype): `dtype` kUndefined keeps the recorded type.
  void set_shape(const Name& name, const InternedShape& shape, int32_t dtype = kUndefined);
  ConstPtr get_const(const Name& name) const;
  bool is_const(const Name& name) const {  // a constant's tensor holds its value, and only a constant's
    const Tensor* t = tensors_.find(name);
    return t && t->value;
  }
  const ConstOrder& consts() const { return consts_; }
  void set_const(const Name& name, ConstPtr value);  // no change when equal
  void drop_const(const Name& name);
  bool is_graph_input(const Name& name) const;
  bool is_graph_output(const Name& name) const;
  Names tensor_names() const;

  // ------------------------------------------------ attributes
  void set_attr(Node& node, const std::string& name, AttrValue value);

  // ------------------------------------------------ structure
  size_t node_count() const { return nodes_.size(); }
  Node* node(const Name& name) const;  // nullptr when absent
  bool contains(const Node& node) const;
  std::vector<Node*> unordered_nodes() const;
  std::vector<Node*> topological_order();
  std::vector<Node*> in_order(std::vector<Node*> nodes);  // some nodes of the graph, in topological order
  std::vector<Node*> find(const std::string& op_type);
  Node* producer(const Name& tensor) const;
  std::vector<Node*> consumers(const Name& tensor) const;
  bool is_read(const Name& tensor) const {  // whether a node reads it
    const Tensor* t = this->tensor(tensor);
    return t && !t->consumers.empty();
  }
  std::vector<Node*> next_nodes(const Node& node) const;
  std::vector<Node*> pre_nodes(const Node& node) const;
  uint64_t new_mark() const { return ++epoch_; }
  // An outer walk's mark on a node: true when it was already marked `mark`.
  static bool marked(const Node& n, uint64_t mark) {
    const bool was = n.walk_ == mark;
    n.walk_ = mark;
    return was;
  }
  static bool has_mark(const Node& n, uint64_t mark) { return n.walk_ == mark; }
  // f(node) for every distinct consumer of `node`'s outputs / producer of its inputs, in order.
  template <class F>
  void each_next(const Node& node, F&& f) const {
    const uint64_t mark = ++epoch_;
    for (const Name& o : node.outputs()) {
      if (o.empty()) continue;
      const Tensor* e = tensors_.find(o);
      if (!e) continue;
      for (const auto& c : e->consumers)
        if (c.first->mark_ != mark) {
          c.first->mark_ = mark;
          f(c.first);
        }
    }
  }
  template <class F>
  void each_pre(const Node& node, F&& f) const {
    const uint64_t mark = ++epoch_;
    for (const Name& t : node.inputs()) {
      if (t.empty()) continue;
      const Tensor* e = tensors_.find(t);
      Node* p = e ? e->producer : nullptr;
      if (p && p->mark_ != mark) {
        p->mark_ = mark;
        f(p);
      }
    }
  }
  Name unique_name(std::string_view base);

  void rename_node(Node& node, const Name& name);  // keeps the index by name right
  Node* add_node(const NodePtr& node);  // returns the node (renamed when its name was taken)
  void remove_node(Node& node);
  // Removes `remove`, adds `add`, places the added nodes, renumbers when an
  // edge runs backwards (ModelError on a cycle) and infers the shapes of the
  // written nodes.  Returns the added nodes.
  std::vector<Node*> apply(const std::vector<NodePtr>& remove, const std::vector<NodePtr>& add);
  const std::vector<NodePtr>& written() const { return written_; }
  const std::vector<ShapeConflict>& shape_conflicts() const { return conflicts_; }
  void forget_written();
  void ensure_order(const std::vector<Node*>* nodes = nullptr);
  void renumber();
  void refresh_shapes();

  // ------------------------------------------------ what changed since the last clean-up
  // The clean-up's record of what was written since it last ran to the end:
  // the nodes written (ports, attributes, added), the tensors left without a
  // reader, the tensors given a shape.  While it is `complete`, the next
  // clean-up looks only there; anything the record does not follow (a read,
  // a settle, a node without outputs, a node whose subgraphs read from the
  // graph, a record grown past its bound, a change of the graph outputs,
  // which the clean-up compares itself) makes it look at the whole graph.
  struct CleanupLog {
    bool complete = false;
    std::vector<NodePtr> nodes;
    Names unread, reshaped;
    Names outputs;  // the graph outputs when it was started
  };
  const CleanupLog& cleanup_log() const { return log_; }
  // What the subgraphs of this graph's nodes (If, Loop, Scan) read from it:
  // reads that no tensor's readers list, which the clean-up counts as well.
  bool has_subgraph_reads() const { return with_outer_ > 0; }
  const NameSet& subgraph_reads() const;
  void outer_reads_changed();  // after a node's `outer` was rewritten in place
  void start_cleanup_log();  // after a clean-up that looked at everything it had to
  // While held, removing nodes leaves the slots' places as they are (a
  // clean-up orders its queue by them).
  void hold_slots(bool hold);
  size_t slot_of(const Node& node) const;

  // ------------------------------------------------ weights for align
  const Names& weights_for_align() const { return weights_for_align_; }
  void append_weight_for_align(const Name& name);

  // ------------------------------------------------ loading
  // Records a shape and type read from a value info (constants are left alone).
  void record_value_info(const Name& name, const std::optional<Shape>& shape, int32_t dtype, bool only_missing);
  void add_loaded_const(const Name& name, ConstPtr value);
  void insert_loaded(const NodePtr& node);
  void take_known_names();  // every constant and every tensor with a shape is a taken name
  // After a rewrite outside the journal (the preparation): forgets tensors
  // nothing reads, writes or declares any more, takes again only the names
  // in use, lists every tensor's consumers in topological order and
  // renumbers, as if the graph had just been read from its own model.
  void settle();
  // Every tensor has one writer (`writers_in_order`: tensor and the place of
  // the node writing it, per node output as read, described by
  // `describe_writer`), every read tensor a source, and there is no cycle;
  // ModelError otherwise.
  void check_edges(const std::vector<std::pair<Name, uint32_t>>& writers_in_order, const NameSet& initializers,
                   const std::function<std::string(uint32_t)>& describe_writer);
  void infer_missing();
  int64_t opset_version(const std::string& domain = "") const;

  // Per-node inference with the converter's rules; ShapeError when the node
  // computes nothing from its inputs.
  std::vector<Inferred> infer(const Node& node) const;
  // `own`: whether the converter's own rules inferred it (not ONNX, not nothing for want of a rule).
  std::vector<Inferred> infer(const Node& node, bool& own) const;
  // The inference of a node the builder has just made by the converter's own
  // rules, remembered until the rewrite is applied: the refresh of shapes
  // then takes it instead of inferring again, while nothing the inference
  // reads has changed (the node's op type, attributes and ports, its inputs'
  // shapes, types and values).  ONNX's inference may read more: not remembered.
  void remember_inference(const NodePtr& node, std::vector<Inferred> result);

 private:
  friend class Node;
  Tensor& entry(const Name& name) { return tensors_[name]; }
  // A name is taken by this graph when the pool marks it with this graph's
  // stamp or when it is in names_: the first graph to take a name marks it,
  // so that making a fresh name costs no look-up in a set of a million.
  void take_name(const Name& name);
  void release_name(const Name& name);
  void forget_marked_names();
  bool name_taken(const Name& name) const { return name.taken_by() == stamp_ || names_.contains(name); }
  static uint64_t new_stamp();
  // A change: counted, and with a transaction open its undo is journaled.
  // `undo` is only made when there is a journal to keep it.
  template <class MakeUndo>
  void record(MakeUndo&& make_undo) {
    ++changes_;
    ++writes_;
    if (journal_) journal_->emplace_back(make_undo());
    if (on_write) on_write();
  }
  void push_undo(Undo undo);  // journaled but not a change (renumbering, names)
  void touch(Node* node);
  void untouch(Node* node);
  void index(Node* node, Port kind, const Names& names, bool add);
  void ports_changed(Node* node, Port kind, Names old, SharedBytes&& old_raw);
  void insert(const NodePtr& node);
  void unlink(Node* node);
  void place(const std::vector<Node*>& added);
  bool edges_in_order(const Node& node) const;
  std::vector<Node*> local_order(const std::vector<Node*>& nodes) const;
  std::vector<Node*> kahn() const;
  std::optional<std::vector<Node*>> order_if_keys_hold() const;
  std::vector<Node*> keys_or_kahn() const;       // order_if_keys_hold, else kahn
  void renumber_as(const std::vector<Node*>& order);  // keys 0, 1, ... in this order (journaled)
  void set_const_value(const Name& name, ConstPtr value);
  void split_follows_outputs(Node& node);
  void journal_name(const Name& name, const Name* base, int64_t counter);

  // What an inference read of one input, and the inference of a node as the builder made it.
  struct InputFacts {
    Name name;
    InternedShape shape;
    int32_t dtype = kUndefined;
    ConstPtr value;  // held, so that another constant cannot take its place in memory
  };
  struct Remembered {
    NodePtr node;  // held, so that another node cannot take its place in memory
    uint32_t edits = 0;  // its op type and attributes then
    size_t outputs = 0;
    static constexpr size_t kInputs = 4;  // a node with more is not remembered
    size_t n_inputs = 0;
    std::array<InputFacts, kInputs> inputs;
    std::vector<Inferred> result;
  };
  static constexpr size_t kRemembered = 64;  // a builder used outside a rewrite remembers no more
  InputFacts facts_of(const Name& input) const;
  bool facts_hold(const InputFacts& facts, const Name& input) const;
  const std::vector<Inferred>* remembered(const Node& node) const;
  std::vector<Remembered> remembered_;

  TensorMap tensors_;
  ConstOrder consts_{tensors_};
  // Nodes by name, in insertion order.
  std::vector<NodePtr> node_slots_;
  NameMap<size_t> nodes_;
  size_t dead_slots_ = 0;
  NameSet names_;  // the names taken that another graph had marked first
  uint64_t stamp_ = new_stamp();
  NameMap<int64_t> name_counters_;
  Names weights_for_align_;
  uint64_t changes_ = 0;
  uint64_t writes_ = 0;
  std::optional<std::vector<Undo>> journal_;
  std::vector<Undo> spare_journal_;  // a closed journal's room, kept for the next
  std::vector<NodePtr> touched_;  // written nodes, in the order first written; removed entries are empty
  void clear_touched();
  std::vector<NodePtr> written_;
  std::vector<ShapeConflict> conflicts_;
  bool order_dirty_ = false;
  mutable uint64_t epoch_ = 0;
  // local_order's working lists, kept from call to call (two calls a rewrite).
  struct OrderFrame {
    Node* node;
    size_t begin, next, end;
  };
  mutable std::vector<Node*> order_members_, order_pre_;
  mutable std::vector<OrderFrame> order_stack_;
  std::vector<Node*> written_nodes_, refresh_members_;  // apply's and refresh_shapes' working lists, likewise
  CleanupLog log_;
  uint64_t log_epoch_ = 1;
  size_t with_outer_ = 0;  // nodes in the graph whose subgraphs read from it
  uint64_t outer_epoch_ = 1;
  mutable uint64_t outer_cache_epoch_ = 0;
  mutable NameSet outer_cache_;
  void note_subgraph_reads(const Node& node, int delta);
  bool slots_held_ = false;
  void log_node(Node* node) {
    if (!log_.complete || node->logged_ == log_epoch_) return;
    node->logged_ = log_epoch_;
    log_.nodes.emplace_back(node);
    bound_log();
  }
  void log_unread(const Name& t) {
    if (!log_.complete) return;
    log_.unread.push_back(t);
    bound_log();
  }
  void bound_log();
};

// The model's opset version of `domain` (the standard one by default, 17 when absent).
std::string describe(const Node& node);  // "node 'NAME' (OP)"

bool is_custom_op(const std::string& op_type);  // the converter's own ex* operators
bool standard_domain(const std::string& domain);  // "" or "ai.onnx"
extern const char* const kCustomDomain;         // "vexo.ex"

}  // namespace vexo::graph
