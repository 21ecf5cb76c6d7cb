// Capturing, at import, the objects the native lockers may stand in for.
#include "fuzzy/genuine.hpp"
#include "runtime/module.hpp"

#include <initializer_list>

namespace orvex::fuzzy {
namespace {

Ref attr(PyObject* o, const char* name) {
  return Ref::steal(PyObject_GetAttrString(o, name));
}

// A global the module has just bound (empty if it is missing).
Ref dict_value(PyObject* dict, const char* key) {
  return Ref::borrow(PyDict_GetItemString(dict, key));
}

// Records dict[key] for each key as it is now, absent keys included.
bool pin(PinnedNames& names, PyObject* dict, std::initializer_list<const char*> keys) {
  for (const char* key : keys) {
    if (names.count == PinnedNames::kCapacity) return false;  // sized for the lists below
    Ref k = Ref::steal(PyUnicode_InternFromString(key));
    PyObject* value = k ? PyDict_GetItemWithError(dict, k.get()) : nullptr;
    if (!value && PyErr_Occurred()) return false;
    PinnedName& p = names.items[names.count++];
    p.dict = Py_NewRef(dict);
    p.key = k.release();
    p.value = Py_XNewRef(value);
  }
  return true;
}

PyObject* module_dict(const Ref& module) {
  return PyModule_Check(module.get()) ? PyModule_GetDict(module.get()) : nullptr;
}

// NumPy's generator, its bit generator and the type of the lock that
// Generator.choice takes, from a throwaway bit generator.
bool capture_numpy(Genuine& g) {
  Ref random = attr(g.numpy, "random");
  Ref default_rng = random ? attr(random.get(), "default_rng") : Ref();
  Ref generator = default_rng ? attr(random.get(), "Generator") : Ref();
  Ref pcg64 = generator ? attr(random.get(), "PCG64") : Ref();
  Ref zero = pcg64 ? Ref::steal(PyLong_FromLong(0)) : Ref();
  Ref sample = zero ? call(pcg64.get(), zero) : Ref();
  Ref lock = sample ? attr(sample.get(), "lock") : Ref();
  if (!lock || !PyType_Check(generator.get()) || !PyType_Check(pcg64.get())) return false;
  g.default_rng = default_rng.release();
  g.generator_type = generator.release();
  g.bit_generator_type = pcg64.release();
  g.lock_type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(lock.get())));
  return true;
}

bool capture_counter(Genuine& g) {
  if (!PyType_Check(g.counter)) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(g.counter);
  Ref attrs = type_dict(type);
  g.counter_attrs = attrs ? PyDict_Copy(attrs.get()) : nullptr;
  g.counter_mro = Py_XNewRef(type->tp_mro);
  g.annotation_caches =
      Py_BuildValue("(sss)", "__annotations__", "__annotate_func__", "__annotations_cache__");
  return g.counter_attrs && g.counter_mro && g.annotation_caches;
}

// The names read at call time by NumPy's choice (numpy.asarray, numpy.prod,
// numpy.empty, numpy.full, the dtypes, operator.index), by the pad hashing,
// and by Counter's methods (super, the import of heapq, heapq.nlargest,
// collections' itemgetter). most_common(1) reaches nlargest's shortcut for a
// single item, which looks iter, object and max up in heapq's globals, then
// in builtins.
bool capture_names(Genuine& g) {
  Ref generator_module = import_module("numpy.random._generator");
  Ref operator_module = import_module("operator");
  Ref collections = import_module("collections");
  Ref heapq = import_module("heapq");
  Ref builtins = import_module("builtins");
  PyObject* generator_dict = generator_module ? module_dict(generator_module) : nullptr;
  PyObject* operator_dict = operator_module ? module_dict(operator_module) : nullptr;
  PyObject* collections_dict = collections ? module_dict(collections) : nullptr;
  PyObject* heapq_dict = heapq ? module_dict(heapq) : nullptr;
  PyObject* builtins_dict = builtins ? module_dict(builtins) : nullptr;
  if (!generator_dict || !operator_dict || !collections_dict || !heapq_dict || !builtins_dict) {
    return false;
  }
  PyObject* numpy_dict = PyModule_GetDict(g.numpy);
  PyObject* hashlib_dict = PyModule_GetDict(g.hashlib);
  g.modules[0] = Py_NewRef(g.numpy);
  g.modules[1] = Py_NewRef(g.hashlib);
  g.modules[2] = operator_module.release();
  g.modules[3] = heapq.release();
  return pin(g.draw_names, numpy_dict,
             {"asarray", "prod", "intp", "empty", "int64", "full", "uint64"}) &&
         pin(g.draw_names, generator_dict, {"np", "operator"}) &&
         pin(g.draw_names, operator_dict, {"index"}) &&
         pin(g.draw_names, hashlib_dict, {"sha256"}) &&
         pin(g.vote_names, collections_dict, {"_itemgetter", "_heapq"}) &&
         pin(g.vote_names, builtins_dict, {"super", "__import__", "iter", "object", "max"}) &&
         pin(g.vote_names, PyImport_GetModuleDict(), {"heapq"}) &&
         pin(g.vote_names, heapq_dict, {"nlargest", "iter", "object", "max"});
}

bool capture(PyObject* module, Genuine& g) {
  PyObject* globals = PyModule_GetDict(module);
  Ref numpy = dict_value(globals, "np");
  Ref hashlib = numpy ? dict_value(globals, "hashlib") : Ref();
  Ref counter = hashlib ? dict_value(globals, "Counter") : Ref();
  if (!counter || !PyModule_CheckExact(numpy.get()) || !PyModule_CheckExact(hashlib.get())) {
    return false;
  }
  g.numpy = numpy.release();
  g.hashlib = hashlib.release();
  g.counter = counter.release();
  return capture_numpy(g) && capture_counter(g) && capture_names(g);
}

void release_names(PinnedNames& names) {
  for (int i = 0; i < names.count; ++i) {
    Py_CLEAR(names.items[i].dict);
    Py_CLEAR(names.items[i].key);
    Py_CLEAR(names.items[i].value);
  }
  names.count = 0;
}

int visit_names(const PinnedNames& names, visitproc visit, void* arg) {
  for (int i = 0; i < names.count; ++i) {
    Py_VISIT(names.items[i].dict);
    Py_VISIT(names.items[i].value);
  }
  return 0;
}

}  // namespace

Ref type_dict(PyTypeObject* type) {
#if PY_VERSION_HEX >= 0x030C0000
  return Ref::steal(PyType_GetDict(type));
#else
  return Ref::borrow(type->tp_dict);
#endif
}

void capture_genuine(PyObject* module, Genuine& g) {
  if (capture(module, g)) {
    g.complete = true;
    return;
  }
  // Without these the extractor still works, only without the native path
  // (a failed capture need not have set an exception).
  PyErr_Clear();
  release_genuine(g);
}

void release_genuine(Genuine& g) {
  g.complete = false;
  Py_CLEAR(g.numpy);
  Py_CLEAR(g.default_rng);
  Py_CLEAR(g.generator_type);
  Py_CLEAR(g.bit_generator_type);
  Py_CLEAR(g.lock_type);
  Py_CLEAR(g.hashlib);
  Py_CLEAR(g.counter);
  Py_CLEAR(g.counter_attrs);
  Py_CLEAR(g.counter_mro);
  Py_CLEAR(g.annotation_caches);
  for (PyObject*& module : g.modules) Py_CLEAR(module);
  release_names(g.draw_names);
  release_names(g.vote_names);
}

int visit_genuine(const Genuine& g, visitproc visit, void* arg) {
  Py_VISIT(g.numpy);
  Py_VISIT(g.default_rng);
  Py_VISIT(g.generator_type);
  Py_VISIT(g.bit_generator_type);
  Py_VISIT(g.lock_type);
  Py_VISIT(g.hashlib);
  Py_VISIT(g.counter);
  Py_VISIT(g.counter_attrs);
  Py_VISIT(g.counter_mro);
  for (PyObject* module : g.modules) Py_VISIT(module);
  if (int r = visit_names(g.draw_names, visit, arg)) return r;
  return visit_names(g.vote_names, visit, arg);
}

}  // namespace orvex::fuzzy
