#include "adapters/engine_gc.h"

#include <thread>

#include "support/errors.h"
#include "support/gil.h"
#include "velk/base/hot_tls.h"

namespace velk::py {

EngineScopeCount engine_scopes;

#ifdef Py_GIL_DISABLED
void EngineScopeCount::wait_out_visit() noexcept {
  LockGivenUp given_up;
  while (visiting.load(std::memory_order_acquire)) std::this_thread::yield();
}

namespace {

// One past the calling thread's shard, 0 until its first call: a plain value in the
// initial-exec model, taken on every method call.
VELK_HOT_TLS thread_local size_t shard_past = 0;

}  // namespace

EngineScopeCount::Shard& EngineScopeCount::own_shard() noexcept {
  static std::atomic<size_t> next{0};
  if (shard_past == 0) [[unlikely]] {
    shard_past = next.fetch_add(1, std::memory_order_relaxed) % kShards + 1;
  }
  return shards[shard_past - 1];
}
#endif

namespace {

// Passes each held Python object to the collector's visit function until one returns nonzero.
class PythonVisitor final : public ValueVisitor<PyValue>, public HeldObjectVisitor {
 public:
  PythonVisitor(visitproc function, void* arg) noexcept : visit_(function), arg_(arg) {}

  void visit(const PyValue& value) override { visit_object(value.get()); }
  void visit_object(PyObject* object) override {
    if (result_ == 0 && object != nullptr) result_ = visit_(object, arg_);
  }
  int result() const noexcept { return result_; }

 private:
  visitproc visit_;
  void* arg_;
  int result_ = 0;
};

}  // namespace

void CollectionRoots::remember(const std::shared_ptr<CollectionState<PyValue>>& state) {
  std::lock_guard<FreeThreadedMutex> guard(mutex_);
  roots_.push_back(state);
  // Drops the entries of collections gone since whenever the list doubles: amortised O(1).
  const size_t n = roots_.size();
  if (n >= 16 && (n & (n - 1)) == 0) {
    std::erase_if(roots_, [](const auto& root) { return root.expired(); });
  }
}

void CollectionRoots::offer_live(ValueVisitor<PyValue>& visitor) const {
  for (const auto& root : roots_) {
    if (auto state = root.lock()) offer_shared<PyValue>(visitor, state);
  }
}

// noexcept: a visit that stopped part-way (out of memory) could visit less in a later pass than
// in an earlier one, which frees live objects; terminating is safer.
int traverse_engine(const Runtime& runtime, const CollectionRoots& roots, visitproc visit,
                    void* arg) noexcept {
  EngineVisit alone;
  if (!alone) return 0;
  PythonVisitor visitor(visit, arg);
  runtime.visit_held(visitor);
  roots.offer_live(visitor);
  return visitor.result();
}

void release_engine(Runtime& runtime, CollectionRoots& roots) noexcept {
  // A thread inside this engine would keep its Runtime object (or a collection object, which
  // keeps it) alive, so it would not be garbage.
  roots.clear();
  try {
    runtime.release_all();
  } catch (const std::exception&) {
    // Out of memory part-way: what is left stays until the engine is destroyed.
  }
  // Free the released cells now, as the Runtime's dealloc does.
  HazardDomain::global().reclaim_if_pending();
  drain_pending_releases();
}

}  // namespace velk::py
