// What the engine asks of a value type: a full name for messages and an equality test.
// Copy and destruction are the type's own copy constructor and destructor.
#pragma once

#include <cstdint>
#include <string_view>

namespace velk {

// Specialise for every value type stored in a runtime. A specialisation provides
//   static constexpr std::string_view name;          // printed in handle messages
//   static bool equal(const T& a, const T& b);       // may run user code; must not throw
// and, for element types of collections,
//   static uint64_t hash(const T& v);                // may run user code; must not throw
// and, for sort keys,
//   static bool less(const T& a, const T& b);        // may run user code; must not throw
template <class T>
struct ValueTraits;

template <>
struct ValueTraits<uint64_t> {
  static constexpr std::string_view name = "u64";
  static bool equal(uint64_t a, uint64_t b) noexcept { return a == b; }
  static uint64_t hash(uint64_t v) noexcept { return v * 0x9E3779B97F4A7C15ULL; }
  static bool less(uint64_t a, uint64_t b) noexcept { return a < b; }
};

}  // namespace velk

#include <utility>
#include <vector>

namespace velk {

// Equality for the members of composite elements (pairs, windows) that the engine builds from
// its own references: the very same value is the same member even when it is not equal to
// itself (a float NaN), so such a composite can always be found again and removed.
template <class T>
bool same_value(const T& a, const T& b) noexcept {
  if constexpr (requires { ValueTraits<T>::identical(a, b); }) {
    if (ValueTraits<T>::identical(a, b)) return true;
  }
  return ValueTraits<T>::equal(a, b);
}

// Windows of a sorted collection: sequence equality, and a hash that follows the order.
template <class E>
struct ValueTraits<std::vector<E>> {
  static constexpr std::string_view name = "window";
  static bool equal(const std::vector<E>& x, const std::vector<E>& y) noexcept {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (!same_value(x[i], y[i])) return false;
    }
    return true;
  }
  static uint64_t hash(const std::vector<E>& v) noexcept {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (const E& e : v) h = (h ^ ValueTraits<E>::hash(e)) * 0x100000001B3ULL;
    return h;
  }
};

// Pairs, the elements of a join's pair state: equal when both members are (the second compared
// only when the first are).
template <class A, class B>
struct ValueTraits<std::pair<A, B>> {
  static constexpr std::string_view name = "pair";
  static bool equal(const std::pair<A, B>& x, const std::pair<A, B>& y) noexcept {
    return same_value(x.first, y.first) && same_value(x.second, y.second);
  }
  static uint64_t hash(const std::pair<A, B>& v) noexcept {
    const uint64_t h = ValueTraits<A>::hash(v.first);
    return h ^ (ValueTraits<B>::hash(v.second) + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2));
  }
};

// A scope held around a batch of operations on values under a collection lock. Values whose
// operations need a process-wide resource (the interpreter lock for Python objects) name it as
// `ValueTraits<T>::BatchScope`, so a batch takes it once rather than once per hash or compare.
// The scope must not be held across anything that waits for another computation.
struct NoBatchScope {};

template <class T>
struct BatchScopeOf {
  using type = NoBatchScope;
};
template <class T>
  requires requires { typename ValueTraits<T>::BatchScope; }
struct BatchScopeOf<T> {
  using type = typename ValueTraits<T>::BatchScope;
};
template <class E>
struct BatchScopeOf<std::vector<E>> : BatchScopeOf<E> {};
template <class A, class B>
struct BatchScopeOf<std::pair<A, B>> : BatchScopeOf<A> {};

template <class T>
using ValueBatchScope = typename BatchScopeOf<T>::type;

}  // namespace velk
