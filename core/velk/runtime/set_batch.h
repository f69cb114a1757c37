// The writes of one Runtime::set_many: inputs with their new values, of any value types. The
// value types are erased here and restored by TypedBatchWrite (runtime.h), which reaches the
// node's arena the way Runtime::set does.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>
#include <typeinfo>
#include <utility>
#include <vector>

#include "velk/base/handle.h"

namespace velk {

class Runtime;

// One input's new value.
class BatchWrite {
 public:
  BatchWrite(ErasedVelk node, std::string_view type_name) : node_(node), type_name_(type_name) {}
  virtual ~BatchWrite() = default;
  BatchWrite(const BatchWrite&) = delete;
  BatchWrite& operator=(const BatchWrite&) = delete;

  ErasedVelk node() const noexcept { return node_; }
  std::string_view type_name() const noexcept { return type_name_; }
  // Checks the handle and that it names an input, with Runtime::set's messages, and finds the
  // value's cell.
  virtual void check(Runtime& runtime) = 0;
  // Whether the new value differs from the stored one; after check.
  virtual bool changes() const = 0;
  // What comparing values of this type takes, held over a run of compares of that type (the
  // interpreter lock for Python values: taken once rather than once per compare).
  virtual std::shared_ptr<void> compare_scope() const = 0;
  virtual const std::type_info& value_type() const noexcept = 0;
  // Stores the new value; after check, with the input claimed.
  virtual void write() = 0;

 private:
  ErasedVelk node_;
  std::string_view type_name_;
};

template <class T>
class TypedBatchWrite;

class SetBatch {
 public:
  // A node added twice takes the value added last.
  template <class T>
  void add(Velk<T> node, T value) {
    writes_.push_back(std::make_unique<TypedBatchWrite<T>>(node, std::move(value)));
  }
  size_t size() const noexcept { return writes_.size(); }

 private:
  friend class Runtime;
  std::vector<std::unique_ptr<BatchWrite>> writes_;
};

}  // namespace velk
