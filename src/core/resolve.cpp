#include "resolve.h"

#include "call.h"
#include "registry.h"

namespace tarnik {

void store_singleton(ContainerInner& st, KeyView key, PyObject* value, Trash& trash) {
    Provider* target = find_singleton_provider(st, key);
    if (!target) return;
    Ref old = std::move(target->cached);
    target->cached = Ref::borrow(value);
    trash.drop_value(std::move(old));
}

bool Resolver::in_progress(KeyView key) const noexcept {
    if (deep_) return deep_->contains(key);
    for (std::size_t i = 0; i < frames_.size(); ++i) {
        if (frames_[i].key == key) return true;
    }
    return false;
}

void Resolver::push_frame(const Frame& f) {
    if (deep_ || frames_.size() >= kScanDepth) {
        if (!deep_) deep_ = std::make_unique<PathSet>();
        if (!deep_->has_room())
            deep_->rebuild(frames_.begin(), frames_.end(), [](const Frame& g) { return g.key; });
        deep_->insert(f.key);
    }
    frames_.push_back(f);
}

void Resolver::pop_frame() noexcept {
    if (deep_) deep_->erase_newest(frames_.back().key);
    frames_.pop_back();
}

void Resolver::reset() noexcept {
    frames_.clear();
    deep_.reset();
    values_.pop_n(values_.size());
}

std::optional<Error> Resolver::enter(const DepKey& dep) {
    KeyView key = dep.view();
    if (in_progress(key)) return cycle_error(key);
    return enter_found(key, find_dep_provider(st_, dep));
}

std::optional<Error> Resolver::enter_found(KeyView key, Provider* p) {
    if (p && p->serves_held_value()) {
        values_.push(p->cached.new_ref());
        return std::nullopt;
    }
    if (!p) return missing_provider_error(key);
    if (p->meta.is_async) return async_provider_error(key);
    push_frame(Frame{key, p, 0});
    return std::nullopt;
}

Result<Ref> Resolver::walk(KeyView root, Provider* found) {
    // Nothing is in progress yet, so the root cannot close a cycle.
    if (auto err = enter_found(root, found)) {
        reset();
        return std::move(*err);
    }
    while (!frames_.empty()) {
        Frame& top = frames_.back();
        const std::vector<DepKey>& deps = top.provider->meta.dep_keys;
        if (top.next_dep < deps.size()) {
            if (auto err = enter(deps[top.next_dep++])) {
                reset();
                return std::move(*err);
            }
            continue;
        }
        // Every dependency of the top frame has its value on the stack, in
        // `dep_keys` order: call the factory with them.
        Frame done = top;
        std::size_t n = deps.size();
        Ref made = call_provider(done.provider->callable.get(), values_.top(n), n);
        if (!made) {
            Error e = error_of_failed_call();
            reset();
            return e;
        }
        values_.pop_n(n);
        if (done.provider->meta.singleton) store_singleton(st_, done.key, made.get(), trash_);
        pop_frame();
        values_.push(std::move(made));
    }
    Ref out = values_.pop();
    reset();
    return out;
}

Result<Ref> Resolver::resolve(KeyView key, Provider* p) {
    if (p && p->serves_held_value()) return p->cached.new_ref();
    if (p && !p->meta.is_async && p->meta.dep_keys.empty()) {
        // A factory without dependencies needs no walk.
        Ref made = call_provider(p->callable.get(), nullptr, 0);
        if (!made) return error_of_failed_call();
        if (p->meta.singleton) store_singleton(st_, key, made.get(), trash_);
        return made;
    }
    return walk(key, p);
}

Result<Ref> resolve_found(ContainerInner& st, KeyView key, Provider* p, Trash& trash) {
    Resolver r(st, trash);
    return r.resolve(key, p);
}

Result<Ref> resolve_key(ContainerInner& st, KeyView key, Trash& trash) {
    return resolve_found(st, key, find_provider(st, key), trash);
}

}  // namespace tarnik
