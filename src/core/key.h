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
        if (n >= 8 && n <= 16) {
            std::uint64_t a0, a1, b0, b1;
            std::memcpy(&a0, a, 8);
            std::memcpy(&b0, b, 8);
            std::memcpy(&a1, a + n - 8, 8);
            std::memcpy(&b1, b + n - 8, 8);
            return ((a0 ^ b0) | (a1 ^ b1)) == 0;
        }
        if (n < 8) {
            for (std::size_t i = 0; i < n; ++i)
                if (a[i] != b[i]) return false;
            return true;
        }
        return std::memcmp(a, b, n) == 0;
    }
};

// A key that owns its text.
struct Key {
    std::string text;
    Py_hash_t hash = 0;

    Key() = default;
    explicit Key(KeyView v) : text(v.text), hash(v.hash) {}
    KeyView view() const noexcept { return KeyView{text, hash}; }
};

struct KeyViewHash {
    std::size_t operator()(const KeyView& k) const noexcept { return static_cast<std::size_t>(k.hash); }
};

}  // namespace tarnik
