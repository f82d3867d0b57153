// Binding of positional and keyword arguments to a method's parameters.
#pragma once

#include <Python.h>

namespace tarnik {

// One entry point's parameter list, for binding and for messages.
struct Signature {
    const char* function;  // "Container.resolve()"
    const char* const* params;
    Py_ssize_t count;
};

// Binds a fast call (positional arguments, then keyword values named by
// `kwnames`) to `out[0..sig.count)`, borrowed. Returns false with TypeError
// set when the arguments do not fit.
bool bind_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);

inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (kwnames == nullptr && nargs == sig.count) {
        for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
        return true;
    }
    return bind_slow(sig, args, nargs, kwnames, out);
}

// Binds a tuple-and-dict call to an entry point without parameters.
bool bind_no_params(const char* function, PyObject* args, PyObject* kwargs);

}  // namespace tarnik
