#include "module/binding.h"

#include "core/error.h"

#include <cstring>
#include <string>

namespace tarnik {

namespace {

bool too_many_positional(const char* function, Py_ssize_t count, Py_ssize_t given) {
    return raise_message(PyExc_TypeError, "%s takes %zd positional arguments but %zd %s given", function, count,
                         given, given == 1 ? "was" : "were");
}

bool unexpected_keyword(const char* function, PyObject* name) {
    return raise_message(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", function, name);
}

// The parameter whose name equals the keyword's UTF-8 bytes, or -1 in
// `index`. False with the exception set when the name's UTF-8 form could not
// be made for a reason other than having none.
bool find_param(const Signature& sig, PyObject* name, Py_ssize_t& index) {
    index = -1;
    if (!PyUnicode_Check(name)) return true;  // names no parameter
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &n);
    if (!text) {
        if (!ordinary_failure_pending()) return false;
        PyErr_Clear();  // a name that has no UTF-8 form names no parameter
        return true;
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        const char* p = sig.params[i];
        if (std::strlen(p) == static_cast<std::size_t>(n) && std::memcmp(p, text, static_cast<std::size_t>(n)) == 0) {
            index = i;
            return true;
        }
    }
    return true;
}

bool missing_arguments(const Signature& sig, PyObject** out) {
    Py_ssize_t missing = 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i) missing += out[i] == nullptr;
    std::string names;
    Py_ssize_t listed = 0;
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (out[i] != nullptr) continue;
        ++listed;
        if (listed > 1) {
            if (missing == 2) names += " and ";
            else if (listed == missing) names += ", and ";
            else names += ", ";
        }
        names += '\'';
        names += sig.params[i];
        names += '\'';
    }
    return raise_message(PyExc_TypeError, "%s missing %zd required positional %s: %s", sig.function, missing,
                         missing == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

bool bind_slow(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (nargs > sig.count) return too_many_positional(sig.function, sig.count, nargs);
    for (Py_ssize_t i = 0; i < sig.count; ++i) out[i] = i < nargs ? args[i] : nullptr;
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t i = -1;
        if (!find_param(sig, name, i)) return false;
        if (i < 0) return unexpected_keyword(sig.function, name);
        if (out[i] != nullptr)
            return raise_message(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                                 sig.params[i]);
        out[i] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < sig.count; ++i) {
        if (out[i] == nullptr) return missing_arguments(sig, out);
    }
    return true;
}

bool bind_no_params(const char* function, PyObject* args, PyObject* kwargs) {
    Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > 0) return too_many_positional(function, 0, nargs);
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject *name = nullptr, *value = nullptr;
        PyDict_Next(kwargs, &pos, &name, &value);
        return unexpected_keyword(function, name);
    }
    return true;
}

}  // namespace tarnik
