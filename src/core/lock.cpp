#include "lock.h"

#include <chrono>
#include <new>

namespace tarnik {

struct ContainerLock::Waiter {
    std::uintptr_t id = 0;
    Waiter* next = nullptr;  // guarded by the lock's queue_
    std::mutex m;
    std::condition_variable cv;
    bool granted = false;  // guarded by m
};

namespace {

bool interpreter_exiting() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Waits until `w` is granted the lock. Gives up only when the interpreter is
// exiting: the holder may then be a thread that can never run again.
bool wait_granted(std::mutex& m, std::condition_variable& cv, const bool& granted) {
    std::unique_lock<std::mutex> l(m);
    while (!granted) {
        if (cv.wait_for(l, std::chrono::milliseconds(50)) == std::cv_status::timeout && !granted &&
            interpreter_exiting())
            return false;
    }
    return true;
}

// Hands the lock over to a waiter that is already unlinked; holds the
// waiter's mutex while it signals, since the waiter may go at once after.
void grant(std::mutex& m, std::condition_variable& cv, bool& granted) {
    std::lock_guard<std::mutex> g(m);
    granted = true;
    cv.notify_one();
}

}  // namespace

ContainerLock::Outcome ContainerLock::take_slow(std::uintptr_t me) {
    Waiter w;
    w.id = me;
    {
        std::lock_guard<std::mutex> g(queue_);
        if (tail_) tail_->next = &w;
        else head_.store(&w, std::memory_order_seq_cst);
        tail_ = &w;
        // Freed since the first look, with nobody ahead of us.
        if (claim_free(me)) {
            unlink(&w);
            return Outcome::Taken;
        }
    }
    PyThreadState* saved = PyEval_SaveThread();
    bool granted = wait_granted(w.m, w.cv, w.granted);
    if (!granted) {
        std::lock_guard<std::mutex> g(queue_);
        std::lock_guard<std::mutex> g2(w.m);
        granted = w.granted;
        if (!granted) unlink(&w);
    }
    // Taking the interpreter back may end this thread when the interpreter
    // exits (a forced unwind); the lock, ours by then, goes on to the next
    // waiter.
    struct PassOn {
        ContainerLock* lock;
        ~PassOn() {
            if (lock) lock->release_detached();
        }
    } pass_on{granted ? this : nullptr};
    PyEval_RestoreThread(saved);
    pass_on.lock = nullptr;
    return granted ? Outcome::TakenAfterWaiting : Outcome::Abandoned;
}

bool ContainerLock::claim_free(std::uintptr_t me) noexcept {
    std::uintptr_t expected = 0;
    return head_.load(std::memory_order_relaxed)->id == me &&
           owner_.compare_exchange_strong(expected, me, std::memory_order_seq_cst);
}

void ContainerLock::unlink(Waiter* w) noexcept {
    Waiter* prev = nullptr;
    for (Waiter* it = head_.load(std::memory_order_relaxed); it != w; it = it->next) prev = it;
    if (prev) prev->next = w->next;
    else head_.store(w->next, std::memory_order_seq_cst);
    if (tail_ == w) tail_ = prev;
}

bool ContainerLock::try_take() noexcept {
    std::uintptr_t expected = 0;
    return head_.load(std::memory_order_seq_cst) == nullptr &&
           owner_.compare_exchange_strong(expected, self(), std::memory_order_acquire);
}

void ContainerLock::release_slow() noexcept {
#ifdef Py_GIL_DISABLED
    if (head_.load(std::memory_order_seq_cst) == nullptr) {
        owner_.store(0, std::memory_order_seq_cst);
        // A thread that queued meanwhile either saw the lock free and took
        // it, or is seen here and gets it below.
        if (head_.load(std::memory_order_seq_cst) == nullptr) return;
        std::lock_guard<std::mutex> g(queue_);
        Waiter* w = head_.load(std::memory_order_relaxed);
        std::uintptr_t expected = 0;
        if (w && owner_.compare_exchange_strong(expected, w->id, std::memory_order_seq_cst)) hand_to(w);
        return;
    }
#endif
    release_detached();
}

void ContainerLock::release_detached() noexcept {
    std::lock_guard<std::mutex> g(queue_);
    Waiter* w = head_.load(std::memory_order_relaxed);
    if (!w) {
        owner_.store(0, std::memory_order_seq_cst);
        return;
    }
    owner_.store(w->id, std::memory_order_seq_cst);
    hand_to(w);
}

bool ContainerLock::forget_other_threads() noexcept {
    // Nobody holds the queue's mutex across a fork: its holders are attached
    // to the interpreter and run no Python code inside, and the interpreter
    // forks with every other thread stopped or without the interpreter lock.
    // Made anew all the same, as the waiters' ends are gone with them.
    new (&queue_) std::mutex();
    head_.store(nullptr, std::memory_order_relaxed);
    tail_ = nullptr;
    std::uintptr_t owner = owner_.load(std::memory_order_relaxed);
    if (owner == 0 || owner == self()) return false;
    owner_.store(0, std::memory_order_release);
    return true;
}

void ContainerLock::hand_to(Waiter* w) noexcept {
    head_.store(w->next, std::memory_order_seq_cst);
    if (!w->next) tail_ = nullptr;
    grant(w->m, w->cv, w->granted);
}

}  // namespace tarnik
