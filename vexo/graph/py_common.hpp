// Conversions between the native graph and Python objects, shared by the
// binding units of vexo._core.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "graph.hpp"
#include "model_io.hpp"

PYBIND11_DECLARE_HOLDER_TYPE(T, vexo::graph::Counted<T>, true)

namespace pybind11::detail {

// Names cross to Python as str.
template <>
struct type_caster<vexo::graph::Name> {
  PYBIND11_TYPE_CASTER(vexo::graph::Name, const_name("str"));
  bool load(handle src, bool) {
    if (!PyUnicode_Check(src.ptr())) return false;
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(src.ptr(), &size);
    if (text == nullptr) {
      PyErr_Clear();
      return false;
    }
    value = vexo::graph::Name(std::string_view(text, static_cast<size_t>(size)));
    return true;
  }
  static handle cast(const vexo::graph::Name& n, return_value_policy, handle) {
    const std::string& s = n.str();
    return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
  }
};

}  // namespace pybind11::detail

namespace vexo::graph::py_bind {

namespace py = pybind11;

// An attribute of an imported module, looked up once and kept for the process.
py::handle imported(const char* module, const char* name);

// numpy dtype of an element type (None when numpy has no plain type for it).
py::object numpy_dtype(int32_t elem);
// ONNX element type of anything np.dtype() takes; TypeError when ONNX has none.
int32_t elem_of_dtype(py::handle dtype);

// A constant as a read-only numpy array sharing the constant's memory.
py::object to_array(const ConstPtr& c);
// A numpy array (or anything np.asarray takes) as a constant.
ConstPtr from_array(py::handle value, const std::string& name);

py::object attr_to_python(const AttrValue& v);
// Python values as the converter writes them (bool as int, lists of numbers,
// arrays as tensors, ONNX protos kept as attributes); TypeError for anything
// an attribute cannot hold, naming `what`.
AttrValue attr_from_python(py::handle value, const std::string& name, const std::string& what);

std::optional<Shape> shape_from_python(py::handle shape, const std::string& tensor);
py::object shape_to_python(const std::optional<Shape>& s);

// A Python node of the graph's kind, or one read from an onnx.NodeProto;
// nullptr for anything else.
NodePtr node_from_python(py::handle obj);
NodePtr node_from_proto(py::handle proto);

// Text of an exception escaping into the engine: "Type: message", or a
// VexoError's message alone, or the text of the converter's own graph errors.
std::string python_failure(py::error_already_set& e);

// Registered Python classes (set at import).
struct Classes {
  py::object ir_graph;  // vexo.api.ir_graph.IrGraph (the converter's own class)
  py::object vexo_error, model_error, broken_graph;
};
Classes& classes();

// A serialized model as Python bytes, copied once from its pieces.
py::bytes bytes_of(const Pieces& pieces);

// Shape inference of an op type the graph does not know: ONNX's, on a model of the node alone.
std::vector<Inferred> onnx_fallback(const Graph& g, const Node& node);

void bind_graph(py::module_& m);
void bind_engine(py::module_& m);
void bind_prepare(py::module_& m);

}  // namespace vexo::graph::py_bind
