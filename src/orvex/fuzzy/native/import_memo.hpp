// `import torch` where PyTorch is not installed, without running importlib.
//
// _to_numpy imports torch on every call. Where it is missing, each attempt
// runs importlib's search in Python: every meta path finder, then one
// directory finder per sys.path entry, each of which stats its directory,
// and ends in ModuleNotFoundError. That outcome only depends on objects
// this memo can compare by identity (the import machinery's code and
// globals, sys.meta_path, sys.path, the finders and their caches) and on
// the directories' modification times. While all of them are what they were
// when a real import last failed, the next attempt fails the same way, and
// the memo answers "absent" after raising the audit event the import system
// raises. Anything it cannot vouch for goes to the real import.
#pragma once

#include "runtime/ref.hpp"

#include <vector>

namespace orvex::fuzzy {

// An ordered copy of a dict's items: unchanged while the dict has the same
// size and yields the same key and value objects in the same order.
// Values under `loose_keys` may change (module metadata that importing
// `importlib` rewrites and that the search never reads).
struct DictSnapshot {
  Ref dict;
  mutable uint64_t version = 0;  // the dict's version tag when last compared, where there is one
  std::vector<PyObject*> items;  // key, value, key, value, ... (owned)
  std::vector<bool> loose;       // per item: its value is not compared

  DictSnapshot() = default;
  DictSnapshot(const DictSnapshot&) = delete;
  DictSnapshot& operator=(const DictSnapshot&) = delete;
  DictSnapshot(DictSnapshot&&) = default;
  DictSnapshot& operator=(DictSnapshot&&) = default;
  ~DictSnapshot() noexcept(false);

  bool take(PyObject* d, PyObject* loose_keys);
  bool unchanged() const;
  int traverse(visitproc visit, void* arg) const;
};

// One entry of a large dict (sys, builtins, a builtin module): its key and
// value, and the position where PyDict_Next last found it.
struct DictPin {
  Ref key;
  Ref value;
  Py_ssize_t pos = 0;
};

// The pinned entries of one dict.
struct PinnedDict {
  Ref dict;
  mutable uint64_t version = 0;  // as in DictSnapshot
  std::vector<DictPin> pins;

  bool unchanged() const;
};

// A function of the import machinery: everything a caller may swap without
// changing the function object itself.
struct FunctionPin {
  Ref function;
  Ref code;
  Ref defaults;
  Ref kwdefaults;
};

struct TypePin {
  Ref type;
  Ref metatype;
  unsigned int version = 0;  // tp_version_tag: any change to the class resets it
};

// One sys.path entry as the last failed import left it.
struct PathEntry {
  Ref entry;   // the str in sys.path
  Ref finder;  // its sys.path_importer_cache value: None or a FileFinder
  // For a FileFinder:
  DictSnapshot attrs;  // its __dict__
  Ref directory;       // its path, encoded as os.stat encodes it
  bool stat_failed = false;
  long long sec = 0;
  long long nsec = 0;
  Ref cache;  // _path_cache
  Py_ssize_t cache_size = 0;
  Ref loaders;                          // _loaders
  std::vector<PyObject*> loader_items;  // borrowed: `attrs` holds the list
  std::vector<Ref> probes;              // "torch" and "torch" + each suffix
};

// What the import machinery was when the module was imported: its code, its
// globals and the names it reads in sys, builtins and the modules it uses.
struct ImportWorld {
  bool ready = false;
  Ref import_func;  // builtins.__import__
  Ref get_tool;     // sys.monitoring.get_tool, from 3.12
  Ref bootstrap;    // the module that runs the search
  Ref bootstrap_key;
  Ref builtin_importer;
  Ref frozen_importer;
  Ref path_finder;
  Ref file_finder;
  Ref sys_dict;
  Ref key_path, key_meta_path, key_path_importer_cache, key_modules, key_path_hooks, key_builtins,
      key_import, key_find_and_load;
  std::vector<DictSnapshot> modules;
  std::vector<FunctionPin> functions;
  std::vector<TypePin> types;
  std::vector<PinnedDict> names;
  std::vector<Ref> namespaces;  // modules whose attributes the search reads
};

// The state a failed import of the name left behind.
struct ImportRecord {
  bool valid = false;
  Ref name;
  Ref meta_path;
  Ref path;
  Ref path_importer_cache;
  std::vector<PathEntry> entries;
};

struct ImportMemo {
  ImportWorld world;
  ImportRecord record;

  int traverse(visitproc visit, void* arg) const;
};

// Captures the import machinery as it is now; on any failure the memo stays
// off, with no exception set.
void capture_import_world(ImportMemo& memo);

// Whether the memo would answer "absent" for `name` now (for tests).
bool import_memo_holds(const ImportMemo& memo, PyObject* name);

// import name (torch): 1 with `module` set; 0 when the import raised
// ImportError (cleared: PyTorch is absent or unusable); -1 with any other
// exception set. Runs PyImport_Import unless the memo can answer.
int import_optional(ImportMemo& memo, PyObject* name, Ref& module);

}  // namespace orvex::fuzzy
