// Wiring between the module entry and the host facade; not for rules.
#pragma once

#include <pybind11/pybind11.h>

#include "rule_host.hpp"

namespace vexo::dims::internal {

// The module's namespace, where host names (`vexoLog`, `Graph`, helpers, `np`)
// are looked up at call time.
void set_module_namespace(pybind11::dict ns);
pybind11::object module_name(const char* name);

// The native graph's rule host (nullptr when vexo._core is not there).
void set_native_host(graph::host::RuleHost* host);
graph::host::RuleHost* native_host();

// Remembers the host names as bound at import; a rule runs on the native
// graph only while they are all still bound as they were.
void remember_host_names();
bool host_names_unchanged();

// While a rule runs on the native graph, the helper functions that take no
// graph (squeeze_broadcast_dims, make_node, ...) use the native ones.
class NativeCall {
 public:
  explicit NativeCall(bool native);
  ~NativeCall();
  NativeCall(const NativeCall&) = delete;
  NativeCall& operator=(const NativeCall&) = delete;

 private:
  bool previous_;
};
bool in_native_call();

// The text the engine records for an exception a rule raised on the native
// graph: the same as for the Python exception the rule would have raised.
std::string failure_text(std::exception_ptr error);

}  // namespace vexo::dims::internal
