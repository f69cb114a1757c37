#include "velk/collection_lock.h"

#include <atomic>

namespace velk {

namespace {
std::atomic<BlockingHook> blocking_hook{nullptr};
}

void set_blocking_hook(BlockingHook hook) noexcept {
  blocking_hook.store(hook, std::memory_order_release);
}

void run_blocking(void (*wait)(void*), void* context) {
  if (BlockingHook hook = blocking_hook.load(std::memory_order_acquire)) {
    hook(wait, context);
  } else {
    wait(context);
  }
}

void CollectionLock::lock() {
  if (mutex_.try_lock()) return;
  run_blocking([](void* m) { static_cast<std::shared_mutex*>(m)->lock(); }, &mutex_);
}

void CollectionLock::lock_shared() {
  if (mutex_.try_lock_shared()) return;
  run_blocking([](void* m) { static_cast<std::shared_mutex*>(m)->lock_shared(); }, &mutex_);
}

}  // namespace velk
