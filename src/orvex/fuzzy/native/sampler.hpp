// NumPy's Generator.choice(n, size=k, replace=False), run natively on the
// generator's own bit stream.
//
// Helper data is only readable if every locker samples exactly the positions
// NumPy would, so this follows NumPy's algorithm branch by branch and draws
// only through the bit generator's own next_uint32/next_uint64 (PCG64 keeps
// half of a 64-bit draw for the next 32-bit call; splitting draws by hand
// would change the stream). The draws come from any `Bits` with those two
// functions: the capsule's function pointers, or PCG64 stepped inline.
#pragma once

#include "fuzzy/native/pcg64.hpp"
#include "runtime/bit_generator.hpp"

#include <cstdint>
#include <unordered_set>
#include <vector>

namespace orvex::fuzzy {

// Draws through a bit generator's capsule.
struct CapsuleBits {
  BitGen* bg;
  uint64_t next_uint64() { return bg->next_uint64(bg->state); }
  uint32_t next_uint32() { return bg->next_uint32(bg->state); }
};

class Sampler {
 public:
  // Fills out[0..k) with what choice(n, size=k, replace=False) returns, in
  // NumPy's order. Requires 0 <= k <= n. Defined for CapsuleBits and Pcg64.
  template <class Bits>
  void choice(Bits& bits, int64_t n, int64_t k, int64_t* out);

  void choice(BitGen& bg, int64_t n, int64_t k, int64_t* out) {
    CapsuleBits bits{&bg};
    choice(bits, n, k, out);
  }

  // Whether NumPy takes the tail of a shuffled population (else Floyd's algorithm).
  static bool shuffles_tail(int64_t n, int64_t k) { return n > 10000 && k > n / 50; }

 private:
  template <class Bits>
  void floyd(Bits& bits, int64_t n, int64_t k, int64_t* out);
  template <class Bits>
  void floyd_small(Bits& bits, int64_t n, int64_t k, int64_t* out);
  template <class Bits>
  void floyd_marked(Bits& bits, int64_t n, int64_t k, int64_t* out);
  bool floyd_ahead(Pcg64& bits, int64_t n, int64_t k, int64_t* out);
  void next_mark();
  template <class Bits>
  void tail_shuffle(Bits& bits, int64_t n, int64_t k, int64_t* out);

  // Membership of drawn values for large k, reused from draw to draw.
  std::vector<uint8_t> seen_flags_;
  std::unordered_set<int64_t> seen_set_;
  // For populations up to 2**16: the number of the draw that last took each
  // position, so that nothing needs clearing between draws.
  std::vector<uint16_t> marks_;
  uint16_t mark_ = 0;
  std::vector<uint32_t> words_;  // PCG64's draws for one choice, made ahead
  std::vector<int64_t> pool_;    // the population of the tail shuffle
};

// NumPy's bounded integer: uniform in [0, r], r inclusive.
uint64_t bounded(BitGen& bg, uint64_t r);

}  // namespace orvex::fuzzy
