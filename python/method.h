// The one shape of every method of the module: drain the pending-release list, parse the named
// arguments (positional or keyword), and run the body inside the single catch boundary. A held
// method turns a failure into PanicException; a mapped one re-raises the exception a Python
// callback raised during it, or raises RuntimeError with the engine's message. The body runs in
// an engine scope, so the cycle collector leaves the engines alone meanwhile.
#pragma once

#include "args.h"
#include "engine_gc.h"
#include "errors.h"
#include "gil.h"

namespace velk::py {

struct CallArgs {
  PyObject* const* args;
  Py_ssize_t nargs;
  PyObject* kwnames;
};

template <size_t N, class Body>
PyObject* held_method(const char* name, const char* const (&params)[N], CallArgs call,
                      Body&& body) {
  drain_pending_releases();
  PyObject* argv[N];
  if (!parse_arguments(name, call.args, call.nargs, call.kwnames, params, argv)) return nullptr;
  EngineScope scope;
  return boundary([&] { return body(argv); }, raise_held);
}

template <class Body>
PyObject* held_method(Body&& body) {
  drain_pending_releases();
  EngineScope scope;
  return boundary(body, raise_held);
}

template <size_t N, class Body>
PyObject* mapped_method(const char* name, const char* const (&params)[N], CallArgs call,
                        Body&& body) {
  drain_pending_releases();
  PyObject* argv[N];
  if (!parse_arguments(name, call.args, call.nargs, call.kwnames, params, argv)) return nullptr;
  EngineScope scope;
  return boundary([&] { return body(argv); }, raise_mapped);
}

template <class Body>
PyObject* mapped_method(Body&& body) {
  drain_pending_releases();
  EngineScope scope;
  return boundary(body, raise_mapped);
}

}  // namespace velk::py
