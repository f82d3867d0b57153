// The container's lock: fair, not re-entrant, with a poisoned flag.
//
// A thread that finds the lock held waits for it detached from the
// interpreter (without the interpreter lock), in a queue: a released lock
// with waiters goes straight to the oldest one, so a thread that releases
// and at once asks again queues behind them. The owner is recorded, so that
// a call from the thread that holds the lock is recognised. The thread that
// runs signal handlers looks for signals now and then while it waits, and
// runs their handlers out of the queue, keeping its place in it.
//
// The lock's fields are atomics; with the interpreter lock every taking and
// releasing thread holds it too, so the uncontended paths need no atomic
// read-modify-write there. The one exception is a thread that the
// interpreter ends at exit while it takes the interpreter lock back after
// waiting: under the queue's mutex, it hands the container's lock on if it
// was given it, or else leaves the queue.
#pragma once

#include <Python.h>

#include "platform/platform.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tarnik {

class ContainerLock {
public:
    enum class Outcome {
        Taken,
        TakenAfterWaiting,
        HeldByThisThread,
        Abandoned,    // the interpreter is exiting while another thread holds it
        Interrupted,  // a signal handler raised while this thread waited (set)
    };

    // Takes the lock, waiting for it if another thread holds it. Called with
    // the interpreter attached; waits detached.
    Outcome take() {
        std::uintptr_t me = self();
        std::uintptr_t owner = owner_.load(std::memory_order_acquire);
#ifdef Py_GIL_DISABLED
        if (owner == 0 && head_.load(std::memory_order_acquire) == nullptr &&
            owner_.compare_exchange_strong(owner, me, std::memory_order_acquire))
            return Outcome::Taken;
#else
        // Every other thread that takes the lock holds the interpreter lock
        // as well, and a free lock has no waiters.
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
    // unfinished.
    bool forget_other_threads() noexcept;

    bool held_by_this_thread() const noexcept { return owner_.load(std::memory_order_relaxed) == self(); }
    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
    void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

    // The thread (by its interpreter identity) that runs signal handlers.
    static void set_signal_thread(unsigned long ident) noexcept;

private:
    struct Waiter;
    enum class Wake { Granted, Exiting, Poll };
    static std::uintptr_t self() noexcept { return platform::thread_id(); }
    Outcome take_slow(std::uintptr_t me);
    Wake wait_detached(Waiter& w, bool poll);
    void drop_waiter_detached(Waiter& w) noexcept;
    void enqueue(Waiter* w) noexcept;             // needs queue_
    void release_slow() noexcept;
    bool claim_free(std::uintptr_t me) noexcept;  // needs queue_
    void unlink(Waiter* w) noexcept;              // needs queue_
    void hand_to(Waiter* w) noexcept;             // needs queue_; `w` is the head

    std::atomic<std::uintptr_t> owner_{0};  // the holder's thread, 0 when free
    std::atomic<Waiter*> head_{nullptr};    // the oldest waiter
    Waiter* tail_ = nullptr;                // guarded by queue_
    std::uint64_t next_ticket_ = 0;         // guarded by queue_
    std::mutex queue_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace tarnik
