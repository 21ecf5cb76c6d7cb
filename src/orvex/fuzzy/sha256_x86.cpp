// SHA-256 compression with the x86 SHA extensions. Only compiled for these
// instructions function by function, so the rest of the build stays portable;
// called only where cpuid reports them.
#include "fuzzy/sha256_blocks.hpp"
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
// X_g..X_{g+3} by sha256msg1/sha256msg2 while the rounds run.
__attribute__((target("sha,sse4.1"))) void sha256_blocks_hw(uint32_t state[8],
                                                            const uint8_t* blocks, size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state));
  __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4));
  tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
  state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
  __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
  state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH

  for (size_t b = 0; b < count; ++b) {
    const uint8_t* block = blocks + 64 * b;
    const __m128i abef = state0;
    const __m128i cdgh = state1;
    __m128i x[4];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
      if (g < 4) {
        x[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * g)),
                                byte_swap);
      }
      __m128i words = _mm_add_epi32(
          x[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSha256RoundConstants + 4 * g)));
      state1 = _mm_sha256rnds2_epu32(state1, state0, words);
      if (g >= 3 && g <= 14) {
        // X_{g+1}: x[(g+1)%4] already holds sha256msg1(X_{g-3}, X_{g-2}).
        const __m128i shifted = _mm_alignr_epi8(x[g % 4], x[(g + 3) % 4], 4);
        x[(g + 1) % 4] =
            _mm_sha256msg2_epu32(_mm_add_epi32(x[(g + 1) % 4], shifted), x[g % 4]);
      }
      words = _mm_shuffle_epi32(words, 0x0E);
      state0 = _mm_sha256rnds2_epu32(state0, state1, words);
      if (g >= 1 && g <= 12) x[(g + 3) % 4] = _mm_sha256msg1_epu32(x[(g + 3) % 4], x[g % 4]);
    }
    state0 = _mm_add_epi32(state0, abef);
    state1 = _mm_add_epi32(state1, cdgh);
  }

  tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
  state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
  state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
  state1 = _mm_alignr_epi8(state1, tmp, 8);     // ABEF
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state), state0);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), state1);
}

}  // namespace orvex::fuzzy
#endif
