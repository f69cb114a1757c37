// What the engine asks of a value type: a full name for messages and an equality test.
// Copy and destruction are the type's own copy constructor and destructor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

namespace velk {

// Specialise for every value type stored in a runtime. A specialisation provides
//   static constexpr std::string_view name;          // printed in handle messages
//   static bool equal(const T& a, const T& b);       // may run user code
// and, for element types of collections,
//   static uint64_t hash(const T& v);                // may run user code
// and, for sort keys,
//   static bool less(const T& a, const T& b);        // may run user code
// and optionally, for values that are references to objects,
//   static bool identical(const T& a, const T& b);   // the same object; runs no user code
//   static uint64_t identity_hash(const T& v);       // agrees with identical; no user code
//   static void prefetch(const T& v);                // starts loading the object referred to
// equal, hash and less answer for any failure of user code they can absorb (a raising
// comparison is false); the only exception they throw is a Failure for an interruption that
// must reach the caller. Every engine structure looks values up before it changes anything,
// so such a throw leaves it as it was.
template <class T>
struct ValueTraits;

// A pass over many values that reads the objects they refer to (a copy, a hash, a call) starts
// loading the one `kPrefetchAhead` places on, so that objects scattered in memory (a shuffled
// load) cost one wait per pass only for the first few. Values that refer to nothing cost nothing.
inline constexpr size_t kPrefetchAhead = 8;

template <class T>
void prefetch_value(const T& v) noexcept {
  if constexpr (requires { ValueTraits<T>::prefetch(v); }) ValueTraits<T>::prefetch(v);
}

// Prefetches the value `kPrefetchAhead` places after `i` in `values`, through `project`.
template <class Vec, class Project>
void prefetch_ahead(const Vec& values, size_t i, Project project) noexcept {
  if (i + kPrefetchAhead < values.size()) prefetch_value(project(values[i + kPrefetchAhead]));
}
template <class Vec>
void prefetch_ahead(const Vec& values, size_t i) noexcept {
  prefetch_ahead(values, i, std::identity{});
}

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

// How elements and keys are matched: the very same object, or else an equal one, as Python's
// own containers match. A value that is not equal to itself (a float NaN) is still found again
// when given back.
template <class T>
bool same_value(const T& a, const T& b) {
  if constexpr (requires { ValueTraits<T>::identical(a, b); }) {
    if (ValueTraits<T>::identical(a, b)) return true;
  }
  return ValueTraits<T>::equal(a, b);
}

// Matching by identity alone, for values only the engine hands out (it deletes with the very
// objects it inserted): runs no user code, so it never throws and costs no interpreter call.
// Types without an identity (plain numbers) are their own identity.
template <class T>
bool same_object(const T& a, const T& b) {
  if constexpr (requires { ValueTraits<T>::identical(a, b); }) {
    return ValueTraits<T>::identical(a, b);
  } else {
    return ValueTraits<T>::equal(a, b);
  }
}
template <class T>
uint64_t object_hash(const T& v) {
  if constexpr (requires { ValueTraits<T>::identity_hash(v); }) {
    return ValueTraits<T>::identity_hash(v);
  } else {
    return ValueTraits<T>::hash(v);
  }
}

// Windows of a sorted collection. The engine builds every window from its sorted elements and
// retracts it with the same objects, so windows match by the identity of their members.
template <class E>
struct ValueTraits<std::vector<E>> {
  static constexpr std::string_view name = "window";
  static bool equal(const std::vector<E>& x, const std::vector<E>& y) {
    if (x.size() != y.size()) return false;
    for (size_t i = 0; i < x.size(); ++i) {
      if (!same_object(x[i], y[i])) return false;
    }
    return true;
  }
  static uint64_t hash(const std::vector<E>& v) {
    uint64_t h = 0xCBF29CE484222325ULL;
    for (const E& e : v) h = (h ^ object_hash(e)) * 0x100000001B3ULL;
    return h;
  }
  static void prefetch(const std::vector<E>& v) noexcept {
    for (const E& e : v) prefetch_value(e);
  }
};

// Pairs (a join's matches, neighbouring elements): like windows, built and retracted by the
// engine from the objects it holds, so matched by the identity of both members.
template <class A, class B>
struct ValueTraits<std::pair<A, B>> {
  static constexpr std::string_view name = "pair";
  static bool equal(const std::pair<A, B>& x, const std::pair<A, B>& y) {
    return same_object(x.first, y.first) && same_object(x.second, y.second);
  }
  static uint64_t hash(const std::pair<A, B>& v) {
    const uint64_t h = object_hash(v.first);
    return h ^ (object_hash(v.second) + 0x9E3779B97F4A7C15ULL + (h << 6) + (h >> 2));
  }
  static void prefetch(const std::pair<A, B>& v) noexcept {
    prefetch_value(v.first);
    prefetch_value(v.second);
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
