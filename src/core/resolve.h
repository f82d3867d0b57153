// Single-key resolution, and batches of it.
#pragma once

#include "core/state.h"
#include "core/smallvec.h"
#include "core/trash.h"

namespace tarnik {

// Resolves keys one at a time against a locked state. Dependencies are
// walked with frames on the heap, not on the native stack, so a chain's
// depth has no limit but memory; the order of calls and of checks is that of
// a depth-first walk. A key is marked in progress on its slot while it is on
// the path, so a cycle is reported at the first key reached twice, also
// where the path runs through nested calls from providers on this thread.
class Resolver {
public:
    Resolver(ContainerState& st, Trash& trash) noexcept : st_(st), trash_(trash) {}
    Resolver(const Resolver&) = delete;
    Resolver& operator=(const Resolver&) = delete;
    ~Resolver() noexcept(false) { clear_marks(); }

    // A new reference to the value of the key `text`, whose slot is `k`
    // (null for a key the container does not know), or an empty Ref with the
    // exception set.
    Ref resolve(PyObject* text, KeySlot* k);

private:
    struct Frame {
        KeySlot* key;
        Provider* provider;
        std::uint32_t next_dep;
    };

    Ref walk();
    // Begins resolving `k`: its held value is pushed at once, otherwise a
    // frame is pushed. False with the exception set on a failure.
    bool enter(KeySlot& k);
    Ref fail();
    // A value whose dependent is built (or failed) is dropped; one that
    // nothing else holds any more (a transient its dependent did not keep)
    // is released after the lock, as its finalizer may use the container.
    void drop_values(std::size_t n) {
        while (n--) {
            if (Py_REFCNT(values_.back()) > 1) [[likely]]
                values_.drop(1);
            else
                keep_for_later();
        }
    }
    void keep_for_later();
    void clear_marks() noexcept;

    ContainerState& st_;
    Trash& trash_;
    SmallVec<Frame, 8> frames_;  // the keys in progress, outermost first
    RefStack<16> values_;        // resolved values waiting for their dependent
};

// Calls the provider of a key that has no dependencies and stores its value
// if it is a singleton.
Ref call_alone(ContainerState& st, KeySlot& k, Provider& p, Trash& trash);

// resolve of one key: a held value or a provider without dependencies at
// once, a walk for the rest.
inline Ref resolve_key(ContainerState& st, PyObject* text, KeySlot* k, Trash& trash) {
    if (k && !k->in_progress) {
        if (Provider* p = st.in_force(*k)) {
            if (p->serves_held_value()) return p->cached.new_ref();
            if (!p->is_async && p->ndeps == 0) return call_alone(st, *k, *p, trash);
        }
    }
    Resolver resolver(st, trash);
    return resolver.resolve(text, k);
}

// resolve_many: the keys one after another, each with nothing in progress
// from the others. Their values go to `out`, in order; false with the
// exception set at the first failure.
bool resolve_many(ContainerState& st, const KeyList& keys, RefStack<16>& out, Trash& trash);

}  // namespace tarnik
