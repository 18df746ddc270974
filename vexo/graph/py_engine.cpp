// Python bindings of the builder and the engine, the rule host handed to
// compiled rule modules, and the module entry of vexo._core.
#include <array>
#include <unordered_map>

#include "builder.hpp"
#include "cleanup.hpp"
#include "conditions.hpp"
#include "engine.hpp"
#include "host_helpers.hpp"
#include "model_io.hpp"
#include "py_common.hpp"
#include "rule_host.hpp"

using namespace std::string_view_literals;

namespace vexo::graph::py_bind {

namespace {

// ---------------------------------------------------------------- handles

host::NodeH* handle(Node* n) { return reinterpret_cast<host::NodeH*>(n); }
Node* node_of_handle(host::NodeH* h) { return reinterpret_cast<Node*>(h); }
host::GraphH* handle(Graph* g) { return reinterpret_cast<host::GraphH*>(g); }
Graph& graph_of_handle(host::GraphH* h) { return *reinterpret_cast<Graph*>(h); }

host::NodeH* retained(Node* n) {
  ++n->refs_;
  return handle(n);
}

// A handle the rule module retained, taken over by a NodePtr.
NodePtr adopt(host::NodeH* h) {
  NodePtr p(node_of_handle(h));
  --p->refs_;
  return p;
}

// ---------------------------------------------------------------- values across the rule host

host::Value value_of(const AttrValue& a) {
  host::Value v;
  switch (a.kind) {
    case AttrValue::None: v.kind = host::Value::None; break;
    case AttrValue::Int:
      v.kind = a.is_bool ? host::Value::Bool : host::Value::Int;
      v.i = a.i;
      break;
    case AttrValue::Float: v.kind = host::Value::Float; v.f = a.f; break;
    case AttrValue::String: v.kind = host::Value::String; v.s = a.s; break;
    case AttrValue::Ints: v.kind = host::Value::Ints; v.ints = a.ints; break;
    case AttrValue::Floats: v.kind = host::Value::Floats; v.floats = a.floats; break;
    case AttrValue::Strings: v.kind = host::Value::Strings; v.strings = a.strings; break;
    case AttrValue::Tensor:
      if (a.tensor->has_bytes()) {
        v.kind = host::Value::Tensor;
        v.elem = a.tensor->elem;
        v.dims = a.tensor->dims;
        v.bytes = std::string(a.tensor->bytes());
      } else {
        v.kind = host::Value::Opaque;
        v.elem = a.tensor->elem;
      }
      break;
    case AttrValue::Raw: v.kind = host::Value::Opaque; break;
  }
  return v;
}

ConstPtr constant_of(const host::Value& v) {
  if (v.kind != host::Value::Tensor) throw std::invalid_argument("a constant must be an array");
  if (static_cast<int64_t>(v.bytes.size()) != element_count(v.dims) * static_cast<int64_t>(elem_size(v.elem)))
    throw std::invalid_argument("an array's data does not fit its shape");
  return Constant::owned(v.elem, v.dims, v.bytes);
}

AttrValue attr_of(const host::Value& v) {
  switch (v.kind) {
    case host::Value::None: return AttrValue::none();
    case host::Value::Bool: return AttrValue::of_int(v.i, true);
    case host::Value::Int: return AttrValue::of_int(v.i);
    case host::Value::Float: return AttrValue::of_float(v.f);
    case host::Value::String: return AttrValue::of_string(v.s);
    case host::Value::Ints: return AttrValue::of_ints(v.ints);
    case host::Value::Floats: return AttrValue::of_floats(v.floats);
    case host::Value::Strings: return AttrValue::of_strings(v.strings);
    case host::Value::Tensor: return AttrValue::of_tensor(constant_of(v));
    default: throw std::invalid_argument("this value cannot be written as an attribute");
  }
}

std::string scalar_bytes(const void* p, size_t n) { return std::string(static_cast<const char*>(p), n); }

// The names handed to the rules last (a node's ports, a built node's output):
// a rule asks about them by text straight after, and finding one here by its
// characters spares hashing the text and a look-up in the pool of names.
class HandedNames {
 public:
  void note(const Name& name) { ring_[next_++ % kSize] = name; }
  Name of(const std::string& text) const {
    for (const Name& n : ring_)
      if (n.str() == text) return n;
    return Name(text);
  }
  Names all_of(const std::vector<std::string>& texts) const {
    Names out;
    out.reserve(texts.size());
    for (const std::string& t : texts) out.push_back(of(t));
    return out;
  }

 private:
  static constexpr size_t kSize = 8;
  std::array<Name, kSize> ring_;
  size_t next_ = 0;
};

// A builder input from a rule: a tensor name, the None marker, or a value made a constant
// as the Python builder makes one (integer lists int64, float lists float32, arrays as they are).
BuildInput build_input(const host::Value& v, const std::string& op_type, size_t k, const HandedNames& handed) {
  switch (v.kind) {
    case host::Value::None: return BuildInput::none();
    case host::Value::String: return BuildInput::tensor(handed.of(v.s));
    case host::Value::Ints:
      return BuildInput::constant(Constant::owned(kInt64, Shape{static_cast<int64_t>(v.ints.size())},
                                                  scalar_bytes(v.ints.data(), v.ints.size() * 8)));
    case host::Value::Floats: {
      if (v.floats.empty()) return BuildInput::constant(Constant::owned(kInt64, Shape{0}, std::string()));
      std::vector<float> f(v.floats.begin(), v.floats.end());
      return BuildInput::constant(
          Constant::owned(kFloat, Shape{static_cast<int64_t>(f.size())}, scalar_bytes(f.data(), f.size() * 4)));
    }
    case host::Value::Tensor: return BuildInput::constant(constant_of(v));
    case host::Value::Int: return BuildInput::constant(Constant::owned(kInt64, Shape{}, scalar_bytes(&v.i, 8)));
    case host::Value::Bool: {
      const uint8_t b = v.i != 0;
      return BuildInput::constant(Constant::owned(kBool, Shape{}, scalar_bytes(&b, 1)));
    }
    case host::Value::Float: {
      const float f = static_cast<float>(v.f);
      return BuildInput::constant(Constant::owned(kFloat, Shape{}, scalar_bytes(&f, 4)));
    }
    default:
      throw py::type_error("Graph.op('" + op_type + "'): input " + std::to_string(k) +
                           " is not a tensor name, None, a list or an array");
  }
}

// ---------------------------------------------------------------- the registry of compiled rules

struct Compiled {
  host::RuleFn fn;
  const void* rule;
  host::ReadyFn ready;
};

std::unordered_map<PyObject*, Compiled>& registry() {
  static auto* r = new std::unordered_map<PyObject*, Compiled>();
  return *r;
}

Graph* exact_graph(py::handle ir) {
  const Classes& c = classes();
  if (!c.ir_graph || Py_TYPE(ir.ptr()) != reinterpret_cast<PyTypeObject*>(c.ir_graph.ptr())) return nullptr;
  return ir.cast<Graph*>();
}

// ---------------------------------------------------------------- the rule host

class CoreHost final : public host::RuleHost {
 public:
  int version() const override { return host::kVersion; }

  host::GraphH* graph_of(void* py_ir) override {
    Graph* g = exact_graph(py::handle(static_cast<PyObject*>(py_ir)));
    return g ? handle(g) : nullptr;
  }
  host::NodeH* node_of(void* py_node, host::GraphH*) override {
    py::handle h(static_cast<PyObject*>(py_node));
    if (!py::isinstance<Node>(h)) return nullptr;
    return retained(h.cast<Node*>());
  }
  void* node_object(host::NodeH* n) override { return py::cast(NodePtr(node_of_handle(n))).release().ptr(); }
  void register_rule(void* py_proc, host::RuleFn fn, const void* rule, host::ReadyFn ready) override {
    auto* p = static_cast<PyObject*>(py_proc);
    Py_INCREF(p);
    registry()[p] = Compiled{fn, rule, ready};
  }

  void retain(host::NodeH* n) override { ++node_of_handle(n)->refs_; }
  void release(host::NodeH* n) override { adopt(n); }
  std::string op_type(host::NodeH* n) override { return node_of_handle(n)->op_type; }
  std::string name(host::NodeH* n) override { return node_of_handle(n)->name; }
  size_t num_ports(host::NodeH* n, bool outputs) override {
    return node_of_handle(n)->ports(outputs ? Port::Output : Port::Input).size();
  }
  const std::string& port(host::NodeH* n, bool outputs, size_t index) override {
    const Name& t = node_of_handle(n)->ports(outputs ? Port::Output : Port::Input).at(index);
    handed_.note(t);
    return t.str();
  }
  void set_port(host::NodeH* n, bool outputs, size_t index, const std::string& t) override {
    node_of_handle(n)->set_port(outputs ? Port::Output : Port::Input, index, handed_.of(t));
  }
  host::NodeH* copy_node(host::NodeH* n) override {
    NodePtr c = node_of_handle(n)->copy();
    return retained(c.get());
  }
  host::NodeH* make_node(const std::string& op, const host::Strings& ins, const host::Strings& outs,
                         const std::string& name) override {
    NodePtr n(new Node(op, graph::names(ins), graph::names(outs), name, is_custom_op(op) ? kCustomDomain : ""));
    return retained(n.get());
  }

  const std::vector<int64_t>* shape(host::GraphH* g, const std::string& t) override {
    const InternedShape* s = graph_of_handle(g).shape(handed_.of(t));
    return s && *s ? &**s : nullptr;
  }
  int32_t dtype(host::GraphH* g, const std::string& t) override { return graph_of_handle(g).dtype(handed_.of(t)); }
  void set_shape(host::GraphH* g, const std::string& t, const host::Ints& s, int32_t dtype) override {
    graph_of_handle(g).set_shape(handed_.of(t), s, dtype);
  }
  bool get_const(host::GraphH* g, const std::string& t, host::Value& out) override {
    const ConstPtr c = graph_of_handle(g).get_const(handed_.of(t));
    if (!c) return false;
    out = value_of(AttrValue::of_tensor(c));
    return true;
  }
  void set_const(host::GraphH* g, const std::string& t, const host::Value& v) override {
    graph_of_handle(g).set_const(handed_.of(t), constant_of(v));
  }
  bool is_const(host::GraphH* g, const std::string& t) override { return graph_of_handle(g).is_const(handed_.of(t)); }
  bool get_attr(host::GraphH*, host::NodeH* n, const std::string& name, host::Value& out) override {
    const AttrValue* v = node_of_handle(n)->attr(name);
    if (!v) return false;
    out = value_of(*v);
    return true;
  }
  void set_attr(host::GraphH* g, host::NodeH* n, const std::string& name, const host::Value& v) override {
    graph_of_handle(g).set_attr(*node_of_handle(n), name, attr_of(v));
  }
  std::vector<host::NodeH*> next_nodes(host::GraphH* g, host::NodeH* n) override {
    return handles(graph_of_handle(g).next_nodes(*node_of_handle(n)));
  }
  std::vector<host::NodeH*> pre_nodes(host::GraphH* g, host::NodeH* n) override {
    return handles(graph_of_handle(g).pre_nodes(*node_of_handle(n)));
  }
  bool is_graph_input(host::GraphH* g, const std::string& t) override {
    return graph_of_handle(g).is_graph_input(handed_.of(t));
  }
  bool is_graph_output(host::GraphH* g, const std::string& t) override {
    return graph_of_handle(g).is_graph_output(handed_.of(t));
  }
  bool dynamic_shapes(host::GraphH* g) override { return graph_of_handle(g).config.dynamic_shapes; }
  std::string unsqueeze_2d_mode(host::GraphH* g) override { return graph_of_handle(g).config.unsqueeze_2d_mode; }
  std::string npu_target(host::GraphH* g) override { return graph_of_handle(g).config.npu_target; }
  int64_t opset_version(host::GraphH* g) override { return graph_of_handle(g).opset_version(); }
  std::string producer_name(host::GraphH* g) override { return graph_of_handle(g).model.producer_name; }
  void append_weight_for_align(host::GraphH* g, const std::string& t) override {
    graph_of_handle(g).append_weight_for_align(handed_.of(t));
  }
  std::string unique_name(host::GraphH* g, const std::string& base) override {
    const Name name = graph_of_handle(g).unique_name(base);
    handed_.note(name);
    return name;
  }

  host::BuilderH* new_builder(host::GraphH* g) override {
    return reinterpret_cast<host::BuilderH*>(new Builder(graph_of_handle(g)));
  }
  void free_builder(host::BuilderH* b) override { delete reinterpret_cast<Builder*>(b); }
  std::string build(host::BuilderH* b, const std::string& op_type, const std::vector<host::Value>& inputs,
                    const std::vector<std::pair<std::string, host::Value>>& kwargs) override {
    std::vector<BuildInput> ins;
    ins.reserve(inputs.size());
    for (size_t k = 0; k < inputs.size(); ++k) ins.push_back(build_input(inputs[k], op_type, k, handed_));
    BuildOptions options;
    std::vector<Attr> attrs;
    for (const auto& [key, v] : kwargs) {
      if (key == "outputs"sv) {
        if (v.kind == host::Value::String) options.outputs = Names{handed_.of(v.s)};
        else if (v.kind == host::Value::Strings) options.outputs = handed_.all_of(v.strings);
        else if (v.kind != host::Value::None) throw py::type_error("Graph.op: outputs must be tensor names");
      } else if (key == "name"sv) {
        if (v.kind == host::Value::String) options.name = handed_.of(v.s);
      } else if (key == "outputs_ref"sv) {
        if (v.kind == host::Value::String) options.outputs_ref = handed_.of(v.s);
        else if (v.kind == host::Value::Strings && !v.strings.empty()) options.outputs_ref = handed_.of(v.strings[0]);
      } else if (v.kind != host::Value::None) {
        attrs.push_back(Attr{key, attr_of(v), {}});
      }
    }
    try {
      const Name made = reinterpret_cast<Builder*>(b)->op(op_type, ins, options, std::move(attrs));
      handed_.note(made);
      return made;
    } catch (const ShapeError& e) {
      throw host_error("ShapeError", e.what());
    }
  }
  std::vector<host::NodeH*> built(host::BuilderH* b) override {
    const std::vector<NodePtr>& nodes = reinterpret_cast<Builder*>(b)->nodes();
    std::vector<host::NodeH*> out;
    out.reserve(nodes.size());
    for (const NodePtr& n : nodes) out.push_back(retained(n.get()));
    return out;
  }

  host::Ints get_reduce_axes(host::GraphH* g, host::NodeH* n) override {
    return reduce_axes(graph_of_handle(g), *node_of_handle(n));
  }
  void set_reduce_axes(host::GraphH* g, host::NodeH* n, const host::Ints& axes) override {
    graph::set_reduce_axes(graph_of_handle(g), *node_of_handle(n), axes);
  }
  int64_t align_sub_c(host::GraphH* g) override { return channel_alignment(graph_of_handle(g)); }
  std::pair<host::Ints, host::Ints> squeeze_broadcast_dims(const host::Ints& a, const host::Ints& b) override {
    return graph::squeeze_broadcast_dims(a, b);
  }
  std::vector<std::pair<host::Ints, host::Ints>> seperate_independent_part_for_reshape(const host::Ints& in,
                                                                                      const host::Ints& out) override {
    return independent_parts(in, out);
  }
  host::GatherPlan gen_gather_for_change_split_shape(const host::Ints& refer, const host::Ints& merged, int64_t axis,
                                                     int64_t new_axis, const host::Ints& chunks,
                                                     const std::string& op_type) override {
    const MergedGather m = gather_for_merged_axes(refer, merged, axis, new_axis, chunks, op_type == "Concat"sv);
    return host::GatherPlan{m.axis, m.index, m.before};
  }
  bool in_reduce_ops(const std::string& op) override { return is_reduce_op(op); }

 private:
  static std::vector<host::NodeH*> handles(const std::vector<Node*>& nodes) {
    std::vector<host::NodeH*> out;
    out.reserve(nodes.size());
    for (Node* n : nodes) out.push_back(retained(n));
    return out;
  }
  static py::error_already_set host_error(const char* type, const std::string& message) {
    py::object cls = py::module_::import("vexo._core").attr(type);
    PyErr_SetString(cls.ptr(), message.c_str());
    return py::error_already_set();
  }

  HandedNames handed_;
};

CoreHost& core_host() {
  static auto* h = new CoreHost();
  return *h;
}

// ---------------------------------------------------------------- calling rules

std::string describe_exception(std::exception_ptr e) {
  try {
    std::rethrow_exception(e);
  } catch (py::error_already_set& x) {
    return python_failure(x);
  } catch (const ShapeError& x) {
    return std::string("ShapeError: ") + x.what();
  } catch (const py::builtin_exception& x) {
    x.set_error();
    py::error_already_set err;
    return python_failure(err);
  } catch (...) {
    return describe_cpp_error(e);
  }
}

// A rule's Python result as two node lists (the checks IrGraph.apply makes).
RuleOutcome outcome_of(Graph& g, py::handle result) {
  RuleOutcome out;
  auto fail = [&](const std::string& m) {
    out.failed = true;
    out.message = m;
    return out;
  };
  if (!(py::isinstance<py::tuple>(result) || py::isinstance<py::list>(result)) || py::len(result) != 2)
    return fail("TypeError: a rule must return a pair (nodes to remove, nodes to add), got " +
                std::string(py::repr(result)));
  py::object remove = result[py::int_(0)], add = result[py::int_(1)];
  auto is_list = [](py::handle x) { return py::isinstance<py::tuple>(x) || py::isinstance<py::list>(x); };
  if (!is_list(remove) || !is_list(add))
    return fail("TypeError: a rule result must hold two lists of nodes, got " +
                std::string(py::str(py::type::of(remove).attr("__name__"))) + " and " +
                std::string(py::str(py::type::of(add).attr("__name__"))));
  py::handle node_proto = imported("onnx", "NodeProto");
  for (py::handle r : remove) {
    if (py::isinstance<Node>(r)) {
      out.remove.push_back(r.cast<NodePtr>());
    } else if (py::isinstance(r, node_proto)) {
      const std::string name = r.attr("name").cast<std::string>();
      Node* n = g.node(name);
      out.remove.push_back(n ? NodePtr(n) : NodePtr(new Node("", {}, {}, name)));
    } else {
      py::object name = py::getattr(r, "name", py::str(""));
      out.remove.push_back(NodePtr(new Node("", {}, {}, py::isinstance<py::str>(name) ? name.cast<std::string>() : "")));
    }
  }
  for (py::handle a : add) {
    NodePtr n = node_from_python(a);
    if (!n) return fail("TypeError: cannot add " + std::string(py::repr(a)) + " to the graph: not a node");
    out.add.push_back(n);
  }
  return out;
}

// A compiled guard as Python sees it: callable as guard(ir, chain) -> reason or None.
struct NativeGuardRef {
  const NativeGuard* guard;
};

struct PyEngine;

struct Hooks final : EngineHooks {
  PyEngine* owner;
  explicit Hooks(PyEngine* o) : owner(o) {}
  void quant_begin(bool native) override;
  void quant_commit() override;
  void quant_rollback() override;
  void failed(const Failure& f) override;
  std::optional<std::pair<std::string, std::string>> refused(const Entry& entry,
                                                             const std::vector<Node*>& chain) override;
  std::optional<std::string> refused_by(const Entry& entry, size_t index, const std::vector<Node*>& chain) override;
  void declined(const std::string& table, const std::string& entry, const Name& node,
                const std::pair<std::string, std::string>& why) override;
  std::string describe_error(std::exception_ptr e) override { return describe_exception(e); }
  void progress(const std::string& table, int pass, size_t done, size_t total) override;
  bool overrides_call() override;
  std::optional<std::vector<NodePtr>> call_override(const std::string& table, const Entry& entry,
                                                    const std::vector<Node*>& chain, bool* failures_grew) override;
};

struct PyEngine {
  py::object ir;
  Graph* graph;
  py::object quant_tab, failures, failure_class, on_progress, call_hook, guards, declines, decline_class;
  bool quant_open = false;
  Hooks hooks{this};
  Engine engine;
  // entry name -> the Python rule, for the call hook
  std::unordered_map<const Entry*, py::object> procs;
  std::vector<py::object> host_guards;  // guards written in Python, by EntryGuard::host_index

  PyEngine(py::object ir_, py::object quant, py::object failures_, py::object failure_cls, int max_passes,
           bool check_shapes, py::object progress)
      : ir(ir_), graph(ir_.cast<Graph*>()), quant_tab(std::move(quant)), failures(std::move(failures_)),
        failure_class(std::move(failure_cls)), on_progress(std::move(progress)),
        engine(*graph, hooks, max_passes, check_shapes) {}

  Entry entry(const std::string& name, const std::vector<std::string>& ops, py::object proc) {
    Entry e;
    e.name = name;
    e.ops = ops;
    auto found = registry().find(proc.ptr());
    const bool native = found != registry().end() && exact_graph(ir) != nullptr && found->second.ready();
    e.native = native;
    if (const NativeCondition* c = condition_of(py::str(py::getattr(proc, "__module__", py::str())),
                                                py::str(py::getattr(proc, "__name__", py::str()))))
      e.may_change = c->fn;
    const Compiled compiled = native ? found->second : Compiled{nullptr, nullptr, nullptr};
    e.call = [this, proc, native, compiled](const std::vector<Node*>& chain) -> RuleOutcome {
      if (native) {
        constexpr size_t kInline = 8;  // chains are a few nodes long
        host::NodeH* inline_handles[kInline];
        std::vector<host::NodeH*> more;
        host::NodeH** handles = inline_handles;
        if (chain.size() > kInline) {
          more.resize(chain.size());
          handles = more.data();
        }
        for (size_t k = 0; k < chain.size(); ++k) handles[k] = handle(chain[k]);
        host::Outcome o = compiled.fn(compiled.rule, handle(graph), handles, chain.size(), quant_tab.ptr());
        if (o.status != host::Outcome::NotNative) {
          RuleOutcome r;
          r.failed = o.status == host::Outcome::Failed;
          r.message = std::move(o.message);
          for (host::NodeH* h : o.remove) r.remove.push_back(adopt(h));
          for (host::NodeH* h : o.add) r.add.push_back(adopt(h));
          return r;
        }
      }
      return call_python(proc, chain);
    };
    return e;
  }

  RuleOutcome call_python(const py::object& proc, const std::vector<Node*>& chain) {
    py::list nodes;
    for (Node* n : chain) nodes.append(py::cast(NodePtr(n)));
    try {
      py::object result = proc(ir, nodes, quant_tab);
      return outcome_of(*graph, result);
    } catch (py::error_already_set& e) {
      RuleOutcome r;
      r.failed = true;
      r.message = python_failure(e);
      return r;
    }
  }

  std::vector<Entry> entries(py::dict table) {
    std::vector<Entry> out;
    for (auto [k, v] : table) {
      py::object proc = v[py::str("proc")];
      std::vector<std::string> ops;
      for (py::handle op : v[py::str("ops")]) ops.push_back(op.cast<std::string>());
      out.push_back(entry(py::str(k), ops, proc));
    }
    return out;
  }

  // `guard` is a host-wide guard function (rule name, ir, chain) -> (guard, reason) or None asked for the
  // entries named in `guarded`; `guard_lists` maps an entry to its guards [(name, op types, predicate)],
  // a predicate being a compiled guard (NativeGuardRef) or a Python callable (ir, chain) -> reason or None.
  py::tuple run_table(const std::string& name, py::dict table, py::object hook, py::object guard,
                      const std::vector<std::string>& guarded, py::dict guard_lists) {
    call_hook = std::move(hook);
    guards = std::move(guard);
    host_guards.clear();
    std::vector<Entry> list = entries(table);
    procs.clear();
    size_t k = 0;
    for (auto [key, v] : table) procs[&list[k++]] = v[py::str("proc")];
    for (Entry& e : list) {
      e.guarded = !guards.is_none() && std::find(guarded.begin(), guarded.end(), e.name.str()) != guarded.end();
      if (!guard_lists.contains(py::str(e.name))) continue;
      for (py::handle item : guard_lists[py::str(e.name)]) {
        EntryGuard g;
        g.name = py::str(item[py::int_(0)]);
        for (py::handle op : item[py::int_(1)]) g.ops.push_back(op.cast<std::string>());
        py::object predicate = item[py::int_(2)];
        if (py::isinstance<NativeGuardRef>(predicate)) {
          g.native = predicate.cast<const NativeGuardRef&>().guard->fn;
        } else {
          g.host_index = host_guards.size();
          host_guards.push_back(predicate);
        }
        e.guards.push_back(std::move(g));
      }
    }
    TableRun run = engine.run_table(name, list);
    call_hook = py::none();
    guards = py::none();
    host_guards.clear();
    return py::make_tuple(run.passes, run.calls, run.fired, run.limit_hit, run.seconds);
  }

  void set_limits(std::optional<size_t> stop_after, const std::vector<std::pair<std::string, std::string>>& skip,
                  py::object declines_list, py::object decline_cls) {
    engine.limits.stop_after = stop_after;
    engine.limits.skip.clear();
    for (const auto& [entry, node] : skip) engine.limits.skip.emplace_back(entry, Name(node));
    declines = std::move(declines_list);
    decline_class = std::move(decline_cls);
  }
};

void Hooks::quant_begin(bool native) {
  owner->quant_open = !native || py::len(owner->quant_tab) > 0;
  if (owner->quant_open) owner->quant_tab.attr("begin")();
}
void Hooks::quant_commit() {
  if (owner->quant_open) owner->quant_tab.attr("commit")();
  owner->quant_open = false;
}
void Hooks::quant_rollback() {
  if (owner->quant_open) owner->quant_tab.attr("rollback")();
  owner->quant_open = false;
}
void Hooks::failed(const Failure& f) {
  owner->failures.attr("append")(owner->failure_class(f.table, f.entry, f.node, f.message));
}
std::optional<std::pair<std::string, std::string>> Hooks::refused(const Entry& entry,
                                                                  const std::vector<Node*>& chain) {
  py::list nodes;
  for (Node* n : chain) nodes.append(py::cast(NodePtr(n)));
  py::object proc = owner->procs.at(&entry);
  py::object why = owner->guards(py::getattr(proc, "__name__", py::str("")), owner->ir, nodes);
  if (why.is_none()) return std::nullopt;
  return std::make_pair(py::str(why[py::int_(0)]).cast<std::string>(), py::str(why[py::int_(1)]).cast<std::string>());
}
std::optional<std::string> Hooks::refused_by(const Entry&, size_t index, const std::vector<Node*>& chain) {
  py::list nodes;
  for (Node* n : chain) nodes.append(py::cast(NodePtr(n)));
  py::object why = owner->host_guards.at(index)(owner->ir, nodes);
  if (why.is_none() || !py::bool_(why)) return std::nullopt;
  return py::str(why).cast<std::string>();
}
void Hooks::declined(const std::string& table, const std::string& entry, const Name& node,
                     const std::pair<std::string, std::string>& why) {
  owner->declines.attr("append")(owner->decline_class(table, entry, node, why.first, why.second));
}
void Hooks::progress(const std::string& table, int pass, size_t done, size_t total) {
  if (!owner->on_progress.is_none()) owner->on_progress(table, pass, done, total);
}
bool Hooks::overrides_call() { return !owner->call_hook.is_none(); }
std::optional<std::vector<NodePtr>> Hooks::call_override(const std::string& table, const Entry& entry,
                                                         const std::vector<Node*>& chain, bool* failures_grew) {
  const size_t before = py::len(owner->failures);
  py::list nodes;
  for (Node* n : chain) nodes.append(py::cast(NodePtr(n)));
  py::object revisit = owner->call_hook(table, entry.name, owner->procs.at(&entry), nodes);
  *failures_grew = py::len(owner->failures) > before;
  if (revisit.is_none()) return std::nullopt;
  std::vector<NodePtr> out;
  for (py::handle n : revisit) out.push_back(n.cast<NodePtr>());
  return out;
}

void bind_builder(py::module_& m) {
  struct PyBuilder {
    py::object ir;
    std::unique_ptr<Builder> builder;
  };
  py::class_<PyBuilder>(m, "Builder", py::dynamic_attr(), "The native node builder (the base of Graph in vexo.api.rules.utils).")
      .def(py::init([](py::object ir) {
             if (!py::isinstance<Graph>(ir))
               throw py::type_error("Graph(ir): ir must be a vexo IrGraph, got " +
                                    std::string(py::str(py::type::of(ir).attr("__name__"))));
             return PyBuilder{ir, std::make_unique<Builder>(*ir.cast<Graph*>())};
           }),
           py::arg("ir"))
      .def_property_readonly("ir", [](const PyBuilder& b) { return b.ir; })
      .def("_op", [](PyBuilder& b, const std::string& op_type, py::list inputs, py::object outputs, py::object name,
                     py::object ref, py::dict attrs) -> py::object {
        std::vector<BuildInput> ins;
        for (py::handle v : inputs) {
          if (v.is_none())
            ins.push_back(BuildInput::none());
          else if (py::isinstance<py::str>(v))
            ins.push_back(BuildInput::tensor(v.cast<std::string>()));
          else
            ins.push_back(BuildInput::constant(from_array(v, "")));
        }
        BuildOptions o;
        if (!outputs.is_none()) o.outputs = outputs.cast<Names>();
        if (!name.is_none()) o.name = name.cast<std::string>();
        if (!ref.is_none()) o.outputs_ref = ref.cast<std::string>();
        std::vector<Attr> a;
        for (auto [k, v] : attrs) {
          const std::string key = py::str(k);
          a.push_back(Attr{key, attr_from_python(v, key, "Graph.op('" + op_type + "')"), {}});
        }
        const std::string linking = b.builder->op(op_type, ins, o, std::move(a));
        if (o.outputs && linking.empty()) return py::none();
        return py::str(linking);
      })
      .def_property_readonly("nodes", [](const PyBuilder& b) {
        py::list out;
        for (const NodePtr& n : b.builder->nodes()) out.append(py::cast(n));
        return out;
      }, "The nodes created so far, in creation order.");
}

void bind_engine_class(py::module_& m) {
  py::class_<AppliedLog, std::shared_ptr<AppliedLog>>(m, "AppliedLog",
                                                    "The applied calls of a run, read one at a time.")
      .def("__len__", &AppliedLog::size)
      .def("__getitem__", [](const AppliedLog& log, size_t i) {
        if (i >= log.size()) throw py::index_error("applied call " + std::to_string(i));
        const Applied a = log.at(i);
        return py::make_tuple(a.table, a.entry, a.node, a.removed, a.added, a.changed);
      });

  py::class_<PyEngine>(m, "Engine", "The native rule engine (vexo.engine.Engine drives it).")
      .def(py::init<py::object, py::object, py::object, py::object, int, bool, py::object>(), py::arg("ir"),
           py::arg("quant_tab"), py::arg("failures"), py::arg("failure_class"), py::arg("max_passes"),
           py::arg("check_shapes"), py::arg("on_progress"))
      .def("run_table", &PyEngine::run_table, py::arg("name"), py::arg("table"), py::arg("call_hook") = py::none(),
           py::arg("guards") = py::none(), py::arg("guarded") = std::vector<std::string>(),
           py::arg("guard_lists") = py::dict())
      .def("set_limits", &PyEngine::set_limits)
      .def("call", [](PyEngine& e, const std::string& table, const std::string& entry_name, py::object rule,
                      py::list chain) -> py::object {
        if (chain.empty()) throw py::value_error("Engine.call: the chain of nodes for entry '" + entry_name + "' is empty");
        std::vector<NodePtr> keep;
        std::vector<Node*> nodes;
        for (py::handle n : chain) {
          keep.push_back(n.cast<NodePtr>());
          nodes.push_back(keep.back().get());
        }
        std::vector<std::string> ops;
        for (Node* n : nodes) ops.push_back(n->op_type);
        const Entry entry = e.entry(entry_name, ops, rule);
        std::optional<std::vector<NodePtr>> revisit = e.engine.call(table, entry, nodes);
        if (!revisit) return py::none();
        py::set out;
        for (const NodePtr& n : *revisit) out.add(py::cast(n));
        return std::move(out);
      })
      .def_property_readonly("applied", [](const PyEngine& e) { return e.engine.applied; })
      .def("attempts_of", [](PyEngine& e, const std::string& node) -> py::object {
        const auto* tried = e.engine.attempts_of(Name(node));
        if (!tried) return py::none();
        py::dict d;
        for (const auto& [entry, status] : *tried) d[py::cast(entry)] = py::cast(status);
        return std::move(d);
      });
}

}  // namespace

std::vector<Inferred> onnx_fallback(const Graph& g, const Node& node) {
  const std::optional<std::string> model = one_node_model(g, node);
  if (!model) return std::vector<Inferred>(node.outputs().size());
  try {
    py::handle infer = imported("onnx.shape_inference", "C").attr("infer_shapes");
    const std::string inferred = py::bytes(infer(py::bytes(*model), false, true, false));
    return inferred_outputs(inferred, node);
  } catch (py::error_already_set&) {
    return std::vector<Inferred>(node.outputs().size());
  }
}

void bind_engine(py::module_& m) {
  bind_builder(m);
  bind_engine_class(m);
  m.def("match_chain", [](const Graph& g, py::handle node, const std::vector<std::string>& ops) -> py::object {
    const auto chain = match_chain(g, node.cast<Node*>(), ops);
    if (!chain) return py::none();
    py::list out;
    for (Node* n : *chain) out.append(py::cast(NodePtr(n)));
    return std::move(out);
  });
  m.def("squeeze_broadcast_dims", &squeeze_broadcast_dims);
  m.def("seperate_independent_part_for_reshape", &independent_parts);
  m.def("gen_gather_for_change_split_shape", [](const Shape& refer, const Shape& merged, int64_t axis,
                                                int64_t new_axis, const std::vector<int64_t>& chunks,
                                                const std::string& op_type) {
    const MergedGather g = gather_for_merged_axes(refer, merged, axis, new_axis, chunks, op_type == "Concat"sv);
    return py::make_tuple(g.axis ? py::object(py::int_(*g.axis)) : py::object(py::none()), g.index, g.before);
  });
  m.def("_set_classes", [](py::object ir_graph, py::object vexo_error) {
    classes().ir_graph = std::move(ir_graph);
    classes().vexo_error = std::move(vexo_error);
  });
  py::class_<NativeGuardRef>(m, "NativeGuard", "A compiled guard: guard(ir, chain) -> the reason it refuses, or None.")
      .def("__call__", [](const NativeGuardRef& g, py::object ir, py::sequence chain) -> py::object {
        if (!py::isinstance<Graph>(ir)) throw py::type_error("a guard reads a vexo._core.Graph, not " +
                                                             std::string(py::str(py::type::of(ir).attr("__name__"))));
        std::vector<NodePtr> keep;
        std::vector<Node*> nodes;
        for (py::handle n : chain) {
          if (!py::isinstance<Node>(n)) throw py::type_error("a guard reads nodes of the graph, not " +
                                                             std::string(py::repr(n)));
          keep.push_back(n.cast<NodePtr>());
          nodes.push_back(keep.back().get());
        }
        if (nodes.empty()) throw py::value_error("a guard reads a chain of at least one node");
        const std::optional<std::string> why = g.guard->fn(ir.cast<const Graph&>(), nodes);
        return why ? py::object(py::str(*why)) : py::object(py::none());
      })
      .def_property_readonly("name", [](const NativeGuardRef& g) { return g.guard->name; })
      .def_property_readonly("doc", [](const NativeGuardRef& g) { return g.guard->doc; })
      .def("__repr__", [](const NativeGuardRef& g) { return std::string("<native guard ") + g.guard->name + ">"; });
  m.def("native_guards", [] {
    py::list out;
    for (const NativeGuard& g : native_guards()) {
      py::list ops;
      for (const char* op : g.ops) ops.append(op);
      out.append(py::make_tuple(g.name, g.rule, ops, NativeGuardRef{&g}));
    }
    return out;
  }, "The compiled guards: (name, rule function, op types, guard), in the order they are asked.");
  m.def("_compiled", [](py::handle proc) { return registry().count(proc.ptr()) > 0; },
        "Whether the engine calls `proc` as a compiled rule, without Python, on the native graph.");
  m.attr("_rule_host") = py::capsule(static_cast<host::RuleHost*>(&core_host()), host::kCapsuleName);
}

}  // namespace vexo::graph::py_bind
