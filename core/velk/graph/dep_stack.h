// Per-thread stack of dependency-recording frames, one per compute running on the thread.
// Touched only by its own thread; never borrowed across a compute. A frame belongs to one
// runtime: its slots say nothing about another runtime's slots, and a read of another
// runtime's node cannot be one of its dependencies (the runtime refuses it).
//
// A computation nested too deeply for its thread continues on a helper thread while the thread
// that started it (the reader) blocks until it is done. The helper's stack then continues the
// reader's: the reader's frames count as the helper's own for `contains` (a node computing on
// the reader is still "its own compute" to the helper), and a taint that reaches the helper's
// empty stack belongs to the reader's top frame. The reader's frames cannot change while it is
// blocked, so the helper reads them without its lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "velk/base/check.h"

namespace velk {

struct DepRead {
  uint32_t slot;
  uint32_t generation;
  friend bool operator==(const DepRead&, const DepRead&) = default;
};

// When a compute started (or started again): the runtime's revision and watermark then, and its
// mark of the batches of sets in flight (runtime.h, set_many.cpp).
struct FrameStart {
  uint64_t revision = 0;
  uint64_t watermark = 0;
  uint64_t batch_mark = 0;
};

struct DepFrame {
  std::vector<DepRead> deps;    // every read while this frame was on top, in order
  const void* owner = nullptr;  // the runtime whose node's compute opened the frame
  uint32_t node = 0;            // slot whose compute opened the frame
  bool tainted = false;  // a node brought up to date here ended Dirty, or a nested compute failed
  FrameStart start;      // set by the runtime that opened the frame
};

class SharedDepStack {
 public:
  // The calling thread's stack, created on first use.
  static SharedDepStack& current();

  void push_frame(const void* owner, uint32_t node);
  DepFrame pop_frame();
  // Keeps a popped frame's list for a later frame, so that a compute allocates none.
  void recycle(std::vector<DepRead>&& deps) noexcept;
  // Pops the top frame, which must exist, and drops it; for a guard's destructor.
  void drop_frame() noexcept;
  // Whether the top frame is `owner`'s frame for `node`.
  bool top_is(const void* owner, uint32_t node) const noexcept {
    return !frames_.empty() && frames_.back().owner == owner && frames_.back().node == node;
  }
  // Records a read of `owner`'s node into the top frame. False, recording nothing, when the top
  // frame is another runtime's: such a read cannot be its dependency.
  bool record(const void* owner, uint32_t slot, uint32_t generation);
  void taint_top(const void* owner) noexcept;
  // The running compute's frame, which must exist.
  DepFrame& top() noexcept {
    VELK_DCHECK(!frames_.empty());
    return frames_.back();
  }
  bool in_compute() const noexcept { return !frames_.empty() || continues_ != nullptr; }
  // Whether `owner`'s node `slot` computes here, or on a reader this stack continues.
  bool contains(const void* owner, uint32_t slot) const noexcept;
  size_t depth() const noexcept { return frames_.size(); }

  // Frames come and go under this lock, so another thread holding it may ask `contains` what
  // this thread is computing (the wait graph does, to tell a cycle of waits from a slow compute).
  std::mutex& frames_lock() const noexcept { return frames_mutex_; }

  // Makes this stack, which must be empty, continue `reader`'s (see above) until
  // end_continuation, which returns whether a taint reached the bottom meanwhile; the caller
  // passes that on to the reader's top frame once the reader runs again.
  void begin_continuation(const SharedDepStack& reader);
  bool end_continuation() noexcept;

 private:
  std::vector<DepFrame> frames_;  // pushed and popped by this thread under frames_mutex_
  std::vector<std::vector<DepRead>> spare_lists_;  // this thread only
  const SharedDepStack* continues_ = nullptr;      // set by this thread under frames_mutex_
  bool continued_taint_ = false;                   // this thread only
  mutable std::mutex frames_mutex_;
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

// Pops the frame it pushed when it goes out of scope, unless taken earlier; keeps the stack
// balanced when a compute unwinds.
class FrameGuard {
 public:
  FrameGuard(SharedDepStack& stack, const void* owner, uint32_t node)
      : stack_(stack), depth_(stack.depth()) {
    stack_.push_frame(owner, node);
    VELK_DCHECK(stack_.top_is(owner, node));
  }
  ~FrameGuard() {
    if (taken_) {
      stack_.recycle(std::move(frame_.deps));
      return;
    }
    VELK_DCHECK(stack_.depth() == depth_ + 1);  // the frame it pops is the one it pushed
    if (stack_.depth() > depth_) stack_.drop_frame();
  }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;

  // The popped frame, valid while the guard lives.
  const DepFrame& take() {
    VELK_DCHECK(!taken_ && stack_.depth() == depth_ + 1);
    frame_ = stack_.pop_frame();
    taken_ = true;
    return frame_;
  }

 private:
  SharedDepStack& stack_;
  size_t depth_;
  bool taken_ = false;
  DepFrame frame_;
};

}  // namespace velk
