// POSIX systems: Linux (glibc, musl), macOS, the BSDs and the rest.
#include "platform/platform.h"

#include "platform/compiler.h"

#if defined(TARNIK_POSIX)

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__FreeBSD__) || defined(__DragonFly__) || defined(__OpenBSD__)
#include <pthread_np.h>
#endif

#if defined(__linux__) && (defined(__GNUC__) || defined(__clang__)) && \
    (defined(__x86_64__) || defined(__aarch64__)) && (defined(__clang__) || __GNUC__ >= 11)
#define TARNIK_THREAD_POINTER 1  // __builtin_thread_pointer() is there
#endif

namespace tarnik::platform {

namespace {

#if defined(__linux__) && !defined(__GLIBC__)
// The main thread's stack grows on demand down to RLIMIT_STACK below the top
// of its mapping. An unlimited one grows until it meets another mapping, far
// away: the common 8 MiB default is assumed then.
constexpr std::uintptr_t kUnlimitedStackAssumed = 8u << 20;

bool is_main_thread() noexcept {
    return static_cast<long>(getpid()) == syscall(SYS_gettid);
}
#endif

#if defined(__linux__) || defined(__NetBSD__) || defined(__FreeBSD__) || defined(__DragonFly__)
// What the C library says of the calling thread's stack: its lowest usable
// address and its size (guard pages excluded).
bool attr_stack(std::uintptr_t& low, std::uintptr_t& size) noexcept {
    pthread_attr_t attr;
#if defined(__FreeBSD__) || defined(__DragonFly__)
    if (pthread_attr_init(&attr) != 0) return false;
    if (pthread_attr_get_np(pthread_self(), &attr) != 0) {
        pthread_attr_destroy(&attr);
        return false;
    }
#else
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
#endif
    void* addr = nullptr;
    std::size_t bytes = 0;
    const bool ok = pthread_attr_getstack(&attr, &addr, &bytes) == 0 && addr && bytes;
    pthread_attr_destroy(&attr);
    if (!ok) return false;
    low = reinterpret_cast<std::uintptr_t>(addr);
    size = bytes;
    return true;
}

// glibc puts a thread's static TLS, and its thread control block, at the
// top of the block it reports as the thread's stack; the stack proper starts
// below them. Mostly they are a few KiB, but a large static TLS (a sanitizer
// runtime's is most of a MiB) takes much of a small thread's stack. The
// module's own thread-local variables are in the static TLS there (placed
// last, lowest where TLS lies below the thread pointer); where they, or the
// thread pointer, lie between the stack in use and the reported top, the
// stack ends below them. The main thread's TLS is elsewhere and changes
// nothing.
TARNIK_TLS_MODEL thread_local char tls_mark = 0;

void below_thread_storage(StackBounds& b) noexcept {
    char here = 0;
    const auto in_use = reinterpret_cast<std::uintptr_t>(&here);
    auto cut = [&](std::uintptr_t at) {
        if (in_use < at && at < b.high) b.high = at;
    };
    cut(reinterpret_cast<std::uintptr_t>(&tls_mark));
#if defined(TARNIK_THREAD_POINTER)
    cut(reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer()));
#endif
}
#endif

}  // namespace

StackBounds stack_bounds() noexcept {
    StackBounds b;
#if defined(__APPLE__)
    pthread_t self = pthread_self();
    // The address the system gives is the stack's top; the size, for the
    // main thread too, is what the stack may grow to.
    b.high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    std::uintptr_t size = pthread_get_stacksize_np(self);
    b.low = b.high > size ? b.high - size : 0;
#elif defined(__OpenBSD__)
    stack_t s;
    if (pthread_stackseg_np(pthread_self(), &s) == 0 && s.ss_sp) {
        b.high = reinterpret_cast<std::uintptr_t>(s.ss_sp);  // the top
        b.low = b.high > s.ss_size ? b.high - s.ss_size : 0;
    }
#elif defined(__linux__) || defined(__NetBSD__) || defined(__FreeBSD__) || defined(__DragonFly__)
    std::uintptr_t low = 0, size = 0;
    if (!attr_stack(low, size)) return b;
    b.low = low;
    b.high = low + size;
    below_thread_storage(b);
#if defined(__linux__) && !defined(__GLIBC__)
    // glibc's range for the main thread already ends where RLIMIT_STACK
    // below the top, or the mapping below, does; musl's ends at what is
    // mapped so far.
    if (is_main_thread()) {
        struct rlimit limit;
        std::uintptr_t most = kUnlimitedStackAssumed;
        if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
            most = limit.rlim_cur < b.high ? static_cast<std::uintptr_t>(limit.rlim_cur) : b.high;
        b.low = b.high - most;
    }
#endif
#endif
    return b;
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    pthread_atfork(prepare, parent, child);
}

void yield() noexcept { sched_yield(); }

void sync_failed() noexcept { std::abort(); }

#if defined(__APPLE__)
// macOS has no monotonic clock for condition variables; it waits for a
// relative time instead.
CondVar::CondVar() noexcept {
    if (pthread_cond_init(&c_, nullptr) != 0) sync_failed();
}
#else
CondVar::CondVar() noexcept {
    pthread_condattr_t attr;
    if (pthread_condattr_init(&attr) != 0 || pthread_condattr_setclock(&attr, CLOCK_MONOTONIC) != 0 ||
        pthread_cond_init(&c_, &attr) != 0)
        sync_failed();
    pthread_condattr_destroy(&attr);
}
#endif

void CondVar::wait(Mutex& m) noexcept {
    if (pthread_cond_wait(&c_, &m.m_) != 0) sync_failed();
}

bool CondVar::wait_for(Mutex& m, unsigned long ms) noexcept {
    struct timespec t;
#if defined(__APPLE__)
    t.tv_sec = static_cast<time_t>(ms / 1000);
    t.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    int rc = pthread_cond_timedwait_relative_np(&c_, &m.m_, &t);
#else
    if (clock_gettime(CLOCK_MONOTONIC, &t) != 0) sync_failed();
    t.tv_sec += static_cast<time_t>(ms / 1000);
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        t.tv_nsec -= 1000000000L;
        ++t.tv_sec;
    }
    int rc = pthread_cond_timedwait(&c_, &m.m_, &t);
#endif
    if (rc == ETIMEDOUT) return true;
    if (rc != 0) sync_failed();
    return false;
}

void CondVar::notify_one() noexcept {
    if (pthread_cond_signal(&c_) != 0) sync_failed();
}

void CondVar::notify_all() noexcept {
    if (pthread_cond_broadcast(&c_) != 0) sync_failed();
}

}  // namespace tarnik::platform

#endif
