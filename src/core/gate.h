// The gate that readers without the lock pass on a free-threaded build.
//
// There the held-singleton fast path of `resolve` reads the state without
// taking the container's lock, so that threads resolving held singletons
// scale. Readers announce themselves in a counter and read only while the
// gate is open. The lock holder closes the gate, and waits until no reader
// is inside, before it changes anything such a reader follows (maps,
// entries, a value it releases); filling an empty value slot needs no
// closing. The lock holder opens the gate again when it releases the lock.
// With the interpreter lock, readers and changes never interleave and the
// gate is empty.
//
// A gate starts with one counter of its own. The first reader that finds
// another one inside spreads the readers out: from then on they use a few
// counters, each on its own cache line, picked by thread, so that threads
// reading at once do not contend for one line. A container that one thread
// at a time reads never pays for them.
#pragma once

#include <Python.h>

#ifdef Py_GIL_DISABLED
#include "platform/platform.h"

#include <atomic>
#include <cstdint>
#include <new>
#endif

namespace tarnik {

#ifdef Py_GIL_DISABLED

class ReaderGate {
public:
    using Pass = std::atomic<long>*;

    ReaderGate() noexcept = default;
    ReaderGate(const ReaderGate&) = delete;
    ReaderGate& operator=(const ReaderGate&) = delete;
    ~ReaderGate() { delete[] spread_.load(std::memory_order_relaxed); }

    // A pass to read, or null when the gate is closed.
    Pass enter() noexcept {
        Counter* spread = spread_.load(std::memory_order_seq_cst);
        Pass p = spread ? &spread[slot_of_this_thread()].readers : &first_;
        long inside = p->fetch_add(1, std::memory_order_seq_cst);
        if (!closed_.load(std::memory_order_seq_cst)) {
            if (inside != 0 && !spread) spread_out();
            return p;
        }
        p->fetch_sub(1, std::memory_order_release);
        return nullptr;
    }
    static void leave(Pass p) noexcept { p->fetch_sub(1, std::memory_order_release); }

    void close() noexcept {
        if (closed_.load(std::memory_order_relaxed)) return;
        closed_.store(true, std::memory_order_seq_cst);
        // A reader that found the counters spread out after this looked finds
        // the gate closed.
        wait_out(first_);
        if (Counter* spread = spread_.load(std::memory_order_seq_cst)) {
            for (unsigned i = 0; i < kCounters; ++i) wait_out(spread[i].readers);
        }
    }
    void open() noexcept {
        if (closed_.load(std::memory_order_relaxed)) closed_.store(false, std::memory_order_release);
    }
private:
    static constexpr unsigned kCounters = 16;
    static inline thread_local char slot_seed = 0;
    static unsigned slot_of_this_thread() noexcept {
        // A thread-local variable's address differs between live threads.
        auto id = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&slot_seed));
        return static_cast<unsigned>((id * 0x9E3779B97F4A7C15ull) >> 60) % kCounters;
    }
    // Counters a cache line apart never share one.
    struct alignas(64) Counter {
        std::atomic<long> readers{0};
    };
    static void wait_out(std::atomic<long>& readers) noexcept {
        for (unsigned spins = 0; readers.load(std::memory_order_seq_cst) != 0; ++spins) {
            if (spins > 64) platform::yield();  // a reader lost its CPU inside
        }
    }
    // Without memory for them, the readers keep sharing one counter.
    void spread_out() noexcept {
        Counter* made = new (std::nothrow) Counter[kCounters];
        Counter* none = nullptr;
        if (made && !spread_.compare_exchange_strong(none, made, std::memory_order_seq_cst)) delete[] made;
    }

    std::atomic<long> first_{0};
    std::atomic<Counter*> spread_{nullptr};
    std::atomic<bool> closed_{false};
};

#else

class ReaderGate {
public:
    void close() noexcept {}
    void open() noexcept {}
};

#endif

}  // namespace tarnik
