// FuzzyExtractor.lock_secret: feature + secret -> helper data
// {"seed", "lockers", "secret_hash", "n_features"}.
#include "fuzzy/lockers.hpp"
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "fuzzy/native/native.hpp"
#include "runtime/module.hpp"

namespace orvex::fuzzy {
namespace {

bool check_secret(PyObject* secret) {
  const Py_ssize_t size = PyBytes_GET_SIZE(secret);
  if (size == 0) {
    PyErr_SetString(PyExc_ValueError, msg::kEmptySecret);
    return false;
  }
  if (static_cast<size_t>(size) > kPadSize) {
    PyErr_Format(PyExc_ValueError, msg::kSecretTooLong, size);
    return false;
  }
  return true;
}

// if n_features < self.locker_size: raise ValueError(...)
bool check_feature_size(const State& st, PyObject* self, Py_ssize_t n_features) {
  Ref count = Ref::steal(PyLong_FromSsize_t(n_features));
  Ref size = count ? getattr(self, st.str.locker_size) : Ref();
  const int too_short = size ? PyObject_RichCompareBool(count.get(), size.get(), Py_LT) : -1;
  if (too_short <= 0) return too_short == 0;
  // The message reads the attribute again, as formatting it in place does.
  size = getattr(self, st.str.locker_size);
  Ref text = size ? Ref::steal(PyObject_Format(size.get(), st.empty.get())) : Ref();
  if (text) PyErr_Format(PyExc_ValueError, msg::kFeatureTooShort, n_features, text.get());
  return false;
}

// hashlib.sha256(secret).digest()
Ref secret_digest(const Function& fn, const State& st, PyObject* secret) {
  Ref hashlib = global(fn, st.str.hashlib);
  Ref hash = hashlib ? call_method(hashlib.get(), st.str.sha256, secret) : Ref();
  return hash ? call_method(hash.get(), st.str.digest) : Ref();
}

// secrets.token_bytes(4): a fresh seed for every record.
Ref draw_seed(const Function& fn, const State& st) {
  Ref secrets = global(fn, st.str.secrets);
  Ref four = secrets ? Ref::steal(PyLong_FromLong(4)) : Ref();
  return four ? call_method(secrets.get(), st.str.token_bytes, four) : Ref();
}

// The number of lockers, self.n_lockers read once. Fewer than one would give
// a record that can never unlock, reported as a success: refused like the
// constructor refuses it.
bool locker_count(const State& st, PyObject* self, Py_ssize_t& count) {
  Ref n_lockers = getattr(self, st.str.n_lockers);
  if (!n_lockers) return false;
  count = PyNumber_AsSsize_t(n_lockers.get(), PyExc_OverflowError);
  if (count == -1 && PyErr_Occurred()) return false;
  if (count < 1) {
    PyErr_SetString(PyExc_ValueError, msg::kTooFewLockers);
    return false;
  }
  return true;
}

// A locker of no bits has one pad, SHA-256 of nothing, that anyone holding the
// record can take off: self.locker_size below one is refused, not used.
bool check_locker_size(const State& st, PyObject* self) {
  Ref size = getattr(self, st.str.locker_size);
  const int too_small = size ? PyObject_RichCompareBool(size.get(), st.one.get(), Py_LT) : -1;
  if (too_small > 0) PyErr_SetString(PyExc_ValueError, msg::kLockerSizeTooSmall);
  return too_small == 0;
}

// The hex text of one locker's cipher: the secret masked with its pad.
Ref lock_one(const LockerDraws& draws, PyObject* secret) {
  Ref pad = next_locker_pad(draws);
  Ref cipher = pad ? xor_with_pad(secret, pad.get()) : Ref();
  return cipher ? call_method(cipher.get(), draws.st.str.hex) : Ref();
}

// {"seed": locker_seed.hex(), "lockers": lockers,
//  "secret_hash": secret_hash.hex(), "n_features": n_features}
Ref make_record(const State& st, PyObject* locker_seed, PyObject* lockers, PyObject* secret_hash,
                PyObject* n_features) {
  Ref record = Ref::steal(PyDict_New());
  Ref seed_hex = record ? call_method(locker_seed, st.str.hex) : Ref();
  if (!seed_hex || PyDict_SetItem(record.get(), st.str.seed, seed_hex.get()) < 0 ||
      PyDict_SetItem(record.get(), st.str.lockers, lockers) < 0) {
    return {};
  }
  Ref hash_hex = call_method(secret_hash, st.str.hex);
  if (!hash_hex || PyDict_SetItem(record.get(), st.str.secret_hash, hash_hex.get()) < 0 ||
      PyDict_SetItem(record.get(), st.str.n_features, n_features) < 0) {
    return {};
  }
  return record;
}

}  // namespace

Ref lock_lockers_literal(const LockerDraws& draws, PyObject* secret, Py_ssize_t count) {
  Ref lockers = Ref::steal(PyList_New(0));
  if (!lockers) return {};
  for (Py_ssize_t k = 0; k < count; ++k) {
    Ref text = lock_one(draws, secret);
    if (!text || PyList_Append(lockers.get(), text.get()) < 0) return {};
  }
  return lockers;
}

Ref lock_secret(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* feature = args[1];
  PyObject* secret = args[2];
  if (!check_secret(secret)) return {};

  FeatureBits bits;
  if (!binarize_feature(fn, self, feature, bits)) return {};
  const Py_ssize_t n =
      bits.native ? static_cast<Py_ssize_t>(bits.bytes.size()) : PyObject_Length(bits.list.get());
  Py_ssize_t count = 0;
  if (n < 0 || !check_feature_size(st, self, n) || !check_locker_size(st, self) ||
      !locker_count(st, self, count)) {
    return {};
  }
  Ref n_features = Ref::steal(PyLong_FromSsize_t(n));

  // Randomness is drawn only once every check has passed.
  Ref locker_seed = n_features ? draw_seed(fn, st) : Ref();
  SeededGenerator seeded;
  if (!locker_seed || !seeded_generator(fn, st, locker_seed.get(), seeded)) return {};
  Ref secret_hash = secret_digest(fn, st, secret);
  if (!secret_hash) return {};

  Ref lockers;
  const Native native =
      lock_lockers_native(fn, self, seeded, n_features.get(), bits, secret, count, lockers);
  if (native == Native::failed) return {};
  if (native == Native::declined) {
    PyObject* bit_list = bits_list(st, bits);
    if (!bit_list) return {};
    const LockerDraws draws{fn, st, self, seeded.rng.get(), n_features.get(), bit_list};
    lockers = lock_lockers_literal(draws, secret, count);
    if (!lockers) return {};
  }
  return make_record(st, locker_seed.get(), lockers.get(), secret_hash.get(), n_features.get());
}

}  // namespace orvex::fuzzy
