#include "entry.h"

#include "convert.h"

namespace tarnik {

PyTypeObject* container_type = nullptr;

namespace {
constexpr const char* kPoisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";
}  // namespace

ContainerObject* receiver_slow(PyObject* self) {
    if (container_type && PyObject_TypeCheck(self, container_type)) return reinterpret_cast<ContainerObject*>(self);
    conversion_error(self, "Container");
    return nullptr;
}

bool Call::enter_slow(ContainerLock::Outcome got, Access access) {
    ContainerLock& lock = c_->lock;
    switch (got) {
        case ContainerLock::Outcome::HeldByThisThread:
            // A provider or finalizer of the operation this thread runs here.
            if (access == Access::Change) return raise_reentrant();
            if (lock.poisoned()) return internal_failure(kPoisoned, TARNIK_HERE);
            if (Py_EnterRecursiveCall(" in a nested container call")) return false;
            turn_ = Turn::Nested;
            return true;
        case ContainerLock::Outcome::Abandoned:
            PyErr_SetString(PyExc_RuntimeError, "Container is held by another thread while the interpreter exits");
            return false;
        case ContainerLock::Outcome::Taken:
        case ContainerLock::Outcome::TakenAfterWaiting:
            break;
    }
    if (lock.poisoned()) {
        lock.release();
        return internal_failure(kPoisoned, TARNIK_HERE);
    }
    waited_ = got == ContainerLock::Outcome::TakenAfterWaiting;
    turn_ = Turn::Locked;
    return true;
}

void Call::end_turn() noexcept {
    if (turn_ == Turn::Locked) {
        c_->state.gate.open();
        c_->lock.release();
    } else if (turn_ == Turn::Nested) {
        Py_LeaveRecursiveCall();
    }
    turn_ = Turn::None;
}

bool Call::leave_slow(bool ok) {
    if (!ok && turn_ != Turn::None && internal_failure_pending()) c_->lock.poison();
    end_turn();
    if (!trash_.empty()) {
        if (ok) {
            trash_.release();
        } else {
            ErrorIndicatorGuard keep;  // the operation's exception waits meanwhile
            trash_.release();
        }
    }
    return ok;
}

void Call::unwind_turn() noexcept {
    // Only an unwind gets here with a turn still open: a native exception on
    // its way to the catch site, or the interpreter ending this thread, which
    // then has no thread state. The state is consistent (every change makes
    // room before it starts), so the lock is passed on without poisoning.
    if (turn_ == Turn::Locked) {
        c_->state.gate.open();
        c_->lock.release_detached();
    } else if (turn_ == Turn::Nested && python_usable()) {
        Py_LeaveRecursiveCall();
    }
    turn_ = Turn::None;
}

PyObject* Call::fail_native(bool out_of_memory) {
    const char* message = out_of_memory ? "memory allocation failed" : "unexpected native exception";
    if (turn_ != Turn::None) {
        internal_failure(message, TARNIK_HERE);
        leave(false);
    } else if (out_of_memory) {
        PyErr_NoMemory();
    } else {
        internal_failure(message, TARNIK_HERE);
    }
    return nullptr;
}

}  // namespace tarnik
