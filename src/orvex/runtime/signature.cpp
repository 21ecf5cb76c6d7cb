// __signature__: what inspect.signature() and help() show, built from the
// parameter table, the current __defaults__ and the current __annotations__.
#include "runtime/function.hpp"

namespace orvex {

Ref function_signature(Function& fn) {
  Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
  if (!inspect) return {};
  Ref parameter_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
  Ref signature_type = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
  if (!parameter_type || !signature_type) return {};
  Ref kind = Ref::steal(PyObject_GetAttrString(parameter_type.get(), "POSITIONAL_OR_KEYWORD"));
  Ref empty = Ref::steal(PyObject_GetAttrString(parameter_type.get(), "empty"));
  Ref annotations = function_annotations(fn);
  Ref defaults = Ref::borrow(fn.defaults);
  Ref parameters = Ref::steal(PyList_New(0));
  if (!kind || !empty || !annotations || !parameters) return {};

  const Py_ssize_t ndefaults = defaults ? PyTuple_GET_SIZE(defaults.get()) : 0;
  const Py_ssize_t first_default = fn.nparams - ndefaults;
  for (int i = 0; i < fn.nparams; ++i) {
    PyObject* name = PyTuple_GET_ITEM(fn.param_names, i);
    Ref annotation = Ref::borrow(PyDict_GetItemWithError(annotations.get(), name));
    if (!annotation && PyErr_Occurred()) return {};
    Ref deflt = i >= first_default
                    ? Ref::borrow(PyTuple_GET_ITEM(defaults.get(), i - first_default))
                    : empty;
    Ref kwargs = Ref::steal(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), "default", deflt.get()) < 0 ||
        PyDict_SetItemString(kwargs.get(), "annotation",
                             annotation ? annotation.get() : empty.get()) < 0) {
      return {};
    }
    Ref args = Ref::steal(PyTuple_Pack(2, name, kind.get()));
    if (!args) return {};
    Ref param = Ref::steal(PyObject_Call(parameter_type.get(), args.get(), kwargs.get()));
    if (!param || PyList_Append(parameters.get(), param.get()) < 0) return {};
  }

  Ref returns = Ref::steal(PyUnicode_FromString("return"));
  if (!returns) return {};
  Ref return_annotation = Ref::borrow(PyDict_GetItemWithError(annotations.get(), returns.get()));
  if (!return_annotation && PyErr_Occurred()) return {};
  Ref args = Ref::steal(PyTuple_Pack(1, parameters.get()));
  Ref kwargs = Ref::steal(PyDict_New());
  if (!args || !kwargs ||
      PyDict_SetItemString(kwargs.get(), "return_annotation",
                           return_annotation ? return_annotation.get() : empty.get()) < 0) {
    return {};
  }
  return Ref::steal(PyObject_Call(signature_type.get(), args.get(), kwargs.get()));
}

}  // namespace orvex
