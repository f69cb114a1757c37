// The process-wide hazard-pointer domain: protects value cells and overflow dependency arrays
// from being freed while a reader uses them.
//
// Memory ordering: a reader publishes a pointer with a sequentially consistent store and then
// re-loads the source with a sequentially consistent load; a writer unlinks with a sequentially
// consistent exchange, and the reclaimer loads every hazard with a sequentially consistent load.
// In the single total order either the reader's re-load sees the unlink (and retries) or the
// reclaimer sees the published pointer (and keeps the cell). Clearing a hazard is a release
// store, so the reader's use of the cell happens before the reclaimer frees it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "velk/base/hot_tls.h"

namespace velk {

// One cache line per record, so readers publishing on different threads do not contend.
struct alignas(64) HazardRecord {
  std::atomic<const void*> ptr{nullptr};
  std::atomic<bool> active{false};
  HazardRecord* next = nullptr;  // fixed before the record is linked into the domain
};

using Deleter = void (*)(void*);

namespace hazard_detail {
// Whether this thread runs deleters now (see HazardDomain::in_reclamation).
VELK_HOT_TLS extern constinit thread_local bool reclaiming;
}  // namespace hazard_detail

class HazardDomain {
 public:
  static HazardDomain& global();

  // A released record if one is free, else a new one; records are never freed.
  HazardRecord* acquire();
  void release(HazardRecord* record) noexcept;

  // Frees `object` with `deleter` once no hazard record published it before this call. Never
  // throws, so destructors may retire: an object it has no memory to record, or a reclaim cut
  // short for lack of memory, stays allocated for good, which is safe.
  void retire(void* object, Deleter deleter) noexcept;

  // Frees every retired object of this thread (and orphans of exited threads) that no hazard
  // protects. Normally triggered by retire; public for tests and for orderly shutdown.
  void reclaim();

  // reclaim(), only when this thread has retired something since its last reclaim. Lets a
  // caller at a quiet point (no engine lock held) free replaced values promptly instead of in
  // batches, without rescanning for objects a reader was still protecting last time.
  void reclaim_if_pending();

  // Objects retired by this thread and not yet freed.
  size_t pending_on_this_thread() const noexcept;

  // True while this thread runs deleters: value types must not run user code then.
  static bool in_reclamation() noexcept { return hazard_detail::reclaiming; }

  struct Retired {
    void* object;
    Deleter deleter;
  };
  // At thread exit; never throws (leftovers it has no memory to take stay allocated).
  void adopt_orphans(std::vector<Retired>&& leftovers) noexcept;

  // The orphan lock around a fork. Records and retired lists of threads a forked child lacks
  // stay as they are: what they protect or hold is never freed there (a bounded leak).
  void lock_for_fork() { orphan_mutex_.lock(); }
  void unlock_after_fork() noexcept { orphan_mutex_.unlock(); }

 private:
  HazardDomain() = default;
  // Every published pointer, sorted, into `live`.
  void published(std::vector<const void*>& live) const;
  std::vector<Retired> take_orphans();

  std::atomic<HazardRecord*> head_{nullptr};
  std::atomic<size_t> record_count_{0};
  std::mutex orphan_mutex_;  // guards orphans_; taken only at thread exit and by reclaim
  std::vector<Retired> orphans_;
  std::atomic<bool> has_orphans_{false};
};

namespace hazard_detail {

// The calling thread's cache of hazard records: a small stack, enough for the holders a thread
// nests; past it a holder takes its record from the domain. Trivially destructible and
// constant-initialised, so the inline holder reaches it with one thread-pointer load; the
// records go back to the domain at thread exit.
enum class CacheLife : uint8_t { Unborn, Alive, Dead };
inline constexpr uint8_t kCachedRecords = 8;
struct RecordCache {
  HazardRecord* records[kCachedRecords];
  uint8_t count;
  CacheLife life;
};
VELK_HOT_TLS extern constinit thread_local RecordCache record_cache;

}  // namespace hazard_detail

// Holds one hazard record for its lifetime. By default the record comes from the calling
// thread's hazard cache and goes back to it, so steady-state reads allocate nothing.
class HazardHolder {
 public:
  enum class Source : uint8_t { ThreadCache, Domain };
  explicit HazardHolder(Source source = Source::ThreadCache) : source_(source) {
    hazard_detail::RecordCache& cache = hazard_detail::record_cache;
    if (source == Source::ThreadCache && cache.count > 0) {
      record_ = cache.records[--cache.count];
      return;
    }
    record_ = acquire_uncached(source);
  }
  ~HazardHolder() {
    hazard_detail::RecordCache& cache = hazard_detail::record_cache;
    if (source_ == Source::ThreadCache && cache.life == hazard_detail::CacheLife::Alive &&
        cache.count < hazard_detail::kCachedRecords) {
      reset();
      cache.records[cache.count++] = record_;
      return;
    }
    HazardDomain::global().release(record_);
  }
  HazardHolder(const HazardHolder&) = delete;
  HazardHolder& operator=(const HazardHolder&) = delete;

  // Loads `src` and publishes it until the published value is still the current one.
  template <class T>
  T* protect(const std::atomic<T*>& src) noexcept {
    // lock-free: the value re-read after it is published stays allocated while published.
    T* p = src.load(std::memory_order_acquire);
    for (;;) {
      record_->ptr.store(p, std::memory_order_seq_cst);  // full fence: publish before re-check
      T* again = src.load(std::memory_order_seq_cst);
      if (again == p) return p;
      p = again;
    }
  }

  void reset() noexcept { record_->ptr.store(nullptr, std::memory_order_release); }

 private:
  // A record when the thread's cache has none; the first holder of a thread registers the
  // cache, and one after the thread's teardown fails.
  static HazardRecord* acquire_uncached(Source source);

  HazardRecord* record_;
  Source source_;
};

}  // namespace velk
