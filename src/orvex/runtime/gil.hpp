// Native work done with the interpreter lock released, so that other threads
// run Python meanwhile.
#pragma once

#include "runtime/python.hpp"

namespace orvex {

// Runs `work()` without the interpreter lock and returns its result. `work`
// must not touch any Python object or reference count, nor make or raise
// anything Python can see, and must not throw: whatever it reads must stay
// alive and unchanged without the lock (owned by the caller, or immutable
// and referenced).
template <class Work>
auto without_gil(Work&& work) noexcept -> decltype(work()) {
  PyThreadState* saved = PyEval_SaveThread();
  auto result = work();
  PyEval_RestoreThread(saved);
  return result;
}

}  // namespace orvex
