// Linux (glibc and musl).
#if defined(__linux__)

#include "platform/platform.h"

#include <pthread.h>

namespace tarnik::platform {

std::uintptr_t thread_id_slow() noexcept { return as_number(pthread_self()); }

std::uintptr_t stack_low() noexcept {
    std::uintptr_t low = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 0;
    void* addr = nullptr;
    std::size_t size = 0;
    if (pthread_attr_getstack(&attr, &addr, &size) == 0 && size != 0) low = reinterpret_cast<std::uintptr_t>(addr);
    pthread_attr_destroy(&attr);
    return low;
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    pthread_atfork(prepare, parent, child);
}

}  // namespace tarnik::platform

#endif
