// Native work done with the interpreter lock released, so that other threads
// run Python meanwhile.
#pragma once

#include "runtime/python.hpp"

#include <unistd.h>

namespace orvex {

// Before 3.14, a thread that takes the interpreter lock back once the
// interpreter finalizes is ended by pthread_exit, whose unwinding runs the
// destructors of native frames holding references, without the lock. Such a
// thread can only be a daemon thread of a process that is exiting: it waits
// here for the exit instead, as 3.14 makes it wait. (A finalization that
// begins between this check and taking the lock back still ends the thread.)
inline void wait_out_finalization() {
#if PY_VERSION_HEX < 0x030E0000
#if PY_VERSION_HEX >= 0x030D0000
  while (Py_IsFinalizing()) pause();
#else
  while (_Py_IsFinalizing()) pause();
#endif
#endif
}

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
  wait_out_finalization();
  PyEval_RestoreThread(saved);
  return result;
}

}  // namespace orvex
