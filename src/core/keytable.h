// The keys a container knows, interned: one KeySlot per distinct text.
//
// Slots live in fixed chunks, so a slot never moves; ids index them. The
// index is an open-addressing table probed linearly: each entry keeps the
// low 32 bits of its key's hash beside the slot id, which is both the probe
// filter and all that growing or deleting needs, so neither reads a key.
#pragma once

#include "records.h"
#include "text.h"
#include "trash.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace tarnik {

class KeyTable {
public:
    KeyTable() noexcept = default;
    KeyTable(KeyTable&& other) noexcept { swap(other); }
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;

    void swap(KeyTable& other) noexcept {
        index_.swap(other.index_);
        chunks_.swap(other.chunks_);
        std::swap(next_id_, other.next_id_);
        std::swap(free_head_, other.free_head_);
        std::swap(free_count_, other.free_count_);
        std::swap(live_, other.live_);
    }

    // The slot of the key with the text of `s` (any str), or null.
    KeySlot* find(PyObject* s, Py_hash_t hash) const noexcept {
        if (index_.empty()) return nullptr;
        std::size_t mask = index_.size() - 1;
        std::uint64_t tag = tag_of(hash);
        for (std::size_t i = static_cast<std::size_t>(tag) & mask;; i = (i + 1) & mask) {
            std::uint64_t e = index_[i];
            if (e == 0) return nullptr;
            if ((e & kTagMask) != tag << 32) continue;
            KeySlot& slot = at(id_of(e));
            if (same_text(slot.text.get(), s)) return &slot;
        }
    }

    // Room for `n` more keys, so that as many intern() calls cannot fail.
    void reserve(std::size_t n) {
        if ((live_ + n) * 3 > index_.size() * 2 || n > free_count_ + (chunks_.size() << kChunkBits) - next_id_)
            grow(n);
    }
    // The slot for `s` (an exact str), added with no uses if it is new.
    // Needs room made by reserve().
    KeySlot* intern(PyObject* s, Py_hash_t hash) noexcept {
        if (KeySlot* found = find(s, hash)) return found;
        return add(s, hash);
    }
    // Adds `s`, which is not in the table yet. Needs room made by reserve().
    KeySlot* add(PyObject* s, Py_hash_t hash) noexcept;
    // Gives up one use of `slot`; with its last use the key leaves the table
    // and its text goes to `trash`, which needs room for it.
    void release(KeySlot* slot, Trash& trash) noexcept;

    // Calls `f` on every key in the table until it returns non-zero, and
    // returns that.
    template <class F>
    int for_each(F&& f) {
        for (std::uint32_t id = 0; id < next_id_; ++id) {
            KeySlot& slot = at(id);
            if (!slot.text) continue;
            if (int r = f(slot)) return r;
        }
        return 0;
    }

private:
    static constexpr unsigned kChunkBits = 10;
    static constexpr std::uint32_t kChunk = 1u << kChunkBits;
    static constexpr std::uint64_t kTagMask = ~std::uint64_t{0xffffffffu};

    static std::uint64_t tag_of(Py_hash_t h) noexcept { return static_cast<std::uint32_t>(h); }
    static std::uint32_t id_of(std::uint64_t e) noexcept { return static_cast<std::uint32_t>(e) - 1; }
    KeySlot& at(std::uint32_t id) const noexcept { return chunks_[id >> kChunkBits][id & (kChunk - 1)]; }

    void grow(std::size_t n);
    void rebuild_index(std::size_t size);
    void place(std::uint64_t entry) noexcept;
    std::size_t position_of(const KeySlot* slot) const noexcept;
    void erase_at(std::size_t pos) noexcept;

    std::vector<std::uint64_t> index_;  // 0: free; else hash tag << 32 | (id + 1)
    std::vector<std::unique_ptr<KeySlot[]>> chunks_;
    std::uint32_t next_id_ = 0;    // ids from here on have never been used
    std::uint32_t free_head_ = 0;  // 1 + id of the first freed slot, chained through `uses`
    std::uint32_t free_count_ = 0;
    std::size_t live_ = 0;
};

}  // namespace tarnik
