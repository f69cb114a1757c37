// Per-thread stack of dependency-recording frames, one per compute running on the thread.
// Touched only by its own thread; never borrowed across a compute. A frame belongs to one
// runtime: its slots say nothing about another runtime's slots, and a read of another
// runtime's node cannot be one of its dependencies (the runtime refuses it).
//
// A computation nested too deeply for its thread continues on a helper thread while the thread
// that started it (the reader) blocks until it is done. The helper's stack then continues the
// reader's: the reader's frames count as the helper's own for `contains` (a node computing on
// the reader is still "its own compute" to the helper), and a taint that reaches the helper's
// empty stack belongs to the reader's top frame. The reader runs no user code while it is
// blocked (no compute, no signal handler: those wait until the helper has ended), so its frames
// hold still and the helper reads them without its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "velk/base/check.h"
#include "velk/base/hot_tls.h"
#include "velk/base/spin.h"

namespace velk {

struct DepRead {
  uint32_t slot;
  uint32_t generation;
  friend bool operator==(const DepRead&, const DepRead&) = default;
};

// A read made without depending on the node (a peek), made after the first `after` reads of the
// frame's dependency list.
struct PeekRead {
  uint32_t slot;
  uint32_t after;
};

// When a compute started (or started again): the runtime's revision and watermark then, and the
// newest revision its reads may reflect once its torn-read check accepts them (Runtime::read_torn).
struct FrameStart {
  uint64_t revision = 0;
  uint64_t watermark = 0;
  uint64_t seen = 0;
};

struct DepFrame {
  std::vector<DepRead> deps;    // every read while this frame was on top, in order
  // Peeks, in order: no dependencies, but checked for torn reads with the rest.
  std::vector<PeekRead> peeks;
  const void* owner = nullptr;  // the runtime whose node's compute opened the frame
  uint32_t node = 0;            // slot whose compute opened the frame
  bool tainted = false;  // a node brought up to date here ended Dirty, or a nested compute failed
  // The compute (or one it brought up to date) set an input of its runtime: its reads are not
  // checked for torn ones, since each run would set again and find them torn again.
  bool set_input = false;
  FrameStart start;      // set by the runtime that opened the frame
};

class SharedDepStack {
 public:
  SharedDepStack() = default;
  ~SharedDepStack();
  SharedDepStack(const SharedDepStack&) = delete;
  SharedDepStack& operator=(const SharedDepStack&) = delete;

  // The calling thread's stack, created on first use. Inline and one load from the thread
  // pointer: every read and every compute asks for it.
  static SharedDepStack& current() {
    if (SharedDepStack* stack = current_) [[likely]]
      return *stack;
    return make_current();
  }

  // Frames stay in place when popped and keep their lists for the next frame at that depth, so
  // a compute allocates none.
  void push_frame(const void* owner, uint32_t node, FrameStart start = {}) {
    std::lock_guard lock(frames_lock_);
    if (depth_ == frames_.size()) [[unlikely]]
      frames_.emplace_back();
    DepFrame& frame = frames_[depth_];
    frame.deps.clear();
    frame.peeks.clear();
    frame.owner = owner;
    frame.node = node;
    frame.tainted = false;
    frame.set_input = false;
    frame.start = start;
    ++depth_;
  }
  // Pops the top frame; it stays valid until the next push.
  DepFrame& pop_frame() {
    if (depth_ == 0) [[unlikely]]
      fail_pop_empty();
    std::lock_guard lock(frames_lock_);
    return frames_[--depth_];
  }
  // Frees the list of the popped frame at `depth` when it is long, or when the stack keeps
  // lists deeper than a chain of nested computes usually goes.
  void trim_popped(size_t depth) noexcept {
    constexpr size_t kSpares = 64, kLongest = 64;
    VELK_DCHECK(depth >= depth_ && depth < frames_.size());
    DepFrame& frame = frames_[depth];
    const bool keep = depth < kSpares;
    if (!keep || frame.deps.capacity() > kLongest) std::vector<DepRead>().swap(frame.deps);
    if (!keep || frame.peeks.capacity() > kLongest) std::vector<PeekRead>().swap(frame.peeks);
  }
  // Pops the top frame, which must exist, and drops it; for a guard's destructor.
  void drop_frame() noexcept {
    VELK_DCHECK(depth_ > 0);
    std::lock_guard lock(frames_lock_);
    --depth_;
  }
  // Whether the top frame is `owner`'s frame for `node`.
  bool top_is(const void* owner, uint32_t node) const noexcept {
    return depth_ > 0 && frames_[depth_ - 1].owner == owner && frames_[depth_ - 1].node == node;
  }
  // Records a read of `owner`'s node into the top frame. False, recording nothing, when the top
  // frame is another runtime's: such a read cannot be its dependency.
  bool record(const void* owner, uint32_t slot, uint32_t generation) {
    if (depth_ == 0) return true;
    DepFrame& top = frames_[depth_ - 1];
    if (top.owner != owner) [[unlikely]]
      return top.owner == untracked_owner();
    top.deps.push_back(DepRead{slot, generation});
    return true;
  }
  // Records a read of `owner`'s node made without depending on it; nothing when the top frame is
  // another runtime's, whose check cannot look at this one's nodes.
  void record_peek(const void* owner, uint32_t slot) {
    if (depth_ == 0 || frames_[depth_ - 1].owner != owner) return;
    DepFrame& top = frames_[depth_ - 1];
    top.peeks.push_back(PeekRead{slot, uint32_t(top.deps.size())});
  }
  // Takes back the top frame's last read if it is `owner`'s `slot`.
  void forget_last_read(const void* owner, uint32_t slot) noexcept {
    if (depth_ == 0) return;
    DepFrame& top = frames_[depth_ - 1];
    if (top.owner == owner && !top.deps.empty() && top.deps.back().slot == slot) {
      top.deps.pop_back();
    }
  }
  void taint_top(const void* owner) noexcept {
    if (depth_ > 0) {
      if (frames_[depth_ - 1].owner == owner) frames_[depth_ - 1].tainted = true;
    } else if (continues_ != nullptr) {
      continued_taint_ = true;  // the reader's top frame; the owner check happens there
    }
  }
  // A set of `owner`'s input made here: marks every frame of `owner` on this stack, and on a
  // reader it continues. Rare (a compute that sets), so the walk over the frames costs nothing.
  void note_set(const void* owner) noexcept;
  // The running compute's frame, which must exist.
  DepFrame& top() noexcept {
    VELK_DCHECK(depth_ > 0);
    return frames_[depth_ - 1];
  }
  bool in_compute() const noexcept { return depth_ > 0 || continues_ != nullptr; }
  // Whether `owner`'s node `slot` computes here, or on a reader this stack continues.
  bool contains(const void* owner, uint32_t slot) const noexcept;
  size_t depth() const noexcept { return depth_; }

  // Frames come and go under this lock, so another thread holding it may ask `contains` what
  // this thread is computing (the wait graph does, to tell a cycle of waits from a slow compute).
  SpinLock& frames_lock() const noexcept { return frames_lock_; }

  // The owner of a frame whose reads are recorded nowhere (UntrackedReads).
  static const void* untracked_owner() noexcept {
    static const char owner = 0;
    return &owner;
  }

  // Makes this stack, which must be empty, continue `reader`'s (see above) until
  // end_continuation, which returns whether a taint reached the bottom meanwhile; the caller
  // passes that on to the reader's top frame once the reader runs again.
  void begin_continuation(const SharedDepStack& reader);
  bool end_continuation() noexcept;

 private:
  static SharedDepStack& make_current();
  [[noreturn]] static void fail_pop_empty();

  // Initial-exec and constant-initialised: read with one load, no guard and no call.
  VELK_HOT_TLS static inline constinit thread_local SharedDepStack* current_ = nullptr;

  // frames_[0, depth_) are live; the rest keep their lists for reuse. Both change under
  // frames_lock_, by this thread only.
  std::vector<DepFrame> frames_;
  size_t depth_ = 0;
  const SharedDepStack* continues_ = nullptr;  // set by this thread under frames_lock_
  bool continued_taint_ = false;               // this thread only
  mutable SpinLock frames_lock_;
};

// Whether a compute runs on the calling thread (or on a reader its stack continues): creating
// nodes and settling observers are refused there.
inline bool in_compute() { return SharedDepStack::current().in_compute(); }

// Continues `reader`'s stack on the calling thread for its lifetime, also when the work fails.
class ContinuationGuard {
 public:
  explicit ContinuationGuard(const SharedDepStack& reader) : stack_(SharedDepStack::current()) {
    stack_.begin_continuation(reader);
  }
  ~ContinuationGuard() {
    if (!ended_) end();
  }
  ContinuationGuard(const ContinuationGuard&) = delete;
  ContinuationGuard& operator=(const ContinuationGuard&) = delete;

  // Ends the continuation; true when the reader's top frame must be tainted.
  bool end() noexcept {
    VELK_DCHECK(stack_.depth() == 0);  // the work popped every frame it pushed
    ended_ = true;
    return stack_.end_continuation();
  }

 private:
  SharedDepStack& stack_;
  bool ended_ = false;
};

// Reads made while it lives inside a compute are no dependency of that compute (a node's own
// equality runs there, comparing two values of the node). Outside a compute nothing is recorded
// anyway, and it pushes nothing, so creating nodes there stays allowed.
class UntrackedReads {
 public:
  UntrackedReads() : stack_(SharedDepStack::current()), pushed_(stack_.in_compute()) {
    if (pushed_) stack_.push_frame(SharedDepStack::untracked_owner(), 0);
  }
  ~UntrackedReads() {
    if (pushed_) stack_.drop_frame();
  }
  UntrackedReads(const UntrackedReads&) = delete;
  UntrackedReads& operator=(const UntrackedReads&) = delete;

 private:
  SharedDepStack& stack_;
  bool pushed_;
};

// Pops the frame it pushed when it goes out of scope, unless taken earlier; keeps the stack
// balanced when a compute unwinds.
class FrameGuard {
 public:
  FrameGuard(SharedDepStack& stack, const void* owner, uint32_t node, FrameStart start = {})
      : stack_(stack), depth_(stack.depth()) {
    stack_.push_frame(owner, node, start);
    VELK_DCHECK(stack_.top_is(owner, node));
  }
  ~FrameGuard() {
    if (taken_) {
      stack_.trim_popped(depth_);
      return;
    }
    VELK_DCHECK(stack_.depth() == depth_ + 1);  // the frame it pops is the one it pushed
    if (stack_.depth() > depth_) stack_.drop_frame();
  }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;

  // The popped frame, valid while the guard lives and nothing is pushed on the stack.
  const DepFrame& take() {
    VELK_DCHECK(!taken_ && stack_.depth() == depth_ + 1);
    taken_ = true;
    return stack_.pop_frame();
  }

 private:
  SharedDepStack& stack_;
  size_t depth_;
  bool taken_ = false;
};

}  // namespace velk
