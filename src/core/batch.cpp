#include "batch.h"

#include "registry.h"
#include "resolve.h"

namespace tarnik {

Status resolve_many(ContainerInner& st, const KeyView* keys, std::size_t n, PyObject* out, Trash& trash) {
    Resolver resolver(st, trash);
    for (std::size_t i = 0; i < n; ++i) {
        Provider* p = find_provider(st, keys[i]);
        if (p && p->serves_held_value()) {
            // Held values are the common case of a batch: no result record.
            PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), p->cached.new_ref().release());
            continue;
        }
        Result<Ref> r = resolver.resolve(keys[i], p);
        if (!r.ok()) return std::move(r.error());
        PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), r.value().release());
    }
    return Unit{};
}

}  // namespace tarnik
