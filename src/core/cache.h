// Direct access to singleton values, and a description of the entry in force.
#pragma once

#include "error.h"
#include "records.h"
#include "trash.h"

#include <string>
#include <vector>

namespace tarnik {

// A new reference to the first value held for `key` from the top, or null.
Ref get_cached(ContainerInner& st, KeyView key) noexcept;

// Stores `value` into the first singleton entry for `key` from the top; the
// value it held goes to `trash`.
Status set_cached(ContainerInner& st, KeyView key, Ref value, Trash& trash);

// What get_provider_info reports, copied out of the state.
struct ProviderInfo {
    Ref callable;
    bool singleton = false;
    bool is_async = false;
    std::vector<std::string> dep_keys;
};

Result<ProviderInfo> get_provider_info(ContainerInner& st, KeyView key);

}  // namespace tarnik
