// get_provider_info, get_cached and set_cached.
#include "module/binding.h"
#include "module/convert.h"
#include "core/cache.h"
#include "core/pylist.h"
#include "module/methods.h"
#include "module/turn.h"

namespace tarnik {

namespace {

constexpr const char* kKeyParam[] = {"key"};
constexpr const char* kSetCachedParams[] = {"key", "value"};
constexpr Signature kGetProviderInfo{"Container.get_provider_info()", kKeyParam, 1};
constexpr Signature kGetCached{"Container.get_cached()", kKeyParam, 1};
constexpr Signature kSetCached{"Container.set_cached()", kSetCachedParams, 2};

bool key_argument(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, ContainerObject*& c, KeyArg& key) {
    PyObject* a[1];
    if (!bind(sig, args, nargs, kwnames, a)) return false;
    if (!(c = receiver(self))) return false;
    return convert_key(a[0], "key", key);
}

// The description tuple, built after the lock from what was taken under it.
// Each object is filled as soon as it exists, and the list stays out of the
// collector's sight while the tuple is made (an allocation can run the
// collector, and with it Python callbacks): no Python code ever sees, or
// changes, the result before it is complete.
PyObject* info_tuple(ProviderInfo& info) {
    KeyList texts;  // new strings: every call hands out a new list of new strings
    texts.reserve(info.dep_keys.size());
    for (std::size_t i = 0; i < info.dep_keys.size(); ++i) {
        Ref s = Ref::steal(copy_text(info.dep_keys[i]));
        if (!s) return nullptr;
        texts.push_reserved(std::move(s));
    }
    Ref deps = Ref::steal(new_list(texts.size(), [&](std::size_t i) { return Ref::borrow(texts[i]).release(); }));
    if (!deps) return nullptr;
    PyObject_GC_UnTrack(deps.get());
    Ref t = Ref::steal(PyTuple_New(4));
    if (!t) return nullptr;
    PyTuple_SET_ITEM(t.get(), 0, info.callable.release());
    PyTuple_SET_ITEM(t.get(), 1, Ref::borrow(info.singleton ? Py_True : Py_False).release());
    PyTuple_SET_ITEM(t.get(), 2, Ref::borrow(info.is_async ? Py_True : Py_False).release());
    PyObject_GC_Track(deps.get());
    PyTuple_SET_ITEM(t.get(), 3, deps.release());
    return t.release();
}

}  // namespace

PyObject* get_provider_info_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method([&](Turn& turn) -> PyObject* {
        ContainerObject* c = nullptr;
        KeyArg key;
        if (!key_argument(kGetProviderInfo, self, args, nargs, kwnames, c, key)) return nullptr;
        if (!turn.enter(c, Turn::Access::Read)) return nullptr;
        ProviderInfo info;
        if (!turn.leave(get_provider_info(turn.state(), key.text, key.hash, info))) return nullptr;
        return info_tuple(info);
    });
}

PyObject* get_cached_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method([&](Turn& turn) -> PyObject* {
        ContainerObject* c = nullptr;
        KeyArg key;
        if (!key_argument(kGetCached, self, args, nargs, kwnames, c, key)) return nullptr;
        if (!turn.enter(c, Turn::Access::Read)) return nullptr;
        Ref value = get_cached(turn.state(), key.text, key.hash);
        turn.leave(true);
        if (!value) Py_RETURN_NONE;
        return value.release();
    });
}

PyObject* set_cached_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method([&](Turn& turn) -> PyObject* {
        PyObject* a[2];
        if (!bind(kSetCached, args, nargs, kwnames, a)) return nullptr;
        ContainerObject* c = receiver(self);
        if (!c) return nullptr;
        KeyArg key;
        if (!convert_key(a[0], "key", key)) return nullptr;
        Ref value = Ref::borrow(a[1]);
        if (!turn.enter(c, Turn::Access::Change)) return nullptr;
        if (!turn.leave(set_cached(turn.state(), key.text, key.hash, value, turn.trash()))) return nullptr;
        Py_RETURN_NONE;
    });
}

}  // namespace tarnik
