// Hex text of bytes, made in one allocation.
#pragma once

#include "runtime/ref.hpp"

namespace orvex {

// value.hex(): written directly for exact bytes, otherwise the method is called.
Ref hex_text(PyObject* value, PyObject* hex_name);

}  // namespace orvex
