#include "core/resolve.h"

#include "core/cache.h"
#include "core/call.h"
#include "core/error.h"

namespace tarnik {

Ref Resolver::resolve(PyObject* text, KeySlot* k) {
    if (!k) {
        raise_missing_provider(text);
        return Ref();
    }
    // Nothing is in progress at the top level; in a nested call the keys of
    // the enclosing resolutions are.
    if (k->in_progress) {
        raise_cycle(k->text.get());
        return Ref();
    }
    Provider* p = st_.in_force(*k);
    if (p && p->serves_held_value()) return p->cached.new_ref();
    if (!p) {
        raise_missing_provider(k->text.get());
        return Ref();
    }
    if (p->is_async) {
        raise_async_provider(k->text.get());
        return Ref();
    }
    if (p->ndeps == 0) return call_alone(st_, *k, *p, trash_);  // no walk needed
    frames_.push_back(Frame{k, p, 0});
    k->in_progress = true;
    return walk();
}

Ref call_alone(ContainerState& st, KeySlot& k, Provider& p, Trash& trash) {
    Ref made;
    {
        InProgress mark(k);
        made = call_provider(p.callable.get(), nullptr, 0);
    }
    if (made && p.singleton) store_singleton(st, k, made.get(), trash);
    return made;
}

bool Resolver::enter(KeySlot& k) {
    if (k.in_progress) return raise_cycle(k.text.get());
    Provider* p = st_.in_force(k);
    if (p && p->serves_held_value()) {
        values_.push(p->cached.new_ref());
        return true;
    }
    if (!p) return raise_missing_provider(k.text.get());
    if (p->is_async) return raise_async_provider(k.text.get());
    frames_.push_back(Frame{&k, p, 0});
    k.in_progress = true;
    return true;
}

Ref Resolver::walk() {
    while (!frames_.empty()) {
        Frame& top = frames_.back();
        Provider& p = *top.provider;
        if (top.next_dep < p.ndeps) {
            if (!enter(*p.deps()[top.next_dep++])) return fail();
            continue;
        }
        // Every dependency of the top frame has its value on the stack, in
        // `dep_keys` order: call the factory with them.
        std::size_t n = p.ndeps;
        Ref made = call_provider(p.callable.get(), values_.top(n), n);
        if (!made) return fail();
        KeySlot& k = *top.key;
        k.in_progress = false;
        frames_.pop_back();
        if (p.singleton) store_singleton(st_, k, made.get(), trash_);
        drop_values(n);
        values_.push(std::move(made));
    }
    return values_.pop();
}

Ref Resolver::fail() {
    clear_marks();
    frames_.clear();
    drop_values(values_.size());
    return Ref();
}

void Resolver::keep_for_later() { trash_.push(values_.pop()); }

void Resolver::clear_marks() noexcept {
    for (Frame& f : frames_) f.key->in_progress = false;
}

bool resolve_many(ContainerState& st, const KeyList& keys, RefStack<16>& out, Trash& trash) {
    Resolver resolver(st, trash);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        PyObject* key = keys[i];
        KeySlot* k = st.keys.find(key, str_hash(key));
        Provider* p = k && !k->in_progress ? st.in_force(*k) : nullptr;
        // Held values are the common case of a batch.
        Ref value = p && p->serves_held_value() ? p->cached.new_ref() : resolver.resolve(key, k);
        if (!value) return false;
        out.push(std::move(value));
    }
    return true;
}

}  // namespace tarnik
