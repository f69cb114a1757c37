// State that lives exactly as long as one node: a collection's contents, a sort's order, a
// router's groups. The runtime retires it when that node is deleted, so every holder left (a
// Python object, a reader linked to it) finds it empty and refused instead of silently frozen.
#pragma once

#include <atomic>

namespace velk {

inline constexpr const char* kDeletedCollectionMessage =
    "velk-core: collection used after it was deleted (delete_with_dependents reached its "
    "version node)";

class Retirable {
 public:
  virtual ~Retirable() = default;
  // Called once the node is gone, outside the runtime's locks: drops the contents and refuses
  // later use. Takes the state's own lock, so it must not be called while that is held.
  virtual void retire() = 0;

  // lock-free: acquire pairs with the release in mark_retired; holders also check under the
  // state's lock.
  bool retired() const noexcept { return retired_.load(std::memory_order_acquire); }

 protected:
  void mark_retired() noexcept { retired_.store(true, std::memory_order_release); }

 private:
  std::atomic<bool> retired_{false};
};

}  // namespace velk
