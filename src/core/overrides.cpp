#include "core/overrides.h"

#include <algorithm>

namespace tarnik {

void begin_override_layer(ContainerState& st) {
    // Readers follow entries, not layer boundaries: no need to close the gate.
    st.layer_start.push_back(static_cast<std::uint32_t>(st.entries.size()));
}

bool set_override(ContainerState& st, NewProvider& np, Trash& trash) {
    if (st.layer_start.empty()) return true;
    st.gate.close();
    KeySlot* k = st.keys.find(np.key.get(), str_hash(np.key.get()));
    // The key already has an entry in the topmost layer: it is replaced.
    bool replace = k && k->top > st.layer_start.back();
    if (!st.keys.reserve((k ? 0 : 1) + std::size_t{np.provider.ndeps})) return false;
    if (replace) {
        trash.reserve(2 + st.entries[k->top - 1].provider.ndeps);
    } else if (st.entries.size() == st.entries.capacity()) {
        if (st.entries.size() >= UINT32_MAX - 1) return raise_too_large("override entries in one container");
        st.entries.reserve(std::max<std::size_t>(8, st.entries.capacity() * 2));
    }
    // Nothing below can fail.
    Change change(st);
    k = link_entry(st, np, k);
    if (replace) {
        Provider& old = st.entries[k->top - 1].provider;
        drop_entry(st, old, trash);
        old.take(np.provider);
        return true;
    }
    st.entries.emplace_back(k, k->top, std::move(np.provider));
    k->top = static_cast<std::uint32_t>(st.entries.size());
    ++k->uses;
    return true;
}

void end_override_layer(ContainerState& st, Trash& trash) {
    if (st.layer_start.empty()) return;
    std::size_t start = st.layer_start.back();
    std::size_t room = 0;  // each entry's callable, value, key and dependency keys
    for (std::size_t i = start; i < st.entries.size(); ++i) room += 3 + st.entries[i].provider.ndeps;
    trash.reserve(room);
    st.gate.close();
    // Nothing below can fail.
    Change change(st);
    while (st.entries.size() > start) {
        LayerEntry& e = st.entries.back();
        e.key->top = e.below;
        drop_entry(st, e.provider, trash);
        st.keys.release(e.key, trash);
        st.entries.pop_back();
    }
    st.layer_start.pop_back();
}

}  // namespace tarnik
