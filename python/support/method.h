// The one shape of every method of the module: drain the pending-release list, parse the named
// arguments (positional or keyword), convert each to the type the body takes (Argument<T>),
// and run the body inside the single catch boundary, which raises a failure the way `raise`
// says (support/errors.h). The body runs in an engine scope, so the cycle collector leaves the
// engines alone meanwhile. A body that takes `const ModuleState&` first gets the state of the
// module that defined the method's class.
#pragma once

#include <algorithm>
#include <array>
#include <tuple>
#include <type_traits>
#include <utility>

#include "support/args.h"
#include "support/engine_scope.h"
#include "support/errors.h"
#include "support/gil.h"

namespace velk::py {

// The arguments of a METH_FASTCALL | METH_KEYWORDS call; none for a METH_NOARGS method or a
// getter.
struct CallArgs {
  PyObject* const* args = nullptr;
  Py_ssize_t nargs = 0;
  PyObject* kwnames = nullptr;
};

namespace method_detail {

template <class... T>
struct Converted {
  using tuple = std::tuple<T...>;
  static constexpr bool takes_module = false;
};
template <class... T>
struct Converted<ModuleState, T...> {
  using tuple = std::tuple<T...>;
  static constexpr bool takes_module = true;
};

template <class F>
struct BodyTraits : BodyTraits<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct BodyTraits<R (C::*)(A...) const> : Converted<std::decay_t<A>...> {};

template <class Tuple>
struct Convert;
template <class... T>
struct Convert<std::tuple<T...>> {
  // Left to right, as a braced list evaluates.
  template <size_t... I>
  // With no parameters the expansion below is empty and uses none of them.
  static std::tuple<T...> all([[maybe_unused]] const char* function,
                              [[maybe_unused]] const char* const* names,
                              [[maybe_unused]] const ModuleState& module,
                              [[maybe_unused]] PyObject* const* argv, std::index_sequence<I...>) {
    return std::tuple<T...>{Argument<T>::convert({function, names[I], module}, argv[I])...};
  }
};

}  // namespace method_detail

template <class Body>
constexpr size_t parameter_count =
    std::tuple_size_v<typename method_detail::BodyTraits<Body>::tuple>;

// `name` and `params` name the method and its parameters in errors. The body's parameters, after
// an optional leading `const ModuleState&`, are the converted arguments in order (a PyObject*
// one is borrowed from the call):
//   method<raise_mapped>("get", {"node"}, self, {args, nargs, kwnames},
//                        [&](const NodeHandle& node) { ... });
template <RaiseFailure raise, class Body>
PyObject* method(const char* name,
                 const std::type_identity_t<std::array<const char*, parameter_count<Body>>>& params,
                 PyObject* self, CallArgs call, const Body& body) {
  using Traits = method_detail::BodyTraits<Body>;
  constexpr size_t n = parameter_count<Body>;
  drain_pending_releases();
  std::array<PyObject*, n> argv;
  if constexpr (n > 0) {
    // Every parameter given by position, the usual call, needs no matching by name.
    if (call.kwnames == nullptr && size_t(call.nargs) == n) {
      std::copy_n(call.args, n, argv.begin());
    } else if (!parse_arguments(name, call.args, call.nargs, call.kwnames, params.data(), n,
                                argv.data())) {
      return nullptr;
    }
  }
  const ModuleState& module = state_of(Py_TYPE(self));
  EngineScope scope;
  return boundary(
      module,
      [&]() -> PyObject* {
        auto args = method_detail::Convert<typename Traits::tuple>::all(
            name, params.data(), module, argv.data(), std::make_index_sequence<n>());
        if constexpr (Traits::takes_module) {
          return std::apply([&](auto&&... a) { return body(module, std::move(a)...); }, args);
        } else {
          return std::apply([&](auto&&... a) { return body(std::move(a)...); }, args);
        }
      },
      raise);
}

}  // namespace velk::py
