// The state of one container: its keys with their registrations, and the
// stack of override layers.
//
// The invariant everything else relies on: no change of the state runs
// Python code half-way. A change makes room first (allocations, which may
// fail), then changes the state with nothing that can fail or call Python
// code, and drops references into a Trash that is released after the
// container's lock. So wherever Python code runs (a provider, a finalizer,
// the collector, a signal handler, another stack of this thread), the state
// is consistent. Debug builds check it where others read the state: the
// collector, the lock-free reader and nested calls (see Change).
//
// Who touches the state, and under what:
//
// | part                       | written by                   | read by                                    |
// |----------------------------|------------------------------|--------------------------------------------|
// | keys, entries, layer_start | the lock holder (attached)   | the holder and its nested calls; the       |
// |                            |                              | collector (any time Python code can run);  |
// |                            |                              | the lock-free reader past the gate (below) |
// | a held value (atomic)      | the holder; replacing one    | the holder; the lock-free reader           |
// |                            | closes the gate first        |                                            |
// | in_progress, plan marks    | the holder and nested calls  | the holder and nested calls                |
// | gate                       | readers (their counters);    | the holder, when it closes it              |
// |                            | the holder (closed flag)     |                                            |
//
// With the interpreter lock the collector and the lock-free reader run only
// where Python code can run; without it (free-threaded build) the collector
// stops every other thread at such a point, and the reader passes the gate,
// which a change closes (waiting the readers out) before it touches what
// they follow.
#pragma once

#include "core/gate.h"
#include "core/keytable.h"
#include "core/records.h"

#include <cassert>
#include <cstdint>
#include <vector>

namespace tarnik {

struct ContainerState {
    KeyTable keys;                           // every key, with its base registration
    std::vector<LayerEntry> entries;         // the open layers' entries, bottom layer first
    std::vector<std::uint32_t> layer_start;  // where each open layer begins in `entries`
    ReaderGate gate;
#ifndef NDEBUG
    int changing = 0;  // changes under way (see Change)
#endif
    std::uint16_t plan_seq = 0;  // numbers plan compilations, so that old places need no clearing

    // A number for a new plan compilation. When the numbers wrap around, the
    // places recorded under old numbers are cleared first.
    std::uint16_t next_plan_seq() noexcept {
        if (++plan_seq == 0) {
            keys.for_each([](KeySlot& k) {
                k.plan_seq = 0;
                return 0;
            });
            plan_seq = 1;
        }
        return plan_seq;
    }

    ContainerState() noexcept = default;
    ContainerState(ContainerState&& other) noexcept
        : keys(std::move(other.keys)), entries(std::move(other.entries)), layer_start(std::move(other.layer_start)) {}
    ContainerState(const ContainerState&) = delete;
    ContainerState& operator=(const ContainerState&) = delete;

    // The entry in force for a key: its topmost override, else its
    // registration; null when there is neither.
    Provider* in_force(KeySlot& k) noexcept {
        if (k.top) return &entries[k.top - 1].provider;
        return k.base.registered() ? &k.base : nullptr;
    }
    // The entries for a key from the topmost override down to the
    // registration, to the first one that `pick` accepts.
    template <class Pick>
    Provider* first_entry(KeySlot& k, Pick&& pick) noexcept {
        for (std::uint32_t i = k.top; i; i = entries[i - 1].below) {
            if (pick(entries[i - 1].provider)) return &entries[i - 1].provider;
        }
        return k.base.registered() && pick(k.base) ? &k.base : nullptr;
    }

    // Visits every object the state holds a reference to, for the cyclic
    // garbage collector: callables and held values.
    int traverse(visitproc visit, void* arg);
    // For an operation whose holder is gone (its thread ended, or did not
    // come through a fork) and which can never finish: no key is in progress
    // any more, and readers may pass. What that operation held is left to
    // leak; what it stored stays, as the state is consistent wherever Python
    // code can run.
    void forget_operation() noexcept;

    // Releases every reference: the registrations first, then the layers'
    // entries from the oldest layer to the newest, then the keys. Leaves an
    // empty state.
    void release_all();
};

// Marks a change of the state for as long as it lives. Debug builds check
// that nobody reads the state meanwhile (consistent()), which would mean that
// Python code ran half-way through the change.
class Change {
public:
    explicit Change(ContainerState& st) noexcept : st_(st) {
#ifndef NDEBUG
        ++st_.changing;
#endif
    }
    ~Change() {
#ifndef NDEBUG
        --st_.changing;
#endif
    }
    Change(const Change&) = delete;
    Change& operator=(const Change&) = delete;

    // Whether no change is under way: what readers of the state assert.
    static bool consistent([[maybe_unused]] const ContainerState& st) noexcept {
#ifndef NDEBUG
        return st.changing == 0;
#else
        return true;
#endif
    }

private:
    [[maybe_unused]] ContainerState& st_;  // read by the checks of debug builds only
};

}  // namespace tarnik
