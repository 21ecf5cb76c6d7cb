// SHA-256 compression with the x86 SHA extensions. Only compiled for these
// instructions function by function, so the rest of the build stays portable;
// called only where cpuid reports them.
#include "fuzzy/native/sha256_blocks.hpp"
#include "runtime/cpu.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace orvex::fuzzy {

bool sha256_hw_available() {
  return cpu::features().sha;
}

// The instructions keep the state as ABEF and CDGH and take the message four
// words at a time: group g covers rounds 4g..4g+3, with its words X_g and
// sha256rnds2 doing two rounds per call. X_{g+4} is derived from
// X_g..X_{g+3} by sha256msg1/sha256msg2 while the rounds run. Lanes messages
// go side by side: one message's rounds wait on each other, several fill
// the gaps.
template <int Lanes>
__attribute__((target("sha,sse4.1"))) inline void compress_lanes(uint32_t* const* state,
                                                                 const uint8_t* const* blocks,
                                                                 size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i state0[Lanes], state1[Lanes];
  for (int l = 0; l < Lanes; ++l) {
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state[l]));
    state1[l] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state[l] + 4));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                 // CDAB
    state1[l] = _mm_shuffle_epi32(state1[l], 0x1B);     // EFGH
    state0[l] = _mm_alignr_epi8(tmp, state1[l], 8);     // ABEF
    state1[l] = _mm_blend_epi16(state1[l], tmp, 0xF0);  // CDGH
  }
  for (size_t b = 0; b < count; ++b) {
    __m128i abef[Lanes], cdgh[Lanes], x[Lanes][4];
    for (int l = 0; l < Lanes; ++l) {
      abef[l] = state0[l];
      cdgh[l] = state1[l];
    }
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      const __m128i k =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants + 4 * g));
      for (int l = 0; l < Lanes; ++l) {
        __m128i* w = x[l];
        if (g < 4) {
          const auto* block = blocks[l] + 64 * b + 16 * g;
          w[g] =
              _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block)), byte_swap);
        }
        __m128i words = _mm_add_epi32(w[g % 4], k);
        state1[l] = _mm_sha256rnds2_epu32(state1[l], state0[l], words);
        if (g >= 3 && g <= 14) {
          // X_{g+1}: w[(g+1)%4] already holds sha256msg1(X_{g-3}, X_{g-2}).
          const __m128i shifted = _mm_alignr_epi8(w[g % 4], w[(g + 3) % 4], 4);
          w[(g + 1) % 4] = _mm_sha256msg2_epu32(_mm_add_epi32(w[(g + 1) % 4], shifted), w[g % 4]);
        }
        words = _mm_shuffle_epi32(words, 0x0E);
        state0[l] = _mm_sha256rnds2_epu32(state0[l], state1[l], words);
        if (g >= 1 && g <= 12) w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], w[g % 4]);
      }
    }
    for (int l = 0; l < Lanes; ++l) {
      state0[l] = _mm_add_epi32(state0[l], abef[l]);
      state1[l] = _mm_add_epi32(state1[l], cdgh[l]);
    }
  }
  for (int l = 0; l < Lanes; ++l) {
    const __m128i tmp = _mm_shuffle_epi32(state0[l], 0x1B);  // FEBA
    state1[l] = _mm_shuffle_epi32(state1[l], 0xB1);          // DCHG
    state0[l] = _mm_blend_epi16(tmp, state1[l], 0xF0);       // DCBA
    state1[l] = _mm_alignr_epi8(state1[l], tmp, 8);          // ABEF
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state[l]), state0[l]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state[l] + 4), state1[l]);
  }
}

// One padded block per message, from SHA-256's initial state, for up to four
// messages side by side; the digests leave the registers already in byte
// order. Lanes beyond `count` hash the last block again, unwritten.
__attribute__((target("sha,sse4.1"))) void sha256_padded_hw_lanes(const uint8_t* const* blocks,
                                                                  uint8_t* const* out,
                                                                  size_t count) {
  constexpr int kLanes = 4;
  uint32_t states[kLanes][8];
  uint32_t* state[kLanes];
  const uint8_t* lane_blocks[kLanes];
  for (int l = 0; l < kLanes; ++l) {
    __builtin_memcpy(states[l], kSha256InitialState, sizeof states[l]);
    state[l] = states[l];
    lane_blocks[l] = blocks[static_cast<size_t>(l) < count ? l : count - 1];
  }
  compress_lanes<kLanes>(state, lane_blocks, 1);
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  for (size_t l = 0; l < count; ++l) {
    for (int half = 0; half < 2; ++half) {
      const __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(states[l] + 4 * half));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out[l] + 16 * half),
                       _mm_shuffle_epi8(words, byte_swap));
    }
  }
}

__attribute__((target("sha,sse4.1"))) void sha256_blocks_hw(uint32_t state[8],
                                                            const uint8_t* blocks, size_t count) {
  compress_lanes<1>(&state, &blocks, count);
}

__attribute__((target("sha,sse4.1"))) void sha256_blocks_hw_pair(uint32_t* const* state,
                                                                 const uint8_t* const* blocks,
                                                                 size_t count) {
  compress_lanes<2>(state, blocks, count);
}

}  // namespace orvex::fuzzy
#endif
