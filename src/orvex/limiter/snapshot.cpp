#include "limiter/snapshot.hpp"
#include "limiter/methods.hpp"

#include <cstdint>

namespace orvex::limiter {
namespace {

// The class's own _clean, defined in this module (not a same-named function
// of another instance of this module, whose globals differ).
bool is_own_clean(const Function& fn, PyObject* method) {
  return method && is_function_of(method, kClean) &&
         reinterpret_cast<Function*>(method)->module == fn.module;
}

// Whether the attribute protocol on instances of `type` comes down to the
// instance dict for the state's names, and finds the class's own _clean.
// Remembered for the type as it is now.
bool is_plain_type(const Function& fn, State& st, PyTypeObject* type) {
  if (type == st.plain_type && tag_is_current(type, st.plain_tag)) return true;
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  for (PyObject* name : {st.str._suspended, st.str._history, st.str.window_seconds,
                         st.str.hard_limit, st.str.soft_limit}) {
    if (_PyType_Lookup(type, name)) return false;
  }
  if (!is_own_clean(fn, _PyType_Lookup(type, st.str._clean))) return false;
  // The lookups above gave the type a tag if it can have one.
  st.plain_type = type;
  st.plain_tag = type->tp_version_tag;
  return true;
}

// The double that float arithmetic makes of an exact float or an exact int.
bool plain_double(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (!PyLong_CheckExact(o)) return false;
  out = PyLong_AsDouble(o);  // what float arithmetic does with an int operand
  if (out == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();  // too large: the literal subtraction raises it in place
    return false;
  }
  return true;
}

// An exact int that fits a C long.
bool plain_long(PyObject* o, long& out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  out = PyLong_AsLongAndOverflow(o, &overflow);
  return overflow == 0;
}

// Whether no lookup in `dict` can run Python code or fail: all its keys are
// exact str, so that no foreign __eq__ is ever met. A split table (the usual
// instance dict) holds nothing else.
bool only_str_keys(PyObject* dict) {
  if (reinterpret_cast<PyDictObject*>(dict)->ma_values) return true;
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

// Reads the snapshot from a dict with only str keys.
void fill(const State& st, PyObject* dict, Snapshot& snap) {
  PyObject* value = PyDict_GetItemWithError(dict, st.str._suspended);
  snap.suspended = value && Py_IS_TYPE(value, &PySet_Type) ? value : nullptr;  // an exact set
  snap.clean_shadowed = PyDict_GetItemWithError(dict, st.str._clean) != nullptr;
  value = PyDict_GetItemWithError(dict, st.str._history);
  snap.history = value && reinterpret_cast<PyObject*>(Py_TYPE(value)) == st.defaultdict.get()
                     ? value
                     : nullptr;
  value = PyDict_GetItemWithError(dict, st.str.window_seconds);
  snap.window_plain = value && plain_double(value, snap.window_seconds);
  value = PyDict_GetItemWithError(dict, st.str.hard_limit);
  snap.limits_plain = value && plain_long(value, snap.hard_limit);
  value = PyDict_GetItemWithError(dict, st.str.soft_limit);
  snap.limits_plain = snap.limits_plain && value && plain_long(value, snap.soft_limit);
}

}  // namespace

const Snapshot* refresh_snapshot(const Function& fn, State& st, PyObject* self) {
  if (!is_plain_type(fn, st, Py_TYPE(self))) return nullptr;
  PyObject* dict = instance_dict(self);
  if (!dict || !PyDict_CheckExact(dict) || !only_str_keys(dict)) return nullptr;
  Snapshot& snap = st.snapshot;
  snap = Snapshot{};
  fill(st, dict, snap);
  snap.dict = dict;
  snap.version = dict_version(dict);
  return &snap;
}

}  // namespace orvex::limiter
