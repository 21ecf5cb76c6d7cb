#include "vault/genuine.hpp"

#include "runtime/module.hpp"
#include "runtime/ops.hpp"
#include "vault/in_place.hpp"

#include <cstring>
#include <vector>

namespace orvex::vault {
namespace {

constexpr const char* kMethodNames[kMethods] = {
    "encrypt_and_digest", "encrypt", "digest", "decrypt_and_verify", "decrypt", "verify",
};

bool capture(PyObject* numpy, PyObject* aes, Genuine& g) {
  g.numpy = Ref::borrow(numpy);
  g.ndarray = Ref::steal(PyObject_GetAttrString(numpy, "ndarray"));
  g.aes = Ref::borrow(aes);
  g.aes_new = Ref::steal(PyObject_GetAttrString(aes, "new"));
  g.mode_gcm = Ref::steal(PyObject_GetAttrString(aes, "MODE_GCM"));
  // PyCryptodome imports its GCM module on the first GCM cipher; the vault
  // makes nothing else.
  g.gcm_type = import_from("Crypto.Cipher._mode_gcm", "GcmMode");
  if (!g.ndarray || !g.aes_new || !g.mode_gcm || !g.gcm_type) return false;
  if (!PyType_Check(g.ndarray.get()) || !PyType_Check(g.gcm_type.get())) return false;
  for (int m = 0; m < kMethods; ++m) {
    g.names[m] = Ref::steal(PyUnicode_InternFromString(kMethodNames[m]));
    if (!g.names[m]) return false;
    g.methods[m] = getattr(g.gcm_type.get(), g.names[m].get());
    if (!g.methods[m] || !PyFunction_Check(g.methods[m].get())) return false;
  }
  g.kw_output = Ref::steal(Py_BuildValue("(s)", "output"));
  g.buffer_key = Ref::steal(PyUnicode_InternFromString("orvex.vault sealing buffer"));
  g.writable_type = make_writable_bytes_type();
  return g.kw_output && g.buffer_key && g.writable_type;
}

// What `name` finds in the classes of `type`'s method resolution order,
// without running any code (borrowed; nullptr: nothing).
PyObject* class_attribute(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  if (!mro || !PyTuple_Check(mro)) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) return nullptr;
    Ref dict = type_dict(reinterpret_cast<PyTypeObject*>(base));
    PyObject* found = dict ? PyDict_GetItemWithError(dict.get(), name) : nullptr;
    if (found) return found;  // a class dict holds it for as long as the type lives
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return nullptr;
    }
  }
  return nullptr;
}

// The fixed message sealed and opened by the literal calls and by the
// in-place ones: the same ciphertext, tag and plaintext, or 0.
int in_place_matches_literal(const Genuine& g) {
  constexpr size_t kSize = kInPlaceFrom + 37;  // a partial last block
  std::vector<uint8_t> message(kSize);
  for (size_t i = 0; i < kSize; ++i) message[i] = static_cast<uint8_t>(i * 131 + 7);
  uint8_t key_bytes[32], nonce_bytes[16];
  for (int i = 0; i < 32; ++i) key_bytes[i] = static_cast<uint8_t>(0xa5 ^ i);
  for (int i = 0; i < 16; ++i) nonce_bytes[i] = static_cast<uint8_t>(0x3c + i);
  auto bytes_of = [](const void* data, size_t size) {
    return Ref::steal(
        PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
  };
  Ref key = bytes_of(key_bytes, sizeof key_bytes);
  Ref nonce = bytes_of(nonce_bytes, sizeof nonce_bytes);
  Ref plaintext = bytes_of(message.data(), kSize);
  Ref kw_nonce = Ref::steal(Py_BuildValue("(s)", "nonce"));
  if (!key || !nonce || !plaintext || !kw_nonce) return -1;
  auto new_cipher = [&] {
    return call_kw(g.aes_new.get(), kw_nonce.get(), key, g.mode_gcm, nonce);
  };

  Ref cipher = new_cipher();
  Ref sealed = cipher ? call(g.methods[kEncryptAndDigest].get(), cipher, plaintext) : Ref();
  Ref parts[2];
  if (!sealed || !unpack(sealed.get(), parts, 2)) return -1;
  if (!PyBytes_CheckExact(parts[0].get()) || PyBytes_GET_SIZE(parts[0].get()) != kSize) return 0;
  const char* ciphertext = PyBytes_AS_STRING(parts[0].get());
  PyObject* tag = parts[1].get();

  // Sealed where it lies, and from bytes into the buffer.
  for (bool where_it_lies : {true, false}) {
    CipherBytes text;
    if (!text.take_buffer(g, kSize)) return -1;
    if (where_it_lies) {
      std::memcpy(text.data(), message.data(), kSize);
    } else {
      text.bytes = plaintext;
    }
    cipher = new_cipher();
    Ref done = cipher ? seal_into_buffer(g, cipher.get(), text) : Ref();
    Ref got[2];
    if (!done || !unpack(done.get(), got, 2)) return -1;
    const int same_tag = PyObject_RichCompareBool(got[1].get(), tag, Py_EQ);
    if (same_tag < 0) return -1;
    if (!same_tag || got[0].get() != Py_None || std::memcmp(text.data(), ciphertext, kSize) != 0) {
      return 0;
    }
  }

  Ref text = bytes_of(ciphertext, kSize);
  cipher = text ? new_cipher() : Ref();
  Ref opened = cipher ? open_in_bytes(g, cipher.get(), std::move(text), tag) : Ref();
  if (!opened) return -1;
  return PyBytes_CheckExact(opened.get()) && PyBytes_GET_SIZE(opened.get()) == kSize &&
         std::memcmp(PyBytes_AS_STRING(opened.get()), message.data(), kSize) == 0;
}

}  // namespace

int Genuine::traverse(visitproc visit, void* arg) const {
  Py_VISIT(numpy.get());
  Py_VISIT(ndarray.get());
  Py_VISIT(aes.get());
  Py_VISIT(aes_new.get());
  Py_VISIT(mode_gcm.get());
  Py_VISIT(gcm_type.get());
  Py_VISIT(writable_type.get());
  for (const Ref& m : methods) Py_VISIT(m.get());
  return 0;
}

void capture_genuine(PyObject* numpy, PyObject* aes, Genuine& g) {
  g.complete = capture(numpy, aes, g);
  if (!g.complete) PyErr_Clear();
}

bool is_genuine_cipher(const Genuine& g, PyObject* aes, PyObject* aes_new, PyObject* mode,
                       PyObject* cipher, Method first, Method last) {
  if (!g.complete || aes != g.aes.get() || aes_new != g.aes_new.get() || mode != g.mode_gcm.get()) {
    return false;
  }
  auto* type = reinterpret_cast<PyTypeObject*>(g.gcm_type.get());
  // Attribute reads of the class and its instances run no code of their own.
  if (Py_TYPE(cipher) != type || Py_TYPE(g.gcm_type.get()) != &PyType_Type ||
      type->tp_getattro != PyObject_GenericGetAttr) {
    return false;
  }
  Ref own = Ref::steal(PyObject_GenericGetDict(cipher, nullptr));
  if (!own) {
    PyErr_Clear();
    return false;
  }
  for (int m = first; m <= last; ++m) {
    PyObject* name = g.names[m].get();
    if (class_attribute(type, name) != g.methods[m].get()) return false;
    // A function is found on the instance first, if its dict holds the name.
    if (PyDict_GetItemWithError(own.get(), name) || PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
  }
  return true;
}

int in_place_agrees(Genuine& g) {
  if (g.verdict == InPlaceVerdict::unknown) {
    const int same = in_place_matches_literal(g);
    if (same < 0) {
      // An interrupt, or no memory: the question stays open and the call fails
      // with it. Any other error means the cipher does not work this way.
      if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError)) {
        return -1;
      }
      PyErr_Clear();
    }
    g.verdict = same > 0 ? InPlaceVerdict::agrees : InPlaceVerdict::differs;
  }
  return g.verdict == InPlaceVerdict::agrees;
}

}  // namespace orvex::vault
