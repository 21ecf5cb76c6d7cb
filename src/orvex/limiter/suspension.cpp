// RateLimiter.is_suspended, reinstate and reset: querying and undoing what
// check_and_record did to a key.
#include "limiter/instance.hpp"
#include "limiter/messages.hpp"
#include "limiter/methods.hpp"
#include "limiter/text.hpp"

namespace orvex::limiter {

Ref is_suspended(Function& fn, Args args) {
  const State& st = fn.state<State>();
  Ref suspended = getattr(args[0], st.str._suspended);
  if (!suspended) return {};
  const int found = PySequence_Contains(suspended.get(), args[1]);
  return found < 0 ? Ref() : Ref::borrow(found ? Py_True : Py_False);
}

Ref reinstate(Function& fn, Args args) {
  const State& st = fn.state<State>();
  PyObject* self = args[0];
  PyObject* key = args[1];

  Ref suspended = getattr(self, st.str._suspended);
  Ref discarded = suspended ? call_method(suspended.get(), st.str.discard, key) : Ref();
  if (!discarded || !clear_history(st, self, key)) return {};
  Ref info = log_method(fn, st, st.str.info);
  Ref key_text = info ? format_value(key) : Ref();
  Ref line = key_text ? join_text({msg::kReinstatedLog, key_text}) : Ref();
  Ref logged = line ? call(info.get(), line) : Ref();
  return logged ? Ref::borrow(Py_None) : Ref();
}

Ref reset(Function& fn, Args args) {
  if (!clear_history(fn.state<State>(), args[0], args[1])) return {};
  return Ref::borrow(Py_None);
}

}  // namespace orvex::limiter
