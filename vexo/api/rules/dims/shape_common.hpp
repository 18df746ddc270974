// Helpers shared by several rule families (no Python): permutations, and the
// test of an op type against a list of names.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>
#include <vector>

namespace vexo::dims {

using Ints = std::vector<int64_t>;

// True when `perm` holds each of 0 .. n-1 exactly once.
bool is_permutation(const Ints& perm, size_t n);

// inverse[i] = position of i in perm; throws std::invalid_argument for a non-permutation.
Ints inverse_perm(const Ints& perm);

// The default permutation of a Transpose without `perm`: axes reversed.
Ints reversed_axes(size_t n);

// True when `s` is one of `names`. The names are views, so a test compares
// lengths before characters and calls nothing: it runs for every node a rule
// looks at.
inline bool one_of(std::string_view s, std::initializer_list<std::string_view> names) {
  for (std::string_view n : names)
    if (s == n) return true;
  return false;
}

}  // namespace vexo::dims
