// Pure shape algebra of the unsqueeze rules (no Python).
//
// A tensor of rank 1 to 3 is laid out in four dimensions by a dimension mode,
// a string such as "AB1C": upper-case letters are the operand's axes in order
// (A outermost), "1" an inserted unit axis, and a lower-case letter an axis
// merged into the one written before it.  The functions here choose the mode
// for an operator and map shapes, axes, permutations and pads through it.
//
// Nothing here logs: a mapping that cannot be made comes back as an error
// message, a questionable one as a warning, and the rule decides when to send
// them to the logger.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "array.hpp"

namespace vexo::dims {

using Ints = std::vector<int64_t>;
using Reals = std::vector<double>;

// A mapped value with the messages the rule must log: `warning` (the rule goes
// on with `value`) and `error` (the rule stops; `value` is meaningless).
template <class T>
struct Checked {
  T value{};
  std::string warning;
  std::string error;

  bool failed() const { return !error.empty(); }
};

// ------------------------------------------------ operator classes

// Add, Sub, Mul, Div, Pow, the comparisons and And: the only operators whose
// non-constant operands may have another rank than the operator.
bool is_broadcasting_op(const std::string& op_type);

// Operators whose output rank may differ from their data input's, so the
// first input with a known shape decides the rank: the reductions (told by
// the caller, who knows the host's list) plus ArgMax, ArgMin, Gather and
// GatherElements.
bool is_input_rank_op(const std::string& op_type, bool is_reduce_op);

// Operators with a single "axis" attribute that follows the layout.
bool is_axis_op(const std::string& op_type);

// The ONNX default of "axis" for ArgMax/ArgMin and the axis operators (the
// opset-13 softmax family counts from the end); nullopt where it is required.
std::optional<int64_t> default_axis(const std::string& op_type);

// ------------------------------------------------ mode choice

// The size rule over the three extents of a rank-3 tensor: the layout's
// channel axis goes to the largest axis, preferring B (kept in place by
// "AB1C") and then A ("1ABC"); an extent of 4 or more in position B or A is
// large enough.  "AC1B" only when B is 1, where it reorders no data.
std::string size_rule_mode(int64_t a, int64_t b, int64_t c);

// True for the operators whose size rule reads the output shape rather than
// the first input's (the broadcasting ones other than Pow, Concat, Where, Expand).
bool size_rule_reads_output(const std::string& op_type);

// The fixed mode of a rank-3 operator that does not depend on sizes:
// convolutions, pools and normalisations keep the channel axis ("AB1C"),
// MatMul keeps its last two axes ("1ABC"), and dynamic shapes, ScatterND and
// the gathers take "AB1C".  nullopt for exLayerNorm (see layer_norm_mode)
// and for the operators the size rule decides.
std::optional<std::string> fixed_rank3_mode(const std::string& op_type, bool dynamic_shapes);

// exLayerNorm of rank 3 merges the axes ahead of the normalised ones so that
// they all land in the channel axis: k = 1, 2, 3 normalised axes give
// "AbC11", "ABc11", "1Abc11"; any other k is an error naming the node.
Checked<std::string> layer_norm_mode(int64_t k, const std::string& node_name);

// The mode of a rank-2 operator: the normalisations "AB11", MatMul "11AB",
// others the host's 2-D mode; nullopt where the rule declines (ScatterND).
std::optional<std::string> rank2_mode(const std::string& op_type, const std::string& unsqueeze_2d_mode);

// ------------------------------------------------ mappings through a mode
//
// `name` labels the messages: a tensor name, or a node name followed by
// " attr::axes" and the like.

// The shape in the mode's layout.  A shape of lower rank than the operator is
// the trailing part of its layout (broadcasting aligns trailing axes), so it
// may come out with fewer than four entries.  An empty shape passes as it is;
// one longer than the mode's rank limit (2 for "AB11" and "1A1B", else 3)
// passes unchanged with a warning; an unknown mode is an error.
Checked<Ints> _new_shape(const Ints& shape, const std::string& mode, const std::string& name);
// The same over real values (Resize scales); merged axes multiply.
Checked<Reals> _new_shape(const Reals& shape, const std::string& mode, const std::string& name);

// Axes in the mode's layout, one per axis and in order; negative axes count
// from the mode's rank limit.  More axes than the limit, or an axis outside
// it, is an error, and so is a mode without an axis map (the merged ones).
Checked<Ints> _new_axes(const Ints& axes, const std::string& mode, const std::string& name);

// A Transpose permutation in the mode's layout, four entries.  Entries the
// mode's map does not cover are an error, as is an unknown mode.
Checked<Ints> _new_perm(const Ints& perm, const std::string& mode, const std::string& name);

// Pad's pads (begin values, then end values) in the mode's layout.  Modes
// that pick entries by position need exactly the entries of their rank.
Checked<Ints> _new_pads(const Ints& pads, const std::string& mode, const std::string& name);

// ------------------------------------------------ attribute and constant forms

// A spatial attribute of a one-dimensional Conv or pool given a leading unit
// height: [1] + values.
Ints with_unit_height(const Ints& values);

// One-dimensional pads [begin, end] as two-dimensional pads with no padding
// on the unit height: [0, pads[0], 0, pads[-1]].  `pads` must not be empty.
Ints pads_with_unit_height(const Ints& pads);

// `shape` behind enough leading unit axes to reach `rank` (the broadcast-
// equivalent shape of a lower-rank operand); `shape` itself when it is long
// enough already.
Ints leading_ones_to(const Ints& shape, size_t rank);

// ScatterND indices of a rank-3 update [d0, d1, d2, 3] written for the "AB1C"
// layout: each index tuple (i, j, k) becomes (i, j, 0, k), and the index
// batch gets a unit axis at position 2: [d0, d1, 1, d2, 4], int64.
Array scatter_indices_to_ab1c(const Array& indices);

// ------------------------------------------------ messages

// Python's str() of a list of numbers, "[1, 2, 3]" and "[1.0, 2.5]".
std::string list_str(const Ints& values);
std::string list_str(const Reals& values);

}  // namespace vexo::dims
