#include "velk/graph/dep_stack.h"

#include <algorithm>
#include <utility>

#include "velk/base/failure.h"
#include "velk/base/hot_tls.h"

namespace velk {

SharedDepStack::~SharedDepStack() {
  if (current_ == this) current_ = nullptr;
}

SharedDepStack& SharedDepStack::make_current() {
  thread_local SharedDepStack stack;  // reached once per thread
  current_ = &stack;
  return stack;
}

void SharedDepStack::fail_pop_empty() { fail("SharedDepStack::pop_frame on empty stack"); }

bool SharedDepStack::contains(const void* owner, uint32_t slot) const noexcept {
  const auto live = frames_.begin() + std::ptrdiff_t(depth_);
  const bool here = std::any_of(frames_.begin(), live, [owner, slot](const DepFrame& f) {
    return f.owner == owner && f.node == slot;
  });
  // lock-free: the reader is blocked, running no user code, until this helper ends, so its
  // frames hold still.
  return here || (continues_ != nullptr && continues_->contains(owner, slot));
}

void SharedDepStack::note_set(const void* owner) noexcept {
  for (size_t i = 0; i < depth_; ++i) {
    if (frames_[i].owner == owner) frames_[i].set_input = true;
  }
  // lock-free: the reader is blocked until this helper ends, and its wake-up comes after this.
  if (continues_ != nullptr) const_cast<SharedDepStack*>(continues_)->note_set(owner);
}

void SharedDepStack::begin_continuation(const SharedDepStack& reader) {
  if (depth_ != 0 || continues_ != nullptr) {
    fail("SharedDepStack::begin_continuation on a stack already in use");
  }
  std::lock_guard lock(frames_lock_);
  continues_ = &reader;
  continued_taint_ = false;
}

bool SharedDepStack::end_continuation() noexcept {
  std::lock_guard lock(frames_lock_);
  continues_ = nullptr;
  return std::exchange(continued_taint_, false);
}

}  // namespace velk
