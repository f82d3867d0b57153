// Registration, and the bookkeeping every change of an entry goes through.
#pragma once

#include "core/state.h"
#include "core/trash.h"

namespace tarnik {

// A provider as its method's arguments gave it, converted before the lock:
// its key and dependency keys as exact strings, and an entry with its
// callable, flags and room for its dependency list.
struct NewProvider {
    Ref key;
    Provider provider;
    KeyList dep_texts;

    // Lets go of the call's own references, once the entry is stored.
    void release() {
        key.reset();
        provider.callable.reset();
        dep_texts.drop_all();
    }
};

// Adds or replaces the base registration of `np.key`; what the replaced one
// held goes to `trash`. False with the exception set, and nothing changed,
// when the container cannot hold the keys.
bool register_provider(ContainerState& st, NewProvider& np, Trash& trash);

// The two halves of every change of an entry. Both need room made first:
// keys.reserve() for link_entry, and trash room for the entry's callable,
// its value and its dependency keys for drop_entry.
//   link_entry: interns the key (whose slot is `k`, or null when the table
//   does not hold it) and the dependency keys of `np`, and takes a use of
//   each dependency key; returns the key's slot.
KeySlot* link_entry(ContainerState& st, NewProvider& np, KeySlot* k) noexcept;
//   drop_entry: gives up the uses of the entry's dependency keys and moves
//   its references to `trash`, leaving the entry empty.
void drop_entry(ContainerState& st, Provider& p, Trash& trash) noexcept;

}  // namespace tarnik
