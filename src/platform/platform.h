// What differs between operating systems, and nothing else.
//
// Every other source file is standard C++ and the CPython C API. What the
// rest of the module needs from the system:
// - the bounds of the calling thread's native stack;
// - handlers around fork(), where the system has it;
// - a mutex, a condition variable and a yield that need no C++ runtime
//   library beyond the compiler's own (on Windows, nothing from
//   msvcp140.dll) and never throw.
// posix.cpp implements them for every POSIX system (the stack bounds per
// system inside it), windows.cpp for Windows; each compiles to nothing on
// the other.
//
// Forced unwinding needs nothing here: glibc ends a thread (pthread_exit at
// interpreter exit) by unwinding it, other C libraries do not unwind, and the
// module catches only std::bad_alloc and std::exception, so such an unwind
// passes every catch site untouched and runs the destructors on its way.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define TARNIK_WINDOWS 1
#else
#define TARNIK_POSIX 1
#include <pthread.h>
#endif

// Where destroying a mutex or condition variable releases nothing (the whole
// object is the struct itself), they are not destroyed: one destroyed at
// exit could still be in use by a thread the interpreter has not ended, and
// glibc makes a destroyed mutex fail every later lock.
#if defined(TARNIK_WINDOWS) || defined(__linux__) || defined(__APPLE__)
#define TARNIK_TRIVIAL_SYNC 1
#endif

namespace tarnik::platform {

// The calling thread's native stack, which grows down on every supported
// system: `low` is the lowest address it may reach (above any guard pages),
// `high` the address just above its top. Both are 0 when the system does not
// tell. Takes a system call or more: the caller keeps what it needs.
struct StackBounds {
    std::uintptr_t low = 0;
    std::uintptr_t high = 0;
};
StackBounds stack_bounds() noexcept;

// Registers functions to run around fork(): `prepare` in the parent before
// it, `parent` in the parent and `child` in the child after it, both before
// the fork returns to any Python code. Nothing where there is no fork().
void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept;

// Lets another thread run.
void yield() noexcept;

// Ends the process: a synchronisation call of the system failed, which only
// a bug (a mutex used after it was destroyed, say) can make happen.
[[noreturn]] void sync_failed() noexcept;

// A mutex, not re-entrant (BasicLockable and Lockable: std::lock_guard and
// std::unique_lock work with it). Constant-initialised, so one at namespace
// scope needs no dynamic initialisation; reinitialising one in place
// (placement new, in the child of a fork) gives a free mutex.
class Mutex {
public:
    constexpr Mutex() noexcept = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
#if defined(TARNIK_TRIVIAL_SYNC)
    ~Mutex() = default;
#else
    ~Mutex() { pthread_mutex_destroy(&m_); }
#endif

#if defined(TARNIK_POSIX)
    void lock() noexcept {
        if (pthread_mutex_lock(&m_) != 0) sync_failed();
    }
    bool try_lock() noexcept { return pthread_mutex_trylock(&m_) == 0; }
    void unlock() noexcept {
        if (pthread_mutex_unlock(&m_) != 0) sync_failed();
    }
#else
    void lock() noexcept;
    bool try_lock() noexcept;
    void unlock() noexcept;
#endif

private:
    friend class CondVar;
#if defined(TARNIK_POSIX)
    pthread_mutex_t m_ = PTHREAD_MUTEX_INITIALIZER;
#else
    void* m_ = nullptr;  // an SRWLOCK, which is one pointer, all zero when free
#endif
};

// A condition variable for Mutex. Waits may end spuriously: the caller
// checks its condition in a loop.
class CondVar {
public:
#if defined(TARNIK_POSIX)
    CondVar() noexcept;  // timed waits measure on a monotonic clock
#else
    constexpr CondVar() noexcept = default;
#endif
    CondVar(const CondVar&) = delete;
    CondVar& operator=(const CondVar&) = delete;
#if defined(TARNIK_TRIVIAL_SYNC)
    ~CondVar() = default;
#else
    ~CondVar() { pthread_cond_destroy(&c_); }
#endif

    // Called with `m` locked; returns with it locked.
    void wait(Mutex& m) noexcept;
    // As wait(), for at most `ms` milliseconds: true when the time ran out.
    bool wait_for(Mutex& m, unsigned long ms) noexcept;
    void notify_one() noexcept;
    void notify_all() noexcept;

private:
#if defined(TARNIK_POSIX)
    pthread_cond_t c_;
#else
    void* c_ = nullptr;  // a CONDITION_VARIABLE, one pointer, all zero when new
#endif
};

}  // namespace tarnik::platform
