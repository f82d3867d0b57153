#include "core/registry.h"

namespace tarnik {

KeySlot* link_entry(ContainerState& st, NewProvider& np, KeySlot* k) noexcept {
    if (!k) k = st.keys.add(np.key.get(), str_hash(np.key.get()));
    KeySlot** deps = np.provider.deps();
    for (std::size_t i = 0; i < np.provider.ndeps; ++i) {
        PyObject* text = np.dep_texts[i];
        KeySlot* d = st.keys.intern(text, str_hash(text));
        ++d->uses;
        deps[i] = d;
    }
    return k;
}

void drop_entry(ContainerState& st, Provider& p, Trash& trash) noexcept {
    KeySlot* const* deps = p.deps();
    for (std::size_t i = 0; i < p.ndeps; ++i) st.keys.release(deps[i], trash);
    p.free_deps();
    trash.push_reserved(std::move(p.callable));
    trash.push_reserved(p.cached.take());
}

bool register_provider(ContainerState& st, NewProvider& np, Trash& trash) {
    st.gate.close();
    KeySlot* k = st.keys.find(np.key.get(), str_hash(np.key.get()));
    if (!st.keys.reserve((k ? 0 : 1) + std::size_t{np.provider.ndeps})) return false;
    if (k && k->base.registered()) trash.reserve(2 + k->base.ndeps);
    // Nothing below can fail. The new dependency keys are linked before the
    // old ones are dropped, so that a key both name stays interned.
    Change change(st);
    k = link_entry(st, np, k);
    if (k->base.registered()) drop_entry(st, k->base, trash);
    else ++k->uses;  // the registration is a use of its key, for good
    k->base.take(np.provider);
    return true;
}

}  // namespace tarnik
