// Python binding of the preparation: the walk, the dead-node drop and the
// bookkeeping run natively; the evaluators of folded nodes, the input shapes
// and the rounds of ONNX shape inference stay the host's (vexo/prepare.py).
#include "model_io.hpp"
#include "prepare.hpp"
#include "py_common.hpp"

namespace vexo::graph::py_bind {

namespace {

// Folds through a Python function fold(node_proto_bytes, values, expected)
// -> None or one array (or None) per output; `expected` holds per output the
// element type and static shape its tensor is known to have (0 and None
// where unknown).
class PyFolder : public Folder {
 public:
  PyFolder(py::object fold, std::unordered_set<std::string> ops) : fold_(std::move(fold)), ops_(std::move(ops)) {}

  bool can_fold(const std::string& op_type) const override { return ops_.count(op_type) != 0; }

  std::optional<std::vector<ConstPtr>> fold(const Graph& g, const Node& node,
                                            const std::vector<ConstPtr>& inputs) override {
    py::list values, expected;
    for (const ConstPtr& c : inputs) values.append(c ? to_array(c) : py::none());
    for (const Name& o : node.outputs()) {
      const InternedShape* s = o.empty() ? nullptr : g.shape(o);
      expected.append(py::make_tuple(o.empty() ? kUndefined : g.dtype(o), s ? shape_to_python(*s) : py::none()));
    }
    py::object result = fold_(py::bytes(node_proto(node)), values, expected);
    if (result.is_none()) return std::nullopt;
    std::vector<ConstPtr> out;
    size_t k = 0;
    for (py::handle v : result) {
      const Name name = k < node.outputs().size() ? node.outputs()[k] : Name();
      out.push_back(v.is_none() ? ConstPtr() : from_array(v, name));
      ++k;
    }
    return out;
  }

 private:
  py::object fold_;
  std::unordered_set<std::string> ops_;
};

// The preparation together with its folder, kept alive by the Python object.
struct PyPreparation {
  PyPreparation(Graph& g, py::object fold, std::unordered_set<std::string> ops)
      : folder(std::move(fold), std::move(ops)), prep(g, folder), graph(g) {}
  PyFolder folder;
  Preparation prep;
  Graph& graph;
};

py::bytes written(Graph& g, const WriteOptions& options) { return bytes_of(write_model(g, options)); }

py::object counts(const Counts& c) {
  py::dict out;
  for (const auto& [label, n] : c) out[py::str(label)] = n;
  return out;
}

}  // namespace

void bind_prepare(py::module_& m) {
  py::class_<PyPreparation>(m, "Preparation", "The native part of the preparation of one graph (vexo.prepare).")
      .def(py::init<Graph&, py::object, std::unordered_set<std::string>>(), py::arg("graph"), py::arg("fold"),
           py::arg("foldable"), py::keep_alive<1, 2>())
      .def("check_outer_reads", [](PyPreparation& p) { p.prep.check_outer_reads(); })
      .def("drop_dead", [](PyPreparation& p) { return p.prep.drop_dead(); })
      .def("declared_contradiction", [](PyPreparation& p) { return p.prep.declared_contradiction(); })
      .def("walk", [](PyPreparation& p) { return p.prep.walk(); })
      .def("unknown_shapes_left", [](PyPreparation& p) { return p.prep.unknown_shapes_left(); })
      .def("keep_declared_output_shapes", [](PyPreparation& p) { p.prep.keep_declared_output_shapes(); })
      .def("constant_outputs", [](PyPreparation& p) { p.prep.constant_outputs(); })
      .def("set_input_shape", [](PyPreparation& p, const std::string& name, const Shape& shape) {
        p.graph.set_shape(name, shape);
        const_cast<NameMap<Dims>&>(p.prep.partial()).erase(name);
      })
      .def("input_type", [](PyPreparation& p, const std::string& name) -> py::object {
        auto it = p.graph.io_types.find(name);
        return it == p.graph.io_types.end() ? py::object(py::none()) : py::object(py::bytes(it->second));
      }, "The TypeProto the model declares for graph input `name` (bytes), or None.")
      .def("plan_inference", [](PyPreparation& p, size_t part_nodes) { return p.prep.plan_inference(part_nodes); },
           py::arg("part_nodes"), "Splits the next round of inference into parts (see inference_part); returns how many.")
      .def_property_readonly("inference_parts", [](PyPreparation& p) { return p.prep.inference_parts(); })
      .def("inference_part", [](PyPreparation& p, size_t k, bool first) {
        if (k >= p.prep.inference_parts()) throw py::index_error("no inference part " + std::to_string(k));
        return bytes_of(p.prep.part_model(k, first));
      }, "Part k of the round as a model: its nodes, the tensors it reads from earlier parts as typed inputs.")
      .def("record_part", [](PyPreparation& p, size_t k, py::bytes model, bool first) {
        if (k >= p.prep.inference_parts()) throw py::index_error("no inference part " + std::to_string(k));
        return p.prep.record_part(k, std::string_view(model), first);
      }, "Records what inference of part k found; -1 when part k took in the later parts and is to be inferred again.")
      .def("model_bytes", [](PyPreparation& p, bool light, bool as_read) {
        WriteOptions o;
        o.light = light;
        o.partial = &p.prep.partial();
        o.opsets_as_read = as_read;
        return written(p.graph, o);
      }, py::arg("light") = false, py::arg("opsets_as_read") = false,
         "The prepared model, shapes known in part included.")
      .def_property_readonly("has_foreign_ops", [](PyPreparation& p) { return p.prep.has_foreign_ops(); })
      .def_property_readonly("folded", [](PyPreparation& p) { return counts(p.prep.folded); })
      .def_property_readonly("noops_removed", [](PyPreparation& p) { return counts(p.prep.noops_removed); })
      .def_property_readonly("dead_nodes_removed", [](PyPreparation& p) { return p.prep.dead_nodes_removed; })
      .def_property_readonly("walks", [](PyPreparation& p) { return p.prep.walks; })
      .def_property_readonly("initializers_removed", [](PyPreparation& p) { return p.prep.initializers_removed(); })
      .def("not_evaluable", [](PyPreparation& p) { return counts(p.prep.not_evaluable()); })
      .def("unknown_shapes", [](PyPreparation& p) {
        py::list out;
        for (const UnknownShape& u : p.prep.unknown_shapes())
          out.append(py::make_tuple(u.tensor, u.written_by, u.lost_at));
        return out;
      }, "(tensor, node writing it, where its shape was lost) of every tensor without a static shape.");
}

}  // namespace vexo::graph::py_bind
