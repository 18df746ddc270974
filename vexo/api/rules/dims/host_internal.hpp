// Wiring between the module entry and the host facade; not for rules.
#pragma once

#include <pybind11/pybind11.h>

namespace vexo::dims::internal {

// The module's namespace, where host names (`vexoLog`, `Graph`, helpers, `np`)
// are looked up at call time.
void set_module_namespace(pybind11::dict ns);
pybind11::object module_name(const char* name);

}  // namespace vexo::dims::internal
