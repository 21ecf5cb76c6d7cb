// The bodies of AESVault's methods; arguments arrive bound and checked.
#pragma once

#include "runtime/function.hpp"
#include "vault/state.hpp"

namespace orvex::vault {

// encrypt(self, key, payload) -> dict
Ref encrypt(Function& fn, Args args);

// decrypt(self, key, record) -> np.ndarray | bytes
Ref decrypt(Function& fn, Args args);

// Test hooks: _native_hex(data, codec), _native_unhex(text, codec),
// _in_place_verdict().
Ref native_hex(Function& fn, Args args);
Ref native_unhex(Function& fn, Args args);
Ref in_place_verdict(Function& fn, Args args);

// A cipher from AES.new(key, AES.MODE_GCM), with nonce=nonce unless `nonce`
// is nullptr (AES looked up as a module global, then .new and .MODE_GCM read
// from it); with `in_place`, also whether its methods `first` to `last` are
// the genuine ones that can work in place.
struct GcmCipher {
  Ref cipher;
  bool genuine = false;
};
GcmCipher new_gcm_cipher(const Function& fn, const State& st, PyObject* key, PyObject* nonce,
                         bool in_place, Method first, Method last);

}  // namespace orvex::vault
