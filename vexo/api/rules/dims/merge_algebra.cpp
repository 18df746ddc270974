#include "merge_algebra.hpp"

#include <algorithm>
#include <stdexcept>

#include "array.hpp"

namespace vexo::dims {

namespace {

Ints slice(const Ints& v, size_t from, size_t to) { return Ints(v.begin() + from, v.begin() + to); }

Ints concat(Ints head, const Ints& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

bool contains(const Ints& v, int64_t x) { return std::find(v.begin(), v.end(), x) != v.end(); }

// Each value replaced by its rank among the values (they are distinct).
Ints renumber(const Ints& values) {
  Ints sorted = values;
  std::sort(sorted.begin(), sorted.end());
  Ints out;
  out.reserve(values.size());
  for (int64_t v : values)
    out.push_back(std::lower_bound(sorted.begin(), sorted.end(), v) - sorted.begin());
  return out;
}

}  // namespace

// ------------------------------------------------ shared helpers

bool all_extents_known(const Ints& shape) {
  return std::all_of(shape.begin(), shape.end(), [](int64_t d) { return d >= 0; });
}


Ints pad_left_ones(const Ints& shape, size_t rank) {
  if (shape.size() >= rank) return shape;
  return concat(Ints(rank - shape.size(), 1), shape);
}

// ------------------------------------------------ unit axes of N-D Transposes

Ints unit_axes_to_drop(const Ints& shape) {
  Ints axes;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape.size() - axes.size() <= 4) break;
    if (shape[i] == 1) axes.push_back(static_cast<int64_t>(i));
  }
  return axes;
}

Ints without_axes(const Ints& shape, const Ints& axes) {
  Ints out;
  for (size_t i = 0; i < shape.size(); ++i)
    if (!contains(axes, static_cast<int64_t>(i))) out.push_back(shape[i]);
  return out;
}

Ints perm_without_axes(const Ints& perm, const Ints& axes) {
  Ints kept;
  for (int64_t p : perm)
    if (!contains(axes, p)) kept.push_back(p);
  return renumber(kept);
}

// ------------------------------------------------ broadcast merges

std::optional<BroadcastSplit> find_tail_merge(const Ints& a, const Ints& b, const BroadcastMerge& merge) {
  if (a.size() != b.size() || a.size() < 3) return std::nullopt;
  for (size_t merged = 1; merged <= 4; ++merged) {
    const size_t keep = 4 - merged;
    auto [tail_a, tail_b] = merge(slice(a, keep, a.size()), slice(b, keep, b.size()));
    if (tail_a.size() == merged)
      return BroadcastSplit{static_cast<int64_t>(keep), concat(slice(a, 0, keep), tail_a),
                            concat(slice(b, 0, keep), tail_b)};
  }
  return std::nullopt;
}

std::optional<BroadcastSplit> find_head_merge(const Ints& a, const Ints& b, const Ints& keep_order,
                                              const BroadcastMerge& merge) {
  if (a.size() != b.size()) return std::nullopt;
  for (int64_t keep : keep_order) {
    if (keep < 0 || keep > 4 || static_cast<size_t>(keep) > a.size()) continue;
    const size_t split = a.size() - static_cast<size_t>(keep);
    auto [head_a, head_b] = merge(slice(a, 0, split), slice(b, 0, split));
    if (head_a.size() == static_cast<size_t>(4 - keep))
      return BroadcastSplit{keep, concat(head_a, slice(a, split, a.size())), concat(head_b, slice(b, split, b.size()))};
  }
  return std::nullopt;
}

// ------------------------------------------------ channelwise operators

Ints channelwise_shape(const Ints& shape) {
  if (shape.size() < 2) throw std::invalid_argument("a channelwise shape needs at least two axes");
  return {shape[0], shape[1], 1, checked_prod(slice(shape, 2, shape.size()))};
}

// ------------------------------------------------ N-D Transposes

std::vector<bool> contiguity_marks(const Ints& perm) {
  std::vector<bool> marks(perm.size(), false);
  for (size_t i = 1; i < perm.size(); ++i) {
    const int64_t p = perm[i];
    if (perm[i - 1] + 1 == p && p >= 0 && p < static_cast<int64_t>(perm.size())) marks[p] = true;
  }
  return marks;
}

int64_t independent_count(const std::vector<bool>& marks) {
  return std::count(marks.begin(), marks.end(), false);
}

int64_t inner_axes_kept(const std::vector<bool>& marks) {
  const int64_t n = static_cast<int64_t>(marks.size());
  for (int64_t index = 1; index < n; ++index) {
    const std::vector<bool> outer(marks.begin(), marks.begin() + (n - index));
    if (independent_count(outer) + index == 4) return index;
  }
  return 0;
}

std::optional<TransposeMerge> plan_transpose_merge(const Ints& shape, const Ints& perm) {
  const int64_t n = static_cast<int64_t>(shape.size());
  if (!is_permutation(perm, shape.size())) return std::nullopt;
  const std::vector<bool> marks = contiguity_marks(perm);
  const int64_t minimum_dims = independent_count(marks);
  if (minimum_dims == n || minimum_dims > 4) return std::nullopt;
  const int64_t dims_keep = n - (minimum_dims < 4 ? inner_axes_kept(marks) : 0);

  TransposeMerge plan;
  int64_t block = shape[0];
  for (int64_t a = 1; a < dims_keep; ++a) {
    if (marks[a]) {
      block = checked_mul(block, shape[a]);
    } else {
      plan.input_shape.push_back(block);
      block = shape[a];
    }
  }
  plan.input_shape.push_back(block);
  plan.input_shape.insert(plan.input_shape.end(), shape.begin() + dims_keep, shape.end());

  Ints kept;
  for (int64_t p : perm)
    if (!(p < dims_keep && marks[p])) kept.push_back(p);
  plan.perm = renumber(kept);
  return plan;
}

// ------------------------------------------------ operators along one axis

AxisMerge plan_axis_merge(const Ints& shape, int64_t axis) {
  if (shape.size() < 5 || axis < 0 || axis >= static_cast<int64_t>(shape.size()))
    throw std::invalid_argument("plan_axis_merge needs five or more axes and an axis among them");
  Ints dims = shape;
  int64_t at = axis;
  for (int64_t i = static_cast<int64_t>(shape.size()) - 1; i >= 0; --i) {
    // The operator's own axis is kept even at extent 1: dropping it would
    // point the operator at a different axis.
    if (i == at || dims[i] != 1) continue;
    dims.erase(dims.begin() + i);
    if (i < at) --at;
    if (dims.size() <= 4) break;
  }
  if (dims.size() <= 4) return AxisMerge{dims, at};

  Ints before = slice(dims, 0, static_cast<size_t>(at));
  Ints after = slice(dims, static_cast<size_t>(at) + 1, dims.size());
  while (before.size() + after.size() > 3) {
    Ints& side = after.size() > 1 ? after : before;
    const int64_t v = side.back();
    side.pop_back();
    side.back() = checked_mul(side.back(), v);
  }
  Ints merged = before;
  merged.push_back(dims[at]);
  merged.insert(merged.end(), after.begin(), after.end());
  return AxisMerge{merged, static_cast<int64_t>(before.size())};
}

// ------------------------------------------------ Split / Concat

std::optional<int64_t> merge_window_start(size_t rank, int64_t axis) {
  if (rank < 4) return std::nullopt;
  const int64_t count = static_cast<int64_t>(rank) - 3;
  std::optional<int64_t> first;
  for (int64_t start = 0; start <= 3; ++start) {
    if (axis < start || axis > start + count - 1) continue;
    if (start == axis) return start;  // the merged layout keeps every chunk contiguous
    if (!first) first = start;
  }
  return first;
}

Ints merge_window(const Ints& shape, int64_t start, int64_t count) {
  if (start < 0 || count < 1 || start + count > static_cast<int64_t>(shape.size()))
    throw std::invalid_argument("merge window lies outside the shape");
  Ints out = slice(shape, 0, static_cast<size_t>(start));
  out.push_back(checked_prod(slice(shape, static_cast<size_t>(start), static_cast<size_t>(start + count))));
  out.insert(out.end(), shape.begin() + start + count, shape.end());
  return out;
}

int64_t window_other_product(const Ints& shape, int64_t start, int64_t count, int64_t axis) {
  if (start < 0 || start + count > static_cast<int64_t>(shape.size()))
    throw std::invalid_argument("merge window lies outside the shape");
  int64_t prod = 1;
  for (int64_t a = start; a < start + count; ++a)
    if (a != axis) prod = checked_mul(prod, shape[a]);
  return prod;
}

Ints scale_chunks(const Ints& chunks, int64_t factor) {
  Ints out;
  out.reserve(chunks.size());
  for (int64_t c : chunks) out.push_back(checked_mul(c, factor));
  return out;
}

bool needs_reorder(const Ints& index) { return !std::is_sorted(index.begin(), index.end()); }

}  // namespace vexo::dims
