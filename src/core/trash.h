// References that an operation drops from the state.
//
// They are collected here while the container is locked and released when
// the Trash goes, after the lock has been released, so that a finalizer they
// trigger may call back into the container.
#pragma once

#include "records.h"

#include <optional>
#include <vector>

namespace tarnik {

struct Trash {
    std::optional<Provider> provider;    // a replaced entry
    std::optional<ProviderMap> layer;    // a popped layer
    Ref value;                           // a replaced cached value
    std::vector<Ref> more_values;        // further replaced values (rare)

    void drop_value(Ref v) {
        if (!v) return;
        if (!value) value = std::move(v);
        else more_values.push_back(std::move(v));
    }
};

}  // namespace tarnik
