// The native lockers: lock_secret's and unlock_secret's per-locker loops in
// C++, giving the same draws, pads, records and votes as the literal loops
// (fuzzy/lockers.hpp).
//
// They run only when the literal loop would run nothing but genuine,
// side-effect-free operations on fixed inputs: then reading each input once
// and skipping the Python calls cannot be told apart from running them. The
// inputs are taken before the first locker and no Python code runs between
// the checks and that capture; anything unusual goes the literal way.
#pragma once

#include "fuzzy/lockers.hpp"
#include "fuzzy/native/pcg64.hpp"
#include "fuzzy/native/sampler.hpp"

#include <cstdint>
#include <vector>

namespace orvex::fuzzy {

// What became of a native attempt, as its callers see it.
enum class Native {
  taken,     // done; its result stands
  declined,  // not done, and nothing observable happened: the literal loop
             // runs on the call's generator (a fresh one from the same seed
             // if the attempt had drawn from it, or made now if it was
             // seeded natively)
  failed,    // a Python exception is set
};

// Sizes beyond which the literal path runs (and NumPy raises, or allocates
// what it will): positions per locker, the population, and the population of
// NumPy's tail shuffle, which is copied whole for every draw.
inline constexpr int64_t kMaxNativeSize = int64_t{1} << 20;
inline constexpr int64_t kMaxNativePopulation = int64_t{1} << 62;
inline constexpr int64_t kMaxShuffledPopulation = int64_t{1} << 22;

// Whether choice(population, size) is drawn natively.
bool native_bounds(int64_t population, int64_t size);

// The lock of a NumPy bit generator, which NumPy's own methods hold while
// they draw, held by this call from before it reads the generator's state to
// after it is done with it; let go of when destroyed, with the interpreter
// lock held.
class HeldLock {
 public:
  HeldLock() = default;
  HeldLock(const HeldLock&) = delete;
  HeldLock& operator=(const HeldLock&) = delete;
  ~HeldLock() { let_go(); }
  // Takes `lock` if nobody holds it, without waiting: 1 taken, 0 not, -1 error.
  int take(const State& st, PyObject* lock);
  void let_go();

 private:
  const State* st_ = nullptr;
  Ref lock_;
};

// One call's draws, fixed before the first locker. A generator seeded
// natively has no object: only `pcg64` is set, stepped inline.
struct NativeDraws {
  Ref bit_generator;  // keeps alive the state that `bitgen` points into
  BitGen* bitgen = nullptr;
  // Where NumPy's PCG64 is stepped inline: its state, read through the
  // `state` property (the dict read, for writing it back).
  bool inline_pcg64 = false;
  Pcg64 pcg64;
  Ref pcg64_state;
  HeldLock lock;
  int64_t population = 0;  // n_features
  int64_t size = 0;        // self.locker_size
  std::vector<uint8_t> bits;
};

// A PCG64's state through its `state` property: 1 read into `out` (with the
// dict it came in), 0 if it isn't in the shape the steps know, -1 on error.
int read_pcg64(const State& st, PyObject* bit_generator, Pcg64& out, Ref& dict);
// Writes `in` back through the dict read_pcg64 gave.
bool write_pcg64(const State& st, PyObject* bit_generator, const Pcg64& in, PyObject* dict);

// 1 when `counter` is the genuine Counter and neither it nor what its
// methods use has changed, so that a native tally counts what it would;
// 0 if not; -1 with an exception set.
int counter_is_genuine(const State& st, PyObject* counter);

// The native Sampler against NumPy's own choice, on this NumPy: 1 when they
// agree, 0 when they don't (remembered), -1 with an exception set.
int sampler_agrees(State& st);
// The same for the Sampler on PCG64 stepped inline.
int pcg64_sampler_agrees(State& st);
// The same for PCG64's state derived from the seed natively against the one
// default_rng gives.
int seeding_agrees(State& st);

// lock_secret's loop: the hex text of each of `count` lockers masking
// `secret`, as a new list in `lockers`.
Native lock_lockers_native(Function& fn, PyObject* self, SeededGenerator& seeded,
                           PyObject* n_features, PyObject* bits, PyObject* secret, Py_ssize_t count,
                           Ref& lockers);

// unlock_secret's vote: the most common candidate and its count (both left
// empty when there are no lockers).
Native vote_lockers_native(Function& fn, PyObject* self, SeededGenerator& seeded,
                           PyObject* n_features, PyObject* bits, PyObject* counter,
                           PyObject* stored, Ref& best, Ref& count);

}  // namespace orvex::fuzzy
