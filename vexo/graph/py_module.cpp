// Module entry of vexo._core: the native graph, its builder, engine and
// clean-up, and the rule host that compiled rule modules use.
#include "engine.hpp"
#include "py_common.hpp"
#include "wire.hpp"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace py = pybind11;
using namespace vexo::graph;

PYBIND11_MODULE(_core, m) {
  m.doc() = "The converter's native IR graph, node builder, rule engine and clean-up.";
  auto& classes = py_bind::classes();
  classes.model_error = py::register_exception<ModelError>(m, "ModelError", PyExc_ValueError);
  py::register_exception<ShapeError>(m, "ShapeError", PyExc_ValueError);
  classes.broken_graph = py::register_exception<BrokenGraph>(m, "BrokenGraph", PyExc_Exception);
  py::register_exception<wire::WireError>(m, "WireError", PyExc_ValueError);
  py::register_exception<ExternalData>(m, "ExternalData", PyExc_ValueError);
  py::register_exception<TensorError>(m, "TensorError", PyExc_ValueError);
  py_bind::bind_graph(m);
  py_bind::bind_engine(m);
  py_bind::bind_prepare(m);
  m.def("release_free_memory", [] {
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
  }, "Hands the memory the allocator holds free back to the system (a no-op where the C library cannot).");
  m.attr("DEFAULT_MAX_PASSES") = kDefaultMaxPasses;
  m.attr("FIRES_PER_NODE") = kFiresPerNode;
}
