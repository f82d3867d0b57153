// get_provider_info, get_cached and set_cached.
#include "binding.h"
#include "call_core.h"
#include "convert.h"
#include "core/cache.h"
#include "methods.h"

namespace tarnik {

namespace {

constexpr const char* kKeyParam[] = {"key"};
constexpr const char* kSetCachedParams[] = {"key", "value"};
constexpr Signature kGetProviderInfo{"Container.get_provider_info()", kKeyParam, 1};
constexpr Signature kGetCached{"Container.get_cached()", kKeyParam, 1};
constexpr Signature kSetCached{"Container.set_cached()", kSetCachedParams, 2};

bool key_argument(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, ContainerObject*& c, KeyView& key) {
    PyObject* a[1];
    if (!bind(sig, args, nargs, kwnames, a)) return false;
    if (!(c = receiver(self))) return false;
    return convert_key(a[0], "key", key);
}

// The description tuple, built after the lock from what was copied under it.
PyObject* info_tuple(ProviderInfo& info) {
    Ref deps = Ref::steal(PyList_New(static_cast<Py_ssize_t>(info.dep_keys.size())));
    if (!deps) return nullptr;
    for (std::size_t i = 0; i < info.dep_keys.size(); ++i) {
        const std::string& k = info.dep_keys[i];
        PyObject* s = PyUnicode_FromStringAndSize(k.data(), static_cast<Py_ssize_t>(k.size()));
        if (!s) return nullptr;
        PyList_SET_ITEM(deps.get(), static_cast<Py_ssize_t>(i), s);
    }
    Ref t = Ref::steal(PyTuple_New(4));
    if (!t) return nullptr;
    PyTuple_SET_ITEM(t.get(), 0, info.callable.release());
    PyTuple_SET_ITEM(t.get(), 1, Ref::borrow(info.singleton ? Py_True : Py_False).release());
    PyTuple_SET_ITEM(t.get(), 2, Ref::borrow(info.is_async ? Py_True : Py_False).release());
    PyTuple_SET_ITEM(t.get(), 3, deps.release());
    return t.release();
}

}  // namespace

PyObject* get_provider_info_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ContainerObject* c = nullptr;
        KeyView key;
        if (!key_argument(kGetProviderInfo, self, args, nargs, kwnames, c, key)) return nullptr;
        auto info = with_lock<ProviderInfo>(
            c, [&](ContainerInner& st, Trash&) { return get_provider_info(st, key); });
        if (!info) return nullptr;
        PyObject* t = info_tuple(*info);
        if (!t) raise_error(api_call_failure(TARNIK_HERE));
        return t;
    });
}

PyObject* get_cached_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        ContainerObject* c = nullptr;
        KeyView key;
        if (!key_argument(kGetCached, self, args, nargs, kwnames, c, key)) return nullptr;
        auto value = with_lock<Ref>(c, [&](ContainerInner& st, Trash&) -> Result<Ref> { return get_cached(st, key); });
        if (!value) return nullptr;
        if (!*value) Py_RETURN_NONE;
        return value->release();
    });
}

PyObject* set_cached_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        if (!bind(kSetCached, args, nargs, kwnames, a)) return nullptr;
        ContainerObject* c = receiver(self);
        if (!c) return nullptr;
        KeyView key;
        if (!convert_key(a[0], "key", key)) return nullptr;
        Ref value = Ref::borrow(a[1]);
        auto done = with_lock<Unit>(
            c, [&](ContainerInner& st, Trash& trash) { return set_cached(st, key, std::move(value), trash); });
        if (!done) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace tarnik
