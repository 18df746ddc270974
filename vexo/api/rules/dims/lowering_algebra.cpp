#include "lowering_algebra.hpp"

namespace vexo::dims {

// ------------------------------------------------ reductions, keepdims, Gather indices, softmax axis

// ------------------------------------------------ Tile, Gather, Expand, constants, broadcast Mul, 1x1 Resize

Ints resize_to_tile_size(int64_t x, int64_t max_fm, int64_t max_kernel) {
  if (x > max_fm) return {};
  if (x <= max_kernel) return {x};
  Ints tiles;
  int64_t rest = x;
  while (rest > max_kernel) {
    int64_t k = max_kernel;
    while (k >= 2 && rest % k != 0) --k;
    if (k < 2) return {};  // a prime factor above max_kernel
    tiles.push_back(k);
    rest /= k;
    if (rest <= max_kernel) tiles.push_back(rest);
  }
  return tiles;
}

}  // namespace vexo::dims
