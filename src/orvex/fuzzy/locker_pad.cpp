// A locker's pad: its sampled bits hashed, and the XOR that applies it.
#include "fuzzy/lockers.hpp"
#include "fuzzy/messages.hpp"
#include "runtime/module.hpp"

#include <algorithm>

namespace orvex::fuzzy {
namespace {

// The longest seed read: lock_secret writes 4 bytes, and NumPy's seeding
// costs time quadratic in the size of a longer one.
constexpr Py_ssize_t kMaxSeedSize = 32;

// [bits[j] for j in indices]: indexed through the generic protocol, so a list
// indexed by NumPy integers behaves exactly as in Python.
Ref sampled_bits(PyObject* bits, PyObject* indices) {
  Ref picked = Ref::steal(PyList_New(0));
  Ref it = picked ? Ref::steal(PyObject_GetIter(indices)) : Ref();
  if (!it) return {};
  while (Ref j = Ref::steal(PyIter_Next(it.get()))) {
    Ref bit = Ref::steal(PyObject_GetItem(bits, j.get()));
    if (!bit || PyList_Append(picked.get(), bit.get()) < 0) return {};
  }
  if (PyErr_Occurred()) return {};
  return picked;
}

// "".join(str(b) for b in locker_bits)
Ref bit_text(const State& st, PyObject* locker_bits) {
  const Py_ssize_t n = PyList_GET_SIZE(locker_bits);
  Ref texts = Ref::steal(PyList_New(n));
  if (!texts) return {};
  for (Py_ssize_t i = 0; i < n; ++i) {
    // The list is ours alone, but str() may run Python code: hold the item.
    Ref bit = Ref::borrow(PyList_GET_ITEM(locker_bits, i));
    PyObject* text = PyObject_Str(bit.get());
    if (!text) return {};
    PyList_SET_ITEM(texts.get(), i, text);
  }
  return Ref::steal(PyUnicode_Join(st.empty.get(), texts.get()));
}

// hashlib.sha256(text.encode()).digest(), with `hashlib.sha256` looked up
// before the argument is evaluated, as the expression does.
Ref sha256_digest(const LockerDraws& d, PyObject* text) {
  Ref hashlib = global(d.fn, d.st.str.hashlib);
  if (!hashlib) return {};
  Ref sha256 = getattr(hashlib.get(), d.st.str.sha256);
  if (!sha256) return {};
  Ref data = Ref::steal(PyUnicode_AsUTF8String(text));
  if (!data) return {};
  Ref hash = call(sha256.get(), data);
  return hash ? call_method(hash.get(), d.st.str.digest) : Ref();
}

// The zip/XOR over Python objects, for a digest that is not exactly bytes (a
// replaced hashlib): same results and errors as the generator expression.
Ref xor_generic(PyObject* data, PyObject* pad) {
  const Py_ssize_t n = PyBytes_GET_SIZE(data);
  Ref stop = Ref::steal(PyLong_FromSsize_t(n));
  if (!stop) return {};
  Ref cut = Ref::steal(PySlice_New(nullptr, stop.get(), nullptr));
  if (!cut) return {};
  Ref needed = Ref::steal(PyObject_GetItem(pad, cut.get()));
  if (!needed) return {};
  Ref it = Ref::steal(PyObject_GetIter(needed.get()));
  if (!it) return {};
  Ref values = Ref::steal(PyList_New(0));
  if (!values) return {};
  const auto* bytes = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
  // zip stops at the shorter side without drawing from the other one.
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref b = Ref::steal(PyIter_Next(it.get()));
    if (!b) {
      if (PyErr_Occurred()) return {};
      break;
    }
    Ref a = Ref::steal(PyLong_FromLong(bytes[i]));
    Ref x = a ? Ref::steal(PyNumber_Xor(a.get(), b.get())) : Ref();
    if (!x || PyList_Append(values.get(), x.get()) < 0) return {};
  }
  return Ref::steal(PyBytes_FromObject(values.get()));
}

}  // namespace

bool seeded_generator(const Function& fn, const State& st, PyObject* locker_seed,
                      SeededGenerator& out) {
  if (PyBytes_Check(locker_seed) && PyBytes_GET_SIZE(locker_seed) > kMaxSeedSize) {
    PyErr_Format(PyExc_ValueError, msg::kSeedTooLong, PyBytes_GET_SIZE(locker_seed));
    return false;
  }
  out.seed_int = call(st.int_from_bytes.get(), locker_seed, st.str.big);
  if (!out.seed_int) return false;
  out.np = global(fn, st.str.np);
  if (!out.np) return false;
  Ref random = getattr(out.np.get(), st.str.random);
  if (!random) return false;
  out.default_rng = getattr(random.get(), st.str.default_rng);
  if (!out.default_rng) return false;
  const int native = seed_natively(st, locker_seed, out);
  if (native != 0) return native > 0;
  out.rng = call(out.default_rng.get(), out.seed_int);
  return bool(out.rng);
}

Ref next_locker_pad(const LockerDraws& d) {
  // rng.choice is looked up before self.locker_size is read, as the call
  // expression evaluates them.
  Ref choice = getattr(d.rng, d.st.str.choice);
  if (!choice) return {};
  Ref size = getattr(d.self, d.st.str.locker_size);
  if (!size) return {};
  Ref indices = call_kw(choice.get(), d.st.kw_size_replace.get(), d.n_features, size, Py_False);
  if (!indices) return {};
  Ref locker_bits = sampled_bits(d.bits, indices.get());
  if (!locker_bits) return {};
  Ref text = bit_text(d.st, locker_bits.get());
  return text ? sha256_digest(d, text.get()) : Ref();
}

Ref xor_with_pad(PyObject* data, PyObject* pad) {
  if (!PyBytes_CheckExact(pad)) return xor_generic(data, pad);
  const Py_ssize_t n = std::min(PyBytes_GET_SIZE(data), PyBytes_GET_SIZE(pad));
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, n));
  if (!out) return {};
  const char* a = PyBytes_AS_STRING(data);
  const char* b = PyBytes_AS_STRING(pad);
  char* x = PyBytes_AS_STRING(out.get());
  for (Py_ssize_t i = 0; i < n; ++i) x[i] = static_cast<char>(a[i] ^ b[i]);
  return out;
}

}  // namespace orvex::fuzzy
