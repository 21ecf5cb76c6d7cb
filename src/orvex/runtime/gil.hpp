// Native work done with the interpreter lock released, so that other threads
// run Python meanwhile.
#pragma once

#include "runtime/python.hpp"

namespace orvex {

// Runs `work()` without the interpreter lock and returns its result. `work`
// must not touch any Python object or reference count, nor make or raise
// anything Python can see, and must not throw: whatever it reads must stay
// alive and unchanged without the lock (owned by the caller, or immutable
// and referenced). Not noexcept itself: before 3.14, taking the lock back
// while the interpreter finalizes ends the thread with a forced unwind,
// which must pass through here.
template <class Work>
auto without_gil(Work&& work) -> decltype(work()) {
  PyThreadState* saved = PyEval_SaveThread();
  auto result = work();
  PyEval_RestoreThread(saved);
  return result;
}

}  // namespace orvex
