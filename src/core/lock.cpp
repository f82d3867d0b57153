#include "lock.h"

#include <chrono>
#include <new>

namespace tarnik {

struct ContainerLock::Waiter {
    std::uintptr_t id = 0;
    std::uint64_t ticket = 0;  // its place in the queue, kept while it is out of it
    Waiter* next = nullptr;    // guarded by the lock's queue_
    std::mutex m;
    std::condition_variable cv;
    bool granted = false;  // guarded by m
};

namespace {

// How often a waiting thread that runs signal handlers looks for signals, and
// a waiting thread checks whether the interpreter is exiting.
constexpr auto kPollEvery = std::chrono::milliseconds(50);

std::atomic<unsigned long> signal_thread{0};

bool interpreter_exiting() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Hands the lock over to a waiter that is already unlinked; holds the
// waiter's mutex while it signals, since the waiter may go at once after.
void grant(std::mutex& m, std::condition_variable& cv, bool& granted) {
    std::lock_guard<std::mutex> g(m);
    granted = true;
    cv.notify_one();
}

}  // namespace

void ContainerLock::set_signal_thread(unsigned long ident) noexcept {
    signal_thread.store(ident, std::memory_order_relaxed);
}

ContainerLock::Outcome ContainerLock::take_slow(std::uintptr_t me) {
    Waiter w;
    w.id = me;
    {
        std::lock_guard<std::mutex> g(queue_);
        w.ticket = next_ticket_++;
        enqueue(&w);
        // Freed since the first look, with nobody ahead of us.
        if (claim_free(me)) {
            unlink(&w);
            return Outcome::Taken;
        }
    }
    const bool poll = PyThread_get_thread_ident() == signal_thread.load(std::memory_order_relaxed);
    for (;;) {
        switch (wait_detached(w, poll)) {
            case Wake::Granted:
                return Outcome::TakenAfterWaiting;
            case Wake::Exiting:
                return Outcome::Abandoned;
            case Wake::Poll:
                break;
        }
        // Out of the queue while signal handlers run, so that one that calls
        // this container queues on its own instead of behind this thread.
        {
            std::lock_guard<std::mutex> g(queue_);
            std::lock_guard<std::mutex> g2(w.m);
            if (w.granted) return Outcome::TakenAfterWaiting;
            unlink(&w);
        }
        if (PyErr_CheckSignals() < 0) return Outcome::Interrupted;
        std::lock_guard<std::mutex> g(queue_);
        w.next = nullptr;
        enqueue(&w);
        if (claim_free(me)) {
            unlink(&w);
            return Outcome::TakenAfterWaiting;
        }
    }
}

// Waits detached until `w` is granted the lock, the interpreter exits (the
// holder may then be a thread that can never run again: `w` leaves the
// queue), or, with `poll`, a while has passed; then attaches again.
ContainerLock::Wake ContainerLock::wait_detached(Waiter& w, bool poll) {
    PyThreadState* saved = PyEval_SaveThread();
    Wake wake = Wake::Granted;
    {
        std::unique_lock<std::mutex> l(w.m);
        while (!w.granted) {
            if (w.cv.wait_for(l, kPollEvery) != std::cv_status::timeout || w.granted) continue;
            if (interpreter_exiting()) {
                wake = Wake::Exiting;
                break;
            }
            if (poll) {
                wake = Wake::Poll;
                break;
            }
        }
    }
    if (wake == Wake::Exiting) {
        std::lock_guard<std::mutex> g(queue_);
        std::lock_guard<std::mutex> g2(w.m);
        if (w.granted) wake = Wake::Granted;
        else unlink(&w);
    }
    // Taking the interpreter back may end this thread when the interpreter
    // exits (a forced unwind): the lock, ours by then, goes on to the next
    // waiter, or `w` leaves the queue.
    struct OnUnwind {
        ContainerLock* lock;
        Waiter* w;
        ~OnUnwind() {
            if (lock) lock->drop_waiter_detached(*w);
        }
    } on_unwind{wake == Wake::Exiting ? nullptr : this, &w};
    PyEval_RestoreThread(saved);
    on_unwind.lock = nullptr;
    return wake;
}

void ContainerLock::drop_waiter_detached(Waiter& w) noexcept {
    bool granted = false;
    {
        std::lock_guard<std::mutex> g(queue_);
        std::lock_guard<std::mutex> g2(w.m);
        granted = w.granted;
        if (!granted) unlink(&w);
    }
    if (granted) release_detached();
}

// In ticket order: a waiter back from running signal handlers keeps its
// place.
void ContainerLock::enqueue(Waiter* w) noexcept {
    Waiter* prev = tail_;
    if (prev && prev->ticket > w->ticket) {
        prev = nullptr;
        for (Waiter* it = head_.load(std::memory_order_relaxed); it->ticket < w->ticket; it = it->next) prev = it;
    }
    if (prev) {
        w->next = prev->next;
        prev->next = w;
        if (tail_ == prev) tail_ = w;
    } else {
        w->next = head_.load(std::memory_order_relaxed);
        head_.store(w, std::memory_order_seq_cst);
        if (!tail_) tail_ = w;
    }
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
    // An idle container is left untouched, so that its memory stays shared
    // with the parent.
    std::uintptr_t held_by = owner_.load(std::memory_order_relaxed);
    if (head_.load(std::memory_order_relaxed) == nullptr && (held_by == 0 || held_by == self())) return false;
    // Nobody holds the queue's mutex across a fork, except a thread ended
    // while the interpreter exits: made anew, as the waiters' ends are gone
    // with them.
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
