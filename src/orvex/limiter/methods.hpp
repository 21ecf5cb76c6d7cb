// The bodies of RateLimiter's methods; arguments arrive bound and checked
// (keys are exact str, the limits of __init__ exact int, skip_limit a bool).
#pragma once

#include "runtime/function.hpp"

namespace orvex::limiter {

// __init__(self, soft_limit, hard_limit, window_seconds, suspend_callback) -> None
Ref construct(Function& fn, Args args);

// _clean(self, key) -> None
Ref clean(Function& fn, Args args);

// get_count(self, key) -> int
Ref get_count(Function& fn, Args args);

// check_and_record(self, key, skip_limit) -> (bool, str)
Ref check_and_record(Function& fn, Args args);

// is_suspended(self, key) -> bool
Ref is_suspended(Function& fn, Args args);

// reinstate(self, key) -> None
Ref reinstate(Function& fn, Args args);

// reset(self, key) -> None
Ref reset(Function& fn, Args args);

}  // namespace orvex::limiter
