#include "overrides.h"

namespace tarnik {

void begin_override_layer(ContainerInner& st) {
    ++st.version;
    st.override_layers.emplace_back();
}

void set_override(ContainerInner& st, Key key, Provider provider, Trash& trash) {
    if (st.override_layers.empty()) {
        trash.provider().emplace(std::move(provider));
        return;
    }
    ++st.version;
    st.override_layers.back().insert_or_replace(std::move(key), std::move(provider), trash.provider());
}

void end_override_layer(ContainerInner& st, Trash& trash) noexcept {
    if (st.override_layers.empty()) return;
    ++st.version;
    trash.layer().emplace(std::move(st.override_layers.back()));
    st.override_layers.pop_back();
}

}  // namespace tarnik
