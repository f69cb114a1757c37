// Who runs user code where. A query function runs on the thread that brings its node up to
// date: the thread that read the node, or the first of several reading it at once (the others
// wait). Observer callbacks run on the thread calling stabilize; operator functions on the
// thread bringing their collection up to date. Each call takes the interpreter lock for itself;
// a read brought up to date on the reading thread keeps it throughout (LockedRegion), giving it
// up only to wait.
//
// A cold chain of queries nests one computation per level, on the native stack and in the
// interpreter's recursion budget of the reading thread. When a nested read finds either running
// low, a helper thread with a large stack and a fresh recursion budget continues it: the helper
// brings the node up to date (running the query functions below it) while the reader waits
// without the interpreter lock, then the reader reads the value itself. The read is recorded in
// the reader's own compute; the helper's dependency stack continues the reader's, so cycles and
// deletions see the reader's computes as the helper's own; failures come back to the reader as
// if computed there, parked exception included.
//
// Signals reach only the first reader of such a chain (a helper has them blocked, and only the
// main thread runs handlers). While that reader waits it checks for them; interrupted, it
// raises a flag the helpers continuing its read check at each level, which ends their computes
// as interrupted ones (transient: the nodes stay to be computed), and raises its own
// interruption once they have unwound.
#include "adapters/nested_read.h"

#include <atomic>
#include <exception>

#include "support/errors.h"
#include "support/gil.h"
#include "support/helper_threads.h"
#include "support/stack_guard.h"
#include "velk/base/hot_tls.h"
#include "velk/base/waiting.h"
#include "velk/collections/collection_lock.h"
#include "velk/runtime/engine_steps.h"

namespace velk::py {

namespace {

// How many reads bring a node up to date on this thread, nested in one another.
VELK_HOT_TLS thread_local unsigned nested_reads = 0;

class NestedRead {
 public:
  NestedRead() noexcept : outer_(nested_reads++) {}
  ~NestedRead() { --nested_reads; }
  NestedRead(const NestedRead&) = delete;
  NestedRead& operator=(const NestedRead&) = delete;

  // A thread hands a read over only once it computes at least one level itself, so every
  // helper gets somewhere, whatever the recursion limit; and never while it holds a collection
  // lock (a callback hashing an element), which the helper might wait for: there, the read
  // stays and a re-entry fails as it would have anyway.
  bool may_hand_over() const noexcept {
    return outer_ > 0 && !holds_collection_lock() && nesting_budget_low(outer_);
  }

 private:
  unsigned outer_;
};

// On a helper: the flag of the first reader of the chain of hand-overs it continues.
thread_local const std::atomic<bool>* reader_interrupted = nullptr;

// One read handed to a helper thread, and what comes back from it.
struct HandOver {
  Runtime& runtime;
  uint32_t slot;
  const SharedDepStack& reader;
  // The first reader's flag: this reader's own when it is not a helper itself.
  const std::atomic<bool>* interrupted;
  std::atomic<bool>* own_flag;  // null on a helper, which signals do not reach
  std::exception_ptr failure;
  std::exception_ptr interruption;  // what interrupted the first reader's wait
  bool tainted = false;
  CarriedErrors errors;

  // On the helper. Its thread state lives for the whole hand-over, so the query functions run
  // here share one fresh recursion budget.
  void operator()() noexcept {
    reader_interrupted = interrupted;
    GilEnsure interpreter;
    {
      LockedRegion engine_work;
      try {
        EngineSteps::ensure_clean_continuing(runtime, slot, reader, tainted);
      } catch (abi::__forced_unwind&) {
        park_forever();  // the interpreter exits and ended this thread (interpreter_exit.h)
      } catch (...) {
        failure = std::current_exception();
      }
    }
    errors.take_from_this_thread();
    reader_interrupted = nullptr;
  }

  // On the reader, every few dozen milliseconds while the helper works.
  void while_waiting() noexcept {
    if (own_flag == nullptr || interruption) return;
    try {
      check_interrupt();
    } catch (abi::__forced_unwind&) {
      park_forever();
    } catch (...) {
      interruption = std::current_exception();
      own_flag->store(true, std::memory_order_relaxed);
    }
  }
};

// False when no helper could be had: the caller then brings the node up to date itself.
bool bring_clean_on_helper(Runtime& runtime, uint32_t slot) {
  std::atomic<bool> flag{false};
  std::atomic<bool>* own_flag = reader_interrupted == nullptr ? &flag : nullptr;
  HandOver hand_over{runtime,  slot,    EngineSteps::reader_stack(),
                     own_flag != nullptr ? own_flag : reader_interrupted,
                     own_flag, nullptr, nullptr, false, {}};
  bool ran;
  {
    ReleasedRegion waiting;
    ran = run_on_helper_thread(hand_over);
  }
  if (!ran) return false;
  if (hand_over.tainted) EngineSteps::taint_reader(runtime);
  // Interrupted, what the helpers were cut short with says nothing: the interruption reports.
  if (hand_over.interruption) std::rethrow_exception(hand_over.interruption);
  hand_over.errors.restore_on_this_thread();
  if (hand_over.failure) std::rethrow_exception(hand_over.failure);
  return true;
}

// Brings `node` up to date, on a helper thread when the nesting runs low, and reads it.
OwnedRef bring_clean_and_read(Runtime& runtime, const NodeHandle& node, NodeRecord& record) {
  for (;;) {
    stop_if_reader_interrupted();
    {
      NestedRead nested;
      if (!nested.may_hand_over() || !bring_clean_on_helper(runtime, node.slot)) {
        LockedRegion region;
        EngineSteps::ensure_clean(runtime, node.slot);
      }
    }
    // Taken only now: a hazard record held across the nested levels would make every level's
    // search for a free one scan all those held below it.
    HazardHolder holder;
    const PyValue& value = EngineSteps::read_brought_clean(runtime, node, record, holder);
    // A value read under a claim that came after the node was brought up to date may be ahead
    // of its revision: read again once the claim ends.
    if (!EngineSteps::claimed_while_read(runtime, node.slot, record)) [[likely]]
      return OwnedRef::new_ref(value.get());
  }
}

}  // namespace

void stop_if_reader_interrupted() {
  const std::atomic<bool>* flag = reader_interrupted;
  if (flag == nullptr || !flag->load(std::memory_order_relaxed)) [[likely]]
    return;
  GilEnsure interpreter;
  PyErr_SetNone(PyExc_KeyboardInterrupt);
  throw_if_interruption("a read for an interrupted reader");
}

OwnedRef read_out_of_date(Runtime& runtime, const NodeHandle& node) {
  NodeRecord& record = EngineSteps::record_read(runtime, node);
  try {
    return bring_clean_and_read(runtime, node, record);
  } catch (...) {
    EngineSteps::forget_cyclic_read(runtime, node.slot);
    throw;
  }
}

OwnedRef read_untracked(Runtime& runtime, const NodeHandle& node) {
  return bring_clean_and_read(runtime, node, EngineSteps::record_peek(runtime, node));
}

OwnedRef read_node_without_kept_hazard(Runtime& runtime, const NodeHandle& node) {
  if (make_kept_read_hazard() != nullptr) return read_node(runtime, node);
  {
    HazardHolder holder;  // a read from a thread-exit destructor
    if (const PyValue* value = runtime.try_get_clean(node, holder)) {
      return OwnedRef::new_ref(value->get());
    }
  }
  return read_out_of_date(runtime, node);
}

}  // namespace velk::py
