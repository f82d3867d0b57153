#include "core/cache.h"

#include "core/error.h"

namespace tarnik {

namespace {

bool holds_value(Provider& p) noexcept { return p.cached.get() != nullptr; }
bool is_singleton(Provider& p) noexcept { return p.singleton; }

// Puts `value` into the held slot of `p`. Replacing a value releases it, so
// readers without the lock must be out first.
void store_value(ContainerState& st, Provider& p, Ref value, Trash& trash) {
    if (p.cached) {
        st.gate.close();
        trash.reserve(1);
    }
    Change change(st);
    trash.push_reserved(p.cached.exchange(std::move(value)));
}

}  // namespace

Ref get_cached(ContainerState& st, PyObject* key, Py_hash_t hash) noexcept {
    KeySlot* k = st.keys.find(key, hash);
    Provider* p = k ? st.first_entry(*k, holds_value) : nullptr;
    return p ? p->cached.new_ref() : Ref();
}

bool set_cached(ContainerState& st, PyObject* key, Py_hash_t hash, Ref& value, Trash& trash) {
    KeySlot* k = st.keys.find(key, hash);
    Provider* p = k ? st.first_entry(*k, is_singleton) : nullptr;
    if (!p) return raise_set_cache(key);
    store_value(st, *p, std::move(value), trash);
    return true;
}

void store_singleton(ContainerState& st, KeySlot& k, PyObject* value, Trash& trash) {
    if (Provider* p = st.first_entry(k, is_singleton)) store_value(st, *p, Ref::borrow(value), trash);
}

bool get_provider_info(ContainerState& st, PyObject* key, Py_hash_t hash, ProviderInfo& out) {
    KeySlot* k = st.keys.find(key, hash);
    Provider* p = k ? st.in_force(*k) : nullptr;
    if (!p) return raise_missing_provider(key);
    out.dep_keys.reserve(p->ndeps);
    KeySlot* const* deps = p->deps();
    for (std::size_t i = 0; i < p->ndeps; ++i) out.dep_keys.push_reserved(deps[i]->text.new_ref());
    out.callable = p->callable.new_ref();
    out.singleton = p->singleton;
    out.is_async = p->is_async;
    return true;
}

}  // namespace tarnik
