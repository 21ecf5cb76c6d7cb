// The end of unlock_secret, after the vote: the winner's share of the
// lockers, the threshold and the hash check. Both the literal and the native
// vote end here.
#include "fuzzy/lockers.hpp"
#include "runtime/module.hpp"

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
  Ref hash = hashlib ? call_method(hashlib.get(), st.str.sha256, candidate) : Ref();
  Ref digest = hash ? call_method(hash.get(), st.str.digest) : Ref();
  return digest ? call_method(digest.get(), st.str.hex) : Ref();
}

}  // namespace

// The lookup may run a foreign key's __eq__, so the value is held at once.
Ref record_item(PyObject* record, PyObject* key) {
  PyObject* value = PyDict_GetItemWithError(record, key);
  if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
  return Ref::borrow(value);
}

Ref unlock_verdict(const Function& fn, const State& st, PyObject* self, PyObject* record,
                   PyObject* prob_thresh, PyObject* best, PyObject* count) {
  if (!best) {
    Ref zero = Ref::steal(PyFloat_FromDouble(0.0));
    return zero ? outcome(st, Py_None, zero.get()) : Ref();
  }
  Ref n_lockers = getattr(self, st.str.n_lockers);
  Ref ratio = n_lockers ? Ref::steal(PyNumber_TrueDivide(count, n_lockers.get())) : Ref();
  // prob_thresh is never NaN here (unlock_secret refuses it), so a false
  // comparison means the ratio reached it.
  const int below = ratio ? PyObject_RichCompareBool(ratio.get(), prob_thresh, Py_LT) : -1;
  if (below < 0) return {};
  if (below) return outcome(st, Py_None, ratio.get());

  Ref hash = candidate_hash(fn, st, best);
  Ref stored_hash = hash ? record_item(record, st.str.secret_hash) : Ref();
  Ref equal =
      stored_hash ? Ref::steal(PyObject_RichCompare(hash.get(), stored_hash.get(), Py_EQ)) : Ref();
  const int matches = equal ? PyObject_IsTrue(equal.get()) : -1;
  if (matches < 0) return {};
  return outcome(st, matches ? best : Py_None, ratio.get());
}

}  // namespace orvex::fuzzy
