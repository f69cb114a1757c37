#include "support/read_hazard.h"

namespace velk::py {

namespace {

VELK_HOT_TLS thread_local bool kept_read_hazard_gone = false;

}  // namespace

HazardHolder* make_kept_read_hazard() {
  if (kept_read_hazard_gone) return nullptr;
  // Made after the thread's hazard cache (the holder takes its record from it), so destroyed
  // before it: the record goes back to the cache, and with it to the domain.
  struct Kept {
    HazardHolder holder;
    Kept() noexcept { kept_read_hazard = &holder; }
    ~Kept() {
      kept_read_hazard = nullptr;
      kept_read_hazard_gone = true;
    }
  };
  thread_local Kept kept;
  return kept_read_hazard;
}

}  // namespace velk::py
