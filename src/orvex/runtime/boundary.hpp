// Where C++ meets the interpreter: no C++ exception may cross into its C
// frames, so every entry from Python runs its body through at_boundary,
// which turns whatever escapes into a Python exception.
//
// The one thing let through is the forced unwinding of a thread that is
// being ended (pthread_exit, see ref.hpp): it must run to the thread's end,
// and swallowing it would abort the process.
#pragma once

#include "runtime/ref.hpp"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace orvex {

// Inside a catch block: sets the Python exception that stands for the C++
// exception being handled (MemoryError, OverflowError for a size no machine
// can hold, SystemError for anything else).
void raise_for_cxx_exception();

// body() with every C++ exception but a thread's forced unwinding turned into
// a Python exception; a failure gives Result{} (an empty Ref, false, -1 ...).
template <class Result, class Body>
Result at_boundary(Result failure, Body&& body) {
  try {
    return body();
#if defined(__GLIBCXX__)
  } catch (abi::__forced_unwind&) {
    throw;
#endif
  } catch (...) {
    raise_for_cxx_exception();
    return failure;
  }
}

}  // namespace orvex
