#include "module/turn.h"

namespace tarnik {

namespace {

constexpr const char* kPoisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

}  // namespace

bool Turn::raise_too_deep() {
    return raise_message(PyExc_RecursionError, "maximum recursion depth exceeded in a nested container call");
}

bool Turn::enter_slow(ContainerLock::Outcome got, Access access) {
    switch (got) {
        case ContainerLock::Outcome::Failed:
            return false;
        case ContainerLock::Outcome::Nested:
            // A call made inside the holder's operation (a provider or
            // finalizer of it), on the same stack.
            assert(Change::consistent(c_->state));
            if (access == Access::Change) return raise_reentrant();
            if (c_->lock.poisoned()) return internal_failure(kPoisoned, TARNIK_HERE);
            // Nested calls go through the native stack: their depth is bounded
            // by the interpreter's recursion limit and by the room left.
            if (c_->nested >= static_cast<unsigned>(Py_GetRecursionLimit())) return raise_too_deep();
            if (Py_EnterRecursiveCall(" in a nested container call")) return false;
            ++c_->nested;
            kind_ = Kind::Nested;
            bin_ = c_->holder_trash;
            return true;
        case ContainerLock::Outcome::TakenOver:
            // From a holder that is gone with its thread: what its operation
            // had under way is forgotten, and what it stored stays.
            c_->state.forget_operation();
            c_->nested = 0;
            [[fallthrough]];
        case ContainerLock::Outcome::Taken:
            kind_ = Kind::Held;
            c_->holder_trash = &trash_;
            if (!c_->lock.poisoned()) return true;
            internal_failure(kPoisoned, TARNIK_HERE);
            leave_slow(false, false);
            return false;
    }
    return false;
}

// Closes the turn. An unwinding thread is one the interpreter is ending,
// without a thread state: the lock is passed on without the interpreter
// lock, and without poisoning, since the state is consistent (every change
// makes room before it starts).
// Returns the greenlet the lock was handed to, to be woken.
Ref Turn::end(bool unwinding) noexcept {
    Ref wake;
    if (kind_ == Kind::Held) {
        c_->state.gate.open();
        if (unwinding) c_->lock.release_detached();
        else wake = c_->lock.release();
    } else if (kind_ == Kind::Nested) {
        --c_->nested;
        if (!unwinding || python_usable()) Py_LeaveRecursiveCall();
    }
    kind_ = Kind::None;
    return wake;
}

bool Turn::leave_slow(bool ok, bool may_poison) {
    if (!ok && may_poison && kind_ == Kind::Held && internal_failure_pending()) c_->lock.poison();
    Ref wake = end(false);
    if (ok && !wake) {
        trash_.release();
        return true;
    }
    return after_lock(ok, std::move(wake));
}

// What waits for the lock's release: a greenlet given the lock is woken,
// then what the operation dropped is released. The operation's exception,
// if any, waits meanwhile and goes on; without one, what the wake-up raised
// and must go on becomes the call's failure.
bool Turn::after_lock(bool ok, Ref wake) {
    if (ok && (!wake || ContainerLock::wake(std::move(wake)))) {
        trash_.release();
        return true;
    }
    ErrorIndicatorGuard keep;  // the operation's failure, or the wake-up's
    if (!ok && wake && !ContainerLock::wake(std::move(wake))) PyErr_Clear();  // the call's own failure goes on
    trash_.release();
    return false;
}

PyObject* Turn::fail_native(bool out_of_memory) {
    if (out_of_memory) PyErr_NoMemory();
    else internal_failure("unexpected native exception", TARNIK_HERE);
    if (kind_ != Kind::None) leave_slow(false, false);
    return nullptr;
}

}  // namespace tarnik
