// The state of one container and its provider entries.
#pragma once

#include "key.h"
#include "keymap.h"
#include "ref.h"

#include <vector>

namespace tarnik {

struct ProviderMeta {
    bool singleton = false;
    bool is_async = false;
    std::vector<Key> dep_keys;  // as given: duplicates and unknown keys kept
};

// One registration, in the base registry or in an override layer.
struct Provider {
    Ref callable;
    ProviderMeta meta;
    Ref cached;  // the singleton value held by this entry; null when empty
};

using ProviderMap = KeyMap<Key, Provider>;

struct ContainerInner {
    ProviderMap providers;                     // the base registry
    std::vector<ProviderMap> override_layers;  // back() is the topmost layer

    // Releases every entry of `providers`, then every layer from the oldest
    // to the newest.
    void destroy() noexcept {
        providers.clear();
        for (ProviderMap& layer : override_layers) layer.clear();
        override_layers.clear();
    }
};

}  // namespace tarnik
