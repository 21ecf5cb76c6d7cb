// FuzzyExtractor.unlock_secret: probe + helper data -> (secret or None, {"ratio": r}).
#include "fuzzy/fast.hpp"
#include "fuzzy/lockers.hpp"
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

#include <cmath>

namespace orvex::fuzzy {
namespace {

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

// best_candidate, count = votes.most_common(1)[0]: among equal counts the
// candidate produced first wins. Both stay empty when there are no votes.
bool tally(const State& st, PyObject* votes, Ref& best, Ref& count) {
  const int any = PyObject_IsTrue(votes);
  if (any <= 0) return any == 0;
  Ref top = call_method(votes, st.str.most_common, st.one);
  Ref first = top ? Ref::steal(PyObject_GetItem(top.get(), st.zero)) : Ref();
  Ref winner[2];
  if (!first || !unpack(first.get(), winner, 2)) return false;
  best = winner[0];
  count = winner[1];
  return true;
}

// votes = Counter(); one vote per entry of `stored`; the winner.
bool vote_literal(const LockerDraws& draws, PyObject* counter, PyObject* stored, Ref& best,
                  Ref& count) {
  Ref votes = Ref::steal(PyObject_CallNoArgs(counter));
  if (!votes) return false;
  const Py_ssize_t n = PyObject_Length(stored);
  return n >= 0 && vote_lockers_literal(draws, stored, n, votes.get()) &&
         tally(draws.st, votes.get(), best, count);
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
  // Bound as a float; refused before anything is read or drawn.
  if (std::isnan(PyFloat_AS_DOUBLE(prob_thresh))) {
    PyErr_SetString(PyExc_ValueError, msg::kThresholdIsNan);
    return {};
  }

  // The record's keys are read in this order: "seed", "lockers",
  // "n_features", and "secret_hash" only once the vote has passed.
  Ref bits = call_method(self, st.str._binarize, args[1]);
  Ref seed_text = bits ? record_item(record, st.str.seed) : Ref();
  Ref locker_seed = seed_text ? call(st.bytes_fromhex, seed_text) : Ref();
  SeededGenerator seeded;
  if (!locker_seed || !seeded_generator(fn, st, locker_seed.get(), seeded)) return {};
  Ref stored = record_item(record, st.str.lockers);
  Ref n_features = stored ? record_item(record, st.str.n_features) : Ref();
  Ref counter = n_features ? global(fn, st.str.Counter) : Ref();
  if (!counter) return {};

  Ref best, count;
  switch (vote_lockers_fast(fn, self, seeded, n_features.get(), bits.get(), counter.get(),
                            stored.get(), best, count)) {
    case Fast::taken:
      return unlock_verdict(fn, st, self, record, prob_thresh, best.get(), count.get());
    case Fast::failed:
      return {};
    case Fast::abandoned:
      // The native attempt drew from rng: the literal loop starts over on a
      // new generator from the same seed.
      seeded.rng = call(seeded.default_rng.get(), seeded.seed_int);
      if (!seeded.rng) return {};
      break;
    case Fast::declined:
      break;
  }
  const LockerDraws draws{fn, st, self, seeded.rng.get(), n_features.get(), bits.get()};
  if (!vote_literal(draws, counter.get(), stored.get(), best, count)) return {};
  return unlock_verdict(fn, st, self, record, prob_thresh, best.get(), count.get());
}

}  // namespace orvex::fuzzy
