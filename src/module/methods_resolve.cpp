// resolve, resolve_many and resolve_many_plan.
#include "module/binding.h"
#include "module/convert.h"
#include "core/plan.h"
#include "core/pylist.h"
#include "core/resolve.h"
#include "module/methods.h"
#include "module/turn.h"

namespace tarnik {

namespace {

constexpr const char* kKeyParam[] = {"key"};
constexpr const char* kKeysParam[] = {"keys"};
constexpr Signature kResolve{"Container.resolve()", kKeyParam, 1};
constexpr Signature kResolveMany{"Container.resolve_many()", kKeysParam, 1};
constexpr Signature kResolveManyPlan{"Container.resolve_many_plan()", kKeysParam, 1};

// The value of a held singleton, read without taking the lock, or an empty
// Ref to go the whole way; `seen` is the key's slot as the read saw it. Sets
// no exception. With the interpreter lock
// nothing else runs meanwhile, and no change of the state calls Python code
// before it is complete, so the state is consistent here even while another
// thread holds the lock (waiting in a provider). Without the interpreter
// lock the reader gate keeps out the changes that readers follow.
Ref held_singleton(ContainerObject* c, PyObject* key, KeySlot*& seen) noexcept {
#ifdef Py_GIL_DISABLED
    ReaderGate::Pass pass = c->state.gate.enter();
    if (!pass) return Ref();
#else
    assert(Change::consistent(c->state));
#endif
    Ref value;
    if (!c->lock.poisoned()) {
        ContainerState& st = c->state;
        KeySlot* k = seen = st.keys.find(key, str_hash(key));
        Provider* p = k ? st.in_force(*k) : nullptr;
        if (p && p->singleton) value = p->cached.new_ref();
    }
#ifdef Py_GIL_DISABLED
    ReaderGate::leave(pass);
#endif
    return value;
}

// Binds and converts the one `keys` argument.
bool keys_argument(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, ContainerObject*& c, KeyList& keys) {
    PyObject* a[1];
    if (!bind(sig, args, nargs, kwnames, a)) return false;
    if (!(c = receiver(self))) return false;
    return convert_key_list(a[0], "keys", keys, false);
}

}  // namespace

PyObject* resolve_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // The hot path: a held singleton asked for by an exact, compact ASCII
    // string (its text is its UTF-8 form, and its hash is cached).
    KeySlot* seen = nullptr;
    if (nargs == 1 && !kwnames && Py_TYPE(self) == container_type && PyUnicode_CheckExact(args[0]) &&
        PyUnicode_IS_COMPACT_ASCII(args[0])) {
        if (Ref value = held_singleton(reinterpret_cast<ContainerObject*>(self), args[0], seen)) return value.release();
    }
    return run_method([&](Turn& turn) -> PyObject* {
        PyObject* a[1];
        if (!bind(kResolve, args, nargs, kwnames, a)) return nullptr;
        ContainerObject* c = receiver(self);
        if (!c) return nullptr;
        KeyArg key;
        if (!convert_key(a[0], "key", key)) return nullptr;
        if (!turn.enter(c, Turn::Access::Read)) return nullptr;
        // The slot seen before the turn is the key's only if it still says so
        // now: meanwhile the container may have been changed (slots never
        // move, but one may have been freed, or given to another key).
        KeySlot* k = KeyTable::still_holds(seen, key.text) ? seen : turn.state().keys.find(key.text, key.hash);
        Ref value = resolve_key(turn.state(), key.text, k, turn.trash());
        if (!turn.leave(bool(value))) return nullptr;
        return value.release();
    });
}

PyObject* resolve_many_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method([&](Turn& turn) -> PyObject* {
        ContainerObject* c = nullptr;
        KeyList keys;
        if (!keys_argument(kResolveMany, self, args, nargs, kwnames, c, keys)) return nullptr;
        if (!turn.enter(c, Turn::Access::Read)) return nullptr;
        RefStack<16> values;  // released after the lock, also when the batch fails
        if (!turn.leave(resolve_many(turn.state(), keys, values, turn.trash()))) return nullptr;
        return new_list(values.size(), [&](std::size_t i) { return Ref::borrow(values[i]).release(); });
    });
}

PyObject* resolve_many_plan_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return run_method([&](Turn& turn) -> PyObject* {
        ContainerObject* c = nullptr;
        KeyList keys;
        if (!keys_argument(kResolveManyPlan, self, args, nargs, kwnames, c, keys)) return nullptr;
        if (!turn.enter(c, Turn::Access::Read)) return nullptr;
        PlanValues built;  // released after the lock, also when the plan fails
        if (!turn.leave(resolve_many_plan(turn.state(), keys, built, turn.trash()))) return nullptr;
        return new_list(keys.size(),
                        [&](std::size_t i) { return Ref::borrow(built.values[built.requested[i]]).release(); });
    });
}

}  // namespace tarnik
