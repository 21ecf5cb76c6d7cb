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

namespace {

// A writable buffer over the characters of new bytes, which it keeps alive.
struct WritableBytes {
  PyObject_HEAD PyObject* bytes;
};

int writable_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  PyObject* bytes = reinterpret_cast<WritableBytes*>(self)->bytes;
  if (!bytes) {  // made from Python, where nothing can get at the vault's bytes
    PyErr_SetString(PyExc_BufferError, "no bytes to view");
    view->obj = nullptr;
    return -1;
  }
  return PyBuffer_FillInfo(view, self, PyBytes_AS_STRING(bytes), PyBytes_GET_SIZE(bytes), 0, flags);
}

void writable_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  Py_CLEAR(reinterpret_cast<WritableBytes*>(self)->bytes);
  type->tp_free(self);
  Py_DECREF(type);
}

PyType_Slot kWritableSlots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void*>(writable_getbuffer)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writable_dealloc)},
    {0, nullptr},
};

PyType_Spec kWritableSpec = {
    "orvex.vault._WritableBytes", sizeof(WritableBytes), 0, Py_TPFLAGS_DEFAULT, kWritableSlots,
};

// Whether `view` (held by the caller) was the only way into its exporter:
// nothing holds the view or a buffer taken from it. Releases it if so.
bool released_alone(PyObject* view) {
  if (Py_REFCNT(view) != 1) return false;
  // BufferError: a buffer taken from the view is still held.
  Ref done = Ref::steal(PyObject_CallMethod(view, "release", nullptr));
  if (!done) PyErr_Clear();
  return static_cast<bool>(done);
}

}  // namespace

Ref make_writable_bytes_type() {
  return Ref::steal(PyType_FromSpec(&kWritableSpec));
}

Ref open_in_bytes(const Genuine& g, PyObject* cipher, Ref ciphertext, PyObject* tag) {
  auto* type = reinterpret_cast<PyTypeObject*>(g.writable_type.get());
  Ref writable = Ref::steal(type->tp_alloc(type, 0));
  if (!writable) return {};
  reinterpret_cast<WritableBytes*>(writable.get())->bytes = Ref::borrow(ciphertext.get()).release();
  Ref view = Ref::steal(PyMemoryView_FromObject(writable.get()));
  if (!view) return {};
  Ref opened =
      call_kw(g.methods[kDecryptAndVerify].get(), g.kw_output.get(), cipher, view, tag, view);
  if (!opened) return {};
  const bool alone = released_alone(view.get());
  view = Ref();
  if (alone && Py_REFCNT(writable.get()) == 1) return ciphertext;
  return Ref::steal(PyBytes_FromStringAndSize(PyBytes_AS_STRING(ciphertext.get()),
                                              PyBytes_GET_SIZE(ciphertext.get())));
}

}  // namespace orvex::vault
