#include "cache.h"

#include "registry.h"

namespace tarnik {

Ref get_cached(ContainerInner& st, KeyView key) noexcept {
    Provider* p = find_cached(st, key);
    return p ? p->cached.new_ref() : Ref();
}

Status set_cached(ContainerInner& st, KeyView key, Ref value, Trash& trash) {
    Provider* p = find_singleton_provider(st, key);
    if (!p) {
        trash.drop_value(std::move(value));
        return set_cache_error(key);
    }
    p->cached.swap(value);
    trash.drop_value(std::move(value));
    return Unit{};
}

Result<ProviderInfo> get_provider_info(ContainerInner& st, KeyView key) {
    Provider* p = find_provider(st, key);
    if (!p) return missing_provider_error(key);
    ProviderInfo info;
    info.callable = p->callable.new_ref();
    info.singleton = p->meta.singleton;
    info.is_async = p->meta.is_async;
    info.dep_keys.reserve(p->meta.dep_keys.size());
    for (const Key& k : p->meta.dep_keys) info.dep_keys.emplace_back(k.text.view());
    return info;
}

}  // namespace tarnik
