// What the native lockers share once their inputs are fixed: drawing every
// locker's positions and pads (PCG64 stepped inline where the generator is
// NumPy's, through the capsule otherwise), holding and letting go of the
// generator, and how an attempt ends for its caller.
#include "fuzzy/native/draws.hpp"
#include "runtime/ops.hpp"

#include <algorithm>
#include <utility>

namespace orvex::fuzzy {
namespace {

// Whether every sampled position lies within the bits taken (a list that was
// shortened after its length was read makes the literal loop raise IndexError).
bool within_bits(const std::vector<int64_t>& positions, const std::vector<uint8_t>& bits) {
  const auto limit = static_cast<int64_t>(bits.size());
  return std::all_of(positions.begin(), positions.end(),
                     [limit](int64_t position) { return position < limit; });
}

// Every locker's positions from `source`, each locker's pad noted.
template <class Bits>
bool draw_with(Bits& source, const NativeDraws& draws, size_t count, PadCache& pads,
               std::vector<size_t>& pad_keys) {
  Sampler sampler;
  std::vector<int64_t> positions(static_cast<size_t>(draws.size));
  // Positions lie below the population: only a shorter list needs checking.
  const bool check = static_cast<uint64_t>(draws.population) > draws.bits.size();
  for (size_t i = 0; i < count; ++i) {
    sampler.choice(source, draws.population, draws.size, positions.data());
    if (check && !within_bits(positions, draws.bits)) return false;
    pad_keys.push_back(pads.want(draws.bits, positions.data()));
  }
  return true;
}

}  // namespace

bool draw_pads(NativeDraws& draws, size_t count, PadCache& pads, std::vector<size_t>& pad_keys) {
  pad_keys.reserve(count);
  pads.reserve(count);
  bool within = false;
  if (draws.inline_pcg64) {
    within = draw_with(draws.pcg64, draws, count, pads, pad_keys);
  } else {
    CapsuleBits capsule{draws.bitgen};
    within = draw_with(capsule, draws, count, pads, pad_keys);
  }
  if (within) pads.compute();
  return within;
}

int HeldLock::take(const State& st, PyObject* lock) {
  Ref taken = call_method(lock, st.str.acquire, Py_False);
  if (!taken) return -1;
  if (taken.get() != Py_True) return 0;
  st_ = &st;
  lock_ = Ref::borrow(lock);
  return 1;
}

void HeldLock::let_go() {
  if (!lock_) return;
  // A thread ended at interpreter exit (before 3.14) unwinds through here
  // without the interpreter lock: the process is ending, the lock is left.
  if (!may_touch_references()) {
    static_cast<void>(lock_.release());
    return;
  }
  // Releasing a lock this call holds can't fail; whatever is being raised
  // stays raised.
  Ref raised = PyErr_Occurred() ? fetch_exception() : Ref();
  Ref done = call_method(lock_.get(), st_->str.release);
  if (!done) PyErr_Clear();
  if (raised) restore_exception(std::move(raised));
  lock_ = Ref();
}

bool finish_draws(const State& st, NativeDraws& draws) {
  // A generator seeded natively was never made: its state is nobody's.
  const bool written =
      !draws.inline_pcg64 || !draws.bit_generator ||
      write_pcg64(st, draws.bit_generator.get(), draws.pcg64, draws.pcg64_state.get());
  draws.lock.let_go();
  return written;
}

Native settle(SeededGenerator& seeded, Attempt attempt) {
  switch (attempt) {
    case Attempt::taken:
      return Native::taken;
    case Attempt::declined:
      // Seeded natively, the call has no generator yet: the literal loop's
      // is made here, from the same seed, as default_rng would have made it.
      if (seeded.rng) return Native::declined;
      break;
    case Attempt::failed:
      return Native::failed;
    case Attempt::abandoned:
      break;
  }
  seeded.rng = call(seeded.default_rng.get(), seeded.seed_int);
  return seeded.rng ? Native::declined : Native::failed;
}

}  // namespace orvex::fuzzy
