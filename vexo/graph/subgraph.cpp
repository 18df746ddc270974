#include "subgraph.hpp"

#include <functional>
#include <unordered_set>

#include "wire.hpp"

namespace vexo::graph {

namespace {

using wire::Field;
using wire::Reader;
using wire::Writer;

// Field numbers of the messages a subgraph is made of.
constexpr uint32_t kAttrName = 1, kAttrGraph = 6, kAttrGraphs = 11;
constexpr uint32_t kGraphNode = 1, kGraphInitializer = 5, kGraphInput = 11, kGraphOutput = 12,
                   kGraphSparseInitializer = 15;
constexpr uint32_t kNodeInput = 1, kNodeOutput = 2, kNodeAttribute = 5;
constexpr uint32_t kInfoName = 1, kTensorName = 8, kSparseValues = 1;

std::string name_field(std::string_view message, uint32_t number) {
  Reader r(message);
  Field f;
  std::string name;
  while (r.next(f))
    if (f.number == number && f.type == wire::kLength) name = std::string(f.bytes);
  return name;
}

// The graphs of an AttributeProto.
std::vector<std::string_view> attribute_graphs(std::string_view attribute) {
  std::vector<std::string_view> out;
  Reader r(attribute);
  Field f;
  while (r.next(f))
    if ((f.number == kAttrGraph || f.number == kAttrGraphs) && f.type == wire::kLength) out.push_back(f.bytes);
  return out;
}

void graph_outer_reads(std::string_view graph, Names& reads);

void node_outer_reads(std::string_view node, std::unordered_set<std::string>& local, Names& reads) {
  Names inner;
  std::vector<std::string> inputs, outputs;
  Reader r(node);
  Field f;
  while (r.next(f)) {
    if (f.type != wire::kLength) continue;
    if (f.number == kNodeInput) inputs.emplace_back(f.bytes);
    if (f.number == kNodeOutput) outputs.emplace_back(f.bytes);
    if (f.number == kNodeAttribute)
      for (std::string_view g : attribute_graphs(f.bytes)) graph_outer_reads(g, inner);
  }
  for (const std::string& t : inputs)
    if (!t.empty() && !local.count(t)) reads.emplace_back(t);
  for (const Name& t : inner)
    if (!t.empty() && !local.count(t)) reads.push_back(t);
  local.insert(outputs.begin(), outputs.end());
}

std::unordered_set<std::string> graph_locals(std::string_view graph) {
  std::unordered_set<std::string> local;
  Reader r(graph);
  Field f;
  while (r.next(f)) {
    if (f.type != wire::kLength) continue;
    if (f.number == kGraphInput) local.insert(name_field(f.bytes, kInfoName));
    if (f.number == kGraphInitializer) local.insert(name_field(f.bytes, kTensorName));
    if (f.number == kGraphSparseInitializer) {
      Reader s(f.bytes);
      Field v;
      while (s.next(v))
        if (v.number == kSparseValues && v.type == wire::kLength) local.insert(name_field(v.bytes, kTensorName));
    }
  }
  return local;
}

void graph_outer_reads(std::string_view graph, Names& reads) {
  std::unordered_set<std::string> local = graph_locals(graph);
  std::vector<std::string> outputs;
  Reader r(graph);
  Field f;
  while (r.next(f)) {
    if (f.type != wire::kLength) continue;
    if (f.number == kGraphNode) node_outer_reads(f.bytes, local, reads);
    if (f.number == kGraphOutput) outputs.push_back(name_field(f.bytes, kInfoName));
  }
  for (const std::string& o : outputs)
    if (!local.count(o)) reads.emplace_back(o);
}

using Resolve = std::function<std::string(const std::string&)>;

std::string renamed_graph(std::string_view graph, const Resolve& resolve);

std::string renamed_attribute(std::string_view attribute, const Resolve& resolve) {
  Writer w;
  Reader r(attribute);
  Field f;
  while (r.next(f)) {
    if ((f.number == kAttrGraph || f.number == kAttrGraphs) && f.type == wire::kLength)
      w.bytes_field(f.number, renamed_graph(f.bytes, resolve));
    else
      w.raw(f.whole);
  }
  return std::move(w.out());
}

std::string renamed_node(std::string_view node, const std::unordered_set<std::string>& local, const Resolve& resolve) {
  Writer w;
  Reader r(node);
  Field f;
  while (r.next(f)) {
    if (f.number == kNodeInput && f.type == wire::kLength) {
      const std::string t(f.bytes);
      w.bytes_field(kNodeInput, t.empty() || local.count(t) ? t : resolve(t));
    } else if (f.number == kNodeAttribute && f.type == wire::kLength && !attribute_graphs(f.bytes).empty()) {
      w.bytes_field(kNodeAttribute, renamed_attribute(f.bytes, resolve));
    } else {
      w.raw(f.whole);
    }
  }
  return std::move(w.out());
}

std::string renamed_value_info(std::string_view info, const Resolve& resolve) {
  Writer w;
  Reader r(info);
  Field f;
  while (r.next(f)) {
    if (f.number == kInfoName && f.type == wire::kLength)
      w.bytes_field(kInfoName, resolve(std::string(f.bytes)));
    else
      w.raw(f.whole);
  }
  return std::move(w.out());
}

// The graph with its reads of outer tensors resolved anew.
std::string renamed_graph(std::string_view graph, const Resolve& resolve) {
  std::unordered_set<std::string> local = graph_locals(graph);
  Writer w;
  std::vector<std::string_view> outputs;
  Reader r(graph);
  Field f;
  while (r.next(f)) {
    if (f.number == kGraphNode && f.type == wire::kLength) {
      w.bytes_field(kGraphNode, renamed_node(f.bytes, local, resolve));
      Reader n(f.bytes);
      Field o;
      while (n.next(o))
        if (o.number == kNodeOutput && o.type == wire::kLength) local.emplace(o.bytes);
    } else if (f.number == kGraphOutput && f.type == wire::kLength) {
      const std::string name = name_field(f.bytes, kInfoName);
      w.bytes_field(kGraphOutput, local.count(name) ? std::string(f.bytes) : renamed_value_info(f.bytes, resolve));
    } else {
      w.raw(f.whole);
    }
  }
  return std::move(w.out());
}

}  // namespace

bool has_subgraph(const Node& node) {
  for (const Attr& a : node.attrs)
    if (a.value.kind == AttrValue::Raw && !attribute_graphs(a.value.s).empty()) return true;
  return false;
}

Names outer_reads(const Node& node) {
  Names reads;
  for (const Attr& a : node.attrs)
    if (a.value.kind == AttrValue::Raw)
      for (std::string_view g : attribute_graphs(a.value.s)) graph_outer_reads(g, reads);
  return reads;
}

void rename_outer(Graph& g, Node& node, const Name& from, const Name& to) {
  const Resolve resolve = [&](const std::string& t) { return t == from.str() ? to.str() : t; };
  std::vector<std::pair<std::string, std::string>> changed;
  for (const Attr& a : node.attrs)
    if (a.value.kind == AttrValue::Raw && !attribute_graphs(a.value.s).empty())
      changed.emplace_back(a.name, renamed_attribute(a.value.s, resolve));
  for (auto& [name, bytes] : changed) g.set_attr(node, name, AttrValue::of_raw(std::move(bytes)));
  node.outer = outer_reads(node);
  g.outer_reads_changed();
}

}  // namespace vexo::graph
