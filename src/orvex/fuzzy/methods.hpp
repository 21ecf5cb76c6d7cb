// The bodies of orvex.fuzzy's functions; arguments arrive bound and coerced.
#pragma once

#include "runtime/function.hpp"

namespace orvex::fuzzy {

// _to_numpy(feature) -> np.ndarray (module-level)
Ref to_numpy(Function& fn, Args args);

// FuzzyExtractor.__init__(self, n_lockers, locker_size) -> None
Ref init_extractor(Function& fn, Args args);

// FuzzyExtractor._binarize(self, feature) -> list
Ref binarize(Function& fn, Args args);

// FuzzyExtractor.lock_secret(self, feature, secret_payload) -> dict
Ref lock_secret(Function& fn, Args args);

// FuzzyExtractor.unlock_secret(self, feature, helper_data, prob_thresh)
//   -> (bytes | None, {"ratio": float})
Ref unlock_secret(Function& fn, Args args);

// Private module-level hooks for tests, bound only in builds made with
// ORVEX_TEST_HOOKS (native/hooks.cpp):
// _native_sample(rng, n, k) -> list: the native draw of choice(n, size=k, replace=False)
Ref sample_positions(Function& fn, Args args);
// _native_draw_lockers(rng, n, k, count, inline_pcg64) -> list: the last of
// `count` native draws, through the capsule or on PCG64 stepped inline
Ref draw_lockers(Function& fn, Args args);
// _native_seed_state(seed) -> dict: the state of default_rng(int.from_bytes(seed,
// "big")).bit_generator, derived natively
Ref seed_state(Function& fn, Args args);
// _native_sha256(messages) -> list: the native SHA-256 of each bytes object
Ref sha256_digests(Function& fn, Args args);
// _native_vote_probes(candidates, k0, k1) -> (int, bool): how the native vote table
// probes to count them under that key
Ref vote_probes(Function& fn, Args args);
// _import_memo_holds() -> bool: whether the failed import of torch is
// memoised and still stands (native/import_memo.cpp)
Ref import_memo_holds(Function& fn, Args args);

}  // namespace orvex::fuzzy
