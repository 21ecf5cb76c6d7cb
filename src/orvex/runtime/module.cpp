#include "runtime/module.hpp"

namespace orvex {

Ref load_global(PyObject* module, PyObject* name) {
  PyObject* value = PyDict_GetItemWithError(PyModule_GetDict(module), name);
  if (value) return Ref::borrow(value);
  if (PyErr_Occurred()) return {};
  value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
  if (value) return Ref::borrow(value);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return {};
}

bool set_global(PyObject* module, const char* name, PyObject* value) {
  return value && PyObject_SetAttrString(module, name, value) == 0;
}

Ref import_module(const char* name) {
  return Ref::steal(PyImport_ImportModule(name));
}

Ref import_from(const char* module, const char* name) {
  Ref fromlist = Ref::steal(Py_BuildValue("(s)", name));
  if (!fromlist) return {};
  Ref mod = Ref::steal(PyImport_ImportModuleLevel(module, nullptr, nullptr, fromlist.get(), 0));
  if (!mod) return {};
  Ref value = Ref::steal(PyObject_GetAttrString(mod.get(), name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", name, module);
  }
  return value;
}

Ref get_module_logger(PyObject* module) {
  Ref logging = Ref::steal(PyObject_GetAttrString(module, "logging"));
  Ref name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  if (!logging || !name) return {};
  return Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
}

Ref make_class(PyObject* module, const char* name, const char* doc,
               std::initializer_list<PyObject*> methods) {
  Ref ns = Ref::steal(PyDict_New());
  Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  Ref qualname = Ref::steal(PyUnicode_FromString(name));
  Ref docstring = Ref::steal(PyUnicode_FromString(doc));
  if (!ns || !module_name || !qualname || !docstring ||
      PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", docstring.get()) < 0) {
    return {};
  }
  for (PyObject* method : methods) {
    if (!method) return {};
    if (PyDict_SetItem(ns.get(), reinterpret_cast<Function*>(method)->name, method) < 0) return {};
  }
  return Ref::steal(
      PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", name, ns.get()));
}

}  // namespace orvex
