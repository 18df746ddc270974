#include "shape_common.hpp"

#include <stdexcept>

namespace vexo::dims {

bool is_permutation(const Ints& perm, size_t n) {
  if (perm.size() != n) return false;
  std::vector<bool> seen(n, false);
  for (int64_t p : perm) {
    if (p < 0 || p >= static_cast<int64_t>(n) || seen[static_cast<size_t>(p)]) return false;
    seen[static_cast<size_t>(p)] = true;
  }
  return true;
}

Ints inverse_perm(const Ints& perm) {
  if (!is_permutation(perm, perm.size())) throw std::invalid_argument("not a permutation");
  Ints inv(perm.size(), 0);
  for (size_t i = 0; i < perm.size(); ++i) inv[static_cast<size_t>(perm[i])] = static_cast<int64_t>(i);
  return inv;
}

Ints reversed_axes(size_t n) {
  Ints out;
  for (size_t i = n; i-- > 0;) out.push_back(static_cast<int64_t>(i));
  return out;
}

}  // namespace vexo::dims
