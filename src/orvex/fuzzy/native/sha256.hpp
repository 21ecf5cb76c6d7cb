// SHA-256 (FIPS 180-4) for the lockers' pads: the digest hashlib.sha256 gives,
// without a hash object and a bytes object per pad.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex::fuzzy {

// out[0..32) = SHA-256 of data[0..size).
void sha256(const uint8_t* data, size_t size, uint8_t* out);

// The digests of two messages of one size, a into out_a and b into out_b:
// side by side where the processor's instructions hash them.
void sha256_pair(const uint8_t* a, const uint8_t* b, size_t size, uint8_t* out_a, uint8_t* out_b);

// Several messages hashed side by side, which the compiler turns into vector
// operations: the pads of one call are all of one length.
inline constexpr size_t kSha256Lanes = 8;
inline constexpr size_t kSha256MaxLaneSize = 55;  // what one block holds with its padding

// A message of up to kSha256MaxLaneSize bytes is hashed as one 64-byte
// block: the message, then its padding. sha256_pad_block writes the padding
// of a `size`-byte message, block[size..64), once; callers that hash many
// messages of one size then only rewrite block[0..size) per message.
void sha256_pad_block(size_t size, uint8_t* block);

// The digests of one or two messages laid out that way (two side by side).
void sha256_padded(const uint8_t* block, uint8_t* out);
void sha256_padded_pair(const uint8_t* block_a, const uint8_t* block_b, uint8_t* out_a,
                        uint8_t* out_b);

// Up to kSha256PaddedLanes messages laid out that way at once: out[i] gets
// the digest of blocks[i], for i < count.
inline constexpr size_t kSha256PaddedLanes = 4;
void sha256_padded_lanes(const uint8_t* const* blocks, uint8_t* const* out, size_t count);

// out[i][0..32) = SHA-256 of data[i][0..size) for i < count, with
// count <= kSha256Lanes and size <= kSha256MaxLaneSize.
void sha256_lanes(const uint8_t* const* data, size_t size, size_t count, uint8_t* const* out);

}  // namespace orvex::fuzzy
