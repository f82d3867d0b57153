#include "entry.h"

#include "convert.h"
#include "platform/platform.h"

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
            // Nested calls go through the native stack: their depth is bounded
            // by the interpreter's recursion limit and by the room left.
            if (c_->nested >= static_cast<unsigned>(Py_GetRecursionLimit()) || !platform::stack_has_room()) {
                PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in a nested container call");
                return false;
            }
            if (Py_EnterRecursiveCall(" in a nested container call")) return false;
            ++c_->nested;
            turn_ = Turn::Nested;
            return true;
        case ContainerLock::Outcome::Interrupted:
            return false;  // the signal handler's exception
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

// Closes the turn. An unwinding thread may be one the interpreter is ending,
// without a thread state: the lock is then passed on without the interpreter
// lock, and without poisoning, since the state is consistent (every change
// makes room before it starts).
void Call::end_turn(bool unwinding) noexcept {
    if (turn_ == Turn::Locked) {
        c_->state.gate.open();
        if (unwinding) c_->lock.release_detached();
        else c_->lock.release();
    } else if (turn_ == Turn::Nested) {
        --c_->nested;
        if (!unwinding || python_usable()) Py_LeaveRecursiveCall();
    }
    turn_ = Turn::None;
}

bool Call::leave_slow(bool ok) {
    if (!ok && turn_ != Turn::None && internal_failure_pending()) c_->lock.poison();
    end_turn(false);
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
