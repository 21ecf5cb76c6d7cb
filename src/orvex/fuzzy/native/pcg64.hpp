// NumPy's PCG64 stepped inline: a 128-bit linear congruential generator with
// the XSL-RR output, and NumPy's buffer of the unused half of a 64-bit draw
// for 32-bit draws (has_uint32/uinteger). Works on a copy of a generator's
// state, read and written back through `bit_generator.state`.
#pragma once

#include <cstdint>

namespace orvex::fuzzy {

struct Pcg64 {
  using u128 = unsigned __int128;
  static constexpr u128 kMultiplier =
      (u128{0x2360ED051FC65DA4ULL} << 64) | u128{0x4385DF649FCCF645ULL};

  u128 state = 0;
  u128 inc = 0;
  bool has_uint32 = false;
  uint32_t uinteger = 0;

  uint64_t next_uint64() {
    state = state * kMultiplier + inc;
    const auto rot = static_cast<unsigned>(state >> 122);
    const uint64_t x = static_cast<uint64_t>(state >> 64) ^ static_cast<uint64_t>(state);
    return (x >> rot) | (x << ((64 - rot) & 63));
  }

  // The low half of a fresh draw, keeping the high half for the next call.
  uint32_t next_uint32() {
    if (has_uint32) {
      has_uint32 = false;
      return uinteger;
    }
    const uint64_t next = next_uint64();
    has_uint32 = true;
    uinteger = static_cast<uint32_t>(next >> 32);
    return static_cast<uint32_t>(next);
  }
};

}  // namespace orvex::fuzzy
