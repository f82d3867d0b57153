// The state of one container: its keys with their registrations, and the
// stack of override layers.
#pragma once

#include "gate.h"
#include "keytable.h"
#include "records.h"

#include <cstdint>
#include <vector>

namespace tarnik {

struct ContainerState {
    KeyTable keys;                           // every key, with its base registration
    std::vector<LayerEntry> entries;         // the open layers' entries, bottom layer first
    std::vector<std::uint32_t> layer_start;  // where each open layer begins in `entries`
    ReaderGate gate;
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
    // In the child of a fork, for an operation that a thread which did not
    // survive the fork left unfinished: no key is in progress any more, and
    // readers may pass. What that operation held is left to leak; what it
    // stored stays, as the state is consistent wherever Python code can run.
    // (The gate's readers are forgotten apart, for every container.)
    void forget_operation() noexcept;

    // Releases every reference: the registrations first, then the layers'
    // entries from the oldest layer to the newest, then the keys. Leaves an
    // empty state.
    void release_all();
};

}  // namespace tarnik
