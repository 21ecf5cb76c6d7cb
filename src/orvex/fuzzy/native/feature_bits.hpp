// The methods' `bits = self._binarize(feature)`, read straight from the
// array's memory where the steps it skips could not be told apart from
// running them.
//
// _binarize's steps are: look up the global _to_numpy and call it; there,
// the tensor step (the import of torch), the global np, np.ndarray and
// isinstance, then feature.flatten(); back in _binarize, (flat > 0),
// .astype(int), .tolist(). Every lookup and call that can run Python code
// runs as written, in order; what is skipped is only the method call itself,
// the call of _to_numpy, and NumPy's own work on an exact ndarray of a plain
// numeric dtype, which no caller can redirect: the feature itself, or the
// flat array a tensor's conversion or a replaced _to_numpy gave. Anything
// else keeps the literal steps from the point reached.
#pragma once

#include "runtime/function.hpp"

#include <cstdint>
#include <vector>

namespace orvex::fuzzy {

struct State;

// What the native binarisation stands in for, as it was at import.
struct GenuineFeature {
  bool complete = false;  // every capture succeeded; otherwise the literal steps run
  Ref numpy;              // the module global np
  Ref ndarray;            // numpy.ndarray
  Ref to_numpy;           // the module's _to_numpy
  Ref binarize;           // FuzzyExtractor._binarize

  int traverse(visitproc visit, void* arg) const;
};

// Fills `g` from the module's freshly bound globals and class. A failure
// leaves the native binarisation off and no exception set.
void capture_feature(PyObject* module, GenuineFeature& g);

// One call's feature bits: the list _binarize gave, or the bytes (one 0 or 1
// per feature value, in flatten() order) read natively, from which that list
// is made only if a literal loop needs it.
struct FeatureBits {
  Ref list;
  std::vector<uint8_t> bytes;
  bool native = false;
};

// bits = self._binarize(feature): false with an exception set.
[[nodiscard]] bool binarize_feature(Function& fn, PyObject* self, PyObject* feature,
                                    FeatureBits& out);

// The bits as the list the literal loops index (made from the bytes on first
// need); nullptr with an exception set.
PyObject* bits_list(const State& st, FeatureBits& bits);

// Largest feature read natively: beyond it NumPy's own copies decide whether
// there is memory enough, as they would without this path.
inline constexpr Py_ssize_t kMaxNativeFeature = Py_ssize_t{1} << 24;

// 1 with `out` holding value > 0 for each value of `array` (an exact ndarray
// of a dtype read natively; of one dimension if `one_dimensional`) in C
// order; 0 for anything it doesn't read (no exception set). Reads the
// array's memory with the interpreter lock held.
int read_sign_bits(PyObject* array, bool one_dimensional, std::vector<uint8_t>& out);

}  // namespace orvex::fuzzy
