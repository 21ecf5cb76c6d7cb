// The end of unlock_secret, after the vote: the winner's share of the
// lockers, the threshold and the hash check. Both the literal and the native
// vote end here.
#include "fuzzy/lockers.hpp"
#include "runtime/module.hpp"
#include "runtime/ops.hpp"

namespace orvex::fuzzy {
namespace {

// (secret, {"ratio": ratio})
Ref outcome(const State& st, PyObject* secret, PyObject* ratio) {
  Ref stats = Ref::steal(PyDict_New());
  if (!stats || PyDict_SetItem(stats.get(), st.str.ratio, ratio) < 0) return {};
  return Ref::steal(PyTuple_Pack(2, secret, stats.get()));
}

// hashlib.sha256(candidate).digest().hex()
Ref candidate_hash(const Function& fn, const State& st, PyObject* candidate) {
  Ref hashlib = global(fn, st.str.hashlib);
  if (!hashlib) return {};
  Ref hash = call_method(hashlib.get(), st.str.sha256, candidate);
  if (!hash) return {};
  Ref digest = call_method(hash.get(), st.str.digest);
  return digest ? call_method(digest.get(), st.str.hex) : Ref();
}

}  // namespace

Ref unlock_verdict(const Function& fn, const State& st, PyObject* self, PyObject* record,
                   PyObject* prob_thresh, PyObject* best, PyObject* count) {
  if (!best) {
    Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
    return zero ? outcome(st, Py_None, zero.get()) : Ref();
  }
  Ref n_lockers = getattr(self, st.str.n_lockers);
  Ref ratio = n_lockers ? Ref::steal(PyNumber_TrueDivide(count, n_lockers.get())) : Ref();
  // A NaN threshold never rejects: the comparison is false.
  const int below = ratio ? PyObject_RichCompareBool(ratio.get(), prob_thresh, Py_LT) : -1;
  if (below < 0) return {};
  if (below) return outcome(st, Py_None, ratio.get());

  Ref hash = candidate_hash(fn, st, best);
  if (!hash) return {};
  Ref stored_hash = dict_item(record, st.str.secret_hash);
  if (!stored_hash) return {};
  Ref equal = Ref::steal(PyObject_RichCompare(hash.get(), stored_hash.get(), Py_EQ));
  const int matches = equal ? PyObject_IsTrue(equal.get()) : -1;
  if (matches < 0) return {};
  return outcome(st, matches ? best : Py_None, ratio.get());
}

}  // namespace orvex::fuzzy
