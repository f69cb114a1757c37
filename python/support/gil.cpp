#include "support/gil.h"

namespace velk::py {

void release_gil_while_waiting(void (*wait)(void*), void* context) {
  if (interpreter_finalizing() || !PyGILState_Check()) {
    wait(context);
    return;
  }
  // Retaken also when the wait throws: the caller's error handling needs the interpreter lock.
  LockGivenUp given_up;
  wait(context);
}

}  // namespace velk::py
