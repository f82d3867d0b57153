#include "keytable.h"

#include <algorithm>

namespace tarnik {

void KeyTable::grow(std::size_t n) {
    std::size_t need = live_ + n;
    if (need * 3 > index_.size() * 2) {
        std::size_t size = index_.empty() ? 16 : index_.size();
        while (need * 3 > size * 2) size *= 2;
        rebuild_index(size);
    }
    if (n <= free_count_) return;
    std::size_t fresh = n - free_count_;
    std::size_t room = chunks_.size() * kChunk - next_id_;
    if (fresh <= room) return;
    std::size_t more = (fresh - room + kChunk - 1) / kChunk;
    if (chunks_.size() + more > (std::size_t{UINT32_MAX} >> kChunkBits)) throw std::bad_alloc();
    if (chunks_.capacity() < chunks_.size() + more)
        chunks_.reserve(std::max(chunks_.size() + more, chunks_.capacity() * 2));
    for (std::size_t i = 0; i < more; ++i) chunks_.emplace_back(new KeySlot[kChunk]);
}

KeySlot* KeyTable::add(PyObject* s, Py_hash_t hash) noexcept {
    std::uint32_t id;
    if (free_head_) {
        id = free_head_ - 1;
        free_head_ = at(id).uses;
        --free_count_;
    } else {
        id = next_id_++;
    }
    KeySlot& slot = at(id);
    slot.text = Ref::borrow(s);
    slot.uses = 0;
    slot.plan_seq = 0;  // a reused slot forgets its old key's place in a plan
    place(tag_of(hash) << 32 | (std::uint64_t{id} + 1));
    ++live_;
    return &slot;
}

void KeyTable::release(KeySlot* slot, Trash& trash) noexcept {
    if (--slot->uses) return;
    // Nothing names the key any more (a registered key never gets here: its
    // registration is one of its uses): its slot is freed for another key.
    std::size_t pos = position_of(slot);
    std::uint32_t id = id_of(index_[pos]);
    erase_at(pos);
    trash.push_reserved(std::move(slot->text));
    slot->uses = free_head_;
    free_head_ = id + 1;
    ++free_count_;
    --live_;
}

void KeyTable::rebuild_index(std::size_t size) {
    std::vector<std::uint64_t> old(size, 0);
    old.swap(index_);
    for (std::uint64_t e : old) {
        if (e) place(e);
    }
}

void KeyTable::place(std::uint64_t entry) noexcept {
    std::size_t mask = index_.size() - 1;
    std::size_t i = static_cast<std::size_t>(entry >> 32) & mask;
    while (index_[i] != 0) i = (i + 1) & mask;
    index_[i] = entry;
}

std::size_t KeyTable::position_of(const KeySlot* slot) const noexcept {
    std::size_t mask = index_.size() - 1;
    for (std::size_t i = static_cast<std::size_t>(tag_of(str_hash(slot->text.get()))) & mask;; i = (i + 1) & mask) {
        if (&at(id_of(index_[i])) == slot) return i;
    }
}

// Deletion without tombstones: later entries of the same run move back into
// the hole when their home position allows it.
void KeyTable::erase_at(std::size_t pos) noexcept {
    std::size_t mask = index_.size() - 1;
    std::size_t hole = pos;
    for (std::size_t j = (pos + 1) & mask; index_[j] != 0; j = (j + 1) & mask) {
        std::size_t home = static_cast<std::size_t>(index_[j] >> 32) & mask;
        if (((j - home) & mask) >= ((j - hole) & mask)) {
            index_[hole] = index_[j];
            hole = j;
        }
    }
    index_[hole] = 0;
}

}  // namespace tarnik
