#include "registry.h"

namespace tarnik {

Provider* find_provider(ContainerInner& st, KeyView key) noexcept {
    auto& layers = st.override_layers;
    if (layers.empty()) return st.providers.find(key);
    for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
        if (Provider* p = it->find(key)) return p;
    }
    return st.providers.find(key);
}

Provider* find_cached(ContainerInner& st, KeyView key) noexcept {
    auto& layers = st.override_layers;
    for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
        Provider* p = it->find(key);
        if (p && p->cached) return p;
    }
    Provider* p = st.providers.find(key);
    return p && p->cached ? p : nullptr;
}

Provider* find_singleton_provider(ContainerInner& st, KeyView key) noexcept {
    auto& layers = st.override_layers;
    for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
        Provider* p = it->find(key);
        if (p && p->meta.singleton) return p;
    }
    Provider* p = st.providers.find(key);
    return p && p->meta.singleton ? p : nullptr;
}

void register_provider(ContainerInner& st, Key key, Provider provider, Trash& trash) {
    ++st.version;
    st.providers.insert_or_replace(std::move(key), std::move(provider), trash.provider());
}

}  // namespace tarnik
