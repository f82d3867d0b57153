#include "core/keytable.h"

#include "core/error.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

namespace tarnik {

namespace {

struct Free {
    void operator()(void* p) const noexcept { std::free(p); }
};
using Block = std::unique_ptr<void, Free>;

// Room for `count` items of `size` bytes.
Block allocate(std::size_t count, std::size_t size, bool zeroed = false) {
    if (count > SIZE_MAX / size) throw std::bad_alloc();
    void* p = zeroed ? std::calloc(count, size) : std::malloc(count * size);
    if (!p) throw std::bad_alloc();
    return Block(p);
}

}  // namespace

// Chunks allocated for one growth, freed unless they are taken.
class KeyTable::Chunks {
public:
    Chunks() noexcept = default;
    Chunks(const Chunks&) = delete;
    Chunks& operator=(const Chunks&) = delete;
    ~Chunks() {
        for (std::uint32_t i = taken_; i < count_; ++i) std::free(made_[i]);
    }
    void add(Block b) noexcept { made_[count_++] = static_cast<KeySlot*>(b.release()); }
    KeySlot* take() noexcept { return made_[taken_++]; }

private:
    KeySlot* made_[kMaxChunks];
    std::uint32_t count_ = 0;
    std::uint32_t taken_ = 0;
};

KeyTable::~KeyTable() noexcept(false) {
    if (!first_) return;
    each_slot([](KeySlot& slot) {
        slot.~KeySlot();
        return 0;
    });
    if (index_ != first_block()) std::free(index_);
    for (std::uint32_t c = 1; c < chunks_; ++c) std::free(rest_[c - 1]);
    std::free(rest_);
    std::free(first_block());
}

bool KeyTable::grow(std::size_t n) {
    // Ids never used before that `n` keys need, after the freed slots.
    std::size_t fresh = n > free_count_ ? n - free_count_ : 0;
    if (fresh > kMaxIds - next_id_) return raise_too_large("keys in one container");
    // Every slot is live or free, so `need` is at most kMaxIds as well.
    std::size_t need = live_ + n;
    std::size_t size = index_ ? mask_ + 1 : kFirstIndex;
    while (need * 3 > size * 2) size *= 2;
    std::uint32_t chunks = chunks_;
    while (capacity(chunks) < next_id_ + fresh) ++chunks;

    // Everything is allocated before anything changes.
    Block first, table, index;
    Chunks made;
    if (chunks_ == 0 && chunks > 0)
        first = allocate(1, kFirstIndex * sizeof(std::uint64_t) + kFirst * sizeof(KeySlot));
    if (chunks > 1 && !rest_) table = allocate(kMaxChunks - 1, sizeof(KeySlot*));
    for (std::uint32_t c = chunks_ ? chunks_ : 1; c < chunks; ++c)
        made.add(allocate(chunk_end(c - 1), sizeof(KeySlot)));
    bool fits_first = !index_ && size == kFirstIndex;
    if (size != (index_ ? mask_ + 1 : 0) && !fits_first) index = allocate(size, sizeof(std::uint64_t), true);

    if (first) {
        auto* block = static_cast<std::uint64_t*>(first.release());
        first_ = reinterpret_cast<KeySlot*>(block + kFirstIndex);
        chunks_ = 1;
        if (fits_first) {
            std::memset(block, 0, kFirstIndex * sizeof(std::uint64_t));
            index_ = block;
            mask_ = kFirstIndex - 1;
        }
    }
    if (table) rest_ = static_cast<KeySlot**>(table.release());
    for (; chunks_ < chunks; ++chunks_) rest_[chunks_ - 1] = made.take();
    if (index) {
        std::uint64_t* old = index_;
        std::size_t old_size = old ? mask_ + 1 : 0;
        index_ = static_cast<std::uint64_t*>(index.release());
        mask_ = size - 1;
        for (std::size_t i = 0; i < old_size; ++i) {
            if (old[i]) place(old[i]);
        }
        if (old != first_block()) std::free(old);
    }
    return true;
}

KeySlot* KeyTable::add(PyObject* s, Py_hash_t hash) noexcept {
    std::uint32_t id;
    KeySlot* slot;
    if (free_head_) {
        id = free_head_ - 1;
        slot = slot_at(id);
        free_head_ = slot->uses;
        --free_count_;
    } else {
        id = next_id_++;
        slot = new (slot_at(id)) KeySlot();
    }
    slot->text = Ref::borrow(s);
    slot->uses = 0;
    slot->plan_seq = 0;  // a reused slot forgets its old key's place in a plan
    place(tag_of(hash) << 32 | (std::uint64_t{id} + 1));
    ++live_;
    return slot;
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

void KeyTable::place(std::uint64_t entry) noexcept {
    std::size_t i = static_cast<std::size_t>(entry >> 32) & mask_;
    while (index_[i] != 0) i = (i + 1) & mask_;
    index_[i] = entry;
}

std::size_t KeyTable::position_of(const KeySlot* slot) const noexcept {
    for (std::size_t i = static_cast<std::size_t>(tag_of(str_hash(slot->text.get()))) & mask_;; i = (i + 1) & mask_) {
        if (slot_at(id_of(index_[i])) == slot) return i;
    }
}

// Deletion without tombstones: later entries of the same run move back into
// the hole when their home position allows it.
void KeyTable::erase_at(std::size_t pos) noexcept {
    std::size_t hole = pos;
    for (std::size_t j = (pos + 1) & mask_; index_[j] != 0; j = (j + 1) & mask_) {
        std::size_t home = static_cast<std::size_t>(index_[j] >> 32) & mask_;
        if (((j - home) & mask_) >= ((j - hole) & mask_)) {
            index_[hole] = index_[j];
            hole = j;
        }
    }
    index_[hole] = 0;
}

}  // namespace tarnik
