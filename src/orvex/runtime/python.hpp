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

// Up to 3.13 a thread that asks for the interpreter lock back after exit has
// begun is ended where it stands, by an unwind that starts in code the
// address sanitizer doesn't see. The frames it unwinds keep their stack
// redzones marked, and the sanitizer then takes the next frame placed there
// for an overflow. Frames that call into Python code where such a thread
// waits for the lock, and hold addressable locals across that call, opt out
// of stack redzones (heap and global checks stay).
#if defined(__GNUC__)
#define ORVEX_UNWOUND_AT_EXIT __attribute__((no_sanitize("address")))
#else
#define ORVEX_UNWOUND_AT_EXIT
#endif
