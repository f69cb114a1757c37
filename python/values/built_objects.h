// The Python objects built for engine composites (window lists, join and pairwise tuples).
// A retraction hands on the very object the insertion built, so the stage's output collection
// matches its elements by identity: lists, which cannot be hashed, stay one hash lookup away
// instead of sharing the bucket of every unhashable value, and no user __eq__ or __hash__
// runs there.
#pragma once

#include <vector>

#include "values/py_value.h"
#include "velk/collections/collection_ops.h"
#include "velk/collections/occurrence_list.h"

namespace velk::py {

// Owned by one stage node, which the engine runs on one thread at a time; visited for the
// collector without a lock.
template <class Composite>
class BuiltObjects {
 public:
  // Requires the interpreter lock. An object from `build(composite)` for each insert and the
  // object built for an equal composite (the latest still present) for each delete; a delete
  // of a composite never inserted is dropped. A failing build throws before anything changes.
  template <class Build>
  std::vector<Delta<PyValue>> translate(const std::vector<Delta<Composite>>& batch, Build build) {
    std::vector<PyValue> fresh;
    for (const Delta<Composite>& d : batch) {
      if (d.kind == DeltaKind::Insert) fresh.push_back(build(d.element));
    }
    objects_.reserve(objects_.size() + fresh.size());  // one growth for a large batch
    std::vector<Delta<PyValue>> out;
    out.reserve(batch.size());
    size_t next = 0;
    for (const Delta<Composite>& d : batch) {
      if (d.kind == DeltaKind::Insert) {
        objects_[d.element].push_back(fresh[next]);
        out.push_back({DeltaKind::Insert, std::move(fresh[next++])});
      } else if (auto it = objects_.find(d.element); it != objects_.end()) {
        out.push_back({DeltaKind::Delete, std::move(it->second.back())});
        it->second.pop_back();
        if (it->second.empty()) objects_.erase(it);
      }
    }
    return out;
  }

  // Requires the interpreter lock. The objects for a stage's starting contents, which become
  // the table's keys. A failing build throws before anything changes.
  template <class Build>
  std::vector<PyValue> seed(std::vector<Composite> contents, Build build) {
    std::vector<PyValue> objects;
    objects.reserve(contents.size());
    for (size_t i = 0; i < contents.size(); ++i) {
      prefetch_ahead(contents, i);
      objects.push_back(build(contents[i]));
    }
    objects_.reserve(objects_.size() + contents.size());
    for (size_t i = 0; i < contents.size(); ++i) {
      objects_.try_emplace(std::move(contents[i])).first->second.push_back(objects[i]);
    }
    return objects;
  }

  template <class Visit>
  void for_each_value(Visit&& visit) const {
    for (const auto& [composite, objects] : objects_) {
      visit(composite);
      for (const PyValue& object : objects) visit(object);
    }
  }

 private:
  ElementMap<Composite, OccurrenceList<PyValue>> objects_;  // matched by member identity
};

}  // namespace velk::py
