// Pure shape algebra of the unsqueeze rules (no Python).
#pragma once

#include <cstdint>
#include <vector>

namespace vexo::dims {

using Ints = std::vector<int64_t>;

}  // namespace vexo::dims
