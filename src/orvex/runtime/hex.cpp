#include "runtime/hex.hpp"

namespace orvex {

Ref hex_str(const unsigned char* in, Py_ssize_t n) {
  if (n > PY_SSIZE_T_MAX / 2) return Ref::steal(PyErr_NoMemory());
  Ref text = Ref::steal(PyUnicode_New(2 * n, 127));
  if (!text) return {};
  static constexpr char kDigits[] = "0123456789abcdef";
  auto* out = static_cast<Py_UCS1*>(PyUnicode_DATA(text.get()));
  for (Py_ssize_t i = 0; i < n; ++i) {
    out[2 * i] = static_cast<Py_UCS1>(kDigits[in[i] >> 4]);
    out[2 * i + 1] = static_cast<Py_UCS1>(kDigits[in[i] & 0xF]);
  }
  return text;
}

Ref hex_text(PyObject* value, PyObject* hex_name) {
  if (!PyBytes_CheckExact(value)) return call_method(value, hex_name);
  const Py_ssize_t n = PyBytes_GET_SIZE(value);
  const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(value));
  return hex_str(in, n);
}

}  // namespace orvex
