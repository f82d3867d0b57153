// Conversion of Python arguments into the core's types.
//
// Every function returns false with a Python exception set. A failure of an
// argument is reported through `argument_failed`, which prefixes a plain
// TypeError with the parameter's name.
#pragma once

#include "core/key.h"
#include "core/records.h"
#include "core/ref.h"
#include "core/smallvec.h"

#include <Python.h>

#include <vector>

namespace tarnik {

// Reports the pending failure of converting parameter `param`.
void argument_failed(const char* param);

// An exact ASCII `str` is its own UTF-8 text: its key is read in place.
// The hash is the interpreter's own hash of the text, cached in the string.
// Returns false, with nothing set, for any other object.
inline bool ascii_key(PyObject* obj, KeyView& out) noexcept {
#if PY_VERSION_HEX < 0x030E0000
    if (PyUnicode_CheckExact(obj) && PyUnicode_IS_COMPACT_ASCII(obj)) {
        Py_hash_t h = reinterpret_cast<PyASCIIObject*>(obj)->hash;
        if (h == -1) h = PyUnicode_Type.tp_hash(obj);
        out = KeyView{std::string_view(static_cast<const char*>(PyUnicode_DATA(obj)),
                                       static_cast<std::size_t>(PyUnicode_GET_LENGTH(obj))),
                      h};
        return true;
    }
#else
    (void)obj;
    (void)out;
#endif
    return false;
}

bool convert_key_slow(PyObject* obj, const char* param, KeyView& out);

// A `str` argument as a key: the text is the string's own UTF-8 buffer,
// valid while the string lives. A subclass's __hash__ is not consulted.
inline bool convert_key(PyObject* obj, const char* param, KeyView& out) {
    return ascii_key(obj, out) || convert_key_slow(obj, param, out);
}
bool convert_flag(PyObject* obj, const char* param, bool& out);

// A key list whose strings are held for the length of the call.
struct KeyList {
    RefStack<16> keep;
    SmallVec<KeyView, 16> views;
};
bool convert_key_list(PyObject* obj, const char* param, KeyList& out);
// A key list copied into owned keys (for storage in an entry).
bool convert_key_list(PyObject* obj, const char* param, std::vector<DepKey>& out);

// "'int' object cannot be converted to 'PyString'" as a pending TypeError.
void conversion_error(PyObject* obj, const char* target);

}  // namespace tarnik
