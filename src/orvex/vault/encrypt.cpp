// AESVault.encrypt: payload -> {"ciphertext", "nonce", "tag"[, "shape", "dtype"]}.
#include "runtime/module.hpp"
#include "runtime/ops.hpp"
#include "runtime/hex.hpp"
#include "vault/messages.hpp"
#include "vault/methods.hpp"
#include "vault/state.hpp"

namespace orvex::vault {
namespace {

// An array is only sealed if decrypt can give it back: its items must be
// plain data (no references to Python objects or other outside memory), have
// a size (np.frombuffer refuses empty items), and the dtype text must read
// back through np.dtype to the same dtype.
bool check_restorable_dtype(PyObject* np, const State& st, PyObject* dtype, PyObject* text) {
  Ref hasobject = getattr(dtype, st.str.hasobject);
  const int has = hasobject ? PyObject_IsTrue(hasobject.get()) : -1;
  if (has) {
    if (has > 0) PyErr_Format(PyExc_TypeError, msg::kObjectDtype, text);
    return false;
  }
  Ref itemsize = getattr(dtype, st.str.itemsize);
  const int sized = itemsize ? PyObject_IsTrue(itemsize.get()) : -1;
  if (sized <= 0) {
    if (sized == 0) PyErr_Format(PyExc_TypeError, msg::kEmptyItemDtype, text);
    return false;
  }
  Ref dtype_type = getattr(np, st.str.dtype);
  if (!dtype_type) return false;
  Ref back = call(dtype_type.get(), text);
  const int same = back ? PyObject_RichCompareBool(back.get(), dtype, Py_EQ) : 0;
  if (same > 0) return true;
  // np.dtype refuses text it can't parse with TypeError or ValueError; either
  // means the record could not be opened again. Anything else propagates.
  const bool unreadable = !back && (PyErr_ExceptionMatches(PyExc_TypeError) ||
                                    PyErr_ExceptionMatches(PyExc_ValueError));
  Ref cause = unreadable ? fetch_exception() : Ref();
  if (PyErr_Occurred()) return false;
  if (!cause) {
    PyErr_Format(PyExc_TypeError, msg::kUnreadableDtype, text);
    return false;
  }
  Ref message = Ref::steal(PyUnicode_FromFormat(msg::kUnreadableDtype, text));
  if (message) raise_from(PyExc_TypeError, message.get(), std::move(cause));
  return false;
}

// Fills plaintext and metadata for an array payload, reading tobytes(), shape
// and dtype in that order.
bool array_plaintext(PyObject* np, State& st, PyObject* payload, Ref& plaintext, Ref& metadata) {
  const bool memo = st.dtypes.applies(np, st.str.dtype);
  plaintext = call_method(payload, st.str.tobytes);
  if (!plaintext) return false;
  Ref shape_attr = getattr(payload, st.str.shape);
  if (!shape_attr) return false;
  Ref shape = Ref::steal(PySequence_List(shape_attr.get()));
  if (!shape) return false;
  Ref dtype = getattr(payload, st.str.dtype);
  if (!dtype) return false;
  Ref text = memo ? Ref::borrow(st.dtypes.known_text(dtype.get())) : Ref();
  if (!text) {
    text = Ref::steal(PyObject_Str(dtype.get()));
    if (!text || !check_restorable_dtype(np, st, dtype.get(), text.get())) return false;
    if (memo) st.dtypes.remember_text(dtype.get(), text.get());
  }
  metadata = Ref::steal(PyDict_New());
  return metadata && PyDict_SetItem(metadata.get(), st.str.shape, shape.get()) == 0 &&
         PyDict_SetItem(metadata.get(), st.str.dtype, text.get()) == 0;
}

bool set_hex(PyObject* record, PyObject* key, PyObject* value, const State& st) {
  Ref text = hex_text(value, st.str.hex);
  return text && PyDict_SetItem(record, key, text.get()) == 0;
}

}  // namespace

Ref new_gcm_cipher(const Function& fn, const State& st, PyObject* key, PyObject* nonce) {
  Ref aes = global(fn, st.str.AES);
  if (!aes) return {};
  Ref aes_new = getattr(aes.get(), st.str.new_);
  if (!aes_new) return {};
  Ref mode = getattr(aes.get(), st.str.MODE_GCM);
  if (!mode) return {};
  if (!nonce) return call(aes_new.get(), key, mode);
  return call_kw(aes_new.get(), st.kw_nonce.get(), key, mode, nonce);
}

Ref encrypt(Function& fn, Args args) {
  State& st = fn.state<State>();
  PyObject* key = args[1];
  PyObject* payload = args[2];

  Ref np = global(fn, st.str.np);
  Ref ndarray = np ? getattr(np.get(), st.str.ndarray) : Ref();
  if (!ndarray) return {};
  const int is_array = PyObject_IsInstance(payload, ndarray.get());
  if (is_array < 0) return {};
  Ref plaintext, metadata;
  if (is_array) {
    if (!array_plaintext(np.get(), st, payload, plaintext, metadata)) return {};
  } else if (PyBytes_Check(payload)) {
    plaintext = Ref::borrow(payload);
    metadata = Ref::steal(PyDict_New());
    if (!metadata) return {};
  } else {
    Ref message = concat_str(msg::kBadPayload, reinterpret_cast<PyObject*>(Py_TYPE(payload)));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return {};
  }

  Ref cipher = new_gcm_cipher(fn, st, key, nullptr);
  if (!cipher) return {};
  Ref sealed = call_method(cipher.get(), st.str.encrypt_and_digest, plaintext);
  Ref parts[2];
  if (!sealed || !unpack(sealed.get(), parts, 2)) return {};

  Ref record = Ref::steal(PyDict_New());
  if (!record || !set_hex(record.get(), st.str.ciphertext, parts[0].get(), st)) return {};
  Ref nonce = getattr(cipher.get(), st.str.nonce);
  if (!nonce || !set_hex(record.get(), st.str.nonce, nonce.get(), st) ||
      !set_hex(record.get(), st.str.tag, parts[1].get(), st) ||
      PyDict_Update(record.get(), metadata.get()) < 0) {
    return {};
  }
  return record;
}

}  // namespace orvex::vault
