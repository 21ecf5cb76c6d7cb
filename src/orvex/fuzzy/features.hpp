// The steps of _to_numpy and FuzzyExtractor._binarize, shared by the two
// functions and by the methods' native binarisation (native/feature_bits.hpp),
// which runs the same steps up to where it can read the array itself.
#pragma once

#include "fuzzy/state.hpp"

namespace orvex::fuzzy {

enum class TensorOutcome { converted, not_a_tensor, failed };

// import torch; if isinstance(feature, torch.Tensor):
//     flat = feature.detach().cpu().numpy().flatten()
// PyTorch is optional: an ImportError from any of these steps means "not a
// tensor", anything else is the caller's error. Where PyTorch is missing, the
// import is answered from the memo of its last failure (import_memo.hpp).
TensorOutcome tensor_to_numpy(State& st, PyObject* feature, Ref& flat);

// The rest of _to_numpy once the feature is no tensor, `np` being the global
// as already read: feature.flatten() for an np.ndarray, else TypeError.
Ref flatten_array(const State& st, PyObject* np, PyObject* feature);

// (flat > 0).astype(int).tolist(), checked against the declared result type.
Ref sign_bits(const State& st, PyObject* flat);

}  // namespace orvex::fuzzy
