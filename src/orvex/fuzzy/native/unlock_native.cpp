// unlock_secret's vote, natively: the same draws, pads and candidates as the
// literal loop, counted in a native table instead of a Counter; only the
// winner becomes a Python object. The draws, the hashing, the hex and the
// count run without the interpreter lock.
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

// A stored entry as the native part reads it: its characters, copied or in
// place, or nullptr where bytes.fromhex must read it. An entry not copied is
// held by the vote: `held` is 1 + its place among those held, else 0.
// Sixteen bytes: a vote of 10^6 lockers keeps one per locker.
struct EntryText {
  const char* text = nullptr;
  uint32_t length = 0;
  uint32_t held = 0;
};

// Entries up to this long (a pad's hex) are copied rather than held: a
// reference taken and given back costs two writes to each entry's header,
// with the interpreter lock held, and the copy is read from one place.
constexpr size_t kCopiedMax = 2 * kPadSize;

// A locker's candidate, where it is known natively.
struct Unmasked {
  CandidateBytes bytes{};
  size_t size = 0;
  bool known = false;
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

// bytes.fromhex(entry)[:32] XOR pad, for text made only of hex digit pairs
// (either case, nothing between them): true, with `size` the length of that
// prefix; false for any other text, which bytes.fromhex itself reads.
bool unmask_hex_pairs(const EntryText& entry, const uint8_t* pad, Unmasked& out) {
  if (!entry.text || entry.length % 2) return false;
  const size_t size = std::min(size_t{entry.length} / 2, kPadSize);
  uint8_t rest[64];
  // What lies beyond the first 32 bytes must be hex digits too.
  for (size_t done = 2 * size; done < entry.length; done += sizeof rest * 2) {
    const size_t chunk = std::min(sizeof rest, (entry.length - done) / 2);
    if (!hex_decode(entry.text + done, chunk, rest)) return false;
  }
  if (!decode_pairs(entry.text, size, out.bytes.data())) return false;
  for (size_t i = 0; i < size; ++i) out.bytes[i] ^= pad[i];
  out.size = size;
  out.known = true;
  return true;
}

// Locker's candidate from bytes.fromhex(entry), for entries the native part
// left alone.
bool unmask_by_fromhex(const State& st, PyObject* entry, const uint8_t* pad, Unmasked& out) {
  Ref cipher = call(st.bytes_fromhex.get(), entry);
  if (!cipher) return false;
  out.size = std::min(static_cast<size_t>(PyBytes_GET_SIZE(cipher.get())), kPadSize);
  out.bytes.fill(0);  // the failed pairing may have left bytes behind
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(cipher.get()));
  for (size_t i = 0; i < out.size; ++i) out.bytes[i] = bytes[i] ^ pad[i];
  out.known = true;
  return true;
}

// The characters of each of the n entries at `items`: short ASCII text
// copied into `chars`, longer ASCII text read in place (the entry held in
// `held`), any other text held for bytes.fromhex. 0 (abandon) at anything
// but an exact str, where the literal loop raises TypeError or runs a
// subclass's code. Runs no Python code, so the sequence stays as it is.
int entry_texts(PyObject* const* items, size_t n, std::vector<char>& chars, RefList& held,
                std::vector<EntryText>& out) {
  out.assign(n, EntryText{});
  for (size_t i = 0; i < n; ++i) {
    PyObject* entry = items[i];
    if (!PyUnicode_CheckExact(entry)) return 0;
    EntryText& e = out[i];
#if PY_VERSION_HEX < 0x030C0000
    // Readying may allocate, and so run a collection: left to bytes.fromhex.
    const bool ascii = PyUnicode_IS_READY(entry) && PyUnicode_IS_ASCII(entry);
#else
    const bool ascii = PyUnicode_IS_ASCII(entry);
#endif
    const auto length = ascii ? static_cast<size_t>(PyUnicode_GET_LENGTH(entry)) : 0;
    const char* text = ascii ? reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(entry)) : nullptr;
    if (ascii && length <= kCopiedMax) {
      e.length = static_cast<uint32_t>(length);
      chars.insert(chars.end(), text, text + length);
      continue;
    }
    held.push_back(entry);
    e.held = static_cast<uint32_t>(held.size());
    if (!ascii || length > 0xFFFFFFFFu) continue;  // beyond 4G characters: fromhex reads it
    e.text = text;
    e.length = static_cast<uint32_t>(length);
  }
  // Only now that no more are copied does the copies' storage stay put; they
  // lie one after another, in the entries' order.
  const char* copied = chars.data();
  for (EntryText& e : out) {
    if (e.held) continue;
    e.text = copied;
    copied += e.length;
  }
  return 1;
}

// The entry bytes.fromhex reads: the one held, or its copied text again.
Ref entry_object(const EntryText& e, const RefList& held) {
  if (e.held) return Ref::borrow(held[e.held - 1]);
  return Ref::steal(PyUnicode_DecodeASCII(e.text, static_cast<Py_ssize_t>(e.length), nullptr));
}

// How the native part ended.
enum class Drawn { done, beyond_bits, no_memory };

// A vote in progress: the candidates counted so far, and those of the
// lockers from the first one bytes.fromhex must read (`first_unread`) on,
// kept in order to be counted once it has read them.
struct Vote {
  Vote(size_t lockers, const SipKey& key) : tally(lockers, key), first_unread(lockers) {}
  VoteTally tally;
  size_t first_unread;
  std::vector<Unmasked> rest;
};

// The draws, the pads and every candidate that needs no Python, counted as
// long as all before it were: runs without the interpreter lock, reading
// only the entries' characters.
Drawn draw_candidates(NativeDraws& draws, const std::vector<EntryText>& texts, PadCache& pads,
                      std::vector<size_t>& pad_keys, Vote& vote) noexcept {
  try {
    if (!draw_pads(draws, texts.size(), pads, pad_keys)) return Drawn::beyond_bits;
    // A few candidates at a time, their slots fetched while the batch
    // before them is counted.
    constexpr size_t kAhead = 8;
    struct Batch {
      Unmasked candidates[kAhead];
      VoteTally::Hashed hashes[kAhead];
      size_t first = 0;
      size_t count = 0;
    };
    Batch batches[2];
    auto prepare = [&](Batch& b, size_t first) {
      b.first = first;
      b.count = std::min(kAhead, texts.size() - first);
      for (size_t l = 0; l < b.count; ++l) {
        const size_t i = first + l;
        b.candidates[l] = Unmasked{};  // zero beyond its size, whatever was here before
        if (!unmask_hex_pairs(texts[i], pads.pad(pad_keys[i]), b.candidates[l])) continue;
        b.hashes[l] = vote.tally.hashed(b.candidates[l].bytes, b.candidates[l].size);
        vote.tally.prefetch(b.hashes[l]);
      }
    };
    auto count = [&vote](const Batch& b) {
      for (size_t l = 0; l < b.count; ++l) {
        const Unmasked& c = b.candidates[l];
        if (c.known && vote.rest.empty()) {
          vote.tally.add(c.bytes, c.size, b.hashes[l]);
          continue;
        }
        if (vote.rest.empty()) vote.first_unread = b.first + l;
        vote.rest.push_back(c);
      }
    };
    if (!texts.empty()) prepare(batches[0], 0);
    for (size_t first = 0, at = 0; first < texts.size(); first += kAhead, at ^= 1) {
      if (first + kAhead < texts.size()) prepare(batches[at ^ 1], first + kAhead);
      count(batches[at]);
    }
    return Drawn::done;
  } catch (const std::bad_alloc&) {
    return Drawn::no_memory;
  }
}

// Counts what was left for after bytes.fromhex: false out of memory. Runs
// without the interpreter lock.
bool count_rest(Vote& vote) noexcept {
  try {
    for (const Unmasked& c : vote.rest) vote.tally.add(c.bytes, c.size);
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
  // change what is read. Held here, their characters stay put. The literal
  // loop reads stored[i] one at a time, with Python code (the draws, Counter)
  // in between, where a finalizer or another thread may rewrite the list;
  // this loop's outcome is then the literal loop's with that code run just
  // after it, an order the collector and the scheduler are free to choose, as
  // in any two runs of the same Python code.
  const auto n = static_cast<size_t>(PySequence_Fast_GET_SIZE(stored));
  Scratch<char> chars;
  RefList held;
  Scratch<EntryText> texts;
  if (!entry_texts(PySequence_Fast_ITEMS(stored), n, *chars, held, *texts)) {
    return Attempt::abandoned;
  }

  PadCache pads(draws.size);
  Scratch<size_t> pad_keys;
  Vote vote(n, st.vote_key);
  const Drawn drawn =
      without_gil([&] { return draw_candidates(draws, *texts, pads, *pad_keys, vote); });
  // Beyond the bits the literal loop raises IndexError; out of memory
  // natively, it may still manage with Python's.
  if (drawn != Drawn::done) return Attempt::abandoned;
  if (!finish_draws(st, draws)) return Attempt::failed;
  // Other text goes through bytes.fromhex, in locker order, so that its
  // first error is the literal loop's.
  for (size_t j = 0; j < vote.rest.size(); ++j) {
    const size_t i = vote.first_unread + j;
    if (vote.rest[j].known) continue;
    const Ref entry = entry_object((*texts)[i], held);
    if (!entry || !unmask_by_fromhex(st, entry.get(), pads.pad((*pad_keys)[i]), vote.rest[j])) {
      return Attempt::failed;
    }
  }
  if (!vote.rest.empty() && !without_gil([&] { return count_rest(vote); })) {
    return Attempt::abandoned;
  }
  if (const VoteTally::Candidate* winner = vote.tally.winner()) {
    best = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(winner->bytes.data()),
                                                static_cast<Py_ssize_t>(winner->size)));
    count = best ? Ref::steal(PyLong_FromSize_t(winner->votes)) : Ref();
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
