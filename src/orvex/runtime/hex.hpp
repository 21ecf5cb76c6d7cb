// Hex text of bytes, written straight into a new ASCII str in one allocation.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>
#include <cstdint>

namespace orvex {

// bytes(data[0:size]).hex(): two lowercase digits a byte.
Ref hex_str(const uint8_t* data, size_t size);

// value.hex(): written directly for exact bytes, otherwise the method is called.
Ref hex_text(PyObject* value, PyObject* hex_name);

}  // namespace orvex
