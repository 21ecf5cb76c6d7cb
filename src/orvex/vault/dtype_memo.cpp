#include "vault/dtype_memo.hpp"

namespace orvex::vault {

bool DtypeMemo::init(PyObject* numpy) {
  numpy_ = Py_NewRef(numpy);
  dtype_type_ = PyObject_GetAttrString(numpy, "dtype");
  parsed_ = PyDict_New();
  return dtype_type_ && parsed_;
}

bool DtypeMemo::applies(PyObject* np, PyObject* dtype_name) const {
  if (np != numpy_) return false;
  // The module's own dict, not getattr: a module __getattr__ is not consulted.
  PyObject* dtype_type = PyDict_GetItemWithError(PyModule_GetDict(numpy_), dtype_name);
  if (!dtype_type) PyErr_Clear();
  return dtype_type == dtype_type_;
}

PyObject* DtypeMemo::known_text(PyObject* dtype) const {
  for (const Entry& e : known_) {
    if (e.dtype == dtype) return e.text;
  }
  return nullptr;
}

void DtypeMemo::remember_text(PyObject* dtype, PyObject* text) {
  Entry& e = known_[next_];
  next_ = (next_ + 1) % kKnown;
  Py_XSETREF(e.dtype, Py_NewRef(dtype));
  Py_XSETREF(e.text, Py_NewRef(text));
}

PyObject* DtypeMemo::parsed(PyObject* text) const {
  if (!PyUnicode_CheckExact(text)) return nullptr;
  // Every key is an exact str, so the lookup compares strings only.
  PyObject* dtype = PyDict_GetItemWithError(parsed_, text);
  if (!dtype) PyErr_Clear();
  return dtype;
}

void DtypeMemo::remember_parsed(PyObject* text, PyObject* dtype) {
  if (!PyUnicode_CheckExact(text)) return;
  if (PyDict_GET_SIZE(parsed_) >= kParsedMax) PyDict_Clear(parsed_);
  if (PyDict_SetItem(parsed_, text, dtype) < 0) PyErr_Clear();  // a cache: losing an entry is fine
}

int DtypeMemo::traverse(visitproc visit, void* arg) {
  Py_VISIT(numpy_);
  Py_VISIT(dtype_type_);
  Py_VISIT(parsed_);
  for (Entry& e : known_) Py_VISIT(e.dtype);
  return 0;
}

void DtypeMemo::clear() {
  Py_CLEAR(numpy_);
  Py_CLEAR(dtype_type_);
  Py_CLEAR(parsed_);
  for (Entry& e : known_) {
    Py_CLEAR(e.dtype);
    Py_CLEAR(e.text);
  }
}

}  // namespace orvex::vault
