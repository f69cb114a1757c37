#include "support/stack_guard.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>

#include "support/refs.h"
#include "velk/base/hot_tls.h"

namespace velk::py {

namespace {

// Addresses under which the stack pointer has too little headroom left; 0 when the stack is
// unknown, which disables the checks.
struct StackBounds {
  std::uintptr_t refuse_below = 0;     // callbacks are refused
  std::uintptr_t hand_over_below = 0;  // nested computations move on
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

StackBounds find_bounds() noexcept {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return {};
  void* base = nullptr;
  std::size_t size = 0;
  const int rc = pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  if (rc != 0 || base == nullptr) return {};
  const auto low = reinterpret_cast<std::uintptr_t>(base);
  const std::size_t refuse = refusal_reserve(size);
  return {low + refuse, low + refuse + hand_over_margin(size)};
}

// Plain values in the initial-exec model, found once per thread: asked for on every callback,
// so no guard and no call into the loader.
VELK_HOT_TLS thread_local StackBounds thread_bounds;
VELK_HOT_TLS thread_local bool bounds_found = false;

[[gnu::noinline]] void find_bounds_once() noexcept {
  thread_bounds = find_bounds();
  bounds_found = true;
  stack_detail::refuse_below = thread_bounds.refuse_below;
}

const StackBounds& bounds() noexcept {
  if (!bounds_found) [[unlikely]]
    find_bounds_once();
  return thread_bounds;
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

bool stack_detail::below_refusal_point(std::uintptr_t address) noexcept {
  return address < bounds().refuse_below;
}

bool nesting_budget_low(unsigned nested_here) noexcept {
  if (here() < bounds().hand_over_below) return true;
  return interpreter_budget_low(nested_here);
}

}  // namespace velk::py
