// A bound on the C stack that orvex functions may use.
//
// Before 3.12 the interpreter bounds C recursion only by the Python recursion
// limit. A program that raises that limit and recurses through an orvex
// function (a suspension callback that calls back into the limiter, a
// replaced module global that calls the method again) would then run off the
// end of the thread's stack and crash. Each call checks the room left on the
// calling thread's stack first and raises RecursionError when it runs low.
#pragma once

namespace orvex {

// False, with RecursionError set, when the calling thread's stack is nearly
// used up. Always true where the stack's extent can't be found.
[[nodiscard]] bool enough_stack_left();

}  // namespace orvex
