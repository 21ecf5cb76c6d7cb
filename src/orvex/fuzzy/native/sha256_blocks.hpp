// SHA-256's compression function in the processor's own instructions, for
// the processors that have them; sha256.cpp falls back on its portable one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex::fuzzy {

// The round constants and the initial state, shared by every implementation.
extern const uint32_t kSha256RoundConstants[64];
extern const uint32_t kSha256InitialState[8];

// Whether sha256_blocks_hw may be called on this processor.
bool sha256_hw_available();

// Compresses `count` consecutive 64-byte blocks into `state`.
void sha256_blocks_hw(uint32_t state[8], const uint8_t* blocks, size_t count);

// The same for two messages side by side, state[i] and blocks[i] for each.
void sha256_blocks_hw_pair(uint32_t* const* state, const uint8_t* const* blocks, size_t count);

// SHA-256 of up to four messages of one padded block each (1 <= count <= 4),
// side by side, the digests into out[i]; x86 only.
void sha256_padded_hw_lanes(const uint8_t* const* blocks, uint8_t* const* out, size_t count);

}  // namespace orvex::fuzzy
