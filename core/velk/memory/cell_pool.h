// Per-thread free lists of small blocks for value cells. A recompute replaces a node's cell on
// every change and the hazard domain frees the old one in batches of tens, which overflows the
// allocator's own per-thread cache; here a reclaimed cell's block waits for the next write on
// the thread that freed it. Blocks come from and return to the global operator new/delete, so
// a block may be freed on another thread than the one that took it.
#pragma once

#include <cstddef>

namespace velk {

// The largest block size pooled; larger cells use operator new directly.
inline constexpr size_t kCellPoolMaxSize = 32;

// A block of at least `size` bytes, aligned like operator new's; throws std::bad_alloc.
void* cell_pool_alloc(size_t size);
// Gives back a block cell_pool_alloc returned for the same `size`. Never throws; at thread exit
// and past the per-thread bound the block goes straight back to operator delete.
void cell_pool_free(void* block, size_t size) noexcept;

// Blocks this thread's pool holds, for tests.
size_t cell_pool_cached_on_this_thread() noexcept;

}  // namespace velk
