// Thread-local variables read on every engine call. In the initial-exec model such a variable
// is one load from the thread pointer, where a module loaded at run time would otherwise call
// into the loader; the few bytes they take come from the static TLS space the loader keeps
// for modules loaded at run time.
#pragma once

#if defined(__GNUC__) && defined(__x86_64__)
#define VELK_HOT_TLS [[gnu::tls_model("initial-exec")]]
#else
#define VELK_HOT_TLS
#endif
