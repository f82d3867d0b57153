#include "core/lock.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <new>
#include <optional>

namespace tarnik {

struct LockWaiter {
    std::uintptr_t id = 0;
    std::uint64_t ticket = 0;        // its place in the queue
    ContainerLock* lock = nullptr;   // what it waits for
    LockWaiter* next = nullptr;      // guarded by the lock's queue_
    bool away = false;               // guarded by the lock's queue_: running signal handlers
    LockWaiter* next_blocked = nullptr;  // guarded by graph_mutex
    bool blocked = false;                // guarded by graph_mutex: in the waits-for graph
    std::mutex m;
    std::condition_variable cv;
    bool granted = false;  // guarded by m
};

namespace {

// How often a waiting thread that runs signal handlers looks for signals, and
// a waiting thread checks whether the interpreter is exiting.
constexpr auto kPollEvery = std::chrono::milliseconds(50);

std::atomic<unsigned long> signal_thread{0};

// The waits-for graph: the threads asleep waiting for a container's lock,
// each with the lock it waits for. Process-wide, as waits cross containers.
std::mutex graph_mutex;
LockWaiter* blocked_head = nullptr;  // guarded by graph_mutex
std::size_t blocked_count = 0;       // guarded by graph_mutex

bool interpreter_exiting() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

}  // namespace

void ContainerLock::set_signal_thread(unsigned long ident) noexcept {
    signal_thread.store(ident, std::memory_order_relaxed);
}

ContainerLock::Outcome ContainerLock::take_slow(std::uintptr_t me) {
    // The waiter of the thread that runs signal handlers keeps its place
    // while they run, and they may switch this thread to another stack (a
    // greenlet), which would overwrite one on the native stack: it goes on
    // the heap.
    const bool poll = PyThread_get_thread_ident() == signal_thread.load(std::memory_order_relaxed);
    std::unique_ptr<Waiter> owned;
    std::optional<Waiter> here;
    Waiter& w = poll ? *(owned = std::make_unique<Waiter>()) : here.emplace();
    w.id = me;
    w.lock = this;
    {
        std::lock_guard<std::mutex> g(queue_);
        w.ticket = next_ticket_++;
        enqueue(&w);
        if (claim(&w)) return Outcome::Taken;  // freed since the first look
    }
    for (;;) {
        if (!blocks(w)) {
            std::lock_guard<std::mutex> g(queue_);
            std::lock_guard<std::mutex> g2(w.m);
            if (w.granted) return Outcome::TakenAfterWaiting;
            leave_queue(&w);
            return Outcome::Deadlock;
        }
        Wake wake = wait_detached(w, poll);
        if (wake == Wake::Granted) return Outcome::TakenAfterWaiting;
        if (wake == Wake::Exiting) return Outcome::Abandoned;
        // Away from its place, which it keeps, while signal handlers run: one
        // that calls this container takes the lock kept for this thread, or
        // waits behind and is served first.
        {
            std::lock_guard<std::mutex> g(queue_);
            std::lock_guard<std::mutex> g2(w.m);
            if (w.granted) return Outcome::TakenAfterWaiting;
            w.away = true;
            std::uintptr_t expected = 0;
            if (head_.load(std::memory_order_relaxed) == &w)
                owner_.compare_exchange_strong(expected, kept_for(me), std::memory_order_seq_cst);
        }
        const bool raised = PyErr_CheckSignals() < 0;
        std::lock_guard<std::mutex> g(queue_);
        w.away = false;
        if (raised) {
            leave_queue(&w);
            return Outcome::Interrupted;
        }
        if (claim(&w)) return Outcome::TakenAfterWaiting;
    }
}

// Waits detached until `w` is granted the lock, the interpreter exits (the
// holder may then be a thread that can never run again: `w` leaves the
// queue), or, with `poll`, a while has passed; then leaves the waits-for
// graph and attaches again.
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
    // Out of the graph before the interpreter is taken back, which may end
    // this thread at exit (its waiter then goes with it).
    unblocks(w);
    if (wake == Wake::Exiting) {
        std::lock_guard<std::mutex> g(queue_);
        std::lock_guard<std::mutex> g2(w.m);
        if (w.granted) wake = Wake::Granted;
        else leave_queue(&w);
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
    unblocks(w);
    std::lock_guard<std::mutex> g(queue_);
    bool granted = false;
    {
        std::lock_guard<std::mutex> g2(w.m);
        granted = w.granted;
    }
    if (granted) pass_on();
    else leave_queue(&w);
}

// Joins the waits-for graph as waiting for this lock, unless that closes a
// cycle: from this lock's owner to the lock that owner waits for, and on,
// the chain comes back to `w`'s thread. A lock kept for a waiter that is
// away belongs to that waiter's thread.
bool ContainerLock::blocks(Waiter& w) {
    std::lock_guard<std::mutex> g(graph_mutex);
    ContainerLock* l = this;
    for (std::size_t steps = 0; steps <= blocked_count; ++steps) {
        std::uintptr_t thread = l->owner_.load(std::memory_order_seq_cst) & ~std::uintptr_t{1};
        if (thread == 0) break;
        if (thread == w.id) return false;
        Waiter* b = blocked_head;
        while (b && b->id != thread) b = b->next_blocked;
        if (!b) break;  // that thread runs: it will release
        l = b->lock;
    }
    w.next_blocked = blocked_head;
    blocked_head = &w;
    ++blocked_count;
    w.blocked = true;
    return true;
}

void ContainerLock::unblocks(Waiter& w) noexcept {
    std::lock_guard<std::mutex> g(graph_mutex);
    if (!w.blocked) return;
    Waiter** link = &blocked_head;
    while (*link != &w) link = &(*link)->next_blocked;
    *link = w.next_blocked;
    --blocked_count;
    w.blocked = false;
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

// Takes the lock for `w` when it is free with `w` first in line, or kept for
// `w`'s thread.
bool ContainerLock::claim(Waiter* w) noexcept {
    std::uintptr_t owner = owner_.load(std::memory_order_seq_cst);
    bool ours = (owner == 0 && head_.load(std::memory_order_relaxed) == w) || owner == kept_for(w->id);
    if (!ours || !owner_.compare_exchange_strong(owner, w->id, std::memory_order_seq_cst)) return false;
    unlink(w);
    return true;
}

void ContainerLock::leave_queue(Waiter* w) noexcept {
    unlink(w);
    if (owner_.load(std::memory_order_relaxed) == kept_for(w->id)) pass_on();
}

void ContainerLock::unlink(Waiter* w) noexcept {
    Waiter* prev = nullptr;
    for (Waiter* it = head_.load(std::memory_order_relaxed); it != w; it = it->next) prev = it;
    if (prev) prev->next = w->next;
    else head_.store(w->next, std::memory_order_seq_cst);
    if (tail_ == w) tail_ = prev;
    w->next = nullptr;
}

// The lock goes to the first waiter that is not away. One that is away keeps
// its place: the lock goes to a call of its own thread's waiting behind it
// (made by its signal handlers), or else is kept for it.
void ContainerLock::pass_on() noexcept {
    Waiter* first = head_.load(std::memory_order_relaxed);
    if (!first) {
        owner_.store(0, std::memory_order_seq_cst);
        return;
    }
    Waiter* to = first;
    if (first->away) {
        do to = to->next;
        while (to && (to->id != first->id || to->away));
        if (!to) {
            owner_.store(kept_for(first->id), std::memory_order_seq_cst);
            return;
        }
    }
    owner_.store(to->id, std::memory_order_seq_cst);
    unlink(to);
    grant(to);
}

// Hands the lock over to a waiter that is already unlinked; holds the
// waiter's mutex while it signals, since the waiter may go at once after.
void ContainerLock::grant(Waiter* w) noexcept {
    std::lock_guard<std::mutex> g(w->m);
    w->granted = true;
    w->cv.notify_one();
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
        Waiter* first = head_.load(std::memory_order_relaxed);
        std::uintptr_t expected = 0;
        // Held for the moment by the first waiter's mark, then passed on.
        if (first && owner_.compare_exchange_strong(expected, kept_for(first->id), std::memory_order_seq_cst))
            pass_on();
        return;
    }
#endif
    release_detached();
}

void ContainerLock::release_detached() noexcept {
    std::lock_guard<std::mutex> g(queue_);
    pass_on();
}

bool ContainerLock::forget_other_threads() noexcept {
    std::uintptr_t me = self();
    std::uintptr_t held_by = owner_.load(std::memory_order_relaxed);
    // An idle lock is left untouched, so that its memory stays shared with
    // the parent.
    if (head_.load(std::memory_order_relaxed) == nullptr && (held_by == 0 || held_by == me)) return false;
    // Nobody holds the queue's mutex across a fork, except a thread ended
    // while the interpreter exits: made anew, as the waiters' ends are gone
    // with them. This thread's own waiters stay (it may have forked from a
    // signal handler it ran while it waited).
    new (&queue_) std::mutex();
    Waiter* kept = nullptr;
    Waiter** link = &kept;
    tail_ = nullptr;
    for (Waiter* w = head_.load(std::memory_order_relaxed); w; w = w->next) {
        if (w->id != me) continue;
        *link = tail_ = w;
        link = &w->next;
    }
    *link = nullptr;
    head_.store(kept, std::memory_order_relaxed);
    const bool abandoned = held_by != 0 && held_by != me && (held_by & 1) == 0;
    if (held_by != me && held_by != kept_for(me))
        owner_.store(kept && kept->away ? kept_for(me) : 0, std::memory_order_release);
    return abandoned;
}

void ContainerLock::forget_other_waits() noexcept {
    // Only other threads sleep in the graph, and they are gone.
    new (&graph_mutex) std::mutex();
    blocked_head = nullptr;
    blocked_count = 0;
}

}  // namespace tarnik
