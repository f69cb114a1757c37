// Node handles: a slot, the slot's generation when minted, and the minting runtime's id.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace velk {

struct RuntimeId {
  uint64_t value = 0;

  // Ids come from one process-wide counter starting at 1 and are never reused.
  static RuntimeId next() noexcept;

  friend bool operator==(RuntimeId, RuntimeId) = default;
  std::string debug() const { return "RuntimeId(" + std::to_string(value) + ")"; }
};

// A handle to a node whose value type is T. T is a marker only; a handle keeps nothing alive.
template <class T>
struct Velk {
  uint32_t slot = 0;
  uint32_t generation = 0;
  RuntimeId runtime_id;

  friend bool operator==(const Velk&, const Velk&) = default;
};

struct ErasedVelk {
  uint32_t slot = 0;
  uint32_t generation = 0;
  RuntimeId runtime_id;

  ErasedVelk() = default;
  ErasedVelk(uint32_t s, uint32_t g, RuntimeId r) : slot(s), generation(g), runtime_id(r) {}
  template <class T>
  explicit ErasedVelk(const Velk<T>& h) : ErasedVelk(h.slot, h.generation, h.runtime_id) {}

  friend bool operator==(const ErasedVelk&, const ErasedVelk&) = default;
  std::string debug() const {
    return "ErasedVelk { slot: " + std::to_string(slot) +
           ", generation: " + std::to_string(generation) + ", runtime_id: " + runtime_id.debug() +
           " }";
  }
};

}  // namespace velk
