#include "velk/memory/cell_pool.h"

#include <cstdint>
#include <new>

#include "velk/base/hot_tls.h"

namespace velk {

namespace {

constexpr size_t kGranule = 16;
constexpr size_t kClasses = kCellPoolMaxSize / kGranule;
// Blocks kept per size class: a few reclaim batches' worth.
constexpr uint32_t kMaxCached = 256;

struct FreeBlock {
  FreeBlock* next;
};

enum class PoolLife : uint8_t { Unborn, Alive, Dead };

// Trivially destructible, so the hot path reads it without a guard; the lists are freed by
// PoolOwner at thread exit.
// In the module's static TLS block, hence kept small.
struct PoolLists {
  FreeBlock* head[kClasses];
  uint16_t count[kClasses];
  PoolLife life;
};
VELK_HOT_TLS thread_local PoolLists pool;

void drop_all() noexcept {
  for (size_t c = 0; c < kClasses; ++c) {
    while (FreeBlock* b = pool.head[c]) {
      pool.head[c] = b->next;
      ::operator delete(b);
    }
    pool.count[c] = 0;
  }
}

// Registered on the first free of the thread; after its destructor every free goes to operator
// delete (a deleter run by a later thread-exit destructor still finds a live path).
struct PoolOwner {
  PoolOwner() noexcept { pool.life = PoolLife::Alive; }
  ~PoolOwner() {
    pool.life = PoolLife::Dead;
    drop_all();
  }
};

bool pool_alive() noexcept {
  if (pool.life == PoolLife::Alive) return true;
  if (pool.life == PoolLife::Dead) return false;
  thread_local PoolOwner owner;
  return pool.life == PoolLife::Alive;
}

size_t class_of(size_t size) noexcept { return (size + kGranule - 1) / kGranule - 1; }

}  // namespace

void* cell_pool_alloc(size_t size) {
  if (size == 0 || size > kCellPoolMaxSize) return ::operator new(size);
  const size_t c = class_of(size);
  if (FreeBlock* b = pool.head[c]) {
    pool.head[c] = b->next;
    --pool.count[c];
    return b;
  }
  // The class's full size, so any cell of the class may reuse the block.
  return ::operator new((c + 1) * kGranule);
}

void cell_pool_free(void* block, size_t size) noexcept {
  if (block == nullptr) return;
  if (size == 0 || size > kCellPoolMaxSize) return ::operator delete(block);
  const size_t c = class_of(size);
  if (pool.count[c] >= kMaxCached || !pool_alive()) return ::operator delete(block);
  auto* b = static_cast<FreeBlock*>(block);
  b->next = pool.head[c];
  pool.head[c] = b;
  ++pool.count[c];
}

size_t cell_pool_cached_on_this_thread() noexcept {
  size_t n = 0;
  for (size_t c = 0; c < kClasses; ++c) n += pool.count[c];
  return n;
}

}  // namespace velk
