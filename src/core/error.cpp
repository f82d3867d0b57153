#include "error.h"

#include <cstdio>
#include <cstring>

namespace tarnik {

namespace {

PyObject* g_panic_type = nullptr;  // kept for the life of the process

Error own_error(ErrorKind kind, std::string message) {
    return Error{kind, std::move(message), FetchedException()};
}

const char* short_place(const char* where) {
    const char* src = std::strstr(where, "src/");
    return src ? src : where;
}

}  // namespace

FetchedException FetchedException::fetch() noexcept {
    FetchedException e;
#if PY_VERSION_HEX >= 0x030C0000
    e.value_ = Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    e.type_ = Ref::steal(t);
    e.value_ = Ref::steal(v);
    e.traceback_ = Ref::steal(tb);
#endif
    return e;
}

void FetchedException::restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
}

PyObject* FetchedException::type() const noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return value_ ? reinterpret_cast<PyObject*>(Py_TYPE(value_.get())) : nullptr;
#else
    return type_.get();
#endif
}

PyObject* FetchedException::value() noexcept {
#if PY_VERSION_HEX < 0x030C0000
    if (type_) {
        PyObject *t = type_.release(), *v = value_.release(), *tb = traceback_.release();
        PyErr_NormalizeException(&t, &v, &tb);
        if (tb && v) PyException_SetTraceback(v, tb);
        type_ = Ref::steal(t);
        value_ = Ref::steal(v);
        traceback_ = Ref::steal(tb);
    }
#endif
    return value_.get();
}

Error missing_provider_error(KeyView key) {
    std::string m("No provider registered for key: ");
    m.append(key.text);
    return own_error(ErrorKind::KeyError, std::move(m));
}

Error cycle_error(KeyView key) {
    std::string m("Dependency cycle detected at key: ");
    m.append(key.text);
    return own_error(ErrorKind::RuntimeError, std::move(m));
}

Error async_provider_error(KeyView key) {
    std::string m("Provider for key '");
    m.append(key.text);
    m.append("' is async and requires async resolution");
    return own_error(ErrorKind::RuntimeError, std::move(m));
}

Error plan_missing_error(KeyView key) {
    std::string m("Internal error: key ");
    m.append(key.text);
    m.append(" missing after plan execution");
    return own_error(ErrorKind::RuntimeError, std::move(m));
}

Error set_cache_error(KeyView key) {
    std::string m("Cannot set cache for non-singleton or unknown key: ");
    m.append(key.text);
    return own_error(ErrorKind::RuntimeError, std::move(m));
}

Error internal_failure(std::string message, const char* where) {
    std::fprintf(stderr, "_tarnik_core: internal failure at %s: %s\n", short_place(where), message.c_str());
    std::fflush(stderr);
    return own_error(ErrorKind::Panic, std::move(message));
}

Error api_call_failure(const char* where) {
    if (PyErr_Occurred()) PyErr_Print();
    return internal_failure("Python API call failed", where);
}

Error take_pending_error() {
    if (!PyErr_Occurred())
        return own_error(ErrorKind::SystemError, "attempted to fetch exception but none was set");
    FetchedException exc = FetchedException::fetch();
    if (g_panic_type == nullptr || exc.type() != g_panic_type)
        return Error{ErrorKind::Python, std::string(), std::move(exc)};

    // Our own internal-failure exception came back through Python code: it
    // goes on as an internal failure, with the same message.
    std::string message = "Unwrapped panic from Python code";
    if (PyObject* text = PyObject_Str(exc.value())) {
        Ref owned = Ref::steal(text);
        Py_ssize_t n = 0;
        if (const char* s = PyUnicode_AsUTF8AndSize(text, &n)) message.assign(s, static_cast<std::size_t>(n));
        else PyErr_Clear();
    } else {
        PyErr_Clear();
    }
    std::fputs("_tarnik_core: resuming an internal failure that was fetched from Python\n"
               "_tarnik_core: the Python stack trace follows\n",
               stderr);
    std::fflush(stderr);
    exc.restore();
    PyErr_PrintEx(0);
    return Error{ErrorKind::Panic, std::move(message), FetchedException()};
}

PyObject* panic_type() noexcept { return g_panic_type; }
void set_panic_type(PyObject* type) noexcept { g_panic_type = type; }

}  // namespace tarnik
