// Direct access to singleton values, and a description of the entry in force.
#pragma once

#include "core/state.h"
#include "core/trash.h"

namespace tarnik {

// A new reference to the first value held for `key` from the top, or an
// empty Ref when none is held.
Ref get_cached(ContainerState& st, PyObject* key, Py_hash_t hash) noexcept;

// Stores `value` (taking it) into the first singleton entry for `key` from
// the top; the value it held goes to `trash`. False (RuntimeError), with
// `value` left to the caller, when there is none.
bool set_cached(ContainerState& st, PyObject* key, Py_hash_t hash, Ref& value, Trash& trash);

// Stores a value just built for `k` into the entry that holds its values:
// the first singleton entry from the top, if any.
void store_singleton(ContainerState& st, KeySlot& k, PyObject* value, Trash& trash);

// What get_provider_info reports, taken under the lock.
struct ProviderInfo {
    Ref callable;
    bool singleton = false;
    bool is_async = false;
    KeyList dep_keys;
};

bool get_provider_info(ContainerState& st, PyObject* key, Py_hash_t hash, ProviderInfo& out);

}  // namespace tarnik
