// Conversion of Python arguments into the core's types.
//
// Every function returns false with a Python exception set. A failure of an
// argument is reported through `argument_failed`, which prefixes a plain
// TypeError with the parameter's name.
#pragma once

#include "core/key.h"
#include "core/ref.h"
#include "core/smallvec.h"

#include <Python.h>

#include <vector>

namespace tarnik {

// Reports the pending failure of converting parameter `param`.
void argument_failed(const char* param);

// A `str` argument as a key: the text is the string's own UTF-8 buffer,
// valid while the string lives.
bool convert_key(PyObject* obj, const char* param, KeyView& out);
bool convert_flag(PyObject* obj, const char* param, bool& out);

// A key list whose strings are held for the length of the call.
struct KeyList {
    RefStack<16> keep;
    SmallVec<KeyView, 16> views;
};
bool convert_key_list(PyObject* obj, const char* param, KeyList& out);
// A key list copied into owned keys (for storage in an entry).
bool convert_key_list(PyObject* obj, const char* param, std::vector<Key>& out);

// "'int' object cannot be converted to 'PyString'" as a pending TypeError.
void conversion_error(PyObject* obj, const char* target);

}  // namespace tarnik
