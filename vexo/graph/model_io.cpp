#include "model_io.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <map>
#include <unordered_map>

#include "subgraph.hpp"
#include "wire.hpp"

using namespace std::string_view_literals;

namespace vexo::graph {

namespace {

using wire::Field;
using wire::Reader;
using wire::Writer;

// Field numbers of the ONNX messages read and written here.
namespace model_f {
enum : uint32_t { kIrVersion = 1, kProducerName = 2, kProducerVersion = 3, kDomain = 4, kModelVersion = 5,
                  kDocString = 6, kGraph = 7, kOpsetImport = 8 };
}
namespace graph_f {
enum : uint32_t { kNode = 1, kName = 2, kInitializer = 5, kInput = 11, kOutput = 12, kValueInfo = 13 };
}
namespace node_f {
enum : uint32_t { kInput = 1, kOutput = 2, kName = 3, kOpType = 4, kAttribute = 5, kDomain = 7 };
}
namespace vi_f {
enum : uint32_t { kName = 1, kType = 2 };
}

// ---------------------------------------------------------------- value infos

struct TypeInfo {
  bool tensor = false;
  bool has_shape = false;
  int32_t elem = kUndefined;
  std::optional<Shape> shape;  // nullopt unless every dimension is a number
  std::optional<Dims> dims;    // nullopt when the rank is unknown
};

TypeInfo read_type(std::string_view type) {
  TypeInfo info;
  Reader r(type);
  Field f;
  while (r.next(f)) {
    if (f.number != 1 || f.type != wire::kLength) continue;  // tensor_type
    info.tensor = true;
    Reader t(f.bytes);
    Field g;
    while (t.next(g)) {
      if (g.number == 1) {
        info.elem = static_cast<int32_t>(g.varint);
      } else if (g.number == 2) {
        info.has_shape = true;
        Shape dims;
        Dims known;
        bool all_numbers = true;
        Reader s(g.bytes);
        Field d;
        while (s.next(d)) {
          if (d.number != 1) continue;
          bool has_value = false;
          int64_t value = 0;
          Reader dim(d.bytes);
          Field v;
          while (dim.next(v))
            if (v.number == 1) {
              has_value = true;
              value = wire::as_int64(v);
            }
          if (!has_value) all_numbers = false;
          dims.push_back(value);
          known.push_back(has_value ? std::optional<int64_t>(value) : std::nullopt);
        }
        info.shape = all_numbers ? std::optional<Shape>(dims) : std::nullopt;
        info.dims = std::move(known);
      }
    }
  }
  return info;
}

struct ValueInfo {
  std::string name;
  std::string_view type;
  bool has_type = false;
};

ValueInfo read_value_info(std::string_view bytes) {
  ValueInfo vi;
  Reader r(bytes);
  Field f;
  while (r.next(f)) {
    if (f.number == vi_f::kName) vi.name = std::string(f.bytes);
    if (f.number == vi_f::kType) {
      vi.type = f.bytes;
      vi.has_type = true;
    }
  }
  return vi;
}

// A TypeProto of a tensor; `shape` nullptr: unknown.
std::string type_bytes(int32_t elem, const Shape* shape) {
  Writer tensor;
  if (elem != kUndefined) tensor.int_field(1, elem);
  if (shape) {
    Writer dims;
    for (int64_t d : *shape) {
      Writer dim;
      dim.int_field(1, d);
      dims.bytes_field(1, dim.out());
    }
    tensor.bytes_field(2, dims.out());
  }
  Writer type;
  type.bytes_field(1, tensor.out());
  return std::move(type.out());
}

std::string type_bytes(int32_t elem, const Shape& shape) { return type_bytes(elem, &shape); }
std::string type_bytes(int32_t elem, const InternedShape& shape) { return type_bytes(elem, shape.get()); }

// A TypeProto of a tensor whose rank is known and some extents may not be.
std::string dims_type_bytes(int32_t elem, const Dims* dims) {
  Writer tensor;
  if (elem != kUndefined) tensor.int_field(1, elem);
  if (dims) {
    Writer all;
    for (const std::optional<int64_t>& d : *dims) {
      Writer dim;
      if (d) dim.int_field(1, *d);
      all.bytes_field(1, dim.out());
    }
    tensor.bytes_field(2, all.out());
  }
  Writer type;
  type.bytes_field(1, tensor.out());
  return std::move(type.out());
}

std::string value_info_bytes(const std::string& name, std::string_view type) {
  Writer w;
  w.bytes_field(vi_f::kName, name);
  w.bytes_field(vi_f::kType, type);
  return std::move(w.out());
}

// ---------------------------------------------------------------- the graph message

struct GraphParts {
  std::string_view name;
  bool has_name = false;
  std::vector<std::string_view> nodes, initializers, inputs, outputs, value_infos;
  std::string extras;
};

GraphParts read_graph_parts(std::string_view bytes) {
  GraphParts p;
  Reader r(bytes);
  Field f;
  while (r.next(f)) {
    switch (f.number) {
      case graph_f::kNode: p.nodes.push_back(f.bytes); break;
      case graph_f::kName: p.name = f.bytes; p.has_name = true; break;
      case graph_f::kInitializer: p.initializers.push_back(f.bytes); break;
      case graph_f::kInput: p.inputs.push_back(f.bytes); break;
      case graph_f::kOutput: p.outputs.push_back(f.bytes); break;
      case graph_f::kValueInfo: p.value_infos.push_back(f.bytes); break;
      default: p.extras.append(f.whole); break;
    }
  }
  return p;
}

struct ModelParts {
  std::string_view graph;
  bool has_graph = false;
};

ModelParts read_model_parts(std::string_view bytes, ModelInfo* info) {
  ModelParts p;
  Reader r(bytes);
  Field f;
  while (r.next(f)) {
    switch (f.number) {
      case model_f::kGraph:
        p.graph = f.bytes;
        p.has_graph = true;
        break;
      case model_f::kIrVersion: if (info) info->ir_version = wire::as_int64(f); break;
      case model_f::kProducerName: if (info) info->producer_name = std::string(f.bytes); break;
      case model_f::kProducerVersion: if (info) info->producer_version = std::string(f.bytes); break;
      case model_f::kDomain: if (info) info->domain = std::string(f.bytes); break;
      case model_f::kModelVersion: if (info) info->model_version = wire::as_int64(f); break;
      case model_f::kDocString: if (info) info->doc_string = std::string(f.bytes); break;
      case model_f::kOpsetImport:
        if (info) {
          std::string domain;
          int64_t version = 0;
          Reader o(f.bytes);
          Field g;
          while (o.next(g)) {
            if (g.number == 1) domain = std::string(g.bytes);
            if (g.number == 2) version = wire::as_int64(g);
          }
          info->opset_import.emplace_back(domain, version);
        }
        break;
      default:
        if (info) info->extras.append(f.whole);
    }
  }
  return p;
}

// ---------------------------------------------------------------- nodes

struct NodeParts {
  Names inputs, outputs;
  std::string name, op_type, domain;
  std::vector<std::string_view> attributes;
  std::string extras;
  bool renamed = false;  // given a name the model does not hold
};

NodeParts read_node_parts(std::string_view bytes) {
  NodeParts n;
  Reader r(bytes);
  Field f;
  while (r.next(f)) {
    switch (f.number) {
      case node_f::kInput: n.inputs.emplace_back(f.bytes); break;
      case node_f::kOutput: n.outputs.emplace_back(f.bytes); break;
      case node_f::kName: n.name = std::string(f.bytes); break;
      case node_f::kOpType: n.op_type = std::string(f.bytes); break;
      case node_f::kAttribute: n.attributes.push_back(f.bytes); break;
      case node_f::kDomain: n.domain = std::string(f.bytes); break;
      default: n.extras.append(f.whole); break;
    }
  }
  return n;
}

std::string describe_parts(const NodeParts& n) {
  if (!n.name.empty()) return "node '" + n.name + "' (" + n.op_type + ")";
  return "the " + n.op_type + " node writing '" + (n.outputs.empty() ? std::string() : n.outputs[0].str()) + "'";
}

// The value a Constant node holds, by its first value attribute.
ConstPtr constant_value(const NodeParts& n, const std::shared_ptr<const void>& owner, const std::string& source) {
  for (std::string_view bytes : n.attributes) {
    Attr a;
    try {
      a = read_attribute(bytes, owner);
    } catch (const TensorError& e) {
      throw ModelError(source + ": " + describe_parts(n) + " holds a tensor that cannot be read: " + e.what());
    }
    const AttrValue& v = a.value;
    auto scalar = [](int32_t elem, const std::string& data, Shape dims) {
      return Constant::owned(elem, std::move(dims), data);
    };
    if (a.name == "value"sv && v.kind == AttrValue::Tensor) return v.tensor;
    if (a.name == "value_float"sv && v.kind == AttrValue::Float) {
      const float x = static_cast<float>(v.f);
      return scalar(kFloat, std::string(reinterpret_cast<const char*>(&x), 4), {});
    }
    if (a.name == "value_floats"sv && (v.kind == AttrValue::Floats || v.kind == AttrValue::Ints)) {
      std::vector<float> xs(v.floats.begin(), v.floats.end());
      return scalar(kFloat, std::string(reinterpret_cast<const char*>(xs.data()), xs.size() * 4),
                    {static_cast<int64_t>(xs.size())});
    }
    if (a.name == "value_int"sv && v.kind == AttrValue::Int)
      return scalar(kInt64, std::string(reinterpret_cast<const char*>(&v.i), 8), {});
    if (a.name == "value_ints"sv && v.kind == AttrValue::Ints)
      return scalar(kInt64, std::string(reinterpret_cast<const char*>(v.ints.data()), v.ints.size() * 8),
                    {static_cast<int64_t>(v.ints.size())});
    if (a.name == "value"sv || a.name == "value_float"sv || a.name == "value_floats"sv || a.name == "value_int"sv ||
        a.name == "value_ints"sv)
      break;
  }
  throw ModelError(source + ": Constant node '" + n.name + "' has no value this converter reads");
}

// The node of `parts`, read from `raw`, which lies in `model` (the bytes read).
NodePtr node_from_parts(NodeParts&& parts, std::string_view raw, const SharedBytes& model,
                        const std::shared_ptr<const void>& owner, const std::string& source) {
  std::string domain = parts.domain;
  if (is_custom_op(parts.op_type) && standard_domain(domain)) domain = kCustomDomain;
  NodePtr node(new Node(parts.op_type, std::move(parts.inputs), std::move(parts.outputs), parts.name, domain));
  node->attrs.reserve(parts.attributes.size());
  for (std::string_view bytes : parts.attributes) {
    try {
      node->attrs.push_back(read_attribute(bytes, owner, &model));
    } catch (const TensorError& e) {
      throw ModelError(source + ": " + describe_parts(parts) + " holds a tensor that cannot be read: " + e.what());
    }
  }
  node->extras = std::move(parts.extras);
  if (domain == parts.domain) node->raw = model.slice(raw);
  return node;
}

}  // namespace

// ---------------------------------------------------------------- Pieces

void Pieces::add(std::string bytes) {
  size_ += bytes.size();
  if (!pieces_.empty() && !pieces_.back().keep && pieces_.back().own.size() < (1u << 20)) {
    pieces_.back().own += bytes;
    return;
  }
  pieces_.push_back({std::move(bytes), std::string_view(), nullptr});
}

void Pieces::borrow(std::string_view bytes, ConstPtr keep) {
  if (bytes.size() < 4096) {
    add(std::string(bytes));
    return;
  }
  size_ += bytes.size();
  pieces_.push_back({std::string(), bytes, std::move(keep)});
}

void Pieces::append(Pieces&& other) {
  for (Piece& p : other.pieces_) {
    if (p.keep) {
      size_ += p.view.size();
      pieces_.push_back(std::move(p));
    } else {
      add(std::move(p.own));
    }
  }
  other.pieces_.clear();
  other.size_ = 0;
}

void Pieces::copy_to(char* out) const {
  for (const Piece& p : pieces_) {
    const std::string_view bytes = p.keep ? p.view : std::string_view(p.own);
    std::memcpy(out, bytes.data(), bytes.size());
    out += bytes.size();
  }
}

// ---------------------------------------------------------------- reading

ModelScan scan_model(std::string_view bytes) {
  ModelScan scan;
  ModelInfo info;
  const ModelParts model = read_model_parts(bytes, &info);
  for (const auto& [domain, version] : info.opset_import) scan.opsets.emplace_back(version, domain);
  if (!model.has_graph) return scan;
  scan.has_graph = true;
  const GraphParts g = read_graph_parts(model.graph);
  scan.nodes = g.nodes.size();
  scan.outputs = g.outputs.size();
  std::unordered_set<std::string> seen;
  std::string constant_problem;
  for (std::string_view bytes_of_node : g.nodes) {
    NodeParts n = read_node_parts(bytes_of_node);
    if (seen.insert(n.domain + "\n" + n.op_type).second) scan.op_types.push_back({n.domain, n.op_type, describe_parts(n)});
    if (constant_problem.empty() && n.op_type == "Constant"sv && standard_domain(n.domain))
      for (std::string_view a : n.attributes) {
        try {
          read_attribute(a, nullptr);
        } catch (const TensorError& e) {
          constant_problem = describe_parts(n) + " holds a tensor that cannot be read: " + e.what();
        } catch (const ExternalData&) {
        }
      }
  }
  for (std::string_view t : g.initializers) {
    std::string name;
    try {
      read_tensor(t, nullptr, &name);
    } catch (const TensorError& e) {
      if (scan.unreadable.empty()) scan.unreadable = "initializer '" + name + "' cannot be read: " + e.what();
    } catch (const ExternalData&) {
      scan.external = true;
    }
  }
  if (scan.unreadable.empty()) scan.unreadable = constant_problem;
  return scan;
}

namespace {

// A node's name and op type, as the model gives them (views into its bytes),
// and the name it is given when it has none or one already taken.
struct NodeHead {
  std::string_view name, op_type;
  std::string given;
  const std::string_view named() const { return given.empty() ? name : std::string_view(given); }
};

NodeHead read_node_head(std::string_view bytes) {
  NodeHead h;
  Reader r(bytes);
  Field f;
  while (r.next(f)) {
    if (f.number == node_f::kName) h.name = f.bytes;
    if (f.number == node_f::kOpType) h.op_type = f.bytes;
  }
  return h;
}

// Every node named, and named once, in model order: an unnamed node becomes
// '<op type>_node', a repeated name gets a counter; no name another node of
// the model holds is given out.
void name_nodes(std::vector<NodeHead>& nodes) {
  NameSet existing, taken;
  for (const NodeHead& n : nodes)
    if (!n.name.empty()) existing.insert(Name(n.name));
  std::unordered_map<std::string, int64_t> counters;
  for (NodeHead& n : nodes) {
    if (!n.name.empty() && taken.insert(Name(n.name))) continue;
    const std::string base = n.name.empty() ? std::string(n.op_type) + "_node" : std::string(n.name);
    int64_t& k = counters[base];
    std::string name = base;
    while (taken.count(Name(name)) || existing.count(Name(name))) name = base + "_" + std::to_string(++k);
    n.given = name;
    taken.insert(Name(name));
  }
}

}  // namespace

void read_model(Graph& g, std::string_view bytes, const std::shared_ptr<const void>& owner,
                const ReadOptions& options) {
  const std::string& source = g.config.source;
  const ModelParts model = read_model_parts(bytes, &g.model);
  if (!model.has_graph) throw ModelError(source + ": not an ONNX model (it holds no graph)");
  GraphParts parts = read_graph_parts(model.graph);
  g.model.graph_name = std::string(parts.name);
  g.model.graph_extras = std::move(parts.extras);

  NameSet initializers;
  for (std::string_view t : parts.initializers) {
    std::string name;
    ConstPtr value;
    try {
      value = read_tensor(t, owner, &name);
    } catch (const TensorError& e) {
      throw ModelError(source + ": initializer '" + name + "' cannot be read: " + e.what());
    }
    g.add_loaded_const(name, std::move(value));
    initializers.insert(name);
  }
  std::vector<ValueInfo> ins, outs, infos;
  for (std::string_view v : parts.inputs) ins.push_back(read_value_info(v));
  for (std::string_view v : parts.outputs) outs.push_back(read_value_info(v));
  for (std::string_view v : parts.value_infos) infos.push_back(read_value_info(v));
  for (const ValueInfo& vi : ins)
    if (!initializers.count(vi.name)) g.inputs.push_back(vi.name);
  for (const ValueInfo& vi : outs) g.outputs.push_back(vi.name);
  for (const auto* list : {&ins, &outs})
    for (const ValueInfo& vi : *list) {
      if (!initializers.count(vi.name)) g.io_types[vi.name] = std::string(vi.type);
      const TypeInfo t = read_type(vi.type);
      if (t.tensor && t.has_shape) g.declared[vi.name] = std::string(vi.type);
    }
  for (const ValueInfo& vi : infos) g.value_infos.emplace_back(vi.name, std::string(vi.type));
  for (const auto* list : {&ins, &outs, &infos}) {
    if (!options.record_declared && list != &ins) continue;
    for (const ValueInfo& vi : *list) {
      const TypeInfo t = read_type(vi.type);
      g.record_value_info(vi.name, t.shape, t.tensor ? t.elem : kUndefined, false);
    }
  }

  // The names first; then each node is read and made in turn, so that what
  // reading it takes for a while is freed before the next is read instead of
  // leaving a hole between every two nodes in memory (holes the next steps,
  // ONNX's among them, would fill a piece at a time, all over the heap).
  const SharedBytes source_bytes = SharedBytes::of_buffer(bytes, owner);
  std::vector<NodeHead> heads;
  heads.reserve(parts.nodes.size());
  for (std::string_view raw : parts.nodes) heads.push_back(read_node_head(raw));
  name_nodes(heads);
  std::vector<std::pair<Name, uint32_t>> writers;  // each node output, with its node's place
  for (size_t k = 0; k < heads.size(); ++k) {
    NodeParts n = read_node_parts(parts.nodes[k]);
    n.name = std::string(heads[k].named());
    n.renamed = !heads[k].given.empty();
    const auto who = [&] { return describe_parts(n); };
    for (const Name& o : n.outputs) writers.emplace_back(o, static_cast<uint32_t>(k));
    if (n.op_type == "Constant"sv && standard_domain(n.domain)) {
      if (n.outputs.empty()) throw ModelError(source + ": " + who() + " writes no tensor");
      const Name out = n.outputs[0];
      g.add_loaded_const(out, constant_value(n, owner, source));
      g.constants_read.push_back(out);
      continue;
    }
    const bool renamed = n.renamed;
    NodePtr node = node_from_parts(std::move(n), parts.nodes[k], source_bytes, owner, source);
    if (renamed) node->raw.clear();
    if (has_subgraph(*node)) node->outer = outer_reads(*node);
    g.insert_loaded(node);
  }
  g.check_edges(writers, initializers, [&](uint32_t k) {
    return "node '" + std::string(heads[k].named()) + "' (" + std::string(heads[k].op_type) + ")";
  });
}

void record_inferred(Graph& g, std::string_view inferred_model) {
  const ModelParts model = read_model_parts(inferred_model, nullptr);
  if (!model.has_graph) return;
  const GraphParts parts = read_graph_parts(model.graph);
  for (const auto* list : {&parts.value_infos, &parts.outputs})
    for (std::string_view v : *list) {
      const ValueInfo vi = read_value_info(v);
      const TypeInfo t = read_type(vi.type);
      g.record_value_info(vi.name, t.shape, t.tensor ? t.elem : kUndefined, true);
    }
}

// ---------------------------------------------------------------- light models

bool values_may_decide_shapes(int32_t elem, int64_t count) {
  return (elem_is_integer(elem) && count <= kLightElements) || count <= kShapeFloats;
}

namespace {

// The element type and shape of a TensorProto and whether it is small enough
// to keep in a light model.
bool light_keeps(std::string_view tensor, std::string* name, int32_t* elem, Shape* dims) {
  Reader r(tensor);
  Field f;
  while (r.next(f)) {
    if (f.number == 1) wire::read_repeated_varint(f, *dims);
    if (f.number == 2) *elem = static_cast<int32_t>(f.varint);
    if (f.number == 8) *name = std::string(f.bytes);
  }
  int64_t count;
  try {
    count = element_count(*dims);
  } catch (const TensorError&) {
    return true;
  }
  return values_may_decide_shapes(*elem, count);
}

}  // namespace

std::string light_source_model(std::string_view bytes) {
  Writer out;
  Reader r(bytes);
  Field f;
  while (r.next(f)) {
    if (f.number != model_f::kGraph) {
      out.raw(f.whole);
      continue;
    }
    std::unordered_set<std::string> inputs;
    {
      Reader g(f.bytes);
      Field h;
      while (g.next(h))
        if (h.number == graph_f::kInput) inputs.insert(read_value_info(h.bytes).name);
    }
    Writer graph;
    std::string extra_inputs;
    Reader g(f.bytes);
    Field h;
    while (g.next(h)) {
      if (h.number != graph_f::kInitializer) {
        graph.raw(h.whole);
        continue;
      }
      std::string name;
      int32_t elem = kUndefined;
      Shape dims;
      if (light_keeps(h.bytes, &name, &elem, &dims)) {
        graph.raw(h.whole);
      } else if (!inputs.count(name)) {
        Writer vi;
        vi.bytes_field(graph_f::kInput, value_info_bytes(name, type_bytes(elem, dims)));
        extra_inputs += vi.out();
      }
    }
    graph.raw(extra_inputs);
    out.bytes_field(model_f::kGraph, graph.out());
  }
  return std::move(out.out());
}

// ---------------------------------------------------------------- types

TypeFacts type_facts(std::string_view type) {
  const TypeInfo t = read_type(type);
  return TypeFacts{t.tensor ? t.elem : kUndefined, t.dims};
}

std::optional<Dims> type_dims(std::string_view type) { return read_type(type).dims; }

std::string type_proto(int32_t elem, const Dims* dims) { return dims_type_bytes(elem, dims); }

std::vector<std::pair<Name, std::string>> inferred_types(std::string_view model_bytes) {
  std::vector<std::pair<Name, std::string>> out;
  const ModelParts model = read_model_parts(model_bytes, nullptr);
  if (!model.has_graph) return out;
  const GraphParts parts = read_graph_parts(model.graph);
  for (const auto* list : {&parts.inputs, &parts.value_infos, &parts.outputs})
    for (std::string_view v : *list) {
      const ValueInfo vi = read_value_info(v);
      out.emplace_back(vi.name, std::string(vi.type));
    }
  return out;
}

// ---------------------------------------------------------------- writing

std::string node_proto(const Node& node) {
  if (!node.raw.empty()) return std::string(node.raw.view());
  Writer w;
  for (const Name& t : node.inputs()) w.bytes_field(node_f::kInput, t.str());
  for (const Name& t : node.outputs()) w.bytes_field(node_f::kOutput, t.str());
  if (!node.name.empty()) w.bytes_field(node_f::kName, node.name.str());
  w.bytes_field(node_f::kOpType, node.op_type);
  if (!node.domain.empty()) w.bytes_field(node_f::kDomain, node.domain);
  std::vector<const Attr*> attrs;
  for (const Attr& a : node.attrs) attrs.push_back(&a);
  std::sort(attrs.begin(), attrs.end(), [](const Attr* a, const Attr* b) { return a->name < b->name; });
  std::string body = std::move(w.out());
  for (const Attr* a : attrs) write_attribute(*a, body);
  body += node.extras;
  return body;
}

std::vector<std::pair<std::string, int64_t>> opset_imports(const Graph& g, const std::vector<Node*>& nodes,
                                                           bool as_read) {
  std::vector<std::pair<std::string, int64_t>> out;
  bool standard = false;
  for (const auto& [d, v] : g.model.opset_import) {
    if (d == kCustomDomain) continue;
    out.emplace_back(d, v);
    if (standard_domain(d)) standard = true;
  }
  if (!standard && !as_read) out.emplace_back("", 17);
  if (std::any_of(nodes.begin(), nodes.end(), [](const Node* n) { return n->domain == kCustomDomain; }))
    out.emplace_back(kCustomDomain, 1);
  return out;
}

namespace {

std::string opset_bytes(const std::string& domain, int64_t version) {
  Writer w;
  if (!domain.empty()) w.bytes_field(1, domain);
  w.int_field(2, version);
  return std::move(w.out());
}

// The ValueInfoProto of a tensor: its recorded type, else what the model declares.
std::string tensor_value_info(const Graph& g, const std::string& name) {
  const Tensor* t = g.tensor(name);
  const bool has_shape = t && t->shape;
  auto d = g.declared.find(name);
  if (!has_shape && d != g.declared.end()) return value_info_bytes(name, d->second);
  return value_info_bytes(name, type_bytes(t ? t->dtype : kUndefined, has_shape ? t->shape.get() : nullptr));
}

std::string output_value_info(const Graph& g, const Name& name, const WriteOptions& options) {
  if (options.output_types) {
    auto it = options.output_types->find(name);
    if (it != options.output_types->end()) return value_info_bytes(name, it->second);
  }
  if (options.partial) {
    const Tensor* t = g.tensor(name);
    auto declared = g.io_types.find(name);
    if (!(t && t->shape && t->dtype != kUndefined) && declared != g.io_types.end())
      return value_info_bytes(name, declared->second);
  }
  return tensor_value_info(g, name);
}

bool light_drops(const Constant& c) { return c.has_bytes() && !values_may_decide_shapes(c.elem, c.count()); }

}  // namespace

namespace {

// The GraphProto's fields, in order, handed to `sink` (add: bytes of its own;
// borrow: bytes that stay in a constant's memory).  Deterministic, so that a
// count of the bytes and the writing of them can be two runs.
template <class Sink>
void emit_graph_body(Graph& g, const WriteOptions& options, const std::vector<Node*>& order, Sink& sink) {
  const uint64_t used = g.new_mark();  // the tensors a node reads or the graph outputs
  Names part_consts;  // a part's constants, in the order its nodes read them first
  auto use = [&](const Name& t) {
    const Tensor* e = g.tensor(t);
    if (!e) return;
    if (options.nodes && e->value && e->mark != used) part_consts.push_back(t);
    e->mark = used;
  };
  const Names& graph_outputs = options.outputs ? *options.outputs : g.outputs;
  for (const Name& o : graph_outputs) use(o);
  for (size_t k = 0; k < order.size(); ++k) {
    g.prefetch_ahead(order, k);
    const Node* n = order[k];
    Writer w;
    w.bytes_field(graph_f::kNode, node_proto(*n));
    sink.add(std::move(w.out()));
    for (const Name& t : n->inputs())
      if (!t.empty()) use(t);
  }
  Writer light_inputs;
  auto emit_const = [&](const Name& name) {
    const ConstPtr c = g.get_const(name);
    if (options.light && light_drops(*c)) {
      light_inputs.bytes_field(graph_f::kInput, value_info_bytes(name, type_bytes(c->elem, c->dims)));
      return;
    }
    const std::string head = tensor_head(*c, name);
    const std::string_view data = tensor_data(*c);
    Writer w;
    w.length_prefix(graph_f::kInitializer, head.size() + data.size());
    w.raw(head);
    sink.add(std::move(w.out()));
    sink.borrow(data, c);
  };
  if (options.nodes) {
    for (const Name& name : part_consts) emit_const(name);
  } else {
    g.consts().each([&](const Name& name) {
      if (g.tensor(name)->mark == used) emit_const(name);
    });
  }
  Writer w;
  auto flush = [&] {  // the value infos of a large graph go out in parts
    if (w.out().size() < (size_t{1} << 16)) return;
    sink.add(std::move(w.out()));
    w.out().clear();
  };
  for (const std::string& i : g.inputs) w.bytes_field(graph_f::kInput, tensor_value_info(g, i));
  w.raw(light_inputs.out());
  if (options.extra_inputs)
    for (const auto& [name, type] : *options.extra_inputs) w.bytes_field(graph_f::kInput, value_info_bytes(name, type));
  for (const Name& o : graph_outputs) w.bytes_field(graph_f::kOutput, output_value_info(g, o, options));
  if (options.value_infos)
    for (const auto& [name, type] : *options.value_infos) {
      w.bytes_field(graph_f::kValueInfo, value_info_bytes(name, type));
      flush();
    }
  NameSet graph_io(g.inputs.begin(), g.inputs.end());
  for (const Name& o : graph_outputs) graph_io.insert(o);
  for (size_t k = 0; k < order.size() && !options.bare; ++k) {
    g.prefetch_ahead(order, k);
    const Node* n = order[k];
    for (const Name& o : n->outputs()) {
      if (o.empty() || graph_io.count(o)) continue;
      const Tensor* t = g.tensor(o);
      if (!t || t->dtype == kUndefined) continue;
      if (t->shape) {
        w.bytes_field(graph_f::kValueInfo, value_info_bytes(o, type_bytes(t->dtype, t->shape)));
      } else if (options.partial) {
        w.bytes_field(graph_f::kValueInfo, value_info_bytes(o, dims_type_bytes(t->dtype, options.partial->find(o))));
      }
    }
    flush();
  }
  w.bytes_field(graph_f::kName, g.model.graph_name.empty() ? std::string("vexo") : g.model.graph_name);
  w.raw(g.model.graph_extras);
  sink.add(std::move(w.out()));
}

// The ModelProto's fields before the graph, and the graph's tag and length.
std::string model_head(const Graph& g, const WriteOptions& options, const std::vector<Node*>& order,
                       size_t graph_size) {
  Writer head;
  const int64_t ir = std::max<int64_t>(8, std::min<int64_t>(g.model.ir_version ? g.model.ir_version : 8,
                                                            options.max_ir_version));
  head.int_field(model_f::kIrVersion, ir);
  if (!g.model.producer_name.empty()) head.bytes_field(model_f::kProducerName, g.model.producer_name);
  if (!g.model.producer_version.empty()) head.bytes_field(model_f::kProducerVersion, g.model.producer_version);
  if (!g.model.domain.empty()) head.bytes_field(model_f::kDomain, g.model.domain);
  if (g.model.model_version) head.int_field(model_f::kModelVersion, g.model.model_version);
  if (!g.model.doc_string.empty()) head.bytes_field(model_f::kDocString, g.model.doc_string);
  for (const auto& [d, v] : opset_imports(g, order, options.opsets_as_read))
    head.bytes_field(model_f::kOpsetImport, opset_bytes(d, v));
  head.raw(g.model.extras);
  head.length_prefix(model_f::kGraph, graph_size);
  return std::move(head.out());
}

struct ByteCount {
  size_t size = 0;
  void add(const std::string& bytes) { size += bytes.size(); }
  void borrow(std::string_view bytes, const ConstPtr&) { size += bytes.size(); }
};

struct FileSink {
  std::FILE* f;
  void add(const std::string& bytes) { borrow(bytes, nullptr); }
  void borrow(std::string_view bytes, const ConstPtr&) {
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size())
      throw std::runtime_error("cannot write the model");
  }
};

}  // namespace

Pieces write_model(Graph& g, const WriteOptions& options) {
  const std::vector<Node*> order = options.nodes ? *options.nodes : g.topological_order();
  Pieces graph;
  emit_graph_body(g, options, order, graph);
  Pieces out;
  out.add(model_head(g, options, order, graph.size()));
  out.append(std::move(graph));  // the graph's pieces follow its length prefix
  return out;
}

void write_model(Graph& g, const WriteOptions& options, std::FILE* f) {
  const std::vector<Node*> order = g.topological_order();
  ByteCount count;  // the graph's length comes before it: a first run counts its bytes
  emit_graph_body(g, options, order, count);
  FileSink sink{f};
  sink.add(model_head(g, options, order, count.size));
  emit_graph_body(g, options, order, sink);
}

namespace {

void append_number(std::string& key, int64_t v) {
  char buf[24];
  key.append(buf, static_cast<size_t>(std::to_chars(buf, buf + sizeof(buf), v).ptr - buf));
}

void append_type(std::string& key, int32_t dtype, const Shape* s) {
  append_number(key, dtype);
  key += ':';
  if (!s) {
    key += '?';
    return;
  }
  for (int64_t d : *s) {
    append_number(key, d);
    key += ',';
  }
}

// What makes a node of its own kind for a runtime loading it, written into
// `key` (a buffer kept from node to node); false when the node cannot stand alone.
bool node_kind(const Graph& g, const Node& node, std::string& key) {
  if (!node.outer.empty() || has_subgraph(node)) return false;
  key.clear();
  key.append(node.op_type).append(1, '\n').append(node.domain).append(1, '\n');
  if (node.attrs.size() == 1) {
    write_attribute(node.attrs[0], key);
  } else if (!node.attrs.empty()) {
    std::vector<const Attr*> attrs;
    for (const Attr& a : node.attrs) attrs.push_back(&a);
    std::sort(attrs.begin(), attrs.end(), [](const Attr* a, const Attr* b) { return a->name < b->name; });
    for (const Attr* a : attrs) write_attribute(*a, key);
  }
  for (const Name& t : node.inputs()) {
    key += "\ni:";
    if (t.empty()) continue;
    const Tensor* e = g.tensor(t);
    if (e && e->value) {
      const Constant& c = *e->value;
      key += 'c';
      append_type(key, c.elem, &c.dims);
      if (c.has_bytes() && values_may_decide_shapes(c.elem, c.count())) key.append(tensor_data(c));
      continue;
    }
    if (!e || e->dtype == kUndefined) return false;
    append_type(key, e->dtype, e->shape.get());
  }
  for (const Name& t : node.outputs()) {
    key += "\no:";
    if (t.empty()) continue;
    const Tensor* e = g.tensor(t);
    if (e)
      append_type(key, e->dtype, e->shape.get());
    else
      key += '?';
  }
  return true;
}

}  // namespace

std::optional<std::string> kind_sample_model(Graph& g, int64_t max_ir_version) {
  const std::vector<Node*> order = g.topological_order();
  std::unordered_set<std::string> seen;
  std::vector<Node*> sample;
  std::string kind;
  for (size_t k = 0; k < order.size(); ++k) {
    g.prefetch_ahead(order, k);
    if (!node_kind(g, *order[k], kind)) return std::nullopt;
    if (seen.find(kind) == seen.end()) {
      seen.insert(kind);
      sample.push_back(order[k]);
    }
  }
  Writer graph, inits, inputs, outputs;
  for (size_t k = 0; k < sample.size(); ++k) {
    const Node& n = *sample[k];
    const std::string prefix = "n" + std::to_string(k) + "_";
    Names ins, outs;
    for (size_t i = 0; i < n.inputs().size(); ++i) {
      const Name& t = n.inputs()[i];
      if (t.empty()) {
        ins.emplace_back();
        continue;
      }
      const Name local = prefix + "i" + std::to_string(i);
      ins.push_back(local);
      if (const ConstPtr c = g.get_const(t)) {
        if (light_drops(*c)) {
          inputs.bytes_field(graph_f::kInput, value_info_bytes(local, type_bytes(c->elem, c->dims)));
        } else {
          const std::string head = tensor_head(*c, local);
          const std::string_view data = tensor_data(*c);
          inits.length_prefix(graph_f::kInitializer, head.size() + data.size());
          inits.raw(head);
          inits.raw(data);
        }
        continue;
      }
      const Tensor* e = g.tensor(t);
      inputs.bytes_field(graph_f::kInput, value_info_bytes(local, type_bytes(e->dtype, e->shape)));
    }
    for (size_t o = 0; o < n.outputs().size(); ++o) {
      const Name& t = n.outputs()[o];
      if (t.empty()) {
        outs.emplace_back();
        continue;
      }
      const Name local = prefix + "o" + std::to_string(o);
      outs.push_back(local);
      const Tensor* e = g.tensor(t);
      outputs.bytes_field(graph_f::kOutput, value_info_bytes(local, type_bytes(e ? e->dtype : kUndefined,
                                                                                e ? e->shape.get() : nullptr)));
    }
    NodePtr copy(new Node(n.op_type, ins, outs, Name(prefix + "node"), n.domain));
    copy->attrs = n.attrs;
    graph.bytes_field(graph_f::kNode, node_proto(*copy));
  }
  graph.raw(inits.out());
  graph.raw(inputs.out());
  graph.raw(outputs.out());
  graph.bytes_field(graph_f::kName, "kinds");
  Writer model;
  const int64_t ir = std::max<int64_t>(8, std::min<int64_t>(g.model.ir_version ? g.model.ir_version : 8, max_ir_version));
  model.int_field(model_f::kIrVersion, ir);
  for (const auto& [d, v] : opset_imports(g, sample)) model.bytes_field(model_f::kOpsetImport, opset_bytes(d, v));
  model.bytes_field(model_f::kGraph, graph.out());
  return std::move(model.out());
}

namespace {

bool static_and_typed(const Tensor* t) {
  if (!t || t->dtype == kUndefined || !t->shape) return false;
  return std::all_of(t->shape->begin(), t->shape->end(), [](int64_t d) { return d >= 0; });
}

}  // namespace

bool light_keeps_every_weight(const Graph& g) {
  bool keeps = true;
  g.consts().each([&](const Name& name) { keeps = keeps && !light_drops(*g.get_const(name)); });
  return keeps;
}

bool kinds_stand_for_graph(const Graph& g) {
  const std::vector<Node*> nodes = g.unordered_nodes();
  for (size_t k = 0; k < nodes.size(); ++k) {
    g.prefetch_ahead(nodes, k);
    const Node* n = nodes[k];
    if (!n->outer.empty() || has_subgraph(*n)) return false;
    for (const Name& t : n->inputs()) {
      if (t.empty()) continue;
      const Tensor* e = g.tensor(t);
      if (!(e && e->value) && !static_and_typed(e)) return false;
    }
    for (const Name& t : n->outputs()) {
      if (t.empty()) continue;
      const Tensor* e = g.tensor(t);
      if (!static_and_typed(e)) return false;
      if (elem_is_integer(e->dtype) && e->shape->size() <= 1) return false;
    }
  }
  return true;
}

namespace {

std::string node_label(const Node& n) { return "node '" + n.name.str() + "' (" + n.op_type + ")"; }

bool imported(const std::vector<std::pair<std::string, int64_t>>& opsets, const std::string& domain) {
  return std::any_of(opsets.begin(), opsets.end(), [&](const auto& o) {
    return o.first == domain || (standard_domain(o.first) && standard_domain(domain));
  });
}

}  // namespace

std::string structure_problem(Graph& g) {
  NameSet inputs;
  for (const Name& i : g.inputs) {
    if (i.empty()) return "a graph input has no name";
    if (!inputs.insert(i)) return "graph input '" + i.str() + "' is declared twice";
  }
  // Constants and the outputs of the nodes walked so far carry this mark.
  const uint64_t defined = g.new_mark();
  auto define = [&](const Name& t) {  // false when `t` was defined before
    if (inputs.contains(t)) return false;
    const Tensor* e = g.tensor(t);
    if (e == nullptr) return true;
    const bool fresh = e->mark != defined;
    e->mark = defined;
    return fresh;
  };
  auto is_defined = [&](const Name& t) {
    const Tensor* e = g.tensor(t);
    return inputs.contains(t) || (e && e->mark == defined);
  };
  std::string problem;
  g.consts().each([&](const Name& c) {
    if (c.empty() && problem.empty()) problem = "a constant has no name";
    define(c);  // a constant may also be declared a graph input
  });
  if (!problem.empty()) return problem;
  const std::vector<Node*> order = g.topological_order();
  const auto opsets = opset_imports(g, order);
  for (size_t k = 0; k < order.size(); ++k) {
    g.prefetch_ahead(order, k);
    const Node* n = order[k];
    if (!imported(opsets, n->domain)) return node_label(*n) + " is of domain '" + n->domain + "', which no opset imports";
    for (const Name& t : n->inputs()) {
      if (t.empty() || is_defined(t)) continue;
      return node_label(*n) + " reads '" + t.str() + "', which " +
             (g.producer(t) ? "a later node writes: the nodes are out of order"
                            : "no graph input, constant or earlier node defines");
    }
    for (const Name& o : n->outputs())
      if (!o.empty() && !define(o)) return node_label(*n) + " writes '" + o.str() + "', which is written before";
  }
  for (const Name& o : g.outputs) {
    if (o.empty()) return "a graph output has no name";
    if (!is_defined(o)) return "graph output '" + o.str() + "' is defined by no node, graph input or constant";
  }
  return "";
}

std::optional<std::string> one_node_model(const Graph& g, const Node& node) {
  Writer graph;
  graph.bytes_field(graph_f::kNode, node_proto(node));
  std::unordered_set<std::string> seen;
  for (const std::string& t : node.inputs()) {
    if (t.empty() || !seen.insert(t).second) continue;
    if (const ConstPtr c = g.get_const(t)) {
      const std::string head = tensor_head(*c, t);
      const std::string_view data = tensor_data(*c);
      graph.length_prefix(graph_f::kInitializer, head.size() + data.size());
      graph.raw(head);
      graph.raw(data);
      continue;
    }
    const Tensor* e = g.tensor(t);
    if (!e || !e->shape || e->dtype == kUndefined) return std::nullopt;
    graph.bytes_field(graph_f::kInput, value_info_bytes(t, type_bytes(e->dtype, e->shape)));
  }
  for (const std::string& o : node.outputs())
    if (!o.empty()) graph.bytes_field(graph_f::kOutput, value_info_bytes(o, type_bytes(kUndefined, nullptr)));
  graph.bytes_field(graph_f::kName, "one");
  Writer model;
  model.int_field(model_f::kIrVersion, 8);
  std::vector<Node*> none;
  for (const auto& [d, v] : opset_imports(g, none)) model.bytes_field(model_f::kOpsetImport, opset_bytes(d, v));
  if (node.domain == kCustomDomain) model.bytes_field(model_f::kOpsetImport, opset_bytes(kCustomDomain, 1));
  model.bytes_field(model_f::kGraph, graph.out());
  return std::move(model.out());
}

std::vector<Inferred> inferred_outputs(std::string_view inferred_model, const Node& node) {
  std::map<std::string, Inferred> found;
  const ModelParts model = read_model_parts(inferred_model, nullptr);
  if (model.has_graph) {
    const GraphParts parts = read_graph_parts(model.graph);
    for (const auto* list : {&parts.outputs, &parts.value_infos})
      for (std::string_view v : *list) {
        const ValueInfo vi = read_value_info(v);
        const TypeInfo t = read_type(vi.type);
        found[vi.name] = Inferred{t.shape, t.tensor ? t.elem : kUndefined};
      }
  }
  std::vector<Inferred> out;
  for (const std::string& o : node.outputs()) {
    auto it = found.find(o);
    out.push_back(it == found.end() ? Inferred{} : it->second);
  }
  return out;
}

}  // namespace vexo::graph
