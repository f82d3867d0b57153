#include "convert.h"

#include "errors.h"

#include <cstring>
#include <string>

namespace tarnik {

namespace {

std::string type_qualname(PyTypeObject* type) {
    Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
    if (name && PyUnicode_Check(name.get())) {
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(name.get(), &n)) return std::string(s, static_cast<std::size_t>(n));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

// The text and hash of a `str`; false with an exception pending otherwise.
inline bool key_of(PyObject* obj, KeyView& out) {
    if (ascii_key(obj, out)) return true;
    if (!PyUnicode_Check(obj)) {
        conversion_error(obj, "PyString");
        return false;
    }
    Py_ssize_t n = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (!s) return false;
    // The interpreter's own hash of the text (a subclass's __hash__ is not
    // consulted), cached in the string object.
    out = KeyView{std::string_view(s, static_cast<std::size_t>(n)), PyUnicode_Type.tp_hash(obj)};
    return true;
}

// Walks a key list: `each(item, view)` is called for every item in
// iteration order.
template <class Each>
bool walk_key_list(PyObject* obj, const char* param, Each&& each) {
    KeyView view;
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        // An exact list or tuple is a sequence whose length and iteration
        // run no Python code: index it.
        Py_ssize_t size = PySequence_Fast_GET_SIZE(obj);
        each(nullptr, KeyView{}, size);
        for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(obj); ++i) {
            PyObject* item = PySequence_Fast_GET_ITEM(obj, i);
            if (!key_of(item, view)) {
                argument_failed(param);
                return false;
            }
            each(item, view, 0);
        }
        return true;
    }
    if (PyUnicode_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
        argument_failed(param);
        return false;
    }
    if (!PySequence_Check(obj)) {
        conversion_error(obj, "Sequence");
        argument_failed(param);
        return false;
    }
    Py_ssize_t size = PySequence_Size(obj);
    if (size < 0) {
        // The length only sizes the result; a failure to give it is dropped
        // (an internal failure coming back is not).
        Error e = take_pending_error();
        if (e.kind == ErrorKind::Panic) {
            raise_error(std::move(e));
            return false;
        }
        size = 0;
    }
    each(nullptr, KeyView{}, size);

    Ref iter = Ref::steal(PyObject_GetIter(obj));
    if (!iter) {
        argument_failed(param);
        return false;
    }
    while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
        if (!key_of(item.get(), view)) {
            argument_failed(param);
            return false;
        }
        each(item.get(), view, 0);
    }
    if (PyErr_Occurred()) {
        argument_failed(param);
        return false;
    }
    return true;
}

}  // namespace

void conversion_error(PyObject* obj, const char* target) {
    std::string m("'");
    m += type_qualname(Py_TYPE(obj));
    m += "' object cannot be converted to '";
    m += target;
    m += '\'';
    PyErr_SetString(PyExc_TypeError, m.c_str());
}

void argument_failed(const char* param) {
    Error e = take_pending_error();
    if (e.kind != ErrorKind::Python || e.exception.type() != PyExc_TypeError) {
        raise_error(std::move(e));
        return;
    }
    PyObject* old = e.exception.value();
    Ref text = Ref::steal(PyObject_Str(old));
    if (!text) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
    if (!message) return;
    Ref wrapped = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!wrapped) return;
    // The new exception keeps the old one's cause, not the old one itself.
    PyException_SetCause(wrapped.get(), PyException_GetCause(old));
    PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

bool convert_key_slow(PyObject* obj, const char* param, KeyView& out) {
    if (key_of(obj, out)) return true;
    argument_failed(param);
    return false;
}

bool convert_flag(PyObject* obj, const char* param, bool& out) {
    PyTypeObject* type = Py_TYPE(obj);
    if (type == &PyBool_Type) {
        out = obj == Py_True;
        return true;
    }
    // numpy's boolean scalar: "numpy.bool_", named "numpy.bool" since numpy 2.
    if (std::strcmp(type->tp_name, "numpy.bool_") == 0 || std::strcmp(type->tp_name, "numpy.bool") == 0) {
        inquiry truth = type->tp_as_number ? type->tp_as_number->nb_bool : nullptr;
        if (!truth) {
            PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                         reinterpret_cast<PyObject*>(type));
        } else {
            int r = truth(obj);
            if (r == 0 || r == 1) {
                out = r == 1;
                return true;
            }
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        argument_failed(param);
        return false;
    }
    conversion_error(obj, "PyBool");
    argument_failed(param);
    return false;
}

bool convert_key_list(PyObject* obj, const char* param, KeyList& out) {
    return walk_key_list(obj, param, [&](PyObject* item, KeyView view, Py_ssize_t) {
        if (!item) return;
        out.keep.push(Ref::borrow(item));
        out.views.push_back(view);
    });
}

bool convert_key_list(PyObject* obj, const char* param, std::vector<DepKey>& out) {
    return walk_key_list(obj, param, [&](PyObject* item, KeyView view, Py_ssize_t size) {
        if (!item) {
            out.reserve(static_cast<std::size_t>(size));
            return;
        }
        out.emplace_back(view);
    });
}

}  // namespace tarnik
