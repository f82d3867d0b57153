// One method call's turn at a container, and the method's one catch site.
//
// A method binds and converts its arguments, then enter()s the container:
// it takes the lock, or, when this thread holds the lock already (the call
// comes from a provider or finalizer of the operation running here), a read
// runs nested inside that operation and a change is refused. The method
// runs its core operation on state() and ends with leave(), which poisons
// the lock when the operation ended with an internal failure, releases the
// lock, and only then releases what the operation dropped.
#pragma once

#include "container.h"
#include "core/error.h"
#include "core/trash.h"

#include <exception>
#include <new>

namespace tarnik {

class Call {
public:
    enum class Access { Read, Change };

    Call() noexcept = default;
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    ~Call() noexcept(false) {
        // Only an unwind gets here with a turn still open: a native exception
        // on its way to the catch site, or the interpreter ending this thread.
        if (turn_ != Turn::None) end_turn(true);
    }

    // False with the exception set when the container cannot be used now.
    bool enter(ContainerObject* c, Access access) {
        c_ = c;
        ContainerLock::Outcome got = c->lock.take();
        if (got == ContainerLock::Outcome::Taken && !c->lock.poisoned()) {
            turn_ = Turn::Locked;
            return true;
        }
        return enter_slow(got, access);
    }
    ContainerState& state() noexcept { return c_->state; }
    Trash& trash() noexcept { return trash_; }
    // True when enter() had to wait for another thread: the state may have
    // changed since the method looked at it before.
    bool waited() const noexcept { return waited_; }
    // Ends the turn; `ok` false means the operation failed with the
    // exception set. Returns `ok`.
    bool leave(bool ok) {
        if (ok && turn_ == Turn::Locked && trash_.empty()) {
            c_->state.gate.open();
            c_->lock.release();
            turn_ = Turn::None;
            return true;
        }
        return leave_slow(ok);
    }
    // What the catch site makes of a native exception: an internal failure
    // while the container is held, else MemoryError or an internal failure.
    PyObject* fail_native(bool out_of_memory);

private:
    enum class Turn { None, Locked, Nested };
    bool enter_slow(ContainerLock::Outcome got, Access access);
    bool leave_slow(bool ok);
    void end_turn(bool unwinding) noexcept;

    ContainerObject* c_ = nullptr;
    Turn turn_ = Turn::None;
    bool waited_ = false;
    Trash trash_;
};

// Runs a method body. This is where a native exception becomes a Python
// exception. Only the standard library's exceptions are caught: forced
// unwinding (glibc ending this thread at interpreter exit) is none of them
// and passes through untouched.
template <class Body>
PyObject* run_method(Body&& body) {
    Call call;
    try {
        return body(call);
    } catch (const std::bad_alloc&) {
        return call.fail_native(true);
    } catch (const std::exception&) {
        return call.fail_native(false);
    }
}

}  // namespace tarnik
