// Shared pieces of the rule modules' entries (see module_support.hpp).
#include "module_support.hpp"

#include <pybind11/eval.h>

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

py::object rule_impl(const RuleDef& def) {
  const RuleDef* d = &def;
  return py::cpp_function([d](py::object ir, py::object nodes, py::object quant_tab) {
    const Ir host_ir(Ref::borrow(ir.ptr()));
    const NodeList matched(Ref::borrow(nodes.ptr()), d->name);
    RuleResult r = d->fn(host_ir, matched, Ref::borrow(quant_tab.ptr()));
    return py::make_tuple(py::reinterpret_steal<py::object>(static_cast<PyObject*>(r.remove.release())),
                          py::reinterpret_steal<py::object>(static_cast<PyObject*>(r.add.release())));
  });
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
  return wrappers()["make_rule"](rule_impl(def), def.name, def.doc, module);
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
