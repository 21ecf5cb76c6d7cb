#include "limiter/instance.hpp"
#include "runtime/module.hpp"

namespace orvex::limiter {

Ref clock_now(const Function& fn, const State& st) {
  Ref time = global(fn, st.str.time);
  return time ? call_method(time.get(), st.str.time) : Ref();
}

Ref log_method(const Function& fn, const State& st, PyObject* level) {
  Ref logger = global(fn, st.str.logger);
  return logger ? getattr(logger.get(), level) : Ref();
}

Ref history_entry(const State& st, PyObject* self, PyObject* key) {
  Ref history = getattr(self, st.str._history);
  return history ? Ref::steal(PyObject_GetItem(history.get(), key)) : Ref();
}

bool clear_history(const State& st, PyObject* self, PyObject* key) {
  Ref entry = history_entry(st, self, key);
  return entry && call_method(entry.get(), st.str.clear_);
}

}  // namespace orvex::limiter
