#include "batch.h"

#include "registry.h"
#include "resolve.h"

namespace tarnik {

Status resolve_many(ContainerInner& st, const KeyView* keys, std::size_t n, PyObject* out, Trash& trash) {
    Resolver resolver(st, trash);
    for (std::size_t i = 0; i < n; ++i) {
        Provider* p = find_provider(st, keys[i]);
        Ref value;
        if (p && p->meta.singleton && p->cached) {
            value = p->cached.new_ref();
        } else {
            Result<Ref> r = resolver.run(keys[i], p);
            if (!r.ok()) return std::move(r.error());
            value = std::move(r.value());
        }
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), value.release());
    }
    return Unit{};
}

}  // namespace tarnik
