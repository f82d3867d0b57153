// A vector of trivially copyable items with room for N of them inline.
#pragma once

#include "platform/compiler.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace tarnik {

template <class T, std::size_t N>
class SmallVec {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    SmallVec() noexcept = default;
    SmallVec(const SmallVec&) = delete;
    SmallVec& operator=(const SmallVec&) = delete;
    ~SmallVec() {
        if (data_ != reinterpret_cast<T*>(inline_)) std::free(data_);
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T& back() noexcept { return data_[size_ - 1]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    void pop_back() noexcept { --size_; }
    void clear() noexcept { size_ = 0; }
    void resize(std::size_t n) noexcept { size_ = n; }  // shrinking only
    void push_back(const T& v) {
        if (size_ == cap_) [[unlikely]]
            grow();
        data_[size_++] = v;
    }
    // Room for `n` more items.
    void reserve_more(std::size_t n) {
        if (cap_ - size_ < n) [[unlikely]]
            grow_for(n);
    }
    // Grows to `n` items (left as they are), for which reserve_more() made room.
    void resize_reserved(std::size_t n) noexcept { size_ = n; }

private:
    TARNIK_NOINLINE void grow_for(std::size_t n) {
        while (cap_ - size_ < n) grow();
    }
    TARNIK_NOINLINE void grow() {
        std::size_t cap = cap_ * 2;
        if (cap > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
        void* mem = std::malloc(cap * sizeof(T));
        if (!mem) throw std::bad_alloc();
        std::memcpy(mem, data_, size_ * sizeof(T));
        if (data_ != reinterpret_cast<T*>(inline_)) std::free(data_);
        data_ = static_cast<T*>(mem);
        cap_ = cap;
    }

    // Raw storage: the inline items are not constructed until pushed.
    alignas(T) unsigned char inline_[N * sizeof(T)];
    T* data_ = reinterpret_cast<T*>(inline_);
    std::size_t size_ = 0;
    std::size_t cap_ = N;
};

}  // namespace tarnik
