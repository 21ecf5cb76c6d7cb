// NumPy's seed sequence and PCG64 seeding, step for step: every operation on
// 32-bit words wraps as NumPy's uint32 arithmetic does.
#include "fuzzy/native/seed_sequence.hpp"

namespace orvex::fuzzy {
namespace {

constexpr uint32_t kInitA = 0x43b0d7e5;
constexpr uint32_t kMultA = 0x931e8875;
constexpr uint32_t kInitB = 0x8b51f9dd;
constexpr uint32_t kMultB = 0x58f38ded;
constexpr uint32_t kMixMultL = 0xca01f9dd;
constexpr uint32_t kMixMultR = 0x4973f715;
constexpr unsigned kXShift = 16;
constexpr size_t kPoolSize = 4;

// The seed's integer as 32-bit words, the lowest first; zero is one word.
class SeedWords {
 public:
  SeedWords(const uint8_t* seed, size_t size) {
    while (size > 0 && *seed == 0) {
      ++seed;
      --size;
    }
    seed_ = seed;
    size_ = size;
  }
  size_t count() const { return size_ == 0 ? 1 : (size_ + 3) / 4; }
  uint32_t operator[](size_t i) const {
    uint32_t word = 0;
    for (size_t b = 0; b < 4 && 4 * i + b < size_; ++b) {
      word |= uint32_t{seed_[size_ - 1 - 4 * i - b]} << (8 * b);
    }
    return word;
  }

 private:
  const uint8_t* seed_ = nullptr;
  size_t size_ = 0;
};

// The pool's hash, whose multiplier moves on with every use.
struct HashMix {
  uint32_t multiplier = kInitA;
  uint32_t operator()(uint32_t value) {
    value ^= multiplier;
    multiplier *= kMultA;
    value *= multiplier;
    return value ^ (value >> kXShift);
  }
};

uint32_t mix(uint32_t x, uint32_t y) {
  const uint32_t result = kMixMultL * x - kMixMultR * y;
  return result ^ (result >> kXShift);
}

// The pool: the first words hashed in, every word mixed into every other,
// then each further word mixed into all of them.
void mix_entropy(const SeedWords& words, uint32_t (&pool)[kPoolSize]) {
  HashMix hash;
  for (size_t i = 0; i < kPoolSize; ++i) pool[i] = hash(i < words.count() ? words[i] : 0);
  for (size_t src = 0; src < kPoolSize; ++src) {
    for (size_t dst = 0; dst < kPoolSize; ++dst) {
      if (src != dst) pool[dst] = mix(pool[dst], hash(pool[src]));
    }
  }
  for (size_t src = kPoolSize; src < words.count(); ++src) {
    for (size_t dst = 0; dst < kPoolSize; ++dst) pool[dst] = mix(pool[dst], hash(words[src]));
  }
}

// Four 64-bit words of state, each two 32-bit words with the first as its low half.
void generate_state(const uint32_t (&pool)[kPoolSize], uint64_t (&out)[4]) {
  uint32_t multiplier = kInitB;
  uint32_t words[8];
  for (size_t i = 0; i < 8; ++i) {
    uint32_t value = pool[i % kPoolSize] ^ multiplier;
    multiplier *= kMultB;
    value *= multiplier;
    words[i] = value ^ (value >> kXShift);
  }
  for (size_t i = 0; i < 4; ++i) out[i] = uint64_t{words[2 * i + 1]} << 32 | words[2 * i];
}

void step(Pcg64& g) {
  g.state = g.state * Pcg64::kMultiplier + g.inc;
}

}  // namespace

Pcg64 seeded_pcg64(const uint8_t* seed, size_t size) {
  uint32_t pool[kPoolSize];
  mix_entropy(SeedWords(seed, size), pool);
  uint64_t words[4];
  generate_state(pool, words);
  // The first two words make the starting point, the last two the stream,
  // each with its first word as the high half; the stream's increment is odd.
  const Pcg64::u128 start = Pcg64::u128{words[0]} << 64 | words[1];
  const Pcg64::u128 stream = Pcg64::u128{words[2]} << 64 | words[3];
  Pcg64 g;
  g.inc = stream << 1 | 1;
  step(g);
  g.state += start;
  step(g);
  return g;
}

}  // namespace orvex::fuzzy
