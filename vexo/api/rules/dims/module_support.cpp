// Shared pieces of the rule modules' entries (see module_support.hpp).
#include "module_support.hpp"

#include <pybind11/eval.h>

#include <optional>

#include "host_internal.hpp"

namespace py = pybind11;

namespace vexo::dims::entry {

namespace {

// Rules are wrapped in functions defined in Python so that they carry a real
// signature with a default argument of their own.
constexpr const char* kWrappers = R"PY(
def _named(fn, name, doc, module):
    fn.__name__ = name
    fn.__qualname__ = name
    try:
        fn.__code__ = fn.__code__.replace(co_name=name, co_qualname=name)
    except TypeError:
        fn.__code__ = fn.__code__.replace(co_name=name)
    fn.__doc__ = doc
    fn.__module__ = module
    return fn

def make_rule(impl, name, doc, module):
    def rule(ir, nodes, quant_tab={}):
        return impl(ir, nodes, quant_tab)
    return _named(rule, name, doc, module)
)PY";

py::dict& wrappers() {
  static py::dict* scope = [] {
    auto* d = new py::dict();  // kept for the process, like the modules that use it
    py::exec(kWrappers, *d);
    return d;
  }();
  return *scope;
}

namespace native = graph::host;

native::RuleHost* host() { return internal::native_host(); }

// The matched nodes as nodes of the native graph `g`; nullopt when one is not.
std::optional<std::vector<Node>> native_nodes(py::handle nodes, native::GraphH* g) {
  if (!py::isinstance<py::list>(nodes) && !py::isinstance<py::tuple>(nodes)) return std::nullopt;
  std::vector<Node> out;
  for (py::handle n : nodes) {
    native::NodeH* h = host()->node_of(n.ptr(), g);
    if (h == nullptr) return std::nullopt;
    out.push_back(Node::adopt(h));
  }
  return out;
}

py::list python_nodes(const std::vector<Node>& nodes) {
  py::list out;
  for (const Node& n : nodes) {
    if (n.handle())
      out.append(py::reinterpret_steal<py::object>(static_cast<PyObject*>(host()->node_object(n.handle()))));
    else
      out.append(py::reinterpret_borrow<py::object>(static_cast<PyObject*>(n.ref().get())));
  }
  return out;
}

py::object python_list(Ref r) {
  if (r.get() == nullptr) return py::list();
  return py::reinterpret_steal<py::object>(static_cast<PyObject*>(r.release()));
}

py::tuple python_result(RuleResult r) {
  if (r.native) return py::make_tuple(python_nodes(r.native_remove), python_nodes(r.native_add));
  return py::make_tuple(python_list(std::move(r.remove)), python_list(std::move(r.add)));
}

// A rule called from Python: on the native graph when it is handed one (and
// the host names are bound as at import), through the Python host otherwise.
py::object rule_impl(const RuleDef& def) {
  const RuleDef* d = &def;
  return py::cpp_function([d](py::object ir, py::object nodes, py::object quant_tab) {
    native::GraphH* g = host() ? host()->graph_of(ir.ptr()) : nullptr;
    if (g && internal::host_names_unchanged()) {
      if (std::optional<std::vector<Node>> matched = native_nodes(nodes, g)) {
        internal::NativeCall scope(true);
        return python_result(d->fn(Ir(g), NodeList(std::move(*matched), d->name), Ref::borrow(quant_tab.ptr())));
      }
    }
    internal::NativeCall scope(false);
    const Ir host_ir(Ref::borrow(ir.ptr()));
    const NodeList matched(Ref::borrow(nodes.ptr()), d->name);
    return python_result(d->fn(host_ir, matched, Ref::borrow(quant_tab.ptr())));
  });
}

std::vector<native::NodeH*> retained(const std::vector<Node>& nodes) {
  std::vector<native::NodeH*> out;
  out.reserve(nodes.size());
  for (const Node& n : nodes) {
    if (!n.handle()) throw HostTypeError("a rule on the native graph returned a node of another host");
    host()->retain(n.handle());
    out.push_back(n.handle());
  }
  return out;
}

// A rule called by the engine on the native graph (the engine asked
// host_names_unchanged when the table started): no Python object per node,
// shape or attribute; what it raises comes back as the engine's text.
native::Outcome native_entry(const void* rule, native::GraphH* g, native::NodeH* const* chain, size_t n,
                             void* quant_tab) {
  native::Outcome out;
  const auto* d = static_cast<const RuleDef*>(rule);
  try {
    std::vector<Node> nodes;
    for (size_t k = 0; k < n; ++k) {
      host()->retain(chain[k]);
      nodes.push_back(Node::adopt(chain[k]));
    }
    internal::NativeCall scope(true);
    RuleResult r = d->fn(Ir(g), NodeList(std::move(nodes), d->name), Ref::borrow(quant_tab));
    if (r.native) {
      out.remove = retained(r.native_remove);
      out.add = retained(r.native_add);
    }
  } catch (...) {
    for (native::NodeH* h : out.remove) host()->release(h);
    for (native::NodeH* h : out.add) host()->release(h);
    out.remove.clear();
    out.add.clear();
    out.status = native::Outcome::Failed;
    out.message = internal::failure_text(std::current_exception());
  }
  return out;
}

// The rule host of vexo._core, when the converter's graph is there.
void connect_native_graph() {
  py::object core;
  try {
    core = py::module_::import("vexo._core");
  } catch (py::error_already_set&) {
    return;  // without the converter's graph the rules serve Python hosts only
  }
  auto* h = static_cast<native::RuleHost*>(PyCapsule_GetPointer(core.attr("_rule_host").ptr(), native::kCapsuleName));
  if (h == nullptr) throw py::error_already_set();
  if (h->version() != native::kVersion)
    throw std::runtime_error("vexo._core offers rule host version " + std::to_string(h->version()) + ", expected " +
                             std::to_string(native::kVersion));
  internal::set_native_host(h);
}

}  // namespace

void register_translators() {
  static bool done = false;
  if (done) return;
  done = true;
  py::register_exception_translator([](std::exception_ptr p) {
    try {
      if (p) std::rethrow_exception(p);
    } catch (const HostTypeError& e) {
      PyErr_SetString(PyExc_TypeError, e.what());
    } catch (const ArrayError& e) {
      PyErr_SetString(PyExc_ValueError, e.what());
    }
  });
}

py::object import_name(const char* module, const char* name) {
  py::module_ m = py::module_::import(module);
  if (!py::hasattr(m, name)) {
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw py::error_already_set();
  }
  return m.attr(name);
}

py::object named_function(py::object fn, const std::string& name, const char* doc, const char* module) {
  return wrappers()["_named"](fn, name, doc, module);
}

py::object rule_function(const RuleDef& def, const char* module) {
  py::object fn = wrappers()["make_rule"](rule_impl(def), def.name, def.doc, module);
  if (host()) host()->register_rule(fn.ptr(), native_entry, &def, internal::host_names_unchanged);
  return fn;
}

void bind_host_names(const py::dict& ns) {
  internal::set_module_namespace(ns);
  internal::remember_host_names();
  connect_native_graph();
}

int exec_once(PyObject* module, bool& initialised, const char* name, void (*fill)(py::module_)) {
  if (initialised) {
    PyErr_Format(PyExc_ImportError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", name);
    return -1;
  }
  try {
    register_translators();
    fill(py::reinterpret_borrow<py::module_>(module));
  } catch (py::error_already_set& e) {
    e.restore();
    return -1;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return -1;
  }
  initialised = true;
  return 0;
}

py::dict make_table(const std::vector<TableEntry>& entries, const py::dict& ns) {
  py::dict table;
  for (const TableEntry& e : entries) {
    py::list ops;
    for (const char* op : e.ops) ops.append(py::str(op));
    py::dict entry;
    entry["ops"] = ops;
    entry["proc"] = ns[e.proc];
    table[e.entry] = entry;
  }
  return table;
}

}  // namespace vexo::dims::entry
