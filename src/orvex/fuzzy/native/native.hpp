// The native lockers: lock_secret's and unlock_secret's per-locker loops in
// C++, giving the same draws, pads, records and votes as the literal loops.
//
// They run only when the literal loop would run nothing but genuine,
// side-effect-free operations on fixed inputs: then reading each input once
// and skipping the Python calls cannot be told apart from running them. The
// inputs are taken before the first locker and no Python code runs between
// the checks and that capture; anything unusual goes the literal way.
#pragma once

#include "fuzzy/lockers.hpp"
#include "fuzzy/native/sampler.hpp"

#include <cstdint>
#include <vector>

namespace orvex::fuzzy {

// What became of a native attempt.
enum class Fast {
  taken,      // done; its result stands
  declined,   // not applicable; nothing was drawn, the literal loop runs as usual
  abandoned,  // stopped before any observable effect, but after drawing: the
              // literal loop runs on a new generator from the same seed
  failed,     // a Python exception is set
};

// The name of the capsule through which NumPy bit generators expose their C interface.
inline constexpr const char* kBitGeneratorCapsule = "BitGenerator";

// Sizes beyond which the literal path runs (and NumPy raises, or allocates
// what it will): positions per locker, the population, and the population of
// NumPy's tail shuffle, which is copied whole for every draw.
inline constexpr int64_t kMaxNativeSize = int64_t{1} << 20;
inline constexpr int64_t kMaxNativePopulation = int64_t{1} << 62;
inline constexpr int64_t kMaxShuffledPopulation = int64_t{1} << 22;

// Whether choice(population, size) is drawn natively.
bool native_bounds(int64_t population, int64_t size);

// One call's draws, fixed before the first locker.
struct NativeDraws {
  Ref bit_generator;  // keeps alive the state that `bitgen` points into
  BitGen* bitgen = nullptr;
  int64_t population = 0;  // n_features
  int64_t size = 0;        // self.locker_size
  std::vector<uint8_t> bits;
};

// Whether every sampled position lies within the bits taken (a list that was
// shortened after its length was read makes the literal loop raise IndexError).
bool within_bits(const std::vector<int64_t>& positions, const std::vector<uint8_t>& bits);

// Checks the generator, the module globals and the names NumPy reads, and
// captures self.locker_size, n_features and the bits.
Fast prepare_draws(Function& fn, PyObject* self, const SeededGenerator& seeded,
                   PyObject* n_features, PyObject* bits, NativeDraws& out);

// The C interface of `rng`'s bit generator, which `holder` keeps alive
// (nullptr with an exception set).
BitGen* bit_generator_of(const State& st, PyObject* rng, Ref& holder);

// 1 when `counter` is the genuine Counter and neither it nor what its
// methods use has changed, so that a native tally counts what it would;
// 0 if not; -1 with an exception set.
int counter_is_genuine(const State& st, PyObject* counter);

// The native Sampler against NumPy's own choice, on this NumPy: 1 when they
// agree, 0 when they don't (remembered), -1 with an exception set.
int sampler_agrees(State& st);

// lock_secret's loop: the hex text of each of `count` lockers masking
// `secret`, as a new list in `lockers`.
Fast lock_lockers_fast(Function& fn, PyObject* self, const SeededGenerator& seeded,
                       PyObject* n_features, PyObject* bits, PyObject* secret, Py_ssize_t count,
                       Ref& lockers);

// unlock_secret's vote: the most common candidate and its count (both left
// empty when there are no lockers).
Fast vote_lockers_fast(Function& fn, PyObject* self, const SeededGenerator& seeded,
                       PyObject* n_features, PyObject* bits, PyObject* counter, PyObject* stored,
                       Ref& best, Ref& count);

}  // namespace orvex::fuzzy
