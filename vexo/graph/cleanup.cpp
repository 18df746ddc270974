#include "cleanup.hpp"

#include <algorithm>
#include <deque>
#include <numeric>
#include <unordered_map>
#include <unordered_set>

using namespace std::string_view_literals;

namespace vexo::graph {

void redirect(Graph& g, const Name& old_name, const Name& new_name) {
  for (Node* consumer : g.consumers(old_name))
    for (size_t k = 0; k < consumer->inputs().size(); ++k)  // a port change leaves the number of ports
      if (consumer->inputs()[k] == old_name) consumer->set_port(Port::Input, k, new_name);
}

bool bypass(Graph& g, Node& node, const Name& source) {
  const Name out = node.outputs().at(0);
  if (g.has_subgraph_reads() && (g.subgraph_reads().contains(out) || g.subgraph_reads().contains(source)))
    return false;  // a subgraph reads it by name: it stays as it is
  if (!g.is_graph_output(out)) {
    redirect(g, out, source);
    g.remove_node(node);
    return true;
  }
  Node* producer = g.producer(source);
  if (producer == nullptr || g.is_graph_output(source) || g.consumers(source).size() != 1 ||
      g.is_read(out))
    return false;
  g.remove_node(node);
  const Names& outs = producer->outputs();
  const size_t k = static_cast<size_t>(std::find(outs.begin(), outs.end(), source) - outs.begin());
  producer->set_port(Port::Output, k, out);
  redirect(g, source, out);  // a reader of `source` besides `node` (the inner Transpose of a pair)
  return true;
}

namespace {

std::optional<Shape> shape_of(const Graph& g, const Name& t) {
  const InternedShape* s = g.shape(t);
  return s ? *s : std::nullopt;
}

std::optional<std::vector<int64_t>> shape_operand(const Graph& g, const Node& node) {
  if (node.inputs().size() < 2) return std::nullopt;
  const ConstPtr c = g.get_const(node.inputs()[1]);
  if (!c) return std::nullopt;
  return c->to_ints();
}

std::optional<std::vector<int64_t>> perm_of(const Graph& g, const Node& node) {
  const AttrValue* perm = node.attr("perm");
  if (perm && perm->kind == AttrValue::Ints) return perm->ints;
  if (perm && perm->kind != AttrValue::None) throw std::invalid_argument("node '" + node.name + "' has a perm that is no list");
  const std::optional<Shape> s = shape_of(g, node.inputs().at(0));
  if (!s) return std::nullopt;
  std::vector<int64_t> rev(s->size());
  std::iota(rev.rbegin(), rev.rend(), 0);
  return rev;
}

}  // namespace

bool join_reshape_chain(Graph& g, Node& node) {
  Node* inner = g.producer(node.inputs().at(0));
  if (inner == nullptr || inner->op_type != "Reshape"sv || inner == &node) return false;
  const std::optional<Shape> target = shape_of(g, node.outputs().at(0));
  const std::optional<std::vector<int64_t>> operand = shape_operand(g, node);
  if (!target || !operand) return false;
  if (std::find(target->begin(), target->end(), 0) != target->end()) {
    // An empty result: its target is written literally, which needs allowzero (opset 14).
    if (g.opset_version() < 14) return false;
    g.set_attr(node, "allowzero", AttrValue::of_int(1));
  }
  if (*operand != *target) {
    const Name name = g.unique_name(node.inputs()[1] + "_explicit");
    std::string bytes(reinterpret_cast<const char*>(target->data()), target->size() * sizeof(int64_t));
    g.set_const(name, Constant::owned(kInt64, Shape{static_cast<int64_t>(target->size())}, std::move(bytes)));
    node.set_port(Port::Input, 1, name);
  }
  node.set_port(Port::Input, 0, inner->inputs().at(0));
  return true;
}

bool drop_identity_reshape(Graph& g, Node& node) {
  const InternedShape* src = g.shape(node.inputs().at(0));
  const InternedShape* out = g.shape(node.outputs().at(0));
  return src && *src && out && *src == *out && bypass(g, node, node.inputs()[0]);
}

bool cancel_transpose_pair(Graph& g, Node& node) {
  Node* inner = g.producer(node.inputs().at(0));
  if (inner == nullptr || inner->op_type != "Transpose"sv || inner == &node) return false;
  const auto p1 = perm_of(g, *inner), p2 = perm_of(g, node);
  if (!p1 || !p2 || p1->size() != p2->size()) return false;
  for (size_t k = 0; k < p2->size(); ++k) {
    int64_t p = (*p2)[k];
    const auto n = static_cast<int64_t>(p1->size());
    if (p < 0) p += n;
    if (p < 0 || p >= n) throw std::out_of_range("list index out of range");
    if ((*p1)[static_cast<size_t>(p)] != static_cast<int64_t>(k)) return false;
  }
  return bypass(g, node, inner->inputs().at(0));
}

// The nodes no graph output depends on are removed, then the constants no
// node reads.  The walk back from the outputs marks the tensors it reads on
// its way; it and the passes over all nodes and constants ask the memory for
// what they read a few places ahead.
int64_t drop_dead(Graph& g) {
  const uint64_t live = g.new_mark();
  const uint64_t used = g.new_mark();  // the tensors a live node reads, and the graph outputs
  std::vector<Node*> work;  // live nodes, each once, in the order found
  auto use = [&](const Name& t) {
    const Tensor* e = t.empty() ? nullptr : g.tensor(t);
    if (!e) return;
    e->mark = used;
    if (e->producer && !Graph::marked(*e->producer, live)) work.push_back(e->producer);
  };
  for (const Name& t : g.outputs) use(t);
  for (size_t k = 0; k < work.size(); ++k) {  // the list grows as it goes: the memory is asked ahead along it
    g.prefetch_ahead(work, k);
    const Node* node = work[k];
    for (const Name& t : node->inputs()) use(t);
    for (const Name& t : node->outer) use(t);  // what its subgraphs read
  }
  const std::vector<Node*> all = g.unordered_nodes();
  std::vector<NodePtr> dead;
  for (size_t k = 0; k < all.size(); ++k) {
    if (k + 8 < all.size()) __builtin_prefetch(all[k + 8]);
    if (!Graph::has_mark(*all[k], live)) dead.emplace_back(all[k]);
  }
  for (size_t k = 0; k < dead.size(); ++k) {
    g.prefetch_ahead(dead, k);
    g.remove_node(*dead[k]);
  }
  const Names consts = g.consts().list();
  for (size_t k = 0; k < consts.size(); ++k) {
    if (k + 8 < consts.size()) g.prefetch_tensor(consts[k + 8]);
    if (g.tensor(consts[k])->mark != used) g.drop_const(consts[k]);
  }
  return static_cast<int64_t>(dead.size());
}

namespace {

// What drop_dead would remove from a graph that was clean when the clean-up
// log was started, found from the tensors left unread since: a node whose
// outputs only dead nodes read and no graph output names is dead, and so may
// be the writers of what it reads.  Removed in the same order as drop_dead
// removes them (nodes by their slots, then constants in their order).
int64_t drop_dead_since_log(Graph& g) {
  const NameSet graph_outputs(g.outputs.begin(), g.outputs.end());
  const uint64_t dead = g.new_mark();
  auto unread = [&](const Name& t) {  // no live node reads it and it is no graph output
    const Tensor* e = g.tensor(t);
    if (!e || graph_outputs.contains(t)) return false;
    for (const auto& reader : e->consumers)
      if (!Graph::has_mark(*reader.first, dead)) return false;
    return true;
  };
  Names work = g.cleanup_log().unread;
  std::vector<Node*> nodes;
  Names consts;
  const uint64_t seen = g.new_mark();  // tensors looked at
  for (size_t k = 0; k < work.size(); ++k) {
    const Name t = work[k];
    const Tensor* e = g.tensor(t);
    if (!e || e->mark == seen || !unread(t)) continue;
    e->mark = seen;
    if (e->value) {
      consts.push_back(t);
      continue;
    }
    Node* p = e->producer;
    if (!p || Graph::has_mark(*p, dead) ||
        !std::all_of(p->outputs().begin(), p->outputs().end(), [&](const Name& o) { return o.empty() || unread(o); }))
      continue;
    Graph::marked(*p, dead);
    nodes.push_back(p);
    for (const Name& i : p->inputs())
      if (!i.empty()) {
        if (const Tensor* in = g.tensor(i)) in->mark = 0;  // to be looked at again, now that a reader is dead
        work.push_back(i);
      }
  }
  std::vector<std::pair<size_t, Node*>> by_slot;
  for (Node* n : nodes) by_slot.emplace_back(g.slot_of(*n), n);
  std::sort(by_slot.begin(), by_slot.end());
  std::vector<NodePtr> removed;
  for (const auto& [slot, n] : by_slot) removed.emplace_back(n);
  for (const NodePtr& n : removed) g.remove_node(*n);
  std::vector<std::pair<uint32_t, Name>> by_place;
  for (const Name& c : consts)
    if (g.is_const(c) && !g.is_read(c)) by_place.emplace_back(g.tensor(c)->const_place, c);
  std::sort(by_place.begin(), by_place.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [place, c] : by_place) g.drop_const(c);
  return static_cast<int64_t>(removed.size());
}

// Releases the graph's slots when the clean-up's queue is done.
struct HeldSlots {
  Graph& g;
  explicit HeldSlots(Graph& graph) : g(graph) { g.hold_slots(true); }
  ~HeldSlots() { g.hold_slots(false); }
};

}  // namespace

Counts cleanup(Graph& g) {
  // Nothing written since a clean-up that changed nothing: this one would
  // change nothing either, so the walk over every node is skipped.
  if (g.clean_at == g.writes()) {
    g.forget_written();
    return {{"dead nodes dropped", 0}};
  }
  const uint64_t writes_before = g.writes();
  Counts counts;
  auto count = [&](const std::string& label, int64_t n) {
    for (auto& [l, c] : counts)
      if (l == label) {
        c += n;
        return;
      }
    counts.emplace_back(label, n);
  };
  using Step = bool (*)(Graph&, Node&);
  struct Labeled {
    const char* label;
    Step step;
  };
  static const std::vector<Labeled> reshape_steps = {{"reshape chains joined", join_reshape_chain},
                                                     {"identity reshapes dropped", drop_identity_reshape}};
  static const std::vector<Labeled> transpose_steps = {{"transpose pairs cancelled", cancel_transpose_pair}};
  auto steps_of = [&](const Node& n) -> const std::vector<Labeled>* {
    if (n.op_type == "Reshape"sv) return &reshape_steps;
    if (n.op_type == "Transpose"sv) return &transpose_steps;
    return nullptr;
  };
  // The steps ran to a fixpoint at the end of the last clean-up: when the log
  // has followed everything written since, a step can only apply to a node
  // written since, to a reader of what one writes, to a writer or reader of a
  // tensor given a shape, or to a node writing a graph output (a bypass
  // there asks how many read a tensor).  Those go through the queue in the
  // order the whole graph would (by slot), the nodes they queue on the way
  // at their place while it is still ahead, after the rest otherwise.
  const Graph::CleanupLog& log = g.cleanup_log();
  const bool since_log = log.complete && log.outputs == g.outputs;
  HeldSlots held(g);
  const uint64_t queued = g.new_mark();  // a node in the queue has this visit mark
  // The pass: the nodes to look at, by slot; with the log, a heap of those
  // queued on the way while the pass has yet to reach them.
  std::vector<NodePtr> pass;
  std::vector<size_t> pass_slots;  // with the log: each one's slot
  using Placed = std::pair<size_t, NodePtr>;
  auto later_slot = [](const Placed& a, const Placed& b) { return a.first > b.first; };
  std::vector<Placed> ahead;
  std::deque<NodePtr> queue;  // what is queued behind the pass
  if (since_log) {
    std::vector<Placed> found;
    auto candidate = [&](Node* n) {
      if (!g.contains(*n) || !steps_of(*n) || n->visit_ == queued) return;
      n->visit_ = queued;
      found.emplace_back(g.slot_of(*n), NodePtr(n));
    };
    auto with_readers = [&](const Name& t) {
      if (t.empty()) return;
      if (Node* p = g.producer(t)) candidate(p);
      for (Node* c : g.consumers(t)) candidate(c);
    };
    for (const NodePtr& n : log.nodes) {
      if (!g.contains(*n)) continue;
      candidate(n.get());
      for (const Name& o : n->outputs()) with_readers(o);
    }
    for (const Name& t : log.reshaped) with_readers(t);
    for (const Name& t : g.outputs)
      if (Node* p = g.producer(t)) candidate(p);
    std::sort(found.begin(), found.end(), [](const Placed& a, const Placed& b) { return a.first < b.first; });
    for (Placed& f : found) {
      pass_slots.push_back(f.first);
      pass.push_back(std::move(f.second));
    }
  } else {
    for (Node* n : g.unordered_nodes())
      if (steps_of(*n)) {
        pass.emplace_back(n);
        n->visit_ = queued;
      }
  }
  size_t cursor = 0, pass_at = 0;  // the next in the pass, the slot it has reached (with the log)
  // Ask the memory for what the steps read of the nodes ahead of place k: their tensors, the writer of the next one's input.
  auto prefetch_from = [&](const auto& seq, size_t k) {
    g.prefetch_ahead(seq, k);
    if (k + 1 < seq.size() && !seq[k + 1]->inputs().empty())
      if (const Node* inner = g.producer(seq[k + 1]->inputs()[0])) __builtin_prefetch(inner);
  };
  auto next = [&]() -> NodePtr {
    if (!ahead.empty() && (cursor == pass.size() || ahead.front().first < pass_slots[cursor])) {
      std::pop_heap(ahead.begin(), ahead.end(), later_slot);
      Placed p = std::move(ahead.back());
      ahead.pop_back();
      pass_at = p.first;
      return std::move(p.second);
    }
    if (cursor < pass.size()) {
      prefetch_from(pass, cursor);
      if (since_log) pass_at = pass_slots[cursor];
      return std::move(pass[cursor++]);
    }
    prefetch_from(queue, 0);
    NodePtr n = queue.front();
    queue.pop_front();
    return n;
  };
  while (cursor < pass.size() || !ahead.empty() || !queue.empty()) {
    const bool in_pass = cursor < pass.size() || !ahead.empty();
    NodePtr node = next();
    node->visit_ = 0;
    if (!g.contains(*node)) continue;
    for (const Labeled& s : *steps_of(*node)) {
      Names tensors = node->outputs();
      if (!node->inputs().empty()) tensors.push_back(node->inputs()[0]);
      if (!s.step(g, *node)) continue;
      count(s.label, 1);
      std::vector<Node*> readers;
      for (const Name& t : tensors)
        for (Node* c : g.consumers(t)) readers.push_back(c);
      if (g.contains(*node)) readers.push_back(node.get());
      for (Node* n : readers) {
        if (!steps_of(*n) || n->visit_ == queued) continue;
        // Without the log every node with a step was in the pass from the start: one not queued now is behind it.
        const size_t slot = in_pass && since_log ? g.slot_of(*n) : 0;
        if (in_pass && since_log && slot > pass_at) {  // the pass has yet to reach it
          n->visit_ = queued;
          ahead.emplace_back(slot, NodePtr(n));
          std::push_heap(ahead.begin(), ahead.end(), later_slot);
          continue;
        }
        queue.emplace_back(n);
        n->visit_ = queued;
      }
      break;
    }
  }
  // The steps ran to a fixpoint, and what drop_dead removes can only matter to
  // a step through the number of readers of a tensor, which only a Reshape or
  // Transpose writing a graph output asks (bypass): of the output, of the
  // node's input, of the input of the Transpose before it.  While drop_dead
  // leaves those counts as they were, the next clean-up finds nothing unless
  // something is written first.
  auto output_step_reads = [&] {
    std::vector<size_t> reads;
    for (const Name& t : g.outputs) {
      const Node* p = g.producer(t);
      if (!p || !steps_of(*p)) continue;
      reads.push_back(g.consumers(t).size());
      if (p->inputs().empty()) continue;
      reads.push_back(g.consumers(p->inputs()[0]).size());
      const Node* inner = g.producer(p->inputs()[0]);
      if (inner && !inner->inputs().empty()) reads.push_back(g.consumers(inner->inputs()[0]).size());
    }
    return reads;
  };
  const std::vector<size_t> reads_before = output_step_reads();
  const bool log_followed = g.cleanup_log().complete && g.cleanup_log().outputs == g.outputs;
  count("dead nodes dropped", since_log && log_followed ? drop_dead_since_log(g) : drop_dead(g));
  g.forget_written();
  if (g.writes() == writes_before || output_step_reads() == reads_before) g.clean_at = g.writes();
  g.start_cleanup_log();
  return counts;
}

int64_t unshare_constants(Graph& g) {
  int64_t copies = 0;
  const Names consts = g.consts().list();
  for (size_t c = 0; c < consts.size(); ++c) {
    if (c + 8 < consts.size()) g.prefetch_tensor(consts[c + 8]);
    const Name& name = consts[c];
    const Readers& readers = g.tensor(name)->consumers;  // most constants are read once: no node to look at
    if (readers.empty() || (readers.size() == 1 && readers.begin()->second == 1)) continue;
    std::vector<std::pair<Node*, size_t>> reads;
    for (Node* node : g.consumers(name))
      for (size_t k = 0; k < node->inputs().size(); ++k)
        if (node->inputs()[k] == name) reads.emplace_back(node, k);
    for (size_t r = 1; r < reads.size(); ++r) {
      const Name fresh = g.unique_name(name + "_" + reads[r].first->name.str());
      g.set_const(fresh, g.get_const(name));  // constants are immutable: the copy shares the data
      reads[r].first->set_port(Port::Input, reads[r].second, fresh);
      ++copies;
    }
  }
  return copies;
}

int64_t merge_constants(Graph& g) {
  const bool clean = g.clean_at == g.writes();
  int64_t merged = 0;
  std::unordered_map<size_t, std::vector<Name>> seen;  // digest of type, shape and value -> kept names
  auto key_of = [](const Constant& c) {
    return value_digest(c.elem, c.dims, c.has_bytes() ? c.bytes() : std::string_view(c.proto.get()));
  };
  const Names consts = g.consts().list();
  for (size_t k = 0; k < consts.size(); ++k) {
    if (k + 8 < consts.size()) g.prefetch_tensor(consts[k + 8]);  // its slot, then its tensor, then its value
    if (k + 4 < consts.size()) g.prefetch_value(consts[k + 4]);
    if (k + 2 < consts.size())
      if (const Tensor* t = g.tensor(consts[k + 2]); t && t->value) __builtin_prefetch(t->value.get());
    const Name& name = consts[k];
    if (g.is_graph_output(name)) continue;
    const ConstPtr value = g.get_const(name);
    std::vector<Name>& bucket = seen[key_of(*value)];
    Name keep;
    for (const Name& k : bucket) {
      const ConstPtr other = g.get_const(k);
      if (other->elem == value->elem && other->dims == value->dims && other->bytes() == value->bytes() &&
          other->proto == value->proto) {
        keep = k;
        break;
      }
    }
    if (keep.empty()) {
      bucket.push_back(name);
      continue;
    }
    redirect(g, name, keep);
    g.drop_const(name);
    ++merged;
  }
  // A merge gives the clean-up nothing to do: its steps look at the writers
  // of tensors (a constant has none), at shapes and values (a merged constant
  // equals the one kept), and at the readers of a tensor only where a node
  // writes a graph output from a tensor that has a writer.
  if (clean) g.clean_at = g.writes();
  return merged;
}

}  // namespace vexo::graph
