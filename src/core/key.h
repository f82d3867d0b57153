// Keys: UTF-8 text compared byte for byte, carried with their hash.
//
// Every key enters the container as a Python `str`. Its hash is the one the
// interpreter computes (and caches) for that `str`; two strings hash alike
// exactly when their text is equal, so the hash of a stored key and of a key
// looked up from a `str` agree without hashing anything twice.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <string_view>

namespace tarnik {

// A key that refers to text owned elsewhere.
struct KeyView {
    std::string_view text;
    Py_hash_t hash = 0;

    friend bool operator==(const KeyView& a, const KeyView& b) noexcept {
        return a.hash == b.hash && a.text.size() == b.text.size() && same_bytes(a.text.data(), b.text.data(), a.text.size());
    }

private:
    // Byte comparison without a library call for short keys.
    static bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
        if (n >= 8 && n <= 16) return same_ends<std::uint64_t>(a, b, n);
        if (n >= 4 && n < 8) return same_ends<std::uint32_t>(a, b, n);
        if (n < 4) {
            // bytes 0, n/2 and n-1 cover every byte of a key this short
            return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
        }
        return std::memcmp(a, b, n) == 0;
    }

    // Compares the first and the last word of two texts of n bytes, where
    // one word <= n <= two words: together they cover every byte.
    template <class Word>
    static bool same_ends(const char* a, const char* b, std::size_t n) noexcept {
        Word a0, a1, b0, b1;
        std::memcpy(&a0, a, sizeof(Word));
        std::memcpy(&b0, b, sizeof(Word));
        std::memcpy(&a1, a + n - sizeof(Word), sizeof(Word));
        std::memcpy(&b1, b + n - sizeof(Word), sizeof(Word));
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
};

// Owned key text: up to kInline bytes sit in the object itself, so that
// typical keys cost no allocation of their own.
class KeyText {
public:
    static constexpr std::size_t kInline = 24;

    KeyText() noexcept : size_(0) {}
    explicit KeyText(std::string_view s) : size_(s.size()) {
        char* dst = inline_;
        if (size_ > kInline) dst = heap_ = new char[size_];
        if (size_) std::memcpy(dst, s.data(), size_);
    }
    KeyText(const KeyText& o) : KeyText(o.view()) {}
    KeyText(KeyText&& o) noexcept : size_(o.size_) {
        std::memcpy(inline_, o.inline_, kInline);  // the heap pointer, or the text
        o.size_ = 0;
    }
    KeyText& operator=(KeyText o) noexcept {
        std::swap(size_, o.size_);
        char tmp[kInline];
        std::memcpy(tmp, inline_, kInline);
        std::memcpy(inline_, o.inline_, kInline);
        std::memcpy(o.inline_, tmp, kInline);
        return *this;
    }
    ~KeyText() {
        if (size_ > kInline) delete[] heap_;
    }

    const char* data() const noexcept { return size_ > kInline ? heap_ : inline_; }
    std::size_t size() const noexcept { return size_; }
    std::string_view view() const noexcept { return std::string_view(data(), size_); }

private:
    std::size_t size_;
    union {
        char inline_[kInline];
        char* heap_;
    };
};

// A key that owns its text.
struct Key {
    KeyText text;
    Py_hash_t hash = 0;

    Key() = default;
    explicit Key(KeyView v) : text(v.text), hash(v.hash) {}
    KeyView view() const noexcept { return KeyView{text.view(), hash}; }
};

struct KeyViewHash {
    std::size_t operator()(const KeyView& k) const noexcept { return static_cast<std::size_t>(k.hash); }
};

}  // namespace tarnik
