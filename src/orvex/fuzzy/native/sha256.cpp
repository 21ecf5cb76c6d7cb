#include "fuzzy/native/sha256.hpp"
#include "fuzzy/native/sha256_blocks.hpp"

#include <algorithm>
#include <cstring>

namespace orvex::fuzzy {

const uint32_t kSha256RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

const uint32_t kSha256InitialState[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

namespace {

constexpr size_t kBlock = 64;

inline uint32_t rotr(uint32_t x, int n) {
  return x >> n | x << (32 - n);
}

inline uint32_t load_be32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

inline void store_be32(uint32_t x, uint8_t* p) {
  p[0] = static_cast<uint8_t>(x >> 24);
  p[1] = static_cast<uint8_t>(x >> 16);
  p[2] = static_cast<uint8_t>(x >> 8);
  p[3] = static_cast<uint8_t>(x);
}

inline uint32_t small_sigma0(uint32_t x) {
  return rotr(x, 7) ^ rotr(x, 18) ^ (x >> 3);
}
inline uint32_t small_sigma1(uint32_t x) {
  return rotr(x, 17) ^ rotr(x, 19) ^ (x >> 10);
}
inline uint32_t big_sigma0(uint32_t x) {
  return rotr(x, 2) ^ rotr(x, 13) ^ rotr(x, 22);
}
inline uint32_t big_sigma1(uint32_t x) {
  return rotr(x, 6) ^ rotr(x, 11) ^ rotr(x, 25);
}
inline uint32_t choose(uint32_t e, uint32_t f, uint32_t g) {
  return g ^ (e & (f ^ g));
}
inline uint32_t majority(uint32_t a, uint32_t b, uint32_t c) {
  return (a & b) | (c & (a | b));
}

void compress(uint32_t* state, const uint8_t* block) {
  uint32_t w[64];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 64; ++i) {
    w[i] = w[i - 16] + small_sigma0(w[i - 15]) + w[i - 7] + small_sigma1(w[i - 2]);
  }
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const uint32_t t1 = h + big_sigma1(e) + choose(e, f, g) + kSha256RoundConstants[i] + w[i];
    const uint32_t t2 = big_sigma0(a) + majority(a, b, c);
    h = g, g = f, f = e, e = d + t1;
    d = c, c = b, b = a, a = t1 + t2;
  }
  state[0] += a, state[1] += b, state[2] += c, state[3] += d;
  state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

// compress() for kSha256Lanes blocks at once, lane l in [..][l]: every step
// is a loop over the lanes, which vectorizes.
void compress_lanes(uint32_t (*state)[kSha256Lanes], const uint32_t (*block)[kSha256Lanes]) {
  constexpr size_t L = kSha256Lanes;
  uint32_t w[64][L];
  std::memcpy(w, block, 16 * sizeof w[0]);
  for (int i = 16; i < 64; ++i) {
    for (size_t l = 0; l < L; ++l) {
      w[i][l] = w[i - 16][l] + small_sigma0(w[i - 15][l]) + w[i - 7][l] + small_sigma1(w[i - 2][l]);
    }
  }
  uint32_t a[L], b[L], c[L], d[L], e[L], f[L], g[L], h[L];
  for (size_t l = 0; l < L; ++l) {
    a[l] = state[0][l], b[l] = state[1][l], c[l] = state[2][l], d[l] = state[3][l];
    e[l] = state[4][l], f[l] = state[5][l], g[l] = state[6][l], h[l] = state[7][l];
  }
  for (int i = 0; i < 64; ++i) {
    for (size_t l = 0; l < L; ++l) {
      const uint32_t t1 =
          h[l] + big_sigma1(e[l]) + choose(e[l], f[l], g[l]) + kSha256RoundConstants[i] + w[i][l];
      const uint32_t t2 = big_sigma0(a[l]) + majority(a[l], b[l], c[l]);
      h[l] = g[l], g[l] = f[l], f[l] = e[l], e[l] = d[l] + t1;
      d[l] = c[l], c[l] = b[l], b[l] = a[l], a[l] = t1 + t2;
    }
  }
  for (size_t l = 0; l < L; ++l) {
    state[0][l] += a[l], state[1][l] += b[l], state[2][l] += c[l], state[3][l] += d[l];
    state[4][l] += e[l], state[5][l] += f[l], state[6][l] += g[l], state[7][l] += h[l];
  }
}

// The message's last block(s): the rest, the 0x80 marker, zeros, and the
// length in bits (big-endian) in the last 8 bytes. Returns how many blocks
// (two when the rest leaves no room for the length).
size_t final_blocks(const uint8_t* rest, size_t rest_size, uint64_t total, uint8_t* tail) {
  const size_t blocks = rest_size + 9 <= kBlock ? 1 : 2;
  std::memset(tail, 0, blocks * kBlock);
  if (rest_size) std::memcpy(tail, rest, rest_size);
  tail[rest_size] = 0x80;
  const uint64_t bits = total * 8;
  for (int i = 0; i < 8; ++i) tail[blocks * kBlock - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  return blocks;
}

void sha256_portable(const uint8_t* data, size_t size, uint8_t* out) {
  uint32_t state[8];
  std::memcpy(state, kSha256InitialState, sizeof state);
  const size_t whole = size / kBlock;
  for (size_t i = 0; i < whole; ++i) compress(state, data + i * kBlock);
  uint8_t tail[2 * kBlock];
  const size_t blocks = final_blocks(data + whole * kBlock, size % kBlock, size, tail);
  for (size_t i = 0; i < blocks; ++i) compress(state, tail + i * kBlock);
  for (int i = 0; i < 8; ++i) store_be32(state[i], out + 4 * i);
}

void sha256_hw(const uint8_t* data, size_t size, uint8_t* out) {
  uint32_t state[8];
  std::memcpy(state, kSha256InitialState, sizeof state);
  const size_t whole = size / kBlock;
  if (whole) sha256_blocks_hw(state, data, whole);
  uint8_t tail[2 * kBlock];
  const size_t blocks = final_blocks(data + whole * kBlock, size % kBlock, size, tail);
  sha256_blocks_hw(state, tail, blocks);
  for (int i = 0; i < 8; ++i) store_be32(state[i], out + 4 * i);
}

// Two messages of one size side by side.
void sha256_hw_pair(const uint8_t* a, const uint8_t* b, size_t size, uint8_t* out_a,
                    uint8_t* out_b) {
  uint32_t state[2][8];
  std::memcpy(state[0], kSha256InitialState, sizeof state[0]);
  std::memcpy(state[1], kSha256InitialState, sizeof state[1]);
  uint32_t* states[2] = {state[0], state[1]};
  const size_t whole = size / kBlock;
  const uint8_t* blocks[2] = {a, b};
  if (whole) sha256_blocks_hw_pair(states, blocks, whole);
  uint8_t tail[2][2 * kBlock];
  const size_t count = final_blocks(a + whole * kBlock, size % kBlock, size, tail[0]);
  final_blocks(b + whole * kBlock, size % kBlock, size, tail[1]);
  const uint8_t* tails[2] = {tail[0], tail[1]};
  sha256_blocks_hw_pair(states, tails, count);
  for (int i = 0; i < 8; ++i) {
    store_be32(state[0][i], out_a + 4 * i);
    store_be32(state[1][i], out_b + 4 * i);
  }
}

bool use_hw() {
  static const bool hw = sha256_hw_available();
  return hw;
}

void store_digest(const uint32_t* state, uint8_t* out) {
  for (int i = 0; i < 8; ++i) store_be32(state[i], out + 4 * i);
}

}  // namespace

void sha256_pad_block(size_t size, uint8_t* block) {
  std::memset(block + size, 0, kBlock - size);
  block[size] = 0x80;
  const uint64_t bits = uint64_t{size} * 8;
  for (int i = 0; i < 8; ++i) block[kBlock - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
}

void sha256_padded(const uint8_t* block, uint8_t* out) {
  uint32_t state[8];
  std::memcpy(state, kSha256InitialState, sizeof state);
  if (use_hw()) {
    sha256_blocks_hw(state, block, 1);
  } else {
    compress(state, block);
  }
  store_digest(state, out);
}

void sha256_padded_pair(const uint8_t* block_a, const uint8_t* block_b, uint8_t* out_a,
                        uint8_t* out_b) {
  if (!use_hw()) {
    sha256_padded(block_a, out_a);
    sha256_padded(block_b, out_b);
    return;
  }
  uint32_t state[2][8];
  std::memcpy(state[0], kSha256InitialState, sizeof state[0]);
  std::memcpy(state[1], kSha256InitialState, sizeof state[1]);
  uint32_t* states[2] = {state[0], state[1]};
  const uint8_t* blocks[2] = {block_a, block_b};
  sha256_blocks_hw_pair(states, blocks, 1);
  store_digest(state[0], out_a);
  store_digest(state[1], out_b);
}

void sha256_padded_lanes(const uint8_t* const* blocks, uint8_t* const* out, size_t count) {
#if defined(__x86_64__) || defined(__i386__)
  if (use_hw()) return sha256_padded_hw_lanes(blocks, out, count);
#endif
  size_t l = 0;
  for (; l + 2 <= count; l += 2) sha256_padded_pair(blocks[l], blocks[l + 1], out[l], out[l + 1]);
  if (l < count) sha256_padded(blocks[l], out[l]);
}

void sha256_pair(const uint8_t* a, const uint8_t* b, size_t size, uint8_t* out_a, uint8_t* out_b) {
  if (use_hw()) {
    sha256_hw_pair(a, b, size, out_a, out_b);
  } else {
    sha256_portable(a, size, out_a);
    sha256_portable(b, size, out_b);
  }
}

void sha256(const uint8_t* data, size_t size, uint8_t* out) {
  if (use_hw()) {
    sha256_hw(data, size, out);
  } else {
    sha256_portable(data, size, out);
  }
}

void sha256_lanes(const uint8_t* const* data, size_t size, size_t count, uint8_t* const* out) {
  // The instructions hash two messages side by side faster than the
  // portable code hashes eight.
  if (use_hw()) {
    uint8_t block[kSha256PaddedLanes][kBlock];
    const uint8_t* blocks[kSha256PaddedLanes];
    for (size_t l = 0; l < kSha256PaddedLanes; ++l) {
      sha256_pad_block(size, block[l]);
      blocks[l] = block[l];
    }
    for (size_t first = 0; first < count; first += kSha256PaddedLanes) {
      const size_t lanes = std::min(kSha256PaddedLanes, count - first);
      for (size_t l = 0; l < lanes; ++l) std::memcpy(block[l], data[first + l], size);
      sha256_padded_lanes(blocks, out + first, lanes);
    }
    return;
  }
  uint32_t block[16][kSha256Lanes] = {};
  uint32_t state[8][kSha256Lanes];
  for (size_t l = 0; l < kSha256Lanes; ++l) {
    for (int i = 0; i < 8; ++i) state[i][l] = kSha256InitialState[i];
  }
  for (size_t l = 0; l < count; ++l) {
    uint8_t tail[2 * kBlock];
    final_blocks(data[l], size, size, tail);
    for (int i = 0; i < 16; ++i) block[i][l] = load_be32(tail + 4 * i);
  }
  compress_lanes(state, block);
  for (size_t l = 0; l < count; ++l) {
    for (int i = 0; i < 8; ++i) store_be32(state[i][l], out[l] + 4 * i);
  }
}

}  // namespace orvex::fuzzy
