// Module-level plumbing: globals looked up at call time, imports, and classes
// made by calling type().
#pragma once

#include "runtime/function.hpp"

#include <initializer_list>

namespace orvex {

// The value of the global `name` as the interpreter finds it now: the
// module's dict, then builtins, else NameError.
Ref load_global(PyObject* module, PyObject* name);

// Shorthand for a function body: load_global(fn.module, name).
inline Ref global(const Function& fn, PyObject* name) {
  return load_global(fn.module, name);
}

// module.name = value (module globals keep the order in which they are set).
[[nodiscard]] bool set_global(PyObject* module, const char* name, PyObject* value);

// `import name` and `from module import name`.
Ref import_module(const char* name);
Ref import_from(const char* module, const char* name);

// logging.getLogger(module.__name__), through the module's global `logging`.
Ref get_module_logger(PyObject* module);

// type(name, (), namespace) with __module__, __qualname__, __doc__ and the
// methods in the given order, each stored under its __name__.
Ref make_class(PyObject* module, const char* name, const char* doc,
               std::initializer_list<PyObject*> methods);

}  // namespace orvex
