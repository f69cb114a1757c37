#include "velk/base/failure.h"

namespace velk {

void fail(std::string message) { throw Failure(std::move(message)); }

void fail_transient(std::string message) { throw TransientFailure(std::move(message)); }
void fail_read(std::string message) { throw ReadFailure(std::move(message)); }

void fail_index_out_of_range(const char* what, uint64_t index, uint64_t length) {
  fail(std::string(what) + ": index out of range: the index is " + std::to_string(index) +
       " but the length is " + std::to_string(length));
}

}  // namespace velk
