// SHA-256 compression with the ARMv8 SHA-2 instructions, built only when the
// build targets processors that have them (__ARM_FEATURE_SHA2); on other
// processors without x86's extensions only the portable code runs.
#include "fuzzy/native/sha256_blocks.hpp"
#include "runtime/cpu.hpp"

#if !defined(__x86_64__) && !defined(__i386__)
#if defined(__aarch64__) && defined(__ARM_FEATURE_SHA2)
#include <arm_neon.h>
#endif

namespace orvex::fuzzy {

#if defined(__aarch64__) && defined(__ARM_FEATURE_SHA2)
bool sha256_hw_available() {
  return cpu::features().sha;
}

// Group g covers rounds 4g..4g+3 with the message words X_g; X_{g+4} is
// derived from X_g..X_{g+3} once X_g has been used.
void sha256_blocks_hw(uint32_t state[8], const uint8_t* blocks, size_t count) {
  uint32x4_t abcd = vld1q_u32(state);
  uint32x4_t efgh = vld1q_u32(state + 4);
  for (size_t b = 0; b < count; ++b) {
    const uint8_t* block = blocks + 64 * b;
    const uint32x4_t abcd_in = abcd;
    const uint32x4_t efgh_in = efgh;
    uint32x4_t x[4];
    for (int g = 0; g < 4; ++g) x[g] = vreinterpretq_u32_u8(vrev32q_u8(vld1q_u8(block + 16 * g)));
    for (int g = 0; g < 16; ++g) {
      const uint32x4_t words = vaddq_u32(x[g % 4], vld1q_u32(kSha256RoundConstants + 4 * g));
      const uint32x4_t abcd_before = abcd;
      abcd = vsha256hq_u32(abcd, efgh, words);
      efgh = vsha256h2q_u32(efgh, abcd_before, words);
      if (g < 12) {
        x[g % 4] = vsha256su1q_u32(vsha256su0q_u32(x[g % 4], x[(g + 1) % 4]), x[(g + 2) % 4],
                                   x[(g + 3) % 4]);
      }
    }
    abcd = vaddq_u32(abcd, abcd_in);
    efgh = vaddq_u32(efgh, efgh_in);
  }
  vst1q_u32(state, abcd);
  vst1q_u32(state + 4, efgh);
}

void sha256_blocks_hw_pair(uint32_t* const* state, const uint8_t* const* blocks, size_t count) {
  sha256_blocks_hw(state[0], blocks[0], count);
  sha256_blocks_hw(state[1], blocks[1], count);
}
#else
bool sha256_hw_available() {
  return false;
}
void sha256_blocks_hw(uint32_t*, const uint8_t*, size_t) {}
void sha256_blocks_hw_pair(uint32_t* const*, const uint8_t* const*, size_t) {}
#endif

}  // namespace orvex::fuzzy
#endif
