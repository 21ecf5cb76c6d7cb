// The one include of Python.h for all of orvex, with what CPython 3.9 lacks.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <structmember.h>

#if PY_VERSION_HEX < 0x030A0000
inline PyObject* Py_NewRef(PyObject* o) {
  Py_INCREF(o);
  return o;
}
inline PyObject* Py_XNewRef(PyObject* o) {
  Py_XINCREF(o);
  return o;
}
#endif
