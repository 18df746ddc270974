#include "squeeze_algebra.hpp"

#include <algorithm>

using namespace std::string_view_literals;

namespace vexo::dims {

// ---------------------------------------------------------------- the removed axis

std::optional<int64_t> squeeze_removed_axis(const Shape& shape) {
  if (shape.size() != 5) return std::nullopt;
  if (shape[0] == 1) return 0;
  if (shape[1] == 1) return 1;
  return std::nullopt;
}

bool squeeze_judged_by_inputs(const std::string& op_type, bool reduce_op) {
  return reduce_op || op_type == "Split"sv || op_type == "Slice"sv;
}

bool resize_scales_only_axis_3(const Shape& in_shape, const Shape& out_shape) {
  if (in_shape.size() != 5 || out_shape.size() != 5) return false;
  // True division as the ratio is defined: a zero input extent gives inf or
  // nan, never 1.0.
  auto unscaled = [&](size_t axis) {
    if (in_shape[axis] == 0) return false;
    return static_cast<double>(out_shape[axis]) / static_cast<double>(in_shape[axis]) == 1.0;
  };
  return unscaled(1) && unscaled(2) && unscaled(4);
}

// ---------------------------------------------------------------- renumbering

Ints squeeze_axes(const Ints& axes, int64_t axis_rm) {
  Ints out;
  out.reserve(axes.size());
  for (int64_t a : axes) {
    if (a < 0) a += 5;
    out.push_back(a >= axis_rm ? a - 1 : a);
  }
  return out;
}

// ---------------------------------------------------------------- inputs

InputRole squeeze_input_role(const std::string& op_type, size_t k, bool reduce_op) {
  if (k == 0) return InputRole::data;
  if (op_type == "Slice"sv) return k == 3 ? InputRole::slice_axes : InputRole::kept;
  if (op_type == "Pad"sv) return k == 1 ? InputRole::pad_pads : InputRole::kept;
  if (op_type == "Resize"sv) {
    switch (k) {
      case 1: return InputRole::resize_roi;
      case 2: return InputRole::resize_scales;
      case 3: return InputRole::resize_sizes;
      default: return InputRole::kept;
    }
  }
  if (op_type == "ScatterND"sv) return k == 1 ? InputRole::scatter_indices : InputRole::data;
  if (reduce_op || op_type == "Split"sv || op_type == "Expand"sv || op_type == "TopK"sv) return InputRole::kept;
  return InputRole::data;
}

Squeezed<Shape> squeeze_input_shape(const Shape& in_shape, int64_t axis_rm, bool matmul) {
  const size_t rank = in_shape.size();
  if (matmul) {
    switch (rank) {
      case 4: return {in_shape, SqueezeFault::none};
      case 5: return squeeze_shape(in_shape, axis_rm);
      case 3: {
        Shape out{1};
        out.insert(out.end(), in_shape.begin(), in_shape.end());
        return {out, SqueezeFault::none};
      }
      default: return {{}, SqueezeFault::matmul_rank};
    }
  }
  if (rank > 4) return squeeze_shape(in_shape, axis_rm);
  Shape out(4 - rank, 1);
  out.insert(out.end(), in_shape.begin(), in_shape.end());
  return {out, SqueezeFault::none};
}

bool squeeze_renumbers_axis_attr(const std::string& op_type) {
  static const std::vector<std::string> ops = {"Split", "Concat", "Softmax", "exSoftmax13",
                                               "LogSoftmax", "TopK", "LpNormalization"};
  return std::find(ops.begin(), ops.end(), op_type) != ops.end();
}

// ---------------------------------------------------------------- ScatterND indices

ScatterIndicesPlan scatter_indices_plan(const Shape& indices_shape, int64_t axis_rm) {
  const size_t rank = indices_shape.size();
  const bool droppable_rank = rank >= 3 && rank <= 6;
  ScatterIndicesPlan plan;
  if (axis_rm == 0 && droppable_rank && indices_shape[0] == 1) {
    plan = {ScatterIndicesPlan::drop, 0, 0};
  } else if (axis_rm == 1 && droppable_rank && indices_shape[1] == 1) {
    plan = {ScatterIndicesPlan::drop, 1, 1};
  } else if (axis_rm == 1 && rank == 2) {
    plan.kind = ScatterIndicesPlan::keep;
  }
  return plan;
}

Array apply_scatter_indices_plan(const Array& indices, const ScatterIndicesPlan& plan) {
  switch (plan.kind) {
    case ScatterIndicesPlan::keep: return indices;
    case ScatterIndicesPlan::drop: return indices.delete_index(plan.coordinate, -1).squeeze_axis(plan.squeeze_axis);
    default: throw ArrayError("no rewrite is planned for these ScatterND indices");
  }
}

// ---------------------------------------------------------------- five-dimensional Transpose

Shape transposed_shape(const Shape& in_shape, const Ints& perm) {
  Shape out;
  out.reserve(perm.size());
  for (int64_t p : perm) out.push_back(in_shape.at(static_cast<size_t>(p)));
  return out;
}

namespace {

// The input axis that merges into its predecessor: the first perm[j] that
// directly follows perm[j - 1]; -1 when none does.
int64_t first_mergeable_axis(const Ints& perm) {
  for (size_t j = 1; j < perm.size(); ++j)
    if (perm[j] == perm[j - 1] + 1) return perm[j];
  return -1;
}

}  // namespace

std::optional<TransposeSqueeze> squeeze_transpose(const Shape& in_shape, const Ints& perm) {
  if (in_shape.size() != 5 || !is_permutation(perm, 5)) return std::nullopt;
  TransposeSqueeze out{in_shape, {}, -1};
  const auto unit = std::find(in_shape.begin(), in_shape.end(), int64_t{1});
  if (unit != in_shape.end()) {
    out.removed = unit - in_shape.begin();
    out.input_shape.erase(out.input_shape.begin() + out.removed);
  } else {
    out.removed = first_mergeable_axis(perm);
    if (out.removed < 0) return std::nullopt;
    const auto r = static_cast<size_t>(out.removed);
    out.input_shape[r - 1] = checked_mul(out.input_shape[r - 1], out.input_shape[r]);
    out.input_shape.erase(out.input_shape.begin() + out.removed);
  }
  for (int64_t p : perm) {
    if (p == out.removed) continue;
    out.perm.push_back(p > out.removed ? p - 1 : p);
  }
  return out;
}

}  // namespace vexo::dims
