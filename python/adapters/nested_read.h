// Reads of out-of-date nodes made from Python, and the thread their computation runs on.
#pragma once

#include "values/py_value.h"
#include "velk/collections/collection.h"
#include "velk/runtime/runtime.h"

namespace velk::py {

// Brings `node` up to date and returns a new reference to its value, recording the read in the
// compute running on the calling thread. Requires the interpreter lock, which it releases while
// the engine works.
OwnedRef read_out_of_date(Runtime& runtime, const NodeHandle& node);
// The same without recording the read: the running compute does not depend on the node.
OwnedRef read_untracked(Runtime& runtime, const NodeHandle& node);

}  // namespace velk::py
