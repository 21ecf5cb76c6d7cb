// Hex text of bytes, made in one allocation.
#pragma once

#include "runtime/ref.hpp"

namespace orvex {

// bytes(in[0:n]).hex(), written directly into a new ASCII str.
Ref hex_str(const unsigned char* in, Py_ssize_t n);

// value.hex(): written directly for exact bytes, otherwise the method is called.
Ref hex_text(PyObject* value, PyObject* hex_name);

}  // namespace orvex
