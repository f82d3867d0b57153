// The keys a container knows, interned: one KeySlot per distinct text.
//
// Slots live in chunks that never move; ids index them. The first chunk holds
// a few slots, and each further chunk as many as all those before it, so a
// small container stays small and a large one allocates a logarithmic number
// of times. A slot is constructed when its id is first handed out, so the
// pages of a large fresh chunk are not touched before they are needed.
//
// The index is an open-addressing table probed linearly: each entry keeps the
// low 32 bits of its key's hash beside the slot id, which is both the probe
// filter and all that growing or deleting needs, so neither reads a key. The
// first index and the first chunk share one allocation.
#pragma once

#include "core/records.h"
#include "core/text.h"
#include "core/trash.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <utility>

namespace tarnik {

class KeyTable {
public:
    KeyTable() noexcept = default;
    KeyTable(KeyTable&& other) noexcept { swap(other); }
    KeyTable(const KeyTable&) = delete;
    KeyTable& operator=(const KeyTable&) = delete;
    ~KeyTable() noexcept(false);

    void swap(KeyTable& other) noexcept {
        std::swap(index_, other.index_);
        std::swap(mask_, other.mask_);
        std::swap(first_, other.first_);
        std::swap(rest_, other.rest_);
        std::swap(chunks_, other.chunks_);
        std::swap(next_id_, other.next_id_);
        std::swap(free_head_, other.free_head_);
        std::swap(free_count_, other.free_count_);
        std::swap(live_, other.live_);
    }

    // The slot of the key with the text of `s` (any str), or null.
    KeySlot* find(PyObject* s, Py_hash_t hash) const noexcept {
        if (!index_) return nullptr;
        std::uint64_t tag = tag_of(hash);
        for (std::size_t i = static_cast<std::size_t>(tag) & mask_;; i = (i + 1) & mask_) {
            std::uint64_t e = index_[i];
            if (e == 0) return nullptr;
            if ((e & kTagMask) != tag << 32) continue;
            KeySlot& slot = at(id_of(e));
            if (same_text(slot.text.get(), s)) return &slot;
        }
    }

    // Whether `slot`, found earlier (or null), is the slot of the key with the
    // text of `s` now. Slots never move while the table lives; one may have
    // been freed or given to another key since.
    static bool still_holds(const KeySlot* slot, PyObject* s) noexcept {
        return slot && slot->text && same_text(slot->text.get(), s);
    }

    // Room for `n` more keys, so that as many intern() calls cannot fail.
    // False with OverflowError set when the table cannot hold that many keys;
    // std::bad_alloc when memory runs out. The table is unchanged on failure.
    bool reserve(std::size_t n) {
        if (index_ && (live_ + n) * 3 <= (mask_ + 1) * 2 && n <= free_count_ + (capacity() - next_id_)) return true;
        return grow(n);
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
        return each_slot([&](KeySlot& slot) { return slot.text ? f(slot) : 0; });
    }

private:
    // The first chunk holds kFirst slots; chunk c >= 1 holds the ids from
    // kFirst << (c - 1) up to twice that.
    static constexpr unsigned kFirstBits = 2;
    static constexpr std::uint32_t kFirst = 1u << kFirstBits;
    static constexpr std::uint32_t kMaxChunks = 32 - kFirstBits + 1;
    // Ids are 32 bits, and the index stores id + 1.
    static constexpr std::size_t kMaxIds = UINT32_MAX;
    // The first index: room for 5 keys at the load factor of 2/3.
    static constexpr std::size_t kFirstIndex = 8;
    static constexpr std::uint64_t kTagMask = ~std::uint64_t{0xffffffffu};

    static std::uint64_t tag_of(Py_hash_t h) noexcept { return static_cast<std::uint32_t>(h); }
    static std::uint32_t id_of(std::uint64_t e) noexcept { return static_cast<std::uint32_t>(e) - 1; }
    // The first id after chunk `c`.
    static std::uint64_t chunk_end(std::uint32_t c) noexcept { return std::uint64_t{kFirst} << c; }
    // Slots in `chunks` chunks, as far as there are ids for them.
    static std::size_t capacity(std::uint32_t chunks) noexcept {
        return chunks ? std::min<std::uint64_t>(chunk_end(chunks - 1), kMaxIds) : 0;
    }
    std::size_t capacity() const noexcept { return capacity(chunks_); }

    KeySlot* slot_at(std::uint32_t id) const noexcept {
        if (id < kFirst) return first_ + id;
        unsigned top = static_cast<unsigned>(std::bit_width(id)) - 1;  // >= kFirstBits
        return rest_[top - kFirstBits] + (id - (std::uint32_t{1} << top));
    }
    KeySlot& at(std::uint32_t id) const noexcept { return *slot_at(id); }

    // Calls `f` on every slot constructed so far, until it returns non-zero.
    template <class F>
    int each_slot(F&& f) const {
        std::uint64_t start = 0;
        for (std::uint32_t c = 0; start < next_id_; start = chunk_end(c++)) {
            KeySlot* chunk = c ? rest_[c - 1] : first_;
            std::uint64_t count = std::min<std::uint64_t>(chunk_end(c), next_id_) - start;
            for (std::uint64_t i = 0; i < count; ++i) {
                if (int r = f(chunk[i])) return r;
            }
        }
        return 0;
    }

    class Chunks;
    bool grow(std::size_t n);
    void place(std::uint64_t entry) noexcept;
    std::size_t position_of(const KeySlot* slot) const noexcept;
    void erase_at(std::size_t pos) noexcept;
    // The allocation that holds the first index and the first chunk.
    std::uint64_t* first_block() const noexcept { return reinterpret_cast<std::uint64_t*>(first_) - kFirstIndex; }

    std::uint64_t* index_ = nullptr;  // mask_ + 1 entries; 0: free; else hash tag << 32 | (id + 1)
    std::size_t mask_ = 0;
    KeySlot* first_ = nullptr;        // the first chunk, after the first index in one allocation
    KeySlot** rest_ = nullptr;        // the other chunks, room for kMaxChunks - 1
    std::uint32_t chunks_ = 0;        // chunks allocated, the first one included
    std::uint32_t next_id_ = 0;       // ids from here on have never been used (their slots not constructed)
    std::uint32_t free_head_ = 0;     // 1 + id of the first freed slot, chained through `uses`
    std::uint32_t free_count_ = 0;
    std::uint32_t live_ = 0;
};

}  // namespace tarnik
