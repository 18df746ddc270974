#include "layout_algebra.hpp"

namespace vexo::dims {}  // namespace vexo::dims
