#include "vault/hex.hpp"

#include "runtime/gil.hpp"
#include "runtime/hex.hpp"

namespace orvex::vault {
namespace {

// Above this many bytes the conversion runs without the interpreter lock;
// below it, taking the lock back would cost more than the work.
constexpr Py_ssize_t kReleaseAbove = 64 * 1024;

}  // namespace

Ref hex_text(PyObject* value, PyObject* hex_name) {
  if (!PyBytes_CheckExact(value)) return call_method(value, hex_name);
  const Py_ssize_t n = PyBytes_GET_SIZE(value);
  if (n > PY_SSIZE_T_MAX / 2) return Ref::steal(PyErr_NoMemory());
  Ref text = Ref::steal(PyUnicode_New(2 * n, 127));
  if (!text) return {};
  // Both are only read and written here: the bytes are immutable and held by
  // the caller, and the new text is not yet seen by anyone.
  const auto* in = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(value));
  auto* out = reinterpret_cast<char*>(PyUnicode_DATA(text.get()));
  const auto size = static_cast<size_t>(n);
  if (n > kReleaseAbove) {
    without_gil([&] {
      hex_encode(in, size, out);
      return 0;
    });
  } else {
    hex_encode(in, size, out);
  }
  return text;
}

Ref hex_bytes(PyObject* text, PyObject* fromhex) {
  if (!PyUnicode_CheckExact(text)) return call(fromhex, text);
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text) < 0) return {};
#endif
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  if (!PyUnicode_IS_ASCII(text) || length % 2) return call(fromhex, text);
  Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, length / 2));
  if (!out) return {};
  const auto* in = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(text));
  auto* bytes = reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out.get()));
  const auto size = static_cast<size_t>(length / 2);
  const bool read = length / 2 > kReleaseAbove
                        ? without_gil([&] { return hex_decode(in, size, bytes); })
                        : hex_decode(in, size, bytes);
  // Whitespace between pairs, or anything bytes.fromhex refuses: its own
  // reading, and its own error.
  return read ? out : call(fromhex, text);
}

}  // namespace orvex::vault
