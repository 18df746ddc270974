#include "rank4_algebra.hpp"

#include <algorithm>
#include <deque>
#include <map>
#include <numeric>

#include "shape_common.hpp"

namespace vexo::rank4 {

using dims::ArrayError;
using dims::checked_prod;
using dims::normalize_axis;
using dims::shape_size;

// ------------------------------------------------ arrays

bool broadcasts_to(const Shape& from, const Shape& to) {
  if (from.size() > to.size()) return false;
  const size_t lead = to.size() - from.size();
  for (size_t i = 0; i < from.size(); ++i)
    if (from[i] != 1 && from[i] != to[lead + i]) return false;
  return true;
}

Array broadcast_to(const Array& a, const Shape& shape) {
  if (!broadcasts_to(a.shape(), shape))
    throw ArrayError("an array of shape " + std::to_string(a.ndim()) + " axes does not broadcast to the shape asked");
  const size_t r = shape.size();
  const size_t lead = r - a.ndim();
  // Source strides in elements, 0 along broadcast axes.
  Ints strides(r, 0);
  int64_t step = 1;
  for (size_t i = a.ndim(); i-- > 0;) {
    if (a.shape()[i] != 1) strides[lead + i] = step;
    step *= a.shape()[i];
  }
  const int64_t count = shape_size(shape);
  const size_t item = dims::dtype_size(a.dtype());
  dims::check_array_bytes(count, item);
  std::vector<uint8_t> bytes(static_cast<size_t>(count) * item);
  Ints idx(r, 0);
  for (int64_t flat = 0; flat < count; ++flat) {
    int64_t src = 0;
    for (size_t i = 0; i < r; ++i) src += idx[i] * strides[i];
    std::copy_n(a.bytes().begin() + static_cast<std::ptrdiff_t>(src * static_cast<int64_t>(item)), item,
                bytes.begin() + static_cast<std::ptrdiff_t>(flat * static_cast<int64_t>(item)));
    for (size_t i = r; i-- > 0;) {
      if (++idx[i] < shape[i]) break;
      idx[i] = 0;
    }
  }
  return Array::from_bytes(a.dtype(), shape, std::move(bytes));
}

Array scaled(const Array& a, double factor) {
  Array out = a;
  if (factor == 1.0) return out;
  for (int64_t i = 0; i < out.size(); ++i) out.set_double(i, a.get_double(i) * factor);
  return out;
}

// ------------------------------------------------ Gemm as a 1x1 Conv

Array gemm_conv_weight(const Array& b, bool trans_b, double alpha) {
  if (b.ndim() != 2) throw ArrayError("the Gemm weight must have two axes");
  const Array nk = trans_b ? b : b.transpose({1, 0});  // [N, K]
  return scaled(nk, alpha).reshape({nk.shape()[0], nk.shape()[1], 1, 1});
}

std::optional<Array> gemm_row_bias(const Array& c, int64_t n, double beta) {
  if (c.ndim() > 2) return std::nullopt;
  if (c.ndim() == 2 && c.shape()[0] != 1) return std::nullopt;
  const Array row = c.reshape({c.size()});
  return scaled(broadcast_to(row, {n}), beta);
}

Shape gemm_addend_shape(const Shape& c) {
  Shape s = c;
  while (s.size() < 2) s.insert(s.begin(), 1);
  s.push_back(1);
  s.push_back(1);
  return s;
}

// ------------------------------------------------ LayerNormalization

namespace {
std::pair<int64_t, int64_t> outer_inner(const Shape& x, int64_t axis) {
  const int64_t a = normalize_axis(axis, static_cast<int64_t>(x.size()));
  return {checked_prod(Ints(x.begin(), x.begin() + a)), checked_prod(Ints(x.begin() + a, x.end()))};
}
}  // namespace

Shape layer_norm_shape(const Shape& x, int64_t axis) {
  const auto [outer, inner] = outer_inner(x, axis);
  return {outer, inner, 1, 1};
}

Shape layer_norm_operand_shape(const Shape& x, int64_t axis) { return {1, outer_inner(x, axis).second, 1, 1}; }

Shape layer_norm_stat_shape(const Shape& x, int64_t axis) { return {outer_inner(x, axis).first, 1, 1, 1}; }

// ------------------------------------------------ elementwise operators

Shape merged_to_4d(const Shape& shape) {
  if (shape.empty()) return {1, 1, 1, 1};
  Shape s = shape;
  for (size_t i = 0; s.size() > 4 && i < s.size();) {
    if (s[i] == 1)
      s.erase(s.begin() + static_cast<std::ptrdiff_t>(i));
    else
      ++i;
  }
  if (s.size() > 4) {
    const auto tail = s.end() - 3;
    const int64_t lead = checked_prod(Ints(s.begin(), tail));
    s = {lead, tail[0], tail[1], tail[2]};
  }
  return s;
}

// ------------------------------------------------ gathering one index

Shape gather_view(const Shape& data, int64_t axis) {
  const int64_t a = normalize_axis(axis, static_cast<int64_t>(data.size()));
  return {checked_prod(Ints(data.begin(), data.begin() + a)), data[static_cast<size_t>(a)],
          checked_prod(Ints(data.begin() + a + 1, data.end())), 1};
}

Shape without_axis(const Shape& shape, int64_t axis) {
  Shape s = shape;
  s.erase(s.begin() + normalize_axis(axis, static_cast<int64_t>(shape.size())));
  return s;
}

Ints perm_without(const Ints& perm, int64_t axis) {
  const int64_t gone = perm.at(static_cast<size_t>(normalize_axis(axis, static_cast<int64_t>(perm.size()))));
  Ints out;
  for (int64_t p : perm)
    if (p != gone) out.push_back(p > gone ? p - 1 : p);
  return out;
}

// ------------------------------------------------ transposes of five axes

namespace {
// The first position q where `perm` keeps an adjacent input pair: perm[q + 1] == perm[q] + 1.
std::optional<size_t> kept_pair(const Ints& perm) {
  for (size_t q = 0; q + 1 < perm.size(); ++q)
    if (perm[q + 1] == perm[q] + 1) return q;
  return std::nullopt;
}

// Every permutation of n axes that keeps an adjacent pair, in lexicographic order.
std::vector<Ints> mergeable_perms(size_t n) {
  std::vector<Ints> out;
  Ints p(n);
  std::iota(p.begin(), p.end(), 0);
  do {
    if (kept_pair(p)) out.push_back(p);
  } while (std::next_permutation(p.begin(), p.end()));
  return out;
}
}  // namespace

bool keeps_adjacent_pair(const Ints& perm) { return kept_pair(perm).has_value(); }

std::optional<std::vector<Ints>> split_into_mergeable(const Ints& perm, size_t max_steps) {
  if (!dims::is_permutation(perm, perm.size()) || perm.size() > 6) return std::nullopt;
  const size_t n = perm.size();
  Ints start(n);
  std::iota(start.begin(), start.end(), 0);
  if (perm == start) return std::vector<Ints>{};
  const std::vector<Ints> steps = mergeable_perms(n);
  // Breadth-first over the composed permutations: after steps s1 .. sk the
  // axis j of the result is input axis C[j], C = s1 o ... o sk.
  std::map<Ints, std::pair<Ints, const Ints*>> parent;  // state -> (previous state, step taken)
  parent.emplace(start, std::make_pair(Ints{}, nullptr));
  std::deque<std::pair<Ints, size_t>> queue{{start, 0}};
  while (!queue.empty()) {
    const auto [state, depth] = queue.front();
    queue.pop_front();
    if (depth == max_steps) continue;
    for (const Ints& s : steps) {
      Ints next(n);
      for (size_t j = 0; j < n; ++j) next[j] = state[static_cast<size_t>(s[j])];
      if (!parent.emplace(next, std::make_pair(state, &s)).second) continue;
      if (next == perm) {
        std::vector<Ints> path;
        for (Ints cur = next; parent.at(cur).second != nullptr; cur = parent.at(cur).first)
          path.push_back(*parent.at(cur).second);
        std::reverse(path.begin(), path.end());
        return path;
      }
      queue.emplace_back(next, depth + 1);
    }
  }
  return std::nullopt;
}

MergedStep merge_step(const Shape& shape, const Ints& step) {
  const auto q = kept_pair(step);
  if (!q || !dims::is_permutation(step, shape.size())) throw ArrayError("the step keeps no adjacent pair");
  const int64_t k = step[*q];
  MergedStep m;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (static_cast<int64_t>(i) == k + 1) continue;
    m.view.push_back(static_cast<int64_t>(i) == k ? dims::checked_mul(shape[i], shape[i + 1]) : shape[i]);
  }
  for (size_t j = 0; j < step.size(); ++j) {
    if (j == *q + 1) continue;
    m.perm.push_back(step[j] > k ? step[j] - 1 : step[j]);
  }
  for (int64_t p : step) m.out.push_back(shape[static_cast<size_t>(p)]);
  return m;
}

}  // namespace vexo::rank4
