// The bodies of AESVault's methods; arguments arrive bound and checked.
#pragma once

#include "runtime/function.hpp"

namespace orvex::vault {

// encrypt(self, key, payload) -> dict
Ref encrypt(Function& fn, Args args);

// decrypt(self, key, record) -> np.ndarray | bytes
Ref decrypt(Function& fn, Args args);

}  // namespace orvex::vault
