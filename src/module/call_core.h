// Running one core operation under a container's lock.
#pragma once

#include "container.h"
#include "core/trash.h"

#include <optional>

namespace tarnik {

// Takes the lock, runs `op(state, trash)`, releases the lock, then releases
// what the operation dropped, and only then raises a failure. Returns the
// operation's value, or nothing with a Python exception set.
template <class T, class Op>
std::optional<T> with_lock(ContainerObject* c, Op&& op) {
    std::optional<Result<T>> r;
    {
        Trash trash;
        Locked locked(c);
        if (!locked.ok()) return std::nullopt;
        r.emplace(op(locked.state(), trash));
        locked.check(*r);
        locked.unlock();
    }  // the trash goes after the lock
    if (!r->ok()) {
        raise_error(std::move(r->error()));
        return std::nullopt;
    }
    return std::move(r->value());
}

}  // namespace tarnik
