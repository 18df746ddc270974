#include "conditions.hpp"

#include <algorithm>

namespace vexo::graph {

namespace {

// unsqueeze_to_4d_reshape_with_elementwise_op widens a Reshape's output of
// rank 1 to 3 for the elementwise operators that read it: a Reshape nothing
// reads, or whose output shape is unknown, a scalar or of rank 4 or more, is
// left alone.
bool reshape_output_below_4d_is_read(const Graph& g, const std::vector<Node*>& chain) {
  const Node& reshape = *chain.at(0);
  if (reshape.outputs().empty()) return false;
  const bool read = std::any_of(reshape.outputs().begin(), reshape.outputs().end(), [&](const Name& o) {
    const Tensor* t = o.empty() ? nullptr : g.tensor(o);
    return t && !t->consumers.empty();
  });
  const InternedShape* s = g.shape(reshape.outputs()[0]);
  return read && s && *s && !(*s)->empty() && (*s)->size() <= 3;
}

const std::vector<NativeCondition>& conditions() {
  static const std::vector<NativeCondition> list = {
      {"_p_unsqueeze_to_4d_reshape_with_elementwise_op", reshape_output_below_4d_is_read,
       "A Reshape whose output is read and of rank 1 to 3: the only ones the rule widens."},
  };
  return list;
}

}  // namespace

const NativeCondition* condition_of(const std::string& rule) {
  for (const NativeCondition& c : conditions())
    if (rule == c.rule) return &c;
  return nullptr;
}

}  // namespace vexo::graph
