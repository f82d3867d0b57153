// resolve, resolve_many and resolve_many_plan.
#include "binding.h"
#include "call_core.h"
#include "convert.h"
#include "core/batch.h"
#include "core/plan.h"
#include "core/registry.h"
#include "core/resolve.h"
#include "methods.h"

namespace tarnik {

namespace {

constexpr const char* kKeyParam[] = {"key"};
constexpr const char* kKeysParam[] = {"keys"};
constexpr Signature kResolve{"Container.resolve()", kKeyParam, 1};
constexpr Signature kResolveMany{"Container.resolve_many()", kKeysParam, 1};
constexpr Signature kResolveManyPlan{"Container.resolve_many_plan()", kKeysParam, 1};

// Binds and converts the one `keys` argument.
bool keys_argument(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, ContainerObject*& c, KeyList& keys) {
    PyObject* a[1];
    if (!bind(sig, args, nargs, kwnames, a)) return false;
    if (!(c = receiver(self))) return false;
    return convert_key_list(a[0], "keys", keys);
}

}  // namespace

PyObject* resolve_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[1];
        if (!bind(kResolve, args, nargs, kwnames, a)) return nullptr;
        ContainerObject* c = receiver(self);
        if (!c) return nullptr;
        KeyView key;
        if (!convert_key(a[0], "key", key)) return nullptr;
        // The hot path: a singleton that already holds its value. The lookup
        // runs no Python code, so with the lock free it is atomic as it stands,
        // and so is what follows up to taking the lock.
        bool looked = c->lock.usable_now();
        Provider* p = nullptr;
        if (looked) {
            p = find_provider(c->inner, key);
            if (p && p->serves_held_value()) return p->cached.new_ref().release();
        }
        auto value = with_lock<Ref>(c, [&](ContainerInner& st, Trash& trash) {
            // Without the early lookup (the lock was busy), the state may
            // change while the lock is waited for: look up under it.
            return looked ? resolve_found(st, key, p, trash) : resolve_key(st, key, trash);
        });
        return value ? value->release() : nullptr;
    });
}

PyObject* resolve_many_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ContainerObject* c = nullptr;
        KeyList keys;
        if (!keys_argument(kResolveMany, self, args, nargs, kwnames, c, keys)) return nullptr;
        std::size_t n = keys.views.size();
        // The result list is made up front and filled in place; values of a
        // failed batch are released with it, after the lock.
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) {
            raise_error(api_call_failure(TARNIK_HERE));
            return nullptr;
        }
        auto done = with_lock<Unit>(c, [&](ContainerInner& st, Trash& trash) {
            return resolve_many(st, keys.views.begin(), n, list.get(), trash);
        });
        if (!done) return nullptr;
        return list.release();
    });
}

PyObject* resolve_many_plan_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ContainerObject* c = nullptr;
        KeyList keys;
        if (!keys_argument(kResolveManyPlan, self, args, nargs, kwnames, c, keys)) return nullptr;
        std::size_t n = keys.views.size();
        PlanValues built;  // released after the lock, on success and on failure
        auto done = with_lock<Unit>(c, [&](ContainerInner& st, Trash& trash) {
            return resolve_many_plan(st, keys.views.begin(), n, built, trash);
        });
        if (!done) return nullptr;
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        if (!list) {
            raise_error(api_call_failure(TARNIK_HERE));
            return nullptr;
        }
        for (std::size_t i = 0; i < n; ++i)
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), Ref::borrow(built.values[built.requested[i]]).release());
        return list.release();
    });
}

}  // namespace tarnik
