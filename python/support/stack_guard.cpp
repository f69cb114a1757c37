#include "support/stack_guard.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

#include "support/refs.h"

namespace velk::py {

namespace {

struct StackBounds {
  std::uintptr_t low = 0;        // lowest usable address; 0 when unknown, which disables the checks
  std::size_t refuse_below = 0;  // headroom under which callbacks are refused
  std::size_t hand_over_below = 0;  // headroom under which nested computations move on
};

// The refused call's own error handling and the frames above it need room; one nested level
// (engine read path, interpreter frames, callback) takes a few kilobytes.
std::size_t refusal_reserve(std::size_t stack_size) noexcept {
  return std::clamp<std::size_t>(stack_size / 8, 32 * 1024, 256 * 1024);
}

// Room for at least one more level between the hand-over point and the refusal point.
std::size_t hand_over_margin(std::size_t stack_size) noexcept {
  return std::clamp<std::size_t>(stack_size / 4, 64 * 1024, 1024 * 1024);
}

// Found once per thread.
StackBounds find_bounds() noexcept {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return {};
  void* base = nullptr;
  std::size_t size = 0;
  const int rc = pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0) return {};
  const std::size_t refuse = refusal_reserve(size);
  return {reinterpret_cast<std::uintptr_t>(base), refuse, refuse + hand_over_margin(size)};
}

const StackBounds& bounds() noexcept {
  thread_local const StackBounds b = find_bounds();
  return b;
}

std::uintptr_t here() noexcept {
  return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
}

// Whether less than a quarter of the interpreter's recursion budget is left. The counters are
// fields of the thread state whose names changed between versions; where they are not known,
// the nested reads on this thread stand in for them (each takes at least one interpreter frame).
bool interpreter_budget_low(unsigned nested_here) noexcept {
  PyThreadState* state = PyThreadState_Get();
#if PY_VERSION_HEX >= 0x030E0000
  (void)state;
  return nested_here >= unsigned(Py_GetRecursionLimit()) / 8;
#else
  (void)nested_here;
#if PY_VERSION_HEX >= 0x030C0000
  // C-level calls have a budget of their own since 3.12.
#if defined(Py_C_RECURSION_LIMIT)
  if (state->c_recursion_remaining < Py_C_RECURSION_LIMIT / 4) return true;
#elif defined(C_RECURSION_LIMIT)
  if (state->c_recursion_remaining < C_RECURSION_LIMIT / 4) return true;
#endif
  return state->py_recursion_remaining < state->py_recursion_limit / 4;
#elif PY_VERSION_HEX >= 0x030B0000
  return state->recursion_remaining < state->recursion_limit / 4;
#else
  const int limit = Py_GetRecursionLimit();
  return limit - state->recursion_depth < limit / 4;
#endif
#endif
}

}  // namespace

bool native_stack_nearly_exhausted() noexcept {
  const StackBounds& b = bounds();
  return b.low != 0 && here() < b.low + b.refuse_below;
}

bool nesting_budget_low(unsigned nested_here) noexcept {
  const StackBounds& b = bounds();
  if (b.low != 0 && here() < b.low + b.hand_over_below) return true;
  return interpreter_budget_low(nested_here);
}

}  // namespace velk::py
