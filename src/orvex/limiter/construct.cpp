// RateLimiter.__init__: the limits arrive as exact ints (the binder converts
// numbers and refuses the rest); their order and the window are checked here.
#include "limiter/messages.hpp"
#include "limiter/methods.hpp"
#include "limiter/state.hpp"
#include "runtime/module.hpp"

namespace orvex::limiter {

Ref construct(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* soft_limit = args[1];
  PyObject* hard_limit = args[2];

  const int soft_above_hard = PyObject_RichCompareBool(soft_limit, hard_limit, Py_GT);
  if (soft_above_hard < 0) return {};
  if (soft_above_hard) {
    PyErr_SetString(PyExc_ValueError, msg::kSoftAboveHard);
    return {};
  }
  if (!check_window(args[3])) return {};
  if (PyObject_SetAttr(self, st.str.soft_limit, soft_limit) < 0 ||
      PyObject_SetAttr(self, st.str.hard_limit, hard_limit) < 0 ||
      PyObject_SetAttr(self, st.str.window_seconds, args[3]) < 0 ||
      PyObject_SetAttr(self, st.str.suspend_callback, args[4]) < 0) {
    return {};
  }
  // defaultdict(list), through the module global so that it can be replaced.
  Ref defaultdict = global(fn, st.str.defaultdict);
  Ref history =
      defaultdict ? call(defaultdict.get(), reinterpret_cast<PyObject*>(&PyList_Type)) : Ref();
  if (!history || PyObject_SetAttr(self, st.str._history, history.get()) < 0) return {};
  Ref suspended = Ref::steal(PySet_New(nullptr));
  if (!suspended || PyObject_SetAttr(self, st.str._suspended, suspended.get()) < 0) return {};
  return Ref::borrow(Py_None);
}

}  // namespace orvex::limiter
