// The bodies of RateLimiter's methods; arguments arrive bound and checked
// (keys are exact str, the limits of __init__ exact int, skip_limit a bool).
#pragma once

#include "runtime/function.hpp"

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

// check_and_record(self, key, skip_limit) -> (bool, str): the literal path,
// and the body of the method, which takes a native shortcut where it can't
// be told apart (fast_check.cpp) and the literal path otherwise.
Ref check_and_record(Function& fn, Args args);
Ref check_and_record_fast(Function& fn, Args args);

// How check_and_record is entered when called: the usual calls,
// lim.check_and_record(key) and lim.check_and_record(key, flag) with an exact
// str key and a flag that is True, False or None, are bound here as the
// binder would bind them (the default read from __defaults__ as it is now);
// every other call goes to the binder.
PyObject* check_and_record_entry(PyObject* callable, PyObject* const* args, size_t nargsf,
                                 PyObject* kwnames);

// __fast_path_calls() -> int: how many calls the shortcut carried to the end
// (module level, for tests; the leading underscores keep it out of sight).
Ref fast_path_calls(Function& fn, Args args);

// is_suspended(self, key) -> bool
Ref is_suspended(Function& fn, Args args);

// reinstate(self, key) -> None
Ref reinstate(Function& fn, Args args);

// reset(self, key) -> None
Ref reset(Function& fn, Args args);

}  // namespace orvex::limiter
