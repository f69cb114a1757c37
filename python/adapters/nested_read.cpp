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
// Signals reach only the first reader of such a chain, and only when it is the main thread (a
// helper has them blocked, and only the main thread runs handlers). While that reader waits it
// asks whether a SIGINT came, running no handler: one might read nodes, pushing frames on the
// dependency stack the helpers are reading. When one came, it raises a flag the helpers
// continuing its read check at each level, which ends their computes as interrupted ones
// (transient: the nodes stay to be computed). Once they have unwound, the stack is its own
// again: it trips SIGINT anew and runs the handlers, raising what they raise; a SIGINT handler
// that raises nothing lets the read start over.
#include "adapters/nested_read.h"

#include <signal.h>

#include <atomic>
#include <exception>

#include "support/errors.h"
#include "support/gil.h"
#include "support/helper_threads.h"
#include "support/pending_releases.h"
#include "support/stack_guard.h"
#include "velk/base/hot_tls.h"
#include "velk/collections/collection_lock.h"
#include "velk/runtime/engine_steps.h"

#if PY_VERSION_HEX >= 0x030D0000
// Declared only in the interpreter's internal headers since 3.13; still exported, for the
// standard library's own extension modules.
extern "C" int _PyOS_IsMainThread(void);
#endif

namespace velk::py {

namespace {

// How many reads bring a node up to date on this thread, nested in one another.
VELK_HOT_TLS constinit thread_local unsigned nested_reads = 0;

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

// On a helper: the flag of the first reader of the chain of hand-overs it continues, null when
// signals cannot reach that reader. Asked at every read of an out-of-date node.
VELK_HOT_TLS constinit thread_local const std::atomic<bool>* reader_interrupted = nullptr;

// Whether the calling thread runs signal handlers: the main thread of the main interpreter.
// Requires the interpreter lock.
bool runs_signal_handlers() noexcept { return _PyOS_IsMainThread() != 0; }

// One read handed to a helper thread, and what comes back from it.
struct HandOver {
  Runtime& runtime;
  uint32_t slot;
  const SharedDepStack& reader;
  // The first reader's flag: this reader's own when it is not a helper itself.
  const std::atomic<bool>* interrupted;
  std::atomic<bool>* own_flag;  // null where no signal reaches: on a helper, off the main thread
  std::exception_ptr failure;
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

  // The reader watches for SIGINT while the helper works only where signals reach it.
  bool watches() const noexcept { return own_flag != nullptr; }

  // On the reader, every few dozen milliseconds while the helper works. Takes the SIGINT without
  // running its handler, which the reader runs once the helpers are done with its stack.
  void while_waiting() noexcept {
    if (own_flag->load(std::memory_order_relaxed) || interpreter_finalizing()) return;
    GilEnsure interpreter;  // PyOS_InterruptOccurred asks the calling thread's state
    if (PyOS_InterruptOccurred() != 0) own_flag->store(true, std::memory_order_relaxed);
  }

  bool took_interrupt() const noexcept {
    return own_flag != nullptr && own_flag->load(std::memory_order_relaxed);
  }
};

// The SIGINT a reader took while it waited, handed to the handlers now that its stack is its
// own again: throws what they raise (a KeyboardInterrupt by default), and returns when they
// raise nothing.
void run_handlers_of_taken_interrupt() {
  PyErr_SetInterruptEx(SIGINT);
  check_signals_while_waiting();
}

// False when no helper could be had: the caller then brings the node up to date itself.
bool bring_clean_on_helper(Runtime& runtime, uint32_t slot) {
  std::atomic<bool> flag{false};
  std::atomic<bool>* own_flag =
      reader_interrupted == nullptr && runs_signal_handlers() ? &flag : nullptr;
  for (;;) {
    HandOver hand_over{runtime, slot, EngineSteps::reader_stack(),
                       own_flag != nullptr ? own_flag : reader_interrupted,
                       own_flag, nullptr, false, {}};
    bool ran;
    {
      ReleasedRegion waiting;
      ran = run_on_helper_thread(hand_over);
    }
    if (!ran) return false;
    if (hand_over.tainted) EngineSteps::taint_reader(runtime);
    if (!hand_over.took_interrupt()) {
      hand_over.errors.restore_on_this_thread();
      if (hand_over.failure) std::rethrow_exception(hand_over.failure);
      return true;
    }
    // What the helpers were cut short with says nothing: the handlers report, or the read
    // starts over.
    run_handlers_of_taken_interrupt();
    flag.store(false, std::memory_order_relaxed);
  }
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
