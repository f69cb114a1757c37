// Invariant checks that cost nothing in a release build. A Debug build (NDEBUG unset) stops the
// process at a broken invariant with the condition and its place, so a test run catches what
// would otherwise show up later as a corrupted graph or a hang.
#pragma once

#include <cstdio>
#include <cstdlib>

#ifdef NDEBUG
// Unevaluated, so the condition costs nothing and what it names still counts as used.
#define VELK_DCHECK(condition) static_cast<void>(sizeof(!(condition)))
#else
#define VELK_DCHECK(condition)        \
  ((condition) ? static_cast<void>(0) \
               : ::velk::detail::dcheck_failed(#condition, __FILE__, __LINE__))
#endif

namespace velk::detail {

[[noreturn]] inline void dcheck_failed(const char* condition, const char* file, int line) noexcept {
  std::fprintf(stderr, "velk: invariant broken at %s:%d: %s\n", file, line, condition);
  std::abort();
}

}  // namespace velk::detail
