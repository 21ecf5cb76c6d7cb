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

#include "fuzzy/native/pcg64.hpp"
#include "fuzzy/state.hpp"
#include "runtime/function.hpp"

namespace orvex::fuzzy {

// A locker's pad is one SHA-256 digest. It masks the secret, so a longer
// secret could be stored only cut short and its record would never unlock;
// and a candidate, a cipher with the pad taken off, is never longer.
inline constexpr size_t kPadSize = 32;

// What every locker of one call draws from. All pointers are held by the caller.
struct LockerDraws {
  const Function& fn;
  const State& st;
  PyObject* self;        // locker_size is read from it afresh for every draw
  PyObject* rng;         // the call's generator
  PyObject* n_features;  // the population of every draw
  PyObject* bits;        // the feature's bits, as _binarize gave them
};

// rng = np.random.default_rng(int.from_bytes(locker_seed, "big")), with what
// was read on the way: the native path checks it, and a second generator from
// the same seed needs it.
//
// Where default_rng is NumPy's own and nothing it reads was replaced, making
// the generator has no effect beyond its state, which only this call would
// see: then `native` is set, `pcg64` holds that state and `rng` stays empty
// until a literal loop needs it (the native attempt makes it then).
struct SeededGenerator {
  Ref seed_int;
  Ref np;           // the module global
  Ref default_rng;  // np.random.default_rng
  Ref rng;
  bool native = false;
  Pcg64 pcg64;
};
[[nodiscard]] bool seeded_generator(const Function& fn, const State& st, PyObject* locker_seed,
                                    SeededGenerator& out);

// The native seeding of `out` (native/seeding.cpp), once seed_int, np and
// default_rng are read: 1 done, 0 not (default_rng must make the generator),
// -1 with an exception set.
int seed_natively(const State& st, PyObject* locker_seed, SeededGenerator& out);

// The next locker's pad_hash:
//   indices = rng.choice(n_features, size=self.locker_size, replace=False)
//   hashlib.sha256("".join(str(bits[j]) for j in indices).encode()).digest()
Ref next_locker_pad(const LockerDraws& draws);

// bytes(a ^ b for a, b in zip(data, pad[:len(data)])), data being bytes.
Ref xor_with_pad(PyObject* data, PyObject* pad);

// lock_secret: the hex text of each of `count` lockers masking `secret`, in
// locker order.
Ref lock_lockers_literal(const LockerDraws& draws, PyObject* secret, Py_ssize_t count);

// unlock_secret: votes = counter(); votes[candidate] += 1 for the candidate
// of each entry of `stored` (the record's "lockers"); then the most common
// candidate and its count (both left empty without votes).
[[nodiscard]] bool vote_lockers_literal(const LockerDraws& draws, PyObject* counter,
                                        PyObject* stored, Ref& best, Ref& count);

// The end of unlock_secret once the votes are counted, `best` being the
// winning candidate and `count` its votes (both nullptr: no votes at all):
// (None, {"ratio": 0.0}) without votes, else ratio = count / self.n_lockers,
// and best is released if the ratio reaches prob_thresh and its SHA-256 is
// the record's "secret_hash".
Ref unlock_verdict(const Function& fn, const State& st, PyObject* self, PyObject* record,
                   PyObject* prob_thresh, PyObject* best, PyObject* count);

}  // namespace orvex::fuzzy
