// The literal steps of check_and_record and _clean from a given point on.
//
// check_and_record and _clean are built from these; the native shortcut
// (fast_check.cpp) hands over to them wherever it meets state it can't vouch
// for, so that from that point on every call behaves exactly as the literal
// path does.
#pragma once

#include "limiter/state.hpp"
#include "runtime/function.hpp"

namespace orvex::limiter {

// window >= 1, else ValueError: a shorter window forgets every event at once.
[[nodiscard]] bool check_window(PyObject* window);

// _clean after its clock reading: cutoff = now - self.window_seconds, the
// window checked, then
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

}  // namespace orvex::limiter
