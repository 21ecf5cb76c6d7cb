// The state of one orvex.vault module object.
#pragma once

#include "runtime/strings.hpp"
#include "vault/dtype_memo.hpp"
#include "vault/genuine.hpp"

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
  Ref bytes_fromhex;  // bytes.fromhex: a builtin, nothing can replace it
  Ref kw_nonce;       // ("nonce",)
  Ref kw_dtype;       // ("dtype",)
  DtypeMemo dtypes;
  Genuine genuine;

  // Only what can take part in a cycle: the strings and tuples can't.
  int traverse(visitproc visit, void* arg) {
    const int found = dtypes.traverse(visit, arg);
    return found ? found : genuine.traverse(visit, arg);
  }
};

}  // namespace orvex::vault
