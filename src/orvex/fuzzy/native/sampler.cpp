#include "fuzzy/native/sampler.hpp"
#include "fuzzy/native/pcg64.hpp"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace orvex::fuzzy {
namespace {

// Lemire's nearly-divisionless method, 32-bit, as NumPy runs it for r < 2**32 - 1.
template <class Bits>
[[gnu::always_inline]] inline uint64_t lemire32(Bits& bits, uint32_t r) {
  const uint32_t e = r + 1;
  uint64_t m = uint64_t{bits.next_uint32()} * e;
  uint32_t lo = static_cast<uint32_t>(m);
  if (lo < e) {
    const uint32_t t = (0xFFFFFFFFu - r) % e;
    while (lo < t) {
      m = uint64_t{bits.next_uint32()} * e;
      lo = static_cast<uint32_t>(m);
    }
  }
  return m >> 32;
}

// The same with a 128-bit product, for larger ranges.
template <class Bits>
uint64_t lemire64(Bits& bits, uint64_t r) {
  const uint64_t e = r + 1;
  unsigned __int128 m = static_cast<unsigned __int128>(bits.next_uint64()) * e;
  uint64_t lo = static_cast<uint64_t>(m);
  if (lo < e) {
    const uint64_t t = (0xFFFFFFFFFFFFFFFFull - r) % e;
    while (lo < t) {
      m = static_cast<unsigned __int128>(bits.next_uint64()) * e;
      lo = static_cast<uint64_t>(m);
    }
  }
  return static_cast<uint64_t>(m >> 64);
}

// Populations up to this size always keep one mark per position: setting
// k marks takes fewer instructions and far fewer mispredicted branches than
// scanning the values drawn, even for k = 4.
constexpr int64_t kFlagsAlwaysMax = int64_t{1} << 16;
// In larger populations, where the flags spread over more cache, a linear
// scan of the drawn values does for samples up to this size.
constexpr int64_t kLinearScanMax = 32;
// Populations up to this size keep one flag per position.
constexpr int64_t kFlagsMax = int64_t{1} << 22;

// One step of Floyd's algorithm on marks: v if it is new, else j, which is
// new (j is above every earlier bound, so never drawn before); marked
// either way. Both marks are written whatever the outcome (marking v
// again changes nothing, and j's mark is mark or a value no draw uses):
// the addresses stored to then never wait on the load of marks[v], and
// the next step's load doesn't wait on them.
[[gnu::always_inline]] inline int64_t take(uint16_t* marks, uint16_t mark, int64_t v, int64_t j) {
  // Masks rather than conditions, which the compiler would turn into a
  // branch that mispredicts on every repeat.
  // One mask, all ones on a repeat, serves both.
  const int64_t repeat = -static_cast<int64_t>(marks[v] == mark);
  marks[j] = static_cast<uint16_t>(mark & repeat);
  marks[v] = mark;  // after j's: v may be j
  return v ^ ((v ^ j) & repeat);
}

// take() with both choices made by conditional moves, for the loop of draws
// made ahead, whose speed is its count of instructions: the compiler spends
// about nine on the mask and its uses, and emits a branch (mispredicted on
// every repeat) for a plain condition. The same stores, in the same order.
[[gnu::always_inline]] inline int64_t take_by_moves(uint16_t* marks, uint16_t mark, int64_t v,
                                                    int64_t j) {
#if defined(__x86_64__)
  int64_t chosen = v;
  uint32_t j_mark = 0;
  const uint32_t wide_mark = mark;
  asm("cmpw %w[mark], %[slot]\n\t"
      "cmove %[j], %[chosen]\n\t"
      "cmove %[mark], %[j_mark]"
      : [chosen] "+r"(chosen), [j_mark] "+r"(j_mark)
      : [mark] "r"(wide_mark), [slot] "m"(marks[v]), [j] "r"(j)
      : "cc");
  marks[j] = static_cast<uint16_t>(j_mark);
  marks[v] = mark;  // after j's: v may be j
  return chosen;
#else
  return take(marks, mark, v, j);
#endif
}

// bounded(), inline in the samplers' loops (forced: the compiler would call
// the 32-bit draw): a call per draw is a sizeable part of a small draw's cost.
template <class Bits>
[[gnu::always_inline]] inline uint64_t bounded_inline(Bits& bits, uint64_t r) {
  if (r == 0) return 0;
  if (r <= 0xFFFFFFFFull) {
    if (r == 0xFFFFFFFFull) return bits.next_uint32();
    return lemire32(bits, static_cast<uint32_t>(r));
  }
  if (r == 0xFFFFFFFFFFFFFFFFull) return bits.next_uint64();
  return lemire64(bits, r);
}

}  // namespace

uint64_t bounded(BitGen& bg, uint64_t r) {
  CapsuleBits bits{&bg};
  return bounded_inline(bits, r);
}

template <class Bits>
void Sampler::choice(Bits& bits, int64_t n, int64_t k, int64_t* out) {
  if constexpr (std::is_same_v<Bits, Pcg64>) {
    // The usual case works on the generator itself: floyd_marked() copies
    // it where it must. A copy here as well moves the state through memory
    // twice more per choice, in 16-byte loads of what the last choice wrote
    // in 8-byte stores, which the processor can't forward (about 2% of the
    // time of 43 positions of 512).
    if (n <= kFlagsAlwaysMax && !shuffles_tail(n, k)) return floyd_marked(bits, n, k, out);
  }
  // A local copy can live in registers: stores through `out` and the flags
  // would otherwise make the compiler reload the generator's state.
  Bits local = bits;
  if (shuffles_tail(n, k)) {
    tail_shuffle(local, n, k, out);
  } else {
    floyd(local, n, k, out);
  }
  bits = local;
}

// Floyd's algorithm, then a shuffle of the k values drawn. Only membership of
// the drawn values matters: a linear scan for small k, else flags (or a hash
// set when the population is too large for flags).
template <class Bits>
void Sampler::floyd(Bits& bits, int64_t n, int64_t k, int64_t* out) {
  const bool linear = n > kFlagsAlwaysMax && k <= kLinearScanMax;
  const bool flags = !linear && n <= kFlagsMax;
  if (n <= kFlagsAlwaysMax) return floyd_marked(bits, n, k, out);
  // The flags are cleared after each draw, value by value, so that a draw
  // costs O(k) however large the population (many lockers share one table).
  if (flags && seen_flags_.size() < static_cast<size_t>(n)) {
    seen_flags_.assign(static_cast<size_t>(n), 0);
  }
  if (flags && n < int64_t{0xFFFFFFFF}) return floyd_small(bits, n, k, out);
  if (!linear && !flags) seen_set_.clear();
  for (int64_t j = n - k, count = 0; j < n; ++j, ++count) {
    int64_t v = static_cast<int64_t>(bounded_inline(bits, static_cast<uint64_t>(j)));
    bool seen;
    if (linear) {
      seen = std::find(out, out + count, v) != out + count;
    } else if (flags) {
      seen = std::exchange(seen_flags_[static_cast<size_t>(v)], 1) != 0;
    } else {
      seen = !seen_set_.insert(v).second;
    }
    if (seen) {
      v = j;  // j itself was never drawn before: j is above every earlier bound
      if (flags) seen_flags_[static_cast<size_t>(v)] = 1;
      if (!linear && !flags) seen_set_.insert(v);
    }
    out[count] = v;
  }
  if (flags) {
    for (int64_t i = 0; i < k; ++i) seen_flags_[static_cast<size_t>(out[i])] = 0;
  }
  for (int64_t i = k - 1; i > 0; --i) {
    const int64_t j = static_cast<int64_t>(bounded_inline(bits, static_cast<uint64_t>(i)));
    std::swap(out[i], out[j]);
  }
}

// floyd() for the usual case, flags and a population below 2**32 - 1,
// spelled out: every bound fits NumPy's 32-bit draw, and only bound 0 draws
// nothing.
template <class Bits>
void Sampler::floyd_small(Bits& source, int64_t n, int64_t k, int64_t* out) {
  Bits bits = source;  // in registers, whatever the stores below may alias
  uint8_t* seen = seen_flags_.data();
  auto draw = [&bits](int64_t r) -> int64_t {
    return r == 0 ? 0 : static_cast<int64_t>(lemire32(bits, static_cast<uint32_t>(r)));
  };
  for (int64_t j = n - k, count = 0; j < n; ++j, ++count) {
    int64_t v = draw(j);
    v = seen[v] ? j : v;  // j itself was never drawn before: j is above every earlier bound
    seen[v] = 1;
    out[count] = v;
  }
  for (int64_t i = 0; i < k; ++i) seen[out[i]] = 0;
  for (int64_t i = k - 1; i > 0; --i) std::swap(out[i], out[draw(i)]);
  source = bits;
}

// floyd_small() with marks in place of flags: no clearing pass, and the
// choice between the draw and j made without a branch (which mispredicts
// on every repeat, about k*k/2n of them a draw).
template <class Bits>
void Sampler::floyd_marked(Bits& source, int64_t n, int64_t k, int64_t* out) {
  if (marks_.size() < static_cast<size_t>(n)) marks_.resize(static_cast<size_t>(n), 0);
  next_mark();
  if constexpr (std::is_same_v<Bits, Pcg64>) {
    if (floyd_ahead(source, n, k, out)) return;
    next_mark();  // what the attempt marked is forgotten
  }
  Bits bits = source;  // in registers, whatever the stores below may alias
  uint16_t* marks = marks_.data();
  const uint16_t mark = mark_;
  auto draw = [&bits](int64_t r) -> int64_t {
    return r == 0 ? 0 : static_cast<int64_t>(lemire32(bits, static_cast<uint32_t>(r)));
  };
  for (int64_t j = n - k, count = 0; j < n; ++j, ++count) {
    out[count] = take(marks, mark, draw(j), j);
  }
  for (int64_t i = k - 1; i > 0; --i) std::swap(out[i], out[draw(i)]);
  source = bits;
}

void Sampler::next_mark() {
  if (++mark_ != 0) return;
  // Wrapped: the marks of 65536 choices ago would look current.
  std::fill(marks_.begin(), marks_.end(), uint16_t{0});
  mark_ = 1;
}

// floyd_marked() on PCG64 with every draw made ahead, in one loop of its own:
// one word per bound but 0, as long as no bounded draw is rejected. A word
// whose product falls in the band where Lemire's method might reject it
// (a chance of e in 2**32 for bound e - 1) gives up instead: false, with
// `gen` as it was, for the draw-by-draw loop to start again.
bool Sampler::floyd_ahead(Pcg64& gen, int64_t n, int64_t k, int64_t* out) {
  if (k == 0) return true;
  const auto wanted = static_cast<size_t>(2 * k - 1 - (n == k ? 1 : 0));
  if (words_.size() < wanted) words_.resize(wanted);
  // What a rejected word goes back to: only the fields a draw changes, each
  // read as its own value, not a copy of the whole generator (which would
  // read the state the last choice wrote in narrower stores).
  const Pcg64::u128 start_state = gen.state;
  const bool start_has_uint32 = gen.has_uint32;
  const uint32_t start_uinteger = gen.uinteger;
  auto give_up = [&] {
    gen.state = start_state;
    gen.has_uint32 = start_has_uint32;
    gen.uinteger = start_uinteger;
    return false;
  };
  gen.fill_uint32(words_.data(), wanted);
  const uint32_t* word = words_.data();
  uint16_t* marks = marks_.data();
  const uint16_t mark = mark_;
  int64_t j = n - k, count = 0;
  if (j == 0) {  // bound 0 draws nothing
    marks[0] = mark;
    out[count++] = 0;
    ++j;
  }
  // Unrolled by two: the loop's own steps are a sizeable part of a step
  // this short (unrolling further loses as much in code size).
#pragma GCC unroll 2
  for (; j < n; ++j, ++count) {
    const auto e = static_cast<uint32_t>(j) + 1;
    const uint64_t m = uint64_t{*word++} * e;
    if (static_cast<uint32_t>(m) < e) [[unlikely]] {
      return give_up();
    }
    out[count] = take_by_moves(marks, mark, static_cast<int64_t>(m >> 32), j);
  }
#pragma GCC unroll 2
  for (int64_t i = k - 1; i > 0; --i) {
    const auto e = static_cast<uint32_t>(i) + 1;
    const uint64_t m = uint64_t{*word++} * e;
    if (static_cast<uint32_t>(m) < e) [[unlikely]] {
      return give_up();
    }
    std::swap(out[i], out[m >> 32]);
  }
  return true;
}

// A partial Fisher-Yates shuffle of the whole population, keeping its tail.
template <class Bits>
void Sampler::tail_shuffle(Bits& bits, int64_t n, int64_t k, int64_t* out) {
  pool_.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) pool_[static_cast<size_t>(i)] = i;
  const int64_t stop = std::max<int64_t>(n - k, 1);
  for (int64_t i = n - 1; i >= stop; --i) {
    const auto j = static_cast<size_t>(bounded_inline(bits, static_cast<uint64_t>(i)));
    std::swap(pool_[static_cast<size_t>(i)], pool_[j]);
  }
  std::copy(pool_.end() - k, pool_.end(), out);
}

template void Sampler::choice(CapsuleBits&, int64_t, int64_t, int64_t*);
template void Sampler::choice(Pcg64&, int64_t, int64_t, int64_t*);

}  // namespace orvex::fuzzy
