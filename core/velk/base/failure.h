// Engine failures: one exception type carrying the exact user-visible text.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

namespace velk {

class HeldVisitor;

// What the layer above knows of a failure beyond its text (the binding keeps the exception a
// user callback raised). It travels inside the failure, so a failure delivered later, or on
// another thread, still carries it.
class FailureDetail {
 public:
  virtual ~FailureDetail() = default;
  // Offers the values it holds, for a runtime that keeps it (see held.h).
  virtual void visit_held(HeldVisitor&) const {}
};

// Every engine operation reports failure by throwing this; nothing returns an error code.
// RAII guards release locks and node claims while it unwinds.
class Failure : public std::exception {
 public:
  explicit Failure(std::string message, std::shared_ptr<const FailureDetail> detail = nullptr,
                   std::shared_ptr<const FailureDetail> cause = nullptr)
      : message_(std::move(message)), detail_(std::move(detail)), cause_(std::move(cause)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }
  const FailureDetail* detail() const noexcept { return detail_.get(); }
  const std::shared_ptr<const FailureDetail>& shared_detail() const noexcept { return detail_; }
  // The detail of an earlier failure this one follows from (a failed node read again names
  // what its compute failed with), or null.
  const FailureDetail* cause() const noexcept { return cause_.get(); }
  const std::shared_ptr<const FailureDetail>& shared_cause() const noexcept { return cause_; }

 private:
  std::string message_;
  std::shared_ptr<const FailureDetail> detail_;
  std::shared_ptr<const FailureDetail> cause_;
};

// A failure of one compute's circumstances rather than of what it read (the interpreter's
// recursion limit reached by a deep nesting of reads, an interrupt, memory running out): the
// node is not left Failed, so its next read computes it again.
class TransientFailure : public Failure {
 public:
  using Failure::Failure;
};

// A read that could not reach a value: it met a deleted node (a stale handle, a dependency
// deleted while the read reached it), or a node whose compute it is inside of (a cycle). It
// says nothing about the computes it passes back through, which are left New, not Failed: the
// next read computes them and meets it again (or not, once the deletion or the read is gone).
class ReadFailure : public Failure {
 public:
  using Failure::Failure;
};

[[noreturn]] void fail(std::string message);
[[noreturn]] void fail_transient(std::string message);
[[noreturn]] void fail_read(std::string message);

// An index that does not name an element of a table or array.
[[noreturn]] void fail_index_out_of_range(const char* what, uint64_t index, uint64_t length);

}  // namespace velk
