#include "prepare.hpp"

#include <algorithm>
#include <functional>
#include <unordered_set>

#include "model_io.hpp"
#include "wire.hpp"

using namespace std::string_view_literals;

namespace vexo::graph {

namespace {

using wire::Field;
using wire::Reader;
using wire::Writer;

// ---------------------------------------------------------------- shapes

bool is_static(const std::optional<Dims>& dims) {
  return dims && std::all_of(dims->begin(), dims->end(), [](const auto& d) { return d.has_value(); });
}

Shape static_shape(const Dims& dims) {
  Shape s;
  for (const auto& d : dims) s.push_back(*d);
  return s;
}

Dims dims_of(const Shape& s) { return Dims(s.begin(), s.end()); }

ConstPtr int64_vector(const Shape& values) {
  std::string bytes(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(int64_t));
  return Constant::owned(kInt64, Shape{static_cast<int64_t>(values.size())}, std::move(bytes));
}

ConstPtr int64_scalar(int64_t value) {
  return Constant::owned(kInt64, Shape{}, std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

std::string dims_text(const Dims& dims) {
  std::string out = "[";
  for (size_t k = 0; k < dims.size(); ++k) {
    if (k) out += ", ";
    out += dims[k] ? std::to_string(*dims[k]) : "?";
  }
  return out + "]";
}

// The name ONNX gives an element type, in lower case ("float", "int64").
std::string onnx_type_name(int32_t elem) {
  static const char* const names[] = {"undefined", "float", "uint8", "int8", "uint16", "int16", "int32", "int64",
                                      "string", "bool", "float16", "double", "uint32", "uint64", "complex64",
                                      "complex128", "bfloat16", "float8e4m3fn", "float8e4m3fnuz", "float8e5m2",
                                      "float8e5m2fnuz", "uint4", "int4", "float4e2m1"};
  if (elem >= 0 && elem < static_cast<int32_t>(std::size(names))) return names[elem];
  return "type " + std::to_string(elem);
}

bool is_integer_elem(int32_t e) {
  return e == kInt64 || e == kInt32 || e == kInt16 || e == kInt8 || e == kUInt64 || e == kUInt32 || e == kUInt16 ||
         e == kUInt8;
}

// Python's slice of `n` items from `start` to `end` (nullopt: the end), as (first, last + 1).
std::pair<int64_t, int64_t> slice_bounds(int64_t n, int64_t start, std::optional<int64_t> end) {
  auto clamp = [n](int64_t i) {
    if (i < 0) i = std::max<int64_t>(0, i + n);
    return std::min(i, n);
  };
  const int64_t a = clamp(start), b = end ? clamp(*end) : n;
  return {a, std::max(a, b)};
}

std::optional<std::vector<int64_t>> const_ints(const Graph& g, const Name& t) {
  const ConstPtr c = g.get_const(t);
  if (!c) return std::nullopt;
  return c->to_ints();
}

}  // namespace

// ---------------------------------------------------------------- the preparation

Preparation::Preparation(Graph& g, Folder& folder) : g_(g), folder_(folder) {
  for (Node* n : g_.unordered_nodes())
    if (has_subgraph(*n)) with_subgraphs_.emplace_back(n);
  std::unordered_set<Name, NameHash> from_nodes(g_.constants_read.begin(), g_.constants_read.end());
  g_.consts().each([&](const Name& c) {
    if (!from_nodes.count(c)) initializers_.push_back(c);
  });
  // What the model declares of its inputs' shapes, symbolic extents included.
  for (const Name& i : g_.inputs) {
    auto t = g_.io_types.find(i);
    if (t == g_.io_types.end()) continue;
    const std::optional<Dims> d = type_dims(t->second);
    if (d && !is_static(d)) partial_[i] = *d;
  }
}

const Names& Preparation::outer_reads_of(const Node& node) const { return node.outer; }

Names Preparation::reads(const Node& node) const {
  Names out;
  for (const Name& t : node.inputs())
    if (!t.empty()) out.push_back(t);
  for (const Name& t : node.outer) out.push_back(t);
  return out;
}

void Preparation::check_outer_reads() const {
  for (const NodePtr& n : with_subgraphs_)
    for (const Name& t : outer_reads_of(*n))
      if (!g_.producer(t) && !g_.is_const(t) && !g_.is_graph_input(t))
        throw ModelError(g_.config.source + ": " + describe(*n) + " reads tensor '" + t +
                         "', which no node, graph input or initializer provides");
}

std::optional<Dims> Preparation::dims(const Name& t) const {
  if (const ConstPtr c = g_.get_const(t)) return dims_of(c->dims);
  const InternedShape* s = g_.shape(t);
  if (s && *s) return dims_of(**s);
  if (const Dims* d = partial_.find(t)) return *d;
  return std::nullopt;
}

bool Preparation::has_static_shape(const Name& t) const {
  if (g_.is_const(t)) return true;
  const InternedShape* s = g_.shape(t);
  return s && *s;
}

bool Preparation::element_type_known(const Name& t) const { return g_.dtype(t) != kUndefined; }

void Preparation::set_elem(const Name& t, int32_t elem) {
  const InternedShape* s = g_.shape(t);
  g_.set_shape(t, s ? *s : InternedShape(), elem);
}

void Preparation::set_static(const Name& t, const Shape& shape) {
  g_.set_shape(t, shape);
  partial_.erase(t);
}

bool Preparation::is_read(const Name& t) const {
  if (g_.is_read(t) || g_.is_graph_output(t)) return true;
  for (const NodePtr& n : with_subgraphs_) {
    if (!g_.contains(*n)) continue;
    const Names& r = outer_reads_of(*n);
    if (std::find(r.begin(), r.end(), t) != r.end()) return true;
  }
  return false;
}

int64_t Preparation::drop_dead() {
  const std::vector<Node*> order = g_.topological_order();
  const uint64_t live = g_.new_mark();
  auto mark = [&](const Name& t) {
    if (const Tensor* e = g_.tensor(t)) e->mark = live;
  };
  auto is_live = [&](const Name& t) {
    const Tensor* e = g_.tensor(t);
    return e && e->mark == live;
  };
  for (const Name& o : g_.outputs) mark(o);
  std::vector<NodePtr> dead;
  const std::vector<Node*> backwards(order.rbegin(), order.rend());
  for (size_t k = 0; k < backwards.size(); ++k) {
    g_.prefetch_ahead(backwards, k);
    Node* n = backwards[k];
    const bool needed = std::any_of(n->outputs().begin(), n->outputs().end(),
                                    [&](const Name& o) { return !o.empty() && is_live(o); });
    if (!needed) {
      dead.emplace_back(n);
      continue;
    }
    for (const Name& t : reads(*n)) mark(t);
  }
  for (const NodePtr& n : dead) g_.remove_node(*n);
  int64_t removed = static_cast<int64_t>(dead.size());
  std::unordered_set<Name, NameHash> from_nodes;
  if (walks == 0) from_nodes.insert(g_.constants_read.begin(), g_.constants_read.end());
  for (const Name& c : g_.consts().list()) {
    if (is_live(c)) continue;
    g_.drop_const(c);
    if (from_nodes.count(c)) ++removed;  // a Constant node nobody needs, before its walk folded it
  }
  dead_nodes_removed += removed;
  return removed;
}

namespace {

// A tensor's inferred type that a later part can take as a graph input and
// see as the one model would: no value of it can reach a shape.
bool crosses_whole(const std::string& type) {
  const TypeFacts t = type_facts(type);
  return t.elem != kUndefined && is_static(t.dims) && t.dims->size() >= 2;
}

}  // namespace

size_t Preparation::plan_inference(size_t part_nodes) {
  parts_.clear();
  crossing_.clear();
  declared_.reset();
  std::vector<Node*> order = g_.topological_order();
  const size_t n = order.size();
  bool whole = part_nodes == 0 || n < 2 * part_nodes || has_foreign_ops();
  for (size_t k = 0; !whole && k < n; ++k) whole = !order[k]->outer.empty() || has_subgraph(*order[k]);
  for (const Name& o : g_.outputs) whole = whole || g_.producer(o) == nullptr;
  if (whole) {
    parts_.push_back(std::move(order));
    return 1;
  }
  const size_t count = n / part_nodes;
  for (size_t k = 0; k < count; ++k)
    parts_.emplace_back(order.begin() + static_cast<std::ptrdiff_t>(k * n / count),
                        order.begin() + static_cast<std::ptrdiff_t>((k + 1) * n / count));
  return parts_.size();
}

Pieces Preparation::part_model(size_t k, bool first) {
  WriteOptions o;
  o.light = true;
  o.bare = true;
  o.opsets_as_read = true;
  const auto outputs = output_types(first);
  o.output_types = &outputs;
  if (parts_.size() <= 1) {
    const auto infos = foreign_value_infos();
    o.value_infos = &infos;
    return write_model(g_, o);
  }
  const std::vector<Node*>& part = parts_.at(k);
  std::vector<std::pair<Name, std::string>> inputs;
  NameSet taken;
  for (const Node* n : part)
    for (const Name& t : n->inputs()) {
      const Node* p = t.empty() ? nullptr : g_.producer(t);
      if (p && key_less(p, part.front()) && taken.insert(t)) inputs.emplace_back(t, crossing_.at(t));
    }
  Names written_here;
  for (const Name& t : g_.outputs) {
    const Node* p = g_.producer(t);
    if (!key_less(p, part.front()) && !key_less(part.back(), p)) written_here.push_back(t);
  }
  o.nodes = &part;
  o.extra_inputs = &inputs;
  o.outputs = &written_here;
  return write_model(g_, o);
}

int64_t Preparation::record_part(size_t k, std::string_view inferred_model, bool first) {
  const std::vector<std::pair<Name, std::string>> types = inferred_types(inferred_model);
  if (k + 1 < parts_.size()) {
    const Node* last = parts_[k].back();
    NameSet later;  // what later parts read of this one
    for (const Node* n : parts_[k])
      for (const Name& o : n->outputs()) {
        const Tensor* e = o.empty() ? nullptr : g_.tensor(o);
        if (!e) continue;
        for (const auto& reader : e->consumers)
          if (key_less(last, reader.first)) {
            later.insert(o);
            break;
          }
      }
    NameSet found;
    bool whole = true;
    for (const auto& [name, type] : types) {
      if (!later.contains(name)) continue;
      if (!crosses_whole(type)) whole = false;
      found.insert(name);
      crossing_[name] = type;
    }
    if (!whole || found.size() != later.size()) {
      for (size_t j = k + 1; j < parts_.size(); ++j) parts_[k].insert(parts_[k].end(), parts_[j].begin(), parts_[j].end());
      parts_.resize(k + 1);
      return -1;
    }
  }
  return record_types(types, first);
}

int64_t Preparation::record_types(const std::vector<std::pair<Name, std::string>>& types, bool first) {
  if (first && !declared_) {  // once a round, for all its parts
    declared_.emplace();
    for (const auto& [name, type] : g_.value_infos) declared_->insert(name);
    declared_->insert(g_.outputs.begin(), g_.outputs.end());
  }
  int64_t learned = 0;
  for (const auto& [name, type] : types) {
    if (g_.is_const(name)) continue;
    if (first && declared_->count(name)) first_round_[name] = type;
    const TypeFacts t = type_facts(type);
    if (t.dims) {
      const std::optional<Dims> known = dims(name);
      if (!known || (is_static(t.dims) && !is_static(known))) {
        if (is_static(t.dims)) {
          ++learned;
          set_static(name, static_shape(*t.dims));
        } else {
          partial_[name] = *t.dims;
        }
      }
    }
    if (t.elem != kUndefined && !element_type_known(name)) set_elem(name, t.elem);
  }
  return learned;
}

std::string Preparation::declared_contradiction() const {
  std::vector<std::pair<Name, const std::string*>> declared;
  std::unordered_set<Name, NameHash> outputs(g_.outputs.begin(), g_.outputs.end());
  for (const auto& [name, type] : g_.value_infos)
    if (!outputs.count(name)) declared.emplace_back(name, &type);
  for (const Name& o : g_.outputs) {
    auto t = g_.io_types.find(o);
    if (t != g_.io_types.end()) declared.emplace_back(o, &t->second);
  }
  for (const auto& [name, type] : declared) {
    Node* producer = g_.producer(name);
    auto computed = first_round_.find(name);
    if (producer == nullptr || computed == first_round_.end()) continue;
    const TypeFacts d = type_facts(*type), c = type_facts(computed->second);
    if (d.dims && c.dims) {
      bool differ = d.dims->size() != c.dims->size();
      for (size_t k = 0; !differ && k < d.dims->size(); ++k)
        differ = (*d.dims)[k] && (*c.dims)[k] && *(*d.dims)[k] != *(*c.dims)[k];
      if (differ)
        return "tensor '" + name + "' is declared with shape " + dims_text(*d.dims) + ", but " + describe(*producer) +
               " computes " + dims_text(*c.dims);
    }
    if (d.elem != kUndefined && c.elem != kUndefined && d.elem != c.elem)
      return "tensor '" + name + "' is declared as " + onnx_type_name(d.elem) + ", but " + describe(*producer) +
             " computes " + onnx_type_name(c.elem);
  }
  return "";
}

bool Preparation::unknown_shapes_left() const {
  for (Node* n : g_.unordered_nodes())
    for (const Name& o : n->outputs())
      if (!o.empty() && !has_static_shape(o)) return true;
  return false;
}

// ---------------------------------------------------------------- the walk

bool Preparation::walk() {
  bool changed = false;
  const std::vector<Node*> order = g_.topological_order();
  std::vector<NodePtr> keep(order.begin(), order.end());
  for (size_t k = 0; k < keep.size(); ++k) {
    g_.prefetch_ahead(keep, k);
    const NodePtr& node = keep[k];
    if (!g_.contains(*node)) continue;
    if (fold(*node)) {
      changed = true;
      continue;
    }
    infer_node(*node);
    const std::optional<Name> source = passed_through(*node);
    if (source && bypass(*node, *source)) {
      for (auto& [op, n] : noops_removed)
        if (op == node->op_type) {
          ++n;
          goto counted;
        }
      noops_removed.emplace_back(node->op_type, 1);
    counted:
      changed = true;
    }
  }
  if (walks++ == 0) {
    int64_t constants = 0;
    for (const Name& c : g_.constants_read) constants += g_.is_const(c);
    if (constants) folded.insert(folded.begin(), {"Constant", constants});
  }
  return drop_dead() > 0 || changed;
}

bool Preparation::fold(Node& node) {
  if (!standard_domain(node.domain) || has_subgraph(node)) return false;
  std::optional<std::vector<ConstPtr>> values;
  if (node.op_type == "Shape"sv || node.op_type == "Size"sv) {
    values = fold_shape(node);
  } else if (folder_.can_fold(node.op_type)) {
    std::vector<ConstPtr> inputs;
    for (const Name& t : node.inputs()) {
      if (t.empty()) {
        inputs.emplace_back();
        continue;
      }
      ConstPtr c = g_.get_const(t);
      if (!c) return false;
      inputs.push_back(std::move(c));
    }
    values = folder_.fold(g_, node, inputs);
  }
  if (!values) return false;
  const NodePtr keep(&node);
  const Names outputs = node.outputs();
  g_.remove_node(node);
  for (size_t k = 0; k < outputs.size() && k < values->size(); ++k) {
    if (outputs[k].empty() || !(*values)[k]) continue;
    g_.set_const(outputs[k], (*values)[k]);
    partial_.erase(outputs[k]);
  }
  for (auto& [op, n] : folded)
    if (op == node.op_type) {
      ++n;
      return true;
    }
  folded.emplace_back(node.op_type, 1);
  return true;
}

std::optional<std::vector<ConstPtr>> Preparation::fold_shape(const Node& node) const {
  if (node.inputs().empty() || node.outputs().empty()) return std::nullopt;
  const std::optional<Dims> d = dims(node.inputs()[0]);
  if (!d) return std::nullopt;
  if (node.op_type == "Size"sv) {
    if (!is_static(d)) return std::nullopt;
    int64_t count = 1;
    for (const auto& x : *d) {
      if (*x != 0 && count > INT64_MAX / std::max<int64_t>(1, std::abs(*x))) return std::nullopt;
      count *= *x;
    }
    return std::vector<ConstPtr>{int64_scalar(count)};
  }
  const AttrValue* start = node.attr("start");
  const AttrValue* end = node.attr("end");
  const auto [first, last] = slice_bounds(static_cast<int64_t>(d->size()),
                                          start && start->kind == AttrValue::Int ? start->i : 0,
                                          end && end->kind == AttrValue::Int ? std::optional<int64_t>(end->i)
                                                                             : std::nullopt);
  Shape picked;
  for (int64_t k = first; k < last; ++k) {
    if (!(*d)[static_cast<size_t>(k)]) return std::nullopt;
    picked.push_back(*(*d)[static_cast<size_t>(k)]);
  }
  return std::vector<ConstPtr>{int64_vector(picked)};
}

void Preparation::infer_node(const Node& node) {
  bool known = true;
  for (const Name& o : node.outputs())
    if (!o.empty() && !(has_static_shape(o) && element_type_known(o))) known = false;
  if (known) return;
  if (!standard_domain(node.domain) && node.domain != kCustomDomain) return;
  std::vector<Inferred> inferred;
  try {
    inferred = g_.infer(node);
  } catch (const ShapeError& e) {
    throw ModelError(g_.config.source + ": " + e.what());
  }
  const Names& outs = node.outputs();
  for (size_t k = 0; k < outs.size() && k < inferred.size(); ++k) {
    if (outs[k].empty()) continue;
    if (inferred[k].shape && !has_static_shape(outs[k])) set_static(outs[k], *inferred[k].shape);
    if (inferred[k].dtype != kUndefined && !element_type_known(outs[k])) set_elem(outs[k], inferred[k].dtype);
  }
}

std::optional<Name> Preparation::passed_through(const Node& node) const {
  static const std::unordered_set<std::string> same_shape_ops = {"Reshape", "Expand", "Tile", "Squeeze",
                                                                 "Unsqueeze", "Flatten"};
  static const std::unordered_set<std::string> checked = {"Identity", "Dropout", "Cast", "CastLike", "Pad",
                                                          "Transpose", "Slice", "Concat", "Reshape", "Expand",
                                                          "Tile", "Squeeze", "Unsqueeze", "Flatten"};
  const std::string& op = node.op_type;
  if (!checked.count(op) || !standard_domain(node.domain) || has_subgraph(node)) return std::nullopt;
  const Names& ins = node.inputs();
  const Names& outs = node.outputs();
  if (ins.empty() || ins[0].empty() || outs.empty() || outs[0].empty()) return std::nullopt;
  for (size_t k = 1; k < outs.size(); ++k)
    if (!outs[k].empty() && is_read(outs[k])) return std::nullopt;  // a Dropout mask someone reads
  auto same_shape = [&] {
    const std::optional<Dims> a = dims(ins[0]), b = dims(outs[0]);
    return is_static(a) && a == b;
  };
  auto ints_or = [&](size_t i, std::optional<std::vector<int64_t>> absent) -> std::optional<std::vector<int64_t>> {
    if (i >= ins.size()) return absent;
    if (ins[i].empty()) return absent;
    return const_ints(g_, ins[i]);
  };
  bool passes = false;
  if (op == "Identity"sv) {
    passes = true;
  } else if (op == "Dropout"sv) {
    const auto training = ins.size() > 2 ? ints_or(2, std::vector<int64_t>{0}) : std::vector<int64_t>{0};
    passes = training && std::none_of(training->begin(), training->end(), [](int64_t v) { return v != 0; });
  } else if (op == "Cast"sv) {
    const AttrValue* to = node.attr("to");
    passes = to && to->kind == AttrValue::Int && g_.dtype(ins[0]) == to->i;
  } else if (op == "CastLike"sv) {
    passes = ins.size() > 1 && g_.dtype(ins[0]) == g_.dtype(ins[1]);
  } else if (op == "Pad"sv) {
    std::optional<std::vector<int64_t>> pads;
    if (ins.size() > 1) {
      pads = ints_or(1, std::nullopt);
    } else if (const AttrValue* p = node.attr("pads"); p && p->kind == AttrValue::Ints) {
      pads = p->ints;
    }
    passes = pads && std::none_of(pads->begin(), pads->end(), [](int64_t v) { return v != 0; });
  } else if (op == "Transpose"sv) {
    const AttrValue* perm = node.attr("perm");
    if (perm == nullptr || perm->kind == AttrValue::None) {  // no perm reverses the axes
      const std::optional<Dims> d = dims(ins[0]);
      passes = d && d->size() <= 1;
    } else if (perm->kind == AttrValue::Ints) {
      passes = true;
      for (size_t k = 0; k < perm->ints.size(); ++k) passes = passes && perm->ints[k] == static_cast<int64_t>(k);
    }
  } else if (op == "Slice"sv) {
    const auto steps = ins.size() > 4 ? ints_or(4, std::vector<int64_t>{}) : std::vector<int64_t>{};
    passes = steps && std::all_of(steps->begin(), steps->end(), [](int64_t v) { return v == 1; }) && same_shape();
  } else if (op == "Concat"sv) {
    size_t present = 0;
    for (const Name& t : ins) present += !t.empty();
    passes = present == 1;
  } else if (same_shape_ops.count(op)) {
    passes = same_shape();
  }
  if (!passes) return std::nullopt;
  if (op == "Concat"sv)
    for (const Name& t : ins)
      if (!t.empty()) return t;
  return ins[0];
}

void Preparation::redirect_all(const Name& from, const Name& to) {
  redirect(g_, from, to);
  for (const NodePtr& n : with_subgraphs_) {
    if (!g_.contains(*n)) continue;
    const Names& r = outer_reads_of(*n);
    if (std::find(r.begin(), r.end(), from) == r.end()) continue;
    rename_outer(g_, *n, from, to);
  }
}

bool Preparation::bypass(Node& node, const Name& source) {
  const NodePtr keep(&node);
  const Name out = node.outputs()[0];
  if (!g_.is_graph_output(out)) {
    g_.remove_node(node);
    redirect_all(out, source);
    return true;
  }
  if (const ConstPtr value = g_.get_const(source)) {
    g_.remove_node(node);
    g_.set_const(out, value);
    partial_.erase(out);
    return true;
  }
  Node* producer = g_.producer(source);
  if (producer == nullptr || g_.is_graph_output(source)) return false;  // a graph input or output copied
  g_.remove_node(node);
  const Names& outs = producer->outputs();
  const size_t k = static_cast<size_t>(std::find(outs.begin(), outs.end(), source) - outs.begin());
  producer->set_port(Port::Output, k, out);  // the producer writes the graph output itself
  redirect_all(source, out);
  return true;
}

// ---------------------------------------------------------------- the result

void Preparation::keep_declared_output_shapes() {
  for (const Name& o : g_.outputs) {
    if (has_static_shape(o) && element_type_known(o)) continue;
    auto t = g_.io_types.find(o);
    if (t == g_.io_types.end()) continue;
    const std::optional<Dims> d = type_dims(t->second);
    if (is_static(d)) set_static(o, static_shape(*d));
  }
}

void Preparation::constant_outputs() {
  std::unordered_set<Name, NameHash> done;
  for (const Name& o : g_.outputs) {
    if (!g_.is_const(o) || !done.insert(o).second) continue;
    const ConstPtr value = g_.get_const(o);
    g_.drop_const(o);
    NodePtr node(new Node("Constant", {}, {o}, g_.unique_name(o + "_const")));
    node->attrs.push_back(Attr{"value", AttrValue::of_tensor(value), {}});
    g_.add_node(node);
    g_.set_shape(o, value->dims, value->elem);
  }
}

std::vector<UnknownShape> Preparation::unknown_shapes() const {
  std::vector<UnknownShape> out;
  std::unordered_map<Name, std::string, NameHash> origins;  // a tensor on the way of a lost shape -> where
  for (const Name& i : g_.inputs) {
    if (is_static(dims(i))) continue;
    const std::string where = "the graph input '" + i + "'";
    out.push_back({i, "the graph input", where});
    origins[i] = where;
  }
  for (Node* n : g_.topological_order()) {
    const std::string* origin = nullptr;
    for (const Name& t : reads(*n)) {
      auto it = origins.find(t);
      if (it != origins.end()) {
        origin = &it->second;
        break;
      }
    }
    const std::string from = origin ? *origin : std::string();
    for (const Name& o : n->outputs()) {
      if (o.empty()) continue;
      if (!is_static(dims(o))) {
        const std::string where = origin ? from : describe(*n);
        out.push_back({o, describe(*n), where});
        origins[o] = where;
      } else if (origin && is_integer_elem(g_.dtype(o))) {
        origins[o] = from;
      }
    }
  }
  return out;
}

Counts Preparation::not_evaluable() const {
  Counts counts;
  for (Node* n : g_.topological_order()) {
    if (!standard_domain(n->domain) || has_subgraph(*n)) continue;
    if (!std::all_of(n->inputs().begin(), n->inputs().end(),
                     [&](const Name& t) { return t.empty() || g_.is_const(t); }))
      continue;
    auto it = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == n->op_type; });
    if (it == counts.end())
      counts.emplace_back(n->op_type, 1);
    else
      ++it->second;
  }
  return counts;
}

int64_t Preparation::initializers_removed() const {
  int64_t removed = 0;
  for (const Name& c : initializers_) removed += !g_.is_const(c);
  return removed;
}

bool Preparation::has_foreign_ops() const {
  for (Node* n : g_.unordered_nodes())
    if (!standard_domain(n->domain)) return true;
  return false;
}

std::vector<std::pair<Name, std::string>> Preparation::foreign_value_infos() const {
  std::unordered_set<Name, NameHash> outputs;
  for (Node* n : g_.unordered_nodes())
    if (!standard_domain(n->domain)) outputs.insert(n->outputs().begin(), n->outputs().end());
  std::vector<std::pair<Name, std::string>> out;
  for (const auto& [name, type] : g_.value_infos)
    if (outputs.count(name)) out.emplace_back(name, type);
  return out;
}

std::unordered_map<Name, std::string, NameHash> Preparation::output_types(bool first) const {
  std::unordered_map<Name, std::string, NameHash> out;
  for (const Name& o : g_.outputs) {
    int32_t elem = kUndefined;
    if (!first) {
      auto t = g_.io_types.find(o);
      if (t != g_.io_types.end()) elem = type_facts(t->second).elem;
    }
    out[o] = type_proto(elem, nullptr);
  }
  return out;
}

}  // namespace vexo::graph
