#include "runtime/hex.hpp"

namespace orvex {

Ref hex_str(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(PY_SSIZE_T_MAX / 2)) return Ref::steal(PyErr_NoMemory());
  Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(2 * size), 127));
  if (!text) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  Py_UCS1* out = PyUnicode_1BYTE_DATA(text.get());
  for (size_t i = 0; i < size; ++i) {
    out[2 * i] = static_cast<Py_UCS1>(kDigits[data[i] >> 4]);
    out[2 * i + 1] = static_cast<Py_UCS1>(kDigits[data[i] & 0xF]);
  }
  return text;
}

Ref hex_text(PyObject* value, PyObject* hex_name) {
  if (!PyBytes_CheckExact(value)) return call_method(value, hex_name);
  return hex_str(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value)),
                 static_cast<size_t>(PyBytes_GET_SIZE(value)));
}

}  // namespace orvex
