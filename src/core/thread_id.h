// A cheap identity for the calling thread.
#pragma once

#include <pthread.h>

#include <cstdint>

namespace tarnik {

// The thread pointer, which is what pthread_self() gives on this platform,
// read without a call; distinct for every live thread.
inline std::uintptr_t this_thread_id() noexcept {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__aarch64__)) && __GNUC__ >= 11
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#else
    return static_cast<std::uintptr_t>(pthread_self());
#endif
}

}  // namespace tarnik
