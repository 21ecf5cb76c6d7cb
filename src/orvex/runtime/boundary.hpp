// Where C++ meets the interpreter: no C++ exception may cross into its C
// frames, so every entry from Python runs its body through at_boundary,
// which turns whatever the C++ library throws (all of it derives from
// std::exception; orvex throws nothing else) into a Python exception.
//
// Nothing else is caught: above all not the forced unwinding of a thread that
// is being ended (pthread_exit, see ref.hpp), which must run to the thread's
// end; swallowing it would abort the process.
#pragma once

#include "runtime/ref.hpp"

#include <exception>

namespace orvex {

// Sets the Python exception that stands for e: MemoryError, OverflowError
// for a size no machine can hold, SystemError for anything else.
void raise_for_cxx_exception(const std::exception& e);

// body(), with a C++ exception turned into a Python exception and `failure`
// (an empty Ref, -1, ...) returned.
template <class Result, class Body>
Result at_boundary(Result failure, Body&& body) {
  try {
    return body();
  } catch (const std::exception& e) {
    raise_for_cxx_exception(e);
    return failure;
  }
}

}  // namespace orvex
