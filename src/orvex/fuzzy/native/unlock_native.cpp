// unlock_secret's vote, natively: the same draws, pads and candidates as the
// literal loop, counted in a native table instead of a Counter; only the
// winner becomes a Python object. The entries' hex is decoded as they are
// read, with the interpreter lock held; the draws, the hashing and the count
// run without it.
#include "fuzzy/native/draws.hpp"
#include "fuzzy/native/pad_cache.hpp"
#include "fuzzy/native/vote_tally.hpp"
#include "runtime/gil.hpp"
#include "runtime/hex.hpp"
#include "runtime/scratch.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvex::fuzzy {
namespace {

// A locker's candidate bytes, one per locker, and their sizes: the entry
// decoded (with the interpreter lock held), its pad taken off later without
// it. kUnread marks an entry that bytes.fromhex must read.
constexpr uint8_t kUnread = 0xFF;
struct Candidates {
  Scratch<CandidateBytes> bytes;
  Scratch<uint8_t> sizes;
  // The entries marked kUnread, in locker order.
  RefList unread;
};

#if defined(__SSE2__)
// The 8 bytes that 16 hex digits spell (either case), with SSE2 alone
// (every x86-64 has it): false when any of the 16 characters is not a hex
// digit. The text is ASCII, so signed comparisons order it.
bool decode16(const char* in, uint8_t* out) {
  const __m128i text = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
  auto within = [](__m128i c, char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmplt_epi8(c, _mm_set1_epi8(static_cast<char>(high + 1))));
  };
  const __m128i lower = _mm_or_si128(text, _mm_set1_epi8(0x20));
  const __m128i digit = within(text, '0', '9');
  const __m128i letter = within(lower, 'a', 'f');
  if (_mm_movemask_epi8(_mm_or_si128(digit, letter)) != 0xFFFF) return false;
  const __m128i values =
      _mm_or_si128(_mm_and_si128(digit, _mm_sub_epi8(text, _mm_set1_epi8('0'))),
                   _mm_and_si128(letter, _mm_sub_epi8(lower, _mm_set1_epi8('a' - 10))));
  // Each 16-bit lane holds a pair: the high digit in its low byte.
  const __m128i high = _mm_slli_epi16(_mm_and_si128(values, _mm_set1_epi16(0x00FF)), 4);
  const __m128i bytes = _mm_or_si128(high, _mm_srli_epi16(values, 8));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi16(bytes, bytes));
  return true;
}
#endif

// hex_decode() for a candidate's few bytes, where the general decoder's
// dispatch would cost more than the decoding.
bool decode_pairs(const char* in, size_t size, uint8_t* out) {
  size_t done = 0;
#if defined(__SSE2__)
  for (; done + 8 <= size; done += 8) {
    if (!decode16(in + 2 * done, out + done)) return false;
  }
#endif
  return hex_decode(in + 2 * done, size - done, out + done);
}

// bytes.fromhex(text)[:32] into `out` (zero beyond it), for text made only
// of hex digit pairs (either case, nothing between them): its size; kUnread
// for any other text, which bytes.fromhex itself reads.
uint8_t decode_entry(const char* text, size_t length, CandidateBytes& out) {
  if (length % 2) return kUnread;
  const size_t size = std::min(length / 2, kPadSize);
  uint8_t rest[64];
  // What lies beyond the first 32 bytes must be hex digits too.
  for (size_t done = 2 * size; done < length; done += sizeof rest * 2) {
    const size_t chunk = std::min(sizeof rest, (length - done) / 2);
    if (!hex_decode(text + done, chunk, rest)) return kUnread;
  }
  if (!decode_pairs(text, size, out.data())) return kUnread;
  return static_cast<uint8_t>(size);
}

// Each of the n entries at `items` decoded into `out`, where it is ASCII
// text of hex digit pairs; any other text held for bytes.fromhex. 0
// (abandon) at anything but an exact str, where the literal loop raises
// TypeError or runs a subclass's code. Runs no Python code, so the sequence
// stays as it is. Decoding here, rather than copying the text to decode
// later, reads each entry once and writes half as much.
int decode_entries(PyObject* const* items, size_t n, Candidates& out) {
  out.bytes->reserve(n);
  out.sizes->reserve(n);
  // The entries lie wherever they were made: their headers and text are
  // fetched a few entries ahead.
  constexpr size_t kAhead = 8;
  for (size_t i = 0; i < std::min(kAhead, n); ++i) __builtin_prefetch(items[i]);
  for (size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      __builtin_prefetch(items[i + kAhead]);
      __builtin_prefetch(reinterpret_cast<const char*>(items[i + kAhead]) + 64);
    }
    PyObject* entry = items[i];
    if (!PyUnicode_CheckExact(entry)) return 0;
#if PY_VERSION_HEX < 0x030C0000
    // Readying may allocate, and so run a collection: left to bytes.fromhex.
    const bool ascii = PyUnicode_IS_READY(entry) && PyUnicode_IS_ASCII(entry);
#else
    const bool ascii = PyUnicode_IS_ASCII(entry);
#endif
    CandidateBytes bytes{};
    const uint8_t size =
        ascii ? decode_entry(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(entry)),
                             static_cast<size_t>(PyUnicode_GET_LENGTH(entry)), bytes)
              : kUnread;
    if (size == kUnread) out.unread.push_back(entry);
    out.bytes->push_back(bytes);
    out.sizes->push_back(size);
  }
  return 1;
}

// Locker's candidate from bytes.fromhex(entry), for an entry left unread.
bool unmask_by_fromhex(const State& st, PyObject* entry, const uint8_t* pad, CandidateBytes& out,
                       uint8_t& size) {
  Ref cipher = call(st.bytes_fromhex.get(), entry);
  if (!cipher) return false;
  size =
      static_cast<uint8_t>(std::min(static_cast<size_t>(PyBytes_GET_SIZE(cipher.get())), kPadSize));
  out.fill(0);
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(cipher.get()));
  for (size_t i = 0; i < size; ++i) out[i] = bytes[i] ^ pad[i];
  return true;
}

// How the native part ended.
enum class Drawn { done, beyond_bits, no_memory };

// A vote in progress: the candidates counted so far, up to the first locker
// whose entry bytes.fromhex must read (`first_unread`); those from it on are
// counted once it has read them.
struct Vote {
  Vote(size_t lockers, const SipKey& key, const Candidates& c)
      : tally(lockers, key, c.bytes->data(), c.sizes->data()), first_unread(lockers) {}
  VoteTally tally;
  size_t first_unread;
};

// The draws, the pads, each decoded entry's pad taken off, and every
// candidate counted as long as all before it were: runs without the
// interpreter lock.
Drawn draw_candidates(NativeDraws& draws, Candidates& c, PadCache& pads,
                      std::vector<size_t>& pad_keys, Vote& vote) noexcept {
  try {
    const size_t n = c.sizes->size();
    if (!draw_pads(draws, n, pads, pad_keys)) return Drawn::beyond_bits;
    // A few candidates ahead, their slots fetched while those before them
    // are counted.
    constexpr size_t kAhead = 8;
    VoteTally::Hashed ahead[kAhead] = {};
    auto prepare = [&](size_t i) {
      const uint8_t size = (*c.sizes)[i];
      if (size == kUnread) return;
      uint8_t* bytes = (*c.bytes)[i].data();
      const uint8_t* pad = pads.pad(pad_keys[i]);
      for (size_t b = 0; b < size; ++b) bytes[b] ^= pad[b];
      ahead[i % kAhead] = vote.tally.hashed(i);
      vote.tally.prefetch(ahead[i % kAhead]);
    };
    for (size_t i = 0; i < std::min(kAhead, n); ++i) prepare(i);
    for (size_t i = 0; i < n; ++i) {
      const VoteTally::Hashed h = ahead[i % kAhead];
      if (i + kAhead < n) prepare(i + kAhead);
      if (vote.first_unread < n) continue;
      if ((*c.sizes)[i] == kUnread) {
        vote.first_unread = i;
        continue;
      }
      vote.tally.add(h);
    }
    return Drawn::done;
  } catch (const std::bad_alloc&) {
    return Drawn::no_memory;
  }
}

// Counts the lockers from the first unread on, once bytes.fromhex read
// theirs: false out of memory. Runs without the interpreter lock.
bool count_rest(Vote& vote, size_t n) noexcept {
  try {
    for (size_t i = vote.first_unread; i < n; ++i) vote.tally.add();
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

Attempt vote_all(Function& fn, PyObject* self, const SeededGenerator& seeded, PyObject* n_features,
                 const FeatureBits& bits, PyObject* counter, PyObject* stored, Ref& best,
                 Ref& count) {
  const State& st = fn.state<State>();
  if (!PyList_CheckExact(stored) && !PyTuple_CheckExact(stored)) return Attempt::declined;
  NativeDraws draws;
  const Attempt ready = prepare_draws(fn, self, seeded, n_features, bits, draws);
  if (ready != Attempt::taken) return ready;
  // After prepare_draws, which may have run NumPy (and let other threads run).
  const int genuine = counter_is_genuine(st, counter);
  if (genuine <= 0) return genuine < 0 ? Attempt::failed : Attempt::declined;

  // The entries are taken now, with the bits: no Python code ran since the
  // checks, and none that runs later (a collection, another thread) can
  // change what is read: they are decoded now, and those left to
  // bytes.fromhex held. The literal loop reads stored[i] one at a time, with Python code (the
  // draws, Counter) in between, where a finalizer or another thread may rewrite the list; this
  // loop's outcome is then the literal loop's with that code run just after it, an order the
  // collector and the scheduler are free to choose, as in any two runs of the same Python code.
  const auto n = static_cast<size_t>(PySequence_Fast_GET_SIZE(stored));
  Candidates c;
  if (!decode_entries(PySequence_Fast_ITEMS(stored), n, c)) return Attempt::abandoned;

  PadCache pads(draws.size);
  Scratch<size_t> pad_keys;
  Vote vote(n, st.vote_key, c);
  const Drawn drawn = without_gil([&] { return draw_candidates(draws, c, pads, *pad_keys, vote); });
  // Beyond the bits the literal loop raises IndexError; out of memory
  // natively, it may still manage with Python's.
  if (drawn != Drawn::done) return Attempt::abandoned;
  if (!finish_draws(st, draws)) return Attempt::failed;
  // Other text goes through bytes.fromhex, in locker order, so that its
  // first error is the literal loop's.
  for (size_t i = vote.first_unread, k = 0; i < n; ++i) {
    uint8_t& size = (*c.sizes)[i];
    if (size != kUnread) continue;
    // The first unread locker's entry is the first one held.
    if (!unmask_by_fromhex(st, c.unread[k++], pads.pad((*pad_keys)[i]), (*c.bytes)[i], size)) {
      return Attempt::failed;
    }
  }
  if (vote.first_unread < n && !without_gil([&] { return count_rest(vote, n); })) {
    return Attempt::abandoned;
  }
  const size_t winner = vote.tally.winner();
  if (winner != VoteTally::kNone) {
    best = Ref::steal(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>((*c.bytes)[winner].data()), (*c.sizes)[winner]));
    count = best ? Ref::steal(PyLong_FromSize_t(vote.tally.votes(winner))) : Ref();
    if (!count) return Attempt::failed;
  }
  return Attempt::taken;
}

}  // namespace

Native vote_lockers_native(Function& fn, PyObject* self, SeededGenerator& seeded,
                           PyObject* n_features, const FeatureBits& bits, PyObject* counter,
                           PyObject* stored, Ref& best, Ref& count) {
  return run_native(seeded, [&] {
    return vote_all(fn, self, seeded, n_features, bits, counter, stored, best, count);
  });
}

}  // namespace orvex::fuzzy
