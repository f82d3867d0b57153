// References an operation drops from the state.
//
// They are collected here while the container is locked and released after
// the lock, so that a finalizer they trigger may call back into the
// container. A change that drops references makes room here first, so that
// once it starts nothing can fail.
#pragma once

#include "core/ref.h"

namespace tarnik {

class Trash {
public:
    void reserve(std::size_t n) { refs_.reserve(n); }
    void push_reserved(Ref r) noexcept {
        if (r) refs_.push_reserved(std::move(r));
    }
    void push(Ref r) {
        if (r) refs_.push(std::move(r));
    }

    bool empty() const noexcept { return refs_.empty(); }
    // Releases what was dropped; called after the lock.
    void release() { refs_.drop_all(); }

private:
    RefStack<8> refs_;
};

}  // namespace tarnik
