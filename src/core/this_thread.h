// What the module keeps for the calling thread, in one thread-local record
// that its hot paths reach with one address: written and read by its own
// thread only.
#pragma once

#include "platform/compiler.h"

#include <cstdint>

namespace tarnik {

struct ThisThread {
    std::uint64_t id;           // core/lock.h: 0 until the thread first takes a container's lock
    unsigned holds;             // core/lock.h: locks the thread holds now, on any of its stacks
    std::uintptr_t stack_floor;  // core/stack_guard.h: all ones until known, 0 when unknown
    std::uintptr_t stack_low;    // core/stack_guard.h: the lowest address of its stack, once known
};

TARNIK_TLS_MODEL inline thread_local ThisThread this_thread{0, 0, ~std::uintptr_t(0), 0};

}  // namespace tarnik
