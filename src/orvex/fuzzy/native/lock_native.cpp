// lock_secret's lockers, natively: the same draws, pads and hex texts as the
// literal loop, with each distinct pad hashed once, and all of it but the
// making of the texts without the interpreter lock.
#include "fuzzy/native/draws.hpp"
#include "runtime/gil.hpp"
#include "runtime/hex.hpp"
#include "runtime/scratch.hpp"

#include <algorithm>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orvex::fuzzy {
namespace {

constexpr Py_ssize_t kMaxListSize = PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(PyObject*));

// How the native part ended.
enum class Drawn { done, beyond_bits, no_memory };

#if defined(__SSE2__)
// The lower-case hex of 16 bytes, with SSE2 alone (every x86-64 has it):
// each nibble n becomes '0' + n, plus 39 where n > 9.
inline void hex16(__m128i bytes, char* out) {
  const __m128i low_nibbles = _mm_set1_epi8(0x0F);
  const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibbles);
  const __m128i low = _mm_and_si128(bytes, low_nibbles);
  auto digits = [](__m128i nibbles) {
    const __m128i letters = _mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9));
    const __m128i offset =
        _mm_add_epi8(_mm_set1_epi8('0'), _mm_and_si128(letters, _mm_set1_epi8('a' - '0' - 10)));
    return _mm_add_epi8(nibbles, offset);
  };
  const __m128i first = digits(_mm_unpacklo_epi8(high, low));
  const __m128i second = digits(_mm_unpackhi_epi8(high, low));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), first);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16), second);
}
#endif

// bytes(a ^ b for a, b in zip(data, pad)).hex(). A locker's text is at most
// 64 characters: the general encoder's dispatch would cost more than the
// encoding.
void masked_hex(const uint8_t* data, const uint8_t* pad, size_t size, char* out) {
  size_t done = 0;
#if defined(__SSE2__)
  for (; done + 16 <= size; done += 16) {
    const __m128i masked =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + done)),
                      _mm_loadu_si128(reinterpret_cast<const __m128i*>(pad + done)));
    hex16(masked, out + 2 * done);
  }
#endif
  uint8_t masked[kPadSize];
  for (size_t i = done; i < size; ++i) masked[i - done] = data[i] ^ pad[i];
  hex_encode(masked, size - done, out + 2 * done);
}

// The draws, the pads and the texts, written into the characters of the new
// str objects that only this call holds: no object is made, no reference
// counted, so this runs without the interpreter lock.
Drawn draw_texts(NativeDraws& draws, const uint8_t* data, size_t size,
                 const std::vector<char*>& texts) noexcept {
  try {
    PadCache pads(draws.size);
    Scratch<size_t> pad_keys;
    if (!draw_pads(draws, texts.size(), pads, *pad_keys)) return Drawn::beyond_bits;
    for (size_t i = 0; i < texts.size(); ++i) {
      masked_hex(data, pads.pad((*pad_keys)[i]), size, texts[i]);
    }
    return Drawn::done;
  } catch (const std::bad_alloc&) {
    return Drawn::no_memory;
  }
}

Attempt lock_all(Function& fn, PyObject* self, const SeededGenerator& seeded, PyObject* n_features,
                 const FeatureBits& bits, PyObject* secret, Py_ssize_t count, Ref& lockers) {
  const State& st = fn.state<State>();
  NativeDraws draws;
  const Attempt ready = prepare_draws(fn, self, seeded, n_features, bits, draws);
  if (ready != Attempt::taken) return ready;
  // More lockers than a list can hold: the literal loop would append until
  // memory ran out, which is the same MemoryError, only much later.
  if (count > kMaxListSize) {
    PyErr_NoMemory();
    return Attempt::failed;
  }

  // The texts are made first, to be filled in later: a list is only made,
  // and filled, once no more objects are made that could start a garbage
  // collection.
  const size_t size = std::min(static_cast<size_t>(PyBytes_GET_SIZE(secret)), kPadSize);
  std::vector<Ref> made;
  Scratch<char*> texts;
  made.reserve(static_cast<size_t>(count));
  texts->reserve(static_cast<size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    made.push_back(Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(2 * size), 127)));
    if (!made.back()) return Attempt::failed;
    texts->push_back(reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(made.back().get())));
  }
  // The secret is an exact bytes object the caller holds: immutable.
  const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(secret));
  const Drawn drawn = without_gil([&] { return draw_texts(draws, data, size, *texts); });
  // Out of memory natively, the literal loop may still manage with Python's.
  if (drawn != Drawn::done) return Attempt::abandoned;
  if (!finish_draws(st, draws)) return Attempt::failed;

  lockers = Ref::steal(PyList_New(count));
  if (!lockers) return Attempt::failed;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyList_SET_ITEM(lockers.get(), i, made[static_cast<size_t>(i)].release());
  }
  return Attempt::taken;
}

}  // namespace

Native lock_lockers_native(Function& fn, PyObject* self, SeededGenerator& seeded,
                           PyObject* n_features, const FeatureBits& bits, PyObject* secret,
                           Py_ssize_t count, Ref& lockers) {
  return run_native(
      seeded, [&] { return lock_all(fn, self, seeded, n_features, bits, secret, count, lockers); });
}

}  // namespace orvex::fuzzy
