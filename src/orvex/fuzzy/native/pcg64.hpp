// NumPy's PCG64 stepped inline: a 128-bit linear congruential generator with
// the XSL-RR output, and NumPy's buffer of the unused half of a 64-bit draw
// for 32-bit draws (has_uint32/uinteger). Works on a copy of a generator's
// state, read and written back through `bit_generator.state`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

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
    return output(state);
  }

  static uint64_t output(u128 state) {
    const auto rot = static_cast<unsigned>(state >> 122);
    const uint64_t x = static_cast<uint64_t>(state >> 64) ^ static_cast<uint64_t>(state);
    return (x >> rot) | (x << ((64 - rot) & 63));
  }

  // The low half of `drawn` then its high half, as next_uint32() gives them.
  static void put_halves(uint64_t drawn, uint32_t* out) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(out, &drawn, sizeof drawn);  // one store: that is the memory order here
#else
    out[0] = static_cast<uint32_t>(drawn);
    out[1] = static_cast<uint32_t>(drawn >> 32);
#endif
  }

  // The next `count` 32-bit draws into out[0..count), as next_uint32()
  // would give them one by one. Two states advance side by side
  // (s[t+2] = s[t]*a*a + c*(a+1)), so that one 128-bit multiply needn't
  // wait for the other; the stream and the final state are the same.
  [[gnu::noinline]] void fill_uint32(uint32_t* out, size_t count) {
    if (count && has_uint32) {
      has_uint32 = false;
      *out++ = uinteger;
      --count;
    }
    const uint32_t* const first = out;
    const u128 inc2 = inc * (kMultiplier + 1);
    constexpr u128 kMultiplier2 = kMultiplier * kMultiplier;
    u128 a = state * kMultiplier + inc;
    u128 b = a * kMultiplier + inc;
    for (size_t quads = count / 4; quads; --quads, out += 4) {
      put_halves(output(a), out);
      put_halves(output(b), out + 2);
      state = b;
      a = a * kMultiplier2 + inc2;
      b = b * kMultiplier2 + inc2;
    }
    if (count % 4 >= 2) {
      put_halves(output(a), out);
      out += 2;
      state = a;
    }
    // NumPy leaves the last high half it buffered in the state, drawn or not.
    if (out != first) uinteger = out[-1];
    if (count % 2) *out = next_uint32();  // its high half stays buffered
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
