// Key text: keys are Python `str` objects compared by their text.
//
// Two strings are the same key exactly when their code points are equal,
// which for strings that have a UTF-8 form (the only ones accepted) is the
// same as comparing their UTF-8 bytes. The hash is the interpreter's own
// hash of the text, cached in the string; a subclass's __hash__ and __eq__
// are never consulted.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>

namespace tarnik {

// A relaxed atomic read of a field that another thread may be writing.
template <class T>
inline T load_relaxed(T& field) noexcept {
#if defined(__cpp_lib_atomic_ref)
    return std::atomic_ref<T>(field).load(std::memory_order_relaxed);
#else
    // C++ libraries without atomic_ref lay out a lock-free atomic as the
    // plain value, as atomic_ref itself relies on.
    static_assert(sizeof(std::atomic<T>) == sizeof(T) && std::atomic<T>::is_always_lock_free);
    return reinterpret_cast<std::atomic<T>&>(field).load(std::memory_order_relaxed);
#endif
}

inline Py_hash_t str_hash(PyObject* s) noexcept {
    // On a free-threaded build another thread may be storing the hash it
    // computed.
    Py_hash_t h = load_relaxed(reinterpret_cast<PyASCIIObject*>(s)->hash);
    // Computing a str's hash runs no Python code and cannot fail.
    return h != -1 ? h : PyUnicode_Type.tp_hash(s);
}

// Byte comparison without a library call for short texts.
inline bool same_bytes(const char* a, const char* b, std::size_t n) noexcept {
    auto word = [](const char* p, auto w) {
        std::memcpy(&w, p, sizeof(w));
        return w;
    };
    // The first and the last word of n bytes, for one word <= n <= two
    // words, cover every byte.
    if (n >= 8 && n <= 16)
        return ((word(a, std::uint64_t{}) ^ word(b, std::uint64_t{})) |
                (word(a + n - 8, std::uint64_t{}) ^ word(b + n - 8, std::uint64_t{}))) == 0;
    if (n >= 4 && n < 8)
        return ((word(a, std::uint32_t{}) ^ word(b, std::uint32_t{})) |
                (word(a + n - 4, std::uint32_t{}) ^ word(b + n - 4, std::uint32_t{}))) == 0;
    if (n < 4)  // bytes 0, n/2 and n-1 cover every byte of so short a text
        return n == 0 || (a[0] == b[0] && a[n / 2] == b[n / 2] && a[n - 1] == b[n - 1]);
    return std::memcmp(a, b, n) == 0;
}

inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(a) && PyUnicode_IS_COMPACT_ASCII(b))
        return same_bytes(reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(a) + 1),
                          reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(b) + 1),
                          static_cast<std::size_t>(n));
    int kind = PyUnicode_KIND(a);
    return kind == static_cast<int>(PyUnicode_KIND(b)) &&
           same_bytes(static_cast<const char*>(PyUnicode_DATA(a)), static_cast<const char*>(PyUnicode_DATA(b)),
                      static_cast<std::size_t>(n) * static_cast<std::size_t>(kind));
}

// A new exact str with the text of `s` (NULL with an exception set).
inline PyObject* copy_text(PyObject* s) {
    return PyUnicode_FromKindAndData(PyUnicode_KIND(s), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s));
}

}  // namespace tarnik
