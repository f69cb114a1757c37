// Per-thread free lists of small blocks for value cells. A recompute replaces a node's cell on
// every change and the hazard domain frees the old one in batches of tens, which overflows the
// allocator's own per-thread cache; here a reclaimed cell's block waits for the next write on
// the thread that freed it. Blocks come from and return to the global operator new/delete, so
// a block may be freed on another thread than the one that took it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include "velk/base/hot_tls.h"

namespace velk {

// The largest block size pooled; larger cells use operator new directly.
inline constexpr size_t kCellPoolMaxSize = 32;

namespace cell_pool_detail {

inline constexpr size_t kGranule = 16;
inline constexpr size_t kClasses = kCellPoolMaxSize / kGranule;
// Blocks kept per size class: a few reclaim batches' worth.
inline constexpr uint16_t kMaxCached = 256;

struct FreeBlock {
  FreeBlock* next;
};

enum class PoolLife : uint8_t { Unborn, Alive, Dead };

// Trivially destructible and constant-initialised, so the inline paths reach it with one
// thread-pointer load; in the module's static TLS block, hence kept small. The lists are freed
// at thread exit, after which frees go straight to operator delete.
struct PoolLists {
  FreeBlock* head[kClasses];
  uint16_t count[kClasses];
  PoolLife life;
};
VELK_HOT_TLS extern constinit thread_local PoolLists pool;

constexpr size_t class_of(size_t size) noexcept { return (size + kGranule - 1) / kGranule - 1; }

void* alloc_uncached(size_t size_class);
void free_uncached(void* block, size_t size_class) noexcept;

}  // namespace cell_pool_detail

// A block of at least `size` bytes, aligned like operator new's; throws std::bad_alloc.
inline void* cell_pool_alloc(size_t size) {
  using namespace cell_pool_detail;
  if (size == 0 || size > kCellPoolMaxSize) return ::operator new(size);
  const size_t c = class_of(size);
  FreeBlock* b = pool.head[c];
  if (b == nullptr) return alloc_uncached(c);
  pool.head[c] = b->next;
  --pool.count[c];
  return b;
}

// Gives back a block cell_pool_alloc returned for the same `size`. Never throws; at thread exit
// and past the per-thread bound the block goes straight back to operator delete.
inline void cell_pool_free(void* block, size_t size) noexcept {
  using namespace cell_pool_detail;
  if (size == 0 || size > kCellPoolMaxSize) return ::operator delete(block);
  const size_t c = class_of(size);
  if (block == nullptr || pool.life != PoolLife::Alive || pool.count[c] >= kMaxCached) {
    return free_uncached(block, c);
  }
  auto* b = static_cast<FreeBlock*>(block);
  b->next = pool.head[c];
  pool.head[c] = b;
  ++pool.count[c];
}

// Blocks this thread's pool holds, for tests.
size_t cell_pool_cached_on_this_thread() noexcept;

}  // namespace velk
