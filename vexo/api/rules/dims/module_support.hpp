// What the entries of the rule modules share: exception translation, importing
// host names, publishing rules as Python functions and building tables.
// Included only by the modules' entry files.
#pragma once

#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "rule.hpp"

namespace vexo::dims::entry {

// Host type errors raise TypeError and constant-array errors ValueError (once per process).
void register_translators();

// `from module import name`, failing as Python's import statement fails.
pybind11::object import_name(const char* module, const char* name);

// Gives `fn` the name, qualified name, code name, docstring and module of a
// function defined in `module`.
pybind11::object named_function(pybind11::object fn, const std::string& name, const char* doc, const char* module);

// Binds the module's namespace `ns` as where the facade looks host names up,
// remembers them as bound now, and connects to the native graph's rule host
// when vexo._core is there.  Called once the host names are in `ns`, before
// any rule_function.
void bind_host_names(const pybind11::dict& ns);

// The rule as a plain Python function `rule(ir, nodes, quant_tab={})` around its
// C++ body, so that it introspects like any Python callable: its signature,
// __defaults__ holding the rule's own default mapping, a name, a module and
// the rule's docstring.  Called with a native graph it runs on it directly;
// the function is also registered with the native engine, which then calls
// the C++ body without Python.
pybind11::object rule_function(const RuleDef& def, const char* module);

// The body of the exec slot of module `name` ("dims"): fills the namespace
// with `fill` the first time and refuses a second initialisation in the same
// process; failures become the Python error raised or an ImportError.
int exec_once(PyObject* module, bool& initialised, const char* name, void (*fill)(pybind11::module_));

// A registration table: entry name -> {"ops": [op types], "proc": the rule bound in `ns`}.
pybind11::dict make_table(const std::vector<TableEntry>& entries, const pybind11::dict& ns);

}  // namespace vexo::dims::entry
