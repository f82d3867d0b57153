// The records of a container: interned keys, provider entries and the
// entries of override layers.
//
// Every key a container knows (registered, overridden, or named as a
// dependency) is interned once, in a KeySlot, and everything else refers to
// the slot: a dependency is a pointer to its key's slot, so a walk goes from
// entry to entry without hashing or comparing text. A slot also carries the
// key's base registration and the head of its chain of override entries.
#pragma once

#include "core/error.h"
#include "core/ref.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

namespace tarnik {

struct KeySlot;

// One registration: the base registration of a key, or one override layer's
// entry for it.
struct Provider {
    Ref callable;  // null: no registration
    HeldValue cached;
    std::uint32_t ndeps = 0;
    bool singleton = false;
    bool is_async = false;

    Provider() noexcept { deps_.inline_[0] = deps_.inline_[1] = nullptr; }
    Provider(const Provider&) = delete;
    Provider& operator=(const Provider&) = delete;
    Provider(Provider&& other) noexcept
        : callable(std::move(other.callable)),
          cached(std::move(other.cached)),
          ndeps(other.ndeps),
          singleton(other.singleton),
          is_async(other.is_async) {
        std::memcpy(&deps_, &other.deps_, sizeof(deps_));
        other.ndeps = 0;
    }
    ~Provider() noexcept(false) { free_deps(); }

    bool registered() const noexcept { return bool(callable); }
    // A singleton whose value is held: resolution returns it without a call.
    bool serves_held_value() const noexcept { return singleton && cached.get() != nullptr; }

    // The dependency keys, in `dep_keys` order: inline up to two.
    KeySlot* const* deps() const noexcept { return ndeps <= 2 ? deps_.inline_ : deps_.heap; }
    KeySlot** deps() noexcept { return ndeps <= 2 ? deps_.inline_ : deps_.heap; }

    // Room for `n` dependency keys; made before the container is locked.
    // False with OverflowError for a list longer than an entry can hold.
    bool allocate_deps(std::size_t n) {
        if (n > UINT32_MAX || n > SIZE_MAX / sizeof(KeySlot*)) return raise_too_large("dependency keys for one provider");
        if (n > 2) {
            void* mem = std::malloc(n * sizeof(KeySlot*));
            if (!mem) throw std::bad_alloc();
            deps_.heap = static_cast<KeySlot**>(mem);
        }
        ndeps = static_cast<std::uint32_t>(n);
        return true;
    }
    // Moves `other` into this entry, which is empty (new, or dropped).
    void take(Provider& other) noexcept {
        callable.swap(other.callable);
        // This entry holds no value; a new one (the usual case) holds none either.
        if (other.cached) cached.exchange(other.cached.take()).release();
        std::memcpy(&deps_, &other.deps_, sizeof(deps_));
        ndeps = other.ndeps;
        singleton = other.singleton;
        is_async = other.is_async;
        other.ndeps = 0;
    }

    // Frees the dependency list; the caller has given up the keys' uses.
    void free_deps() noexcept {
        if (ndeps > 2) std::free(deps_.heap);
        ndeps = 0;
        deps_.inline_[0] = deps_.inline_[1] = nullptr;
    }

private:
    union {
        KeySlot* inline_[2];
        KeySlot** heap;
    } deps_;
};

// Keys as a method received them: the str objects, held for the call.
using KeyList = RefStack<16>;

// One interned key. Slots do not move while they are in use; a slot whose
// key no entry and no dependency list names any more is freed for reuse.
struct KeySlot {
    Ref text;                     // the key, an exact str; null when free
    Provider base;                // the key's registration, if registered()
    std::uint32_t top = 0;         // 1 + index of its topmost override entry; 0: none
    std::uint32_t uses = 0;        // entries and dependency lists that name it
    std::uint32_t plan_place = 0;  // its place in the order of the plan numbered plan_seq
    std::uint16_t plan_seq = 0;    // the compilation that placed it last
    bool in_progress = false;      // on the path of a resolution or compilation now

    KeySlot() noexcept = default;
    KeySlot(const KeySlot&) = delete;
    KeySlot& operator=(const KeySlot&) = delete;
};

// Marks a key as being resolved for as long as it lives: its provider (or
// the walk to it) is under way, so reaching the key again is a cycle.
class InProgress {
public:
    explicit InProgress(KeySlot& k) noexcept : k_(k) { k.in_progress = true; }
    ~InProgress() { k_.in_progress = false; }
    InProgress(const InProgress&) = delete;
    InProgress& operator=(const InProgress&) = delete;

private:
    KeySlot& k_;
};

// An override: one layer's entry for a key. The layers' entries lie in one
// array, bottom layer first; the entries for one key are chained from the
// topmost down through `below`.
struct LayerEntry {
    KeySlot* key;
    std::uint32_t below;  // 1 + index of the next lower entry for the key; 0: none
    Provider provider;

    LayerEntry(KeySlot* k, std::uint32_t b, Provider&& p) noexcept : key(k), below(b), provider(std::move(p)) {}
    LayerEntry(LayerEntry&&) noexcept = default;
};

}  // namespace tarnik
