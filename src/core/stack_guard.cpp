#include "core/stack_guard.h"

#include "platform/platform.h"

namespace tarnik::stack_guard {

std::uintptr_t reserve_for(std::uintptr_t size) noexcept {
    constexpr std::uintptr_t kLeast = 16 * 1024, kMost = 256 * 1024;
    const std::uintptr_t quarter = size / 4;
    return quarter < kLeast ? kLeast : quarter > kMost ? kMost : quarter;
}

bool has_room_slow(std::uintptr_t here) noexcept {
    std::uintptr_t& floor = this_thread.stack_floor;
    if (floor == ~std::uintptr_t(0)) {
        const platform::StackBounds b = platform::stack_bounds();
        this_thread.stack_low = b.low;
        floor = b.low && b.high > b.low ? b.low + reserve_for(b.high - b.low) : 0;
        if (here > floor) return true;
    }
    // Out of room, unless the call runs below the thread's stack: on a stack
    // of its own that a stack-switching library made, of which nothing is
    // known.
    return here < this_thread.stack_low;
}

}  // namespace tarnik::stack_guard
