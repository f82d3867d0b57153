// Conversion of Python arguments into the core's types.
//
// Every function returns false with a Python exception set. A failure of an
// argument is reported through `argument_failed`, which prefixes a plain
// TypeError with the parameter's name.
#pragma once

#include "core/records.h"
#include "core/text.h"

#include <Python.h>

namespace tarnik {

// A `str` argument as a key: the object itself, borrowed for the call, and
// the hash of its text.
struct KeyArg {
    PyObject* text = nullptr;
    Py_hash_t hash = 0;
};

bool convert_key_slow(PyObject* obj, const char* param, KeyArg& out);

// An exact ASCII `str` needs no check: its text is its UTF-8 form.
inline bool convert_key(PyObject* obj, const char* param, KeyArg& out) {
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
        out = KeyArg{obj, str_hash(obj)};
        return true;
    }
    return convert_key_slow(obj, param, out);
}

bool convert_flag_slow(PyObject* obj, const char* param, bool& out);

inline bool convert_flag(PyObject* obj, const char* param, bool& out) {
    if (Py_TYPE(obj) == &PyBool_Type) {
        out = obj == Py_True;
        return true;
    }
    return convert_flag_slow(obj, param, out);
}

// A sequence of `str`, held item by item in iteration order. With `exact`,
// an instance of a str subclass is replaced by a plain copy of its text (the
// form a container stores).
bool convert_key_list(PyObject* obj, const char* param, KeyList& out, bool exact);

// Reports the pending failure of converting parameter `param`. Returns false.
bool argument_failed(const char* param);

// "'int' object cannot be converted to 'PyString'" as a pending TypeError.
// Returns false.
bool conversion_error(PyObject* obj, const char* target);

}  // namespace tarnik
