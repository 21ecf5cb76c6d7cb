#include "vault/dtype_memo.hpp"

namespace orvex::vault {

bool DtypeMemo::init(PyObject* numpy) {
  numpy_ = Ref::borrow(numpy);
  dtype_type_ = Ref::steal(PyObject_GetAttrString(numpy, "dtype"));
  parsed_ = Ref::steal(PyDict_New());
  return dtype_type_ && parsed_;
}

bool DtypeMemo::applies(PyObject* np, PyObject* dtype_name) const {
  if (np != numpy_.get()) return false;
  // The module's own dict, not getattr: a module __getattr__ is not consulted.
  PyObject* dtype_type = PyDict_GetItemWithError(PyModule_GetDict(numpy_.get()), dtype_name);
  if (!dtype_type) PyErr_Clear();
  return dtype_type == dtype_type_.get();
}

PyObject* DtypeMemo::known_text(PyObject* dtype) const {
  for (const Entry& e : known_) {
    if (e.dtype.get() == dtype) return e.text.get();
  }
  return nullptr;
}

void DtypeMemo::remember_text(PyObject* dtype, PyObject* text) {
  Entry& e = known_[next_];
  next_ = (next_ + 1) % kKnown;
  e.dtype = Ref::borrow(dtype);
  e.text = Ref::borrow(text);
}

PyObject* DtypeMemo::parsed(PyObject* text) const {
  if (!PyUnicode_CheckExact(text)) return nullptr;
  // Every key is an exact str, so the lookup compares strings only.
  PyObject* dtype = PyDict_GetItemWithError(parsed_.get(), text);
  if (!dtype) PyErr_Clear();
  return dtype;
}

void DtypeMemo::remember_parsed(PyObject* text, PyObject* dtype) {
  if (!PyUnicode_CheckExact(text)) return;
  if (PyDict_GET_SIZE(parsed_.get()) >= kParsedMax) PyDict_Clear(parsed_.get());
  if (PyDict_SetItem(parsed_.get(), text, dtype) < 0)
    PyErr_Clear();  // a cache: losing an entry is fine
}

int DtypeMemo::traverse(visitproc visit, void* arg) {
  Py_VISIT(numpy_.get());
  Py_VISIT(dtype_type_.get());
  Py_VISIT(parsed_.get());
  for (Entry& e : known_) Py_VISIT(e.dtype.get());
  return 0;
}

}  // namespace orvex::vault
