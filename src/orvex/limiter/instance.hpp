// The pieces of RateLimiter's methods that several of them share. Each does
// what its Python expression does: instance attributes are read afresh and
// module globals looked up at the moment of use, so replacing either takes
// effect on the next call.
#pragma once

#include "limiter/state.hpp"
#include "runtime/function.hpp"

namespace orvex::limiter {

// time.time()
Ref clock_now(const Function& fn, const State& st);

// logger.<level>: the bound method, looked up before its message is built,
// as `logger.warning(f"...")` does.
Ref log_method(const Function& fn, const State& st, PyObject* level);

// self._history[key]; a defaultdict inserts an empty list for a new key.
Ref history_entry(const State& st, PyObject* self, PyObject* key);

// self._history[key].clear(): empties the list in place, so references to
// it taken earlier see it emptied too.
[[nodiscard]] bool clear_history(const State& st, PyObject* self, PyObject* key);

}  // namespace orvex::limiter
