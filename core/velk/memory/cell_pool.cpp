#include "velk/memory/cell_pool.h"

#include <new>

namespace velk {

using cell_pool_detail::FreeBlock;
using cell_pool_detail::kClasses;
using cell_pool_detail::kGranule;
using cell_pool_detail::PoolLife;

VELK_HOT_TLS constinit thread_local cell_pool_detail::PoolLists cell_pool_detail::pool{};

namespace {

using cell_pool_detail::pool;

// Registered by the thread's first pooled free.
struct PoolOwner {
  PoolOwner() noexcept { pool.life = PoolLife::Alive; }
  ~PoolOwner() {
    pool.life = PoolLife::Dead;
    for (size_t c = 0; c < kClasses; ++c) {
      while (FreeBlock* b = pool.head[c]) {
        pool.head[c] = b->next;
        ::operator delete(b);
      }
      pool.count[c] = 0;
    }
  }
};

}  // namespace

void* cell_pool_detail::alloc_uncached(size_t size_class) {
  // The class's full size, so any cell of the class may reuse the block.
  return ::operator new((size_class + 1) * kGranule);
}

void cell_pool_detail::free_uncached(void* block, size_t size_class) noexcept {
  if (block == nullptr) return;
  if (pool.life == PoolLife::Unborn) {
    thread_local PoolOwner owner;
    return cell_pool_free(block, (size_class + 1) * kGranule);
  }
  ::operator delete(block);
}

size_t cell_pool_cached_on_this_thread() noexcept {
  size_t n = 0;
  for (size_t c = 0; c < kClasses; ++c) n += pool.count[c];
  return n;
}

}  // namespace velk
