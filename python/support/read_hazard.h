// The hazard record of the clean reads made on this thread, made with its first clean read and
// kept until the thread ends.
#pragma once

#include "velk/base/hot_tls.h"
#include "velk/memory/hazard.h"

namespace velk::py {

// A clean read publishes the value's cell, takes a reference to the value and clears the record
// again, running no Python and no other read in between, so one record serves every clean read
// of the thread and none pays for taking and returning one. Null before the thread's first read
// and again once the thread's destructors took it back.
VELK_HOT_TLS inline thread_local HazardHolder* kept_read_hazard = nullptr;

// Makes the kept record; null, with none made, once the thread's destructors run.
HazardHolder* make_kept_read_hazard();

// Clears the kept record when the read is done with it, also when the read fails.
class ClearedHazard {
 public:
  explicit ClearedHazard(HazardHolder& hazard) noexcept : hazard_(hazard) {}
  ~ClearedHazard() { hazard_.reset(); }
  ClearedHazard(const ClearedHazard&) = delete;
  ClearedHazard& operator=(const ClearedHazard&) = delete;

 private:
  HazardHolder& hazard_;
};

}  // namespace velk::py
