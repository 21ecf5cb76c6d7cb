// The state of one orvex.limiter module object.
#pragma once

#include "runtime/strings.hpp"

namespace orvex::limiter {

// Names of module globals, instance attributes and methods called on them.
// clang-format off: one name per line, which the formatter would reflow.
#define ORVEX_LIMITER_STRINGS(X) \
  X(time)                        \
  X(logger)                      \
  X(defaultdict)                 \
  X(soft_limit)                  \
  X(hard_limit)                  \
  X(window_seconds)              \
  X(suspend_callback)            \
  X(_history)                    \
  X(_suspended)                  \
  X(_clean)                      \
  X(warning)                     \
  X(error)                       \
  X(info)                        \
  X(append)                      \
  X(clear_)                      \
  X(add)                         \
  X(discard)
// clang-format on

ORVEX_STRING_TABLE(Strings, ORVEX_LIMITER_STRINGS);

struct State {
  Strings str;
  // The two constant results; tuples of a bool and a str are immutable, so
  // every call may hand out the same object.
  PyObject* bypassed = nullptr;   // (True, "Rate limit bypassed")
  PyObject* suspended = nullptr;  // (False, "Suspended")
};

}  // namespace orvex::limiter
