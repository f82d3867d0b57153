// Keys: UTF-8 text compared byte for byte, carried with their hash.
//
// Every key enters the container as a Python `str`. Its hash is the one the
// interpreter computes (and caches) for that `str`; two strings hash alike
// exactly when their text is equal, so the hash of a stored key and of a key
// looked up from a `str` agree without hashing anything twice.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace tarnik {

// A key that refers to text owned elsewhere.
struct KeyView {
    std::string_view text;
    Py_hash_t hash = 0;

    friend bool operator==(const KeyView& a, const KeyView& b) noexcept {
        return a.hash == b.hash && a.text == b.text;
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
