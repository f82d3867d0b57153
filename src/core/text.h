// Key text: keys are Python `str` objects compared by their text.
//
// Two strings are the same key exactly when their code points are equal,
// which for strings that have a UTF-8 form (the only ones accepted) is the
// same as comparing their UTF-8 bytes. The hash is the interpreter's own
// hash of the text, cached in the string; a subclass's __hash__ and __eq__
// are never consulted.
#pragma once

#include <Python.h>

#include <cstring>

namespace tarnik {

inline Py_hash_t str_hash(PyObject* s) noexcept {
    Py_hash_t h = __atomic_load_n(&reinterpret_cast<PyASCIIObject*>(s)->hash, __ATOMIC_RELAXED);
    // Computing a str's hash runs no Python code and cannot fail.
    return h != -1 ? h : PyUnicode_Type.tp_hash(s);
}

inline bool same_text(PyObject* a, PyObject* b) noexcept {
    if (a == b) return true;
    Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    int kind = PyUnicode_KIND(a);
    return n == PyUnicode_GET_LENGTH(b) && kind == static_cast<int>(PyUnicode_KIND(b)) &&
           std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(n) * kind) == 0;
}

// A new exact str with the text of `s` (NULL with an exception set).
inline PyObject* copy_text(PyObject* s) {
    return PyUnicode_FromKindAndData(PyUnicode_KIND(s), PyUnicode_DATA(s), PyUnicode_GET_LENGTH(s));
}

}  // namespace tarnik
