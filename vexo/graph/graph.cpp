#include "graph.hpp"

#include <algorithm>
#include <queue>

using namespace std::string_view_literals;

namespace vexo::graph {

const char* const kCustomDomain = "vexo.ex";

bool is_custom_op(const std::string& op_type) { return op_type.size() >= 2 && op_type.compare(0, 2, "ex") == 0; }

bool standard_domain(const std::string& d) { return d.empty() || d == "ai.onnx"sv; }

std::string describe(const Node& node) { return "node '" + node.name + "' (" + node.op_type + ")"; }

uint64_t next_uid() {
  static uint64_t counter = 0;
  return counter++;
}

uint64_t Graph::new_stamp() {
  static uint64_t counter = 0;
  return ++counter;
}

void Graph::take_name(const Name& name) {
  const uint64_t by = name.taken_by();
  if (by == stamp_) return;
  if (by == 0)
    name.set_taken_by(stamp_);
  else
    names_.insert(name);
}

// The names this graph holds lose its mark, and the graph a new stamp: what
// it marked and no longer holds reads as another graph's, not as taken here.
// The names it holds are marked again by the caller; without the unmarking
// each would read as another graph's and go into the set of names instead.
void Graph::forget_marked_names() {
  const uint64_t old = stamp_;
  auto unmark = [old](const Name& n) {
    if (n.taken_by() == old) n.set_taken_by(0);
  };
  for (const NodePtr& n : node_slots_)
    if (n) unmark(n->name);
  tensors_.each([&](const Name& name, const Tensor&) { unmark(name); });
  names_ = NameSet();
  stamp_ = new_stamp();
}

void Graph::release_name(const Name& name) {
  if (name.taken_by() == stamp_)
    name.set_taken_by(0);
  else
    names_.erase(name);
}

// ---------------------------------------------------------------- Node

Node::Node(std::string op, Names ins, Names outs, Name nm, std::string dom)
    : op_type(std::move(op)), domain(std::move(dom)), name(std::move(nm)), inputs_(std::move(ins)),
      outputs_(std::move(outs)), uid_(next_uid()) {
  seq_ = static_cast<double>(uid_);
}

void Node::set_ports(Port p, Names names) {
  Names& list = p == Port::Input ? inputs_ : outputs_;
  if (list == names) return;
  Names old = std::move(list);
  list = std::move(names);
  SharedBytes old_raw = raw.take();
  if (graph_) graph_->ports_changed(this, p, std::move(old), std::move(old_raw));
}

void Node::set_port(Port p, size_t index, const Name& tensor) {
  const Names& list = ports(p);
  if (index >= list.size()) throw std::out_of_range("list assignment index out of range");
  if (list[index] == tensor) return;
  Names names = list;
  names[index] = tensor;
  set_ports(p, std::move(names));
}

const AttrValue* Node::attr(const std::string& n) const {
  for (const Attr& a : attrs)
    if (a.name == n) return &a.value;
  return nullptr;
}

NodePtr Node::copy() const {
  NodePtr c(new Node(op_type, inputs_, outputs_, name, domain));
  c->attrs = attrs;
  for (Attr& a : c->attrs) a.raw.clear();
  c->extras = extras;
  return c;
}

// ---------------------------------------------------------------- ConstOrder

void ConstOrder::insert(const Name& n) {
  Tensor& t = tensors_[n];
  if (t.const_place) return;
  slots_.push_back(n);
  t.const_place = static_cast<uint32_t>(slots_.size());
}

void ConstOrder::erase(const Name& n) {
  Tensor* t = tensors_.find(n);
  if (t == nullptr || t->const_place == 0) return;
  slots_[t->const_place - 1] = Name();
  t->const_place = 0;
  if (++dead_ > 64 && dead_ > slots_.size() / 2) compact();
}

void ConstOrder::compact() {
  Names kept;
  kept.reserve(size());
  for (const Name& n : slots_)
    if (!n.empty()) {
      kept.push_back(n);
      tensors_.find(n)->const_place = static_cast<uint32_t>(kept.size());
    }
  slots_ = std::move(kept);
  dead_ = 0;
}

void ConstOrder::assign(const Names& order) {
  for (const Name& n : slots_)
    if (!n.empty()) tensors_.find(n)->const_place = 0;
  slots_.clear();
  dead_ = 0;
  for (const Name& n : order) insert(n);
}

Names ConstOrder::list() const {
  Names out;
  out.reserve(size());
  each([&](const Name& n) { out.push_back(n); });
  return out;
}

// ---------------------------------------------------------------- Graph: journal

Graph::Graph(Config c) : config(std::move(c)) {}

Graph::~Graph() {
  journal_.reset();
  for (NodePtr& n : node_slots_)
    if (n) n->graph_ = nullptr;
}

void Graph::push_undo(Undo undo) {
  if (journal_) journal_->push_back(std::move(undo));
}

void Graph::begin() {
  remembered_.clear();
  journal_.emplace(std::move(spare_journal_));  // the last journal's room, without its entries
  journal_->clear();
  if (journal_->capacity() < 32) journal_->reserve(32);
  clear_touched();
}

void Graph::clear_touched() {
  for (const NodePtr& n : touched_)
    if (n) n->touched_at_ = 0;
  touched_.clear();
}

void Graph::commit() {
  remembered_.clear();
  if (!journal_) return;
  journal_->clear();
  spare_journal_ = std::move(*journal_);
  journal_.reset();
}

void Graph::rollback() {
  remembered_.clear();
  std::vector<Undo> undo;
  if (journal_) undo = std::move(*journal_);
  journal_.reset();
  for (auto it = undo.rbegin(); it != undo.rend(); ++it) (*it)();
  clear_touched();
  undo.clear();
  spare_journal_ = std::move(undo);
}

void Graph::start_cleanup_log() {
  ++log_epoch_;
  log_.nodes.clear();
  log_.unread.clear();
  log_.reshaped.clear();
  log_.outputs = outputs;
  log_.complete = with_outer_ == 0;
}

void Graph::bound_log() {
  // Past a quarter of the graph, a look at the whole graph costs less than one at what the log names.
  if (log_.nodes.size() + log_.unread.size() + log_.reshaped.size() <= node_slots_.size() / 4 + 1024) return;
  log_.complete = false;
  log_.nodes.clear();
  log_.unread.clear();
  log_.reshaped.clear();
}

void Graph::hold_slots(bool hold) { slots_held_ = hold; }

size_t Graph::slot_of(const Node& node) const {
  const size_t* slot = nodes_.find(node.name);
  return slot ? *slot : SIZE_MAX;
}

void Graph::touch(Node* node) {
  if (node != nullptr) log_node(node);
  if (node == nullptr || node->touched_at_) return;
  touched_.emplace_back(node);
  node->touched_at_ = static_cast<uint32_t>(touched_.size());
}

void Graph::untouch(Node* node) {
  if (!node->touched_at_) return;
  const size_t at = node->touched_at_ - 1;
  node->touched_at_ = 0;
  touched_[at] = NodePtr();
}

// ---------------------------------------------------------------- tensors

const Tensor* Graph::tensor(const Name& name) const {
  return tensors_.find(name);
}

const InternedShape* Graph::shape(const Name& name) const {
  const Tensor* t = tensor(name);
  return t ? &t->shape : nullptr;
}

int32_t Graph::dtype(const Name& name) const {
  const Tensor* t = tensor(name);
  return t ? t->dtype : kUndefined;
}

namespace {

std::string numpy_shape(const Shape& s) {
  std::string out = "(";
  for (size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
  return out + (s.size() == 1 ? ",)" : ")");
}

}  // namespace

void Graph::set_shape(const Name& name, const InternedShape& shape, int32_t dtype) {
  Tensor& t = entry(name);
  if (t.value && shape) {
    if (t.value->dims != *shape) {
      ConstPtr reshaped;
      try {
        reshaped = t.value->reshaped(*shape);
      } catch (const TensorError&) {
        throw ShapeError("cannot reshape array of size " + std::to_string(t.value->count()) + " into shape " +
                         numpy_shape(*shape));
      }
      set_const_value(name, reshaped);
    }
    return;
  }
  const int32_t new_dtype = dtype != kUndefined ? dtype : t.dtype;
  if (t.shape == shape && t.dtype == new_dtype) return;
  if (log_.complete) {
    log_.reshaped.push_back(name);
    bound_log();
  }
  take_name(name);
  const InternedShape old_shape = t.shape;
  const int32_t old_dtype = t.dtype;
  t.shape = shape;
  t.dtype = new_dtype;
  record([&] {
    return [this, name, old_shape, old_dtype] {
      Tensor& e = entry(name);
      e.shape = old_shape;
      e.dtype = old_dtype;
    };
  });
}

ConstPtr Graph::get_const(const Name& name) const {
  const Tensor* t = tensor(name);
  return t ? t->value : nullptr;
}

namespace {

bool same_constant(const Constant& a, const Constant& b) {
  if (a.elem != b.elem || a.dims != b.dims) return false;
  if (!a.has_bytes() || !b.has_bytes()) return a.proto == b.proto;
  if (!elem_is_floating(a.elem) || a.elem == kBFloat16 || elem_size(a.elem) == 1) return a.bytes() == b.bytes();
  const int64_t n = a.count();
  for (int64_t k = 0; k < n; ++k)  // numbers compare as numbers: a NaN is a change, -0.0 is not
    if (a.get_double(k) != b.get_double(k)) return false;
  return true;
}

}  // namespace

void Graph::set_const(const Name& name, ConstPtr value) {
  ConstPtr old = get_const(name);
  if (old && same_constant(*old, *value)) return;
  set_const_value(name, std::move(value));
}

void Graph::set_const_value(const Name& name, ConstPtr value) {
  Tensor& t = entry(name);
  ConstPtr old = std::move(t.value);
  const InternedShape old_shape = t.shape;
  const int32_t old_dtype = t.dtype;
  const bool was_const = consts_.contains(name);
  t.shape = value->dims;
  t.dtype = value->elem;
  t.value = std::move(value);
  consts_.insert(name);
  take_name(name);
  for (const auto& [consumer, count] : t.consumers) touch(consumer);
  if (t.consumers.empty()) log_unread(name);
  record([&] {
    return [this, name, old = std::move(old), old_shape, old_dtype, was_const] {
      Tensor& e = entry(name);
      e.value = old;
      if (!was_const) consts_.erase(name);
      e.shape = old_shape;
      e.dtype = old_dtype;
    };
  });
}

void Graph::drop_const(const Name& name) {
  if (!consts_.contains(name)) return;
  Tensor& t = entry(name);
  ConstPtr old = std::move(t.value);
  const InternedShape old_shape = t.shape;
  const int32_t old_dtype = t.dtype;
  t.value.reset();
  t.shape.reset();
  t.dtype = kUndefined;
  consts_.erase(name);
  record([&] {
    return [this, name, old = std::move(old), old_shape, old_dtype] {
      Tensor& e = entry(name);
      e.value = old;
      consts_.insert(name);
      e.shape = old_shape;
      e.dtype = old_dtype;
    };
  });
}

bool Graph::is_graph_input(const Name& name) const {
  return std::find(inputs.begin(), inputs.end(), name) != inputs.end();
}

bool Graph::is_graph_output(const Name& name) const {
  return std::find(outputs.begin(), outputs.end(), name) != outputs.end();
}

Names Graph::tensor_names() const {
  std::unordered_set<Name, NameHash> seen(inputs.begin(), inputs.end());
  tensors_.each([&](const Name& name, const Tensor& t) {
    if (t.shape || t.producer || !t.consumers.empty()) seen.insert(name);
  });
  return Names(seen.begin(), seen.end());
}

// ---------------------------------------------------------------- attributes

void Graph::set_attr(Node& node, const std::string& name, AttrValue value) {
  auto it = std::find_if(node.attrs.begin(), node.attrs.end(), [&](const Attr& a) { return a.name == name; });
  const bool present = it != node.attrs.end();
  if (present && it->value.same(value)) return;
  std::optional<Attr> old;
  size_t at = node.attrs.size();
  if (present) {
    old = *it;
    at = static_cast<size_t>(it - node.attrs.begin());
    it->value = std::move(value);
    it->raw.clear();
  } else {
    node.attrs.push_back(Attr{name, std::move(value), {}});
  }
  SharedBytes old_raw = node.raw.take();
  node.note_edit();
  touch(&node);
  record([&] {
    return [self = NodePtr(&node), name, old = std::move(old), at, old_raw = std::move(old_raw)] {
      self->note_edit();
      if (old) {
        self->attrs[at] = *old;
      } else {
        auto pos = std::find_if(self->attrs.begin(), self->attrs.end(), [&](const Attr& a) { return a.name == name; });
        if (pos != self->attrs.end()) self->attrs.erase(pos);
      }
      self->raw = old_raw;
    };
  });
}

// ---------------------------------------------------------------- structure

Node* Graph::node(const Name& name) const {
  const size_t* slot = nodes_.find(name);
  return slot ? node_slots_[*slot].get() : nullptr;
}

void Graph::prefetch_ports(const Node& node, Prefetch stage) const {
  for (const Names* ports : {&node.inputs(), &node.outputs()}) {
    if (stage == Prefetch::PortLists) {
      __builtin_prefetch(ports->data());
      continue;
    }
    for (const Name& t : *ports) stage == Prefetch::Slots ? tensors_.prefetch_slot(t) : tensors_.prefetch_value(t);
  }
}

// A node is linked to the graph exactly while it is in the name index (insert, unlink and rename keep both).
bool Graph::contains(const Node& n) const { return n.graph_ == this; }

std::vector<Node*> Graph::unordered_nodes() const {
  std::vector<Node*> out;
  out.reserve(nodes_.size());
  for (const NodePtr& n : node_slots_)
    if (n) out.push_back(n.get());
  return out;
}

namespace {

// `nodes` sorted by (order key, creation number).  The keys are copied next
// to their nodes first, so that the sort compares a compact array instead of
// reaching into every node at each comparison.
void sort_by_key(std::vector<Node*>& nodes) {
  struct Keyed {
    double seq;
    uint64_t uid;
    Node* node;
  };
  std::vector<Keyed> keyed;
  keyed.reserve(nodes.size());
  for (size_t k = 0; k < nodes.size(); ++k) {
    if (k + 8 < nodes.size()) __builtin_prefetch(nodes[k + 8]);
    keyed.push_back(Keyed{nodes[k]->seq(), nodes[k]->uid(), nodes[k]});
  }
  auto less = [](const Keyed& a, const Keyed& b) { return a.seq < b.seq || (a.seq == b.seq && a.uid < b.uid); };
  // The nodes come mostly in order (the graph's slots keep the order nodes
  // came in, and a rewrite adds few): the part in order is merged with the
  // rest sorted, not sorted again.
  const auto sorted_end = std::is_sorted_until(keyed.begin(), keyed.end(), less);
  std::sort(sorted_end, keyed.end(), less);
  std::inplace_merge(keyed.begin(), sorted_end, keyed.end(), less);
  for (size_t k = 0; k < keyed.size(); ++k) nodes[k] = keyed[k].node;
}

}  // namespace

std::vector<Node*> Graph::topological_order() {
  if (order_dirty_) renumber();
  std::vector<Node*> out = unordered_nodes();
  sort_by_key(out);
  return out;
}

std::vector<Node*> Graph::in_order(std::vector<Node*> nodes) {
  if (order_dirty_) renumber();
  sort_by_key(nodes);
  return nodes;
}

std::vector<Node*> Graph::find(const std::string& op_type) {
  if (order_dirty_) renumber();
  std::vector<Node*> out;
  for (const NodePtr& n : node_slots_)
    if (n && n->op_type == op_type) out.push_back(n.get());
  sort_by_key(out);
  return out;
}

Node* Graph::producer(const Name& t) const {
  const Tensor* e = tensor(t);
  return e ? e->producer : nullptr;
}

std::vector<Node*> Graph::consumers(const Name& t) const {
  std::vector<Node*> out;
  if (const Tensor* e = tensor(t)) {
    out.reserve(e->consumers.size());
    for (const auto& [n, count] : e->consumers) out.push_back(n);
  }
  return out;
}

std::vector<Node*> Graph::next_nodes(const Node& node) const {
  std::vector<Node*> out;
  out.reserve(4);
  each_next(node, [&](Node* c) { out.push_back(c); });
  return out;
}

std::vector<Node*> Graph::pre_nodes(const Node& node) const {
  std::vector<Node*> out;
  out.reserve(node.inputs().size());
  each_pre(node, [&](Node* p) { out.push_back(p); });
  return out;
}

Name Graph::unique_name(std::string_view base_text) {
  Name name;
  auto free = [&](std::string_view text) {
    bool created = false;
    name = Name::interned(text, created);
    return created || (!name_taken(name) && !nodes_.contains(name));  // a name never seen is free
  };
  if (free(base_text)) {
    take_name(name);
    journal_name(name, nullptr, 0);
    return name;
  }
  const Name base = name;
  const int64_t* found = name_counters_.find(base);
  const int64_t start = found ? *found : 0;
  for (int64_t k = start + 1;; ++k) {
    if (free(ComposedName(base_text, "_", k))) {
      name_counters_[base] = k;
      take_name(name);
      journal_name(name, &base, start);
      // The next name made from this base is most likely the one after: its
      // place in the pool, far from the caches, is asked for now.
      Name::prefetch(ComposedName(base_text, "_", k + 1));
      return name;
    }
  }
}

void Graph::journal_name(const Name& name, const Name* base, int64_t counter) {
  if (!journal_) return;
  if (!base) {  // most names: an undo small enough to be kept without an allocation
    push_undo([this, name] { release_name(name); });
    return;
  }
  push_undo([this, name, b = *base, counter] {
    release_name(name);
    if (counter)
      name_counters_[b] = counter;
    else
      name_counters_.erase(b);
  });
}

// Reads are indexed when a node comes into the graph or its inputs are set
// again, always after its earlier reads were taken out: a node listed among a
// tensor's consumers then was listed in this same call, as the last one, so a
// tensor read by thousands of nodes (a merged constant, a graph input) costs
// no search to gain a reader.
void Graph::index(Node* node, Port kind, const Names& names, bool add) {
  for (const Name& t : names) {
    if (t.empty()) continue;
    Tensor& e = entry(t);
    if (kind == Port::Input) {
      if (add) {
        e.consumers.add(node);
      } else {
        e.consumers.remove(node);
        if (e.consumers.empty()) log_unread(t);
      }
    } else if (add) {
      e.producer = node;
      take_name(t);
      if (e.consumers.empty()) log_unread(t);
    } else if (e.producer == node) {
      e.producer = nullptr;
    }
  }
}

void Graph::ports_changed(Node* node, Port kind, Names old, SharedBytes&& old_raw) {
  index(node, kind, old, false);
  index(node, kind, node->ports(kind), true);
  touch(node);
  // The node as read comes back with a rollback, so that it is written as it was.
  record([&] {
    return [this, self = NodePtr(node), kind, old_names = std::move(old), old_raw = std::move(old_raw)] {
      index(self.get(), kind, self->ports(kind), false);
      (kind == Port::Input ? self->inputs_ : self->outputs_) = old_names;
      index(self.get(), kind, old_names, true);
      self->raw = old_raw;
    };
  });
}

void Graph::insert(const NodePtr& node) {
  if (node->name.empty() || nodes_.contains(node->name)) {
    node->name = unique_name(node->name.empty() ? node->op_type + "_node" : node->name.str());
    node->raw.clear();
  } else {
    take_name(node->name);
  }
  node->graph_ = this;
  nodes_[node->name] = node_slots_.size();
  node_slots_.push_back(node);
  index(node.get(), Port::Input, node->inputs_, true);
  index(node.get(), Port::Output, node->outputs_, true);
  if (std::all_of(node->outputs_.begin(), node->outputs_.end(), [](const Name& o) { return o.empty(); }))
    log_.complete = false;  // dead as soon as it is in: no unread tensor tells
  note_subgraph_reads(*node, +1);
}

void Graph::note_subgraph_reads(const Node& node, int delta) {
  if (node.outer.empty()) return;
  with_outer_ = static_cast<size_t>(static_cast<int64_t>(with_outer_) + delta);
  ++outer_epoch_;
  log_.complete = false;  // the log follows no reads from subgraphs
}

void Graph::outer_reads_changed() { ++outer_epoch_; }

const NameSet& Graph::subgraph_reads() const {
  if (outer_cache_epoch_ != outer_epoch_) {
    outer_cache_ = NameSet();
    if (with_outer_)
      for (const NodePtr& n : node_slots_)
        if (n)
          for (const Name& t : n->outer) outer_cache_.insert(t);
    outer_cache_epoch_ = outer_epoch_;
  }
  return outer_cache_;
}

void Graph::unlink(Node* node) {
  NodePtr keep(node);
  index(node, Port::Input, node->inputs_, false);
  index(node, Port::Output, node->outputs_, false);
  if (const size_t* slot = nodes_.find(node->name)) {
    note_subgraph_reads(*node, -1);
    node_slots_[*slot] = NodePtr();
    nodes_.erase(node->name);
    if (++dead_slots_ > 64 && dead_slots_ > node_slots_.size() / 2 && !slots_held_) {
      std::vector<NodePtr> kept;
      kept.reserve(nodes_.size());
      for (NodePtr& n : node_slots_)
        if (n) {
          nodes_[n->name] = kept.size();
          kept.push_back(std::move(n));
        }
      node_slots_ = std::move(kept);
      dead_slots_ = 0;
    }
  }
  node->graph_ = nullptr;
  untouch(node);
}

void Graph::rename_node(Node& node, const Name& name) {
  if (contains(node)) {
    const size_t slot = *nodes_.find(node.name);
    nodes_.erase(node.name);
    nodes_[name] = slot;
    take_name(name);
  }
  node.name = name;
  node.raw.clear();
}

Node* Graph::add_node(const NodePtr& node) {
  if (contains(*node)) return node.get();
  insert(node);
  touch(node.get());
  record([&] { return [this, node] { unlink(node.get()); }; });
  return node.get();
}

void Graph::remove_node(Node& n) {
  if (!contains(n)) return;
  NodePtr node(&n);
  unlink(&n);
  record([&] {
    return [this, node] {
      node->graph_ = this;
      nodes_[node->name] = node_slots_.size();
      node_slots_.push_back(node);
      index(node.get(), Port::Input, node->inputs_, true);
      index(node.get(), Port::Output, node->outputs_, true);
      note_subgraph_reads(*node, +1);
    };
  });
}

std::vector<Node*> Graph::apply(const std::vector<NodePtr>& remove, const std::vector<NodePtr>& add) {
  for (const NodePtr& n : remove)
    if (n) remove_node(*n);
  std::vector<Node*> added;
  added.reserve(add.size());
  for (const NodePtr& n : add) added.push_back(add_node(n));
  place(added);
  written_.clear();
  for (const NodePtr& n : touched_)
    if (n && n->graph_ == this) written_.push_back(n);
  std::vector<Node*>& written = written_nodes_;  // kept from call to call
  written.clear();
  for (const NodePtr& n : written_) written.push_back(n.get());
  ensure_order(&written);
  refresh_shapes();
  return added;
}

void Graph::place(const std::vector<Node*>& added) {
  const std::vector<Node*> order = local_order(added);  // the added nodes, each once, producers first
  const uint64_t member = new_mark();
  for (Node* n : order) n->walk_ = member;
  // bound[k]: the lowest key of anything downstream of order[k] outside the added nodes
  std::vector<std::optional<double>> bound(order.size());
  for (size_t k = 0; k < order.size(); ++k) order[k]->scratch_ = k;
  for (size_t k = order.size(); k-- > 0;) {
    Node* node = order[k];
    std::optional<double> lowest;
    auto take = [&](double v) { lowest = lowest ? std::min(*lowest, v) : v; };
    each_next(*node, [&](Node* c) {
      if (c->walk_ != member && c != node) take(c->seq());
    });
    each_next(*node, [&](Node* c) {
      if (c->walk_ == member && c->scratch_ > k && bound[c->scratch_]) take(*bound[c->scratch_]);
    });
    bound[k] = lowest;
  }
  for (size_t k = 0; k < order.size(); ++k) {
    Node* node = order[k];
    std::optional<double> lo;
    each_pre(*node, [&](Node* p) {
      if (p != node) lo = lo ? std::max(*lo, p->seq()) : p->seq();
    });
    const std::optional<double> hi = bound[k];
    if (!lo && !hi) {
      node->seq_ = static_cast<double>(next_uid());
    } else if (!lo) {
      node->seq_ = *hi - 1.0;
    } else if (!hi) {
      node->seq_ = *lo + 1.0;
    } else {
      const double mid = (*lo + *hi) / 2;
      if (*lo < mid && mid < *hi) {
        node->seq_ = mid;
      } else {
        order_dirty_ = true;
        node->seq_ = *lo;
      }
    }
  }
}

bool Graph::edges_in_order(const Node& node) const {
  bool ok = true;
  each_pre(node, [&](Node* p) { ok = ok && (p == &node || p->seq() < node.seq()); });
  if (!ok) return false;
  each_next(node, [&](Node* c) { ok = ok && (c == &node || node.seq() < c->seq()); });
  return ok;
}

void Graph::ensure_order(const std::vector<Node*>* nodes) {
  if (order_dirty_) {
    renumber();
    return;
  }
  if (nodes == nullptr) {
    for (const NodePtr& n : node_slots_)
      if (n && !edges_in_order(*n)) {
        renumber();
        return;
      }
    return;
  }
  for (Node* n : *nodes)
    if (n->graph_ == this && !edges_in_order(*n)) {
      renumber();
      return;
    }
}

void Graph::renumber() { renumber_as(kahn()); }

void Graph::renumber_as(const std::vector<Node*>& order) {
  std::vector<std::pair<NodePtr, double>> old;
  if (journal_) old.reserve(order.size());
  for (size_t k = 0; k < order.size(); ++k) {
    if (journal_) old.emplace_back(order[k], order[k]->seq_);
    order[k]->seq_ = static_cast<double>(k);
  }
  order_dirty_ = false;
  if (journal_)
    push_undo([old] {
      for (const auto& [n, seq] : old) n->seq_ = seq;
    });
}

// The nodes sorted by their keys, when every edge runs forward in that
// order (a subgraph's reads from outside included): Kahn's algorithm, which
// breaks ties by the keys, would give the same order.  nullopt otherwise.
std::optional<std::vector<Node*>> Graph::order_if_keys_hold() const {
  std::vector<Node*> order = unordered_nodes();
  sort_by_key(order);
  for (size_t k = 0; k < order.size(); ++k) {
    prefetch_ahead(order, k);
    const Node* n = order[k];
    bool forward = true;
    each_pre(*n, [&](Node* p) { forward = forward && (p == n || key_less(p, n)); });
    for (const Name& t : n->outer) {
      const Node* p = producer(t);
      forward = forward && (p == nullptr || p == n || key_less(p, n));
    }
    if (!forward) return std::nullopt;
  }
  return order;
}

std::vector<Node*> Graph::keys_or_kahn() const {
  std::optional<std::vector<Node*>> by_keys = order_if_keys_hold();
  return by_keys ? std::move(*by_keys) : kahn();
}

std::vector<Node*> Graph::kahn() const {
  auto later = [](const Node* a, const Node* b) { return key_less(b, a); };
  // A node with subgraphs also comes after the writers of what they read.
  std::unordered_map<const Node*, std::vector<Node*>> readers_inside;
  for (const NodePtr& n : node_slots_) {
    if (!n || n->outer.empty()) continue;
    std::unordered_set<Node*> pre;
    each_pre(*n, [&](Node* p) { pre.insert(p); });
    for (const Name& t : n->outer) {
      Node* p = producer(t);
      if (p && p != n.get() && pre.insert(p).second) readers_inside[p].push_back(n.get());
    }
  }
  const std::vector<Node*> all = unordered_nodes();
  for (size_t k = 0; k < all.size(); ++k) {
    prefetch_ahead(all, k);
    Node* n = all[k];
    size_t d = 0;
    each_pre(*n, [&](Node* p) { d += p != n; });
    n->scratch_ = d;  // in-degree
  }
  for (const auto& [writer, readers] : readers_inside)
    for (Node* r : readers) ++r->scratch_;
  std::vector<Node*> ready;
  ready.reserve(nodes_.size());
  for (const NodePtr& n : node_slots_)
    if (n && n->scratch_ == 0) ready.push_back(n.get());
  std::priority_queue<Node*, std::vector<Node*>, decltype(later)> heap(later, std::move(ready));
  std::vector<Node*> order;
  order.reserve(nodes_.size());
  while (!heap.empty()) {
    Node* node = heap.top();
    heap.pop();
    order.push_back(node);
    each_next(*node, [&](Node* c) {
      if (c != node && --c->scratch_ == 0) heap.push(c);
    });
    auto inside = readers_inside.find(node);
    if (inside != readers_inside.end())
      for (Node* c : inside->second)
        if (--c->scratch_ == 0) heap.push(c);
  }
  if (order.size() != nodes_.size()) {
    for (const NodePtr& n : node_slots_)
      if (n && n->scratch_ > 0) throw ModelError(config.source + ": the graph has a cycle through " + describe(*n));
  }
  return order;
}

std::vector<Node*> Graph::local_order(const std::vector<Node*>& nodes) const {
  // Members carry this walk's mark; a member already visited has scratch_ set to the mark too.
  const uint64_t member = new_mark();
  std::vector<Node*>& members = order_members_;
  members.clear();
  for (Node* n : nodes)
    if (n->walk_ != member) {
      n->walk_ = member;
      n->scratch_ = 0;
      members.push_back(n);
    }
  auto visited = [&](Node* n) { return n->scratch_ == member; };
  std::vector<Node*> order;
  order.reserve(members.size());
  // The walk's stack; the members each frame reads from lie in `pre` from its
  // `begin` to its `end`, above those of the frames below it.
  std::vector<OrderFrame>& stack = order_stack_;
  std::vector<Node*>& pre = order_pre_;
  stack.clear();
  pre.clear();
  auto push = [&](Node* n) {
    n->scratch_ = member;
    const size_t begin = pre.size();
    each_pre(*n, [&](Node* p) {
      if (p->walk_ == member) pre.push_back(p);
    });
    stack.push_back({n, begin, begin, pre.size()});
  };
  for (Node* n : members) {
    if (visited(n)) continue;
    push(n);
    while (!stack.empty()) {
      OrderFrame& top = stack.back();
      Node* unvisited = nullptr;
      while (top.next < top.end && !unvisited) {
        Node* p = pre[top.next++];
        if (!visited(p)) unvisited = p;
      }
      if (unvisited) {
        push(unvisited);
      } else {
        order.push_back(top.node);
        pre.resize(top.begin);
        stack.pop_back();
      }
    }
  }
  return order;
}

void Graph::forget_written() {
  std::vector<NodePtr> keep(touched_);
  std::vector<Node*> touched;
  for (const NodePtr& n : keep)
    if (n) touched.push_back(n.get());
  ensure_order(&touched);
  clear_touched();
}

void Graph::refresh_shapes() {
  std::vector<Node*>& members = refresh_members_;  // kept from call to call
  members.clear();
  for (const NodePtr& n : touched_)
    if (n && contains(*n)) members.push_back(n.get());  // in the graph still, which holds them
  const std::vector<Node*> order = local_order(members);
  clear_touched();
  conflicts_.clear();
  if (order.empty()) {
    remembered_.clear();
    return;
  }
  for (Node* node : order) {
    if (node->op_type == "Split"sv) split_follows_outputs(*node);
    std::vector<Inferred> fresh;
    const std::vector<Inferred>* found = remembered(*node);
    if (found == nullptr) {
      try {
        fresh = infer(*node);
      } catch (const ShapeError& e) {
        conflicts_.push_back({node->outputs().empty() ? Name() : node->outputs()[0], std::nullopt, std::nullopt,
                              e.what(), NodePtr(node)});
        continue;
      }
    }
    const std::vector<Inferred>& inferred = found ? *found : fresh;
    const Names& outs = node->outputs();  // setting shapes leaves the node's ports as they are
    for (size_t k = 0; k < outs.size() && k < inferred.size(); ++k) {
      const Name& o = outs[k];
      if (o.empty()) continue;
      const Inferred& inf = inferred[k];
      const Tensor* t = tensor(o);
      const InternedShape recorded = t ? t->shape : InternedShape();
      const int32_t dt = t ? t->dtype : kUndefined;
      if (!recorded && inf.shape) {
        set_shape(o, inf.shape, dt == kUndefined ? inf.dtype : kUndefined);
      } else if (inf.shape && recorded != inf.shape) {  // interned: equal shapes are one
        conflicts_.push_back({o, recorded, inf.shape, std::string(), NodePtr(node)});
      } else if (dt == kUndefined && inf.dtype != kUndefined) {
        set_shape(o, recorded, inf.dtype);
      }
    }
  }
  remembered_.clear();
}

void Graph::split_follows_outputs(Node& node) {
  if (node.inputs().empty() || node.outputs().empty()) return;
  const InternedShape* src = shape(node.inputs()[0]);
  if (!src || !*src) return;
  std::vector<Shape> outs;
  for (const Name& o : node.outputs()) {
    const InternedShape* s = shape(o);
    if (o.empty() || !s || !*s || (*s)->size() != (*src)->size()) return;
    outs.push_back(**s);
  }
  const AttrValue* axis_attr = node.attr("axis");
  if (axis_attr && axis_attr->kind != AttrValue::Int) return;
  const int64_t rank = static_cast<int64_t>((*src)->size());
  int64_t axis = axis_attr ? axis_attr->i : 0;
  if (axis < 0) axis += rank;
  if (axis < 0 || axis >= rank) return;
  std::vector<int64_t> wanted;
  int64_t total = 0;
  for (const Shape& s : outs) {
    wanted.push_back(s[static_cast<size_t>(axis)]);
    total += wanted.back();
  }
  if (total != (**src)[static_cast<size_t>(axis)]) return;
  std::vector<Inferred> computed;
  try {
    computed = infer(node);
  } catch (const ShapeError&) {
    return;
  }
  bool agree = true;
  for (size_t k = 0; k < wanted.size() && k < computed.size(); ++k)
    if (!computed[k].shape || (*computed[k].shape)[static_cast<size_t>(axis)] != wanted[k]) agree = false;
  if (agree) return;
  // The sizes go where the node keeps them: an input from opset 13 on, else the attribute.
  const AttrValue* split = node.attr("split");
  const bool has_input = node.inputs().size() > 1 && !node.inputs()[1].empty();
  if ((split == nullptr || split->kind == AttrValue::None) && (has_input || opset_version() >= 13)) {
    const Name name = unique_name(node.name + "_split");
    std::string bytes(reinterpret_cast<const char*>(wanted.data()), wanted.size() * sizeof(int64_t));
    set_const(name, Constant::owned(kInt64, Shape{static_cast<int64_t>(wanted.size())}, std::move(bytes)));
    if (node.inputs().size() > 1) {
      node.set_port(Port::Input, 1, name);
    } else {
      Names ins = node.inputs();
      ins.push_back(name);
      node.set_ports(Port::Input, std::move(ins));
    }
    const AttrValue* num = node.attr("num_outputs");
    if (num && num->kind != AttrValue::None) set_attr(node, "num_outputs", AttrValue::none());
  } else {
    set_attr(node, "split", AttrValue::of_ints(wanted));
  }
}

// ---------------------------------------------------------------- weights for align

void Graph::append_weight_for_align(const Name& name) {
  weights_for_align_.push_back(name);
  record([&] { return [this] { weights_for_align_.pop_back(); }; });
}

// ---------------------------------------------------------------- loading

void Graph::record_value_info(const Name& name, const std::optional<Shape>& shape, int32_t dtype,
                              bool only_missing) {
  if (consts_.contains(name)) return;
  Tensor& t = entry(name);
  if (only_missing && t.shape && t.dtype != kUndefined) return;
  ++writes_;
  if (shape) t.shape = shape;
  if (dtype != kUndefined) t.dtype = dtype;
}

void Graph::add_loaded_const(const Name& name, ConstPtr value) {
  Tensor& t = entry(name);
  ++writes_;
  log_.complete = false;
  t.shape = value->dims;
  t.dtype = value->elem;
  t.value = std::move(value);
  consts_.insert(name);
  take_name(name);
}

void Graph::insert_loaded(const NodePtr& node) {
  ++writes_;
  log_.complete = false;
  insert(node);
}

void Graph::take_known_names() {
  consts_.each([&](const Name& n) { take_name(n); });
  tensors_.each([&](const Name& name, const Tensor& t) {
    if (t.shape) take_name(name);
  });
}

void Graph::settle() {
  log_.complete = false;
  const std::vector<Node*> order = keys_or_kahn();
  NameSet keep(inputs.begin(), inputs.end());
  for (const Name& o : outputs) keep.insert(o);
  Names stale;
  tensors_.each([&](const Name& name, const Tensor& t) {
    if (t.producer == nullptr && t.consumers.empty() && !t.const_place && !keep.count(name)) stale.push_back(name);
  });
  for (const Name& name : stale) tensors_.erase(name);
  for (size_t k = 0; k < order.size(); ++k) {
    prefetch_ahead(order, k);
    for (const Name& t : order[k]->inputs())
      if (!t.empty()) entry(t).consumers.clear();
  }
  for (size_t k = 0; k < order.size(); ++k) {
    prefetch_ahead(order, k);
    index(order[k], Port::Input, order[k]->inputs_, true);
  }
  // Constants in the order the nodes first read them, then the graph outputs that are constants.
  Names consts;
  const uint64_t listed = new_mark();
  auto keep_const = [&](const Name& t) {
    const Tensor* e = t.empty() ? nullptr : tensors_.find(t);
    if (e && e->const_place && e->mark != listed) {
      e->mark = listed;
      consts.push_back(t);
    }
  };
  for (size_t k = 0; k < order.size(); ++k) {
    prefetch_ahead(order, k);
    for (const Name& t : order[k]->inputs()) keep_const(t);
    for (const Name& t : order[k]->outer) keep_const(t);
  }
  for (const Name& t : outputs) keep_const(t);
  consts_.each(keep_const);
  consts_.assign(consts);
  forget_marked_names();
  name_counters_ = NameMap<int64_t>();
  for (Node* n : order) {
    take_name(n->name);
    for (const Name& t : n->outputs())
      if (!t.empty()) take_name(t);
  }
  take_known_names();
  for (size_t k = 0; k < order.size(); ++k) order[k]->seq_ = static_cast<double>(k);  // not journaled, as all of it
  order_dirty_ = false;
  clear_touched();
  written_.clear();
  conflicts_.clear();
  changes_ = 0;
  ++writes_;
}

void Graph::check_edges(const std::vector<std::pair<Name, uint32_t>>& writers_in_order, const NameSet& initializers,
                        const std::function<std::string(uint32_t)>& describe_writer) {
  const NameSet graph_inputs(inputs.begin(), inputs.end());
  NameMap<size_t> writer;  // tensor -> its first writer's place in writers_in_order
  for (size_t k = 0; k < writers_in_order.size(); ++k) {
    const auto& [tensor_name, who] = writers_in_order[k];
    if (tensor_name.empty()) continue;
    std::string first;
    if (const size_t* w = writer.find(tensor_name))
      first = describe_writer(writers_in_order[*w].second);
    else if (graph_inputs.count(tensor_name))
      first = "the graph input";
    else if (initializers.count(tensor_name))
      first = "an initializer";
    if (!first.empty())
      throw ModelError(config.source + ": tensor '" + tensor_name + "' is written by " + first + " and by " +
                       describe_writer(who));
    writer[tensor_name] = k;
  }
  auto known = [&](const Name& t) { return graph_inputs.count(t) || consts_.contains(t) || producer(t); };
  for (const NodePtr& n : node_slots_) {
    if (!n) continue;
    for (const Name& t : n->inputs())
      if (!t.empty() && !known(t))
        throw ModelError(config.source + ": node '" + n->name + "' (" + n->op_type + ") reads tensor '" + t +
                         "', which no node, graph input or initializer provides");
  }
  for (const Name& t : outputs)
    if (!known(t)) throw ModelError(config.source + ": graph output '" + t + "' is written by no node");
  // Read in topological order, as models usually are, the nodes keep the
  // order they came in (each one's key is its creation number); else Kahn.
  renumber_as(keys_or_kahn());
}

void Graph::infer_missing() {
  for (Node* node : topological_order()) {
    bool missing = false;
    for (const Name& o : node->outputs()) {
      if (o.empty()) continue;
      const Tensor* t = tensor(o);
      if (!t || !t->shape || t->dtype == kUndefined) missing = true;
    }
    if (!missing) continue;
    std::vector<Inferred> inferred;
    try {
      inferred = infer(*node);
    } catch (const ShapeError& e) {
      throw ModelError(config.source + ": " + e.what());
    }
    const Names& outs = node->outputs();
    for (size_t k = 0; k < outs.size() && k < inferred.size(); ++k) {
      if (outs[k].empty()) continue;
      Tensor& t = entry(outs[k]);
      if (inferred[k].shape && !t.shape) t.shape = inferred[k].shape;
      if (inferred[k].dtype != kUndefined && t.dtype == kUndefined) t.dtype = inferred[k].dtype;
    }
  }
}

int64_t Graph::opset_version(const std::string& domain) const {
  for (const auto& [d, v] : model.opset_import)
    if (d == domain || (domain.empty() && d == "ai.onnx"sv)) return v;
  return domain.empty() ? 17 : 0;
}

}  // namespace vexo::graph
