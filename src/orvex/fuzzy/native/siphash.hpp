// SipHash-1-3 of a few whole 64-bit words and a final word, under a secret
// 128-bit key: the keyed hash of the native vote table, so that whoever
// writes helper data cannot choose candidates that collide in it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace orvex::fuzzy {

struct SipKey {
  uint64_t k0 = 0;
  uint64_t k1 = 0;
};

namespace sip {

inline uint64_t rotl(uint64_t x, int b) {
  return (x << b) | (x >> (64 - b));
}

struct Lanes {
  uint64_t v0, v1, v2, v3;

  void round() {
    v0 += v1;
    v1 = rotl(v1, 13);
    v1 ^= v0;
    v0 = rotl(v0, 32);
    v2 += v3;
    v3 = rotl(v3, 16);
    v3 ^= v2;
    v0 += v3;
    v3 = rotl(v3, 21);
    v3 ^= v0;
    v2 += v1;
    v1 = rotl(v1, 17);
    v1 ^= v2;
    v2 = rotl(v2, 32);
  }
  void absorb(uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

}  // namespace sip

// The words in order, then `last`, which for a message of whole words is its
// length in bytes shifted to the top byte; a little-endian machine's bytes
// read as words give the standard SipHash-1-3 of the message.
inline uint64_t siphash13(const SipKey& key, const uint64_t* words, size_t count, uint64_t last) {
  sip::Lanes s{key.k0 ^ 0x736f6d6570736575ull, key.k1 ^ 0x646f72616e646f6dull,
               key.k0 ^ 0x6c7967656e657261ull, key.k1 ^ 0x7465646279746573ull};
  for (size_t i = 0; i < count; ++i) s.absorb(words[i]);
  s.absorb(last);
  s.v2 ^= 0xff;
  s.round();
  s.round();
  s.round();
  return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace orvex::fuzzy
