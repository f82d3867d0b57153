// register_provider and the override layer methods.
#include "module/binding.h"
#include "module/convert.h"
#include "core/overrides.h"
#include "core/registry.h"
#include "module/methods.h"
#include "module/turn.h"

namespace tarnik {

namespace {

constexpr const char* kProviderParams[] = {"key", "callable", "singleton", "is_async", "dep_keys"};
constexpr Signature kRegister{"Container.register_provider()", kProviderParams, 5};
constexpr Signature kSetOverride{"Container.set_override()", kProviderParams, 5};

// Binds and converts the five provider arguments, in parameter order.
bool provider_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject* self, ContainerObject*& c, NewProvider& np) {
    PyObject* a[5];
    if (!bind(sig, args, nargs, kwnames, a)) return false;
    if (!(c = receiver(self))) return false;
    KeyArg key;
    if (!convert_key(a[0], "key", key)) return false;
    np.provider.callable = Ref::borrow(a[1]);
    if (!convert_flag(a[2], "singleton", np.provider.singleton)) return false;
    if (!convert_flag(a[3], "is_async", np.provider.is_async)) return false;
    if (!convert_key_list(a[4], "dep_keys", np.dep_texts, true)) return false;
    // A container keeps its keys as plain strings.
    np.key = PyUnicode_CheckExact(key.text) ? Ref::borrow(key.text) : Ref::steal(copy_text(key.text));
    if (!np.key) return false;
    return np.provider.allocate_deps(np.dep_texts.size());
}

template <class Store>
PyObject* store_provider(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, Store store) {
    return run_method([&](Turn& turn) -> PyObject* {
        ContainerObject* c = nullptr;
        NewProvider np;
        if (!provider_arguments(sig, args, nargs, kwnames, self, c, np)) return nullptr;
        if (!turn.enter(c, Turn::Access::Change)) return nullptr;
        if (!turn.leave(store(turn.state(), np, turn.trash()))) return nullptr;
        np.release();
        Py_RETURN_NONE;
    });
}

template <class Change>
PyObject* change_layers(PyObject* self, Change change) {
    return run_method([&](Turn& turn) -> PyObject* {
        ContainerObject* c = receiver(self);
        if (!c || !turn.enter(c, Turn::Access::Change)) return nullptr;
        change(turn.state(), turn.trash());
        turn.leave(true);
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
    return change_layers(self, [](ContainerState& st, Trash&) { begin_override_layer(st); });
}

PyObject* end_override_layer_method(PyObject* self, PyObject*) {
    return change_layers(self, end_override_layer);
}

}  // namespace tarnik
