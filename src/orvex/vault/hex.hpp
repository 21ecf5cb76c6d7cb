// Hex text of bytes and back, made in one allocation; large payloads are
// converted without the interpreter lock.
#pragma once

#include "runtime/ref.hpp"

namespace orvex::vault {

// value.hex(): written directly for exact bytes, otherwise the method is called.
Ref hex_text(PyObject* value, PyObject* hex_name);

// bytes.fromhex(text): read directly where `text` is an exact str of hex
// digit pairs and nothing else, otherwise `fromhex` itself is called.
Ref hex_bytes(PyObject* text, PyObject* fromhex);

}  // namespace orvex::vault
