// The container's lock: not re-entrant, with a poisoned flag.
//
// Every state change happens with the interpreter lock held, so the fast path
// needs no atomic read-modify-write. A thread that finds the lock held by
// another thread waits for it with the interpreter lock released, so that
// the holder (whose provider may itself be waiting on that thread) can go
// on. A call from the thread that already holds the lock is refused.
#pragma once

#include <Python.h>
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace tarnik {

class ContainerLock {
public:
    enum class Acquired { Ok, Reentrant };

    Acquired acquire() {
        for (;;) {
            if (!locked_.load(std::memory_order_relaxed)) {
                locked_.store(true, std::memory_order_relaxed);
                owner_ = current_thread();
                return Acquired::Ok;
            }
            if (owner_ == current_thread()) return Acquired::Reentrant;
            wait();
        }
    }

    void release() {
        owner_ = 0;
        if (waiters_.load(std::memory_order_relaxed) == 0) {
            locked_.store(false, std::memory_order_relaxed);
            return;
        }
        {
            std::lock_guard<std::mutex> g(mutex_);
            locked_.store(false, std::memory_order_release);
        }
        cv_.notify_all();
    }

    // Free and not poisoned: an operation that runs no Python code and
    // does not let the interpreter lock go may then read the state without
    // taking the lock, since nothing else can run until it returns.
    bool usable_now() const noexcept { return !locked_.load(std::memory_order_relaxed) && !poisoned_; }

    bool poisoned() const noexcept { return poisoned_; }
    void poison() noexcept { poisoned_ = true; }

private:
    static unsigned long current_thread() noexcept { return static_cast<unsigned long>(pthread_self()); }

    void wait() {
        waiters_.fetch_add(1, std::memory_order_relaxed);
        Py_BEGIN_ALLOW_THREADS
        {
            std::unique_lock<std::mutex> g(mutex_);
            cv_.wait(g, [this] { return !locked_.load(std::memory_order_acquire); });
        }
        Py_END_ALLOW_THREADS
        waiters_.fetch_sub(1, std::memory_order_relaxed);
    }

    std::atomic<bool> locked_{false};
    unsigned long owner_ = 0;  // thread ident of the holder, 0 when free
    std::atomic<int> waiters_{0};
    bool poisoned_ = false;
    std::mutex mutex_;
    std::condition_variable cv_;
};

}  // namespace tarnik
