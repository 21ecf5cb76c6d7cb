#include "vault/in_place.hpp"

namespace orvex::vault {

uint8_t* CipherBytes::data() const {
  return reinterpret_cast<uint8_t*>(PyByteArray_AS_STRING(buffer.get()));
}

PyObject* CipherBytes::object() {
  if (!bytes && buffer) {
    bytes = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(buffer.get()),
                                                 static_cast<Py_ssize_t>(size)));
  }
  return bytes.get();
}

bool CipherBytes::take_buffer(const Genuine& g, size_t n) {
  PyObject* kept_by_thread = PyThreadState_GetDict();  // borrowed; null: no thread state
  if (kept_by_thread) {
    buffer = Ref::borrow(PyDict_GetItemWithError(kept_by_thread, g.buffer_key.get()));
    if (buffer ? PyDict_DelItem(kept_by_thread, g.buffer_key.get()) < 0
               : PyErr_Occurred() != nullptr)
      return false;
  }
  if (!buffer) buffer = Ref::steal(PyByteArray_FromStringAndSize(nullptr, 0));
  if (!buffer || PyByteArray_Resize(buffer.get(), static_cast<Py_ssize_t>(n)) < 0) return false;
  size = n;
  return true;
}

void CipherBytes::give_back(const Genuine& g) {
  Ref held = std::move(buffer);
  if (!held || Py_REFCNT(held.get()) != 1 || size > kKeepBufferBytes) return;
  PyObject* kept_by_thread = PyThreadState_GetDict();
  // A buffer that can't be kept is only a buffer made again next time.
  if (kept_by_thread && PyDict_SetItem(kept_by_thread, g.buffer_key.get(), held.get()) < 0) {
    PyErr_Clear();
  }
}

Ref seal_into_buffer(const Genuine& g, PyObject* cipher, CipherBytes& text) {
  PyObject* plaintext = text.bytes ? text.bytes.get() : text.buffer.get();
  return call_kw(g.methods[kEncryptAndDigest].get(), g.kw_output.get(), cipher, plaintext,
                 text.buffer);
}

Ref open_in_buffer(const Genuine& g, PyObject* cipher, CipherBytes& text, PyObject* tag) {
  Ref opened = call_kw(g.methods[kDecryptAndVerify].get(), g.kw_output.get(), cipher, text.buffer,
                       tag, text.buffer);
  if (!opened) return {};
  return Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(text.buffer.get()),
                                              static_cast<Py_ssize_t>(text.size)));
}

}  // namespace orvex::vault
