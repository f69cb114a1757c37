// How much nesting the calling thread has left: native stack headroom and the interpreter's
// recursion budget, for calls into Python made from engine code.
#pragma once

namespace velk::py {

// True when the calling thread has less native stack left than one more nested computation may
// need. Nested computes recurse through the engine and the interpreter on the native stack, and
// a raised recursion limit does not bound that, so callbacks are refused before it runs out.
// The reserve scales with the thread's stack: an eighth of it, between 32 KiB and 256 KiB.
bool native_stack_nearly_exhausted() noexcept;

// True when a computation nested here should rather continue on a fresh thread: the native
// stack is within a margin (a quarter of the stack, between 64 KiB and 1 MiB) of the refusal
// reserve above, or less than a quarter of the interpreter's recursion budget is left.
// `nested_here` is how many nested reads run on this thread (used where the interpreter's
// budget cannot be read). Requires the interpreter lock.
bool nesting_budget_low(unsigned nested_here) noexcept;

}  // namespace velk::py
