// The state of one orvex.fuzzy module object.
#pragma once

#include "fuzzy/native/genuine.hpp"
#include "fuzzy/native/import_memo.hpp"
#include "fuzzy/native/siphash.hpp"
#include "runtime/strings.hpp"

namespace orvex::fuzzy {

// Grouped by use: module globals and the lazy import; attributes and
// methods; record and stats keys; the byte order of the seed; what the
// native path reads of a generator. (Kept from clang-format, which reflows
// such macros differently on every run.)
// clang-format off
#define ORVEX_FUZZY_STRINGS(X)                                                     \
  X(secrets) X(hashlib) X(np) X(Counter) X(_to_numpy) X(torch)                     \
  X(token_bytes) X(random) X(default_rng) X(choice) X(sha256) X(digest) X(hex)     \
  X(most_common) X(_binarize) X(Tensor) X(detach) X(cpu) X(numpy) X(flatten)       \
  X(ndarray) X(astype) X(tolist) X(n_lockers) X(locker_size)                       \
  X(seed) X(lockers) X(secret_hash) X(n_features) X(ratio)                         \
  X(big)                                                                           \
  X(bit_generator) X(capsule) X(lock) X(state)                                   \
  X(acquire) X(release) X(inc) X(has_uint32) X(uinteger)
// clang-format on

ORVEX_STRING_TABLE(Strings, ORVEX_FUZZY_STRINGS);

struct State {
  Strings str;
  // Builtins, which nothing can replace: bytes.fromhex and int.from_bytes.
  Ref bytes_fromhex;
  Ref int_from_bytes;
  Ref kw_size_replace;  // ("size", "replace")
  Ref empty;            // "": the separator of a locker's bit text
  Ref zero;             // 0
  Ref one;              // 1
  Genuine genuine;      // for the native path
  SipKey vote_key;      // the native vote table's, drawn at import
  // `import torch`, answered without importlib while PyTorch stays absent
  ImportMemo torch_import;

  // Only what can take part in a cycle: the strings, tuples and ints can't.
  int traverse(visitproc visit, void* arg) {
    if (int rc = genuine.traverse(visit, arg)) return rc;
    return torch_import.traverse(visit, arg);
  }
};

// import torch: 1 with `torch` set; 0 when the import raised ImportError
// (cleared: PyTorch is absent or unusable); -1 with another exception set.
inline int import_torch(State& st, Ref& torch) {
  return import_optional(st.torch_import, st.str.torch, torch);
}

}  // namespace orvex::fuzzy
