// Module entry of vexo.api.rules.dims.
//
// Multi-phase initialisation: PyInit_dims returns the module definition and
// the exec slot fills the namespace, in this order: the host modules (copy,
// numpy as np, onnx), the logger class, the sibling helper functions and
// REDUCE_OPS, the builder names, every rule function in catalogue order, then
// the tables fuse_dims, cvt_dims and hw_dims.  The module keeps process-wide
// state, so a second initialisation in the same process is refused.
#include <pybind11/eval.h>
#include <pybind11/pybind11.h>

#include <optional>

#include "frame.hpp"
#include "host_internal.hpp"
#include "lowering_algebra.hpp"

namespace py = pybind11;
using namespace vexo::dims;

namespace {

bool g_initialised = false;

constexpr const char* kModuleName = "vexo.api.rules.dims";
constexpr const char* kReinitMessage =
    "Module 'dims' has already been imported. Re-initialisation is not supported.";

// Rules are published as plain Python functions around their C++ bodies, so
// that they introspect like any Python callable: signature (ir, nodes,
// quant_tab={}), __defaults__ holding the rule's own default mapping, a name,
// a module and a docstring.
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

def make_tile_size(impl, name, doc, module):
    def tile_size(x, MAX_FM_SIZE, MAX_KERNEL_SIZE):
        return impl(x, MAX_FM_SIZE, MAX_KERNEL_SIZE)
    return _named(tile_size, name, doc, module)
)PY";

constexpr const char* kTileSizeDoc =
    "Split one repeat factor of a 1x1 Resize into per-Tile factors.\n\n"
    "Matched operators: none; called by _p_convert_1x1_resize_to_tile.\n\n"
    "Approach: a factor above MAX_FM_SIZE gives []; one of at most MAX_KERNEL_SIZE\n"
    "gives [x]; otherwise the largest divisor from MAX_KERNEL_SIZE down to 2 is\n"
    "taken off repeatedly until the rest fits, and [] is returned when a prime\n"
    "factor above MAX_KERNEL_SIZE remains.";

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

// `from module import name`, failing as Python's import statement fails.
py::object import_name(const char* module, const char* name) {
  py::module_ m = py::module_::import(module);
  if (!py::hasattr(m, name)) {
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
    throw py::error_already_set();
  }
  return m.attr(name);
}

// ---------------------------------------------------------------- the two backends

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

py::object tile_size_impl() {
  return py::cpp_function([](py::object x, py::object max_fm, py::object max_kernel) {
    const Ints tiles = resize_to_tile_size(to_int(Ref::borrow(x.ptr()), "x"),
                                           to_int(Ref::borrow(max_fm.ptr()), "MAX_FM_SIZE"),
                                           to_int(Ref::borrow(max_kernel.ptr()), "MAX_KERNEL_SIZE"));
    py::list out;
    for (int64_t t : tiles) out.append(py::int_(t));
    return out;
  });
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

void fill_namespace(py::module_ mod) {
  py::dict ns = mod.attr("__dict__");

  ns["copy"] = py::module_::import("copy");
  ns["np"] = py::module_::import("numpy");
  ns["onnx"] = py::module_::import("onnx");
  ns["vexoLog"] = import_name("vexo.api.vexo_log", "VEXOLog");
  for (const char* n : {"seperate_independent_part_for_reshape", "squeeze_broadcast_dims", "align_sub_c",
                        "gen_gather_for_change_split_shape"})
    ns[n] = import_name("vexo.api.vexo_utils", n);
  ns["REDUCE_OPS"] = import_name("vexo.api.ir_graph", "REDUCE_OPS");
  for (const char* n : {"get_reduce_axes", "set_reduce_axes", "set_split_split", "node_name_join", "make_node_reduce"})
    ns[n] = import_name("vexo.api.ir_utils", n);
  for (const char* n : {"copy_par", "Graph", "oper_name_join"}) ns[n] = import_name("vexo.api.rules.utils", n);

  internal::set_module_namespace(ns);
  internal::remember_host_names();
  connect_native_graph();

  py::dict scratch;
  py::exec(kWrappers, scratch);
  for (const char* name : catalogue()) {
    const std::string n(name);
    if (n == "_1x1_resize_to_tile_size") {
      ns[name] = scratch["make_tile_size"](tile_size_impl(), n, kTileSizeDoc, kModuleName);
    } else {
      const RuleDef& def = find_rule(n);
      ns[name] = scratch["make_rule"](rule_impl(def), n, def.doc, kModuleName);
      if (host()) host()->register_rule(ns[name].ptr(), native_entry, &def, internal::host_names_unchanged);
    }
  }

  ns["fuse_dims"] = make_table(fuse_dims_table(), ns);
  ns["cvt_dims"] = make_table(cvt_dims_table(), ns);
  ns["hw_dims"] = make_table(hw_dims_table(), ns);
}

int dims_exec(PyObject* m) {
  if (g_initialised) {
    PyErr_SetString(PyExc_ImportError, kReinitMessage);
    return -1;
  }
  try {
    register_translators();
    fill_namespace(py::reinterpret_borrow<py::module_>(m));
  } catch (py::error_already_set& e) {
    e.restore();
    return -1;
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_ImportError, e.what());
    return -1;
  }
  g_initialised = true;
  return 0;
}

PyModuleDef_Slot dims_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(dims_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr}};

PyModuleDef dims_def = {
    PyModuleDef_HEAD_INIT,
    "dims",
    "Dimension rules of the vexo converter: graph rewrites that make operators\n"
    "four-dimensional, align channels and lower operators the NPU runs poorly.\n"
    "The tables fuse_dims, cvt_dims and hw_dims map entry names to an op-type\n"
    "pattern ('ops') and a rule ('proc') called as rule(ir, nodes, quant_tab).",
    0,
    nullptr,
    dims_slots,
    nullptr,
    nullptr,
    nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_dims(void) { return PyModuleDef_Init(&dims_def); }
