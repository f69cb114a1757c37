#include "engine_gc.h"

#include "gil.h"
#include "runtime_methods.h"

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

// Every Python object the engine holds and the contents of the root collections still alive,
// each reference once. noexcept: a visit that stopped part-way (out of memory) could visit less
// in a later pass than in an earlier one, which frees live objects; terminating is safer.
int traverse_engine(const RuntimeObject& obj, visitproc visit, void* arg) noexcept {
  PythonVisitor visitor(visit, arg);
  obj.runtime->visit_held(visitor);
  for (const auto& root : obj.roots) {
    if (auto state = root.lock()) offer_shared<PyValue>(visitor, state);
  }
  return visitor.result();
}

}  // namespace

void remember_root(RuntimeObject& runtime, const std::shared_ptr<CollectionState<PyValue>>& state) {
  std::vector<std::weak_ptr<CollectionState<PyValue>>>& roots = runtime.roots;
  roots.push_back(state);
  // Drops the entries of collections gone since whenever the list doubles: amortised O(1).
  const size_t n = roots.size();
  if (n >= 16 && (n & (n - 1)) == 0) {
    std::erase_if(roots, [](const auto& root) { return root.expired(); });
  }
}

int runtime_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const auto* obj = reinterpret_cast<RuntimeObject*>(self);
  if (!obj->runtime) return 0;  // allocated, not yet initialised
  if (engine_scopes.open != 0) return 0;
  return traverse_engine(*obj, visit, arg);
}

int runtime_clear(PyObject* self) {
  auto* obj = reinterpret_cast<RuntimeObject*>(self);
  if (!obj->runtime) return 0;
  // Only garbage is cleared, and a thread inside this engine would keep its Runtime object (or
  // a collection object, which keeps it) alive: no thread uses the engine now.
  obj->roots.clear();
  try {
    obj->runtime->release_all();
  } catch (const std::exception&) {
    // Out of memory part-way: what is left stays until the engine is destroyed.
  }
  // Free the released cells now, as runtime_dealloc does.
  HazardDomain::global().reclaim_if_pending();
  drain_pending_releases();
  return 0;
}

}  // namespace velk::py
