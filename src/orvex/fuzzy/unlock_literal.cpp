// FuzzyExtractor.unlock_secret: probe + helper data -> (secret or None, {"ratio": r}).
#include "fuzzy/lockers.hpp"
#include "fuzzy/methods.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

namespace orvex::fuzzy {
namespace {

// helper_data[key]: KeyError(key) when it is missing. The lookup may run a
// foreign key's __eq__, so the value is held at once.
Ref record_item(PyObject* record, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(record, key);
  if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::borrow(value);
}

// (secret, {"ratio": ratio})
Ref outcome(const State& st, PyObject* secret, PyObject* ratio) {
  Ref stats = Ref::steal(PyDict_New());
  if (!stats || PyDict_SetItem(stats.get(), st.str.ratio, ratio) < 0) return {};
  return Ref::steal(PyTuple_Pack(2, secret, stats.get()));
}

// votes[candidate] += 1
bool add_vote(const State& st, PyObject* votes, PyObject* candidate) {
  Ref count = Ref::steal(PyObject_GetItem(votes, candidate));
  Ref more = count ? Ref::steal(PyNumber_InPlaceAdd(count.get(), st.one)) : Ref();
  return more && PyObject_SetItem(votes, candidate, more.get()) == 0;
}

// Locker i's candidate: its stored cipher with the probe's pad taken off.
// The pad comes first, then the entry is read, as the locker's steps go.
bool vote_one(const LockerDraws& draws, PyObject* stored, Py_ssize_t i, PyObject* votes) {
  Ref pad = next_locker_pad(draws);
  Ref index = pad ? Ref::steal(PyLong_FromSsize_t(i)) : Ref();
  Ref entry = index ? Ref::steal(PyObject_GetItem(stored, index.get())) : Ref();
  Ref cipher = entry ? call(draws.st.bytes_fromhex, entry) : Ref();
  Ref candidate = cipher ? xor_with_pad(cipher.get(), pad.get()) : Ref();
  return candidate && add_vote(draws.st, votes, candidate.get());
}

// hashlib.sha256(candidate).digest().hex()
Ref candidate_hash(const Function& fn, const State& st, PyObject* candidate) {
  Ref hashlib = global(fn, st.str.hashlib);
  Ref hash = hashlib ? call_method(hashlib.get(), st.str.sha256, candidate) : Ref();
  Ref digest = hash ? call_method(hash.get(), st.str.digest) : Ref();
  return digest ? call_method(digest.get(), st.str.hex) : Ref();
}

// The vote's verdict: the most common candidate, released only if its share
// of self.n_lockers reaches prob_thresh and its hash is the stored one.
Ref decide(const Function& fn, const State& st, PyObject* self, PyObject* record,
           PyObject* prob_thresh, PyObject* votes) {
  const int any = PyObject_IsTrue(votes);
  if (any < 0) return {};
  if (!any) {
    Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
    return zero ? outcome(st, Py_None, zero.get()) : Ref();
  }
  // best_candidate, count = votes.most_common(1)[0]: among equal counts the
  // candidate produced first wins.
  Ref top = call_method(votes, st.str.most_common, st.one);
  Ref first = top ? Ref::steal(PyObject_GetItem(top.get(), st.zero)) : Ref();
  Ref winner[2];
  if (!first || !unpack(first.get(), winner, 2)) return {};
  Ref n_lockers = getattr(self, st.str.n_lockers);
  Ref ratio = n_lockers ? Ref::steal(PyNumber_TrueDivide(winner[1].get(), n_lockers.get())) : Ref();
  // A NaN threshold never rejects: the comparison is false.
  const int below = ratio ? PyObject_RichCompareBool(ratio.get(), prob_thresh, Py_LT) : -1;
  if (below < 0) return {};
  if (below) return outcome(st, Py_None, ratio.get());

  Ref hash = candidate_hash(fn, st, winner[0].get());
  Ref stored_hash = hash ? record_item(record, st.str.secret_hash) : Ref();
  Ref equal =
      stored_hash ? Ref::steal(PyObject_RichCompare(hash.get(), stored_hash.get(), Py_EQ)) : Ref();
  const int matches = equal ? PyObject_IsTrue(equal.get()) : -1;
  if (matches < 0) return {};
  return outcome(st, matches ? winner[0].get() : Py_None, ratio.get());
}

}  // namespace

bool vote_lockers_literal(const LockerDraws& draws, PyObject* stored, Py_ssize_t count,
                          PyObject* votes) {
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (!vote_one(draws, stored, i, votes)) return false;
  }
  return true;
}

Ref unlock_secret(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* record = args[2];
  PyObject* prob_thresh = args[3];

  // The record's keys are read in this order: "seed", "lockers",
  // "n_features", and "secret_hash" only once the vote has passed.
  Ref bits = call_method(self, st.str._binarize, args[1]);
  Ref seed_text = bits ? record_item(record, st.str.seed) : Ref();
  Ref locker_seed = seed_text ? call(st.bytes_fromhex, seed_text) : Ref();
  Ref rng = locker_seed ? seeded_generator(fn, st, locker_seed.get()) : Ref();
  Ref stored = rng ? record_item(record, st.str.lockers) : Ref();
  Ref n_features = stored ? record_item(record, st.str.n_features) : Ref();
  Ref counter = n_features ? global(fn, st.str.Counter) : Ref();
  Ref votes = counter ? Ref::steal(PyObject_CallNoArgs(counter.get())) : Ref();
  if (!votes) return {};

  const Py_ssize_t count = PyObject_Length(stored.get());
  if (count < 0) return {};
  const LockerDraws draws{fn, st, self, rng.get(), n_features.get(), bits.get()};
  if (!vote_lockers_literal(draws, stored.get(), count, votes.get())) return {};
  return decide(fn, st, self, record, prob_thresh, votes.get());
}

}  // namespace orvex::fuzzy
