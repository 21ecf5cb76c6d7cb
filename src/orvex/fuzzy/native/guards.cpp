// Whether the native lockers may stand in for the literal loops, and the
// inputs they then run on.
//
// Checks return 1 (yes), 0 (no: the literal path runs) or -1 (an exception is
// set). They only read: no Python code runs in them.
#include "fuzzy/native/draws.hpp"
#include "runtime/bit_generator.hpp"
#include "runtime/ops.hpp"

namespace orvex::fuzzy {
namespace {

// A module whose class was swapped could run code on every attribute read.
bool modules_plain(const Genuine& g) {
  for (const Ref& module : g.modules) {
    if (!PyModule_CheckExact(module.get())) return false;
  }
  return true;
}

// The module's hashlib, looked up by the literal loop for every locker, and
// the names NumPy's choice reads for every draw.
int globals_unchanged(const Function& fn, const State& st) {
  const Genuine& g = st.genuine;
  PyObject* hashlib = PyDict_GetItemWithError(PyModule_GetDict(fn.module), st.str.hashlib);
  if (!hashlib) return PyErr_Occurred() ? -1 : 0;
  if (hashlib != g.hashlib.get() || !modules_plain(g)) return 0;
  return g.draw_names.unchanged();
}

PyTypeObject* as_type(const Ref& o) {
  return reinterpret_cast<PyTypeObject*>(o.get());
}

// The call's generator is NumPy's Generator on NumPy's PCG64, just made by
// the genuine default_rng (so nothing else holds it) and guarded by NumPy's
// own lock type (whose acquisition runs no code); `out` gets its bit
// generator and C interface.
int native_generator(const State& st, const SeededGenerator& seeded, NativeDraws& out) {
  const Genuine& g = st.genuine;
  if (seeded.native) return 1;  // checked as it was seeded; nothing made, nothing to hold
  if (seeded.np.get() != g.numpy.get() || seeded.default_rng.get() != g.default_rng.get() ||
      Py_TYPE(seeded.rng.get()) != as_type(g.generator_type)) {
    return 0;
  }
  Ref bit_generator = getattr(seeded.rng.get(), st.str.bit_generator);
  if (!bit_generator) return -1;
  if (Py_TYPE(bit_generator.get()) != as_type(g.bit_generator_type)) return 0;
  Ref lock = getattr(bit_generator.get(), st.str.lock);
  if (!lock) return -1;
  const int found = bit_generator_interface(bit_generator.get(), st.str.capsule, out.bitgen);
  if (found <= 0) return found;
  if (Py_TYPE(lock.get()) != as_type(g.lock_type)) return 0;
  out.bit_generator = bit_generator;
  return 1;
}

// The draws run without the interpreter lock: the bit generator's own lock
// keeps out anyone else who found the generator (through gc, say) and draws
// through NumPy. Then PCG64's state is read, to be stepped inline.
int hold_generator(const State& st, NativeDraws& out) {
  Ref lock = getattr(out.bit_generator.get(), st.str.lock);
  if (!lock) return -1;
  if (Py_TYPE(lock.get()) != as_type(st.genuine.lock_type)) return 0;
  const int held = out.lock.take(st, lock.get());
  if (held <= 0 || st.genuine.pcg64 != SamplerVerdict::agrees) return held;
  const int read = read_pcg64(st, out.bit_generator.get(), out.pcg64, out.pcg64_state);
  out.inline_pcg64 = read > 0;
  return read < 0 ? -1 : 1;
}

// self.<name> as the literal loop reads it, when reading it again could
// neither run code nor give another value: type(self) looks attributes up
// the generic way and no class in its MRO has the name, so the value is the
// instance dict's.
int plain_attribute(PyObject* self, PyObject* name, Ref& value) {
  PyTypeObject* type = Py_TYPE(self);
  Ref mro = Ref::borrow(type->tp_mro);
  if (type->tp_getattro != PyObject_GenericGetAttr || !mro || !PyTuple_Check(mro.get())) return 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
    Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i)));
    PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
    if (PyErr_Occurred()) return -1;
    if (!dict || found) return 0;
  }
  value = Ref::steal(PyObject_GenericGetAttr(self, name));
  if (value) return 1;
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
  PyErr_Clear();  // the literal loop raises it where it belongs
  return 0;
}

// An exact int within [low, high].
bool exact_int(PyObject* o, int64_t low, int64_t high, int64_t& out) {
  if (!PyLong_CheckExact(o)) return false;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
  if (overflow || value < low || value > high) return false;
  out = value;
  return true;
}

// The bits as bytes, when `bits` is a list of the ints 0 and 1 and nothing
// else (str() of anything else is other text, or runs code).
bool copy_bits(const State& st, PyObject* bits, std::vector<uint8_t>& out) {
  if (!PyList_CheckExact(bits)) return false;
  const Py_ssize_t n = PyList_GET_SIZE(bits);
  out.resize(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* bit = PyList_GET_ITEM(bits, i);
    long value = bit == st.one.get() ? 1 : 0;
    if (bit != st.zero.get() && bit != st.one.get()) {
      if (!PyLong_CheckExact(bit)) return false;
      int overflow = 0;
      value = PyLong_AsLongAndOverflow(bit, &overflow);
      if (overflow || (value != 0 && value != 1)) return false;
    }
    out[static_cast<size_t>(i)] = static_cast<uint8_t>(value);
  }
  return true;
}

// 1 when every key of `attrs` that Counter.__dict__ lacked at import is an
// annotation cache; 0 if not; -1 with an exception set.
int only_annotation_caches_added(const Genuine& g, PyObject* attrs) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(attrs, &pos, &key, &value)) {
    // Only exact str keys: comparing anything else could run code.
    if (!PyUnicode_CheckExact(key)) return 0;
    const int known = PyDict_Contains(g.counter_attrs.get(), key);
    if (known < 0) return -1;
    if (known) continue;
    const int cache = PySequence_Contains(g.annotation_caches.get(), key);
    if (cache <= 0) return cache;
  }
  return 1;
}

Attempt declined_or_failed(int checked) {
  return checked < 0 ? Attempt::failed : Attempt::declined;
}

}  // namespace

bool native_bounds(int64_t population, int64_t size) {
  if (size < 0 || size > kMaxNativeSize || population < size || population > kMaxNativePopulation) {
    return false;
  }
  return !Sampler::shuffles_tail(population, size) || population <= kMaxShuffledPopulation;
}

Attempt prepare_draws(Function& fn, PyObject* self, const SeededGenerator& seeded,
                      PyObject* n_features, PyObject* bits, NativeDraws& out) {
  State& st = fn.state<State>();
  const Genuine& g = st.genuine;
  if (!g.complete || g.sampler == SamplerVerdict::differs) return Attempt::declined;
  int checked = globals_unchanged(fn, st);
  if (checked > 0) checked = native_generator(st, seeded, out);
  if (checked > 0 && g.sampler == SamplerVerdict::unknown) {
    checked = sampler_agrees(st);
    // The comparison ran NumPy's Python code: check everything again.
    if (checked > 0) return prepare_draws(fn, self, seeded, n_features, bits, out);
  }
  if (checked > 0 && g.pcg64 == SamplerVerdict::unknown) {
    if (pcg64_sampler_agrees(st) < 0) return Attempt::failed;
    if (g.pcg64 == SamplerVerdict::unknown) return Attempt::declined;  // asked again next time
    return prepare_draws(fn, self, seeded, n_features, bits, out);
  }
  // Settled here for later calls (this one's generator is made already), and
  // only against NumPy's own seeding: while any of it is replaced, later.
  if (checked > 0 && g.seeding == SamplerVerdict::unknown) {
    const int pristine = g.seed_names.unchanged();
    if (pristine < 0) return Attempt::failed;
    if (pristine > 0) {
      if (seeding_agrees(st) < 0) return Attempt::failed;
      if (g.seeding == SamplerVerdict::unknown) return Attempt::declined;  // asked again next time
      return prepare_draws(fn, self, seeded, n_features, bits, out);
    }
  }
  if (checked <= 0) return declined_or_failed(checked);

  // From here to the first locker no Python code runs.
  Ref size;
  checked = plain_attribute(self, st.str.locker_size, size);
  if (checked <= 0) return declined_or_failed(checked);
  if (!exact_int(size.get(), 1, kMaxNativeSize, out.size) ||
      !exact_int(n_features, 1, kMaxNativePopulation, out.population) ||
      !native_bounds(out.population, out.size) || !copy_bits(st, bits, out.bits)) {
    return Attempt::declined;
  }
  if (seeded.native) {
    out.inline_pcg64 = true;
    out.pcg64 = seeded.pcg64;
    return Attempt::taken;
  }
  checked = hold_generator(st, out);
  return checked > 0 ? Attempt::taken : declined_or_failed(checked);
}

int counter_is_genuine(const State& st, PyObject* counter) {
  const Genuine& g = st.genuine;
  if (counter != g.counter.get() || Py_TYPE(counter) != &PyType_Type ||
      as_type(g.counter)->tp_mro != g.counter_mro.get()) {
    return 0;
  }
  // Counter.__dict__ holds what it held at import, plus at most the caches
  // that reading the class's annotations adds.
  Ref attrs = type_dict(as_type(g.counter));
  if (!attrs) return 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(g.counter_attrs.get(), &pos, &key, &value)) {
    PyObject* now = PyDict_GetItemWithError(attrs.get(), key);
    if (now != value) return PyErr_Occurred() ? -1 : 0;
  }
  if (PyDict_GET_SIZE(attrs.get()) != PyDict_GET_SIZE(g.counter_attrs.get())) {
    const int added = only_annotation_caches_added(g, attrs.get());
    if (added <= 0) return added;
  }
  if (!modules_plain(g)) return 0;
  return g.vote_names.unchanged();
}

}  // namespace orvex::fuzzy
