#include "squeeze_algebra.hpp"

namespace vexo::dims {}  // namespace vexo::dims
