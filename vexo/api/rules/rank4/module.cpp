// Module entry of vexo.api.rules.rank4, the converter's own rank-4 rules.
//
// Multi-phase initialisation like the dimension rules: the exec slot binds,
// in this order, numpy as np, the logger class, the builder and
// node_name_join (the host names the rules reach through the facade), every
// rule function, then the table rank4_dims.  A second initialisation in the
// same process is refused.
#include "host_internal.hpp"
#include "module_support.hpp"
#include "rank4_rules.hpp"

namespace py = pybind11;
using namespace vexo::dims;
using namespace vexo::dims::entry;

namespace {

bool g_initialised = false;

constexpr const char* kModuleName = "vexo.api.rules.rank4";

void fill_namespace(py::module_ mod) {
  py::dict ns = mod.attr("__dict__");
  ns["np"] = py::module_::import("numpy");
  ns["vexoLog"] = import_name("vexo.api.vexo_log", "VEXOLog");
  ns["Graph"] = import_name("vexo.api.rules.utils", "Graph");
  ns["node_name_join"] = import_name("vexo.api.ir_utils", "node_name_join");
  bind_host_names(ns);
  for (const RuleDef& def : vexo::rank4::rank4_rules()) ns[def.name] = rule_function(def, kModuleName);
  ns["rank4_dims"] = make_table(vexo::rank4::rank4_dims_table(), ns);
}

int rank4_exec(PyObject* m) { return exec_once(m, g_initialised, "rank4", fill_namespace); }

PyModuleDef_Slot rank4_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(rank4_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
    {0, nullptr}};

PyModuleDef rank4_def = {
    PyModuleDef_HEAD_INIT,
    "rank4",
    "The vexo converter's own rank-4 rules: what the dimension rules leave off\n"
    "rank 4 in real exports (Gemm, LayerNormalization, unary activations, the\n"
    "q/k/v split of attention) made four-dimensional.  The table rank4_dims maps\n"
    "entry names to an op-type pattern ('ops') and a rule ('proc') called as\n"
    "rule(ir, nodes, quant_tab).",
    0,
    nullptr,
    rank4_slots,
    nullptr,
    nullptr,
    nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_rank4(void) { return PyModuleDef_Init(&rank4_def); }
