// The native stack guard.
//
// Every call into a container, nested or not, first asks whether the calling
// thread's native stack has room for the Python code the call may run, so
// that a chain of calls through containers ends in RecursionError, not in a
// crash. The room is measured against the thread's real stack bounds (for
// the main thread, its limit, not what is mapped so far), never against
// where the thread's first call happened to stand: a floor per thread, at
// a reserve above the stack's lowest address. The reserve scales with the
// stack, so that a shallow call works on the smallest stack the interpreter
// itself runs on, and a deep chain stops with room to spare on every stack.
//
// Once a thread's floor is known the check is a thread-local load and a
// compare. Its only state is the thread's own (core/this_thread.h). Where
// the system does not tell a thread's bounds there is no floor, and the
// interpreter's recursion limit is the only bound.
#pragma once

#include "core/this_thread.h"

#include <cstdint>

namespace tarnik {

namespace stack_guard {

// The room kept below the lowest call on a stack of `size` bytes.
std::uintptr_t reserve_for(std::uintptr_t size) noexcept;

// At or below the floor, or before it is known.
bool has_room_slow(std::uintptr_t here) noexcept;

}  // namespace stack_guard

// Whether the calling thread's native stack has room for one more call into
// Python code.
inline bool stack_has_room() noexcept {
    char here;  // only its address is taken
    const auto at = reinterpret_cast<std::uintptr_t>(&here);
    // The floor (this_thread.stack_floor) is the lowest address a call may
    // start at: all ones until the thread's bounds are known, 0 when they
    // are unknown.
    if (at > this_thread.stack_floor) [[likely]]
        return true;
    return stack_guard::has_room_slow(at);
}

}  // namespace tarnik
