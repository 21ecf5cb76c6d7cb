// Reading a limiter's state directly, for the native shortcut of
// check_and_record (check_and_record_native.cpp).
//
// A direct read stands in for the attribute protocol only where the protocol
// would come down to the same dict lookup: the type leaves attribute access
// generic and defines none of the state's names, and the instance dict is an
// exact dict.
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

// A dict's version tag: unique among all dicts and renewed by every change,
// including attribute assignment on the instance that owns the dict. The
// field is deprecated from 3.12 but still kept up to date there. 3.13 stores
// attributes into an instance's inline values without renewing the tag of
// the dict that shares them (nor telling dict watchers), and 3.14 drops the
// field: there 0 ("unknown") makes every snapshot be read afresh.
inline uint64_t dict_version(PyObject* dict) {
#if PY_VERSION_HEX < 0x030D0000
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
#else
  (void)dict;
  return 0;
#endif
}

// self.__dict__ (borrowed: self holds it), made if self has none yet;
// nullptr if self can't have one.
inline PyObject* instance_dict(PyObject* self) {
  PyObject** slot = _PyObject_GetDictPtr(self);
  return slot ? *slot : nullptr;
}

// The snapshot when it is still current for self, else nullptr: self's type
// is the one found plain last and unchanged since, and self.__dict__ is the
// dict the snapshot was read from, unchanged since.
inline const Snapshot* current_snapshot(const State& st, PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  if (type != st.plain_type || !tag_is_current(type, st.plain_tag)) return nullptr;
  PyObject* dict = instance_dict(self);
  const Snapshot& snap = st.snapshot;
  return dict && dict == snap.dict && snap.version != 0 && dict_version(dict) == snap.version
             ? &snap
             : nullptr;
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
