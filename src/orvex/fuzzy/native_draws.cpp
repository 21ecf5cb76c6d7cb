// The draws of one native call: every locker's positions, from the call's
// generator, stepped inline where it is PCG64 and through its capsule
// otherwise.
#include "fuzzy/fast.hpp"
#include "runtime/ops.hpp"

#include <utility>

namespace orvex::fuzzy {
namespace {

template <class Bits>
bool draw_with(Bits& source, NativeDraws& draws, size_t count, PadCache& pads,
               std::vector<size_t>& keys) {
  Sampler sampler;
  std::vector<int64_t> positions(static_cast<size_t>(draws.size));
  keys.reserve(count);
  pads.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    sampler.choice(source, draws.population, draws.size, positions.data());
    if (!within_bits(positions, draws.bits)) return false;
    keys.push_back(pads.want(draws.bits, positions.data()));
  }
  return true;
}

}  // namespace

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
  // Releasing a lock this call holds can't fail; whatever is being raised
  // stays raised.
  Ref raised = PyErr_Occurred() ? fetch_exception() : Ref();
  Ref done = call_method(lock_.get(), st_->str.release);
  if (!done) PyErr_Clear();
  if (raised) restore_exception(std::move(raised));
  lock_ = Ref();
}

bool draw_pads(NativeDraws& draws, size_t count, PadCache& pads, std::vector<size_t>& keys) {
  if (draws.inline_pcg64) return draw_with(draws.pcg64, draws, count, pads, keys);
  CapsuleBits capsule{draws.bitgen};
  return draw_with(capsule, draws, count, pads, keys);
}

bool finish_draws(const State& st, NativeDraws& draws) {
  const bool written = !draws.inline_pcg64 || write_pcg64(st, draws.bit_generator.get(),
                                                          draws.pcg64, draws.pcg64_state.get());
  draws.lock.let_go();
  return written;
}

}  // namespace orvex::fuzzy
