#include "stack_guard.h"

#include <pthread.h>

#include <cstddef>
#include <cstdint>

namespace velk::py {

namespace {

// Room kept for the refused call's own error handling and for the frames above it; one nested
// level (engine read path, interpreter frame, callback) takes a few kilobytes.
constexpr std::size_t kReserve = 256 * 1024;

// Lowest usable address of this thread's stack, found once per thread; 0 when unknown, which
// disables the check.
std::uintptr_t find_stack_low() noexcept {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
  void* base = nullptr;
  std::size_t size = 0;
  const int rc = pthread_attr_getstack(&attr, &base, &size);
  pthread_attr_destroy(&attr);
  return rc == 0 ? reinterpret_cast<std::uintptr_t>(base) : 0;
}

}  // namespace

bool native_stack_nearly_exhausted() noexcept {
  thread_local const std::uintptr_t low = find_stack_low();
  const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return low != 0 && here < low + kReserve;
}

}  // namespace velk::py
