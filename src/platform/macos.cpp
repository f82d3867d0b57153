// macOS.
#if defined(__APPLE__)

#include "platform/platform.h"

#include <pthread.h>

namespace tarnik::platform {

std::uintptr_t thread_id_slow() noexcept { return as_number(pthread_self()); }

std::uintptr_t stack_low() noexcept {
    pthread_t self = pthread_self();
    // The address the system gives is the stack's high end.
    auto high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    std::size_t size = pthread_get_stacksize_np(self);
    return high > size ? high - size : 0;
}

void at_fork(void (*prepare)(), void (*parent)(), void (*child)()) noexcept {
    pthread_atfork(prepare, parent, child);
}

}  // namespace tarnik::platform

#endif
