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
  snap.history = value && reinterpret_cast<PyObject*>(Py_TYPE(value)) == st.defaultdict.get()
                     ? value
                     : nullptr;
  value = PyDict_GetItemWithError(dict, st.str.window_seconds);
  // A window under one second is refused by the literal step.
  snap.window_plain = value && plain_double(value, snap.window_seconds) && snap.window_seconds >= 1;
  value = PyDict_GetItemWithError(dict, st.str.hard_limit);
  snap.limits_plain = value && plain_long(value, snap.hard_limit);
  value = PyDict_GetItemWithError(dict, st.str.soft_limit);
  snap.limits_plain = snap.limits_plain && value && plain_long(value, snap.soft_limit);
}

#if PY_VERSION_HEX >= 0x030C0000
// The dicts a state reads from.
WatchedDict* watched_dicts(State& st, int i) {
  WatchedDict* all[] = {&st.snapshot.source, &st.clock.globals, &st.clock.owner_dict};
  return i < 3 ? all[i] : nullptr;
}

// The states of live limiter modules that watch dicts (one per module
// object; the interpreter offers 8 dict watchers). The watcher callback has
// no context of its own: it finds what was read from the dict here.
constexpr int kMaxWatching = 8;
State* watching[kMaxWatching] = {};

// Runs at every change of a watched dict, and at its end: what was read from
// it no longer holds, or there is no longer a dict to unwatch.
int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
  for (State* st : watching) {
    if (!st) continue;
    for (int i = 0; WatchedDict* w = watched_dicts(*st, i); ++i) {
      if (w->dict != dict) continue;
      w->current = false;
      if (event == PyDict_EVENT_DEALLOCATED) w->dict = nullptr;
    }
  }
  return 0;
}

// Whether dict watchers hear of attribute stores into instance dicts.
bool watchers_see_attributes() {
  return Py_Version < 0x030D0000 || Py_Version >= 0x030D01F0;  // not 3.13.0
}

// Stops watching w's dict, unless another of st's reads still needs it.
void unwatch(State& st, WatchedDict& w) {
  PyObject* dict = w.dict;
  w.dict = nullptr;
  w.current = false;
  if (!dict) return;
  for (int i = 0; WatchedDict* other = watched_dicts(st, i); ++i) {
    if (other->dict == dict) return;
  }
  if (PyDict_Unwatch(st.dict_watcher, dict) < 0) PyErr_Clear();
}

// Makes `dict` the one w reads from next.
void watch(State& st, WatchedDict& w, PyObject* dict) {
  w.current = false;
  if (w.dict == dict || st.dict_watcher < 0) return;
  unwatch(st, w);
  if (PyDict_Watch(st.dict_watcher, dict) < 0) {
    PyErr_Clear();
    return;
  }
  w.dict = dict;
}

// What was just read from `dict` stays current until it changes.
void keep(WatchedDict& w, PyObject* dict) {
  w.current = w.dict == dict;
}
#else
void watch(State&, WatchedDict&, PyObject*) {}

void keep(WatchedDict& w, PyObject* dict) {
  w.dict = dict;
  w.version = dict_version(dict);
}
#endif

// The dict in which generic attribute lookup on `owner` finds `time`, when
// owner is a module or a SimpleNamespace (whose dicts are never replaced,
// and whose types are immutable and define no `time`); nullptr otherwise.
// Borrowed: owner holds it.
PyObject* clock_owner_dict(const State& st, PyObject* owner) {
  PyTypeObject* type = Py_TYPE(owner);
  PyObject* dict = nullptr;
  if (type == &PyModule_Type) {
    dict = PyModule_GetDict(owner);
  } else if (reinterpret_cast<PyObject*>(type) == st.namespace_type.get()) {
    Ref held = Ref::steal(PyObject_GenericGetDict(owner, nullptr));
    dict = held.get();
  }
  if (!dict || !PyDict_CheckExact(dict) || type_lookup(type, st.str.time)) {
    PyErr_Clear();
    return nullptr;
  }
  return dict;
}

// Looks `time` up afresh in the globals and keeps it when the globals have
// only str keys; then the same for its attribute `time`, in its own dict.
// Then calls it.
Ref refresh_clock(const Function& fn, State& st) {
  auto& clock = st.clock;
  clock.owner = nullptr;
  clock.call = nullptr;
  PyObject* globals = PyModule_GetDict(fn.module);
  watch(st, clock.globals, globals);
  PyObject* owner =
      only_str_keys(globals) ? PyDict_GetItemWithError(globals, st.str.time) : nullptr;
  if (!owner) {
    PyErr_Clear();
    return clock_now(fn, st);
  }
  keep(clock.globals, globals);
  clock.owner = owner;
  clock.owner_type = Py_TYPE(owner);
  Ref held = Ref::borrow(owner);
  PyObject* owner_dict = clock_owner_dict(st, owner);
  if (owner_dict) watch(st, clock.owner_dict, owner_dict);
  PyObject* call = owner_dict && only_str_keys(owner_dict)
                       ? PyDict_GetItemWithError(owner_dict, st.str.time)
                       : nullptr;
  if (!call) {
    PyErr_Clear();
    return call_method(held.get(), st.str.time);
  }
  keep(clock.owner_dict, owner_dict);
  clock.call = call;
  Ref held_call = Ref::borrow(call);
  return Ref::steal(PyObject_CallNoArgs(held_call.get()));
}

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
  WatchedDict& source = st.snapshot.source;
  watch(st, source, dict.get());
  if (!only_str_keys(dict.get())) return nullptr;
  fill(st, dict.get(), st.snapshot);
  if (st.instance_dicts_watchable) keep(source, dict.get());
  return &st.snapshot;
}

Ref clock_reading(const Function& fn, State& st) {
  const auto& clock = st.clock;
  if (clock.owner && is_current(clock.globals, PyModule_GetDict(fn.module))) {
    // `time` is still clock.owner (the globals hold it).
    if (!clock.call) {
      Ref owner = Ref::borrow(clock.owner);
      return call_method(owner.get(), st.str.time);
    }
    if (Py_TYPE(clock.owner) == clock.owner_type &&
        is_current(clock.owner_dict, clock.owner_dict.dict)) {
      Ref call = Ref::borrow(clock.call);
      return Ref::steal(PyObject_CallNoArgs(call.get()));
    }
  }
  return refresh_clock(fn, st);
}

void start_snapshots(State& st) {
#if PY_VERSION_HEX >= 0x030C0000
  for (State*& slot : watching) {
    if (slot) continue;
    st.dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (st.dict_watcher < 0) {
      PyErr_Clear();  // all taken: this module reads afresh every time
      return;
    }
    st.instance_dicts_watchable = watchers_see_attributes();
    slot = &st;
    return;
  }
#else
  st.instance_dicts_watchable = true;
#endif
}

void stop_snapshots(State& st) {
#if PY_VERSION_HEX >= 0x030C0000
  if (st.dict_watcher < 0) return;
  for (int i = 0; WatchedDict* w = watched_dicts(st, i); ++i) unwatch(st, *w);
  st.clock.owner = nullptr;
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
