// How much nesting the calling thread has left: native stack headroom and the interpreter's
// recursion budget, for calls into Python made from engine code.
#pragma once

#include <cstdint>

#include "velk/base/hot_tls.h"

namespace velk::py {

namespace stack_detail {
// The address under which this thread refuses callbacks: the highest one until the thread's
// stack is looked up (so the first check looks it up), 0 when the stack is unknown.
VELK_HOT_TLS inline thread_local std::uintptr_t refuse_below = UINTPTR_MAX;
bool below_refusal_point(std::uintptr_t address) noexcept;
}  // namespace stack_detail

// True when the calling thread has less native stack left than one more nested computation may
// need. Nested computes recurse through the engine and the interpreter on the native stack, and
// a raised recursion limit does not bound that, so callbacks are refused before it runs out.
// The reserve scales with the thread's stack: an eighth of it, between 32 KiB and 256 KiB.
// Asked before every callback: one compare once the stack is known.
inline bool native_stack_nearly_exhausted() noexcept {
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  if (here < stack_detail::refuse_below) [[unlikely]]
    return stack_detail::below_refusal_point(here);
  return false;
}

// True when a computation nested here should rather continue on a fresh thread: the native
// stack is within a margin (a quarter of the stack, between 64 KiB and 1 MiB) of the refusal
// reserve above, or less than a quarter of the interpreter's recursion budget is left.
// `nested_here` is how many nested reads run on this thread (used where the interpreter's
// budget cannot be read). Requires the interpreter lock.
bool nesting_budget_low(unsigned nested_here) noexcept;

}  // namespace velk::py
