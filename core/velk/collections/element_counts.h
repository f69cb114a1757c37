// The contents of a collection: how many times each element occurs.
//
// Elements that can be hashed share an entry with equal ones and are found by hash, then by
// identity or equality. Elements that cannot (their hash is the one all such values share) are
// held per object and found by identity, else by equality with each of them: that is what one
// shared hash bucket would do, without comparing an insert with anything, nor the delete of the
// very object inserted (what an operator passes on from its source, window lists included).
//
// Lookups may run user code and throw; they create nothing but the entry an insert needs, which
// the caller erases if a later lookup of its batch throws. Guarded by the owner's lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "velk/base/value_traits.h"

namespace velk {

// How a table finds its elements: by value (the same object or an equal one; may run user
// code, which may throw an interruption) or, for tables the engine alone fills and empties
// with its own objects, by identity (no user code).
enum class Matching : uint8_t { Value, Identity };

// Not noexcept on purpose: the standard tables then keep each element's hash beside it, so
// rehashing and erasing never run user code, and a bucket is scanned comparing stored hashes
// before calling equality.
template <class E>
struct ElementHash {
  Matching matching = Matching::Value;
  size_t operator()(const E& e) const {
    return size_t(matching == Matching::Value ? ValueTraits<E>::hash(e) : object_hash(e));
  }
};
template <class E>
struct ElementEqual {
  Matching matching = Matching::Value;
  bool operator()(const E& a, const E& b) const {
    return matching == Matching::Value ? same_value(a, b) : same_object(a, b);
  }
};

// A hash table from elements to T, matching as `ElementHash`/`ElementEqual` say.
template <class E, class T>
using ElementMap = std::unordered_map<E, T, ElementHash<E>, ElementEqual<E>>;

template <class E, class T>
ElementMap<E, T> element_map(Matching matching = Matching::Value) {
  return ElementMap<E, T>(0, ElementHash<E>{matching}, ElementEqual<E>{matching});
}

// Whether `v` cannot be hashed, so that it shares its hash with every such value.
template <class E>
bool shares_hash(const E& v) {
  if constexpr (requires { ValueTraits<E>::unhashable(v); }) {
    return ValueTraits<E>::unhashable(v);
  } else {
    return false;
  }
}

template <class E>
class ElementCounts {
 public:
  using Map = ElementMap<E, uint64_t>;
  using Iterator = typename Map::iterator;
  // Where an element is counted; `table` is null for a delete that finds nothing.
  struct Slot {
    Map* table = nullptr;
    Iterator it{};
    bool fresh = false;  // created by this lookup, at count 0
  };
  // The net change a batch has planned for each entry so far, by entry address.
  using Plan = std::unordered_map<const void*, int64_t>;

  explicit ElementCounts(Matching matching)
      : matching_(matching),
        shared_(element_map<E, uint64_t>(matching)),
        loose_(element_map<E, uint64_t>(Matching::Identity)) {}

  // The entry an insert of `element` adds to, created at count 0 when absent.
  Slot for_insert(const E& element) {
    Map& table = is_loose(element) ? loose_ : shared_;
    auto [it, fresh] = table.try_emplace(element, 0);
    return {&table, it, fresh};
  }

  Slot for_insert(E&& element) {  // moves `element` in when the entry is new
    Map& table = is_loose(element) ? loose_ : shared_;
    auto [it, fresh] = table.try_emplace(std::move(element), 0);
    return {&table, it, fresh};
  }

  // The entry a delete of `element` takes an occurrence from, counting the changes `plan`
  // holds for the entries; a null table when there is none.
  Slot for_delete(const E& element, const Plan& plan) {
    auto live = [&](Iterator it) {
      auto planned = plan.find(&*it);
      return int64_t(it->second) + (planned == plan.end() ? 0 : planned->second) > 0;
    };
    if (!is_loose(element)) {
      auto it = shared_.find(element);
      return it != shared_.end() && live(it) ? Slot{&shared_, it} : Slot{};
    }
    if (auto it = loose_.find(element); it != loose_.end() && live(it)) return {&loose_, it};
    for (auto it = loose_.begin(); it != loose_.end(); ++it) {
      if (live(it) && ValueTraits<E>::equal(it->first, element)) return {&loose_, it};
    }
    // A value whose hash raised sits in the shared table, under the hash it shares with this one.
    auto it = shared_.find(element);
    return it != shared_.end() && live(it) ? Slot{&shared_, it} : Slot{};
  }

  // Room for `more` new entries in either table without a rehash, so that the slots of a
  // batch's lookups stay valid. Grown geometrically: one more each batch would rehash each time.
  void reserve(size_t more) {
    for (Map* table : {&shared_, &loose_}) {
      const size_t needed = table->size() + more;
      if (double(needed) > double(table->bucket_count()) * table->max_load_factor()) {
        table->reserve(std::max(needed, 2 * table->size()));
      }
    }
  }

  // Visits (element, count) for every entry.
  template <class Visit>
  void for_each(Visit&& visit) const {
    for (const Map* table : {&shared_, &loose_}) {
      for (const auto& [element, count] : *table) visit(element, count);
    }
  }

 private:
  bool is_loose(const E& element) const {
    return matching_ == Matching::Value && shares_hash(element);
  }

  Matching matching_;
  Map shared_;
  Map loose_;  // by identity
};

}  // namespace velk
