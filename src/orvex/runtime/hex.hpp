// Hex text of bytes and back, at memory speed: AVX2 or SSSE3 where the
// processor has them (decided once, at run time), a table otherwise. Large
// texts are converted without the interpreter lock.
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

// bytes(in[0:n]).hex(), written straight into a new ASCII str in one
// allocation: two lowercase digits a byte.
Ref hex_str(const unsigned char* in, Py_ssize_t n);

// value.hex(): written directly for exact bytes, otherwise the method is called.
Ref hex_text(PyObject* value, PyObject* hex_name);

// bytes.fromhex(text): read directly where `text` is an exact str of hex
// digit pairs and nothing else, otherwise `fromhex` itself is called.
Ref hex_bytes(PyObject* text, PyObject* fromhex);

}  // namespace orvex
