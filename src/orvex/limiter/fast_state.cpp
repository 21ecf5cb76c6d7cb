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

// The version tag `type` has now, given one first if it can have one.
unsigned int type_tag(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030D0000
  PyUnstable_Type_AssignVersionTag(type);
#endif
  return type->tp_version_tag;
}

// Whether the attribute protocol on instances of `type` comes down to the
// instance dict for the state's names, and finds the class's own _clean.
// Remembered for the type as it is now.
bool is_plain_type(const Function& fn, State& st, PyTypeObject* type) {
  if (type == st.plain_type && tag_is_current(type, st.plain_tag)) return true;
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  // Before 3.13 the lookups below give the type its tag; the tag must be the
  // same after them (a foreign key in a class namespace can run code).
  const unsigned int tag = type_tag(type);
  for (PyObject* name : {st.str._suspended, st.str._history, st.str.window_seconds,
                         st.str.hard_limit, st.str.soft_limit}) {
    if (type_lookup(type, name) || PyErr_Occurred()) return false;
  }
  if (!is_own_clean(fn, type_lookup(type, st.str._clean))) return false;
  const unsigned int after = type_tag(type);
  if (after == 0 || (tag != 0 && tag != after)) return false;
  st.plain_type = type;
  st.plain_tag = after;
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
// exact str, so that no foreign __eq__ is ever met. An instance dict holds a
// handful of keys, and this runs only when the dict has changed.
bool only_str_keys(PyObject* dict) {
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

// Reads the snapshot's values from a dict with only str keys.
void fill(const State& st, PyObject* dict, Snapshot& snap) {
  PyObject* value = PyDict_GetItemWithError(dict, st.str._suspended);
  snap.suspended = value && Py_IS_TYPE(value, &PySet_Type) ? value : nullptr;  // an exact set
  snap.clean_shadowed = PyDict_GetItemWithError(dict, st.str._clean) != nullptr;
  value = PyDict_GetItemWithError(dict, st.str._history);
  snap.history =
      value && reinterpret_cast<PyObject*>(Py_TYPE(value)) == st.defaultdict ? value : nullptr;
  value = PyDict_GetItemWithError(dict, st.str.window_seconds);
  snap.window_plain = value && plain_double(value, snap.window_seconds);
  value = PyDict_GetItemWithError(dict, st.str.hard_limit);
  snap.limits_plain = value && plain_long(value, snap.hard_limit);
  value = PyDict_GetItemWithError(dict, st.str.soft_limit);
  snap.limits_plain = snap.limits_plain && value && plain_long(value, snap.soft_limit);
}

#if PY_VERSION_HEX >= 0x030C0000
// The states of live limiter modules that watch a dict (one per module
// object; the interpreter offers 8 dict watchers). The watcher callback has
// no context of its own: it finds the snapshots of the dict here.
constexpr int kMaxWatching = 8;
State* watching[kMaxWatching] = {};

// Runs at every change of a watched dict, and at its end: the snapshot read
// from it no longer holds, or no longer has a dict to unwatch.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
  for (State* st : watching) {
    if (!st || st->snapshot.dict != dict) continue;
    st->snapshot.current = false;
    if (event == PyDict_EVENT_DEALLOCATED) st->snapshot.dict = nullptr;
  }
  return 0;
}

// Whether dict watchers hear of attribute stores on this interpreter.
bool watchers_see_attributes() {
  return Py_Version < 0x030D0000 || Py_Version >= 0x030D01F0;  // not 3.13.0
}

// Makes `dict` the watched one: the snapshot read next belongs to it.
void watch(State& st, PyObject* dict) {
  Snapshot& snap = st.snapshot;
  snap.current = false;
  if (snap.dict == dict || st.dict_watcher < 0) return;
  if (snap.dict && PyDict_Unwatch(st.dict_watcher, snap.dict) < 0) PyErr_Clear();
  snap.dict = nullptr;
  if (PyDict_Watch(st.dict_watcher, dict) < 0) {
    PyErr_Clear();
    return;
  }
  snap.dict = dict;
}

// The values just read belong to `dict` and stay current until it changes.
void keep(State& st, PyObject* dict) {
  st.snapshot.current = st.snapshot.dict == dict;
}
#else
void watch(State&, PyObject*) {}

void keep(State& st, PyObject* dict) {
  st.snapshot.dict = dict;
  st.snapshot.version = dict_version(dict);
}
#endif

}  // namespace

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if PY_VERSION_HEX >= 0x030C0000
  // What the interpreter's own lookup does, minus its cache: the first class
  // of the MRO whose namespace has the name.
  PyObject* mro = type->tp_mro;
  if (!mro || !PyTuple_Check(mro)) return nullptr;
  Ref held = Ref::borrow(mro);
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) return nullptr;
    Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
    PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
    if (found || PyErr_Occurred()) return found;
  }
  return nullptr;
#else
  return _PyType_Lookup(type, name);
#endif
}

const Snapshot* refresh_snapshot(const Function& fn, State& st, PyObject* self) {
  if (!is_plain_type(fn, st, Py_TYPE(self))) {
    PyErr_Clear();
    return nullptr;
  }
  Ref dict = instance_dict(self);
  if (!dict || !PyDict_CheckExact(dict.get())) return nullptr;
  watch(st, dict.get());
  if (!only_str_keys(dict.get())) return nullptr;
  fill(st, dict.get(), st.snapshot);
  keep(st, dict.get());
  return &st.snapshot;
}

void start_snapshots(State& st) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!watchers_see_attributes()) return;
  for (State*& slot : watching) {
    if (slot) continue;
    st.dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (st.dict_watcher < 0) {
      PyErr_Clear();  // all taken: this module reads afresh every time
      return;
    }
    slot = &st;
    return;
  }
#else
  (void)st;
#endif
}

void stop_snapshots(State& st) {
#if PY_VERSION_HEX >= 0x030C0000
  if (st.dict_watcher < 0) return;
  if (st.snapshot.dict && PyDict_Unwatch(st.dict_watcher, st.snapshot.dict) < 0) PyErr_Clear();
  st.snapshot = Snapshot{};
  if (PyDict_ClearWatcher(st.dict_watcher) < 0) PyErr_Clear();
  st.dict_watcher = -1;
  for (State*& slot : watching) {
    if (slot == &st) slot = nullptr;
  }
#else
  (void)st;
#endif
}

}  // namespace orvex::limiter
