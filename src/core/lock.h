// The container's lock: who holds a container, who waits for it, and in what
// order. Everything about identities, queues and waiting lives here.
//
// A holder is a thread and a place on one of that thread's stacks of Python
// frames (a thread may run several, with greenlets). Threads are known by a
// number the module hands out (ThreadId), never by the system's thread id,
// which the C library reuses. The place is the holder's StackMark, the top of
// its Python stack when it took the lock: a call of the same thread runs
// nested in the holder's operation exactly when its own stack holds that
// mark (it runs above it, on the same stack).
//
// Every waiter, thread or greenlet, queues in the one queue of the lock,
// first come first served, and a release hands the lock to the oldest waiter
// before it wakes: a releasing caller that asks again queues behind. A thread
// waits detached from the interpreter; a greenlet of the holder's thread, in
// a program whose thread primitives are cooperative (gevent's or eventlet's
// monkey-patching), waits on one of those cooperative locks, so that the hub
// runs the holder meanwhile. A greenlet of the holder's thread in any other
// program cannot wait (its thread would block the holder): it is refused.
//
// Before anyone waits, the waits-for relation is followed from the lock it
// wants: its holder, the lock that holder waits for, that lock's holder, and
// so on; when the chain comes back to the caller's own stack, waiting would
// close a cycle nobody can leave, and the call fails instead.
//
// The thread that runs signal handlers looks for signals every 50 ms while it
// waits, and runs their handlers "away" from its place, which it keeps: a
// release that finds it first keeps the lock for that thread. A call made by
// those handlers takes the lock kept for its thread, or waits behind the
// waiter that is away and is served before everyone else.
//
// A holder whose thread is gone (a greenlet left suspended on a thread that
// ended; every other thread in the child of a fork) can never release. The
// next caller that finds it so takes the lock over, and its turn forgets the
// gone holder's operation (TakenOver).
//
// Shared fields, what guards them, and who relies on them (the process-wide
// ones live in lock.cpp):
//
// | field                      | written by                           | read by                              |
// |----------------------------|--------------------------------------|--------------------------------------|
// | owner_ (atomic)            | the taking caller; a releasing one   | takers (fast path), the deadlock     |
// |                            | under queue_ when it hands over; a   | walk (under graph_mutex)             |
// |                            | caller taking over a gone holder     |                                      |
// | mark_top_, mark_greenlet_  | the holder, after taking; whoever    | calls of the holder's thread (after  |
// | (atomics)                  | hands over, under queue_             | seeing owner_), the deadlock walk    |
// | head_ (atomic)             | under queue_                         | fast paths (no waiter)               |
// | tail_; a waiter's next,    | under queue_                         | under queue_                         |
// | away, generation           |                                      |                                      |
// | a waiter's granted         | under its m (and queue_, but for the | the waiter, under its m              |
// |                            | forced unwind at exit)               |                                      |
// | taken_over_                | under queue_, before handing over    | the next holder, once it holds       |
// | poisoned_ (atomic)         | the holder, attached                 | every method, the lock-free reader   |
// | blocked_head, blocked_count| under graph_mutex                    | the deadlock walk, under graph_mutex |
// | a waiter's next_blocked,   |                                      |                                      |
// | blocked                    |                                      |                                      |
// | live_head, Registration    | under live_mutex (a thread's first   | gone(), under live_mutex             |
// | links                      | lock; its end)                       |                                      |
// | next_thread_id (atomic)    | a thread's first lock                | the same                             |
// | fork_generation, forker    | the fork child handler, alone        | enqueue and pass_on, under queue_    |
// | (atomics)                  |                                      |                                      |
// | signal_thread (atomic)     | module init; the fork child handler  | waiters, to know whether to poll     |
// | this_thread.id, .holds     | its own thread (core/this_thread.h)  | its own thread                       |
// | held_ranks (TLS, debug)    | its own thread                       | its own thread                       |
//
// Lock order: queue_ before a waiter's m; graph_mutex and live_mutex are
// taken alone (never with another of the module's mutexes held, and nothing
// is taken under them). Debug builds check it (LockOrder in lock.cpp).
//
// With the interpreter lock every taking and releasing caller holds it too,
// so the uncontended paths need no atomic read-modify-write there. The one
// exception is a thread that the interpreter ends at exit while it takes the
// interpreter back after waiting: under queue_, it hands the lock on if it
// was given it, or else leaves the queue.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#include <frameobject.h>
#endif

#include "core/ref.h"
#include "core/this_thread.h"
#include "platform/compiler.h"
#include "platform/platform.h"

#include <atomic>
#include <cstdint>

namespace tarnik {

// ---- Threads -------------------------------------------------------------

// A thread, by a number taken when it first takes a container's lock: never
// 0, even (an owner word uses the low bit), never reused while the process
// lives.
using ThreadId = std::uint64_t;

// Gives the calling thread its id and enters it in the list of live threads.
ThreadId register_this_thread() noexcept;

inline ThreadId this_thread_id() noexcept {
    ThreadId id = this_thread.id;
    if (id == 0) [[unlikely]]
        id = register_this_thread();
    return id;
}

// ---- Places on Python stacks -------------------------------------------------

// The top of the calling thread's Python stack: on 3.11 and later the
// data stack's top, before that the frame; null where the stack never had a
// frame (a stack begun from C, as gevent begins its greenlets).
inline const void* python_top() noexcept {
    PyThreadState* ts = thread_state();
#if PY_VERSION_HEX >= 0x030B0000
    return ts->datastack_top;
#else
    return ts->frame;
#endif
}

// Where an operation began on its thread's Python stacks. With no frame under
// it, the greenlet it runs in stands for the place, or, where no greenlet was
// ever made, the thread's first stack. A greenlet cannot be freed while an
// operation on it holds a lock: freeing a suspended greenlet first ends what
// runs on it (the operation lets go), and one that cannot be ended (its
// thread is gone) is never freed.
struct StackMark {
    const void* top = nullptr;
    const void* greenlet = nullptr;
    static const void* main_stack() noexcept { return &kMainStack; }
    bool empty() const noexcept { return !top && !greenlet; }

private:
    static const char kMainStack;
};

// A stack's extent: what its top was at one moment (the current one, or when
// a waiter began to wait; a waiting stack does not change). Tells which marks
// lie on that stack, below its top.
struct StackExtent {
    const void* top = nullptr;
    const void* chunk = nullptr;  // 3.11 and later: the newest data-stack chunk
    Ref greenlet;                 // filled by with_greenlet(), where greenlets are in use
    bool main = true;             // the thread's first stack (its main greenlet)
    bool knows_greenlet = false;

    // The calling code's stack now. Runs no Python code.
    static StackExtent here() noexcept;
    // Notes the greenlet running now; false with the exception set.
    bool with_greenlet();
    // Whether `mark` lies on this stack, below its top. A mark without a
    // frame needs with_greenlet() first.
    bool holds(const StackMark& mark) const noexcept;
};

// ---- The lock ------------------------------------------------------------------

struct LockWaiter;  // lock.cpp

class ContainerLock {
public:
    enum class Outcome {
        Taken,      // the caller holds the lock
        TakenOver,  // the same, from a holder that is gone: its operation is abandoned
        Nested,     // the caller's own stack holds it already, further down
        Failed,     // refused, or waiting failed; the exception is set
    };

    ContainerLock() noexcept = default;
    ContainerLock(const ContainerLock&) = delete;
    ContainerLock& operator=(const ContainerLock&) = delete;

    // Takes the lock for the calling stack, waiting for it if another holds
    // it. Called attached; a thread waits detached. With `marked` false the
    // caller runs no Python code while it holds the lock (a change), so that
    // no call can come to look for its place, and none is noted.
    Outcome take(bool marked) {
        ThreadId me = this_thread_id();
        const void* top = marked ? python_top() : nullptr;
        if (marked && !top) [[unlikely]]
            return take_without_frame(me);
        if (take_free(me)) {
            if (marked) mark_top_.store(top, std::memory_order_relaxed);
            ++this_thread.holds;
            return Outcome::Taken;
        }
        return take_slow(me, StackMark{top, nullptr});
    }
    // Takes the lock only if it is free and nobody waits (no mark: the
    // caller runs no Python code while it holds it).
    bool try_take() noexcept;

    // Hands the lock to the oldest waiter, or frees it. Returns the
    // cooperative lock of a greenlet that was given it, to be woken by
    // wake() once the caller has let go of everything else. Attached.
    // (With the interpreter lock a freed lock keeps its holder's mark: a
    // holder's own thread reads it only while it holds the lock, which sets a
    // new mark, and the deadlock walk runs attached.)
    Ref release() noexcept {
        --this_thread.holds;
#ifndef Py_GIL_DISABLED
        if (head_.load(std::memory_order_relaxed) == nullptr) {
            owner_.store(Owner::kFree, std::memory_order_release);
            return Ref();
        }
#endif
        return release_slow();
    }
    // The same from a thread that the interpreter is ending at exit (no
    // thread state): a greenlet given the lock finds out when it polls.
    void release_detached() noexcept;
    // Wakes a greenlet that release() gave the lock to. False with the
    // exception set when its cooperative lock raised something that must go
    // on (KeyboardInterrupt, SystemExit); an ordinary failure is dropped, as
    // the greenlet finds out when it polls.
    static bool wake(Ref sleeper);

    bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }
    void poison() noexcept { poisoned_.store(true, std::memory_order_release); }

    // Notes the main thread as the one that runs signal handlers (it runs
    // them while it waits), and registers, once per process, what the child
    // of a fork does: it knows the other threads gone. False with the
    // exception set.
    static bool watch_process();

private:
    friend struct LockWaiter;
    // The meanings of an owner word.
    struct Owner {
        static constexpr std::uint64_t kFree = 0;
        static std::uint64_t held_by(ThreadId t) noexcept { return t; }
        // Kept for thread `t`, whose waiter is away running signal handlers.
        static std::uint64_t kept_for(ThreadId t) noexcept { return t | 1; }
        static bool kept(std::uint64_t word) noexcept { return (word & 1) != 0; }
        static ThreadId thread(std::uint64_t word) noexcept { return word & ~std::uint64_t{1}; }
    };
    enum class Wake { Granted, Exiting, Poll };

    // Takes a free lock that nobody waits for.
    bool take_free(ThreadId me) noexcept {
#ifdef Py_GIL_DISABLED
        std::uint64_t free = Owner::kFree;
        return head_.load(std::memory_order_acquire) == nullptr &&
               owner_.compare_exchange_strong(free, Owner::held_by(me), std::memory_order_acquire);
#else
        // Every other caller holds the interpreter lock as well, and a free
        // lock has no waiters (a lock kept for a waiter that is away is not
        // free).
        if (owner_.load(std::memory_order_relaxed) != Owner::kFree) return false;
        owner_.store(Owner::held_by(me), std::memory_order_relaxed);
        return true;
#endif
    }
    Outcome take_without_frame(ThreadId me);
    Outcome take_slow(ThreadId me, StackMark mark);
    Outcome took(StackMark mark, bool over) noexcept;
    Outcome wait_as_thread(ThreadId me, const StackMark& mark, StackExtent here);
    Outcome wait_as_greenlet(ThreadId me, const StackMark& mark, StackExtent here);
    Wake sleep_detached(LockWaiter& w, bool poll);
    void drop_waiter_detached(LockWaiter& w) noexcept;
    bool blocks(LockWaiter& w);  // joins the waits-for graph; false: it would deadlock
    static void unblocks(LockWaiter& w) noexcept;
    StackMark mark() const noexcept {
        return StackMark{mark_top_.load(std::memory_order_relaxed), mark_greenlet_.load(std::memory_order_relaxed)};
    }
    bool take_over_gone(LockWaiter& w);
    void enqueue(LockWaiter* w) noexcept;        // needs queue_
    Ref release_slow() noexcept;
    LockWaiter* pass_on() noexcept;              // needs queue_; the lock is ours, kept for us, or gone
    bool claim(LockWaiter* w) noexcept;          // needs queue_
    LockWaiter* leave_queue(LockWaiter* w) noexcept;  // needs queue_; passes on a lock kept for w's thread
    static void wake_keeping_error(Ref sleeper);
    void unlink(LockWaiter* w) noexcept;         // needs queue_
    static Ref grant(LockWaiter* w) noexcept;    // `w` is unlinked

    std::atomic<std::uint64_t> owner_{Owner::kFree};
    std::atomic<const void*> mark_top_{nullptr};  // the holder's StackMark
    std::atomic<const void*> mark_greenlet_{nullptr};
    std::atomic<LockWaiter*> head_{nullptr};      // the oldest waiter
    LockWaiter* tail_ = nullptr;
    bool taken_over_ = false;
    platform::Mutex queue_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace tarnik
