// Module entry of vexo.api.rules.dims.
//
// Multi-phase initialisation: PyInit_dims returns the module definition and
// the exec slot fills the namespace, in this order: the host modules (copy,
// numpy as np, onnx), the logger class, the sibling helper functions and
// REDUCE_OPS, the builder names, every rule function in catalogue order, then
// the tables fuse_dims, cvt_dims and hw_dims.  The module keeps process-wide
// state, so a second initialisation in the same process is refused.
#include <pybind11/eval.h>

#include "frame.hpp"
#include "host_internal.hpp"
#include "lowering_algebra.hpp"
#include "module_support.hpp"

using namespace std::string_view_literals;

namespace py = pybind11;
using namespace vexo::dims;
using namespace vexo::dims::entry;

namespace {

bool g_initialised = false;

constexpr const char* kModuleName = "vexo.api.rules.dims";

// The plain function _1x1_resize_to_tile_size keeps its own signature.
constexpr const char* kTileSizeWrapper = R"PY(
def make_tile_size(impl):
    def tile_size(x, MAX_FM_SIZE, MAX_KERNEL_SIZE):
        return impl(x, MAX_FM_SIZE, MAX_KERNEL_SIZE)
    return tile_size
)PY";

constexpr const char* kTileSizeDoc =
    "Split one repeat factor of a 1x1 Resize into per-Tile factors.\n\n"
    "Matched operators: none; called by _p_convert_1x1_resize_to_tile.\n\n"
    "Approach: a factor above MAX_FM_SIZE gives []; one of at most MAX_KERNEL_SIZE\n"
    "gives [x]; otherwise the largest divisor from MAX_KERNEL_SIZE down to 2 is\n"
    "taken off repeatedly until the rest fits, and [] is returned when a prime\n"
    "factor above MAX_KERNEL_SIZE remains.";

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

  bind_host_names(ns);

  py::dict scratch;
  py::exec(kTileSizeWrapper, scratch);
  for (const char* name : catalogue()) {
    const std::string n(name);
    if (n == "_1x1_resize_to_tile_size"sv)
      ns[name] = named_function(scratch["make_tile_size"](tile_size_impl()), n, kTileSizeDoc, kModuleName);
    else
      ns[name] = rule_function(find_rule(n), kModuleName);
  }

  ns["fuse_dims"] = make_table(fuse_dims_table(), ns);
  ns["cvt_dims"] = make_table(cvt_dims_table(), ns);
  ns["hw_dims"] = make_table(hw_dims_table(), ns);
}

int dims_exec(PyObject* m) { return exec_once(m, g_initialised, "dims", fill_namespace); }

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
