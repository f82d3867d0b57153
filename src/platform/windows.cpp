// Windows.
#if defined(_WIN32)

#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace tarnik::platform {

// Thread ids are multiples of 4, never 0.
std::uintptr_t thread_id_slow() noexcept { return static_cast<std::uintptr_t>(GetCurrentThreadId()); }

std::uintptr_t stack_low() noexcept {
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    // The lowest pages are the guard that grows the stack; stay above them.
    return low ? static_cast<std::uintptr_t>(low) + 64 * 1024 : 0;
}

// There is no fork() on Windows.
void at_fork(void (*)(), void (*)(), void (*)()) noexcept {}

}  // namespace tarnik::platform

#endif
