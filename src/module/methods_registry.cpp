// register_provider and the override layer methods.
#include "binding.h"
#include "call_core.h"
#include "convert.h"
#include "core/overrides.h"
#include "core/registry.h"
#include "methods.h"

namespace tarnik {

namespace {

constexpr const char* kProviderParams[] = {"key", "callable", "singleton", "is_async", "dep_keys"};
constexpr Signature kRegister{"Container.register_provider()", kProviderParams, 5};
constexpr Signature kSetOverride{"Container.set_override()", kProviderParams, 5};

// Binds and converts the five provider arguments, in parameter order.
bool provider_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject* self, ContainerObject*& c, Key& key, Provider& p) {
    PyObject* a[5];
    if (!bind(sig, args, nargs, kwnames, a)) return false;
    if (!(c = receiver(self))) return false;
    KeyView view;
    if (!convert_key(a[0], "key", view)) return false;
    p.callable = Ref::borrow(a[1]);
    if (!convert_flag(a[2], "singleton", p.meta.singleton)) return false;
    if (!convert_flag(a[3], "is_async", p.meta.is_async)) return false;
    if (!convert_key_list(a[4], "dep_keys", p.meta.dep_keys)) return false;
    key = Key(view);
    return true;
}

template <class Store>
PyObject* store_provider(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Store store) {
    return guarded([&]() -> PyObject* {
        ContainerObject* c = nullptr;
        Key key;
        Provider p;
        if (!provider_arguments(sig, args, nargs, kwnames, self, c, key, p)) return nullptr;
        auto done = with_lock<Unit>(c, [&](ContainerInner& st, Trash& trash) -> Status {
            store(st, std::move(key), std::move(p), trash);
            return Unit{};
        });
        if (!done) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace

PyObject* register_provider_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return store_provider(kRegister, self, args, nargs, kwnames, register_provider);
}

PyObject* set_override_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return store_provider(kSetOverride, self, args, nargs, kwnames, set_override);
}

PyObject* begin_override_layer_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ContainerObject* c = receiver(self);
        if (!c) return nullptr;
        auto done = with_lock<Unit>(c, [](ContainerInner& st, Trash&) -> Status {
            begin_override_layer(st);
            return Unit{};
        });
        if (!done) return nullptr;
        Py_RETURN_NONE;
    });
}

PyObject* end_override_layer_method(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        ContainerObject* c = receiver(self);
        if (!c) return nullptr;
        auto done = with_lock<Unit>(c, [](ContainerInner& st, Trash& trash) -> Status {
            end_override_layer(st, trash);
            return Unit{};
        });
        if (!done) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace tarnik
