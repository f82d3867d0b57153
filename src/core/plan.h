// Resolution plans: a request checked as a whole, then built dependency
// first with every key built at most once.
#pragma once

#include "error.h"
#include "records.h"
#include "smallvec.h"
#include "trash.h"

#include <cstdint>

namespace tarnik {

// What a plan built, kept by the caller so that it is released after the
// container's lock.
struct PlanValues {
    RefStack<16> values;                     // per key of the order, in order
    SmallVec<std::uint32_t, 16> requested;   // order index of each requested key
};

Status resolve_many_plan(ContainerInner& st, const KeyView* keys, std::size_t n, PlanValues& out, Trash& trash);

}  // namespace tarnik
