// The state of one orvex.limiter module object.
#pragma once

#include "runtime/ref.hpp"
#include "runtime/strings.hpp"

#include <cstdint>

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
  X(discard)                     \
  X(default_factory)
// clang-format on

ORVEX_STRING_TABLE(Strings, ORVEX_LIMITER_STRINGS);

// What the native shortcut (check_and_record_native.cpp) reads from a limiter's instance
// dict. The object pointers are borrowed: they are used only after checking
// that the dict is the same object with the same version tag as when they
// were read, that is, still holds them.
struct Snapshot {
  PyObject* dict = nullptr;       // compared, never dereferenced
  uint64_t version = 0;           // 0: never current
  PyObject* suspended = nullptr;  // an exact set, else nullptr
  bool clean_shadowed = true;     // _clean in the instance dict
  PyObject* history = nullptr;    // an exact defaultdict, else nullptr
  bool window_plain = false;      // window_seconds an exact int or float
  double window_seconds = 0;
  bool limits_plain = false;  // hard_limit and soft_limit exact ints that fit a long
  long hard_limit = 0;
  long soft_limit = 0;
};

// Admitted results are kept for hard limits and counts up to this value.
inline constexpr long kCachedLimit = 64;

struct State {
  Strings str;
  // The two constant results; tuples of a bool and a str are immutable, so
  // every call may hand out the same object.
  Ref bypassed;   // (True, "Rate limit bypassed")
  Ref suspended;  // (False, "Suspended")

  // For the native shortcut (check_and_record_native.cpp): the defaultdict type imported
  // at start-up, and where a defaultdict keeps its default_factory (-1: not
  // known, no shortcut).
  Ref defaultdict;
  Py_ssize_t factory_offset = -1;
  // The last limiter type found plain (snapshot.hpp), and its version tag
  // then; compared, never dereferenced unless the object is alive.
  PyTypeObject* plain_type = nullptr;
  unsigned int plain_tag = 0;
  // The instance state of the limiter used last.
  Snapshot snapshot;
  // (True, "OK (n/limit)") at [limit][n], made on first use.
  Ref admitted[kCachedLimit + 1][kCachedLimit + 1];
  // Calls the shortcut carried through to the end; tests read it to know
  // that the shortcut is taken at all.
  size_t native_calls = 0;

  // Besides the defaultdict type the state holds only strings and tuples of
  // bools and strings.
  int traverse(visitproc visit, void* arg) {
    Py_VISIT(defaultdict.get());
    return 0;
  }
};

}  // namespace orvex::limiter
