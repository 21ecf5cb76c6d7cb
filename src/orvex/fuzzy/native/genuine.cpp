// Capturing, at import, the objects the native lockers may stand in for.
#include "fuzzy/native/genuine.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

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
    if (!k) return false;
    PyObject* value = PyDict_GetItemWithError(dict, k.get());
    if (!value && PyErr_Occurred()) return false;
    PinnedName& p = names.items[names.count++];
    p.dict = Ref::borrow(dict);
    p.key = std::move(k);
    p.value = Ref::borrow(value);
  }
  return true;
}

// A module's dict; nullptr for a failed import or anything but a module.
PyObject* module_dict(const Ref& module) {
  return module && PyModule_Check(module.get()) ? PyModule_GetDict(module.get()) : nullptr;
}

// NumPy's generator, its bit generator and the type of the lock that
// Generator.choice takes, from a throwaway bit generator.
bool capture_numpy(Genuine& g) {
  Ref random = attr(g.numpy.get(), "random");
  if (!random) return false;
  g.default_rng = attr(random.get(), "default_rng");
  if (!g.default_rng) return false;
  g.generator_type = attr(random.get(), "Generator");
  if (!g.generator_type) return false;
  g.bit_generator_type = attr(random.get(), "PCG64");
  Ref zero = g.bit_generator_type ? Ref::steal(PyLong_FromLong(0)) : Ref();
  if (!zero) return false;
  Ref sample = call(g.bit_generator_type.get(), zero);
  if (!sample) return false;
  Ref lock = attr(sample.get(), "lock");
  if (!lock || !PyType_Check(g.generator_type.get()) || !PyType_Check(g.bit_generator_type.get())) {
    return false;
  }
  g.lock_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(lock.get())));
  return true;
}

bool capture_counter(Genuine& g) {
  if (!PyType_Check(g.counter.get())) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(g.counter.get());
  Ref attrs = type_dict(type);
  if (!attrs) return false;
  g.counter_attrs = Ref::steal(PyDict_Copy(attrs.get()));
  g.counter_mro = Ref::borrow(type->tp_mro);
  g.annotation_caches = Ref::steal(
      Py_BuildValue("(sss)", "__annotations__", "__annotate_func__", "__annotations_cache__"));
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
  PyObject* generator_dict = module_dict(generator_module);
  PyObject* operator_dict = module_dict(operator_module);
  PyObject* collections_dict = module_dict(collections);
  PyObject* heapq_dict = module_dict(heapq);
  PyObject* builtins_dict = module_dict(builtins);
  if (!generator_dict || !operator_dict || !collections_dict || !heapq_dict || !builtins_dict) {
    return false;
  }
  PyObject* numpy_dict = PyModule_GetDict(g.numpy.get());
  PyObject* hashlib_dict = PyModule_GetDict(g.hashlib.get());
  g.modules[0] = g.numpy;
  g.modules[1] = g.hashlib;
  g.modules[2] = std::move(operator_module);
  g.modules[3] = std::move(heapq);
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

// What default_rng(seed) reads on its way to Generator(PCG64(seed)): the
// names in NumPy's modules that its seeding looks up at call time (the
// lock's type, the seed sequence's helpers and NumPy functions, the error
// state that generate_state sets through its decorator's globals), and the
// class whose isinstance check may call a hook registered with it.
bool capture_seeding(Genuine& g) {
  Ref generator_module = import_module("numpy.random._generator");
  Ref pcg64_module = import_module("numpy.random._pcg64");
  Ref seeding_module = import_module("numpy.random.bit_generator");
  PyObject* generator_dict = module_dict(generator_module);
  PyObject* pcg64_dict = module_dict(pcg64_module);
  PyObject* seeding_dict = module_dict(seeding_module);
  if (!generator_dict || !pcg64_dict || !seeding_dict) return false;
  g.seed_sequence_base = dict_value(seeding_dict, "ISeedSequence");
  Ref sequence = dict_value(seeding_dict, "SeedSequence");
  Ref generate = sequence ? attr(sequence.get(), "generate_state") : Ref();
  if (!g.seed_sequence_base || !generate) return false;
  PyObject* numpy_dict = PyModule_GetDict(g.numpy.get());
  const bool pinned = pin(g.seed_names, generator_dict, {"PCG64"}) &&
                      pin(g.seed_names, pcg64_dict, {"np"}) &&
                      pin(g.seed_names, seeding_dict,
                          {"np", "RLock", "Lock", "ISeedSequence", "_coerce_to_uint32_array",
                           "_int_to_uint32_array", "cycle"}) &&
                      pin(g.seed_names, numpy_dict,
                          {"zeros", "uint32", "uint64", "dtype", "array", "concatenate", "integer",
                           "ndarray", "inexact"});
  if (!pinned || !pin(g.seed_sequence_name, seeding_dict, {"ISeedSequence"})) return false;
  // generate_state runs inside NumPy's error-state decorator; only the one
  // that sets a context variable (NumPy 2) is known to do nothing else.
  if (!PyFunction_Check(generate.get())) return false;
  PyObject* decorator_globals = PyFunction_GET_GLOBALS(generate.get());
  if (!PyDict_GetItemString(decorator_globals, "_extobj_contextvar")) return false;
  return pin(g.seed_names, decorator_globals,
             {"_make_extobj", "_extobj_contextvar", "_Unspecified"});
}

bool capture(PyObject* module, Genuine& g) {
  PyObject* globals = PyModule_GetDict(module);
  g.numpy = dict_value(globals, "np");
  g.hashlib = dict_value(globals, "hashlib");
  g.counter = dict_value(globals, "Counter");
  if (!g.numpy || !g.hashlib || !g.counter || !PyModule_CheckExact(g.numpy.get()) ||
      !PyModule_CheckExact(g.hashlib.get())) {
    return false;
  }
  return capture_numpy(g) && capture_counter(g) && capture_names(g);
}

}  // namespace

void capture_genuine(PyObject* module, Genuine& g) {
  if (capture(module, g)) {
    g.complete = true;
    // Without these the generator is made by NumPy, as before.
    if (!capture_seeding(g)) {
      PyErr_Clear();
      g.seeding = SamplerVerdict::differs;
    }
    return;
  }
  // Without these the extractor still works, only without the native path
  // (a failed capture need not have set an exception).
  PyErr_Clear();
  g = Genuine{};
}

int PinnedNames::unchanged() const {
  for (int i = 0; i < count; ++i) {
    const PinnedName& p = items[i];
    PyObject* now = PyDict_GetItemWithError(p.dict.get(), p.key.get());
    if (!now && PyErr_Occurred()) return -1;
    if (now != p.value.get()) return 0;
  }
  return 1;
}

int PinnedNames::traverse(visitproc visit, void* arg) const {
  for (int i = 0; i < count; ++i) {
    Py_VISIT(items[i].dict.get());
    Py_VISIT(items[i].value.get());
  }
  return 0;
}

int Genuine::traverse(visitproc visit, void* arg) const {
  Py_VISIT(numpy.get());
  Py_VISIT(default_rng.get());
  Py_VISIT(generator_type.get());
  Py_VISIT(bit_generator_type.get());
  Py_VISIT(lock_type.get());
  Py_VISIT(seed_sequence_base.get());
  Py_VISIT(hashlib.get());
  Py_VISIT(counter.get());
  Py_VISIT(counter_attrs.get());
  Py_VISIT(counter_mro.get());
  for (const Ref& module : modules) Py_VISIT(module.get());
  if (int r = draw_names.traverse(visit, arg)) return r;
  if (int r = vote_names.traverse(visit, arg)) return r;
  if (int r = seed_names.traverse(visit, arg)) return r;
  return seed_sequence_name.traverse(visit, arg);
}

}  // namespace orvex::fuzzy
