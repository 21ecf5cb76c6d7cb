// unlock_secret's vote, natively: the same draws, pads and candidates as the
// literal loop, counted in a native table instead of a Counter; only the
// winner becomes a Python object.
#include "fuzzy/native/draws.hpp"
#include "fuzzy/native/pad_cache.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

namespace orvex::fuzzy {
namespace {

// A candidate's bytes, zero beyond its size so that whole buffers compare.
using CandidateBytes = std::array<uint8_t, kPadSize>;

// The candidates of one vote with their counts, in the order of first
// production: what the Counter of the literal loop would hold.
class VoteTally {
 public:
  struct Candidate {
    CandidateBytes bytes;
    size_t size;
    size_t votes;
  };

  explicit VoteTally(size_t lockers) {
    size_t slots = 16;
    while (slots < 2 * lockers) slots *= 2;
    slots_.assign(slots, kFree);
    candidates_.reserve(std::min<size_t>(lockers, 1024));
  }

  void add(const CandidateBytes& bytes, size_t size) {
    const size_t mask = slots_.size() - 1;
    for (size_t slot = hash(bytes, size) & mask;; slot = (slot + 1) & mask) {
      if (slots_[slot] == kFree) {
        slots_[slot] = candidates_.size();
        candidates_.push_back({bytes, size, 1});
        return;
      }
      Candidate& c = candidates_[slots_[slot]];
      if (c.size == size && c.bytes == bytes) {
        ++c.votes;
        return;
      }
    }
  }

  // Most votes, the first produced among equals: Counter.most_common(1).
  // nullptr without votes.
  const Candidate* winner() const {
    const Candidate* best = nullptr;
    for (const Candidate& c : candidates_) {
      if (!best || c.votes > best->votes) best = &c;
    }
    return best;
  }

 private:
  static constexpr size_t kFree = std::numeric_limits<size_t>::max();

  // The four words multiplied independently, then mixed: one short
  // dependency chain instead of one per byte.
  static size_t hash(const CandidateBytes& bytes, size_t size) {
    uint64_t w[4];
    std::memcpy(w, bytes.data(), sizeof w);
    uint64_t h = (w[0] * 0x9E3779B97F4A7C15ull) ^ (w[1] * 0xC2B2AE3D27D4EB4Full) ^
                 (w[2] * 0x165667B19E3779F9ull) ^ (w[3] * 0xD6E8FEB86659FD93ull) ^ size;
    h ^= h >> 32;
    h *= 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h ^ h >> 29);
  }

  std::vector<Candidate> candidates_;
  std::vector<size_t> slots_;
};

// The value of each hex digit character, 16 for every other byte: a table,
// since the digits of random bytes defeat branch prediction.
struct HexDigits {
  uint8_t value[256];
  constexpr HexDigits() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<uint8_t>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<uint8_t>(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? static_cast<uint8_t>(c - 'A' + 10)
                                        : 16;
    }
  }
};
constexpr HexDigits kHexDigits;

// bytes.fromhex(entry)[:kPadSize] XOR pad, for text made only of hex digit pairs
// (either case, nothing between them): 1, with `size` the length of that
// prefix; 0 for any other text, which bytes.fromhex itself reads; -1 on error.
int unmask_hex_pairs(PyObject* entry, const uint8_t* pad, uint8_t* out, size_t& size) {
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(entry) < 0) return -1;
#endif
  if (!PyUnicode_IS_ASCII(entry)) return 0;
  const Py_UCS1* text = PyUnicode_1BYTE_DATA(entry);
  const size_t length = static_cast<size_t>(PyUnicode_GET_LENGTH(entry));
  if (length % 2) return 0;
  size = std::min(length / 2, kPadSize);
  unsigned invalid = 0;
  for (size_t i = 0; i < size; ++i) {
    const unsigned high = kHexDigits.value[text[2 * i]];
    const unsigned low = kHexDigits.value[text[2 * i + 1]];
    invalid |= high | low;
    out[i] = static_cast<uint8_t>((high << 4 | low) ^ pad[i]);
  }
  for (size_t i = 2 * size; i < length; ++i) invalid |= kHexDigits.value[text[i]];
  return (invalid & 16) ? 0 : 1;
}

// Locker's candidate: bytes(a ^ b for a, b in zip(bytes.fromhex(entry), pad)),
// for an exact str, into a zeroed buffer of kPadSize.
bool unmask(const State& st, PyObject* entry, const uint8_t* pad, CandidateBytes& out,
            size_t& size) {
  const int paired = unmask_hex_pairs(entry, pad, out.data(), size);
  if (paired != 0) return paired > 0;
  Ref cipher = call(st.bytes_fromhex.get(), entry);
  if (!cipher) return false;
  size = std::min(static_cast<size_t>(PyBytes_GET_SIZE(cipher.get())), kPadSize);
  out.fill(0);  // the failed pairing may have left bytes behind
  const auto* bytes = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(cipher.get()));
  for (size_t i = 0; i < size; ++i) out[i] = bytes[i] ^ pad[i];
  return true;
}

Attempt vote_all(Function& fn, PyObject* self, const SeededGenerator& seeded, PyObject* n_features,
                 PyObject* bits, PyObject* counter, PyObject* stored, Ref& best, Ref& count) {
  const State& st = fn.state<State>();
  if (!PyList_CheckExact(stored) && !PyTuple_CheckExact(stored)) return Attempt::declined;
  NativeDraws draws;
  const Attempt ready = prepare_draws(fn, self, seeded, n_features, bits, draws);
  if (ready != Attempt::taken) return ready;
  // After prepare_draws, which may have run NumPy (and let other threads run).
  const int genuine = counter_is_genuine(st, counter);
  if (genuine <= 0) return genuine < 0 ? Attempt::failed : Attempt::declined;

  // The entries are taken now, with the bits: no Python code ran since the
  // checks, and none runs until the last entry is used. Between here and
  // there only bytes objects are made (bytes.fromhex of an exact str), which
  // are not tracked by the collector, so they neither start a collection nor
  // schedule one, and no eval-breaker check is passed: no finalizer or other
  // thread runs. An error ends the loop; an abandonment hands the literal loop
  // the list exactly as it was read here. The literal loop reads stored[i]
  // one at a time with Python code (the draws, Counter) in between, where a
  // collection may rewrite the list; this loop's outcome is then that of the
  // literal loop with that collection run just after it, an order the
  // collector is free to choose, as with any two runs of the same code.
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(stored);
  PyObject** items = PySequence_Fast_ITEMS(stored);
  std::vector<Ref> entries;
  entries.reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) entries.push_back(Ref::borrow(items[i]));

  PadCache pads(draws.size);
  std::vector<size_t> pad_keys;
  // A position beyond the bits: IndexError there.
  if (!draw_pads(draws, entries.size(), pads, pad_keys)) return Attempt::abandoned;
  VoteTally tally(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    PyObject* entry = entries[i].get();
    if (!PyUnicode_CheckExact(entry)) return Attempt::abandoned;  // TypeError there, or a subclass
    CandidateBytes candidate{};
    size_t size = 0;
    if (!unmask(st, entry, pads.pad(pad_keys[i]), candidate, size)) return Attempt::failed;
    tally.add(candidate, size);
  }
  const VoteTally::Candidate* winner = tally.winner();
  if (!winner) return Attempt::taken;
  best = Ref::steal(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(winner->bytes.data()),
                                              static_cast<Py_ssize_t>(winner->size)));
  if (!best) return Attempt::failed;
  count = Ref::steal(PyLong_FromSize_t(winner->votes));
  return count ? Attempt::taken : Attempt::failed;
}

}  // namespace

Native vote_lockers_native(Function& fn, PyObject* self, SeededGenerator& seeded,
                           PyObject* n_features, PyObject* bits, PyObject* counter,
                           PyObject* stored, Ref& best, Ref& count) {
  return run_native(seeded, [&] {
    return vote_all(fn, self, seeded, n_features, bits, counter, stored, best, count);
  });
}

}  // namespace orvex::fuzzy
