// What the native lockers share once their inputs are fixed: drawing every
// locker's positions and pads, and how an attempt ends for its caller.
#include "fuzzy/native/draws.hpp"

#include <algorithm>

namespace orvex::fuzzy {
namespace {

// Whether every sampled position lies within the bits taken (a list that was
// shortened after its length was read makes the literal loop raise IndexError).
bool within_bits(const std::vector<int64_t>& positions, const std::vector<uint8_t>& bits) {
  const auto limit = static_cast<int64_t>(bits.size());
  return std::all_of(positions.begin(), positions.end(),
                     [limit](int64_t position) { return position < limit; });
}

}  // namespace

bool draw_pads(const NativeDraws& draws, size_t count, PadCache& pads,
               std::vector<size_t>& pad_keys) {
  Sampler sampler;
  std::vector<int64_t> positions(static_cast<size_t>(draws.size));
  pad_keys.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    sampler.choice(*draws.bitgen, draws.population, draws.size, positions.data());
    if (!within_bits(positions, draws.bits)) return false;
    pad_keys.push_back(pads.want(draws.bits, positions.data()));
  }
  pads.compute();
  return true;
}

Native settle(SeededGenerator& seeded, Attempt attempt) {
  switch (attempt) {
    case Attempt::taken:
      return Native::taken;
    case Attempt::declined:
      return Native::declined;
    case Attempt::failed:
      return Native::failed;
    case Attempt::abandoned:
      break;
  }
  seeded.rng = call(seeded.default_rng.get(), seeded.seed_int);
  return seeded.rng ? Native::declined : Native::failed;
}

}  // namespace orvex::fuzzy
