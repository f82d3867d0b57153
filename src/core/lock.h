// The container's lock: fair, not re-entrant, with a poisoned flag, and
// deadlock detection between containers.
//
// A thread that finds the lock held waits for it detached from the
// interpreter (without the interpreter lock), in a queue: a released lock
// with waiters goes straight to the oldest one, so a thread that releases
// and at once asks again queues behind them. The owner is recorded, so that
// a call from the thread that holds the lock is recognised.
//
// Before a thread waits, it follows the waits-for relation from the lock it
// wants (its owner, the lock that owner waits for, that lock's owner, ...):
// when the chain comes back to this thread, waiting would close a cycle that
// no thread can leave, and the call fails instead (Outcome::Deadlock).
//
// The thread that runs signal handlers looks for signals now and then while
// it waits, and runs their handlers "away" from its place in the queue: its
// waiter stays there, and a release that finds it first keeps the lock for
// that thread (the owner word then holds its id with the low bit set), so it
// loses its place to nobody. A call made by those handlers takes the lock
// kept for its thread, or waits behind the waiter that is away and is given
// the lock before any other thread.
//
// Shared fields, what guards them, and who relies on them:
//
// | field                 | written by                      | read by                               |
// |-----------------------|---------------------------------|---------------------------------------|
// | owner_ (atomic)       | the taking thread; a releasing  | every taker (fast path), the deadlock |
// |                       | thread under queue_ when it     | walk (under the graph's mutex), the   |
// |                       | hands the lock on; detached too | fork child                            |
// | head_ (atomic)        | under queue_, detached too      | fast paths (no waiter, no reservation)|
// | tail_, next_ticket_,  | under queue_                    | under queue_                          |
// | a waiter's next, away |                                 |                                       |
// | a waiter's granted    | under the waiter's own mutex    | the waiter, detached                  |
// | poisoned_ (atomic)    | the holder, attached            | every method, the lock-free reader    |
// | the waits-for graph   | under its mutex (lock.cpp)      | the deadlock walk, under its mutex    |
//
// With the interpreter lock every taking and releasing thread holds it too,
// so the uncontended paths need no atomic read-modify-write there. The one
// exception is a thread that the interpreter ends at exit while it takes the
// interpreter lock back after waiting: under the queue's mutex, it hands the
// container's lock on if it was given it, or else leaves the queue.
#pragma once

#include <Python.h>

#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <mutex>

namespace tarnik {

struct LockWaiter;  // a thread waiting for a lock (lock.cpp)

class ContainerLock {
public:
    enum class Outcome {
        Taken,
        TakenAfterWaiting,
        HeldByThisThread,
        Abandoned,    // the interpreter is exiting while another thread holds it
        Interrupted,  // a signal handler raised while this thread waited (set)
        Deadlock,     // waiting would close a cycle of threads waiting for each other
    };

    // Takes the lock, waiting for it if another thread holds it. Called with
    // the interpreter attached; waits detached. Throws std::bad_alloc when
    // there is no memory to wait with.
    Outcome take() {
        std::uintptr_t me = self();
        std::uintptr_t owner = owner_.load(std::memory_order_acquire);
#ifdef Py_GIL_DISABLED
        if (owner == 0 && head_.load(std::memory_order_acquire) == nullptr &&
            owner_.compare_exchange_strong(owner, me, std::memory_order_acquire))
            return Outcome::Taken;
#else
        // Every other thread that takes the lock holds the interpreter lock
        // as well, and a free lock has no waiters (a lock kept for a waiter
        // that is away is not free).
        if (owner == 0) {
            owner_.store(me, std::memory_order_relaxed);
            return Outcome::Taken;
        }
#endif
        if (owner == me) return Outcome::HeldByThisThread;
        return take_slow(me);
    }
    // Takes the lock only if it is free and nobody waits.
    bool try_take() noexcept;
    // Hands the lock to the oldest waiter, or frees it. Called with the
    // interpreter attached.
    void release() noexcept {
#ifndef Py_GIL_DISABLED
        // Threads queue while they hold the interpreter lock, as this one does.
        if (head_.load(std::memory_order_relaxed) == nullptr) {
            owner_.store(0, std::memory_order_release);
            return;
        }
#endif
        release_slow();
    }
    // The same from a thread that may not hold the interpreter lock (one
    // that is being ended at exit).
    void release_detached() noexcept;

    // In the child of a fork, where the forking thread is the only one:
    // forgets the threads that waited, and frees the lock if another thread
    // held it. True when it did, that is when the holder's operation was left
    // unfinished. Touches nothing of an idle lock.
    bool forget_other_threads() noexcept;
    // In the child of a fork: the waits-for graph forgets the threads gone.
    static void forget_other_waits() noexcept;

    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
    void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

    // The thread (by its interpreter identity) that runs signal handlers.
    static void set_signal_thread(unsigned long ident) noexcept;

private:
    using Waiter = LockWaiter;
    enum class Wake { Granted, Exiting, Poll };
    static std::uintptr_t self() noexcept { return platform::thread_id(); }
    // The owner word of a lock kept for thread `id`, whose waiter is away.
    static std::uintptr_t kept_for(std::uintptr_t id) noexcept { return id | 1; }

    Outcome take_slow(std::uintptr_t me);
    Wake wait_detached(Waiter& w, bool poll);
    void drop_waiter_detached(Waiter& w) noexcept;
    bool blocks(Waiter& w);                 // joins the waits-for graph; false: it would deadlock
    static void unblocks(Waiter& w) noexcept;
    void enqueue(Waiter* w) noexcept;       // needs queue_
    void release_slow() noexcept;
    void pass_on() noexcept;                // needs queue_; the lock is ours, or kept for us
    bool claim(Waiter* w) noexcept;         // needs queue_
    void leave_queue(Waiter* w) noexcept;   // needs queue_; passes on a lock kept for w's thread
    void unlink(Waiter* w) noexcept;        // needs queue_
    static void grant(Waiter* w) noexcept;  // `w` is unlinked

    std::atomic<std::uintptr_t> owner_{0};  // the holder's thread; 0 when free; odd: kept for a waiter
    std::atomic<Waiter*> head_{nullptr};    // the oldest waiter
    Waiter* tail_ = nullptr;                // guarded by queue_
    std::uint64_t next_ticket_ = 0;         // guarded by queue_
    std::mutex queue_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace tarnik
