// RateLimiter.is_suspended, reinstate and reset: querying and undoing what
// check_and_record did to a key.
#include "limiter/messages.hpp"
#include "limiter/methods.hpp"

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
  if (!suspended) return {};
  Ref discarded = call_method(suspended.get(), st.str.discard, key);
  if (!discarded || !clear_history(st, self, key)) return {};
  Ref info = log_method(fn, st, st.str.info);
  if (!info) return {};
  Ref key_text = format_value(key);
  if (!key_text) return {};
  Ref line = join_text({msg::kReinstatedLog, key_text});
  if (!line || !call(info.get(), line)) return {};
  return Ref::borrow(Py_None);
}

Ref reset(Function& fn, Args args) {
  if (!clear_history(fn.state<State>(), args[0], args[1])) return {};
  return Ref::borrow(Py_None);
}

}  // namespace orvex::limiter
