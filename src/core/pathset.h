// The set of keys on a depth-first path, for deep paths.
//
// Open addressing with linear probing. Keys leave in the reverse order of
// their arrival (a path is a stack), so a removal simply empties its slot:
// no key that is still present was placed past a slot that was empty at
// the time, so no probe sequence runs through the emptied slot.
#pragma once

#include "key.h"

#include <vector>

namespace tarnik {

class PathSet {
public:
    bool contains(KeyView key) const noexcept { return find(key) != kNone; }

    bool has_room() const noexcept { return (size_ + 1) * 2 <= slots_.size(); }

    // Adds `key`; needs has_room().
    void insert(KeyView key) noexcept {
        place(key);
        ++size_;
    }

    // Refills the set, with room to grow, from the keys present, oldest
    // first: keys placed in their order of arrival keep removals in reverse
    // order sound.
    template <class It, class KeyOf>
    void rebuild(It first, It last, KeyOf key_of) {
        std::size_t count = static_cast<std::size_t>(last - first);
        std::size_t cap = 64;
        while (cap < 2 * (count + 1)) cap *= 2;  // doubles as the path grows
        slots_.assign(cap, Slot{});
        for (It it = first; it != last; ++it) place(key_of(*it));
        size_ = count;
    }

    // Removes `key`, which must be the newest key present.
    void erase_newest(KeyView key) noexcept {
        std::size_t at = find(key);
        if (at == kNone) return;
        slots_[at].used = false;
        --size_;
    }

private:
    struct Slot {
        KeyView key;
        bool used = false;
    };
    static constexpr std::size_t kNone = static_cast<std::size_t>(-1);

    std::size_t find(KeyView key) const noexcept {
        if (slots_.empty()) return kNone;
        std::size_t mask = slots_.size() - 1;
        for (std::size_t i = static_cast<std::size_t>(key.hash) & mask;; i = (i + 1) & mask) {
            if (!slots_[i].used) return kNone;
            if (slots_[i].key == key) return i;
        }
    }

    void place(KeyView key) noexcept {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(key.hash) & mask;
        while (slots_[i].used) i = (i + 1) & mask;
        slots_[i] = Slot{key, true};
    }

    std::vector<Slot> slots_;
    std::size_t size_ = 0;
};

}  // namespace tarnik
