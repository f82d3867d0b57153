// Registration and the lookups that choose an entry for a key.
#pragma once

#include "records.h"
#include "trash.h"

namespace tarnik {

// The entry in force: the topmost layer that holds the key, else `providers`.
Provider* find_provider(ContainerInner& st, KeyView key) noexcept;
// find_provider for a dependency key, remembered in the key until the state
// version changes.
inline Provider* find_dep_provider(ContainerInner& st, const DepKey& key) noexcept {
    if (key.found_in == st.version) return key.found;
    Provider* p = find_provider(st, key.view());
    key.found = p;
    key.found_in = st.version;
    return p;
}

// The first entry from the top whose `cached` slot holds a value.
Provider* find_cached(ContainerInner& st, KeyView key) noexcept;
// The first entry from the top that is a singleton.
Provider* find_singleton_provider(ContainerInner& st, KeyView key) noexcept;

// Adds or replaces the base entry for `key`; a replaced entry goes to `trash`.
void register_provider(ContainerInner& st, Key key, Provider provider, Trash& trash);

}  // namespace tarnik
