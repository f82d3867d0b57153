// Resolution plans: a request checked as a whole, then built dependency
// first with every key built at most once.
#pragma once

#include "core/state.h"
#include "core/smallvec.h"
#include "core/trash.h"

#include <cstdint>

namespace tarnik {

// What a plan built, kept by the caller so that it is released after the
// container's lock.
struct PlanValues {
    RefStack<16> values;                    // per key of the order, in order
    SmallVec<std::uint32_t, 16> requested;  // order index of each requested key
};

// Compiles and runs the plan for `keys`; false with the exception set on the
// first failure.
bool resolve_many_plan(ContainerState& st, const KeyList& keys, PlanValues& out, Trash& trash);

}  // namespace tarnik
