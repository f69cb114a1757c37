#include "velk/runtime/engine_steps.h"

#include <string>

namespace velk {

std::vector<uint32_t> EngineSteps::dependents_of(const Runtime& runtime, uint32_t slot) {
  StructuralLock::ReadGuard held(runtime.structural_lock_);
  return runtime.graph_.dependents(slot, held);
}

void EngineSteps::retire_with(Runtime& runtime, ErasedVelk node, std::weak_ptr<Retirable> state) {
  StructuralLock::WriteGuard held(runtime.structural_lock_);
  if (!runtime.is_alive(node)) {
    fail("velk-core: retire_with on deleted node " + std::to_string(node.slot));
  }
  runtime.ownership_.retire_with(node.slot, std::move(state), held);
}

void EngineSteps::recover_after_fork(Runtime& runtime) {
  {
    const StructuralLock::ForkHold held(runtime.structural_lock_);
    runtime.release_claims_after_fork(held);
  }
  runtime.structural_lock_.reset_after_fork();
}

}  // namespace velk
