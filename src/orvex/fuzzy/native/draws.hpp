// One native attempt of the lockers: its inputs fixed and checked
// (guards.cpp), every locker's positions drawn and pads hashed, and how the
// attempt ends for its caller (draws.cpp).
#pragma once

#include "fuzzy/native/native.hpp"
#include "fuzzy/native/pad_cache.hpp"

#include <new>
#include <stdexcept>

namespace orvex::fuzzy {

// How a native attempt ended, seen from inside: as Native, or abandoned,
// stopped before any observable effect but after drawing from the generator.
enum class Attempt { taken, declined, abandoned, failed };

// An attempt's end as its caller sees it: abandoned becomes declined once
// seeded.rng is a new generator from the same seed, so that the literal
// loop draws what it would have drawn; declined, once there is a generator
// (one seeded natively is made only then).
Native settle(SeededGenerator& seeded, Attempt attempt);

// Runs `body` (returning Attempt) and settles its end. Short of native
// memory the attempt is abandoned: the literal loop may still manage with
// Python's.
template <class Body>
Native run_native(SeededGenerator& seeded, Body body) {
  Attempt attempt = Attempt::abandoned;
  try {
    attempt = body();
  } catch (const std::bad_alloc&) {
    // left abandoned
  } catch (const std::length_error&) {
    // a size beyond what a vector can hold: abandoned too
  }
  return settle(seeded, attempt);
}

// Checks the generator, the module globals and the names NumPy reads, and
// captures self.locker_size, n_features and the bits; never draws.
Attempt prepare_draws(Function& fn, PyObject* self, const SeededGenerator& seeded,
                      PyObject* n_features, PyObject* bits, NativeDraws& out);

// The pads of `count` lockers: draws each locker's positions in turn and
// notes its pad in `pads`, under the key pad_keys[i], then hashes them all.
// False (no exception set) when a position lies beyond the bits taken.
// Touches no Python object: runs without the interpreter lock. May throw
// std::bad_alloc.
bool draw_pads(NativeDraws& draws, size_t count, PadCache& pads, std::vector<size_t>& pad_keys);

// After the draws: an inline generator's state written back, and the
// generator's lock let go of (false with an exception set); nothing for a
// generator seeded natively, which was never made.
bool finish_draws(const State& st, NativeDraws& draws);

}  // namespace orvex::fuzzy
