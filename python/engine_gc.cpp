#include "engine_gc.h"

namespace velk::py {

EngineScopeCount engine_scopes;

namespace {

// Passes each held Python object to the collector's visit function until one returns nonzero.
class PythonVisitor final : public ValueVisitor<PyValue> {
 public:
  PythonVisitor(visitproc function, void* arg) noexcept : visit_(function), arg_(arg) {}

  void visit(const PyValue& value) override {
    if (result_ == 0 && value.get() != nullptr) result_ = visit_(value.get(), arg_);
  }
  int result() const noexcept { return result_; }

 private:
  visitproc visit_;
  void* arg_;
  int result_ = 0;
};

}  // namespace

// noexcept: a visit that stopped part-way through (out of memory) could visit less in a later
// pass than in an earlier one, which frees live objects; terminating is the safe outcome.
int traverse_engine(const Runtime& runtime,
                    const std::vector<std::weak_ptr<CollectionState<PyValue>>>& roots,
                    visitproc visit, void* arg) noexcept {
  if (engine_scopes.open != 0) return 0;
  PythonVisitor visitor(visit, arg);
  runtime.visit_held(visitor);
  for (const auto& root : roots) {
    if (auto state = root.lock()) offer_shared<PyValue>(visitor, state);
  }
  return visitor.result();
}

}  // namespace velk::py
