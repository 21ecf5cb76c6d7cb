// FuzzyExtractor.unlock_secret: probe + helper data -> (secret or None, {"ratio": r}).
#include "fuzzy/lockers.hpp"
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "fuzzy/native/native.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

#include <cmath>

namespace orvex::fuzzy {
namespace {

// votes[candidate] += 1
bool add_vote(const State& st, PyObject* votes, PyObject* candidate) {
  Ref count = Ref::steal(PyObject_GetItem(votes, candidate));
  Ref more = count ? Ref::steal(PyNumber_InPlaceAdd(count.get(), st.one.get())) : Ref();
  return more && PyObject_SetItem(votes, candidate, more.get()) == 0;
}

// Locker i's candidate: its stored cipher with the probe's pad taken off.
// The pad comes first, then the entry is read, as the locker's steps go.
bool vote_one(const LockerDraws& draws, PyObject* stored, Py_ssize_t i, PyObject* votes) {
  Ref pad = next_locker_pad(draws);
  if (!pad) return false;
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return false;
  Ref entry = Ref::steal(PyObject_GetItem(stored, index.get()));
  if (!entry) return false;
  Ref cipher = call(draws.st.bytes_fromhex.get(), entry);
  if (!cipher) return false;
  Ref candidate = xor_with_pad(cipher.get(), pad.get());
  return candidate && add_vote(draws.st, votes, candidate.get());
}

// best_candidate, count = votes.most_common(1)[0]: among equal counts the
// candidate produced first wins. Both stay empty when there are no votes.
bool tally(const State& st, PyObject* votes, Ref& best, Ref& count) {
  const int any = PyObject_IsTrue(votes);
  if (any <= 0) return any == 0;
  Ref top = call_method(votes, st.str.most_common, st.one.get());
  Ref first = top ? Ref::steal(PyObject_GetItem(top.get(), st.zero.get())) : Ref();
  Ref winner[2];
  if (!first || !unpack(first.get(), winner, 2)) return false;
  best = winner[0];
  count = winner[1];
  return true;
}

}  // namespace

bool vote_lockers_literal(const LockerDraws& draws, PyObject* counter, PyObject* stored, Ref& best,
                          Ref& count) {
  Ref votes = Ref::steal(PyObject_CallNoArgs(counter));
  if (!votes) return false;
  const Py_ssize_t n = PyObject_Length(stored);
  if (n < 0) return false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (!vote_one(draws, stored, i, votes.get())) return false;
  }
  return tally(draws.st, votes.get(), best, count);
}

Ref unlock_secret(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* record = args[2];
  PyObject* prob_thresh = args[3];
  // Bound as a float; refused before anything is read or drawn.
  if (std::isnan(PyFloat_AS_DOUBLE(prob_thresh))) {
    PyErr_SetString(PyExc_ValueError, msg::kThresholdIsNan);
    return {};
  }

  // The record's keys are read in this order: "seed", "lockers",
  // "n_features", and "secret_hash" only once the vote has passed.
  FeatureBits bits;
  if (!binarize_feature(fn, self, args[1], bits)) return {};
  Ref seed_text = dict_item(record, st.str.seed);
  if (!seed_text) return {};
  Ref locker_seed = call(st.bytes_fromhex.get(), seed_text);
  SeededGenerator seeded;
  if (!locker_seed || !seeded_generator(fn, st, locker_seed.get(), seeded)) return {};
  Ref stored = dict_item(record, st.str.lockers);
  if (!stored) return {};
  Ref n_features = dict_item(record, st.str.n_features);
  if (!n_features) return {};
  Ref counter = global(fn, st.str.Counter);
  if (!counter) return {};

  Ref best, count;
  const Native native = vote_lockers_native(fn, self, seeded, n_features.get(), bits, counter.get(),
                                            stored.get(), best, count);
  if (native == Native::failed) return {};
  if (native == Native::declined) {
    PyObject* bit_list = bits_list(st, bits);
    if (!bit_list) return {};
    const LockerDraws draws{fn, st, self, seeded.rng.get(), n_features.get(), bit_list};
    if (!vote_lockers_literal(draws, counter.get(), stored.get(), best, count)) return {};
  }
  return unlock_verdict(fn, st, self, record, prob_thresh, best.get(), count.get());
}

}  // namespace orvex::fuzzy
