// Reads of nodes made from Python, and the thread the computation of an out-of-date one runs on.
#pragma once

#include "support/read_hazard.h"
#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

// Brings `node` up to date and returns a new reference to its value, recording the read in the
// compute running on the calling thread. Requires the interpreter lock, which it releases while
// the engine works.
OwnedRef read_out_of_date(Runtime& runtime, const NodeHandle& node);
// The same without making the running compute depend on the node; its torn-read check still
// looks at it.
OwnedRef read_untracked(Runtime& runtime, const NodeHandle& node);

// On a helper thread continuing a read whose first reader was interrupted (Ctrl-C while it
// waited): throws the transient failure that carries a KeyboardInterrupt, which ends the
// helper's computes. Does nothing elsewhere. Asked at each nested read and by the engine's
// waits (the interrupt hook).
void stop_if_reader_interrupted();

// read_node on a thread whose kept hazard record is not made yet, or gone.
OwnedRef read_node_without_kept_hazard(Runtime& runtime, const NodeHandle& node);

// A new reference to the value of `node`, brought up to date. An up-to-date node is read with
// the interpreter lock kept (releasing it would cost more than the read, which neither computes
// nor waits); anything else is brought up to date with the lock released (on a helper thread
// when the read is nested deeply, see adapters/nested_read.cpp). Inline: every query function
// reads through it.
inline OwnedRef read_node(Runtime& runtime, const NodeHandle& node) {
  HazardHolder* hazard = kept_read_hazard;
  if (hazard == nullptr) [[unlikely]]
    return read_node_without_kept_hazard(runtime, node);
  {
    ClearedHazard cleared(*hazard);  // the value's cell stays alive until its reference is taken
    if (const PyValue* value = runtime.try_get_clean(node, *hazard)) {
      return OwnedRef::new_ref(value->get());
    }
  }
  return read_out_of_date(runtime, node);
}

}  // namespace velk::py
