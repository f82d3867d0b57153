#include "module/convert.h"

#include "core/error.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace tarnik {

namespace {

// The length of a sequence only sizes the first reservation: a list that
// overstates its length is read as iteration gives it.
constexpr Py_ssize_t kReserveAtMost = 1024;

// The qualified name of a type, or a stand-in when it has none. False, with
// the exception set, when looking it up failed with more than an ordinary
// failure.
bool type_qualname(PyTypeObject* type, std::string& out) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) {
            out.assign(s, static_cast<std::size_t>(n));
            return true;
        }
    }
    if (PyErr_Occurred()) {
        if (!ordinary_failure_pending()) return false;
        PyErr_Clear();  // the message then names no type
    }
    out = "<failed to extract type name>";
    return true;
}

// Checks that `obj` is a str with a UTF-8 form; false with the exception set.
bool usable_text(PyObject* obj) {
    if (!PyUnicode_Check(obj)) return conversion_error(obj, "PyString");
#if PY_VERSION_HEX < 0x030C0000
    if (PyUnicode_READY(obj) < 0) return false;
#endif
    // Only a wide string can hold a lone surrogate, which has no UTF-8 form.
    // The interpreter keeps the UTF-8 form it makes, so this costs once.
    return PyUnicode_KIND(obj) == PyUnicode_1BYTE_KIND || PyUnicode_AsUTF8AndSize(obj, nullptr) != nullptr;
}

inline bool add_key(PyObject* item, const char* param, KeyList& out, bool exact) {
    if (PyUnicode_CheckExact(item) && PyUnicode_IS_COMPACT_ASCII(item)) {  // the common case
        out.push(Ref::borrow(item));
        return true;
    }
    if (!usable_text(item)) return argument_failed(param);
    if (exact && !PyUnicode_CheckExact(item)) {
        Ref copy = Ref::steal(copy_text(item));
        if (!copy) return false;
        out.push(std::move(copy));
        return true;
    }
    out.push(Ref::borrow(item));
    return true;
}

// The i-th item of an exact list in `item`, left empty past its end.
bool list_item(PyObject* list, Py_ssize_t i, Ref& item) {
#ifdef Py_GIL_DISABLED
    // Another thread may change the list meanwhile: take the item with a
    // reference under the list's own lock. Past the end as last seen, the
    // list ends without the IndexError being made (most of the cost of a
    // short key list).
    if (i >= PyList_GET_SIZE(list)) return true;
    item = Ref::steal(PyList_GetItemRef(list, i));
    if (!item) {
        if (!ordinary_failure_pending()) return false;
        PyErr_Clear();  // IndexError, shrunk meanwhile: the list ends here
    }
#else
    if (i < PyList_GET_SIZE(list)) item = Ref::borrow(PyList_GET_ITEM(list, i));
#endif
    return true;
}

}  // namespace

bool conversion_error(PyObject* obj, const char* target) {
    std::string name;
    if (!type_qualname(Py_TYPE(obj), name)) return false;
    std::string m("'");
    m += name;
    m += "' object cannot be converted to '";
    m += target;
    m += '\'';
    return raise_message(PyExc_TypeError, "%s", m.c_str());
}

bool argument_failed(const char* param) {
    pass_on_python_failure();
    if (PyErr_Occurred() != PyExc_TypeError) return false;  // anything else goes on unchanged
    Ref old = take_exception();
    if (Py_TYPE(old.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        // Before 3.12 the instance is made here, by take_exception: when
        // that fails, its MemoryError goes on.
        restore_exception(std::move(old));
        return false;
    }
    Ref text = Ref::steal(PyObject_Str(old.get()));
    if (!text) return false;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return false;
    Ref wrapped = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!wrapped) return false;
    // The new exception keeps the old one's cause, not the old one itself.
    PyException_SetCause(wrapped.get(), PyException_GetCause(old.get()));
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
    return false;
}

bool convert_key_slow(PyObject* obj, const char* param, KeyArg& out) {
    if (!usable_text(obj)) return argument_failed(param);
    out = KeyArg{obj, str_hash(obj)};
    return true;
}

bool convert_flag_slow(PyObject* obj, const char* param, bool& out) {
    PyTypeObject* type = Py_TYPE(obj);
    // numpy's boolean scalar: "numpy.bool_", named "numpy.bool" since numpy 2.
    if (std::strcmp(type->tp_name, "numpy.bool_") == 0 || std::strcmp(type->tp_name, "numpy.bool") == 0) {
        inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (!truth) {
            raise_message(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                          reinterpret_cast<PyObject*>(type));
        } else {
            int r = truth(obj);
            if (r == 0 || r == 1) {
                out = r == 1;
                return true;
            }
        }
        return argument_failed(param);
    }
    conversion_error(obj, "PyBool");
    return argument_failed(param);
}

bool convert_key_list(PyObject* obj, const char* param, KeyList& out, bool exact) {
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // An exact list or tuple runs no Python code to give its items.
        bool list = PyList_CheckExact(obj);
        out.reserve(static_cast<std::size_t>(std::min(Py_SIZE(obj), kReserveAtMost)));
        for (Py_ssize_t i = 0;; ++i) {
            Ref item;
            if (!list) item = i < PyTuple_GET_SIZE(obj) ? Ref::borrow(PyTuple_GET_ITEM(obj, i)) : Ref();
            else if (!list_item(obj, i, item)) return argument_failed(param);
            if (!item) return true;
            if (!add_key(item.get(), param, out, exact)) return false;
        }
    }
    if (PyUnicode_Check(obj)) {
        raise_message(PyExc_TypeError, "Can't extract `str` to `Vec`");
        return argument_failed(param);
    }
    if (!PySequence_Check(obj)) {
        conversion_error(obj, "Sequence");
        return argument_failed(param);
    }
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        // The length only sizes the result: an ordinary failure of it is
        // dropped; any other ends the call before anything changes.
        if (!ordinary_failure_pending()) return argument_failed(param);
        PyErr_Clear();
        size = 0;
    }
    out.reserve(static_cast<std::size_t>(std::min(size, kReserveAtMost)));
    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) return argument_failed(param);
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!add_key(item.get(), param, out, exact)) return false;
    }
    if (PyErr_Occurred()) return argument_failed(param);
    return true;
}

}  // namespace tarnik
