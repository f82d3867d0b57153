// What differs between compilers and C libraries in the source itself: the
// few attributes the module uses, each empty where the compiler has none.
#pragma once

// Keeps rarely taken growth out of the hot loops that call it.
#if defined(__GNUC__) || defined(__clang__)
#define TARNIK_NOINLINE [[gnu::noinline]]
#elif defined(_MSC_VER)
#define TARNIK_NOINLINE __declspec(noinline)
#else
#define TARNIK_NOINLINE
#endif

// Exported from a build whose symbols are hidden by default (PyMODINIT_FUNC
// says so itself from CPython 3.9 on, and on Windows always).
#if defined(_WIN32)
#define TARNIK_EXPORTED __declspec(dllexport)
#elif defined(__GNUC__) || defined(__clang__)
#define TARNIK_EXPORTED [[gnu::visibility("default")]]
#else
#define TARNIK_EXPORTED
#endif

// The TLS model of the module's own thread-local variables. With glibc the
// initial-exec model reaches them without a call: its loader keeps static
// TLS room for libraries opened later. musl's loader refuses to open a
// library that uses it ("initial-exec TLS resolves to dynamic definition"),
// so everywhere else the compiler's default model stays. `__GLIBC__` comes
// from <features.h>, which every C library header includes there.
#include <cstdint>
#if defined(__GLIBC__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__))
#define TARNIK_TLS_MODEL [[gnu::tls_model("initial-exec")]]
#else
#define TARNIK_TLS_MODEL
#endif
