#include "velk/dep_stack.h"

#include <algorithm>

#include "velk/failure.h"
#include "velk/hot_tls.h"

namespace velk {

SharedDepStack& SharedDepStack::current() {
  VELK_HOT_TLS thread_local SharedDepStack stack;
  return stack;
}

void SharedDepStack::push_frame(const void* owner, uint32_t node) {
  DepFrame frame;
  frame.deps.reserve(4);
  frame.owner = owner;
  frame.node = node;
  std::lock_guard lock(frames_mutex_);
  frames_.push_back(std::move(frame));
}

DepFrame SharedDepStack::pop_frame() {
  if (frames_.empty()) fail("SharedDepStack::pop_frame on empty stack");
  std::lock_guard lock(frames_mutex_);
  DepFrame top = std::move(frames_.back());
  frames_.pop_back();
  return top;
}

bool SharedDepStack::record(const void* owner, uint32_t slot, uint32_t generation) {
  if (frames_.empty()) return true;
  if (frames_.back().owner != owner) return false;
  frames_.back().deps.push_back(DepRead{slot, generation});
  return true;
}

void SharedDepStack::taint_top(const void* owner) noexcept {
  if (!frames_.empty() && frames_.back().owner == owner) frames_.back().tainted = true;
}

bool SharedDepStack::contains(const void* owner, uint32_t slot) const noexcept {
  return std::any_of(frames_.begin(), frames_.end(), [owner, slot](const DepFrame& f) {
    return f.owner == owner && f.node == slot;
  });
}

}  // namespace velk
