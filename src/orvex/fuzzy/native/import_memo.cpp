// The memo of a failed optional import (see import_memo.hpp).
//
// Why each comparison is enough, in the order the import system works:
// - PyImport_Import reads `__builtins__` from the caller's globals and
//   `__import__` from them: the memo only answers when both are exact dicts
//   or modules and `__import__` is the builtin, which looks the name up in
//   the interpreter's module dict and, when it is missing, raises the
//   "import" audit event and calls importlib's `_find_and_load`.
// - The search is Python code in two frozen modules. Their globals, every
//   function's code and defaults, every class (by its version tag) and the
//   names the code reads in sys, builtins and the builtin modules it uses
//   are compared with what they were when this module was imported.
// - sys.meta_path holds exactly the builtin, frozen and path finders, in
//   that order: the first two never know the name of a missing module.
// - The path finder asks, for each sys.path entry (exact, non-empty str),
//   the finder cached in sys.path_importer_cache: None is skipped; a
//   directory finder stats its directory, rereads it when the time differs
//   from the one it keeps, and otherwise looks the name and the name with
//   each of its suffixes up in its cache. Those lookups, the directory's
//   time and the finder's attributes are checked on every call.
#include "fuzzy/native/import_memo.hpp"
#include "runtime/ops.hpp"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <iterator>

namespace orvex::fuzzy {
namespace {

// Up to 3.11 every dict carries a version tag that any change to it
// replaces: an unchanged tag spares comparing the entries. (Deprecated from
// 3.12; those compare the entries every time.)
#if PY_VERSION_HEX < 0x030C0000
uint64_t version_of(PyObject* d) {
  return reinterpret_cast<PyDictObject*>(d)->ma_version_tag;
}
bool same_version(PyObject* d, uint64_t version) {
  return version_of(d) == version;
}
#else
uint64_t version_of(PyObject*) {
  return 0;
}
bool same_version(PyObject*, uint64_t) {
  return false;
}
#endif

}  // namespace

DictSnapshot::~DictSnapshot() noexcept(false) {
  if (items.empty() || !may_touch_references()) return;
  for (PyObject* o : items) Py_DECREF(o);
}

bool DictSnapshot::take(PyObject* d, PyObject* loose_keys) {
  if (!PyDict_CheckExact(d)) return false;
  dict = Ref::borrow(d);
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(d, &pos, &key, &value)) {
    items.push_back(Py_NewRef(key));
    items.push_back(Py_NewRef(value));
    int is_loose = loose_keys ? PySequence_Contains(loose_keys, key) : 0;
    if (is_loose < 0) return false;
    loose.push_back(is_loose > 0);
  }
  return true;
}

bool DictSnapshot::unchanged() const {
  PyObject* d = dict.get();
  if (same_version(d, version)) return true;
  if (PyDict_GET_SIZE(d) * 2 != static_cast<Py_ssize_t>(items.size())) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  for (size_t i = 0; PyDict_Next(d, &pos, &key, &value); i += 2) {
    if (key != items[i] || (value != items[i + 1] && !loose[i / 2])) return false;
  }
  version = version_of(d);
  return true;
}

int DictSnapshot::traverse(visitproc visit, void* arg) const {
  for (PyObject* o : items) Py_VISIT(o);
  return 0;
}

// The entry at the recorded position: a deletion, or a rebuild of the table
// that moved it, puts another key (or none) there.
bool PinnedDict::unchanged() const {
  PyObject* d = dict.get();
  if (same_version(d, version)) return true;
  for (const DictPin& p : pins) {
    Py_ssize_t at = p.pos;
    PyObject *k, *v;
    if (!PyDict_Next(d, &at, &k, &v) || k != p.key.get() || v != p.value.get()) return false;
  }
  version = version_of(d);
  return true;
}

namespace {

constexpr long kMonitoringTools = 6;  // the ids sys.monitoring hands out

constexpr const char* kLooseKeys[] = {"__name__", "__package__", "__file__", "__cached__",
                                      "__doc__"};
// sys attributes the search reads that change in normal use; they belong to
// the record, not to the world.
constexpr const char* kDynamicSysKeys[] = {"path", "meta_path", "path_importer_cache", "path_hooks",
                                           "modules"};

Ref intern(const char* s) {
  return Ref::steal(PyUnicode_InternFromString(s));
}

Ref item(PyObject* dict, const char* key) {
  return Ref::borrow(PyDict_GetItemString(dict, key));
}

bool valid_version(PyTypeObject* t) {
#if PY_VERSION_HEX >= 0x030C0000
  if (!PyUnstable_Type_AssignVersionTag(t)) return false;
#else
  Ref probe = intern("__init__");
  if (!probe) return false;
  (void)_PyType_Lookup(t, probe.get());  // assigns the tag when it can
  if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
  return t->tp_version_tag != 0;
}

bool version_unchanged(const TypePin& p) {
  auto* t = reinterpret_cast<PyTypeObject*>(p.type.get());
#if PY_VERSION_HEX < 0x030C0000
  if (!PyType_HasFeature(t, Py_TPFLAGS_VALID_VERSION_TAG)) return false;
#endif
  return t->tp_version_tag == p.version &&
         reinterpret_cast<PyObject*>(Py_TYPE(t)) == p.metatype.get();
}

bool function_unchanged(const FunctionPin& p) {
  PyObject* f = p.function.get();
  return PyFunction_GET_CODE(f) == p.code.get() && PyFunction_GET_DEFAULTS(f) == p.defaults.get() &&
         PyFunction_GET_KW_DEFAULTS(f) == p.kwdefaults.get();
}

// A class whose attributes change in normal use: importlib.invalidate_caches()
// counts its epochs in _NamespacePath._epoch. The search for a missing
// top-level module never reaches it (its functions stay pinned).
bool changes_in_use(PyTypeObject* cls) {
  return std::strcmp(cls->tp_name, "_NamespacePath") == 0;
}

// Adds code's names and those of the code nested in it (comprehensions,
// closures) to `names`.
bool collect_names(PyObject* code, PyObject* names) {
  Ref co_names = Ref::steal(PyObject_GetAttrString(code, "co_names"));
  Ref co_consts = co_names ? Ref::steal(PyObject_GetAttrString(code, "co_consts")) : Ref();
  if (!co_consts || !PyTuple_Check(co_names.get()) || !PyTuple_Check(co_consts.get())) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co_names.get()); ++i) {
    if (PySet_Add(names, PyTuple_GET_ITEM(co_names.get(), i)) < 0) return false;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(co_consts.get()); ++i) {
    PyObject* c = PyTuple_GET_ITEM(co_consts.get(), i);
    if (PyCode_Check(c) && !collect_names(c, names)) return false;
  }
  return true;
}

bool pin_function(ImportWorld& w, PyObject* f, PyObject* names) {
  if (!PyFunction_Check(f)) return true;
  PyObject* code = PyFunction_GET_CODE(f);
  w.functions.push_back({Ref::borrow(f), Ref::borrow(code), Ref::borrow(PyFunction_GET_DEFAULTS(f)),
                         Ref::borrow(PyFunction_GET_KW_DEFAULTS(f))});
  return collect_names(code, names);
}

// A class of the import machinery: its version tag, and the functions in its
// namespace (methods, class and static methods, properties' accessors).
bool pin_class(ImportWorld& w, PyObject* cls, PyObject* names) {
  auto* t = reinterpret_cast<PyTypeObject*>(cls);
  if (!changes_in_use(t)) {
    if (!valid_version(t)) return false;
    w.types.push_back({Ref::borrow(cls), Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(cls))),
                       t->tp_version_tag});
  }
  if (!PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return true;
  Ref attrs = type_dict(t);
  if (!attrs) return false;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  static constexpr const char* kWrapped[] = {"__func__", "fget", "fset", "fdel"};
  while (PyDict_Next(attrs.get(), &pos, &key, &value)) {
    if (PyFunction_Check(value)) {
      if (!pin_function(w, value, names)) return false;
      continue;
    }
    const bool wrapper = PyObject_TypeCheck(value, &PyClassMethod_Type) ||
                         PyObject_TypeCheck(value, &PyStaticMethod_Type) ||
                         PyObject_TypeCheck(value, &PyProperty_Type);
    if (!wrapper) continue;
    for (const char* attr : kWrapped) {
      Ref f = Ref::steal(PyObject_GetAttrString(value, attr));
      if (!f) {
        PyErr_Clear();
        continue;
      }
      if (!pin_function(w, f.get(), names)) return false;
    }
  }
  return true;
}

// Every name of `names` present in `dict`, where PyDict_Next finds it.
bool pin_names(ImportWorld& w, PyObject* dict, PyObject* names, bool skip_dynamic) {
  PinnedDict pinned;
  pinned.dict = Ref::borrow(dict);
  pinned.version = version_of(dict);
  Py_ssize_t pos = 0, at = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    const Py_ssize_t here = at;
    at = pos;
    int wanted = PySet_Contains(names, key);
    if (wanted < 0) return false;
    if (!wanted || !PyUnicode_CheckExact(key)) continue;
    if (skip_dynamic) {
      bool dynamic = false;
      for (const char* k : kDynamicSysKeys)
        dynamic |= PyUnicode_CompareWithASCIIString(key, k) == 0;
      if (dynamic) continue;
    }
    pinned.pins.push_back({Ref::borrow(key), Ref::borrow(value), here});
  }
  w.names.push_back(std::move(pinned));
  return true;
}

// Where printing or timing each import would show that the search ran.
bool import_is_reported(PyObject* sys_dict) {
  if (std::getenv("PYTHONPROFILEIMPORTTIME")) return true;
  PyObject* xoptions = PyDict_GetItemString(sys_dict, "_xoptions");
  if (!xoptions || !PyDict_Check(xoptions) || PyDict_GetItemString(xoptions, "importtime")) {
    return true;
  }
  Ref flags = item(sys_dict, "flags");
  Ref verbose = flags ? Ref::steal(PyObject_GetAttrString(flags.get(), "verbose")) : Ref();
  return !verbose || !PyLong_CheckExact(verbose.get()) || PyLong_AsLong(verbose.get()) != 0;
}

// Unused where the memo is off (see capture_import_world).
[[maybe_unused]] bool capture_world(ImportWorld& w) {
  PyObject* modules = PyImport_GetModuleDict();
  w.bootstrap_key = intern("_frozen_importlib");
  if (!w.bootstrap_key || !PyDict_CheckExact(modules)) return false;
  w.bootstrap = Ref::borrow(PyDict_GetItemWithError(modules, w.bootstrap_key.get()));
  if (!w.bootstrap || !PyModule_CheckExact(w.bootstrap.get())) return false;
  PyObject* bootstrap_dict = PyModule_GetDict(w.bootstrap.get());
  // The sys the search reads (the interpreter's own: the audit event reads it too).
  Ref sys = item(bootstrap_dict, "sys");
  if (!sys || !PyModule_CheckExact(sys.get())) return false;
  w.sys_dict = Ref::borrow(PyModule_GetDict(sys.get()));
  if (import_is_reported(w.sys_dict.get())) return false;
  Ref external = item(bootstrap_dict, "_bootstrap_external");
  Ref builtins_ns = item(bootstrap_dict, "__builtins__");
  if (!external || !PyModule_CheckExact(external.get()) || !builtins_ns) return false;
  PyObject* external_dict = PyModule_GetDict(external.get());
  PyObject* builtins_dict =
      PyModule_Check(builtins_ns.get()) ? PyModule_GetDict(builtins_ns.get()) : builtins_ns.get();
  if (!PyDict_CheckExact(builtins_dict)) return false;
  w.import_func = item(builtins_dict, "__import__");
  if (!w.import_func || !PyCFunction_CheckExact(w.import_func.get())) return false;
#if PY_VERSION_HEX >= 0x030C0000
  Ref monitoring = item(w.sys_dict.get(), "monitoring");
  w.get_tool =
      monitoring ? Ref::steal(PyObject_GetAttrString(monitoring.get(), "get_tool")) : Ref();
  if (!w.get_tool || !PyCFunction_CheckExact(w.get_tool.get())) return false;
#endif

  w.builtin_importer = item(bootstrap_dict, "BuiltinImporter");
  w.frozen_importer = item(bootstrap_dict, "FrozenImporter");
  w.path_finder = item(external_dict, "PathFinder");
  w.file_finder = item(external_dict, "FileFinder");
  if (!w.builtin_importer || !w.frozen_importer || !w.path_finder || !w.file_finder ||
      !PyType_Check(w.file_finder.get())) {
    return false;
  }

  Ref loose = Ref::steal(PyTuple_New(std::size(kLooseKeys)));
  if (!loose) return false;
  for (size_t i = 0; i < std::size(kLooseKeys); ++i) {
    PyObject* k = PyUnicode_InternFromString(kLooseKeys[i]);
    if (!k) return false;
    PyTuple_SET_ITEM(loose.get(), static_cast<Py_ssize_t>(i), k);
  }
  Ref names = Ref::steal(PySet_New(nullptr));
  if (!names) return false;
  for (PyObject* d : {bootstrap_dict, external_dict}) {
    DictSnapshot snapshot;
    if (!snapshot.take(d, loose.get())) return false;
    snapshot.version = version_of(d);
    w.modules.push_back(std::move(snapshot));
  }
  // The machinery's functions and classes, then the modules it reads.
  std::vector<PyObject*> used_modules;
  for (const DictSnapshot& snapshot : w.modules) {
    for (size_t i = 1; i < snapshot.items.size(); i += 2) {
      PyObject* value = snapshot.items[i];
      if (PyFunction_Check(value) && !pin_function(w, value, names.get())) return false;
      if (PyType_Check(value) && !pin_class(w, value, names.get())) return false;
      if (PyModule_Check(value)) used_modules.push_back(value);
    }
  }
  for (PyObject* m : used_modules) {
    if (!PyModule_CheckExact(m)) return false;
    w.namespaces.push_back(Ref::borrow(m));
    if (m == w.bootstrap.get() || m == external.get()) continue;
    PyObject* d = PyModule_GetDict(m);
    if (!pin_names(w, d, names.get(), d == w.sys_dict.get())) return false;
  }
  if (!pin_names(w, builtins_dict, names.get(), false)) return false;
  // The second module's functions look names up in its own builtins.
  Ref external_builtins = item(external_dict, "__builtins__");
  if (!external_builtins) return false;
  PyObject* external_builtins_dict = PyModule_Check(external_builtins.get())
                                         ? PyModule_GetDict(external_builtins.get())
                                         : external_builtins.get();
  if (external_builtins_dict != builtins_dict &&
      (!PyDict_CheckExact(external_builtins_dict) ||
       !pin_names(w, external_builtins_dict, names.get(), false))) {
    return false;
  }

  w.key_path = intern("path");
  w.key_meta_path = intern("meta_path");
  w.key_path_importer_cache = intern("path_importer_cache");
  w.key_modules = intern("modules");
  w.key_path_hooks = intern("path_hooks");
  w.key_builtins = intern("__builtins__");
  w.key_import = intern("__import__");
  // Interned, as the interpreter's own name: a fresh string at every call
  // would take a new slot of the type attribute cache each time.
  w.key_find_and_load = intern("_find_and_load");
  return w.key_path && w.key_meta_path && w.key_path_importer_cache && w.key_modules &&
         w.key_path_hooks && w.key_builtins && w.key_import && w.key_find_and_load;
}

bool world_unchanged(const ImportWorld& w) {
  for (const DictSnapshot& s : w.modules) {
    if (!s.unchanged()) return false;
  }
  for (const Ref& m : w.namespaces) {
    if (!PyModule_CheckExact(m.get())) return false;
  }
  for (const TypePin& t : w.types) {
    if (!version_unchanged(t)) return false;
  }
  for (const FunctionPin& f : w.functions) {
    if (!function_unchanged(f)) return false;
  }
  for (const PinnedDict& p : w.names) {
    if (!p.unchanged()) return false;
  }
  return true;
}

// os.stat(directory).st_mtime, kept as the seconds and nanoseconds it is
// made of; a failure is what the finder counts as -1.
void stat_directory(PathEntry& e) {
  struct stat st;
  e.stat_failed = ::stat(PyBytes_AS_STRING(e.directory.get()), &st) != 0;
  e.sec = e.stat_failed ? 0 : static_cast<long long>(st.st_mtim.tv_sec);
  e.nsec = e.stat_failed ? 0 : static_cast<long long>(st.st_mtim.tv_nsec);
}

bool same_directory_time(const PathEntry& e) {
  PathEntry now;
  now.directory = e.directory;
  stat_directory(now);
  return now.stat_failed == e.stat_failed && now.sec == e.sec && now.nsec == e.nsec;
}

// The float os.stat would give, against what the finder kept.
bool time_matches(const PathEntry& e, PyObject* kept) {
  double kept_value;
  if (PyFloat_CheckExact(kept)) {
    kept_value = PyFloat_AS_DOUBLE(kept);
  } else if (PyLong_CheckExact(kept)) {
    int overflow = 0;
    kept_value = static_cast<double>(PyLong_AsLongLongAndOverflow(kept, &overflow));
    if (overflow) return false;
  } else {
    return false;
  }
  if (e.stat_failed) return kept_value == -1.0;
  const double now = static_cast<double>(e.sec) + static_cast<double>(e.nsec) * 1e-9;
  return now == kept_value;
}

// A directory finder as the search uses it: its attributes shadow nothing
// of its class, and neither the name nor the name with a suffix is cached.
bool record_file_finder(const ImportWorld& w, PyObject* name, PathEntry& e) {
  PyObject* finder = e.finder.get();
  Ref attrs = Ref::steal(PyObject_GenericGetDict(finder, nullptr));
  if (!attrs || !e.attrs.take(attrs.get(), nullptr)) return false;
  for (size_t i = 0; i < e.attrs.items.size(); i += 2) {
    PyObject* key = e.attrs.items[i];
    if (!PyUnicode_CheckExact(key)) return false;
    if (_PyType_Lookup(reinterpret_cast<PyTypeObject*>(w.file_finder.get()), key)) return false;
  }
  Ref path = item(attrs.get(), "path");
  Ref mtime = item(attrs.get(), "_path_mtime");
  e.cache = item(attrs.get(), "_path_cache");
  e.loaders = item(attrs.get(), "_loaders");
  if (!path || !mtime || !e.cache || !e.loaders || !PyUnicode_CheckExact(path.get()) ||
      PyUnicode_GET_LENGTH(path.get()) == 0 || !PyAnySet_CheckExact(e.cache.get()) ||
      !PyList_CheckExact(e.loaders.get())) {
    return false;
  }
  e.directory = Ref::steal(PyUnicode_EncodeFSDefault(path.get()));
  if (!e.directory) return false;
  const char* bytes = PyBytes_AS_STRING(e.directory.get());
  if (std::strlen(bytes) != static_cast<size_t>(PyBytes_GET_SIZE(e.directory.get()))) return false;
  stat_directory(e);
  if (!time_matches(e, mtime.get())) return false;
  e.cache_size = PySet_GET_SIZE(e.cache.get());
  e.probes.push_back(Ref::borrow(name));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(e.loaders.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(e.loaders.get(), i);
    if (!PyTuple_CheckExact(pair) || PyTuple_GET_SIZE(pair) != 2) return false;
    PyObject* suffix = PyTuple_GET_ITEM(pair, 0);
    if (!PyUnicode_CheckExact(suffix)) return false;
    e.loader_items.push_back(pair);
    Ref probe = Ref::steal(PyUnicode_Concat(name, suffix));
    if (!probe) return false;
    e.probes.push_back(std::move(probe));
  }
  for (const Ref& probe : e.probes) {
    if (PySet_Contains(e.cache.get(), probe.get()) != 0) return false;
  }
  return true;
}

bool file_finder_unchanged(const PathEntry& e) {
  PyObject* finder = e.finder.get();
  Ref attrs = Ref::steal(PyObject_GenericGetDict(finder, nullptr));
  if (!attrs) {
    PyErr_Clear();
    return false;
  }
  if (attrs.get() != e.attrs.dict.get() || !e.attrs.unchanged()) return false;
  PyObject* loaders = e.loaders.get();
  const auto n = static_cast<Py_ssize_t>(e.loader_items.size());
  if (PyList_GET_SIZE(loaders) != n) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (PyList_GET_ITEM(loaders, i) != e.loader_items[static_cast<size_t>(i)]) return false;
  }
  if (PySet_GET_SIZE(e.cache.get()) != e.cache_size) return false;
  for (const Ref& probe : e.probes) {
    if (PySet_Contains(e.cache.get(), probe.get()) != 0) {
      PyErr_Clear();
      return false;
    }
  }
  return same_directory_time(e);
}

PyObject* sys_item(const ImportWorld& w, const Ref& key) {
  return PyDict_GetItemWithError(w.sys_dict.get(), key.get());
}

// sys.meta_path as the interpreter sets it up: the builtin, frozen and path
// finders, in that order.
bool standard_finders(const ImportWorld& w, PyObject* meta_path) {
  return PyList_GET_SIZE(meta_path) == 3 &&
         PyList_GET_ITEM(meta_path, 0) == w.builtin_importer.get() &&
         PyList_GET_ITEM(meta_path, 1) == w.frozen_importer.get() &&
         PyList_GET_ITEM(meta_path, 2) == w.path_finder.get();
}

bool record_absence(ImportMemo& memo, PyObject* name) {
  const ImportWorld& w = memo.world;
  ImportRecord& r = memo.record;
  if (!world_unchanged(w)) return false;
  r.meta_path = Ref::borrow(sys_item(w, w.key_meta_path));
  r.path = Ref::borrow(sys_item(w, w.key_path));
  r.path_importer_cache = Ref::borrow(sys_item(w, w.key_path_importer_cache));
  if (!r.meta_path || !r.path || !r.path_importer_cache || !PyList_CheckExact(r.meta_path.get()) ||
      !PyList_CheckExact(r.path.get()) || !PyDict_CheckExact(r.path_importer_cache.get()) ||
      sys_item(w, w.key_modules) != PyImport_GetModuleDict()) {
    return false;
  }
  if (!standard_finders(w, r.meta_path.get())) return false;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(r.path.get()); ++i) {
    PyObject* entry = PyList_GET_ITEM(r.path.get(), i);
    if (!PyUnicode_CheckExact(entry) || PyUnicode_GET_LENGTH(entry) == 0) return false;
    PathEntry e;
    e.entry = Ref::borrow(entry);
    e.finder = Ref::borrow(PyDict_GetItemWithError(r.path_importer_cache.get(), entry));
    if (!e.finder) return false;
    if (e.finder.get() != Py_None) {
      if (reinterpret_cast<PyObject*>(Py_TYPE(e.finder.get())) != w.file_finder.get()) return false;
      if (!record_file_finder(w, name, e)) return false;
    }
    r.entries.push_back(std::move(e));
  }
  r.name = Ref::borrow(name);
  r.valid = true;
  return true;
}

bool record_unchanged(const ImportMemo& memo, PyObject* name) {
  const ImportWorld& w = memo.world;
  const ImportRecord& r = memo.record;
  if (name != r.name.get() || !world_unchanged(w)) return false;
  if (sys_item(w, w.key_meta_path) != r.meta_path.get() ||
      sys_item(w, w.key_path) != r.path.get() ||
      sys_item(w, w.key_path_importer_cache) != r.path_importer_cache.get() ||
      sys_item(w, w.key_modules) != PyImport_GetModuleDict()) {
    return false;
  }
  if (!standard_finders(w, r.meta_path.get())) return false;
  PyObject* path = r.path.get();
  const auto n = static_cast<Py_ssize_t>(r.entries.size());
  if (PyList_GET_SIZE(path) != n) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    const PathEntry& e = r.entries[static_cast<size_t>(i)];
    PyObject* entry = PyList_GET_ITEM(path, i);
    if (entry != e.entry.get()) return false;
    if (PyDict_GetItemWithError(r.path_importer_cache.get(), entry) != e.finder.get()) return false;
    if (e.finder.get() == Py_None) continue;
    if (reinterpret_cast<PyObject*>(Py_TYPE(e.finder.get())) != w.file_finder.get()) return false;
    if (!file_finder_unchanged(e)) return false;
  }
  return true;
}

// True when the import would call the builtin __import__, found as
// PyImport_Import finds it, without any code running on the way.
bool genuine_import_in_scope(const ImportWorld& w) {
  PyObject* globals = PyEval_GetGlobals();
  if (!globals || !PyDict_CheckExact(globals)) return false;
  PyObject* builtins = PyDict_GetItemWithError(globals, w.key_builtins.get());
  if (!builtins) return false;
  if (PyModule_CheckExact(builtins)) {
    builtins = PyModule_GetDict(builtins);
  } else if (!PyDict_CheckExact(builtins)) {
    return false;
  }
  return PyDict_GetItemWithError(builtins, w.key_import.get()) == w.import_func.get();
}

// Whether a tracer, a profiler or (from 3.12) a monitoring tool would see
// importlib's frames run: then they must run.
bool observed(const ImportWorld& w) {
  PyThreadState* ts = PyThreadState_Get();
  if (ts->c_tracefunc || ts->c_profilefunc) return true;
  if (!w.get_tool) return false;
  for (long tool = 0; tool < kMonitoringTools; ++tool) {
    Ref id = Ref::steal(PyLong_FromLong(tool));
    Ref name = id ? call(w.get_tool.get(), id) : Ref();
    if (!name) {
      PyErr_Clear();
      return true;
    }
    if (name.get() != Py_None) return true;
  }
  return false;
}

// The "import" event, with the arguments the import system passes.
int audit_import(const ImportWorld& w, PyObject* name) {
  // Exact str keys in the exact sys dict: none of these lookups runs code.
  PyObject* path = sys_item(w, w.key_path);
  PyObject* meta_path = sys_item(w, w.key_meta_path);
  PyObject* path_hooks = sys_item(w, w.key_path_hooks);
  return PySys_Audit("import", "OOOOO", name, Py_None, path ? path : Py_None,
                     meta_path ? meta_path : Py_None, path_hooks ? path_hooks : Py_None);
}

// 1 for a module, else whether the pending exception is an ImportError (0,
// cleared) or not (-1). A ModuleNotFoundError for `name` itself records the
// state it was raised in.
int settle(ImportMemo& memo, PyObject* name, Ref result, Ref& module) {
  if (result) {
    module = std::move(result);
    return 1;
  }
  if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
  Ref exc = fetch_exception();
  if (memo.world.ready && exc &&
      Py_TYPE(exc.get()) == reinterpret_cast<PyTypeObject*>(PyExc_ModuleNotFoundError)) {
    PyObject* missing = reinterpret_cast<PyImportErrorObject*>(exc.get())->name;
    memo.record = ImportRecord();
    if (missing && PyUnicode_CheckExact(missing) && PyUnicode_Compare(missing, name) == 0 &&
        !record_absence(memo, name)) {
      memo.record = ImportRecord();
    }
    if (PyErr_Occurred()) PyErr_Clear();
  }
  return 0;
}

bool in_importlib(PyCodeObject* code) {
  return PyUnicode_CompareWithASCIIString(code->co_filename, "<frozen importlib._bootstrap>") ==
             0 ||
         PyUnicode_CompareWithASCIIString(code->co_filename,
                                          "<frozen importlib._bootstrap_external>") == 0;
}

// The import system's own trimming of a failed import's traceback: every
// chunk of importlib frames for an ImportError, otherwise the chunks that end
// in _call_with_frames_removed.
void remove_importlib_frames() {
  Ref exc = fetch_exception();
  if (!exc) return;
  const bool always_trim =
      PyObject_TypeCheck(exc.get(), reinterpret_cast<PyTypeObject*>(PyExc_ImportError));
  PyObject* base_tb = PyException_GetTraceback(exc.get());
  PyObject** prev_link = &base_tb;
  PyObject** outer_link = nullptr;
  bool in_chunk = false;
  for (PyObject* tb = base_tb; tb;) {
    auto* traceback = reinterpret_cast<PyTracebackObject*>(tb);
    PyObject* next = reinterpret_cast<PyObject*>(traceback->tb_next);
    PyCodeObject* code = PyFrame_GetCode(traceback->tb_frame);
    const bool now_in = in_importlib(code);
    if (now_in && !in_chunk) outer_link = prev_link;
    in_chunk = now_in;
    if (in_chunk && (always_trim || PyUnicode_CompareWithASCIIString(
                                        code->co_name, "_call_with_frames_removed") == 0)) {
      PyObject* old = *outer_link;
      *outer_link = Py_XNewRef(next);
      Py_XDECREF(old);
      prev_link = outer_link;
    } else {
      prev_link = reinterpret_cast<PyObject**>(&traceback->tb_next);
    }
    Py_DECREF(code);
    tb = next;
  }
  PyException_SetTraceback(exc.get(), base_tb ? base_tb : Py_None);
  Py_XDECREF(base_tb);
  restore_exception(std::move(exc));
}

// What PyImport_Import does after the audit event: importlib's search (its
// traceback trimmed on failure), then the module as sys.modules holds it.
Ref import_after_audit(const ImportWorld& w, PyObject* name) {
  Ref found = Ref::steal(PyObject_CallMethodObjArgs(w.bootstrap.get(), w.key_find_and_load.get(),
                                                    name, w.import_func.get(), nullptr));
  if (!found) {
    remove_importlib_frames();
    return {};
  }
  Ref module = Ref::borrow(PyDict_GetItemWithError(PyImport_GetModuleDict(), name));
  if (!module && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, name);
  return module;
}

}  // namespace

// Off where the search differs: from 3.15 (the audit event moved into
// importlib), on case-insensitive file systems (the finders fold case) and
// without the interpreter lock (nothing here would be atomic).
void capture_import_world(ImportMemo& memo) {
#if PY_VERSION_HEX < 0x030F0000 && !defined(_WIN32) && !defined(__APPLE__) && \
    !defined(__CYGWIN__) && !defined(Py_GIL_DISABLED)
  memo.world.ready = capture_world(memo.world);
  if (memo.world.ready) return;
  PyErr_Clear();
  memo.world = ImportWorld();
#else
  (void)memo;
#endif
}

bool import_memo_holds(const ImportMemo& memo, PyObject* name) {
  PyObject* modules = PyImport_GetModuleDict();
  const bool holds = memo.record.valid && !observed(memo.world) &&
                     genuine_import_in_scope(memo.world) && PyDict_CheckExact(modules) &&
                     !PyDict_GetItemWithError(modules, name) && !PyErr_Occurred() &&
                     record_unchanged(memo, name);
  if (PyErr_Occurred()) PyErr_Clear();
  return holds;
}

int import_optional(ImportMemo& memo, PyObject* name, Ref& module) {
  // What PyImport_Import reads before the audit event: the __import__ in
  // scope, and the name in the interpreter's module dict.
  PyObject* modules = PyImport_GetModuleDict();
  const bool may_answer = memo.record.valid && !observed(memo.world) &&
                          genuine_import_in_scope(memo.world) && PyDict_CheckExact(modules) &&
                          !PyDict_GetItemWithError(modules, name) && !PyErr_Occurred();
  if (PyErr_Occurred()) PyErr_Clear();
  if (!may_answer) return settle(memo, name, Ref::steal(PyImport_Import(name)), module);
  if (audit_import(memo.world, name) < 0) return -1;
  // Only now: an audit hook may change anything.
  if (record_unchanged(memo, name) && !PyDict_GetItemWithError(modules, name) &&
      !PyErr_Occurred()) {
    return 0;
  }
  if (PyErr_Occurred()) PyErr_Clear();
  return settle(memo, name, import_after_audit(memo.world, name), module);
}

int ImportMemo::traverse(visitproc visit, void* arg) const {
  for (const DictSnapshot& s : world.modules) {
    if (int rc = s.traverse(visit, arg)) return rc;
  }
  for (const PathEntry& e : record.entries) {
    if (int rc = e.attrs.traverse(visit, arg)) return rc;
    Py_VISIT(e.finder.get());
  }
  return 0;
}

}  // namespace orvex::fuzzy
