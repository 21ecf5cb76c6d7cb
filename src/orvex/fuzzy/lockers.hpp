// The lockers of one lock or unlock call.
//
// Locking and unlocking derive each locker's pad the same way: draw the
// locker's positions from the call's one generator, read the feature bits
// there, hash their "0"/"1" text. A record is readable only if the draws are
// repeated exactly, in locker order, so every locker of a call goes through
// the same generator.
//
// The per-locker loops below are the literal path: every step is the Python
// operation itself. A faster path may replace a whole loop, but must give
// the same records, votes and exceptions.
#pragma once

#include "fuzzy/state.hpp"
#include "runtime/function.hpp"

namespace orvex::fuzzy {

// What every locker of one call draws from. All pointers are held by the caller.
struct LockerDraws {
  const Function& fn;
  const State& st;
  PyObject* self;        // locker_size is read from it afresh for every draw
  PyObject* rng;         // the call's generator
  PyObject* n_features;  // the population of every draw
  PyObject* bits;        // the feature's bits, as _binarize gave them
};

// np.random.default_rng(int.from_bytes(locker_seed, "big"))
Ref seeded_generator(const Function& fn, const State& st, PyObject* locker_seed);

// The next locker's pad_hash:
//   indices = rng.choice(n_features, size=self.locker_size, replace=False)
//   hashlib.sha256("".join(str(bits[j]) for j in indices).encode()).digest()
Ref next_locker_pad(const LockerDraws& draws);

// bytes(a ^ b for a, b in zip(data, pad[:len(data)])), data being bytes.
Ref xor_with_pad(PyObject* data, PyObject* pad);

// lock_secret: the hex text of each of `count` lockers masking `secret`, in
// locker order.
Ref lock_lockers_literal(const LockerDraws& draws, PyObject* secret, Py_ssize_t count);

// unlock_secret: votes[candidate] += 1 for the candidate of each of the first
// `count` entries of `stored` (the record's "lockers").
[[nodiscard]] bool vote_lockers_literal(const LockerDraws& draws, PyObject* stored,
                                        Py_ssize_t count, PyObject* votes);

}  // namespace orvex::fuzzy
