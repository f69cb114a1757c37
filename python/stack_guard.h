// Native stack headroom for calls into Python made from engine code.
#pragma once

namespace velk::py {

// True when the calling thread has less native stack left than one more nested computation may
// need. Nested computes recurse through the engine and the interpreter on the native stack, and
// a raised recursion limit does not bound that, so callbacks are refused before it runs out.
bool native_stack_nearly_exhausted() noexcept;

}  // namespace velk::py
