// Host facade implementation over the Python objects (see host.hpp).
#include "host.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>

#include "host_internal.hpp"

namespace py = pybind11;

namespace vexo::dims {

// ---------------------------------------------------------------- module namespace

namespace internal {

namespace {
PyObject* g_namespace = nullptr;  // strong reference, kept for the process
}

void set_module_namespace(py::dict ns) {
  Py_XDECREF(g_namespace);
  g_namespace = ns.release().ptr();
}

py::object module_name(const char* name) {
  if (g_namespace == nullptr) throw std::runtime_error("vexo.api.rules.dims is not initialised");
  PyObject* v = PyDict_GetItemString(g_namespace, name);  // borrowed
  if (v == nullptr) throw std::runtime_error(std::string("vexo.api.rules.dims has no name '") + name + "'");
  return py::reinterpret_borrow<py::object>(v);
}

}  // namespace internal

using internal::module_name;

namespace {

py::handle h(const Ref& r) { return r.get() ? py::handle(static_cast<PyObject*>(r.get())) : py::none(); }
py::object obj(const Ref& r) { return py::reinterpret_borrow<py::object>(h(r)); }
Ref to_ref(py::object o) { return Ref::steal(o.release().ptr()); }

std::string type_name(py::handle o) { return py::str(py::type::of(o).attr("__name__")); }

// operator.index(): Python ints and numpy integers, not floats or bools.
bool index_value(py::handle o, int64_t& out) {
  if (PyBool_Check(o.ptr())) return false;
  PyObject* i = PyNumber_Index(o.ptr());
  if (i == nullptr) {
    PyErr_Clear();
    return false;
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(i, &overflow);
  Py_DECREF(i);
  if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return false;
  }
  out = v;
  return true;
}

Ints ints_of(py::handle v, const std::string& what) {
  int64_t one;
  if (index_value(v, one)) return Ints{one};
  if (py::isinstance<py::str>(v) || py::isinstance<py::bytes>(v) || !PySequence_Check(v.ptr())) {
    if (!py::hasattr(v, "tolist"))
      throw HostTypeError(what + ": expected a list of integers, got " + type_name(v));
  }
  py::object seq = py::hasattr(v, "tolist") ? py::reinterpret_borrow<py::object>(v).attr("tolist")()
                                              : py::reinterpret_borrow<py::object>(v);
  if (index_value(seq, one)) return Ints{one};  // a zero-dimensional array
  if (!PySequence_Check(seq.ptr()) || py::isinstance<py::str>(seq))
    throw HostTypeError(what + ": expected a list of integers, got " + type_name(v));
  py::sequence s = py::reinterpret_borrow<py::sequence>(seq);
  Ints out;
  out.reserve(s.size());
  for (py::handle item : s) {
    int64_t x;
    if (!index_value(item, x))
      throw HostTypeError(what + ": expected integers, found " + std::string(py::repr(item)));
    out.push_back(x);
  }
  return out;
}

std::optional<Shape> shape_of(py::handle v, const std::string& tensor, bool empty_is_unknown) {
  if (v.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(v) || !(PySequence_Check(v.ptr()) || py::hasattr(v, "tolist")))
    throw HostTypeError("shape of tensor '" + tensor + "': expected a list of integers, got " + type_name(v));
  Ints s = ints_of(v, "shape of tensor '" + tensor + "'");
  if (s.empty() && empty_is_unknown) return std::nullopt;
  return s;
}

py::object to_py(const Array& a) {
  std::vector<py::ssize_t> shape(a.shape().begin(), a.shape().end());
  py::array out(py::dtype(dtype_name(a.dtype())), shape);
  if (!a.bytes().empty()) std::memcpy(out.mutable_data(), a.bytes().data(), a.bytes().size());
  return std::move(out);
}

py::list str_list(const Strings& v) {
  py::list l;
  for (const auto& s : v) l.append(py::str(s));
  return l;
}

py::list int_list(const Ints& v) {
  py::list l;
  for (int64_t x : v) l.append(py::int_(x));
  return l;
}

py::object to_py(const Value& v) {
  struct Visit {
    py::object operator()(const None&) const { return py::none(); }
    py::object operator()(const Bool& x) const { return py::bool_(x.value); }
    py::object operator()(int64_t x) const { return py::int_(x); }
    py::object operator()(double x) const { return py::float_(x); }
    py::object operator()(const std::string& x) const { return py::str(x); }
    py::object operator()(const Ints& x) const { return int_list(x); }
    py::object operator()(const IntsTuple& x) const { return py::tuple(int_list(x.values)); }
    py::object operator()(const Floats& x) const {
      py::list l;
      for (double d : x) l.append(py::float_(d));
      return l;
    }
    py::object operator()(const Strings& x) const { return str_list(x); }
    py::object operator()(const Array& x) const { return to_py(x); }
    py::object operator()(const Ref& x) const { return obj(x); }
  };
  return std::visit(Visit{}, v);
}

py::object to_py(const OpInput& v) {
  struct Visit {
    py::object operator()(const std::string& x) const { return py::str(x); }
    py::object operator()(const None&) const { return py::none(); }
    py::object operator()(const Ints& x) const { return int_list(x); }
    py::object operator()(const Floats& x) const {
      py::list l;
      for (double d : x) l.append(py::float_(d));
      return l;
    }
    py::object operator()(const Array& x) const { return to_py(x); }
    py::object operator()(const Ref& x) const { return obj(x); }
  };
  return std::visit(Visit{}, v);
}

std::string str_of(py::handle v, const std::string& what) {
  if (!py::isinstance<py::str>(v)) throw HostTypeError(what + ": expected a string, got " + type_name(v));
  return v.cast<std::string>();
}

py::object port_list(const Node& n, const char* which) {
  py::object l = obj(n.ref()).attr(which);
  if (!PySequence_Check(l.ptr()) || py::isinstance<py::str>(l))
    throw HostTypeError("node." + std::string(which) + " is not a list of tensor names");
  return l;
}

std::string port_name(const Node& n, const char* which, size_t i) {
  py::object l = port_list(n, which);
  const py::ssize_t len = PySequence_Size(l.ptr());
  if (len < 0) throw py::error_already_set();
  if (static_cast<py::ssize_t>(i) >= len)
    throw std::out_of_range("node '" + n.name() + "' has no " + which + " " + std::to_string(i));
  py::object item = py::reinterpret_steal<py::object>(PySequence_GetItem(l.ptr(), static_cast<py::ssize_t>(i)));
  if (!item) throw py::error_already_set();
  return str_of(item, "node '" + n.name() + "' " + which + " " + std::to_string(i));
}

Strings port_names(const Node& n, const char* which) {
  py::object l = port_list(n, which);
  Strings out;
  for (py::handle item : l) out.push_back(str_of(item, "node '" + n.name() + "' " + which));
  return out;
}

void set_port(const Node& n, const char* which, size_t i, const std::string& tensor) {
  py::object l = port_list(n, which);
  if (PySequence_SetItem(l.ptr(), static_cast<py::ssize_t>(i), py::str(tensor).ptr()) != 0)
    throw py::error_already_set();
}

std::vector<Node> node_vector(py::handle seq, const std::string& what) {
  if (seq.is_none()) return {};
  if (!py::isinstance<py::iterable>(seq)) throw HostTypeError(what + ": expected a list of nodes, got " + type_name(seq));
  std::vector<Node> out;
  for (py::handle n : seq) out.emplace_back(Ref::borrow(n.ptr()));
  return out;
}

py::list node_list(const std::vector<Node>& v) {
  py::list l;
  for (const Node& n : v) l.append(h(n.ref()));
  return l;
}

bool contains(py::handle container, const std::string& key) {
  const int r = PySequence_Contains(container.ptr(), py::str(key).ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

}  // namespace

// ---------------------------------------------------------------- Ref

Ref::Ref(const Ref& other) noexcept : obj_(other.obj_) { Py_XINCREF(static_cast<PyObject*>(obj_)); }
Ref::Ref(Ref&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
Ref& Ref::operator=(const Ref& other) noexcept {
  if (this != &other) {
    Py_XINCREF(static_cast<PyObject*>(other.obj_));
    Py_XDECREF(static_cast<PyObject*>(obj_));
    obj_ = other.obj_;
  }
  return *this;
}
Ref& Ref::operator=(Ref&& other) noexcept {
  if (this != &other) {
    Py_XDECREF(static_cast<PyObject*>(obj_));
    obj_ = other.obj_;
    other.obj_ = nullptr;
  }
  return *this;
}
Ref::~Ref() { Py_XDECREF(static_cast<PyObject*>(obj_)); }
Ref Ref::steal(void* o) noexcept {
  Ref r;
  r.obj_ = o;
  return r;
}
Ref Ref::borrow(void* o) noexcept {
  Py_XINCREF(static_cast<PyObject*>(o));
  return steal(o);
}
void* Ref::release() noexcept {
  void* o = obj_;
  obj_ = nullptr;
  return o;
}
bool Ref::is_none() const { return obj_ == nullptr || obj_ == Py_None; }
bool Ref::truthy() const {
  if (obj_ == nullptr) return false;
  const int r = PyObject_IsTrue(static_cast<PyObject*>(obj_));
  if (r < 0) throw py::error_already_set();
  return r == 1;
}
bool Ref::equals(int64_t v) const {
  if (obj_ == nullptr) return false;
  return h(*this).equal(py::int_(v));
}
bool Ref::equals(const std::string& v) const {
  if (obj_ == nullptr) return false;
  return h(*this).equal(py::str(v));
}
std::string Ref::repr() const { return py::str(h(*this)); }

int64_t to_int(const Ref& v, const std::string& what) {
  int64_t x;
  if (index_value(h(v), x)) return x;
  if (PyLong_Check(h(v).ptr())) throw HostTypeError(what + ": integer " + std::string(py::str(h(v))) +
                                                    " is out of the 64-bit range");
  throw HostTypeError(what + ": expected an integer, got " + type_name(h(v)));
}

double to_double(const Ref& v, const std::string& what) {
  PyObject* f = PyNumber_Float(h(v).ptr());
  if (f == nullptr) {
    PyErr_Clear();
    throw HostTypeError(what + ": expected a number, got " + type_name(h(v)));
  }
  const double d = PyFloat_AsDouble(f);
  Py_DECREF(f);
  return d;
}

Ints to_ints(const Ref& v, const std::string& what) {
  if (v.is_none()) throw HostTypeError(what + ": expected a list of integers, got None");
  return ints_of(h(v), what);
}

std::string to_str(const Ref& v, const std::string& what) { return str_of(h(v), what); }

// ---------------------------------------------------------------- Node

std::string Node::op_type() const { return str_of(obj(ref_).attr("op_type"), "node.op_type"); }
std::string Node::name() const { return str_of(obj(ref_).attr("name"), "node.name"); }
size_t Node::num_inputs() const { return static_cast<size_t>(py::len(port_list(*this, "input"))); }
std::string Node::input(size_t i) const { return port_name(*this, "input", i); }
Strings Node::inputs() const { return port_names(*this, "input"); }
void Node::set_input(size_t i, const std::string& t) const { set_port(*this, "input", i, t); }
size_t Node::num_outputs() const { return static_cast<size_t>(py::len(port_list(*this, "output"))); }
std::string Node::output(size_t i) const { return port_name(*this, "output", i); }
Strings Node::outputs() const { return port_names(*this, "output"); }
void Node::set_output(size_t i, const std::string& t) const { set_port(*this, "output", i, t); }

size_t NodeList::size() const { return static_cast<size_t>(py::len(h(seq_))); }

Node NodeList::at(size_t i) const {
  if (!PySequence_Check(h(seq_).ptr()))
    throw HostTypeError(std::string(rule_) + ": nodes must be a list of matched nodes");
  if (i >= size())
    throw std::out_of_range(std::string(rule_) + " needs " + std::to_string(i + 1) + " matched node(s), got " +
                            std::to_string(size()));
  py::object item = py::reinterpret_steal<py::object>(PySequence_GetItem(h(seq_).ptr(), static_cast<py::ssize_t>(i)));
  if (!item) throw py::error_already_set();
  if (item.is_none()) throw HostTypeError(std::string(rule_) + ": matched node " + std::to_string(i) + " is None");
  return Node(Ref::borrow(item.ptr()));
}

// ---------------------------------------------------------------- Ir

std::optional<Shape> Ir::shape(const std::string& t) const {
  return shape_of(obj(ref_).attr("get_shape")(t), t, true);
}
std::optional<Shape> Ir::shape_raw(const std::string& t) const {
  return shape_of(obj(ref_).attr("get_shape")(t), t, false);
}
Ref Ir::dtype(const std::string& t) const { return to_ref(obj(ref_).attr("get_dtype")(t)); }
void Ir::set_shape(const std::string& t, const Shape& s) const { obj(ref_).attr("set_shape")(t, int_list(s)); }
void Ir::set_shape(const std::string& t, const Shape& s, const Ref& dtype) const {
  obj(ref_).attr("set_shape")(t, int_list(s), py::arg("dtype") = obj(dtype));
}

std::optional<Array> Ir::get_const(const std::string& t) const {
  py::object v = obj(ref_).attr("get_const")(t);
  if (v.is_none()) return std::nullopt;
  py::array arr;
  try {
    arr = py::array::ensure(v, py::array::c_style | py::array::forcecast);
  } catch (...) {
    arr = py::array();
  }
  if (!arr) throw HostTypeError("constant '" + t + "': expected an array, got " + type_name(v));
  DType dt;
  try {
    dt = dtype_from_name(py::str(arr.dtype().attr("name")));
  } catch (const ArrayError&) {
    throw HostTypeError("constant '" + t + "' has unsupported element type " + std::string(py::str(arr.dtype())));
  }
  Shape shape(arr.shape(), arr.shape() + arr.ndim());
  const auto* p = static_cast<const uint8_t*>(arr.data());
  return Array::from_bytes(dt, shape, std::vector<uint8_t>(p, p + arr.nbytes()));
}

Ref Ir::get_const_ref(const std::string& t) const { return to_ref(obj(ref_).attr("get_const")(t)); }
void Ir::set_const(const std::string& t, const Array& a) const { obj(ref_).attr("set_const")(t, to_py(a)); }
bool Ir::is_const(const std::string& t) const { return contains(obj(ref_).attr("consts"), t); }

Ref Ir::get_attr(const Node& n, const std::string& name) const {
  return to_ref(obj(ref_).attr("get_attr")(h(n.ref()), name));
}
Ref Ir::get_attr(const Node& n, const std::string& name, const Value& dflt) const {
  return to_ref(obj(ref_).attr("get_attr")(h(n.ref()), name, to_py(dflt)));
}
void Ir::set_attr(const Node& n, const std::string& name, const Value& value) const {
  obj(ref_).attr("set_attr")(h(n.ref()), name, to_py(value));
}

std::vector<Node> Ir::next_nodes(const Node& n) const {
  return node_vector(obj(ref_).attr("next_nodes")(h(n.ref())), "ir.next_nodes");
}
std::vector<Node> Ir::pre_nodes(const Node& n) const {
  return node_vector(obj(ref_).attr("pre_nodes")(h(n.ref())), "ir.pre_nodes");
}
bool Ir::is_graph_input(const std::string& t) const { return contains(obj(ref_).attr("inputs"), t); }
bool Ir::is_graph_output(const std::string& t) const { return contains(obj(ref_).attr("outputs"), t); }
bool Ir::is_invalid(const std::string& t) const { return obj(ref_).attr("is_invalid")(t).cast<bool>(); }

bool Ir::dynamic_shapes() const { return py::bool_(obj(ref_).attr("dynamic_shapes")); }
std::string Ir::unsqueeze_2d_mode() const { return str_of(obj(ref_).attr("unsqueeze_2d_mode"), "ir.unsqueeze_2d_mode"); }
int64_t Ir::opset_version() const {
  return to_int(to_ref(obj(ref_).attr("opset_version")()), "ir.opset_version()");
}
std::string Ir::npu_target() const {
  py::object v = obj(ref_).attr("npu_target");
  return v.is_none() ? std::string() : std::string(py::str(v));
}
std::string Ir::producer_name() const {
  py::object v = obj(ref_).attr("model").attr("producer_name");
  return v.is_none() ? std::string() : str_of(v, "ir.model.producer_name");
}
void Ir::append_weight_for_align(const std::string& t) const {
  obj(ref_).attr("weights_for_align").attr("append")(t);
}

// ---------------------------------------------------------------- Builder

Builder::Builder(const Ir& ir) : ref_(to_ref(module_name("Graph")(h(ir.ref())))) {}

std::string Builder::op(const std::string& op_type, const std::vector<OpInput>& inputs, const Kwargs& kwargs) const {
  py::tuple args(inputs.size() + 1);
  args[0] = py::str(op_type);
  for (size_t i = 0; i < inputs.size(); ++i) args[i + 1] = to_py(inputs[i]);
  py::dict kw;
  for (const auto& [k, v] : kwargs) kw[py::str(k)] = to_py(v);
  py::object r = obj(ref_).attr("op")(*args, **kw);
  // With `outputs` given and no None input a builder need not return a name;
  // the rules never read the result of such a call.
  if (r.is_none()) return std::string();
  return str_of(r, "Graph.op('" + op_type + "') result");
}

std::vector<Node> Builder::nodes() const { return node_vector(obj(ref_).attr("nodes"), "Graph.nodes"); }
size_t Builder::num_nodes() const { return static_cast<size_t>(py::len(obj(ref_).attr("nodes"))); }
Node Builder::last_node() const {
  py::object l = obj(ref_).attr("nodes");
  const size_t n = static_cast<size_t>(py::len(l));
  if (n == 0) throw std::out_of_range("Graph.nodes is empty");
  return Node(to_ref(l[py::int_(n - 1)]));
}
Ref Builder::nodes_ref() const { return to_ref(obj(ref_).attr("nodes")); }

// ---------------------------------------------------------------- logger and helpers

namespace log {
void warn(const std::string& m) { module_name("vexoLog").attr("w")(m); }
void error(const std::string& m) {
  module_name("vexoLog").attr("e")(m);
  throw RuleError(m);
}
}  // namespace log

bool in_reduce_ops(const std::string& op_type) { return contains(module_name("REDUCE_OPS"), op_type); }

Ints get_reduce_axes(const Ir& ir, const Node& n) {
  py::object v = module_name("get_reduce_axes")(h(ir.ref()), h(n.ref()));
  if (v.is_none()) throw HostTypeError("get_reduce_axes gave None for node '" + n.name() + "'");
  return ints_of(v, "reduce axes of node '" + n.name() + "'");
}

void set_reduce_axes(const Ir& ir, const Node& n, const Ints& axes) {
  module_name("set_reduce_axes")(h(ir.ref()), h(n.ref()), int_list(axes));
}

std::string node_name_join(const Ir& ir, const std::string& base, const std::string& suffix) {
  return str_of(module_name("node_name_join")(h(ir.ref()), base, suffix), "node_name_join result");
}

std::string oper_name_join(const Ir& ir, const std::string& tensor, const std::string& suffix) {
  return str_of(module_name("oper_name_join")(h(ir.ref()), tensor, suffix), "oper_name_join result");
}

void copy_par(const Ref& quant_tab, const std::string& first, const std::string& second) {
  module_name("copy_par")(h(quant_tab), first, second);
}

int64_t align_sub_c(const Ir& ir) {
  Ref v = to_ref(module_name("align_sub_c")(h(ir.ref())));
  const int64_t a = to_int(v, "align_sub_c result");
  if (a <= 0) throw HostTypeError("align_sub_c gave a channel alignment of " + std::to_string(a));
  return a;
}

std::pair<Ints, Ints> squeeze_broadcast_dims(const Ints& a, const Ints& b) {
  py::object r = module_name("squeeze_broadcast_dims")(int_list(a), int_list(b));
  if (!PySequence_Check(r.ptr()) || py::len(r) != 2)
    throw HostTypeError("squeeze_broadcast_dims must return a pair of shape lists");
  return {ints_of(r[py::int_(0)], "squeeze_broadcast_dims result"),
          ints_of(r[py::int_(1)], "squeeze_broadcast_dims result")};
}

std::vector<std::pair<Ints, Ints>> seperate_independent_part_for_reshape(const Ints& in, const Ints& out) {
  py::object r = module_name("seperate_independent_part_for_reshape")(int_list(in), int_list(out));
  std::vector<std::pair<Ints, Ints>> parts;
  for (py::handle p : r) {
    if (!PySequence_Check(p.ptr()) || py::len(p) != 2)
      throw HostTypeError("seperate_independent_part_for_reshape must give pairs of axis lists");
    parts.emplace_back(ints_of(p[py::int_(0)], "independent part"), ints_of(p[py::int_(1)], "independent part"));
  }
  return parts;
}

GatherPlan gen_gather_for_change_split_shape(const Ints& refer_shape, const Ints& new_shape, int64_t axis,
                                             int64_t new_axis, const Value& chunk_size, const std::string& op_type) {
  py::object r = module_name("gen_gather_for_change_split_shape")(int_list(refer_shape), int_list(new_shape), axis,
                                                                   new_axis, to_py(chunk_size),
                                                                   py::arg("op_type") = op_type);
  if (!PySequence_Check(r.ptr()) || py::len(r) != 3)
    throw HostTypeError("gen_gather_for_change_split_shape must return (axis, indices, before)");
  GatherPlan plan;
  py::object ax = r[py::int_(0)];
  if (!ax.is_none()) {
    plan.axis = to_int(Ref::borrow(ax.ptr()), "gather axis");
    plan.index = ints_of(r[py::int_(1)], "gather indices");
  }
  plan.before = py::bool_(r[py::int_(2)]);
  return plan;
}

Node deepcopy(const Node& n) { return Node(to_ref(module_name("copy").attr("deepcopy")(h(n.ref())))); }

Node make_onnx_node(const std::string& op_type, const Strings& inputs, const Strings& outputs, const std::string& name) {
  py::object node = module_name("onnx").attr("helper").attr("make_node")(
      op_type, py::arg("inputs") = str_list(inputs), py::arg("outputs") = str_list(outputs), py::arg("name") = name);
  return Node(to_ref(node));
}

bool dtype_is_floating(const Ref& dtype) {
  if (dtype.is_none()) return false;
  py::object np = module_name("np");
  return py::bool_(np.attr("issubdtype")(h(dtype), np.attr("floating")));
}

bool dtype_is_float32(const Ref& dtype) {
  if (dtype.is_none()) return false;
  py::object np = module_name("np");
  try {
    return py::bool_(np.attr("dtype")(h(dtype)).equal(np.attr("dtype")("float32")));
  } catch (const py::error_already_set&) {
    return false;  // not a data type at all
  }
}

std::optional<DType> element_type(const Ref& dtype) {
  if (dtype.is_none()) return std::nullopt;
  try {
    const std::string name = py::str(module_name("np").attr("dtype")(h(dtype)).attr("name"));
    return dtype_from_name(name);
  } catch (const py::error_already_set&) {
    return std::nullopt;  // not a data type at all
  } catch (const std::invalid_argument&) {
    return std::nullopt;  // a type the arrays do not hold
  }
}

// ---------------------------------------------------------------- results

namespace {
RuleResult pair_of(py::object remove, py::object add) { return RuleResult{to_ref(std::move(remove)), to_ref(std::move(add))}; }
}  // namespace

RuleResult no_change() { return pair_of(py::list(), py::list()); }
RuleResult added(const Builder& g) { return pair_of(py::list(), obj(g.nodes_ref())); }
RuleResult replaced(const std::vector<Node>& remove, const Builder& g) {
  return pair_of(node_list(remove), obj(g.nodes_ref()));
}
RuleResult replaced(const NodeList& nodes, const Builder& g) { return pair_of(obj(nodes.ref()), obj(g.nodes_ref())); }
RuleResult result(const std::vector<Node>& remove, const std::vector<Node>& add) {
  return pair_of(node_list(remove), node_list(add));
}

// ---------------------------------------------------------------- messages

std::string py_str(const Ints& v) {
  std::string s = "[";
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(v[i]);
  }
  return s + "]";
}
std::string py_str(int64_t v) { return std::to_string(v); }
std::string py_str(const std::string& v) { return v; }

std::string format(const std::string& fmt, const Strings& args) {
  std::string out;
  size_t arg = 0;
  for (size_t i = 0; i < fmt.size(); ++i) {
    if (fmt[i] == '{' && i + 1 < fmt.size() && fmt[i + 1] == '}') {
      out += arg < args.size() ? args[arg] : std::string("{}");
      ++arg;
      ++i;
    } else {
      out += fmt[i];
    }
  }
  return out;
}

}  // namespace vexo::dims
