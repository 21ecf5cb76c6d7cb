// AESVault.encrypt: payload -> {"ciphertext", "nonce", "tag"[, "shape", "dtype"]}.
#include "runtime/hex.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"
#include "vault/in_place.hpp"
#include "vault/messages.hpp"
#include "vault/methods.hpp"
#include "vault/state.hpp"

#include <cstring>

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

// True with a large NumPy array's bytes copied into this thread's buffer:
// what tobytes() returns, without a new object to fault in. The copy is taken
// with the interpreter lock held, so no Python code changes the array
// meanwhile, and the cipher never sees the caller's memory. False (and no
// exception) where tobytes() must give them: np or the array's type not
// NumPy's own, an array below kInPlaceFrom bytes or not C-contiguous, a
// cipher known not to seal in place.
int copy_array(PyObject* np, PyObject* ndarray, const Genuine& g, PyObject* payload,
               CipherBytes& plaintext) {
  if (!g.complete || g.verdict == InPlaceVerdict::differs || np != g.numpy.get() ||
      ndarray != g.ndarray.get() || Py_TYPE(payload) != reinterpret_cast<PyTypeObject*>(ndarray)) {
    return 0;
  }
  // NumPy's buffer of an array runs no Python code; it refuses arrays that
  // are not C-contiguous, whose bytes tobytes() gathers instead.
  Py_buffer view;
  if (PyObject_GetBuffer(payload, &view, PyBUF_SIMPLE) < 0) {
    PyErr_Clear();
    return 0;
  }
  const auto size = static_cast<size_t>(view.len);
  const bool large = size >= kInPlaceFrom;
  const bool taken = large && plaintext.take_buffer(g, size);
  if (taken) std::memcpy(plaintext.data(), view.buf, size);
  PyBuffer_Release(&view);
  return !large ? 0 : taken ? 1 : -1;
}

// Fills plaintext and metadata for an array payload, reading tobytes(), shape
// and dtype in that order.
bool array_plaintext(PyObject* np, PyObject* ndarray, State& st, PyObject* payload,
                     CipherBytes& plaintext, Ref& metadata) {
  const bool memo = st.dtypes.applies(np, st.str.dtype);
  const int copied = copy_array(np, ndarray, st.genuine, payload, plaintext);
  if (copied < 0) return false;
  if (!copied) {
    plaintext.bytes = call_method(payload, st.str.tobytes);
    if (!plaintext.bytes) return false;
  }
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

// What encrypt_and_digest gave: (ciphertext, tag), the ciphertext being None
// when the cipher wrote it into the plaintext's buffer.
struct Sealed {
  Ref parts[2];
  bool in_buffer = false;
};

// Through the genuine cipher, in this thread's buffer: the array's copy
// sealed where it lies, or a large bytes plaintext sealed into it.
int seal_in_buffer(State& st, PyObject* cipher, CipherBytes& plaintext, Sealed& sealed) {
  const int agrees = in_place_agrees(st.genuine);
  if (agrees <= 0) return agrees;
  if (!plaintext.buffer && !plaintext.take_buffer(st.genuine, plaintext.size)) return -1;
  Ref result = seal_into_buffer(st.genuine, cipher, plaintext);
  if (!result || !unpack(result.get(), sealed.parts, 2)) return -1;
  sealed.in_buffer = true;
  return 1;
}

bool seal(const Function& fn, State& st, PyObject* key, CipherBytes& plaintext, Sealed& sealed,
          Ref& cipher) {
  const bool large = plaintext.size >= kInPlaceFrom;
  GcmCipher made = new_gcm_cipher(fn, st, key, nullptr, large, kEncryptAndDigest, kDigest);
  cipher = std::move(made.cipher);
  if (!cipher) return false;
  if (made.genuine) {
    const int done = seal_in_buffer(st, cipher.get(), plaintext, sealed);
    if (done) return done > 0;
  }
  PyObject* bytes = plaintext.object();
  if (!bytes) return false;
  Ref result = call_method(cipher.get(), st.str.encrypt_and_digest, bytes);
  return result && unpack(result.get(), sealed.parts, 2);
}

bool set_hex(PyObject* record, PyObject* key, PyObject* value, const State& st) {
  Ref text = hex_text(value, st.str.hex);
  return text && PyDict_SetItem(record, key, text.get()) == 0;
}

// record["ciphertext"] = ciphertext.hex(), from wherever the cipher put it.
bool set_ciphertext(PyObject* record, const Sealed& sealed, const CipherBytes& text,
                    const State& st) {
  if (!sealed.in_buffer) return set_hex(record, st.str.ciphertext, sealed.parts[0].get(), st);
  Ref hex = hex_str(text.data(), static_cast<Py_ssize_t>(text.size));
  return hex && PyDict_SetItem(record, st.str.ciphertext, hex.get()) == 0;
}

}  // namespace

GcmCipher new_gcm_cipher(const Function& fn, const State& st, PyObject* key, PyObject* nonce,
                         bool in_place, Method first, Method last) {
  GcmCipher made;
  Ref aes = global(fn, st.str.AES);
  if (!aes) return made;
  Ref aes_new = getattr(aes.get(), st.str.new_);
  if (!aes_new) return made;
  Ref mode = getattr(aes.get(), st.str.MODE_GCM);
  if (!mode) return made;
  made.cipher = nonce ? call_kw(aes_new.get(), st.kw_nonce.get(), key, mode, nonce)
                      : call(aes_new.get(), key, mode);
  made.genuine = in_place && made.cipher &&
                 is_genuine_cipher(st.genuine, aes.get(), aes_new.get(), mode.get(),
                                   made.cipher.get(), first, last);
  return made;
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
  CipherBytes plaintext;
  Ref metadata;
  if (is_array) {
    if (!array_plaintext(np.get(), ndarray.get(), st, payload, plaintext, metadata)) return {};
  } else if (PyBytes_Check(payload)) {
    plaintext.bytes = Ref::borrow(payload);
    metadata = Ref::steal(PyDict_New());
    if (!metadata) return {};
  } else {
    Ref message = concat_str(msg::kBadPayload, reinterpret_cast<PyObject*>(Py_TYPE(payload)));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return {};
  }
  if (plaintext.bytes && PyBytes_Check(plaintext.bytes.get())) {
    plaintext.size = static_cast<size_t>(PyBytes_GET_SIZE(plaintext.bytes.get()));
  }

  Sealed sealed;
  Ref cipher;
  if (!seal(fn, st, key, plaintext, sealed, cipher)) return {};

  Ref record = Ref::steal(PyDict_New());
  if (!record || !set_ciphertext(record.get(), sealed, plaintext, st)) return {};
  plaintext.give_back(st.genuine);
  Ref nonce = getattr(cipher.get(), st.str.nonce);
  if (!nonce || !set_hex(record.get(), st.str.nonce, nonce.get(), st) ||
      !set_hex(record.get(), st.str.tag, sealed.parts[1].get(), st) ||
      PyDict_Update(record.get(), metadata.get()) < 0) {
    return {};
  }
  return record;
}

}  // namespace orvex::vault
