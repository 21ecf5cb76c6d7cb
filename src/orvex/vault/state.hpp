// The state of one orvex.vault module object.
#pragma once

#include "runtime/strings.hpp"
#include "vault/dtype_memo.hpp"

namespace orvex::vault {

#define ORVEX_VAULT_STRINGS(X) \
  X(np)                        \
  X(AES)                       \
  X(logger)                    \
  X(ndarray)                   \
  X(dtype)                     \
  X(hasobject)                 \
  X(itemsize)                  \
  X(tobytes)                   \
  X(shape)                     \
  X(new_)                      \
  X(MODE_GCM)                  \
  X(encrypt_and_digest)        \
  X(decrypt_and_verify)        \
  X(nonce)                     \
  X(hex)                       \
  X(ciphertext)                \
  X(tag)                       \
  X(frombuffer)                \
  X(reshape)                   \
  X(error)

ORVEX_STRING_TABLE(Strings, ORVEX_VAULT_STRINGS);

struct State {
  Strings str;
  PyObject* bytes_fromhex = nullptr;  // bytes.fromhex: a builtin, nothing can replace it
  PyObject* kw_nonce = nullptr;       // ("nonce",)
  PyObject* kw_dtype = nullptr;       // ("dtype",)
  DtypeMemo dtypes;

  int traverse(visitproc visit, void* arg) { return dtypes.traverse(visit, arg); }
  void clear() {
    str.clear();
    Py_CLEAR(bytes_fromhex);
    Py_CLEAR(kw_nonce);
    Py_CLEAR(kw_dtype);
    dtypes.clear();
  }
};

}  // namespace orvex::vault
