#include "velk/base/waiting.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace velk {

namespace {

std::atomic<BlockingHook> blocking_hook{nullptr};
std::atomic<InterruptHook> interrupt_hook{nullptr};

struct alignas(64) Bucket {
  std::mutex mutex;
  std::condition_variable sleepers;
  std::atomic<uint32_t> count{0};  // sleepers counted in; seq_cst (see the header)
};

// Never destroyed: threads may wait or wake during process exit. Replaced only in a forked
// child, whose one thread is the only reader then.
std::array<Bucket, 64>* table = nullptr;

std::array<Bucket, 64>& buckets() {
  static const bool made = [] {
    if (table == nullptr) table = new std::array<Bucket, 64>();
    return true;
  }();
  (void)made;
  return *table;
}

Bucket& bucket_of(const void* address) {
  return buckets()[std::hash<const void*>{}(address) / 64 % 64];
}

}  // namespace

void set_blocking_hook(BlockingHook hook) noexcept {
  blocking_hook.store(hook, std::memory_order_release);
}

void run_blocking(void (*wait)(void*), void* context) {
  // lock-free: installed once (release) at start-up and never freed.
  if (BlockingHook hook = blocking_hook.load(std::memory_order_acquire)) {
    hook(wait, context);
  } else {
    wait(context);
  }
}

void set_interrupt_hook(InterruptHook hook) noexcept {
  interrupt_hook.store(hook, std::memory_order_release);
}

void check_interrupt() {
  // lock-free: as the blocking hook.
  if (InterruptHook hook = interrupt_hook.load(std::memory_order_acquire)) hook();
}

void ParkingLot::park(const void* address, bool (*still_waiting)(const void*),
                      const void* context) {
  Bucket& bucket = bucket_of(address);
  std::unique_lock lock(bucket.mutex);
  sleepers_.fetch_add(1, std::memory_order_seq_cst);
  bucket.count.fetch_add(1, std::memory_order_seq_cst);
  if (still_waiting(context)) bucket.sleepers.wait_for(lock, kInterruptCheckInterval);
  bucket.count.fetch_sub(1, std::memory_order_relaxed);
  sleepers_.fetch_sub(1, std::memory_order_relaxed);
}

// A waker that read no sleeper in all (its load ordered before the sleeper's count) is one whose
// change the sleeper's re-check sees, as with a bucket's count.
void ParkingLot::unpark_bucket(const void* address) noexcept {
  Bucket& bucket = bucket_of(address);
  // lock-free: seq_cst with the sleeper's count and re-check: a sleeper is counted here or sees
  // the change that preceded this call.
  if (bucket.count.load(std::memory_order_seq_cst) == 0) return;
  // Taken so that a sleeper between its check and its sleep cannot miss the notification.
  { std::lock_guard lock(bucket.mutex); }
  bucket.sleepers.notify_all();
}

void ParkingLot::reset_after_fork() noexcept {
  table = new std::array<Bucket, 64>();
  sleepers_.store(0, std::memory_order_relaxed);  // those counted were the parent's other threads
}

}  // namespace velk
