// One method call's turn at a container, and the method's one catch site.
//
// A method binds and converts its arguments, then enter()s the container:
// the one way in. The turn takes the container's lock, waiting for it if
// another thread or greenlet holds it (core/lock.h), or, when the caller's
// own stack holds it already further down (a provider or finalizer of the
// running operation calls back), runs nested in that operation: reading
// only, since a change would pull the state from under the operation. The
// method runs its core operation on state() and ends with leave(), the one
// way out: the lock goes (poisoned first when the operation ended with an
// internal failure that came back from Python code), and only then does
// what must not happen under it: waking a greenlet the lock was handed to,
// and releasing what the operation dropped (a nested turn leaves what it
// dropped to the operation it runs in).
//
// Every turn that reads, nested or not, first makes sure the native stack
// has room for the Python code it may run (providers, finalizers): a chain
// of calls through containers ends in RecursionError, not in a crash.
#pragma once

#include "core/error.h"
#include "core/stack_guard.h"
#include "core/trash.h"
#include "module/container.h"

#include <cassert>
#include <exception>
#include <new>
#include <stdexcept>

namespace tarnik {

class Turn {
public:
    enum class Access { Read, Change };

    Turn() noexcept = default;
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    ~Turn() noexcept(false) {
        // Only an unwind gets here with the turn open: the interpreter ending
        // this thread at exit.
        if (kind_ != Kind::None) end(true);
    }

    // False with the exception set when the container cannot be used now. A
    // change runs no Python code while it holds the container: it needs
    // neither room for that nor a place on its stack.
    bool enter(ContainerObject* c, Access access) {
        c_ = c;
        if (access == Access::Read && !stack_has_room()) [[unlikely]]
            return raise_too_deep();
        ContainerLock::Outcome got = c->lock.take(access == Access::Read);
        if (got == ContainerLock::Outcome::Taken && !c->lock.poisoned()) [[likely]] {
            kind_ = Kind::Held;
            c->holder_trash = &trash_;
            return true;
        }
        return enter_slow(got, access);
    }
    ContainerState& state() noexcept { return c_->state; }
    // Where the operation puts what it drops, for release after the lock.
    Trash& trash() noexcept { return *bin_; }
    // Ends the turn; `ok` false means the operation failed with the exception
    // set. Returns `ok`, or false when waking a greenlet raised something
    // that must go on (KeyboardInterrupt, SystemExit).
    bool leave(bool ok) {
        assert(ok != bool(PyErr_Occurred()));  // the error rule
        if (ok && kind_ == Kind::Held && trash_.empty()) {
            c_->state.gate.open();
            Ref wake = c_->lock.release();
            kind_ = Kind::None;
            if (!wake) [[likely]]
                return true;
            return after_lock(true, std::move(wake));
        }
        return leave_slow(ok, true);
    }
    // What the catch site makes of a native exception: MemoryError for a
    // failed allocation, an internal failure for anything else. Neither
    // poisons the container: every change makes room before it starts, so a
    // native exception leaves the state as it was.
    PyObject* fail_native(bool out_of_memory);

private:
    enum class Kind { None, Held, Nested };
    static bool raise_too_deep();
    bool enter_slow(ContainerLock::Outcome got, Access access);
    bool leave_slow(bool ok, bool may_poison);
    Ref end(bool unwinding) noexcept;
    bool after_lock(bool ok, Ref wake);

    ContainerObject* c_ = nullptr;
    Kind kind_ = Kind::None;
    Trash* bin_ = &trash_;
    Trash trash_;
};

// Runs a method body. This is where a native exception becomes a Python
// exception. Only the standard library's exceptions are caught: forced
// unwinding (glibc ending this thread at interpreter exit) is none of them
// and passes through untouched.
template <class Body>
PyObject* run_method(Body&& body) {
    Turn turn;
    PyObject* result;
    try {
        result = body(turn);
    } catch (const std::bad_alloc&) {
        result = turn.fail_native(true);
    } catch (const std::length_error&) {
        result = turn.fail_native(true);  // a size no allocation can meet
    } catch (const std::exception&) {
        result = turn.fail_native(false);
    }
    assert((result == nullptr) == bool(PyErr_Occurred()));  // the error rule
    // Said once no container of this thread is held any more: the printing
    // runs Python code.
    if (!result && this_thread.holds == 0) announce_resumed_failure();
    return result;
}

}  // namespace tarnik
