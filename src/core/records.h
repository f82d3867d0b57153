// The state of one container and its provider entries.
#pragma once

#include "key.h"
#include "keymap.h"
#include "ref.h"

#include <cstdint>
#include <vector>

namespace tarnik {

struct Provider;

// A dependency key, with the entry last found for it and the state version
// it was found in: a later lookup in the same version reuses it.
struct DepKey : Key {
    explicit DepKey(KeyView v) : Key(v) {}
    mutable Provider* found = nullptr;
    mutable std::uint64_t found_in = 0;
};

struct ProviderMeta {
    bool singleton = false;
    bool is_async = false;
    std::vector<DepKey> dep_keys;  // as given: duplicates and unknown keys kept
};

// One registration, in the base registry or in an override layer.
struct Provider {
    Ref callable;
    ProviderMeta meta;
    Ref cached;  // the singleton value held by this entry; null when empty

    // A singleton whose value is held: resolution returns it without a call.
    bool serves_held_value() const noexcept { return meta.singleton && cached; }
};

using ProviderMap = KeyMap<Key, Provider>;

struct ContainerInner {
    ProviderMap providers;                     // the base registry
    std::vector<ProviderMap> override_layers;  // back() is the topmost layer
    // Changes whenever an entry is added, replaced or dropped, or a layer is
    // pushed or popped: what find_provider answers may then differ (and
    // entries may have moved).
    std::uint64_t version = 1;

    // Releases every entry of `providers`, then every layer from the oldest
    // to the newest.
    void destroy() noexcept {
        providers.clear();
        for (ProviderMap& layer : override_layers) layer.clear();
        override_layers.clear();
    }
};

}  // namespace tarnik
