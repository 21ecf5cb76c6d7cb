// Hex text of bytes and back, at memory speed: AVX-512 (with VBMI's byte
// permutes), AVX2 or SSSE3 where the processor has them (decided once, at run
// time), a table otherwise. Large texts are converted without the interpreter
// lock.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace orvex {

// out[0..2 * size) = the lower-case hex digits of in[0..size), as bytes.hex().
void hex_encode(const uint8_t* in, size_t size, char* out);

// out[0..size) = the bytes that the 2 * size hex digits at `in` (either case,
// in pairs, nothing else) spell. False when any of those characters is not a
// hex digit; `out` then holds partial results. Whatever else bytes.fromhex
// accepts (whitespace between pairs) is left to it.
[[nodiscard]] bool hex_decode(const char* in, size_t size, uint8_t* out);

// Every implementation by name, so that tests can hold each against the
// others whichever the processor would choose. SSSE3 decodes with the table.
enum class HexCodec : unsigned char { portable, ssse3, avx2, avx512vbmi };

// Whether this processor (and ORVEX_PORTABLE) allows `kind`.
bool hex_codec_usable(HexCodec kind);
// hex_encode and hex_decode through `kind`, which must be usable.
void hex_encode_with(HexCodec kind, const uint8_t* in, size_t size, char* out);
[[nodiscard]] bool hex_decode_with(HexCodec kind, const char* in, size_t size, uint8_t* out);

// bytes(in[0:n]).hex(), written straight into a new ASCII str in one
// allocation: two lowercase digits a byte.
Ref hex_str(const unsigned char* in, Py_ssize_t n);

// value.hex(): written directly for exact bytes, otherwise the method is called.
Ref hex_text(PyObject* value, PyObject* hex_name);

// bytes.fromhex(text): read directly where `text` is an exact str of hex
// digit pairs and nothing else, otherwise `fromhex` itself is called.
Ref hex_bytes(PyObject* text, PyObject* fromhex);

// For an exact str of ASCII characters of even length (1): its characters,
// and how many bytes they would spell as digit pairs; 0 for any other text,
// -1 with an exception. The characters live as long as the text.
int hex_pairs(PyObject* text, const char*& chars, size_t& size);

// out[0..size) = the bytes that 2 * size characters from hex_pairs spell,
// read without the interpreter lock when large (`out` must be memory no one
// else can reach meanwhile). False where they are not all hex digits.
[[nodiscard]] bool hex_read(const char* chars, size_t size, uint8_t* out);

}  // namespace orvex
