// The bodies of AESVault's methods; arguments arrive bound and checked.
#pragma once

#include "runtime/function.hpp"
#include "vault/state.hpp"

namespace orvex::vault {

// encrypt(self, key, payload) -> dict
Ref encrypt(Function& fn, Args args);

// decrypt(self, key, record) -> np.ndarray | bytes
Ref decrypt(Function& fn, Args args);

// AES.new(key, AES.MODE_GCM), with nonce=nonce unless `nonce` is nullptr;
// AES looked up as a module global, then .new and .MODE_GCM read from it.
Ref new_gcm_cipher(const Function& fn, const State& st, PyObject* key, PyObject* nonce);

}  // namespace orvex::vault
