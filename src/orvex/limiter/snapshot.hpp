// Reading a limiter's state directly, for the native shortcut of
// check_and_record (check_and_record_native.cpp).
//
// A direct read stands in for the attribute protocol only where the protocol
// would come down to the same dict lookup: the type leaves attribute access
// generic and defines none of the state's names, and the instance dict is an
// exact dict.
//
// What was read is kept while the instance dict is known not to have
// changed. From 3.12 a dict watcher says so: the interpreter tells it of
// every change of the watched dict, attribute stores included, before the
// change is made. Before 3.12 the dict's version tag says so, which every
// change renews. 3.13.0 stores attributes into an instance's inline values
// without telling watchers (fixed in 3.13.1); there nothing is kept, and the
// state is read afresh at every step.
#pragma once

#include "limiter/state.hpp"
#include "runtime/function.hpp"

#include <cstdint>

namespace orvex::limiter {

// The interpreter gives a type a new version tag whenever the type or one of
// its bases changes (a tag is never reused; 0 is never current). Before 3.12
// a stale tag can stay in place with only the flag cleared.
inline bool tag_is_current(PyTypeObject* type, unsigned int tag) {
#if PY_VERSION_HEX < 0x030C0000
  if (!PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
  return tag != 0 && type->tp_version_tag == tag;
}

// The attribute `name` found on `type` or its bases the way instance
// attribute lookup finds it (borrowed: the type holds it), or nullptr. May
// set an exception.
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

#if PY_VERSION_HEX < 0x030C0000
// A dict's version tag: unique among all dicts and renewed by every change,
// including attribute assignment on the instance that owns the dict.
inline uint64_t dict_version(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// Whether what was read from `dict` still holds: `dict` is the dict read
// and has not changed since.
inline bool is_current(const WatchedDict& w, PyObject* dict) {
#if PY_VERSION_HEX >= 0x030C0000
  return dict == w.dict && w.current;
#else
  return dict == w.dict && w.version != 0 && dict_version(dict) == w.version;
#endif
}

// self.__dict__, made if self has none yet; empty (no exception set) if self
// can't have one.
inline Ref instance_dict(PyObject* self) {
  Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
  if (!dict) PyErr_Clear();
  return dict;
}

// The snapshot when it is still current for self, else nullptr: self's type
// is the one found plain last and unchanged since, and self.__dict__ is the
// dict the snapshot was read from, unchanged since.
inline const Snapshot* current_snapshot(const State& st, PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type != st.plain_type || !tag_is_current(type, st.plain_tag)) return nullptr;
  Ref dict = instance_dict(self);
  return dict && is_current(st.snapshot.source, dict.get()) ? &st.snapshot : nullptr;
}

// self's state read afresh; nullptr (no exception set) when it is not
// plain: take the literal steps.
const Snapshot* refresh_snapshot(const Function& fn, State& st, PyObject* self);

// self's state as it is now; nullptr (no exception set): take the literal
// steps. The snapshot's objects are borrowed: valid until Python code runs
// next.
inline const Snapshot* read_snapshot(const Function& fn, State& st, PyObject* self) {
  const Snapshot* snap = current_snapshot(st, self);
  return snap ? snap : refresh_snapshot(fn, st, self);
}

// time.time(), with the lookups of `time` and its attribute skipped while
// neither dict they were made in has changed since.
Ref clock_reading(const Function& fn, State& st);

// Sets up what keeps snapshots (the dict watcher) for a module's state;
// without it every snapshot is read afresh. Never fails.
void start_snapshots(State& st);

// Stops watching and gives the watcher back.
void stop_snapshots(State& st);

// An exact defaultdict whose default_factory is exactly list.
inline bool is_list_defaultdict(const State& st, PyObject* history) {
  if (!history || reinterpret_cast<PyObject*>(Py_TYPE(history)) != st.defaultdict.get() ||
      st.factory_offset < 0) {
    return false;
  }
  PyObject* factory =
      *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(history) + st.factory_offset);
  return factory == reinterpret_cast<PyObject*>(&PyList_Type);
}

}  // namespace orvex::limiter
