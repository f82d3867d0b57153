// One method call's turn at a container, and the method's one catch site.
//
// A method binds and converts its arguments, then enter()s the container:
// it takes the lock, or, when this thread holds the lock already, looks at
// who holds it. A call made inside the holder's operation, on its own stack
// (from a provider or finalizer of that operation), runs nested in it if it
// only reads, and is refused if it would change the container. A call from
// another stack of the same thread (another greenlet) cannot wait for a
// holder that cannot run while its thread waits: it fails at once, or, where
// the program made thread primitives cooperative (gevent, eventlet), waits
// on one of their locks until the holder lets go. The method runs its core
// operation on state() and ends with leave(), which poisons the lock when
// the operation ended with an internal failure, releases the lock, and only
// then releases what the operation dropped (a nested turn leaves what it
// dropped to the operation it runs in).
//
// Every turn, nested or not, first makes sure the native stack has room for
// the Python code it may run: a chain of calls through containers ends in
// RecursionError, not in a crash.
#pragma once

#include "module/container.h"
#include "core/error.h"
#include "core/trash.h"
#include "core/stack_guard.h"
#include "module/stack_mark.h"

#include <cassert>
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
        if (got == ContainerLock::Outcome::Taken && !c->lock.poisoned() && stack_has_room()) {
            hold();
            return true;
        }
        return enter_slow(got, access);
    }
    ContainerState& state() noexcept { return c_->state; }
    // Where the operation puts what it drops, for release after the lock.
    Trash& trash() noexcept { return *bin_; }
    // True when enter() had to wait for another thread: the state may have
    // changed since the method looked at it before.
    bool waited() const noexcept { return waited_; }
    // Ends the turn; `ok` false means the operation failed with the
    // exception set. Returns `ok`.
    bool leave(bool ok) {
        assert(ok != bool(PyErr_Occurred()));  // the error rule
        if (ok && turn_ == Turn::Locked && trash_.empty() &&
            c_->sleepers.load(std::memory_order_relaxed) == nullptr) {
            c_->state.gate.open();
            c_->lock.release();
            turn_ = Turn::None;
            return true;
        }
        return leave_slow(ok);
    }
    // What the catch site makes of a native exception: MemoryError for a
    // failed allocation, an internal failure for anything else.
    PyObject* fail_native(bool out_of_memory);
    // After the method failed, its turn closed: announces an internal
    // failure resumed from Python code, unless the turn was nested (the
    // container is still held further out, and the outermost call says it).
    void after_failure();

private:
    enum class Turn { None, Locked, Nested };
    void hold() {
        turn_ = Turn::Locked;
        c_->holder_mark.set_here(mark_holds_);
        c_->holder_trash = &trash_;
    }
    bool enter_slow(ContainerLock::Outcome got, Access access);
    bool enter_nested(Access access);
    bool leave_slow(bool ok);
    void end_turn(bool unwinding) noexcept;
    void let_go();

    ContainerObject* c_ = nullptr;
    Turn turn_ = Turn::None;
    bool waited_ = false;
    bool nested_ = false;  // the turn was nested in an operation of this thread
    Trash* bin_ = &trash_;
    Trash trash_;
    Ref mark_holds_;  // what the container's holder mark refers to, while this turn holds it
};

// Runs a method body. This is where a native exception becomes a Python
// exception. Only the standard library's exceptions are caught: forced
// unwinding (glibc ending this thread at interpreter exit) is none of them
// and passes through untouched.
template <class Body>
PyObject* run_method(Body&& body) {
    Call call;
    PyObject* result;
    try {
        result = body(call);
    } catch (const std::bad_alloc&) {
        result = call.fail_native(true);
    } catch (const std::exception&) {
        result = call.fail_native(false);
    }
    assert((result == nullptr) == bool(PyErr_Occurred()));  // the error rule
    if (!result) call.after_failure();
    return result;
}

}  // namespace tarnik
