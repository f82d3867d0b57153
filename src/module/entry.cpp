#include "module/entry.h"

#include "module/convert.h"

#include <memory>
#include <mutex>
#include <vector>

namespace tarnik {

PyTypeObject* container_type = nullptr;

namespace {

constexpr const char* kPoisoned = "called `Result::unwrap()` on an `Err` value: PoisonError { .. }";

bool raise_too_deep() {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded in a nested container call");
    return false;
}

// A new lock of the thread module as the program sees it now, or an empty
// Ref (no exception set) when it is the interpreter's own, which would block
// the whole thread. Programs that run many stacks on one thread (gevent,
// eventlet) make it cooperative by replacing _thread.allocate_lock.
Ref cooperative_lock() {
    Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
    if (!thread) return Ref();
    Ref allocate = Ref::steal(PyObject_GetAttrString(thread.get(), "allocate_lock"));
    if (!allocate) return Ref();
    if (PyCFunction_Check(allocate.get()) && PyCFunction_GET_SELF(allocate.get()) == thread.get()) return Ref();
    return Ref::steal(PyObject_CallObject(allocate.get(), nullptr));
}

bool call_method(PyObject* o, const char* name) {
    return bool(Ref::steal(PyObject_CallMethod(o, name, nullptr)));
}

}  // namespace

// Calls from other stacks of a holder's thread, each asleep on a cooperative
// lock of its own until a release of the container wakes it (in the order
// they came). Made by the first such call; kept until the container goes.
struct Sleepers {
    std::mutex m;
    std::vector<Ref> locks;  // guarded by m; nothing is released under it

    // Adds `lock`, held by the caller.
    void add(Ref lock) {
        std::lock_guard<std::mutex> g(m);
        locks.push_back(std::move(lock));
    }
    // Takes `lock` out; false when a release took it out first (woke it).
    bool remove(PyObject* lock) {
        Ref gone;
        std::lock_guard<std::mutex> g(m);
        for (auto it = locks.begin(); it != locks.end(); ++it) {
            if (it->get() != lock) continue;
            gone = std::move(*it);
            locks.erase(it);
            return true;
        }
        return false;
    }
    // Wakes the oldest sleeper, if any. Runs Python code: called after the
    // container's lock is released.
    void wake_one() {
        Ref first;
        {
            std::lock_guard<std::mutex> g(m);
            if (locks.empty()) return;
            first = std::move(locks.front());
            locks.erase(locks.begin());
        }
        ErrorIndicatorGuard keep;
        // A lock its sleeper no longer waits on may refuse: nothing to wake.
        if (!call_method(first.get(), "release")) PyErr_Clear();
    }
};

void release_sleepers(ContainerObject* c) {
    delete c->sleepers.exchange(nullptr, std::memory_order_relaxed);
}

ContainerObject* receiver_slow(PyObject* self) {
    if (container_type && PyObject_TypeCheck(self, container_type)) return reinterpret_cast<ContainerObject*>(self);
    conversion_error(self, "Container");
    return nullptr;
}

bool Call::enter_slow(ContainerLock::Outcome got, Access access) {
    ContainerLock& lock = c_->lock;
    // Held by this thread, by an operation on another of its stacks: wait
    // cooperatively where the program can, and look again once woken.
    while (got == ContainerLock::Outcome::HeldByThisThread) {
        if (c_->holder_mark.holds_now()) return enter_nested(access);
        Ref sleeper = cooperative_lock();
        if (!sleeper) return PyErr_Occurred() ? false : raise_other_stack();
        if (!call_method(sleeper.get(), "acquire")) return false;
        Sleepers* s = c_->sleepers.load(std::memory_order_acquire);
        if (!s) {
            auto made = std::make_unique<Sleepers>();
            if (c_->sleepers.compare_exchange_strong(s, made.get(), std::memory_order_acq_rel)) s = made.release();
        }
        PyObject* mine = sleeper.get();
        s->add(std::move(sleeper));
        Ref again = Ref::borrow(mine);  // the list's reference may go with a wake
        if (!call_method(again.get(), "acquire")) {
            // Woken, but leaving with the exception: the next one is woken.
            if (!s->remove(again.get())) {
                ErrorIndicatorGuard keep;
                s->wake_one();
            }
            return false;
        }
        got = lock.take();
    }
    switch (got) {
        case ContainerLock::Outcome::Interrupted:
            return false;  // the signal handler's exception
        case ContainerLock::Outcome::Abandoned:
            PyErr_SetString(PyExc_RuntimeError, "Container is held by another thread while the interpreter exits");
            return false;
        case ContainerLock::Outcome::Deadlock:
            return raise_deadlock();
        default:
            break;
    }
    if (lock.poisoned() || !stack_has_room()) {
        const bool poisoned = lock.poisoned();
        turn_ = Turn::Locked;
        end_turn(false);
        let_go();
        return poisoned ? internal_failure(kPoisoned, TARNIK_HERE) : raise_too_deep();
    }
    waited_ = got == ContainerLock::Outcome::TakenAfterWaiting;
    hold();
    return true;
}

// A call made inside the holder's operation (a provider or finalizer of it).
bool Call::enter_nested(Access access) {
    assert(Change::consistent(c_->state));
    if (access == Access::Change) return raise_reentrant();
    if (c_->lock.poisoned()) return internal_failure(kPoisoned, TARNIK_HERE);
    // Nested calls go through the native stack: their depth is bounded by
    // the interpreter's recursion limit and by the room left.
    if (c_->nested >= static_cast<unsigned>(Py_GetRecursionLimit()) || !stack_has_room())
        return raise_too_deep();
    if (Py_EnterRecursiveCall(" in a nested container call")) return false;
    ++c_->nested;
    turn_ = Turn::Nested;
    nested_ = true;
    bin_ = c_->holder_trash;
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
    const bool released = turn_ == Turn::Locked;
    end_turn(false);
    if (ok) {
        if (released) let_go();
        trash_.release();
        return true;
    }
    ErrorIndicatorGuard keep;  // the operation's exception waits meanwhile
    if (released) let_go();
    trash_.release();
    return false;
}

// After the lock is released: the oldest call asleep on another stack of
// this thread, if any, looks again.
void Call::let_go() {
    if (Sleepers* s = c_->sleepers.load(std::memory_order_acquire)) s->wake_one();
}

PyObject* Call::fail_native(bool out_of_memory) {
    // A failed allocation left the state as it was (every change makes room
    // before it starts). Any other native exception is unexpected: the state
    // may be inconsistent, and the container is poisoned if it is held.
    if (out_of_memory) PyErr_NoMemory();
    else internal_failure("unexpected native exception", TARNIK_HERE);
    if (turn_ != Turn::None) leave(false);
    return nullptr;
}

void Call::after_failure() {
    if (!nested_) announce_resumed_failure();
}

}  // namespace tarnik
