#include "runtime/stack.hpp"

#include "runtime/messages.hpp"
#include "runtime/python.hpp"

#include <cstdint>

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#define ORVEX_KNOWS_STACK 1
#endif

namespace orvex {
namespace {

// Room kept free below the lowest frame an orvex call may start from: enough
// for what runs after the RecursionError on its way out (an except clause
// that logs, a callback's error handler), which executes at that same depth.
constexpr std::uintptr_t kReserveMax = 256 * 1024;

#ifdef ORVEX_KNOWS_STACK
// The reserved bottom of this thread's stack, [low, floor): an orvex call
// starting there raises. Both 0 when unknown (no check). Found once per
// thread; for the main thread glibc reads /proc/self/maps to answer.
struct StackFloor {
  bool found = false;
  std::uintptr_t low = 0;
  std::uintptr_t floor = 0;
};
thread_local StackFloor stack_floor;

void find_stack_floor(StackFloor& f) {
  f.found = true;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  const bool known = pthread_attr_getstack(&attr, &low, &size) == 0 && low && size;
  pthread_attr_destroy(&attr);
  if (!known) return;
  std::uintptr_t reserve = size / 4;
  if (reserve > kReserveMax) reserve = kReserveMax;
  f.low = reinterpret_cast<std::uintptr_t>(low);
  f.floor = f.low + reserve;
}
#endif

}  // namespace

bool enough_stack_left() {
#ifdef ORVEX_KNOWS_STACK
  if (!stack_floor.found) find_stack_floor(stack_floor);
  // The frame's own address, not a local's: under AddressSanitizer locals may
  // live on a separate fake stack. A frame outside the thread's stack (code
  // that runs Python on a stack of its own) is not judged.
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here < stack_floor.floor && here >= stack_floor.low) {
    PyErr_SetString(PyExc_RecursionError, msg::kStackExhausted);
    return false;
  }
#endif
  return true;
}

}  // namespace orvex
