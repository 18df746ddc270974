// Pure shape algebra of the lowering rules (no Python).
#pragma once

#include <cstdint>
#include <vector>

namespace vexo::dims {

using Ints = std::vector<int64_t>;

// ------------------------------------------------ reductions, keepdims, Gather indices, softmax axis

// ------------------------------------------------ Tile, Gather, Expand, constants, broadcast Mul, 1x1 Resize

// Splits one repeat factor `x` into per-Tile factors of at most `max_kernel`
// whose product is `x`: [] when x exceeds `max_fm` or has a prime factor above
// `max_kernel`, [x] when it fits one Tile, else the largest divisors from
// `max_kernel` down, taken off in turn (100 -> [5, 5, 4], 128 -> [8, 8, 2]).
Ints resize_to_tile_size(int64_t x, int64_t max_fm, int64_t max_kernel);

}  // namespace vexo::dims
