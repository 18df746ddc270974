// Python bindings of the native graph: Graph (the base of IrGraph), Node
// (IrNode), the node's port lists and the graph's name lists and constants.
#include <cstring>

#include "cleanup.hpp"
#include "model_io.hpp"
#include "py_common.hpp"
#include "wire.hpp"

using namespace std::string_view_literals;

namespace vexo::graph::py_bind {

namespace {

// ---------------------------------------------------------------- element types

struct DTypes {
  std::unordered_map<int32_t, py::object> to_numpy;
  py::object np_dtype;
  py::object helper;
};

DTypes& dtypes() {
  static DTypes* d = [] {
    auto* t = new DTypes();
    t->np_dtype = py::module_::import("numpy").attr("dtype");
    t->helper = py::module_::import("onnx").attr("helper");
    return t;
  }();
  return *d;
}

// The numpy name of an element type numpy holds as plain numbers (not strings or bfloat16), or nullptr.
const char* plain_numpy_name(int32_t elem) {
  return elem == kString || elem == kBFloat16 ? nullptr : known_elem_name(elem);
}

}  // namespace

py::bytes bytes_of(const Pieces& pieces) {
  PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(pieces.size()));
  if (!out) throw py::error_already_set();
  pieces.copy_to(PyBytes_AS_STRING(out));  // straight into the bytes object
  return py::reinterpret_steal<py::bytes>(out);
}

py::handle imported(const char* module, const char* name) {
  static auto* cache = new std::unordered_map<std::string, py::object>();
  const std::string key = std::string(module) + ":" + name;
  auto it = cache->find(key);
  if (it != cache->end()) return it->second;
  py::object value = py::module_::import(module).attr(name);
  return (*cache)[key] = value;
}

py::object numpy_dtype(int32_t elem) {
  if (elem == kUndefined) return py::none();
  DTypes& d = dtypes();
  auto it = d.to_numpy.find(elem);
  if (it != d.to_numpy.end()) return it->second;
  py::object dt;
  if (const char* name = plain_numpy_name(elem)) {
    dt = d.np_dtype(name);
  } else {
    try {
      dt = d.np_dtype(d.helper.attr("tensor_dtype_to_np_dtype")(elem));
    } catch (py::error_already_set&) {
      dt = py::none();
    }
  }
  d.to_numpy[elem] = dt;
  return dt;
}

int32_t elem_of_dtype(py::handle dtype) {
  DTypes& d = dtypes();
  py::object dt = d.np_dtype(dtype);
  const std::string name = py::str(dt.attr("name"));
  for (int32_t e : {kFloat, kUInt8, kInt8, kUInt16, kInt16, kInt32, kInt64, kBool, kFloat16, kDouble, kUInt32, kUInt64,
                    kComplex64, kComplex128})
    if (name == plain_numpy_name(e)) return e;
  try {
    return d.helper.attr("np_dtype_to_tensor_dtype")(dt).cast<int32_t>();
  } catch (py::error_already_set&) {
    throw py::type_error("ONNX has no element type for numpy " + name);
  }
}

// ---------------------------------------------------------------- constants

py::object to_array(const ConstPtr& c) {
  if (!c) return py::none();
  const char* plain = c->has_bytes() ? plain_numpy_name(c->elem) : nullptr;
  if (plain == nullptr) {  // strings, bfloat16, float8, 4-bit: through onnx's own reader
    const std::string head = tensor_head(*c, "");
    std::string proto = head + std::string(tensor_data(*c));
    py::object tp = py::module_::import("onnx").attr("TensorProto").attr("FromString")(py::bytes(proto));
    return py::module_::import("onnx").attr("numpy_helper").attr("to_array")(tp);
  }
  py::dtype dt = py::reinterpret_borrow<py::dtype>(numpy_dtype(c->elem));
  std::vector<py::ssize_t> shape(c->dims.begin(), c->dims.end());
  auto* keep = new ConstPtr(c);
  py::capsule base(keep, [](void* p) { delete static_cast<ConstPtr*>(p); });
  py::array arr(dt, shape, std::vector<py::ssize_t>(), c->bytes().data(), base);
  py::detail::array_proxy(arr.ptr())->flags &= ~py::detail::npy_api::NPY_ARRAY_WRITEABLE_;
  return std::move(arr);
}

ConstPtr from_array(py::handle value, const std::string& name) {
  py::module_ np = py::module_::import("numpy");
  py::object arr = np.attr("asarray")(value);
  py::object dt = arr.attr("dtype");
  const std::string kind = py::str(dt.attr("kind"));
  const char* plain = nullptr;
  int32_t elem = kUndefined;
  if (kind != "O"sv && kind != "U"sv && kind != "S"sv) {
    try {
      elem = elem_of_dtype(dt);
      plain = plain_numpy_name(elem);
    } catch (py::error_already_set&) {
      plain = nullptr;
    } catch (const py::type_error&) {
      plain = nullptr;
    }
  }
  if (plain == nullptr) {  // through onnx's own writer, kept as its TensorProto
    py::object tp = py::module_::import("onnx").attr("numpy_helper").attr("from_array")(arr, name);
    const std::string bytes = py::bytes(tp.attr("SerializeToString")());
    return read_tensor(bytes, nullptr, nullptr);
  }
  // np.require keeps a zero-dimensional array as it is (ascontiguousarray would make it one-dimensional).
  py::array c = np.attr("require")(arr, py::none(), "C");
  Shape dims(c.shape(), c.shape() + c.ndim());
  std::string bytes(static_cast<const char*>(c.data()), static_cast<size_t>(c.nbytes()));
  return Constant::owned(elem, std::move(dims), std::move(bytes));
}

// ---------------------------------------------------------------- attributes

py::object attr_to_python(const AttrValue& v) {
  auto text = [](const std::string& s) {
    return py::reinterpret_steal<py::object>(PyUnicode_DecodeUTF8(s.data(), static_cast<py::ssize_t>(s.size()),
                                                                  "replace"));
  };
  switch (v.kind) {
    case AttrValue::None: return py::none();
    case AttrValue::Int: return v.is_bool ? py::object(py::bool_(v.i != 0)) : py::object(py::int_(v.i));
    case AttrValue::Float: return py::float_(v.f);
    case AttrValue::String: return text(v.s);
    case AttrValue::Ints: return py::cast(v.ints);
    case AttrValue::Floats: return py::cast(v.floats.get());
    case AttrValue::Strings: {
      py::list l;
      for (const std::string& s : v.strings) l.append(text(s));
      return std::move(l);
    }
    case AttrValue::Tensor: {
      py::object a = to_array(v.tensor);
      return a.attr("copy")();
    }
    case AttrValue::Raw:
      return py::module_::import("onnx").attr("AttributeProto").attr("FromString")(py::bytes(v.s));
  }
  return py::none();
}

namespace {

bool is_int_like(py::handle x) {
  if (PyBool_Check(x.ptr()) || PyLong_Check(x.ptr())) return true;
  return py::isinstance(x, imported("numpy", "integer")) || py::isinstance(x, imported("numpy", "bool_"));
}

bool is_float_like(py::handle x) {
  return PyFloat_Check(x.ptr()) || py::isinstance(x, imported("numpy", "floating"));
}

std::string bytes_of_text(py::handle x) {
  if (py::isinstance<py::bytes>(x)) return std::string(py::reinterpret_borrow<py::bytes>(x));
  return py::str(x).cast<std::string>();
}

}  // namespace

AttrValue attr_from_python(py::handle value, const std::string& name, const std::string& what) {
  if (value.is_none()) return AttrValue::none();
  if (PyBool_Check(value.ptr())) return AttrValue::of_int(value.ptr() == Py_True, true);
  if (py::isinstance(value, imported("numpy", "ndarray"))) return AttrValue::of_tensor(from_array(value, ""));
  py::object v = py::reinterpret_borrow<py::object>(value);
  if (py::isinstance(v, imported("numpy", "generic"))) v = v.attr("item")();
  if (PyBool_Check(v.ptr())) return AttrValue::of_int(v.ptr() == Py_True, true);
  if (PyLong_Check(v.ptr())) return AttrValue::of_int(v.cast<int64_t>());
  if (PyFloat_Check(v.ptr())) return AttrValue::of_float(v.cast<double>());
  if (py::isinstance<py::str>(v) || py::isinstance<py::bytes>(v)) return AttrValue::of_string(bytes_of_text(v));
  if (py::isinstance<py::list>(v) || py::isinstance<py::tuple>(v)) {
    py::sequence seq = py::reinterpret_borrow<py::sequence>(v);
    if (py::len(seq) == 0) return AttrValue::of_ints({});
    bool ints = true, numbers = true, texts = true;
    for (py::handle x : seq) {
      const bool i = is_int_like(x);
      ints = ints && i;
      numbers = numbers && (i || is_float_like(x));
      texts = texts && (py::isinstance<py::str>(x) || py::isinstance<py::bytes>(x));
    }
    if (ints) {
      std::vector<int64_t> out;
      for (py::handle x : seq) out.push_back(py::int_(py::reinterpret_borrow<py::object>(x)).cast<int64_t>());
      return AttrValue::of_ints(std::move(out));
    }
    if (numbers) {
      std::vector<double> out;
      for (py::handle x : seq) out.push_back(py::float_(py::reinterpret_borrow<py::object>(x)).cast<double>());
      return AttrValue::of_floats(std::move(out));
    }
    if (texts) {
      std::vector<std::string> out;
      for (py::handle x : seq) out.push_back(bytes_of_text(x));
      return AttrValue::of_strings(std::move(out));
    }
  }
  py::module_ onnx = py::module_::import("onnx");
  if (py::isinstance(v, onnx.attr("AttributeProto")))
    return AttrValue::of_raw(py::bytes(v.attr("SerializeToString")()));
  try {  // protos and lists of them, as onnx writes them
    py::object a = onnx.attr("helper").attr("make_attribute")(name, v);
    return AttrValue::of_raw(py::bytes(a.attr("SerializeToString")()));
  } catch (py::error_already_set& e) {
    throw py::type_error(what + ": attribute '" + name + "' = " + std::string(py::repr(v)) +
                         " cannot be written (" + std::string(py::str(e.value())) + ")");
  }
}

// ---------------------------------------------------------------- shapes

std::optional<Shape> shape_from_python(py::handle shape, const std::string& tensor) {
  if (shape.is_none()) return std::nullopt;
  if (py::isinstance<py::str>(shape) || !py::isinstance<py::iterable>(shape))
    throw py::type_error("shape of tensor '" + tensor + "': expected a list of integers, got " +
                         std::string(py::str(py::type::of(shape).attr("__name__"))));
  Shape out;
  for (py::handle d : shape) {
    try {
      out.push_back(py::int_(py::reinterpret_borrow<py::object>(d)).cast<int64_t>());
    } catch (py::error_already_set&) {
      throw py::type_error("shape of tensor '" + tensor + "': " + std::string(py::repr(d)) + " is not an integer");
    } catch (const py::cast_error&) {
      throw py::type_error("shape of tensor '" + tensor + "': " + std::string(py::repr(d)) +
                           " is out of the 64-bit range");
    }
  }
  return out;
}

py::object shape_to_python(const std::optional<Shape>& s) {
  if (!s) return py::none();
  return py::cast(*s);
}

// ---------------------------------------------------------------- nodes from Python

NodePtr node_from_proto(py::handle proto) {
  const std::string bytes = py::bytes(proto.attr("SerializeToString")());
  wire::Reader r(bytes);
  wire::Field f;
  Names ins, outs;
  std::string name, op, domain, extras;
  NodePtr node;
  std::vector<Attr> attrs;
  while (r.next(f)) {
    switch (f.number) {
      case 1: ins.emplace_back(f.bytes); break;
      case 2: outs.emplace_back(f.bytes); break;
      case 3: name = std::string(f.bytes); break;
      case 4: op = std::string(f.bytes); break;
      case 5: attrs.push_back(read_attribute(f.bytes, nullptr)); break;
      case 7: domain = std::string(f.bytes); break;
      default: extras.append(f.whole);
    }
  }
  std::string mapped = domain;
  if (is_custom_op(op) && (domain.empty() || domain == "ai.onnx"sv)) mapped = kCustomDomain;
  node = NodePtr(new Node(op, ins, outs, name, mapped));
  node->attrs = std::move(attrs);
  node->extras = std::move(extras);
  if (mapped == domain) node->raw = SharedBytes::copy_of(bytes);
  return node;
}

NodePtr node_from_python(py::handle obj) {
  if (py::isinstance<Node>(obj)) return obj.cast<NodePtr>();
  if (py::isinstance(obj, imported("onnx", "NodeProto"))) return node_from_proto(obj);
  return NodePtr();
}

Classes& classes() {
  static Classes* c = new Classes();
  return *c;
}

std::string python_failure(py::error_already_set& e) {
  Classes& c = classes();
  if (c.vexo_error && e.matches(c.vexo_error)) return py::str(e.value().attr("message"));
  std::string text = py::str(e.value());
  if ((c.broken_graph && e.matches(c.broken_graph)) || (c.model_error && e.matches(c.model_error))) return text;
  const std::string type = py::str(e.type().attr("__name__"));
  return type + ": " + (text.empty() ? type : text);
}

// ---------------------------------------------------------------- views

namespace {

// A node's input or output list: reads and writes go to the node at once.
struct PortList {
  NodePtr node;
  Port kind;

  const Names& get() const { return node->ports(kind); }
  void set(Names names) const { node->set_ports(kind, std::move(names)); }
  py::list list() const { return py::cast(get()); }
  size_t index(int64_t i, bool for_insert = false) const {
    const auto n = static_cast<int64_t>(get().size());
    if (i < 0) i += n;
    if (for_insert) return static_cast<size_t>(std::clamp<int64_t>(i, 0, n));
    if (i < 0 || i >= n) throw py::index_error("list index out of range");
    return static_cast<size_t>(i);
  }
};

py::list to_list(py::handle values) {
  PyObject* l = PySequence_List(values.ptr());
  if (!l) throw py::error_already_set();
  return py::reinterpret_steal<py::list>(l);
}

Names names_of(py::handle values) {
  Names out;
  for (py::handle v : values) {
    if (!py::isinstance<py::str>(v))
      throw py::type_error("a tensor name must be a string, got " + std::string(py::repr(v)));
    out.push_back(v.cast<std::string>());
  }
  return out;
}

std::string name_of(py::handle v) {
  if (!py::isinstance<py::str>(v))
    throw py::type_error("a tensor name must be a string, got " + std::string(py::repr(v)));
  return v.cast<std::string>();
}

bool list_like(py::handle other) {
  return py::isinstance<py::list>(other) || py::isinstance<PortList>(other);
}

void bind_port_list(py::module_& m) {
  py::class_<PortList>(m, "PortList", "A node's input or output list; writes reach the graph at once.")
      .def("__len__", [](const PortList& p) { return p.get().size(); })
      .def("__getitem__", [](const PortList& p, int64_t i) { return p.get()[p.index(i)]; })
      .def("__getitem__", [](const PortList& p, py::slice s) {
        py::list l = p.list();
        return py::object(l[s]);
      })
      .def("__setitem__", [](const PortList& p, int64_t i, py::handle v) {
        Names names = p.get();
        names[p.index(i)] = name_of(v);
        p.set(std::move(names));
      })
      .def("__setitem__", [](const PortList& p, py::slice s, py::handle values) {
        py::list l = p.list();
        l[s] = to_list(values);
        p.set(names_of(l));
      })
      .def("__delitem__", [](const PortList& p, int64_t i) {
        Names names = p.get();
        names.erase(names.begin() + static_cast<std::ptrdiff_t>(p.index(i)));
        p.set(std::move(names));
      })
      .def("__delitem__", [](const PortList& p, py::slice s) {
        py::list l = p.list();
        l.attr("__delitem__")(s);
        p.set(names_of(l));
      })
      .def("__iter__", [](const PortList& p) { return py::iter(p.list()); })
      .def("__reversed__", [](const PortList& p) { return py::module_::import("builtins").attr("reversed")(p.list()); })
      .def("__contains__", [](const PortList& p, py::handle v) {
        if (!py::isinstance<py::str>(v)) return false;
        const std::string s = v.cast<std::string>();
        return std::find(p.get().begin(), p.get().end(), s) != p.get().end();
      })
      .def("__eq__", [](const PortList& p, py::handle other) -> py::object {
        if (!list_like(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(p.list().equal(to_list(other)));
      })
      .def("__ne__", [](const PortList& p, py::handle other) -> py::object {
        if (!list_like(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(!p.list().equal(to_list(other)));
      })
      .def("__add__", [](const PortList& p, py::handle other) -> py::object {
        if (!list_like(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return p.list().attr("__add__")(to_list(other));
      })
      .def("__radd__", [](const PortList& p, py::handle other) -> py::object {
        if (!list_like(other)) return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return to_list(other).attr("__add__")(p.list());
      })
      .def("__iadd__", [](const PortList& p, py::handle values) {
        Names names = p.get();
        for (const Name& n : names_of(values)) names.push_back(n);
        p.set(std::move(names));
        return p;
      })
      .def("append", [](const PortList& p, py::handle v) {
        Names names = p.get();
        names.push_back(name_of(v));
        p.set(std::move(names));
      })
      .def("extend", [](const PortList& p, py::handle values) {
        Names names = p.get();
        for (const Name& n : names_of(values)) names.push_back(n);
        p.set(std::move(names));
      })
      .def("insert", [](const PortList& p, int64_t i, py::handle v) {
        Names names = p.get();
        names.insert(names.begin() + static_cast<std::ptrdiff_t>(p.index(i, true)), name_of(v));
        p.set(std::move(names));
      })
      .def("pop", [](const PortList& p, int64_t i) {
        Names names = p.get();
        if (names.empty()) throw py::index_error("pop from empty list");
        const size_t k = p.index(i);
        std::string out = names[k];
        names.erase(names.begin() + static_cast<std::ptrdiff_t>(k));
        p.set(std::move(names));
        return out;
      }, py::arg("index") = -1)
      .def("remove", [](const PortList& p, const std::string& v) {
        Names names = p.get();
        auto it = std::find(names.begin(), names.end(), v);
        if (it == names.end()) throw py::value_error("list.remove(x): x not in list");
        names.erase(it);
        p.set(std::move(names));
      })
      .def("clear", [](const PortList& p) { p.set({}); })
      .def("index", [](const PortList& p, const std::string& v) {
        auto it = std::find(p.get().begin(), p.get().end(), v);
        if (it == p.get().end()) throw py::value_error("'" + v + "' is not in list");
        return it - p.get().begin();
      })
      .def("count", [](const PortList& p, const std::string& v) { return std::count(p.get().begin(), p.get().end(), v); })
      .def("copy", &PortList::list)
      .def("__deepcopy__", [](const PortList& p, py::handle) { return p.list(); })
      .def("__reduce__", [](const PortList& p) { return py::make_tuple(py::module_::import("builtins").attr("list"),
                                                                      py::make_tuple(p.list())); })
      .def("__repr__", [](const PortList& p) { return py::repr(p.list()); })
      .attr("__hash__") = py::none();
}

// A list of names held by the graph (inputs, outputs, weights_for_align).
struct NameList {
  Graph* graph;
  int which;  // 0 inputs, 1 outputs, 2 weights_for_align
  py::object owner;

  const Names& get() const {
    return which == 0 ? graph->inputs : which == 1 ? graph->outputs : graph->weights_for_align();
  }
  py::list list() const { return py::cast(get()); }
};

void bind_name_list(py::module_& m) {
  py::class_<NameList>(m, "NameList", "A list of tensor names held by the graph.")
      .def("__len__", [](const NameList& l) { return l.get().size(); })
      .def("__getitem__", [](const NameList& l, py::handle i) {
        py::list all = l.list();
        return py::object(all[i]);
      })
      .def("__iter__", [](const NameList& l) { return py::iter(l.list()); })
      .def("__contains__", [](const NameList& l, py::handle v) {
        if (!py::isinstance<py::str>(v)) return false;
        const std::string s = v.cast<std::string>();
        return std::find(l.get().begin(), l.get().end(), s) != l.get().end();
      })
      .def("__eq__", [](const NameList& l, py::handle other) -> py::object {
        if (!py::isinstance<py::list>(other) && !py::isinstance<NameList>(other))
          return py::reinterpret_borrow<py::object>(Py_NotImplemented);
        return py::bool_(l.list().equal(to_list(other)));
      })
      .def("append", [](NameList& l, py::handle v) {
        const std::string name = name_of(v);
        if (l.which == 2)
          l.graph->append_weight_for_align(name);
        else
          (l.which == 0 ? l.graph->inputs : l.graph->outputs).push_back(name);
        l.graph->note_write();
      })
      .def("copy", &NameList::list)
      .def("__deepcopy__", [](const NameList& l, py::handle) { return l.list(); })
      .def("__repr__", [](const NameList& l) { return py::repr(l.list()); })
      .attr("__hash__") = py::none();
}

// The graph's constants as a read-only mapping name -> array.
struct ConstView {
  Graph* graph;
  py::object owner;
};

void bind_const_view(py::module_& m) {
  py::class_<ConstView>(m, "Constants", "The graph's constants: name -> numpy array (read-only views).")
      .def("__len__", [](const ConstView& v) { return v.graph->consts().size(); })
      .def("__contains__", [](const ConstView& v, py::handle k) {
        return py::isinstance<py::str>(k) && v.graph->is_const(k.cast<std::string>());
      })
      .def("__iter__", [](const ConstView& v) { return py::iter(py::cast(v.graph->consts().list())); })
      .def("__getitem__", [](const ConstView& v, const std::string& k) {
        if (!v.graph->is_const(k)) throw py::key_error(k);
        return to_array(v.graph->get_const(k));
      })
      .def("get", [](const ConstView& v, const std::string& k, py::object dflt) {
        return v.graph->is_const(k) ? to_array(v.graph->get_const(k)) : dflt;
      }, py::arg("name"), py::arg("default") = py::none())
      .def("keys", [](const ConstView& v) { return v.graph->consts().list(); })
      .def("values", [](const ConstView& v) {
        py::list out;
        for (const std::string& k : v.graph->consts().list()) out.append(to_array(v.graph->get_const(k)));
        return out;
      })
      .def("items", [](const ConstView& v) {
        py::list out;
        for (const std::string& k : v.graph->consts().list())
          out.append(py::make_tuple(k, to_array(v.graph->get_const(k))));
        return out;
      });
}

// ---------------------------------------------------------------- Node

NodePtr make_node(const std::string& op_type, py::handle inputs, py::handle outputs, const std::string& name,
                  py::handle attrs, const std::string& domain) {
  NodePtr node(new Node(op_type, names_of(inputs), names_of(outputs), name, domain));
  if (!attrs.is_none())
    for (auto [k, v] : py::reinterpret_borrow<py::dict>(attrs)) {
      const std::string key = py::str(k);
      node->attrs.push_back(Attr{key, attr_from_python(v, key, "node '" + name + "' (" + op_type + ")"), {}});
    }
  return node;
}

void bind_node(py::module_& m) {
  py::class_<Node, NodePtr>(m, "Node", "One operator: op_type, name, domain, input and output lists, attributes.")
      .def(py::init(&make_node), py::arg("op_type"), py::arg("inputs"), py::arg("outputs"), py::arg("name") = "",
           py::arg("attrs") = py::none(), py::arg("domain") = "")
      .def_property("op_type", [](const Node& n) { return n.op_type; },
                    [](Node& n, const std::string& v) {
                      n.op_type = v;
                      n.note_edit();
                      n.raw.clear();
                    })
      .def_property("name", [](const Node& n) { return n.name; },
                    [](Node& n, const std::string& v) {
                      if (n.graph())
                        n.graph()->rename_node(n, v);
                      else {
                        n.name = v;
                        n.raw.clear();
                      }
                    })
      .def_property("domain", [](const Node& n) { return n.domain.get(); },
                    [](Node& n, const std::string& v) {
                      n.domain = v;
                      n.raw.clear();
                    })
      .def_property_readonly("attrs", [](const Node& n) {
        py::dict d;
        for (const Attr& a : n.attrs) d[py::str(a.name)] = attr_to_python(a.value);
        return d;
      }, "The attributes as a dict (a copy: write them with IrGraph.set_attr).")
      .def_property("input", [](Node& n) { return PortList{NodePtr(&n), Port::Input}; },
                    [](Node& n, py::handle v) { n.set_ports(Port::Input, names_of(v)); })
      .def_property("output", [](Node& n) { return PortList{NodePtr(&n), Port::Output}; },
                    [](Node& n, py::handle v) { n.set_ports(Port::Output, names_of(v)); })
      .def_property("_seq", &Node::seq, &Node::set_seq)
      .def_property_readonly("_uid", &Node::uid)
      .def("__deepcopy__", [](const Node& n, py::handle) { return n.copy(); })
      .def("__copy__", [](const Node& n) { return n.copy(); })
      .def("__repr__", [](const Node& n) {
        return "IrNode(" + n.op_type + " " + std::string(py::repr(py::str(n.name))) + ": " +
               std::string(py::repr(py::cast(n.inputs()))) + " -> " + std::string(py::repr(py::cast(n.outputs()))) +
               ")";
      });
}

// ---------------------------------------------------------------- Graph

NodePtr graph_node(py::handle obj) {
  if (!py::isinstance<Node>(obj))
    throw py::type_error("expected a node of the graph, got " + std::string(py::repr(obj)));
  return obj.cast<NodePtr>();
}

// Keeps a Python bytes object alive for as long as constants point into it.
std::shared_ptr<const void> buffer_owner(py::bytes data) {
  auto* held = new py::object(std::move(data));
  return std::shared_ptr<const void>(held, [](const void* p) {
    py::gil_scoped_acquire gil;
    delete static_cast<const py::object*>(p);
  });
}

py::list node_list(const std::vector<Node*>& nodes) {
  py::list out;
  for (Node* n : nodes) out.append(py::cast(NodePtr(n)));
  return out;
}

// The data tensors of `node`: its non-constant inputs and its outputs.
template <class F>
void each_data_tensor(const Graph& g, const Node& node, F&& f) {
  for (const Name& t : node.inputs())
    if (!t.empty() && !g.is_const(t)) f(t);
  for (const Name& t : node.outputs())
    if (!t.empty()) f(t);
}

// The operators that see a data tensor of rank other than 4 or of unknown shape
// (view ops excluded), in graph order.
template <class F>
void each_off_rank(Graph& g, const std::unordered_set<std::string>& view_ops, F&& f) {
  for (Node* n : g.topological_order()) {
    if (view_ops.count(n->op_type)) continue;
    bool off = false;
    each_data_tensor(g, *n, [&](const Name& t) {
      const InternedShape* s = g.shape(t);
      if (!s || !*s || (*s)->size() != 4) off = true;
    });
    if (off) f(n);
  }
}

void bind_graph_class(py::module_& m) {
  py::class_<Graph>(m, "Graph", py::dynamic_attr(), "The native IR graph (the base of vexo.api.ir_graph.IrGraph).")
      .def(py::init([](std::string source, std::string mode, bool dynamic, py::object target, py::object align,
                       bool check_declared) {
             Config c;
             c.source = std::move(source);
             c.unsqueeze_2d_mode = std::move(mode);
             c.dynamic_shapes = dynamic;
             c.npu_target = target.is_none() ? std::string() : std::string(py::str(target));
             if (!align.is_none()) c.channel_align = align.cast<int64_t>();
             c.check_declared = check_declared;
             auto g = std::make_unique<Graph>(c);
             g->onnx_infer = onnx_fallback;
             return g;
           }),
           py::arg("source") = "<model>", py::arg("unsqueeze_2d_mode") = "AB11", py::arg("dynamic_shapes") = false,
           py::arg("npu_target") = "", py::arg("channel_align") = py::none(), py::arg("check_declared") = false)
      // ------------------------------------------------ loading and writing
      .def("_read", [](Graph& g, py::bytes data, bool record_declared) {
        const std::string_view view = data;
        ReadOptions options;
        options.record_declared = record_declared;
        read_model(g, view, buffer_owner(data), options);
      }, py::arg("data"), py::arg("record_declared") = true)
      .def("_settle", &Graph::settle)
      .def("_record_inferred", [](Graph& g, py::bytes data) { record_inferred(g, std::string_view(data)); })
      .def("_take_known_names", &Graph::take_known_names)
      .def("_infer_missing", &Graph::infer_missing)
      .def("_reset_changes", &Graph::reset_changes)
      .def("_model_bytes", [](Graph& g, bool light, int64_t max_ir) {
        return bytes_of(write_model(g, WriteOptions{light, max_ir}));
      }, py::arg("light") = false, py::arg("max_ir_version") = 8)
      .def("_write", [](Graph& g, const std::string& path, int64_t max_ir) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        if (!f) throw std::runtime_error("cannot open " + path + " for writing");
        std::vector<char> buffer(size_t{1} << 20);
        std::setvbuf(f, buffer.data(), _IOFBF, buffer.size());
        try {
          write_model(g, WriteOptions{false, max_ir}, f);
        } catch (...) {
          std::fclose(f);
          throw;
        }
        if (std::fclose(f) != 0) throw std::runtime_error("cannot write " + path);
      }, py::arg("path"), py::arg("max_ir_version") = 8)
      .def("_kind_sample", [](Graph& g, int64_t max_ir) -> py::object {
        const std::optional<std::string> s = kind_sample_model(g, max_ir);
        return s ? py::object(py::bytes(*s)) : py::object(py::none());
      }, py::arg("max_ir_version") = 8)
      .def("_kinds_stand_for_graph", &kinds_stand_for_graph)
      .def("_structure_problem", &structure_problem)
      .def("_light_keeps_every_weight", &light_keeps_every_weight)
      .def("_node_proto_bytes", [](const Graph&, const Node& n) { return py::bytes(node_proto(n)); })
      .def("_model_info", [](const Graph& g) {
        py::dict d;
        d["ir_version"] = g.model.ir_version;
        d["opset_import"] = g.model.opset_import;
        d["producer_name"] = g.model.producer_name;
        d["producer_version"] = g.model.producer_version;
        d["domain"] = g.model.domain;
        d["model_version"] = g.model.model_version;
        d["doc_string"] = g.model.doc_string;
        d["graph_name"] = g.model.graph_name;
        return d;
      })
      .def("_set_model_info", [](Graph& g, const std::string& producer_name) { g.model.producer_name = producer_name; })
      .def("_write_opsets", [](const Graph& g) { return opset_imports(g, g.unordered_nodes()); })
      .def_property("_on_write", [](const Graph&) { return py::none(); },
                    [](Graph& g, py::object hook) {
                      if (hook.is_none()) {
                        g.on_write = nullptr;
                        return;
                      }
                      g.on_write = [hook]() { hook(); };
                    },
                    "Called after every journaled write (fault injection in tests).")
      // ------------------------------------------------ configuration
      .def_property("source", [](const Graph& g) { return g.config.source; },
                    [](Graph& g, std::string v) { g.config.source = std::move(v); })
      .def_property("unsqueeze_2d_mode", [](const Graph& g) { return g.config.unsqueeze_2d_mode; },
                    [](Graph& g, std::string v) { g.config.unsqueeze_2d_mode = std::move(v); })
      .def_property("dynamic_shapes", [](const Graph& g) { return g.config.dynamic_shapes; },
                    [](Graph& g, bool v) { g.config.dynamic_shapes = v; })
      .def_property("npu_target", [](const Graph& g) { return g.config.npu_target; },
                    [](Graph& g, py::object v) { g.config.npu_target = v.is_none() ? "" : std::string(py::str(v)); })
      .def_property("channel_align", [](const Graph& g) { return g.config.channel_align; },
                    [](Graph& g, std::optional<int64_t> v) { g.config.channel_align = v; })
      .def_property("inputs", [](py::object self) { return NameList{self.cast<Graph*>(), 0, self}; },
                    [](Graph& g, py::handle v) {
                      g.inputs = names_of(v);
                      g.note_write();
                    })
      .def_property("outputs", [](py::object self) { return NameList{self.cast<Graph*>(), 1, self}; },
                    [](Graph& g, py::handle v) {
                      g.outputs = names_of(v);
                      g.note_write();
                    })
      .def_property_readonly("weights_for_align",
                             [](py::object self) { return NameList{self.cast<Graph*>(), 2, self}; })
      .def_property_readonly("consts", [](py::object self) { return ConstView{self.cast<Graph*>(), self}; })
      // ------------------------------------------------ journal
      .def_property_readonly("changes", &Graph::changes)
      .def("begin", &Graph::begin, "Opens a transaction: every write from here on can be undone by rollback().")
      .def("commit", &Graph::commit)
      .def("rollback", &Graph::rollback)
      .def_property_readonly("written", [](const Graph& g) {
        py::list out;
        for (const NodePtr& n : g.written()) out.append(py::cast(n));
        return out;
      })
      .def_property_readonly("shape_conflicts", [](const Graph& g) {
        py::list out;
        for (const ShapeConflict& c : g.shape_conflicts()) {
          if (!c.message.empty())
            out.append(py::make_tuple(c.tensor, py::none(), c.message, c.node));
          else
            out.append(py::make_tuple(c.tensor, shape_to_python(c.recorded), shape_to_python(c.computed), c.node));
        }
        return out;
      })
      // ------------------------------------------------ tensors
      .def("get_shape", [](const Graph& g, const std::string& t) {
        const InternedShape* s = g.shape(t);
        return s ? shape_to_python(*s) : py::none();
      })
      .def("get_dtype", [](const Graph& g, const std::string& t) { return numpy_dtype(g.dtype(t)); })
      .def("set_shape", [](Graph& g, const std::string& t, py::handle shape, py::handle dtype) {
        const int32_t elem = dtype.is_none() ? kUndefined : elem_of_dtype(dtype);
        g.set_shape(t, shape_from_python(shape, t), elem);
      }, py::arg("name"), py::arg("shape"), py::arg("dtype") = py::none())
      .def("get_const", [](const Graph& g, const std::string& t) { return to_array(g.get_const(t)); })
      .def("set_const", [](Graph& g, const std::string& t, py::handle value) { g.set_const(t, from_array(value, t)); })
      .def("drop_const", &Graph::drop_const, "Forgets constant `name` (its value, shape and type).")
      .def("is_invalid", [](const Graph&, const std::string& t) { return t.empty(); })
      .def("tensor_names", [](const Graph& g) {
        py::set out;
        for (const std::string& t : g.tensor_names()) out.add(py::str(t));
        return out;
      })
      // ------------------------------------------------ attributes
      .def("get_attr", [](const Graph&, py::handle node, const std::string& name, py::object dflt) -> py::object {
        if (!py::isinstance<Node>(node))
          return py::module_::import("vexo.api.ir_graph").attr("_proto_attr")(node, name, dflt);
        const Node& n = node.cast<const Node&>();
        const AttrValue* v = n.attr(name);
        return v ? attr_to_python(*v) : dflt;
      }, py::arg("node"), py::arg("name"), py::arg("default") = py::none())
      .def("set_attr", [](Graph& g, py::handle node, const std::string& name, py::handle value) {
        NodePtr n = graph_node(node);
        g.set_attr(*n, name, attr_from_python(value, name, describe(*n)));
      })
      // ------------------------------------------------ structure
      .def_property_readonly("nodes", [](Graph& g) { return node_list(g.topological_order()); },
                             "All nodes in topological order.")
      .def("node", [](const Graph& g, const std::string& name) {
        Node* n = g.node(name);
        if (!n) throw py::key_error("no node named '" + name + "'");
        return NodePtr(n);
      })
      .def("node_count", &Graph::node_count)
      .def("unordered_nodes", [](const Graph& g) { return node_list(g.unordered_nodes()); })
      .def("_nodes_of", [](const Graph& g, const std::unordered_set<std::string>& op_types) {
        std::vector<Node*> out;
        for (Node* n : g.unordered_nodes())
          if (op_types.count(n->op_type)) out.push_back(n);
        return node_list(out);
      }, py::arg("op_types"), "The nodes of these op types, in the order unordered_nodes() lists them.")
      .def("topological_order", [](Graph& g) { return node_list(g.topological_order()); })
      .def("find", [](Graph& g, const std::string& op) { return node_list(g.find(op)); })
      .def("__contains__", [](const Graph& g, py::handle node) {
        return py::isinstance<Node>(node) && g.contains(node.cast<const Node&>());
      })
      .def("producer", [](const Graph& g, const std::string& t) -> py::object {
        Node* p = g.producer(t);
        return p ? py::cast(NodePtr(p)) : py::none();
      })
      .def("consumers", [](const Graph& g, const std::string& t) { return node_list(g.consumers(t)); })
      .def("next_nodes", [](const Graph& g, py::handle n) { return node_list(g.next_nodes(*graph_node(n))); })
      .def("pre_nodes", [](const Graph& g, py::handle n) { return node_list(g.pre_nodes(*graph_node(n))); })
      .def("unique_name", &Graph::unique_name,
           "A node or tensor name derived from `base` that is used nowhere in the graph.")
      .def("_add_node", [](Graph& g, py::handle obj) {
        NodePtr n = node_from_python(obj);
        if (!n) throw py::type_error("cannot add " + std::string(py::repr(obj)) + " to the graph: not a node");
        return NodePtr(g.add_node(n));
      })
      .def("_remove_node", [](Graph& g, py::handle obj) {
        if (py::isinstance<Node>(obj)) {
          g.remove_node(obj.cast<Node&>());
          return;
        }
        if (py::isinstance(obj, imported("onnx", "NodeProto"))) {
          Node* n = g.node(obj.attr("name").cast<std::string>());
          if (n) g.remove_node(*n);
        }
      })
      .def("_apply", [](Graph& g, py::list remove, py::list add) {
        std::vector<NodePtr> rm, ad;
        for (py::handle r : remove) {
          if (py::isinstance<Node>(r)) {
            rm.push_back(r.cast<NodePtr>());
          } else {
            if (py::isinstance(r, imported("onnx", "NodeProto")))
              if (Node* n = g.node(r.attr("name").cast<std::string>())) rm.emplace_back(n);
          }
        }
        for (py::handle a : add) {
          NodePtr n = node_from_python(a);
          if (!n) throw py::type_error("cannot add " + std::string(py::repr(a)) + " to the graph: not a node");
          ad.push_back(n);
        }
        return node_list(g.apply(rm, ad));
      })
      .def("forget_written", &Graph::forget_written,
           "Drops the record of written nodes without re-inferring them (for rewrites that keep every shape).")
      .def("ensure_order", [](Graph& g, py::object nodes) {
        if (nodes.is_none()) return g.ensure_order(nullptr);
        std::vector<NodePtr> keep;
        std::vector<Node*> list;
        for (py::handle n : nodes) {
          keep.push_back(graph_node(n));
          list.push_back(keep.back().get());
        }
        g.ensure_order(&list);
      }, py::arg("nodes") = py::none())
      .def("renumber", &Graph::renumber)
      .def("refresh_shapes", &Graph::refresh_shapes)
      .def("opset_version", &Graph::opset_version, py::arg("domain") = "")
      // ------------------------------------------------ what the report counts
      .def("_op_counts", [](Graph& g) {
        std::vector<std::pair<std::string, int64_t>> counts;
        std::unordered_map<std::string, size_t> at;
        for (Node* n : g.topological_order()) {
          auto it = at.find(n->op_type);
          if (it == at.end()) {
            at[n->op_type] = counts.size();
            counts.emplace_back(n->op_type, 1);
          } else {
            ++counts[it->second].second;
          }
        }
        return counts;
      })
      .def("_off_rank", [](Graph& g, const std::unordered_set<std::string>& view_ops) {
        py::list out;
        each_off_rank(g, view_ops, [&](Node* n) {
          py::list shapes;
          each_data_tensor(g, *n, [&](const Name& t) {
            const InternedShape* s = g.shape(t);
            shapes.append(s && *s ? shape_to_python(*s) : py::none());
          });
          out.append(py::make_tuple(NodePtr(n), shapes));
        });
        return out;
      })
      .def("_off_rank_counts", [](Graph& g, const std::unordered_set<std::string>& view_ops) {
        std::vector<std::pair<std::string, int64_t>> counts;  // in the order op types are first met
        std::unordered_map<std::string, size_t> at;
        each_off_rank(g, view_ops, [&](Node* n) {
          const auto [it, fresh] = at.emplace(n->op_type, counts.size());
          if (fresh) counts.emplace_back(n->op_type, 0);
          ++counts[it->second].second;
        });
        return counts;
      });
}

}  // namespace

void bind_graph(py::module_& m) {
  bind_port_list(m);
  bind_name_list(m);
  bind_const_view(m);
  bind_node(m);
  bind_graph_class(m);
  m.def("_scan", [](py::bytes data) {
    const ModelScan s = scan_model(std::string_view(data));
    py::dict d;
    d["has_graph"] = s.has_graph;
    d["nodes"] = s.nodes;
    d["outputs"] = s.outputs;
    py::list ops;
    for (const auto& o : s.op_types) ops.append(py::make_tuple(o[0], o[1], o[2]));
    d["op_types"] = ops;
    d["opsets"] = s.opsets;
    d["unreadable"] = s.unreadable.empty() ? py::object(py::none()) : py::object(py::str(s.unreadable));
    d["external"] = s.external;
    return d;
  });
  m.def("_light_source", [](py::bytes data) { return py::bytes(light_source_model(std::string_view(data))); });
  m.def("cleanup", [](Graph& g) { return cleanup(g); });
  m.def("unshare_constants", &unshare_constants);
  m.def("merge_constants", &merge_constants);
  m.def("drop_dead", &drop_dead);
  m.def("redirect", &redirect);
  m.def("bypass", [](Graph& g, py::handle node, const std::string& source) { return bypass(g, *graph_node(node), source); });
  m.def("join_reshape_chain", [](Graph& g, py::handle n) { return join_reshape_chain(g, *graph_node(n)); });
  m.def("drop_identity_reshape", [](Graph& g, py::handle n) { return drop_identity_reshape(g, *graph_node(n)); });
  m.def("cancel_transpose_pair", [](Graph& g, py::handle n) { return cancel_transpose_pair(g, *graph_node(n)); });
}

}  // namespace vexo::graph::py_bind
