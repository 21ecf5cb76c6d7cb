#include "runtime/hex.hpp"

#include "runtime/cpu.hpp"
#include "runtime/gil.hpp"

#include <algorithm>
#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define ORVEX_HEX_X86 1
#else
#define ORVEX_HEX_X86 0
#endif

namespace orvex {
namespace {

constexpr char kDigits[] = "0123456789abcdef";

// The value of each hex digit character, 16 for every other byte.
struct DigitValues {
  uint8_t value[256];
  constexpr DigitValues() : value() {
    for (int c = 0; c < 256; ++c) {
      value[c] = c >= '0' && c <= '9'   ? static_cast<uint8_t>(c - '0')
                 : c >= 'a' && c <= 'f' ? static_cast<uint8_t>(c - 'a' + 10)
                 : c >= 'A' && c <= 'F' ? static_cast<uint8_t>(c - 'A' + 10)
                                        : 16;
    }
  }
};
constexpr DigitValues kValues;

void encode_portable(const uint8_t* in, size_t size, char* out) {
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = kDigits[in[i] >> 4];
    out[2 * i + 1] = kDigits[in[i] & 15];
  }
}

// The table lookup has no branches: digits of random bytes defeat prediction.
bool decode_portable(const char* in, size_t size, uint8_t* out) {
  unsigned invalid = 0;
  for (size_t i = 0; i < size; ++i) {
    const unsigned high = kValues.value[static_cast<uint8_t>(in[2 * i])];
    const unsigned low = kValues.value[static_cast<uint8_t>(in[2 * i + 1])];
    invalid |= high | low;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return (invalid & 16) == 0;
}

#if ORVEX_HEX_X86
// Each byte's two nibbles looked up as digits in a 16-entry table
// (pshufb), then interleaved high, low.
__attribute__((target("ssse3"))) void encode_ssse3(const uint8_t* in, size_t size, char* out) {
  const __m128i digits = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kDigits));
  const __m128i nibble = _mm_set1_epi8(0x0f);
  size_t i = 0;
  for (; i + 16 <= size; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
    const __m128i high = _mm_shuffle_epi8(digits, _mm_and_si128(_mm_srli_epi16(bytes, 4), nibble));
    const __m128i low = _mm_shuffle_epi8(digits, _mm_and_si128(bytes, nibble));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_unpacklo_epi8(high, low));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i + 16), _mm_unpackhi_epi8(high, low));
  }
  encode_portable(in + i, size - i, out + 2 * i);
}

__attribute__((target("avx2"))) void encode_avx2(const uint8_t* in, size_t size, char* out) {
  const __m256i digits =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(kDigits)));
  const __m256i nibble = _mm256_set1_epi8(0x0f);
  // Stores that fill whole cache lines, as in encode_avx512.
  const auto address = reinterpret_cast<uintptr_t>(out);
  size_t i = address % 2 ? 0 : std::min(size, (32 - address % 32) % 32 / 2);
  encode_portable(in, i, out);
  for (; i + 32 <= size; i += 32) {
    const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i));
    const __m256i high =
        _mm256_shuffle_epi8(digits, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble));
    const __m256i low = _mm256_shuffle_epi8(digits, _mm256_and_si256(bytes, nibble));
    // Interleaving works within 128-bit halves: bytes 0-7 and 16-23, then
    // 8-15 and 24-31; the halves are put back in order.
    const __m256i first = _mm256_unpacklo_epi8(high, low);
    const __m256i second = _mm256_unpackhi_epi8(high, low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                        _mm256_permute2x128_si256(first, second, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i + 32),
                        _mm256_permute2x128_si256(first, second, 0x31));
  }
  // The rest without leaving AVX encoding (mixing in SSE code costs a
  // transition): the table does it.
  encode_portable(in + i, size - i, out + 2 * i);
}

// The values of 32 characters (0xff where not all are hex digits):
// c - '0' for digits, (c | 0x20) - 'a' + 10 for letters of either case.
__attribute__((target("avx2"))) inline __m256i digit_values(__m256i chars, __m256i& valid) {
  const __m256i digit = _mm256_sub_epi8(chars, _mm256_set1_epi8('0'));
  const __m256i letter =
      _mm256_sub_epi8(_mm256_or_si256(chars, _mm256_set1_epi8(0x20)), _mm256_set1_epi8('a'));
  const __m256i is_digit = _mm256_cmpeq_epi8(_mm256_min_epu8(digit, _mm256_set1_epi8(9)), digit);
  const __m256i is_letter = _mm256_cmpeq_epi8(_mm256_min_epu8(letter, _mm256_set1_epi8(5)), letter);
  valid = _mm256_and_si256(valid, _mm256_or_si256(is_digit, is_letter));
  return _mm256_blendv_epi8(_mm256_add_epi8(letter, _mm256_set1_epi8(10)), digit, is_digit);
}

__attribute__((target("avx2"))) bool decode_avx2(const char* in, size_t size, uint8_t* out) {
  // Pairs of values combine as high * 16 + low (pmaddubsw), then pack to bytes.
  const __m256i weights = _mm256_set1_epi16(0x0110);
  __m256i valid = _mm256_set1_epi8(-1);
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * i));
    const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * i + 32));
    const __m256i words_a = _mm256_maddubs_epi16(digit_values(a, valid), weights);
    const __m256i words_b = _mm256_maddubs_epi16(digit_values(b, valid), weights);
    // packus works within 128-bit halves; the quarters are put back in order.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi16(words_a, words_b), 0xD8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), packed);
  }
  const bool all_valid = _mm256_movemask_epi8(valid) == -1;
  return decode_portable(in + 2 * i, size - i, out + i) && all_valid;
}

// 64 bytes at a time: the nibbles looked up as digits (vpshufb within each
// 128-bit lane), then the high and low digits interleaved across the whole
// register by two-source byte permutes. A tail shorter than a register is
// loaded and stored under masks, so no scalar loop follows.
struct Interleave {
  uint8_t first[64];   // digit pairs of bytes 0-31
  uint8_t second[64];  // digit pairs of bytes 32-63
  char digits[64];     // kDigits in each 128-bit lane, for vpshufb
  constexpr Interleave() : first(), second(), digits() {
    for (int k = 0; k < 64; ++k) digits[k] = kDigits[k % 16];
    for (int k = 0; k < 32; ++k) {
      first[2 * k] = static_cast<uint8_t>(k);
      first[2 * k + 1] = static_cast<uint8_t>(64 + k);
      second[2 * k] = static_cast<uint8_t>(32 + k);
      second[2 * k + 1] = static_cast<uint8_t>(96 + k);
    }
  }
};
constexpr Interleave kInterleave;

// The value of every character below 128 that is a hex digit, 0x80 for the
// others (characters from 128 up carry their own high bit).
struct AsciiValues {
  uint8_t value[128];
  constexpr AsciiValues() : value() {
    for (int c = 0; c < 128; ++c) {
      value[c] = kValues.value[c] == 16 ? 0x80 : kValues.value[c];
    }
  }
};
constexpr AsciiValues kAsciiValues;

struct EvenBytes {
  uint8_t index[64];
  constexpr EvenBytes() : index() {
    for (int k = 0; k < 64; ++k) index[k] = static_cast<uint8_t>(2 * k);
  }
};
constexpr EvenBytes kEvenBytes;

#define ORVEX_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

// The first n bits set (n <= 64).
inline __mmask64 first_bits(size_t n) {
  return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

ORVEX_AVX512 inline void digit_pairs(__m512i bytes, __m512i& first, __m512i& second) {
  const __m512i digits = _mm512_loadu_si512(kInterleave.digits);
  const __m512i nibble = _mm512_set1_epi8(0x0f);
  const __m512i high =
      _mm512_shuffle_epi8(digits, _mm512_and_si512(_mm512_srli_epi16(bytes, 4), nibble));
  const __m512i low = _mm512_shuffle_epi8(digits, _mm512_and_si512(bytes, nibble));
  first = _mm512_permutex2var_epi8(high, _mm512_loadu_si512(kInterleave.first), low);
  second = _mm512_permutex2var_epi8(high, _mm512_loadu_si512(kInterleave.second), low);
}

// Up to 64 bytes, loaded and stored under masks.
ORVEX_AVX512 inline void encode_few_avx512(const uint8_t* in, size_t size, char* out) {
  __m512i first, second;
  digit_pairs(_mm512_maskz_loadu_epi8(first_bits(size), in), first, second);
  _mm512_mask_storeu_epi8(out, first_bits(2 * size), first);
  if (size > 32) _mm512_mask_storeu_epi8(out + 64, first_bits(2 * size - 64), second);
}

ORVEX_AVX512 void encode_avx512(const uint8_t* in, size_t size, char* out) {
  // A store that straddles two cache lines costs about two: the first few
  // bytes are written apart, so that the loop's stores fill whole lines (a
  // str's characters start 8 bytes past a 16-byte boundary, say). Digits
  // come in pairs, so only an even address can be brought into line.
  const auto address = reinterpret_cast<uintptr_t>(out);
  const size_t head = address % 2 ? 0 : std::min(size, (64 - address % 64) % 64 / 2);
  if (head) encode_few_avx512(in, head, out);
  __m512i first, second;
  size_t i = head;
  for (; i + 64 <= size; i += 64) {
    digit_pairs(_mm512_loadu_si512(in + i), first, second);
    _mm512_storeu_si512(out + 2 * i, first);
    _mm512_storeu_si512(out + 2 * i + 64, second);
  }
  if (i < size) encode_few_avx512(in + i, size - i, out + 2 * i);
}

ORVEX_AVX512 inline __m512i ascii_values(__m512i chars) {
  return _mm512_permutex2var_epi8(_mm512_loadu_si512(kAsciiValues.value), chars,
                                  _mm512_loadu_si512(kAsciiValues.value + 64));
}

// The 64 bytes spelled by the values of 128 characters: high * 16 + low in
// each 16-bit word, then the words' low bytes in order.
ORVEX_AVX512 inline __m512i join_pairs(__m512i first, __m512i second) {
  const __m512i weights = _mm512_set1_epi16(0x0110);
  return _mm512_permutex2var_epi8(_mm512_maddubs_epi16(first, weights),
                                  _mm512_loadu_si512(kEvenBytes.index),
                                  _mm512_maddubs_epi16(second, weights));
}

// Up to 64 bytes from 2 * size characters, loaded and stored under masks:
// lanes past the text load as zero, no digit, so only the loaded ones count.
ORVEX_AVX512 inline bool decode_few_avx512(const char* in, size_t size, uint8_t* out) {
  const __m512i high_bit = _mm512_set1_epi8(static_cast<char>(0x80));
  const __mmask64 in_a = first_bits(2 * size);
  const __mmask64 in_b = size > 32 ? first_bits(2 * size - 64) : 0;
  const __m512i a = _mm512_maskz_loadu_epi8(in_a, in);
  const __m512i b = _mm512_maskz_loadu_epi8(in_b, in + 64);
  const __m512i va = ascii_values(a);
  const __m512i vb = ascii_values(b);
  _mm512_mask_storeu_epi8(out, first_bits(size), join_pairs(va, vb));
  return _mm512_mask_test_epi8_mask(in_a, _mm512_or_si512(a, va), high_bit) == 0 &&
         _mm512_mask_test_epi8_mask(in_b, _mm512_or_si512(b, vb), high_bit) == 0;
}

ORVEX_AVX512 bool decode_avx512(const char* in, size_t size, uint8_t* out) {
  // The first few bytes apart, so that the loop's stores fill whole cache
  // lines (see encode_avx512).
  const size_t head = std::min(size, (64 - reinterpret_cast<uintptr_t>(out) % 64) % 64);
  bool valid = head == 0 || decode_few_avx512(in, head, out);
  // Gathers every character and value: its high bit ends up set if any
  // character was not a hex digit.
  __m512i seen = _mm512_setzero_si512();
  size_t i = head;
  for (; i + 64 <= size; i += 64) {
    const __m512i a = _mm512_loadu_si512(in + 2 * i);
    const __m512i b = _mm512_loadu_si512(in + 2 * i + 64);
    const __m512i va = ascii_values(a);
    const __m512i vb = ascii_values(b);
    seen = _mm512_ternarylogic_epi64(seen, _mm512_or_si512(a, b), _mm512_or_si512(va, vb), 0xFE);
    _mm512_storeu_si512(out + i, join_pairs(va, vb));
  }
  const __m512i high_bit = _mm512_set1_epi8(static_cast<char>(0x80));
  valid = valid && _mm512_test_epi8_mask(seen, high_bit) == 0;
  if (i == size) return valid;
  return decode_few_avx512(in + 2 * i, size - i, out + i) && valid;
}
#endif

struct Codec {
  void (*encode)(const uint8_t*, size_t, char*);
  bool (*decode)(const char*, size_t, uint8_t*);
};

// Each codec with what the processor must have for it; none where the build
// targets another architecture.
Codec codec_of(HexCodec kind) {
  switch (kind) {
#if ORVEX_HEX_X86
    case HexCodec::avx512vbmi:
      return {encode_avx512, decode_avx512};
    case HexCodec::avx2:
      return {encode_avx2, decode_avx2};
    case HexCodec::ssse3:
      return {encode_ssse3, decode_portable};
#endif
    default:
      return {encode_portable, decode_portable};
  }
}

HexCodec choose() {
  constexpr HexCodec kFastestFirst[] = {HexCodec::avx512vbmi, HexCodec::avx2, HexCodec::ssse3};
  for (HexCodec kind : kFastestFirst) {
    if (hex_codec_usable(kind)) return kind;
  }
  return HexCodec::portable;
}

const Codec& codec() {
  static const Codec chosen = codec_of(choose());
  return chosen;
}

// Short texts (a locker's, a nonce) are not worth the vector set-up.
constexpr size_t kShort = 32;

// Above this many bytes the conversion runs without the interpreter lock;
// below it, taking the lock back would cost more than the work.
constexpr size_t kReleaseAbove = 64 * 1024;

}  // namespace

bool hex_codec_usable(HexCodec kind) {
  const cpu::Features& f = cpu::features();
  switch (kind) {
    case HexCodec::portable:
      return true;
    case HexCodec::ssse3:
      return ORVEX_HEX_X86 && f.ssse3;
    case HexCodec::avx2:
      return ORVEX_HEX_X86 && f.avx2;
    case HexCodec::avx512vbmi:
      return ORVEX_HEX_X86 && f.avx512vbmi;
  }
  return false;
}

void hex_encode_with(HexCodec kind, const uint8_t* in, size_t size, char* out) {
  codec_of(kind).encode(in, size, out);
}

bool hex_decode_with(HexCodec kind, const char* in, size_t size, uint8_t* out) {
  return codec_of(kind).decode(in, size, out);
}

void hex_encode(const uint8_t* in, size_t size, char* out) {
  if (size <= kShort) {
    encode_portable(in, size, out);
  } else {
    codec().encode(in, size, out);
  }
}

bool hex_decode(const char* in, size_t size, uint8_t* out) {
  return size <= kShort ? decode_portable(in, size, out) : codec().decode(in, size, out);
}

Ref hex_str(const unsigned char* in, Py_ssize_t n) {
  if (n > PY_SSIZE_T_MAX / 2) return Ref::steal(PyErr_NoMemory());
  Ref text = Ref::steal(PyUnicode_New(2 * n, 127));
  if (!text) return {};
  // The new text is not yet seen by anyone, and the caller keeps `in`
  // alive and unchanged.
  auto* out = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(text.get()));
  const auto size = static_cast<size_t>(n);
  if (size > kReleaseAbove) {
    without_gil([&] {
      hex_encode(in, size, out);
      return 0;
    });
  } else {
    hex_encode(in, size, out);
  }
  return text;
}

void hex_write(const uint8_t* in, size_t size, char* out) {
  if (size <= kReleaseAbove) return hex_encode(in, size, out);
  without_gil([&] {
    hex_encode(in, size, out);
    return 0;
  });
}

Ref hex_text(PyObject* value, PyObject* hex_name) {
  if (!PyBytes_CheckExact(value)) return call_method(value, hex_name);
  // Exact bytes are immutable.
  return hex_str(reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value)),
                 PyBytes_GET_SIZE(value));
}

int hex_pairs(PyObject* text, const char*& chars, size_t& size) {
  if (!PyUnicode_CheckExact(text)) return 0;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) return -1;
#endif
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (!PyUnicode_IS_ASCII(text) || length % 2) return 0;
  chars = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
  size = static_cast<size_t>(length / 2);
  return 1;
}

bool hex_read(const char* chars, size_t size, uint8_t* out) {
  return size > kReleaseAbove ? without_gil([&] { return hex_decode(chars, size, out); })
                              : hex_decode(chars, size, out);
}

Ref hex_bytes(PyObject* text, PyObject* fromhex) {
  const char* chars = nullptr;
  size_t size = 0;
  const int pairs = hex_pairs(text, chars, size);
  if (pairs < 0) return {};
  if (!pairs) return call(fromhex, text);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!out) return {};
  // The new bytes are not yet seen by anyone.
  const bool read = hex_read(chars, size, reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get())));
  // Whitespace between pairs, or anything bytes.fromhex refuses: its own
  // reading, and its own error.
  return read ? out : call(fromhex, text);
}

}  // namespace orvex
