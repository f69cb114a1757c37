#include "velk/base/handle.h"

#include <atomic>

namespace velk {

namespace {
std::atomic<uint64_t> next_runtime_id{1};
}

RuntimeId RuntimeId::next() noexcept {
  return RuntimeId{next_runtime_id.fetch_add(1, std::memory_order_relaxed)};
}

}  // namespace velk
