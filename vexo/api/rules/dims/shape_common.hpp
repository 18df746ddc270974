// Permutation helpers shared by the shape algebra of several rule families (no Python).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vexo::dims {

using Ints = std::vector<int64_t>;

// True when `perm` holds each of 0 .. n-1 exactly once.
bool is_permutation(const Ints& perm, size_t n);

// inverse[i] = position of i in perm; throws std::invalid_argument for a non-permutation.
Ints inverse_perm(const Ints& perm);

// The default permutation of a Transpose without `perm`: axes reversed.
Ints reversed_axes(size_t n);

}  // namespace vexo::dims
