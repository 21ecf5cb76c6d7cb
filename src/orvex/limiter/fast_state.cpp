#include "limiter/fast_state.hpp"
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

// dict.get(name), borrowed; nullptr with an exception set: the lookup failed
// (only a foreign key of the same hash can make it run code or fail).
PyObject* value_of(PyObject* dict, PyObject* name) {
  return PyDict_GetItemWithError(dict, name);
}

// Reads the snapshot from `dict`; false with an exception set on failure.
bool fill(const State& st, PyObject* dict, Snapshot& snap) {
  PyObject* value = value_of(dict, st.str._suspended);
  snap.suspended = value && PySet_CheckExact(value) ? value : nullptr;
  if (!value && PyErr_Occurred()) return false;
  snap.clean_shadowed = value_of(dict, st.str._clean) != nullptr;
  if (PyErr_Occurred()) return false;
  value = value_of(dict, st.str._history);
  snap.history =
      value && reinterpret_cast<PyObject*>(Py_TYPE(value)) == st.defaultdict ? value : nullptr;
  if (!value && PyErr_Occurred()) return false;
  value = value_of(dict, st.str.window_seconds);
  snap.window_plain = value && plain_double(value, snap.window_seconds);
  if (!value && PyErr_Occurred()) return false;
  value = value_of(dict, st.str.hard_limit);
  snap.limits_plain = value && plain_long(value, snap.hard_limit);
  if (!value && PyErr_Occurred()) return false;
  value = value_of(dict, st.str.soft_limit);
  snap.limits_plain = snap.limits_plain && value && plain_long(value, snap.soft_limit);
  return value || !PyErr_Occurred();
}

}  // namespace

const Snapshot* refresh_snapshot(const Function& fn, State& st, PyObject* self) {
  if (!is_plain_type(fn, st, Py_TYPE(self))) return nullptr;
  // Held while reading: a foreign key's __eq__ could replace self.__dict__.
  Ref dict = Ref::borrow(instance_dict(self));
  if (!dict || !PyDict_CheckExact(dict.get())) return nullptr;
  const uint64_t version = dict_version(dict.get());
  if (version == 0) return nullptr;
  Snapshot& snap = st.snapshot;
  snap = Snapshot{};
  // Changed while being read (by a foreign key's __eq__): the values read
  // may be gone already.
  if (!fill(st, dict.get(), snap) || dict_version(dict.get()) != version) {
    snap = Snapshot{};
    return nullptr;
  }
  snap.dict = dict.get();
  snap.version = version;
  return &snap;
}

}  // namespace orvex::limiter
