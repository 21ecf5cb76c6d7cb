// FuzzyExtractor.__init__: both values arrive coerced to int by the binder.
#include "fuzzy/messages.hpp"
#include "fuzzy/methods.hpp"
#include "fuzzy/state.hpp"

namespace orvex::fuzzy {
namespace {

// value < 1 raises ValueError(message).
bool check_at_least_one(const State& st, PyObject* value, const char* message) {
  const int below = PyObject_RichCompareBool(value, st.one.get(), Py_LT);
  if (below > 0) PyErr_SetString(PyExc_ValueError, message);
  return below == 0;
}

}  // namespace

Ref init_extractor(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* n_lockers = args[1];
  PyObject* locker_size = args[2];
  // Both checks come before either assignment: a refused construction
  // leaves no attribute behind.
  if (!check_at_least_one(st, n_lockers, msg::kTooFewLockers) ||
      !check_at_least_one(st, locker_size, msg::kLockerSizeTooSmall) ||
      PyObject_SetAttr(self, st.str.n_lockers, n_lockers) < 0 ||
      PyObject_SetAttr(self, st.str.locker_size, locker_size) < 0) {
    return {};
  }
  return Ref::borrow(Py_None);
}

}  // namespace orvex::fuzzy
