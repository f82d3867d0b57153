// The gate that readers without the lock pass on a free-threaded build.
//
// There the held-singleton fast path of `resolve` reads the state without
// taking the container's lock, so that threads resolving held singletons
// scale. Readers announce themselves in one of a few counters (each on its
// own cache line, picked by thread) and read only while the gate is open.
// The lock holder closes the gate, and waits until no reader is inside,
// before it changes anything such a reader follows (maps, entries, a value
// it releases); filling an empty value slot needs no closing. The lock
// holder opens the gate again when it releases the lock. With the
// interpreter lock, readers and changes never interleave and the gate is
// empty.
#pragma once

#include <Python.h>

#ifdef Py_GIL_DISABLED
#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <thread>
#endif

namespace tarnik {

#ifdef Py_GIL_DISABLED

class ReaderGate {
public:
    using Pass = std::atomic<long>*;

    // A pass to read, or null when the gate is closed.
    Pass enter() noexcept {
        Pass p = &counters_[slot_of_this_thread()].readers;
        p->fetch_add(1, std::memory_order_seq_cst);
        if (!closed_.load(std::memory_order_seq_cst)) return p;
        p->fetch_sub(1, std::memory_order_release);
        return nullptr;
    }
    static void leave(Pass p) noexcept { p->fetch_sub(1, std::memory_order_release); }

    void close() noexcept {
        if (closed_.load(std::memory_order_relaxed)) return;
        closed_.store(true, std::memory_order_seq_cst);
        for (Counter& c : counters_) {
            for (unsigned spins = 0; c.readers.load(std::memory_order_seq_cst) != 0; ++spins) {
                if (spins > 64) std::this_thread::yield();  // a reader lost its CPU inside
            }
        }
    }
    void open() noexcept {
        if (closed_.load(std::memory_order_relaxed)) closed_.store(false, std::memory_order_release);
    }
    // In the child of a fork: no reader survives it.
    void forget_readers() noexcept {
        for (Counter& c : counters_) {
            if (c.readers.load(std::memory_order_relaxed) != 0) c.readers.store(0, std::memory_order_relaxed);
        }
    }

private:
    static constexpr unsigned kCounters = 16;
    static unsigned slot_of_this_thread() noexcept {
        auto id = static_cast<std::uint64_t>(platform::thread_id());
        return static_cast<unsigned>((id * 0x9E3779B97F4A7C15ull) >> 60) % kCounters;
    }
    // Padded to a cache line: counters 64 bytes apart never share one.
    struct Counter {
        std::atomic<long> readers{0};
        char pad[64 - sizeof(std::atomic<long>)];
    };
    char lead_[64];  // keeps the counters off the cache line of what comes before
    Counter counters_[kCounters];
    std::atomic<bool> closed_{false};
    char pad_[64 - sizeof(std::atomic<bool>)];
};

#else

class ReaderGate {
public:
    void close() noexcept {}
    void open() noexcept {}
    void forget_readers() noexcept {}
};

#endif

}  // namespace tarnik
