// The rule engine: runs a registration table on the graph to a fixed point.
//
// Entries are indexed by the first op type of their pattern; a pattern of
// several op types is matched along single-consumer edges (the next node must
// be the only consumer and read the previous node's first output as its first
// input).  A table runs in passes: the first visits every node in topological
// order, each later pass only the nodes next to a change of the pass before.
// For a visited node the entries of its op type are tried in table order; the
// first that changes the graph ends the node's turn.  Nodes with a tensor of
// unknown shape are not handed to the rules.  A pass limit and a limit of
// rewrites per node stop a run that would not settle.
//
// Every rule call is a transaction: a rule that raises, or leaves a tensor read
// but not written, a tensor written twice, a cycle or a recorded shape its node
// does not compute, is rolled back exactly and recorded as a failure.
#pragma once

#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "graph.hpp"
#include "guards.hpp"

namespace vexo::graph {

constexpr int kDefaultMaxPasses = 50;
constexpr int kFiresPerNode = 32;  // a node rewritten more often in one table is left as it is

// What calling a rule gave: its two lists, or the failure as reported.
struct RuleOutcome {
  bool failed = false;
  std::string message;
  std::vector<NodePtr> remove, add;
};

// A guard of an entry: a compiled predicate, or one the host asks (EngineHooks::refused_by).
struct EntryGuard {
  std::string name;
  std::vector<std::string> ops;  // op types of the first matched node it looks at; empty: every one
  GuardFn native = nullptr;
  size_t host_index = 0;
};

struct Entry {
  Name name;
  std::vector<std::string> ops;
  bool native = false;  // the rule is compiled code that writes the quantization table only through its host
  std::vector<EntryGuard> guards;  // asked in order before a call
  bool guarded = false;  // a host-wide guard may refuse its calls: ask EngineHooks::refused too
  // A cheap condition every call that could change the graph meets (see
  // conditions.hpp): a call failing it is declined without being made.
  bool (*may_change)(const Graph& g, const std::vector<Node*>& chain) = nullptr;
  std::function<RuleOutcome(const std::vector<Node*>& chain)> call;
};

// Rule calls left out of a run: every call once `stop_after` calls have
// changed the graph, and the calls of the (entry, node name) pairs in `skip`.
struct Limits {
  std::optional<size_t> stop_after;
  std::vector<std::pair<std::string, Name>> skip;
};

struct Failure {
  std::string table, entry;
  Name node;
  std::string message;
};

struct Applied {
  Name table, entry;
  Name node;
  Names removed, added, changed;
};

// The applied calls of a run, shared with the report that outlives the engine.
// A run of 10^5 rewrites keeps them compact: records in blocks (no copy of
// the whole log when it grows), the names of every record in one list.
class AppliedLog {
 public:
  void add(const Applied& a);
  size_t size() const { return records_.size(); }
  Applied at(size_t i) const;

 private:
  struct Record {
    Name table, entry, node;
    size_t first;  // the record's removed, added and changed names, in that order, from names_[first]
    uint32_t removed, added, changed;
  };
  std::deque<Record> records_;
  std::deque<Name> names_;
};

struct TableRun {
  std::string name;
  int passes = 0;
  int64_t calls = 0;
  std::vector<std::pair<std::string, int64_t>> fired;  // in the order entries first fired
  std::string limit_hit;
  double seconds = 0.0;
};

// What the engine needs of its host (the Python side in the converter).
// "IndexError: text", "ValueError: text" or "RuntimeError: text" for a C++ exception, named as
// Python would name it.
std::string describe_cpp_error(std::exception_ptr e);

class EngineHooks {
 public:
  virtual ~EngineHooks() = default;
  virtual void quant_begin(bool native) { (void)native; }
  virtual void quant_commit() {}
  virtual void quant_rollback() {}
  virtual void failed(const Failure& f) { (void)f; }
  // (guard, reason) when a guard refuses the call of `entry` on `chain`.
  virtual std::optional<std::pair<std::string, std::string>> refused(const Entry& entry,
                                                                     const std::vector<Node*>& chain) {
    (void)entry, (void)chain;
    return std::nullopt;
  }
  // The reason the host's guard `index` of `entry` refuses `chain`, or nullopt.
  virtual std::optional<std::string> refused_by(const Entry& entry, size_t index, const std::vector<Node*>& chain) {
    (void)entry, (void)index, (void)chain;
    return std::nullopt;
  }
  // A call a guard refused, reported once per (table, entry, node).
  virtual void declined(const std::string& table, const std::string& entry, const Name& node,
                        const std::pair<std::string, std::string>& why) {
    (void)table, (void)entry, (void)node, (void)why;
  }
  // "Type: text" for an exception that escaped a call (a rule's own errors come preformatted).
  virtual std::string describe_error(std::exception_ptr e) { return describe_cpp_error(e); }
  virtual void progress(const std::string& table, int pass, size_t done, size_t total) {
    (void)table, (void)pass, (void)done, (void)total;
  }
  // An engine whose whole call is replaced (by a subclass in Python): the nodes to
  // revisit, or nullopt when nothing changed; `failures_grew` tells errors from declines.
  virtual bool overrides_call() { return false; }
  virtual std::optional<std::vector<NodePtr>> call_override(const std::string& table, const Entry& entry,
                                                            const std::vector<Node*>& chain, bool* failures_grew) {
    (void)table, (void)entry, (void)chain, (void)failures_grew;
    return std::nullopt;
  }
};

// A rule result that would leave the graph inconsistent.
struct BrokenGraph : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Engine {
 public:
  Engine(Graph& graph, EngineHooks& hooks, int max_passes = kDefaultMaxPasses, bool check_shapes = true)
      : graph_(graph), hooks_(hooks), max_passes_(max_passes), check_shapes_(check_shapes) {}

  TableRun run_table(const std::string& table, const std::vector<Entry>& entries);

  // One rule call as a transaction: the nodes to revisit, or nullopt when
  // nothing changed (declined or failed; `failed` tells which).
  std::optional<std::vector<NodePtr>> call(const std::string& table, const Entry& entry,
                                           const std::vector<Node*>& chain, bool* failed = nullptr);

  std::vector<Failure> failures;
  std::shared_ptr<AppliedLog> applied = std::make_shared<AppliedLog>();
  Limits limits;
  // node name -> (entry, "fired" | "declined" | "error" | "skipped" | "guarded (...)" | why not tried), in
  // the order the entries were first tried, each with its last status; nullptr for a node never tried.
  const std::vector<std::pair<Name, Name>>* attempts_of(const Name& node);

 private:
  // Every attempt as it happens (a record of entry "(every entry)" replaces what
  // the node had): a run appends, the index is built when the attempts are read.
  // An (entry, status) pair is kept once, and a record names it by its place.
  struct Attempt {
    Name node;
    uint32_t outcome;  // place in outcomes_
  };
  std::deque<Attempt> attempt_log_;
  std::vector<std::pair<Name, Name>> outcomes_;
  struct OutcomeHash {
    size_t operator()(const std::pair<const void*, const void*>& p) const {
      return std::hash<const void*>()(p.first) * 31 + std::hash<const void*>()(p.second);
    }
  };
  std::unordered_map<std::pair<const void*, const void*>, uint32_t, OutcomeHash> outcome_places_;
  NameMap<std::vector<std::pair<Name, Name>>> attempts_;
  size_t indexed_ = 0;  // the records of the log already in attempts_
  void index_attempts();

  void check(const std::vector<Node*>& chain, const std::vector<NodePtr>& removed, const std::vector<Node*>& added);
  bool available(const Name& tensor) const;
  // Whether a node is handed to the rules: every tensor it reads or writes of known shape, none empty.
  enum class Ports { Ready, ShapeUnknown, HoldsNothing };
  Ports ports_of(const Node& node) const;
  bool held_back(const std::string& table, const Entry& entry, const std::vector<Node*>& chain);
  void attempt(const Name& node, const Name& entry, const Name& status);
  std::unordered_set<std::string> declined_;  // "table\nentry\nnode" reported once
  std::vector<Node*> live_, touched_;  // working lists of check() and call()

  Graph& graph_;
  EngineHooks& hooks_;
  int max_passes_;
  bool check_shapes_;
};

// The nodes matching `ops` from `node` along single-consumer edges, or nullopt.
std::optional<std::vector<Node*>> match_chain(const Graph& g, Node* node, const std::vector<std::string>& ops);
// The same into `chain`; false when the nodes do not match.
bool match_chain_into(const Graph& g, Node* node, const std::vector<std::string>& ops, std::vector<Node*>& chain);

}  // namespace vexo::graph
