// The bodies of RateLimiter's methods, and the steps they share with the
// native shortcut; arguments arrive bound and checked (keys are exact str,
// the limits of __init__ exact int, skip_limit a bool).
//
// Each step does what its Python expression does: instance attributes are
// read afresh and module globals looked up at the moment of use, so
// replacing either takes effect on the next call.
#pragma once

#include "limiter/state.hpp"
#include "runtime/function.hpp"

#include <initializer_list>

namespace orvex::limiter {

// What _clean is made from; a method found under that name is the class's
// own when it was made from this.
extern const FunctionSpec kClean;

// __init__(self, soft_limit, hard_limit, window_seconds, suspend_callback) -> None
Ref construct(Function& fn, Args args);

// _clean(self, key) -> None
Ref clean(Function& fn, Args args);

// get_count(self, key) -> int
Ref get_count(Function& fn, Args args);

// check_and_record(self, key, skip_limit) -> (bool, str): the method's
// entry, the native shortcut (check_and_record_native.cpp), which hands over
// to the literal steps at the first thing it can't vouch for; and the
// literal transcription (check_and_record_literal.cpp).
Ref check_and_record(Function& fn, Args args);
Ref check_and_record_literal(Function& fn, Args args);

// How check_and_record is entered when called: the usual calls,
// lim.check_and_record(key) and lim.check_and_record(key, flag) with an exact
// str key and a flag that is True, False or None, are bound here as the
// binder would bind them (the default read from __defaults__ as it is now);
// every other call goes to the binder.
PyObject* check_and_record_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames);

// _native_calls() -> int: how many calls the shortcut carried to the end
// (module level, bound only in builds made with ORVEX_TEST_HOOKS).
Ref native_calls(Function& fn, Args args);

// is_suspended(self, key) -> bool
Ref is_suspended(Function& fn, Args args);

// reinstate(self, key) -> None
Ref reinstate(Function& fn, Args args);

// reset(self, key) -> None
Ref reset(Function& fn, Args args);

// --- Steps shared by the methods and the native shortcut.

// time.time()
Ref clock_now(const Function& fn, const State& st);

// self._history[key]; a defaultdict inserts an empty list for a new key.
Ref history_entry(const State& st, PyObject* self, PyObject* key);

// self._history[key].clear(): empties the list in place, so references to
// it taken earlier see it emptied too.
[[nodiscard]] bool clear_history(const State& st, PyObject* self, PyObject* key);

// _clean after its clock reading: cutoff = now - self.window_seconds, then
// self._history[key] = [ts for ts in self._history[key] if ts > cutoff].
[[nodiscard]] bool clean_at(const State& st, PyObject* self, PyObject* key, PyObject* now);

// check_and_record once self._clean(key) has returned: count, the hard and
// soft limits, recording and the result.
Ref judge(const Function& fn, const State& st, PyObject* self, PyObject* key);

// The hard limit was reached with `count` events in the window: suspend,
// warn, call back and refuse.
Ref suspend(const Function& fn, const State& st, PyObject* self, PyObject* key, PyObject* count);

// The soft-limit warning for `count` events in the window.
[[nodiscard]] bool warn_soft_limit(const Function& fn, const State& st, PyObject* self,
                                   PyObject* key, PyObject* count);

// Records the event (the second clock reading) and admits it as number
// count + 1.
Ref record_and_admit(const Function& fn, const State& st, PyObject* self, PyObject* key,
                     Py_ssize_t count);

// --- Messages, built the way an f-string builds them: fixed pieces and
// values formatted with format(value, "").

// logger.<level>: the bound method, looked up before its message is built,
// as `logger.warning(f"...")` does.
Ref log_method(const Function& fn, const State& st, PyObject* level);

// format(value, ""): a str unchanged, an int or float as str(), an exception
// as str(); whatever __format__ does for other objects.
Ref format_value(PyObject* value);

// One piece of a message: fixed UTF-8 text, or a str made by format_value.
struct Piece {
  Piece(const char* text) : text(text) {}          // NOLINT: implicit on purpose
  Piece(const Ref& value) : value(value.get()) {}  // NOLINT: implicit on purpose
  const char* text = nullptr;
  PyObject* value = nullptr;
};

// The pieces joined in order into one str.
Ref join_text(std::initializer_list<Piece> pieces);

}  // namespace orvex::limiter
