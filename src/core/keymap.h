// A hash map from key to value with open addressing.
//
// Entries live in a dense vector in insertion order; a power-of-two table of
// entry indices is probed linearly. Each slot also keeps the high bits of its
// key's hash, so that a probe touches an entry only when those bits match. Maps here only grow (a layer is dropped
// whole), so there is no erase. Lookups take a KeyView and never copy text.
#pragma once

#include "key.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

namespace tarnik {

inline KeyView view_of(const Key& k) noexcept { return k.view(); }
inline KeyView view_of(const KeyView& k) noexcept { return k; }

template <class K, class V>
class KeyMap {
public:
    struct Entry {
        K key;
        V value;
    };

    KeyMap() = default;
    KeyMap(KeyMap&&) noexcept = default;
    KeyMap& operator=(KeyMap&&) noexcept = default;
    KeyMap(const KeyMap&) = delete;
    KeyMap& operator=(const KeyMap&) = delete;
    ~KeyMap() { clear(); }

    bool empty() const noexcept { return entries_.empty(); }
    std::size_t size() const noexcept { return entries_.size(); }

    V* find(KeyView k) noexcept {
        if (entries_.empty()) return nullptr;
        std::size_t mask = slots_.size() - 1;
        std::uint64_t tag = tag_of(k.hash);
        for (std::size_t i = static_cast<std::size_t>(k.hash) & mask;; i = (i + 1) & mask) {
            std::uint64_t s = slots_[i];
            if (s == 0) return nullptr;
            if ((s & kTagMask) != tag) continue;
            Entry& e = entries_[(s & kIndexMask) - 1];
            if (view_of(e.key) == k) return &e.value;
        }
    }

    // Returns the value stored under `key`, inserting `make()` if there is none.
    // The flag tells whether the entry is new.
    template <class Make>
    std::pair<V*, bool> find_or_insert(const K& key, Make&& make) {
        KeyView k = view_of(key);
        if (V* v = find(k)) return {v, false};
        reserve_one();
        entries_.push_back(Entry{key, make()});
        place(k.hash, static_cast<std::uint32_t>(entries_.size()));
        return {&entries_.back().value, true};
    }

    // Stores `value` under `key`. A value that was stored there before is
    // moved out into `replaced` so that the caller decides when it goes.
    void insert_or_replace(K&& key, V&& value, std::optional<V>& replaced) {
        if (V* v = find(view_of(key))) {
            replaced.emplace(std::move(*v));
            *v = std::move(value);
            return;
        }
        reserve_one();
        KeyView k = view_of(key);
        Py_hash_t h = k.hash;
        entries_.push_back(Entry{std::move(key), std::move(value)});
        place(h, static_cast<std::uint32_t>(entries_.size()));
    }

    // Drops every entry, in insertion order.
    void clear() noexcept {
        for (Entry& e : entries_) {
            V gone = std::move(e.value);
            (void)gone;
        }
        entries_.clear();
        slots_.clear();
    }

    std::vector<Entry>& entries() noexcept { return entries_; }

private:
    void reserve_one() {
        std::size_t n = entries_.size() + 1;
        if (n * 3 > slots_.size() * 2) rehash(slots_.empty() ? 8 : slots_.size() * 2);
        if (entries_.size() == entries_.capacity()) entries_.reserve(entries_.empty() ? 4 : entries_.size() * 2);
    }

    static constexpr std::uint64_t kIndexMask = 0xffffffffu;
    static constexpr std::uint64_t kTagMask = ~kIndexMask;
    static std::uint64_t tag_of(Py_hash_t h) noexcept { return static_cast<std::uint64_t>(h) & kTagMask; }

    void rehash(std::size_t cap) {
        std::vector<std::uint64_t> fresh(cap, 0);
        slots_.swap(fresh);
        for (std::size_t i = 0; i < entries_.size(); ++i)
            place(view_of(entries_[i].key).hash, static_cast<std::uint32_t>(i + 1));
    }

    void place(Py_hash_t h, std::uint32_t slot) noexcept {
        std::size_t mask = slots_.size() - 1;
        std::size_t i = static_cast<std::size_t>(h) & mask;
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = tag_of(h) | slot;
    }

    std::vector<Entry> entries_;
    std::vector<std::uint64_t> slots_;  // 0: free, otherwise hash tag | (entry index + 1)
};

}  // namespace tarnik
