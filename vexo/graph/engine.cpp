#include "engine.hpp"

#include <algorithm>
#include <chrono>
#include <set>
#include <unordered_set>

namespace vexo::graph {

std::string describe_cpp_error(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::out_of_range& x) {
    return std::string("IndexError: ") + x.what();
  } catch (const std::invalid_argument& x) {
    return std::string("ValueError: ") + x.what();
  } catch (const std::exception& x) {
    return std::string("RuntimeError: ") + x.what();
  } catch (...) {
    return "RuntimeError: unknown error";
  }
}

bool match_chain_into(const Graph& g, Node* node, const std::vector<std::string>& ops, std::vector<Node*>& chain) {
  chain.assign(1, node);
  Node* cur = node;
  for (size_t k = 1; k < ops.size(); ++k) {
    Node* next = nullptr;
    size_t readers = 0;
    g.each_next(*cur, [&](Node* c) {
      if (readers++ == 0) next = c;
    });
    if (readers != 1 || next->op_type != ops[k] || next->inputs().empty() || cur->outputs().empty() ||
        next->inputs()[0] != cur->outputs()[0])
      return false;
    cur = next;
    chain.push_back(cur);
  }
  return true;
}

std::optional<std::vector<Node*>> match_chain(const Graph& g, Node* node, const std::vector<std::string>& ops) {
  std::vector<Node*> chain;
  if (!match_chain_into(g, node, ops, chain)) return std::nullopt;
  return chain;
}

bool Engine::available(const Name& t) const {
  return graph_.producer(t) != nullptr || graph_.is_const(t) || graph_.is_graph_input(t);
}

Engine::Ports Engine::ports_of(const Node& node) const {
  bool empty = false;
  for (const Names* ports : {&node.inputs(), &node.outputs()})
    for (const Name& t : *ports) {
      if (t.empty()) continue;
      const Tensor* e = graph_.tensor(t);
      if (!e || (!e->value && !e->shape)) return Ports::ShapeUnknown;
      // An empty tensor holds nothing for the NPU to compute, and before opset 14 a
      // Reshape cannot give one another rank, so the rules leave such nodes alone.
      empty = empty || (!e->value && std::find(e->shape->begin(), e->shape->end(), 0) != e->shape->end());
    }
  return empty ? Ports::HoldsNothing : Ports::Ready;
}

void Engine::attempt(const Name& node, const Name& entry, const Name& status) {
  const auto [place, fresh] =
      outcome_places_.try_emplace({entry.id(), status.id()}, static_cast<uint32_t>(outcomes_.size()));
  if (fresh) outcomes_.emplace_back(entry, status);
  attempt_log_.push_back(Attempt{node, place->second});
}

void AppliedLog::add(const Applied& a) {
  Record r{a.table, a.entry, a.node, names_.size(), static_cast<uint32_t>(a.removed.size()),
           static_cast<uint32_t>(a.added.size()), static_cast<uint32_t>(a.changed.size())};
  for (const Names* part : {&a.removed, &a.added, &a.changed}) names_.insert(names_.end(), part->begin(), part->end());
  records_.push_back(r);
}

Applied AppliedLog::at(size_t i) const {
  const Record& r = records_.at(i);
  Applied a{r.table, r.entry, r.node, {}, {}, {}};
  auto from = names_.begin() + static_cast<std::ptrdiff_t>(r.first);
  for (auto [part, count] : {std::pair{&a.removed, r.removed}, {&a.added, r.added}, {&a.changed, r.changed}}) {
    part->assign(from, from + count);
    from += count;
  }
  return a;
}

namespace {
const Name& every_entry() {
  static const Name name("(every entry)");
  return name;
}
}  // namespace

void Engine::index_attempts() {
  for (; indexed_ < attempt_log_.size(); ++indexed_) {
    const Attempt& a = attempt_log_[indexed_];
    const auto& [entry, status] = outcomes_[a.outcome];
    auto& tried = attempts_[a.node];
    if (entry == every_entry()) {
      tried = {{entry, status}};
      continue;
    }
    auto same = std::find_if(tried.begin(), tried.end(), [&](const auto& t) { return t.first == entry; });
    if (same != tried.end())
      same->second = status;
    else
      tried.emplace_back(entry, status);
  }
}

const std::vector<std::pair<Name, Name>>* Engine::attempts_of(const Name& node) {
  index_attempts();
  return attempts_.find(node);
}

bool Engine::held_back(const std::string& table, const Entry& entry, const std::vector<Node*>& chain) {
  const Name node = chain[0]->name;
  for (const auto& [e, n] : limits.skip)
    if (n == node && e == entry.name.str()) {
      attempt(node, entry.name, Name("skipped"));
      return true;
    }
  if (limits.stop_after && applied->size() >= *limits.stop_after) return true;
  std::optional<std::pair<std::string, std::string>> why;
  for (const EntryGuard& g : entry.guards) {
    if (!g.ops.empty() && std::find(g.ops.begin(), g.ops.end(), chain[0]->op_type) == g.ops.end()) continue;
    std::optional<std::string> reason = g.native ? g.native(graph_, chain) : hooks_.refused_by(entry, g.host_index, chain);
    if (reason && !reason->empty()) {
      why.emplace(g.name, std::move(*reason));
      break;
    }
  }
  if (!why && entry.guarded) why = hooks_.refused(entry, chain);
  if (!why) return false;
  attempt(node, entry.name, Name("guarded (" + why->first + "): " + why->second));
  if (declined_.insert(table + "\n" + entry.name + "\n" + node.str()).second) hooks_.declined(table, entry.name, node, *why);
  return true;
}

void Engine::check(const std::vector<Node*>& chain, const std::vector<NodePtr>& removed,
                   const std::vector<Node*>& added) {
  std::vector<Node*>& live = live_;  // kept from call to call: no allocation per rewrite
  live.clear();
  auto take = [&](Node* n) {
    if (graph_.contains(*n) && std::find(live.begin(), live.end(), n) == live.end()) live.push_back(n);
  };
  for (Node* n : chain) take(n);
  for (Node* n : added) take(n);
  for (const NodePtr& n : graph_.written()) take(n.get());
  for (Node* node : live) {
    for (const Name& t : node->inputs())
      if (!t.empty() && !available(t))
        throw BrokenGraph("node '" + node->name + "' reads tensor '" + t + "', which nothing writes any more");
    for (const Name& t : node->outputs())
      if (!t.empty() && graph_.producer(t) != node)
        throw BrokenGraph("tensor '" + t + "' is written by more than one node");
  }
  for (const NodePtr& node : removed)
    for (const Name& t : node->outputs())
      if (!t.empty() && (graph_.is_read(t) || graph_.is_graph_output(t)) && !available(t))
        throw BrokenGraph("tensor '" + t + "' of removed node '" + node->name + "' is still read");
  if (check_shapes_ && !graph_.shape_conflicts().empty()) {
    const ShapeConflict& c = graph_.shape_conflicts()[0];
    if (!c.message.empty()) throw BrokenGraph(c.message);
    auto text = [](const Shape& s) {
      std::string out = "[";
      for (size_t i = 0; i < s.size(); ++i) out += (i ? ", " : "") + std::to_string(s[i]);
      return out + "]";
    };
    throw BrokenGraph("tensor '" + c.tensor + "' is recorded as " + text(*c.recorded) + " but node '" +
                      c.node->name + "' (" + c.node->op_type + ") computes " + text(*c.computed));
  }
}

std::optional<std::vector<NodePtr>> Engine::call(const std::string& table, const Entry& entry,
                                                 const std::vector<Node*>& chain, bool* failed) {
  if (failed) *failed = false;
  const NodePtr keep_first(chain.at(0));  // the rule may remove the chain; a one-node chain allocates nothing
  const std::vector<NodePtr> keep_rest(chain.begin() + 1, chain.end());
  Graph& g = graph_;
  const uint64_t before = g.changes();
  g.begin();
  hooks_.quant_begin(entry.native);
  RuleOutcome outcome;
  std::vector<Node*> added;
  std::string message;
  try {
    outcome = entry.call(chain);
    if (outcome.failed) {
      message = outcome.message;
    } else {
      if (g.changes() == before && outcome.remove.empty() && outcome.add.empty()) {
        g.commit();
        hooks_.quant_commit();
        return std::nullopt;
      }
      added = g.apply(outcome.remove, outcome.add);
      check(chain, outcome.remove, added);
    }
  } catch (const BrokenGraph& e) {
    message = e.what();
  } catch (const ModelError& e) {
    message = e.what();
  } catch (...) {
    message = hooks_.describe_error(std::current_exception());
    if (message.empty()) message = "RuntimeError: unknown error";
  }
  if (!message.empty()) {
    g.rollback();
    hooks_.quant_rollback();
    Failure f{table, entry.name, chain[0]->name, message};
    failures.push_back(f);
    hooks_.failed(f);
    if (failed) *failed = true;
    return std::nullopt;
  }
  g.commit();
  hooks_.quant_commit();
  if (g.changes() == before) return std::nullopt;

  const std::vector<NodePtr>& written = g.written();
  std::vector<Node*>& touched = touched_;  // kept from call to call
  touched.clear();
  for (Node* n : chain)
    if (g.contains(*n)) touched.push_back(n);
  for (Node* n : added)
    if (g.contains(*n)) touched.push_back(n);
  for (const NodePtr& n : written)
    if (g.contains(*n)) touched.push_back(n.get());
  const uint64_t is_added = g.new_mark();
  for (Node* n : added) n->walk_mark(is_added);
  Applied record{table, entry.name, chain[0]->name, {}, {}, {}};
  record.removed.reserve(outcome.remove.size());
  record.added.reserve(added.size());
  record.changed.reserve(touched.size());
  for (const NodePtr& n : outcome.remove)
    if (!g.contains(*n)) record.removed.push_back(n->name);
  for (Node* n : added)
    if (g.contains(*n)) record.added.push_back(n->name);
  for (Node* n : touched)
    if (!Graph::has_mark(*n, is_added)) record.changed.push_back(n->name);
  std::sort(record.changed.begin(), record.changed.end());
  record.changed.erase(std::unique(record.changed.begin(), record.changed.end()), record.changed.end());
  applied->add(record);

  std::vector<NodePtr> revisit;
  revisit.reserve(touched.size() * 4);  // the touched nodes and about three neighbours each
  const uint64_t seen = g.new_mark();
  auto visit = [&](Node* n) {
    if (!Graph::marked(*n, seen)) revisit.emplace_back(n);
  };
  for (Node* n : touched) visit(n);
  for (Node* n : touched) {
    g.each_pre(*n, visit);
    g.each_next(*n, visit);
  }
  return revisit;
}

namespace {

// The nodes a pass visits, in topological order: every node in the first pass
// (`visit` 0), else those of `revisit` (the nodes next to a change of the pass
// before, marked `visit`) that are still in the graph.
std::vector<NodePtr> pass_order(Graph& g, uint64_t visit, const std::vector<NodePtr>& revisit) {
  std::vector<Node*> nodes;
  if (!visit) {
    nodes = g.topological_order();
  } else {
    nodes.reserve(revisit.size());
    for (const NodePtr& n : revisit)
      if (g.contains(*n) && n->visit_ == visit) nodes.push_back(n.get());
    nodes = g.in_order(std::move(nodes));
  }
  return std::vector<NodePtr>(nodes.begin(), nodes.end());
}

}  // namespace

// At a hundred thousand nodes a pass waits on the memory for every node it
// visits, its port lists and its tensors, one after the other; asked for a few
// nodes ahead, in stages (Graph::prefetch_ahead), the memory brings them while
// the nodes before are looked at.
TableRun Engine::run_table(const std::string& table, const std::vector<Entry>& entries) {
  Graph& g = graph_;
  TableRun run;
  run.name = table;
  const auto start = std::chrono::steady_clock::now();
  std::unordered_map<std::string, std::vector<const Entry*>> index;
  for (const Entry& e : entries)
    if (!e.ops.empty()) index[e.ops[0]].push_back(&e);
  static const Name shape_unknown("not tried: a tensor's shape is unknown"),
      holds_nothing("not tried: a tensor holds no elements"), fired_status("fired"), error_status("error"),
      declined_status("declined");
  NameMap<int> fires;
  int most_fires = 0;  // the highest count in `fires`
  uint64_t visit = 0;         // 0: every node; else the nodes whose visit_ is this
  std::vector<NodePtr> keep;  // holds the nodes to visit while the pass runs
  std::vector<Node*> chain;   // the nodes an entry matches, from the node visited on
  auto fired = [&](const std::string& entry) {
    for (auto& [name, count] : run.fired)
      if (name == entry) {
        ++count;
        return;
      }
    run.fired.emplace_back(entry, 1);
  };
  while (true) {
    if (run.passes >= max_passes_) {
      run.limit_hit = "stopped after " + std::to_string(max_passes_) + " passes with changes still pending";
      break;
    }
    ++run.passes;
    std::vector<NodePtr> order = pass_order(g, visit, keep);
    const uint64_t next_visit = g.new_mark();
    std::vector<NodePtr> changed;
    for (size_t k = 0; k < order.size(); ++k) {
      g.prefetch_ahead(order, k);
      const NodePtr held = std::move(order[k]);  // a node removed in this pass is freed after its turn
      Node* node = held.get();
      if (k % 2000 == 0) hooks_.progress(table, run.passes, k, order.size());
      if (!g.contains(*node)) continue;
      auto found = index.find(node->op_type);
      if (found == index.end()) continue;
      if (most_fires >= kFiresPerNode) {  // until a node reaches the limit, none need be looked up
        const int* f = fires.find(node->name);
        if (f && *f >= kFiresPerNode) continue;
      }
      const Ports ports = ports_of(*node);
      if (ports != Ports::Ready) {
        attempt(node->name, every_entry(), ports == Ports::ShapeUnknown ? shape_unknown : holds_nothing);
        continue;
      }
      const Name node_name = node->name;
      for (const Entry* e : found->second) {
        if (!match_chain_into(g, node, e->ops, chain) || held_back(table, *e, chain)) continue;
        ++run.calls;
        bool failed = false;
        std::optional<std::vector<NodePtr>> revisit;
        if (hooks_.overrides_call())
          revisit = hooks_.call_override(table, *e, chain, &failed);
        else if (!e->may_change || e->may_change(graph_, chain))
          revisit = call(table, *e, chain, &failed);
        attempt(node_name, e->name, revisit ? fired_status : failed ? error_status : declined_status);
        if (revisit) {
          fired(e->name);
          const int count = ++fires[node_name];
          most_fires = std::max(most_fires, count);
          if (count == kFiresPerNode && run.limit_hit.empty())
            run.limit_hit = "node '" + node_name + "' was rewritten " + std::to_string(kFiresPerNode) +
                            " times; left as it is";
          for (const NodePtr& n : *revisit)
            if (n->visit_ != next_visit) {
              n->visit_ = next_visit;
              changed.push_back(n);
            }
          break;
        }
      }
    }
    if (changed.empty()) break;
    visit = next_visit;
    keep = std::move(changed);
  }
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return run;
}

}  // namespace vexo::graph
