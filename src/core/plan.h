// Resolution plans: a request checked as a whole, then built dependency
// first with every key built at most once.
#pragma once

#include "error.h"
#include "records.h"
#include "trash.h"

#include <cstdint>
#include <vector>

namespace tarnik {

// What a plan built, kept by the caller so that it is released after the
// container's lock.
struct PlanValues {
    std::vector<Ref> values;               // per key of the order
    std::vector<std::uint32_t> requested;  // order index of each requested key
};

Status resolve_many_plan(ContainerInner& st, const KeyView* keys, std::size_t n, PlanValues& out, Trash& trash);

}  // namespace tarnik
