#include "fuzzy/native/sampler.hpp"

#include <algorithm>
#include <utility>

namespace orvex::fuzzy {
namespace {

// Lemire's nearly-divisionless method, 32-bit, as NumPy runs it for r < 2**32 - 1.
uint64_t lemire32(BitGen& bg, uint32_t r) {
  const uint32_t e = r + 1;
  uint64_t m = uint64_t{bg.next_uint32(bg.state)} * e;
  uint32_t lo = static_cast<uint32_t>(m);
  if (lo < e) {
    const uint32_t t = (0xFFFFFFFFu - r) % e;
    while (lo < t) {
      m = uint64_t{bg.next_uint32(bg.state)} * e;
      lo = static_cast<uint32_t>(m);
    }
  }
  return m >> 32;
}

// The same with a 128-bit product, for larger ranges.
uint64_t lemire64(BitGen& bg, uint64_t r) {
  const uint64_t e = r + 1;
  unsigned __int128 m = static_cast<unsigned __int128>(bg.next_uint64(bg.state)) * e;
  uint64_t lo = static_cast<uint64_t>(m);
  if (lo < e) {
    const uint64_t t = (0xFFFFFFFFFFFFFFFFull - r) % e;
    while (lo < t) {
      m = static_cast<unsigned __int128>(bg.next_uint64(bg.state)) * e;
      lo = static_cast<uint64_t>(m);
    }
  }
  return static_cast<uint64_t>(m >> 64);
}

// Below this sample size a linear scan of the drawn values beats a table.
constexpr int64_t kLinearScanMax = 32;
// Populations up to this size keep one flag per position.
constexpr int64_t kFlagsMax = int64_t{1} << 22;

// bounded(), inline in the samplers' loops: a call per draw is a sizeable
// part of a small draw's cost.
inline uint64_t bounded_inline(BitGen& bg, uint64_t r) {
  if (r == 0) return 0;
  if (r <= 0xFFFFFFFFull) {
    if (r == 0xFFFFFFFFull) return bg.next_uint32(bg.state);
    return lemire32(bg, static_cast<uint32_t>(r));
  }
  if (r == 0xFFFFFFFFFFFFFFFFull) return bg.next_uint64(bg.state);
  return lemire64(bg, r);
}

}  // namespace

uint64_t bounded(BitGen& bg, uint64_t r) {
  return bounded_inline(bg, r);
}

void Sampler::choice(BitGen& bg, int64_t n, int64_t k, int64_t* out) {
  if (shuffles_tail(n, k)) {
    tail_shuffle(bg, n, k, out);
  } else {
    floyd(bg, n, k, out);
  }
}

// Floyd's algorithm, then a shuffle of the k values drawn. Only membership of
// the drawn values matters: a linear scan for small k, else flags (or a hash
// set when the population is too large for flags).
void Sampler::floyd(BitGen& bg, int64_t n, int64_t k, int64_t* out) {
  const bool linear = k <= kLinearScanMax;
  const bool flags = !linear && n <= kFlagsMax;
  // The flags are cleared after each draw, value by value, so that a draw
  // costs O(k) however large the population (many lockers share one table).
  if (flags && seen_flags_.size() < static_cast<size_t>(n)) {
    seen_flags_.assign(static_cast<size_t>(n), 0);
  }
  if (!linear && !flags) seen_set_.clear();
  for (int64_t j = n - k, count = 0; j < n; ++j, ++count) {
    int64_t v = static_cast<int64_t>(bounded_inline(bg, static_cast<uint64_t>(j)));
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
    const int64_t j = static_cast<int64_t>(bounded_inline(bg, static_cast<uint64_t>(i)));
    std::swap(out[i], out[j]);
  }
}

// A partial Fisher-Yates shuffle of the whole population, keeping its tail.
void Sampler::tail_shuffle(BitGen& bg, int64_t n, int64_t k, int64_t* out) {
  pool_.resize(static_cast<size_t>(n));
  for (int64_t i = 0; i < n; ++i) pool_[static_cast<size_t>(i)] = i;
  const int64_t stop = std::max<int64_t>(n - k, 1);
  for (int64_t i = n - 1; i >= stop; --i) {
    const auto j = static_cast<size_t>(bounded_inline(bg, static_cast<uint64_t>(i)));
    std::swap(pool_[static_cast<size_t>(i)], pool_[j]);
  }
  std::copy(pool_.end() - k, pool_.end(), out);
}

}  // namespace orvex::fuzzy
