// Per-thread stack of dependency-recording frames, one per compute running on the thread.
// Touched only by its own thread; never borrowed across a compute.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velk {

struct DepRead {
  uint32_t slot;
  uint32_t generation;
  friend bool operator==(const DepRead&, const DepRead&) = default;
};

struct DepFrame {
  std::vector<DepRead> deps;  // every read while this frame was on top, in order
  uint32_t node = 0;          // slot whose compute opened the frame
  bool tainted = false;       // a node brought up to date here ended Dirty, or a nested compute failed
};

class SharedDepStack {
 public:
  // The calling thread's stack, created on first use.
  static SharedDepStack& current();

  void push_frame(uint32_t node);
  DepFrame pop_frame();
  void record(uint32_t slot, uint32_t generation);
  void taint_top() noexcept;
  bool in_compute() const noexcept { return !frames_.empty(); }
  // Frames are compared by slot only, not by runtime.
  bool contains(uint32_t slot) const noexcept;
  size_t depth() const noexcept { return frames_.size(); }

 private:
  std::vector<DepFrame> frames_;
};

// Pops the frame it pushed when it goes out of scope, unless taken earlier; keeps the stack
// balanced when a compute unwinds.
class FrameGuard {
 public:
  FrameGuard(SharedDepStack& stack, uint32_t node) : stack_(stack), depth_(stack.depth()) {
    stack_.push_frame(node);
  }
  ~FrameGuard() {
    if (!taken_ && stack_.depth() > depth_) stack_.pop_frame();
  }
  FrameGuard(const FrameGuard&) = delete;
  FrameGuard& operator=(const FrameGuard&) = delete;

  DepFrame take() {
    taken_ = true;
    return stack_.pop_frame();
  }

 private:
  SharedDepStack& stack_;
  size_t depth_;
  bool taken_ = false;
};

}  // namespace velk
