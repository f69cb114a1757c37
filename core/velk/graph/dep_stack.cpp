#include "velk/graph/dep_stack.h"

#include <algorithm>
#include <new>
#include <utility>

#include "velk/base/failure.h"
#include "velk/base/hot_tls.h"

namespace velk {

SharedDepStack& SharedDepStack::current() {
  VELK_HOT_TLS thread_local SharedDepStack stack;
  return stack;
}

void SharedDepStack::push_frame(const void* owner, uint32_t node) {
  DepFrame frame;
  if (spare_lists_.empty()) {
    frame.deps.reserve(4);
  } else {
    frame.deps = std::move(spare_lists_.back());
    spare_lists_.pop_back();
  }
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

void SharedDepStack::recycle(std::vector<DepRead>&& deps) noexcept {
  // A few short lists cover a chain of nested computes; a long one is not kept.
  constexpr size_t kSpares = 64, kLongest = 64;
  if (spare_lists_.size() >= kSpares || deps.capacity() > kLongest) return;
  deps.clear();
  try {
    spare_lists_.push_back(std::move(deps));
  } catch (const std::bad_alloc&) {  // kept only when it costs nothing
  }
}

void SharedDepStack::drop_frame() noexcept {
  VELK_DCHECK(!frames_.empty());
  std::lock_guard lock(frames_mutex_);
  frames_.pop_back();
}

bool SharedDepStack::record(const void* owner, uint32_t slot, uint32_t generation) {
  if (frames_.empty()) return true;
  if (frames_.back().owner != owner) return false;
  frames_.back().deps.push_back(DepRead{slot, generation});
  return true;
}

void SharedDepStack::taint_top(const void* owner) noexcept {
  if (!frames_.empty()) {
    if (frames_.back().owner == owner) frames_.back().tainted = true;
  } else if (continues_ != nullptr) {
    continued_taint_ = true;  // the reader's top frame; the owner check happens there
  }
}

bool SharedDepStack::contains(const void* owner, uint32_t slot) const noexcept {
  const bool here = std::any_of(frames_.begin(), frames_.end(), [owner, slot](const DepFrame& f) {
    return f.owner == owner && f.node == slot;
  });
  // lock-free: the reader is blocked until this helper ends, so its frames hold still.
  return here || (continues_ != nullptr && continues_->contains(owner, slot));
}

void SharedDepStack::begin_continuation(const SharedDepStack& reader) {
  if (!frames_.empty() || continues_ != nullptr) {
    fail("SharedDepStack::begin_continuation on a stack already in use");
  }
  std::lock_guard lock(frames_mutex_);
  continues_ = &reader;
  continued_taint_ = false;
}

bool SharedDepStack::end_continuation() noexcept {
  std::lock_guard lock(frames_mutex_);
  continues_ = nullptr;
  return std::exchange(continued_taint_, false);
}

}  // namespace velk
