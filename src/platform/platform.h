// What differs between operating systems, and nothing else.
//
// Every other source file is standard C++ and the CPython C API. What the
// rest of the module needs from the system:
// - a cheap identity for the calling thread;
// - whether the calling thread's native stack has room for one more call
//   into Python code (the stack guard of every method);
// - handlers around fork(), where the system has it.
// The implementations live in one file per family (linux.cpp, macos.cpp,
// windows.cpp) and a portable fallback (portable.cpp); each compiles to
// nothing elsewhere.
//
// Forced unwinding needs nothing here: glibc ends a thread (pthread_exit at
// interpreter exit) by unwinding it, other C libraries do not unwind, and the
// module catches only std::bad_alloc and std::exception, so such an unwind
// passes every catch site untouched and runs the destructors on its way.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__) && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__aarch64__)) && (defined(__clang__) || __GNUC__ >= 11)
#define TARNIK_THREAD_POINTER 1
#elif defined(__APPLE__) || (defined(__unix__) && !defined(_WIN32))
#define TARNIK_PTHREAD_SELF 1
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#endif

#include <type_traits>

#if defined(__ELF__) && defined(__GLIBC__) && (defined(__GNUC__) || defined(__clang__))
// The module's few bytes of thread-local state are reached without a call.
#define TARNIK_TLS_MODEL [[gnu::tls_model("initial-exec")]]
#else
#define TARNIK_TLS_MODEL
#endif

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

namespace tarnik::platform {

#if defined(__unix__) || defined(__APPLE__)
// A pthread_t as a number: it is a pointer on most systems, an unsigned long
// on glibc (as wide as a pointer there).
template <class Thread>
std::uintptr_t as_number(Thread t) noexcept {
    if constexpr (std::is_pointer_v<Thread>)
        return reinterpret_cast<std::uintptr_t>(t);
    else
        return static_cast<std::uintptr_t>(t);
}
#endif

// A number that identifies the calling thread among the live threads of the
// process; never 0 or 1 (a lock uses those for "free" and "reserved").
std::uintptr_t thread_id_slow() noexcept;
inline std::uintptr_t thread_id() noexcept {
#if defined(TARNIK_THREAD_POINTER)
    // The thread pointer, read without a call.
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#elif defined(TARNIK_PTHREAD_SELF)
    return as_number(pthread_self());
#else
    return thread_id_slow();
#endif
}

// The lowest address the calling thread's native stack may reach (stacks grow
// down on every supported system), or 0 when the system does not tell.
std::uintptr_t stack_low() noexcept;

// Room that a call into Python code needs left on the native stack.
inline constexpr std::uintptr_t kStackReserve = 256 * 1024;

// Per thread: the lowest address a method may start at; 0 until known, 1
// when the bounds are unknown (no limit of our own then).
TARNIK_TLS_MODEL inline thread_local std::uintptr_t stack_floor = 0;
std::uintptr_t compute_stack_floor() noexcept;

// Whether the calling thread's native stack has room for one more call into
// Python code.
inline bool stack_has_room() noexcept {
    std::uintptr_t floor = stack_floor;
    if (floor == 0) floor = stack_floor = compute_stack_floor();
    char here = 0;
    return reinterpret_cast<std::uintptr_t>(&here) > floor;
}

// Registers functions to run around fork(): `prepare` in the parent before
// it, `parent` in the parent and `child` in the child after it, both before
// the fork returns to any Python code. Nothing where there is no fork().
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

}  // namespace tarnik::platform
