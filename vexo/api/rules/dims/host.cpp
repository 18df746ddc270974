// Host facade implementation over the Python objects (see host.hpp).
#include "host.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstring>
#include <iterator>

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

namespace {
graph::host::RuleHost* g_native = nullptr;
bool g_in_native_call = false;
// The host names a rule on the native graph reaches natively, and what they were bound to at import.
constexpr const char* kNativeNames[] = {"Graph", "get_reduce_axes", "set_reduce_axes", "node_name_join",
                                        "oper_name_join", "align_sub_c", "squeeze_broadcast_dims",
                                        "seperate_independent_part_for_reshape", "gen_gather_for_change_split_shape",
                                        "REDUCE_OPS", "copy", "onnx", "np"};
PyObject* g_keys[std::size(kNativeNames)] = {};   // the names as interned Python strings
PyObject* g_bound[std::size(kNativeNames)] = {};
}  // namespace

void set_native_host(graph::host::RuleHost* host) { g_native = host; }
graph::host::RuleHost* native_host() { return g_native; }

void remember_host_names() {
  for (size_t i = 0; i < std::size(kNativeNames); ++i) {
    if (g_keys[i] == nullptr) g_keys[i] = PyUnicode_InternFromString(kNativeNames[i]);
    PyObject* v = PyDict_GetItem(g_namespace, g_keys[i]);
    Py_XINCREF(v);
    g_bound[i] = v;
  }
}

bool host_names_unchanged() {
  for (size_t i = 0; i < std::size(kNativeNames); ++i)
    if (PyDict_GetItem(g_namespace, g_keys[i]) != g_bound[i]) return false;
  return true;
}

NativeCall::NativeCall(bool native) : previous_(g_in_native_call) { g_in_native_call = native; }
NativeCall::~NativeCall() { g_in_native_call = previous_; }
bool in_native_call() { return g_in_native_call; }

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

// ---------------------------------------------------------------- native values

namespace {

native::RuleHost& nh() { return *internal::native_host(); }

DType dtype_of_elem(int32_t elem) {
  switch (elem) {
    case 1: return DType::Float32;
    case 2: return DType::UInt8;
    case 3: return DType::Int8;
    case 4: return DType::UInt16;
    case 5: return DType::Int16;
    case 6: return DType::Int32;
    case 7: return DType::Int64;
    case 9: return DType::Bool;
    case 10: return DType::Float16;
    case 11: return DType::Float64;
    case 12: return DType::UInt32;
    case 13: return DType::UInt64;
    default: throw ArrayError("element type " + std::to_string(elem) + " has no array type here");
  }
}

int32_t elem_of_dtype(DType t) {
  switch (t) {
    case DType::Float32: return 1;
    case DType::UInt8: return 2;
    case DType::Int8: return 3;
    case DType::UInt16: return 4;
    case DType::Int16: return 5;
    case DType::Int32: return 6;
    case DType::Int64: return 7;
    case DType::Bool: return 9;
    case DType::Float16: return 10;
    case DType::Float64: return 11;
    case DType::UInt32: return 12;
    case DType::UInt64: return 13;
  }
  return 0;
}

native::Value tensor_value(const Array& a) {
  native::Value v;
  v.kind = native::Value::Tensor;
  v.elem = elem_of_dtype(a.dtype());
  v.dims = a.shape();
  v.bytes.assign(a.bytes().begin(), a.bytes().end());
  return v;
}

// The Python object a native value stands for, for the conversions whose
// exact Python behaviour is rare enough to be left to Python.
py::object python_of(const native::Value& v) {
  switch (v.kind) {
    case native::Value::None: return py::none();
    case native::Value::Bool: return py::bool_(v.i != 0);
    case native::Value::Int: return py::int_(v.i);
    case native::Value::Float: return py::float_(v.f);
    case native::Value::String:
      return py::reinterpret_steal<py::object>(
          PyUnicode_DecodeUTF8(v.s.data(), static_cast<py::ssize_t>(v.s.size()), "replace"));
    case native::Value::Ints: return int_list(v.ints);
    case native::Value::Floats: {
      py::list l;
      for (double d : v.floats) l.append(py::float_(d));
      return std::move(l);
    }
    case native::Value::Strings: return str_list(v.strings);
    case native::Value::Tensor:
      try {
        return to_py(Array::from_bytes(dtype_of_elem(v.elem), v.dims, std::vector<uint8_t>(v.bytes.begin(), v.bytes.end())));
      } catch (const ArrayError&) {
        return py::none();
      }
    case native::Value::DType:
      try {
        return module_name("np").attr("dtype")(dtype_name(dtype_of_elem(v.elem)));
      } catch (const ArrayError&) {
        return module_name("np").attr("dtype")("O");
      }
    case native::Value::Opaque: return py::module_::import("builtins").attr("object")();
  }
  return py::none();
}

py::object python_of(const Ref& r) { return r.value() ? python_of(*r.value()) : obj(r); }

native::Value native_of(const Value& v);

native::Value native_of(const Ref& r) {
  if (r.value()) return *r.value();
  if (r.is_none()) return native::Value();
  throw HostTypeError("a host object cannot be written to the native graph: " + r.repr());
}

// A facade value as the native host takes it (an op input is one of the same
// alternatives, converted without a copy through a facade value).
struct ToNative {
  // A value of `kind` holding `x` in `field`.
  template <class T, class F>
  static native::Value holding(native::Value::Kind kind, F native::Value::*field, const T& x) {
    native::Value n;
    n.kind = kind;
    n.*field = x;
    return n;
  }
  native::Value operator()(const None&) const { return native::Value(); }
  native::Value operator()(const Bool& x) const { return holding(native::Value::Bool, &native::Value::i, x.value); }
  native::Value operator()(int64_t x) const { return holding(native::Value::Int, &native::Value::i, x); }
  native::Value operator()(double x) const { return holding(native::Value::Float, &native::Value::f, x); }
  native::Value operator()(const std::string& x) const { return holding(native::Value::String, &native::Value::s, x); }
  native::Value operator()(const Ints& x) const { return holding(native::Value::Ints, &native::Value::ints, x); }
  native::Value operator()(const IntsTuple& x) const { return (*this)(x.values); }
  native::Value operator()(const Floats& x) const {
    return holding(native::Value::Floats, &native::Value::floats, x);
  }
  native::Value operator()(const Strings& x) const {
    return holding(native::Value::Strings, &native::Value::strings, x);
  }
  native::Value operator()(const Array& x) const { return tensor_value(x); }
  native::Value operator()(const Ref& x) const { return native_of(x); }
};

native::Value native_of(const Value& v) { return std::visit(ToNative{}, v); }

native::Value native_of(const OpInput& v) { return std::visit(ToNative{}, v); }

std::vector<Node> adopt_all(const std::vector<native::NodeH*>& handles) {
  std::vector<Node> out;
  out.reserve(handles.size());
  for (native::NodeH* h : handles) out.push_back(Node::adopt(h));
  return out;
}

}  // namespace

// ---------------------------------------------------------------- Ref

Ref::Ref(const Ref& other) noexcept : obj_(other.obj_), value_(other.value_) { Py_XINCREF(static_cast<PyObject*>(obj_)); }
Ref::Ref(Ref&& other) noexcept : obj_(other.obj_), value_(std::move(other.value_)) { other.obj_ = nullptr; }
Ref& Ref::operator=(const Ref& other) noexcept {
  if (this != &other) {
    Py_XINCREF(static_cast<PyObject*>(other.obj_));
    Py_XDECREF(static_cast<PyObject*>(obj_));
    obj_ = other.obj_;
    value_ = other.value_;
  }
  return *this;
}
Ref& Ref::operator=(Ref&& other) noexcept {
  if (this != &other) {
    Py_XDECREF(static_cast<PyObject*>(obj_));
    obj_ = other.obj_;
    other.obj_ = nullptr;
    value_ = std::move(other.value_);
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
Ref Ref::of(native::Value v) {
  Ref r;
  r.value_ = std::make_shared<const native::Value>(std::move(v));
  return r;
}
void* Ref::release() noexcept {
  void* o = obj_;
  obj_ = nullptr;
  return o;
}
bool Ref::is_none() const {
  if (value_) return value_->kind == native::Value::None;
  return obj_ == nullptr || obj_ == Py_None;
}
bool Ref::truthy() const {
  if (value_) {
    switch (value_->kind) {
      case native::Value::None: return false;
      case native::Value::Bool:
      case native::Value::Int: return value_->i != 0;
      case native::Value::Float: return value_->f != 0.0;
      case native::Value::String: return !value_->s.empty();
      case native::Value::Ints: return !value_->ints.empty();
      case native::Value::Floats: return !value_->floats.empty();
      case native::Value::Strings: return !value_->strings.empty();
      default: return python_of(*this).cast<bool>();
    }
  }
  if (obj_ == nullptr) return false;
  const int r = PyObject_IsTrue(static_cast<PyObject*>(obj_));
  if (r < 0) throw py::error_already_set();
  return r == 1;
}
bool Ref::equals(int64_t v) const {
  if (value_) {
    switch (value_->kind) {
      case native::Value::Bool:
      case native::Value::Int: return value_->i == v;
      case native::Value::Float: return value_->f == static_cast<double>(v);
      case native::Value::Tensor: return python_of(*this).equal(py::int_(v));
      default: return false;
    }
  }
  if (obj_ == nullptr) return false;
  return h(*this).equal(py::int_(v));
}
bool Ref::equals(const std::string& v) const {
  if (value_) {
    if (value_->kind == native::Value::String) return value_->s == v;
    if (value_->kind == native::Value::Tensor) return python_of(*this).equal(py::str(v));
    return false;
  }
  if (obj_ == nullptr) return false;
  return h(*this).equal(py::str(v));
}
std::string Ref::repr() const { return py::str(python_of(*this)); }

int64_t to_int(const Ref& v, const std::string& what) {
  if (v.value() && v.value()->kind == native::Value::Int) return v.value()->i;
  const py::object o = python_of(v);
  int64_t x;
  if (index_value(o, x)) return x;
  if (PyLong_Check(o.ptr())) throw HostTypeError(what + ": integer " + std::string(py::str(o)) +
                                                 " is out of the 64-bit range");
  throw HostTypeError(what + ": expected an integer, got " + type_name(o));
}

double to_double(const Ref& v, const std::string& what) {
  if (v.value() && v.value()->kind == native::Value::Float) return v.value()->f;
  if (v.value() && v.value()->kind == native::Value::Int) return static_cast<double>(v.value()->i);
  const py::object o = python_of(v);
  PyObject* f = PyNumber_Float(o.ptr());
  if (f == nullptr) {
    PyErr_Clear();
    throw HostTypeError(what + ": expected a number, got " + type_name(o));
  }
  const double d = PyFloat_AsDouble(f);
  Py_DECREF(f);
  return d;
}

Ints to_ints(const Ref& v, const std::string& what) {
  if (v.is_none()) throw HostTypeError(what + ": expected a list of integers, got None");
  if (v.value() && v.value()->kind == native::Value::Ints) return v.value()->ints;
  if (v.value() && v.value()->kind == native::Value::Int) return Ints{v.value()->i};
  return ints_of(python_of(v), what);
}

std::string to_str(const Ref& v, const std::string& what) {
  if (v.value() && v.value()->kind == native::Value::String) return v.value()->s;
  return str_of(python_of(v), what);
}

// ---------------------------------------------------------------- Node

Node Node::adopt(native::NodeH* handle) {
  Node n;
  n.handle_ = handle;
  return n;
}
Node::Node(const Node& o) : ref_(o.ref_), handle_(o.handle_) {
  if (handle_) nh().retain(handle_);
}
Node::Node(Node&& o) noexcept : ref_(std::move(o.ref_)), handle_(o.handle_) { o.handle_ = nullptr; }
Node& Node::operator=(Node o) noexcept {
  std::swap(ref_, o.ref_);
  std::swap(handle_, o.handle_);
  return *this;
}
Node::~Node() {
  if (handle_) nh().release(handle_);
}

std::string Node::op_type() const {
  if (handle_) return nh().op_type(handle_);
  return str_of(obj(ref_).attr("op_type"), "node.op_type");
}
std::string Node::name() const {
  if (handle_) return nh().name(handle_);
  return str_of(obj(ref_).attr("name"), "node.name");
}

namespace {

Strings native_ports(native::NodeH* n, bool outputs) {
  const size_t count = nh().num_ports(n, outputs);
  Strings out;
  out.reserve(count);
  for (size_t i = 0; i < count; ++i) out.push_back(nh().port(n, outputs, i));
  return out;
}

std::string native_port(const Node& n, bool outputs, size_t i) {
  if (i >= nh().num_ports(n.handle(), outputs))
    throw std::out_of_range("node '" + n.name() + "' has no " + (outputs ? "output " : "input ") + std::to_string(i));
  return nh().port(n.handle(), outputs, i);
}

void native_set_port(const Node& n, bool outputs, size_t i, const std::string& t) {
  if (i >= nh().num_ports(n.handle(), outputs)) throw std::out_of_range("list assignment index out of range");
  nh().set_port(n.handle(), outputs, i, t);
}

}  // namespace

size_t Node::num_inputs() const {
  if (handle_) return nh().num_ports(handle_, false);
  return static_cast<size_t>(py::len(port_list(*this, "input")));
}
std::string Node::input(size_t i) const { return handle_ ? native_port(*this, false, i) : port_name(*this, "input", i); }
Strings Node::inputs() const { return handle_ ? native_ports(handle_, false) : port_names(*this, "input"); }
void Node::set_input(size_t i, const std::string& t) const {
  if (handle_) return native_set_port(*this, false, i, t);
  set_port(*this, "input", i, t);
}
size_t Node::num_outputs() const {
  if (handle_) return nh().num_ports(handle_, true);
  return static_cast<size_t>(py::len(port_list(*this, "output")));
}
std::string Node::output(size_t i) const { return handle_ ? native_port(*this, true, i) : port_name(*this, "output", i); }
Strings Node::outputs() const { return handle_ ? native_ports(handle_, true) : port_names(*this, "output"); }
void Node::set_output(size_t i, const std::string& t) const {
  if (handle_) return native_set_port(*this, true, i, t);
  set_port(*this, "output", i, t);
}

size_t NodeList::size() const {
  if (native_) return nodes_.size();
  return static_cast<size_t>(py::len(h(seq_)));
}

Node NodeList::at(size_t i) const {
  if (native_) {
    if (i >= nodes_.size())
      throw std::out_of_range(std::string(rule_) + " needs " + std::to_string(i + 1) + " matched node(s), got " +
                              std::to_string(nodes_.size()));
    return nodes_[i];
  }
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
  if (graph_) {
    const std::vector<int64_t>* s = nh().shape(graph_, t);
    if (s == nullptr || s->empty()) return std::nullopt;
    return *s;
  }
  return shape_of(obj(ref_).attr("get_shape")(t), t, true);
}
std::optional<Shape> Ir::shape_raw(const std::string& t) const {
  if (graph_) {
    const std::vector<int64_t>* s = nh().shape(graph_, t);
    if (s == nullptr) return std::nullopt;
    return *s;
  }
  return shape_of(obj(ref_).attr("get_shape")(t), t, false);
}
Ref Ir::dtype(const std::string& t) const {
  if (graph_) {
    native::Value v;
    const int32_t elem = nh().dtype(graph_, t);
    if (elem == 0) return Ref::of(v);
    v.kind = native::Value::DType;
    v.elem = elem;
    return Ref::of(std::move(v));
  }
  return to_ref(obj(ref_).attr("get_dtype")(t));
}
void Ir::set_shape(const std::string& t, const Shape& s) const {
  if (graph_) return nh().set_shape(graph_, t, s, 0);
  obj(ref_).attr("set_shape")(t, int_list(s));
}
void Ir::set_shape(const std::string& t, const Shape& s, const Ref& dtype) const {
  if (graph_) {
    int32_t elem = 0;
    if (dtype.value() && dtype.value()->kind == native::Value::DType)
      elem = dtype.value()->elem;
    else if (!dtype.is_none())
      throw HostTypeError("data type of tensor '" + t + "': expected a data type, got " + dtype.repr());
    return nh().set_shape(graph_, t, s, elem);
  }
  obj(ref_).attr("set_shape")(t, int_list(s), py::arg("dtype") = obj(dtype));
}

std::optional<Array> Ir::get_const(const std::string& t) const {
  if (graph_) {
    native::Value v;
    if (!nh().get_const(graph_, t, v)) return std::nullopt;
    if (v.kind != native::Value::Tensor)
      throw HostTypeError("constant '" + t + "' has unsupported element type " + std::to_string(v.elem));
    DType dt;
    try {
      dt = dtype_of_elem(v.elem);
    } catch (const ArrayError&) {
      throw HostTypeError("constant '" + t + "' has unsupported element type " + std::to_string(v.elem));
    }
    return Array::from_bytes(dt, v.dims, std::vector<uint8_t>(v.bytes.begin(), v.bytes.end()));
  }
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

Ref Ir::get_const_ref(const std::string& t) const {
  if (graph_) {
    native::Value v;
    if (!nh().get_const(graph_, t, v)) return Ref::of(native::Value());
    return Ref::of(std::move(v));
  }
  return to_ref(obj(ref_).attr("get_const")(t));
}
void Ir::set_const(const std::string& t, const Array& a) const {
  if (graph_) return nh().set_const(graph_, t, tensor_value(a));
  obj(ref_).attr("set_const")(t, to_py(a));
}
bool Ir::is_const(const std::string& t) const {
  if (graph_) return nh().is_const(graph_, t);
  return contains(obj(ref_).attr("consts"), t);
}

Ref Ir::get_attr(const Node& n, const std::string& name) const {
  if (graph_) {
    native::Value v;
    nh().get_attr(graph_, n.handle(), name, v);
    return Ref::of(std::move(v));
  }
  return to_ref(obj(ref_).attr("get_attr")(h(n.ref()), name));
}
Ref Ir::get_attr(const Node& n, const std::string& name, const Value& dflt) const {
  if (graph_) {
    native::Value v;
    if (!nh().get_attr(graph_, n.handle(), name, v)) v = native_of(dflt);
    return Ref::of(std::move(v));
  }
  return to_ref(obj(ref_).attr("get_attr")(h(n.ref()), name, to_py(dflt)));
}
void Ir::set_attr(const Node& n, const std::string& name, const Value& value) const {
  if (graph_) return nh().set_attr(graph_, n.handle(), name, native_of(value));
  obj(ref_).attr("set_attr")(h(n.ref()), name, to_py(value));
}

std::vector<Node> Ir::next_nodes(const Node& n) const {
  if (graph_) return adopt_all(nh().next_nodes(graph_, n.handle()));
  return node_vector(obj(ref_).attr("next_nodes")(h(n.ref())), "ir.next_nodes");
}
std::vector<Node> Ir::pre_nodes(const Node& n) const {
  if (graph_) return adopt_all(nh().pre_nodes(graph_, n.handle()));
  return node_vector(obj(ref_).attr("pre_nodes")(h(n.ref())), "ir.pre_nodes");
}
bool Ir::is_graph_input(const std::string& t) const {
  if (graph_) return nh().is_graph_input(graph_, t);
  return contains(obj(ref_).attr("inputs"), t);
}
bool Ir::is_graph_output(const std::string& t) const {
  if (graph_) return nh().is_graph_output(graph_, t);
  return contains(obj(ref_).attr("outputs"), t);
}
bool Ir::is_invalid(const std::string& t) const {
  if (graph_) return t.empty();
  return obj(ref_).attr("is_invalid")(t).cast<bool>();
}

bool Ir::dynamic_shapes() const {
  if (graph_) return nh().dynamic_shapes(graph_);
  return py::bool_(obj(ref_).attr("dynamic_shapes"));
}
std::string Ir::unsqueeze_2d_mode() const {
  if (graph_) return nh().unsqueeze_2d_mode(graph_);
  return str_of(obj(ref_).attr("unsqueeze_2d_mode"), "ir.unsqueeze_2d_mode");
}
int64_t Ir::opset_version() const {
  if (graph_) return nh().opset_version(graph_);
  return to_int(to_ref(obj(ref_).attr("opset_version")()), "ir.opset_version()");
}
std::string Ir::npu_target() const {
  if (graph_) return nh().npu_target(graph_);
  py::object v = obj(ref_).attr("npu_target");
  return v.is_none() ? std::string() : std::string(py::str(v));
}
std::string Ir::producer_name() const {
  if (graph_) return nh().producer_name(graph_);
  py::object v = obj(ref_).attr("model").attr("producer_name");
  return v.is_none() ? std::string() : str_of(v, "ir.model.producer_name");
}
void Ir::append_weight_for_align(const std::string& t) const {
  if (graph_) return nh().append_weight_for_align(graph_, t);
  obj(ref_).attr("weights_for_align").attr("append")(t);
}

// ---------------------------------------------------------------- Builder

Builder::Builder(const Ir& ir) {
  if (ir.handle()) {
    native::BuilderH* b = nh().new_builder(ir.handle());
    native_ = std::shared_ptr<native::BuilderH>(b, [](native::BuilderH* p) { nh().free_builder(p); });
    return;
  }
  ref_ = to_ref(module_name("Graph")(h(ir.ref())));
}

std::string Builder::op(const std::string& op_type, const std::vector<OpInput>& inputs, const Kwargs& kwargs) const {
  if (native_) {
    std::vector<native::Value> ins;
    ins.reserve(inputs.size());
    for (const OpInput& i : inputs) ins.push_back(native_of(i));
    std::vector<std::pair<std::string, native::Value>> kw;
    kw.reserve(kwargs.size());
    for (const auto& [k, v] : kwargs) kw.emplace_back(k, native_of(v));
    return nh().build(native_.get(), op_type, ins, kw);
  }
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

std::vector<Node> Builder::nodes() const {
  if (native_) return adopt_all(nh().built(native_.get()));
  return node_vector(obj(ref_).attr("nodes"), "Graph.nodes");
}
size_t Builder::num_nodes() const {
  if (native_) return nodes().size();
  return static_cast<size_t>(py::len(obj(ref_).attr("nodes")));
}
Node Builder::last_node() const {
  if (native_) {
    std::vector<Node> all = nodes();
    if (all.empty()) throw std::out_of_range("Graph.nodes is empty");
    return all.back();
  }
  py::object l = obj(ref_).attr("nodes");
  const size_t n = static_cast<size_t>(py::len(l));
  if (n == 0) throw std::out_of_range("Graph.nodes is empty");
  return Node(to_ref(l[py::int_(n - 1)]));
}
Ref Builder::nodes_ref() const {
  if (native_) throw std::logic_error("the native builder has no Python node list");
  return to_ref(obj(ref_).attr("nodes"));
}

// ---------------------------------------------------------------- logger and helpers

namespace log {
void warn(const std::string& m) { module_name("vexoLog").attr("w")(m); }
void error(const std::string& m) {
  module_name("vexoLog").attr("e")(m);
  throw RuleError(m);
}
}  // namespace log

bool in_reduce_ops(const std::string& op_type) {
  if (internal::in_native_call()) return nh().in_reduce_ops(op_type);
  return contains(module_name("REDUCE_OPS"), op_type);
}

Ints get_reduce_axes(const Ir& ir, const Node& n) {
  if (ir.handle()) return nh().get_reduce_axes(ir.handle(), n.handle());
  py::object v = module_name("get_reduce_axes")(h(ir.ref()), h(n.ref()));
  if (v.is_none()) throw HostTypeError("get_reduce_axes gave None for node '" + n.name() + "'");
  return ints_of(v, "reduce axes of node '" + n.name() + "'");
}

void set_reduce_axes(const Ir& ir, const Node& n, const Ints& axes) {
  if (ir.handle()) return nh().set_reduce_axes(ir.handle(), n.handle(), axes);
  module_name("set_reduce_axes")(h(ir.ref()), h(n.ref()), int_list(axes));
}

std::string node_name_join(const Ir& ir, const std::string& base, const std::string& suffix) {
  if (ir.handle()) return nh().unique_name(ir.handle(), base + suffix);
  return str_of(module_name("node_name_join")(h(ir.ref()), base, suffix), "node_name_join result");
}

std::string oper_name_join(const Ir& ir, const std::string& tensor, const std::string& suffix) {
  if (ir.handle()) return nh().unique_name(ir.handle(), tensor + suffix);
  return str_of(module_name("oper_name_join")(h(ir.ref()), tensor, suffix), "oper_name_join result");
}

void copy_par(const Ref& quant_tab, const std::string& first, const std::string& second) {
  module_name("copy_par")(h(quant_tab), first, second);
}

int64_t align_sub_c(const Ir& ir) {
  const int64_t a = ir.handle() ? nh().align_sub_c(ir.handle())
                                : to_int(to_ref(module_name("align_sub_c")(h(ir.ref()))), "align_sub_c result");
  if (a <= 0) throw HostTypeError("align_sub_c gave a channel alignment of " + std::to_string(a));
  return a;
}

std::pair<Ints, Ints> squeeze_broadcast_dims(const Ints& a, const Ints& b) {
  if (internal::in_native_call()) return nh().squeeze_broadcast_dims(a, b);
  py::object r = module_name("squeeze_broadcast_dims")(int_list(a), int_list(b));
  if (!PySequence_Check(r.ptr()) || py::len(r) != 2)
    throw HostTypeError("squeeze_broadcast_dims must return a pair of shape lists");
  return {ints_of(r[py::int_(0)], "squeeze_broadcast_dims result"),
          ints_of(r[py::int_(1)], "squeeze_broadcast_dims result")};
}

std::vector<std::pair<Ints, Ints>> seperate_independent_part_for_reshape(const Ints& in, const Ints& out) {
  if (internal::in_native_call()) return nh().seperate_independent_part_for_reshape(in, out);
  py::object r = module_name("seperate_independent_part_for_reshape")(int_list(in), int_list(out));
  std::vector<std::pair<Ints, Ints>> parts;
  for (py::handle p : r) {
    if (!PySequence_Check(p.ptr()) || py::len(p) != 2)
      throw HostTypeError("seperate_independent_part_for_reshape must give pairs of axis lists");
    parts.emplace_back(ints_of(p[py::int_(0)], "independent part"), ints_of(p[py::int_(1)], "independent part"));
  }
  return parts;
}

namespace {

// [int(c) for c in np.asarray(chunk_size).reshape(-1)]
Ints chunk_ints(const Value& chunk_size) {
  if (const auto* ints = std::get_if<Ints>(&chunk_size)) return *ints;
  py::object arr = module_name("np").attr("asarray")(to_py(chunk_size)).attr("reshape")(-1);
  Ints out;
  for (py::handle c : arr) out.push_back(py::int_(py::reinterpret_borrow<py::object>(c)).cast<int64_t>());
  return out;
}

}  // namespace

GatherPlan gen_gather_for_change_split_shape(const Ints& refer_shape, const Ints& new_shape, int64_t axis,
                                             int64_t new_axis, const Value& chunk_size, const std::string& op_type) {
  if (internal::in_native_call()) {
    const Ref* ref = std::get_if<Ref>(&chunk_size);
    const Ints chunks = ref && ref->value() ? to_ints(*ref, "split sizes") : chunk_ints(chunk_size);
    const native::GatherPlan p =
        nh().gen_gather_for_change_split_shape(refer_shape, new_shape, axis, new_axis, chunks, op_type);
    GatherPlan plan;
    plan.axis = p.axis;
    plan.index = p.index;
    plan.before = p.before;
    return plan;
  }
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

Node deepcopy(const Node& n) {
  if (n.handle()) return Node::adopt(nh().copy_node(n.handle()));
  return Node(to_ref(module_name("copy").attr("deepcopy")(h(n.ref()))));
}

Node make_onnx_node(const std::string& op_type, const Strings& inputs, const Strings& outputs, const std::string& name) {
  if (internal::in_native_call()) return Node::adopt(nh().make_node(op_type, inputs, outputs, name));
  py::object node = module_name("onnx").attr("helper").attr("make_node")(
      op_type, py::arg("inputs") = str_list(inputs), py::arg("outputs") = str_list(outputs), py::arg("name") = name);
  return Node(to_ref(node));
}

namespace {
bool elem_is_floating(int32_t e) { return e == 1 || e == 10 || e == 11 || e == 16; }
}  // namespace

bool dtype_is_floating(const Ref& dtype) {
  if (dtype.is_none()) return false;
  if (dtype.value() && dtype.value()->kind == native::Value::DType) return elem_is_floating(dtype.value()->elem);
  py::object np = module_name("np");
  return py::bool_(np.attr("issubdtype")(python_of(dtype), np.attr("floating")));
}

bool dtype_is_float32(const Ref& dtype) {
  if (dtype.is_none()) return false;
  if (dtype.value() && dtype.value()->kind == native::Value::DType) return dtype.value()->elem == 1;
  py::object np = module_name("np");
  try {
    return py::bool_(np.attr("dtype")(python_of(dtype)).equal(np.attr("dtype")("float32")));
  } catch (const py::error_already_set&) {
    return false;  // not a data type at all
  }
}

std::optional<DType> element_type(const Ref& dtype) {
  if (dtype.is_none()) return std::nullopt;
  if (dtype.value() && dtype.value()->kind == native::Value::DType) {
    try {
      return dtype_of_elem(dtype.value()->elem);
    } catch (const ArrayError&) {
      return std::nullopt;  // a type the arrays do not hold
    }
  }
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
RuleResult pair_of(py::object remove, py::object add) {
  RuleResult r;
  r.remove = to_ref(std::move(remove));
  r.add = to_ref(std::move(add));
  return r;
}
RuleResult native_pair(std::vector<Node> remove, std::vector<Node> add) {
  RuleResult r;
  r.native = true;
  r.native_remove = std::move(remove);
  r.native_add = std::move(add);
  return r;
}
bool any_native(const std::vector<Node>& nodes) {
  return std::any_of(nodes.begin(), nodes.end(), [](const Node& n) { return n.handle() != nullptr; });
}
}  // namespace

RuleResult no_change() { return RuleResult(); }
RuleResult added(const Builder& g) {
  if (g.is_native()) return native_pair({}, g.nodes());
  return pair_of(py::list(), obj(g.nodes_ref()));
}
RuleResult replaced(const std::vector<Node>& remove, const Builder& g) {
  if (g.is_native()) return native_pair(remove, g.nodes());
  return pair_of(node_list(remove), obj(g.nodes_ref()));
}
RuleResult replaced(const NodeList& nodes, const Builder& g) {
  if (g.is_native()) return native_pair(nodes.is_native() ? nodes.nodes() : std::vector<Node>(), g.nodes());
  return pair_of(obj(nodes.ref()), obj(g.nodes_ref()));
}
RuleResult result(const std::vector<Node>& remove, const std::vector<Node>& add) {
  if (any_native(remove) || any_native(add)) return native_pair(remove, add);
  return pair_of(node_list(remove), node_list(add));
}

// ---------------------------------------------------------------- failures on the native graph

std::string internal::failure_text(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (py::error_already_set& e) {
    static PyObject* vexo_error = nullptr;
    if (!vexo_error) vexo_error = py::object(py::module_::import("vexo.api.vexo_log").attr("VexoError")).release().ptr();
    if (e.matches(vexo_error)) return py::str(e.value().attr("message"));
    const std::string type = py::str(e.type().attr("__name__"));
    const std::string text = py::str(e.value());
    static const char* plain[] = {"BrokenGraph", "ModelError"};
    for (const char* p : plain)
      if (type == p) return text;
    return type + ": " + (text.empty() ? type : text);
  } catch (const RuleError& e) {
    return std::string("RuntimeError: ") + e.what();  // the logger's `e` returned: as pybind11 raises it
  } catch (const HostTypeError& e) {
    return std::string("TypeError: ") + e.what();
  } catch (const ArrayError& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const std::out_of_range& e) {
    return std::string("IndexError: ") + e.what();
  } catch (const std::invalid_argument& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const std::length_error& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const std::domain_error& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const std::range_error& e) {
    return std::string("ValueError: ") + e.what();
  } catch (const std::overflow_error& e) {
    return std::string("OverflowError: ") + e.what();
  } catch (const std::bad_alloc&) {
    return "MemoryError: MemoryError";
  } catch (const std::exception& e) {
    return std::string("RuntimeError: ") + e.what();
  } catch (...) {
    return "RuntimeError: unknown error";
  }
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
