#include "platform/platform.h"

namespace tarnik::platform {

std::uintptr_t compute_stack_floor() noexcept {
    std::uintptr_t low = stack_low();
    char here = 0;
    auto sp = reinterpret_cast<std::uintptr_t>(&here);
    // Unknown bounds, or a stack already smaller than the reserve: no limit.
    if (low == 0 || sp <= low || sp - low <= kStackReserve) return 1;
    return low + kStackReserve;
}

}  // namespace tarnik::platform
