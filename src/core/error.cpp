#include "error.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace tarnik {

namespace {

PyObject* g_panic_type = nullptr;  // set once at import, kept for the process

constexpr const char* kPanicName = "_tarnik_core.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException, so that it usually "
    "propagates through the whole stack instead of being caught by an "
    "`except Exception` clause.";

bool raise_with_key(PyObject* type, const char* format, PyObject* key) {
    Ref message = Ref::steal(PyUnicode_FromFormat(format, key));
    if (!message) return api_call_failure(TARNIK_HERE);
    PyErr_SetObject(type, message.get());
    return false;
}

const char* short_place(const char* where) {
    const char* src = std::strstr(where, "src/");
    return src ? src : where;
}

void set_panic(const char* text, Py_ssize_t size) {
    Ref message = Ref::steal(PyUnicode_FromStringAndSize(text, size));
    if (!message) {
        // No room for the message: the exception goes without it.
        PyErr_Clear();
        PyErr_SetNone(g_panic_type);
        return;
    }
    PyErr_SetObject(g_panic_type, message.get());
}

// str() of the pending exception's value as UTF-8, or the fallback text.
std::string pending_message() {
    std::string message = "Unwrapped panic from Python code";
#if PY_VERSION_HEX >= 0x030C0000
    Ref value = Ref::steal(PyErr_GetRaisedException());
    Ref text = Ref::steal(PyObject_Str(value.get()));
#else
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Ref type = Ref::steal(t), value = Ref::steal(v), traceback = Ref::steal(tb);
    Ref text = Ref::steal(v ? PyObject_Str(v) : nullptr);
#endif
    Py_ssize_t n = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (s) message.assign(s, static_cast<std::size_t>(n));
    else PyErr_Clear();  // an unprintable exception keeps the fallback text
    // Back in place for the traceback print.
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(value.release());
#else
    PyErr_Restore(type.release(), value.release(), traceback.release());
#endif
    return message;
}

}  // namespace

bool raise_missing_provider(PyObject* key) {
    return raise_with_key(PyExc_KeyError, "No provider registered for key: %U", key);
}

bool raise_cycle(PyObject* key) {
    return raise_with_key(PyExc_RuntimeError, "Dependency cycle detected at key: %U", key);
}

bool raise_async_provider(PyObject* key) {
    return raise_with_key(PyExc_RuntimeError, "Provider for key '%U' is async and requires async resolution", key);
}

bool raise_plan_missing(PyObject* key) {
    return raise_with_key(PyExc_RuntimeError, "Internal error: key %U missing after plan execution", key);
}

bool raise_set_cache(PyObject* key) {
    return raise_with_key(PyExc_RuntimeError, "Cannot set cache for non-singleton or unknown key: %U", key);
}

bool raise_reentrant() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Container is already in use by this thread (re-entrant call from a provider or finalizer)");
    return false;
}

bool internal_failure(const char* message, const char* where) {
    std::fprintf(stderr, "_tarnik_core: internal failure at %s: %s\n", short_place(where), message);
    std::fflush(stderr);
    set_panic(message, static_cast<Py_ssize_t>(std::strlen(message)));
    return false;
}

bool api_call_failure(const char* where) {
    if (PyErr_Occurred()) PyErr_Print();
    return internal_failure("Python API call failed", where);
}

bool internal_failure_pending() noexcept {
    return g_panic_type != nullptr && PyErr_Occurred() == g_panic_type;
}

bool pass_on_python_failure() {
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        return false;
    }
    if (!internal_failure_pending()) return false;
    // Our own internal-failure exception came back through Python code: it
    // goes on as a new internal failure with the same message.
    std::string message = pending_message();
    std::fputs("_tarnik_core: resuming an internal failure that was fetched from Python\n"
               "_tarnik_core: the Python stack trace follows\n",
               stderr);
    std::fflush(stderr);
    PyErr_PrintEx(0);
    set_panic(message.data(), static_cast<Py_ssize_t>(message.size()));
    return false;
}

PyObject* panic_type() noexcept { return g_panic_type; }

bool create_panic_type() {
    if (g_panic_type) return true;
    g_panic_type = PyErr_NewExceptionWithDoc(kPanicName, kPanicDoc, PyExc_BaseException, nullptr);
    return g_panic_type != nullptr;
}

ErrorIndicatorGuard::ErrorIndicatorGuard() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    value_ = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&type_, &value_, &traceback_);
#endif
}

ErrorIndicatorGuard::~ErrorIndicatorGuard() noexcept(false) {
    if (!python_usable()) return;  // a thread being ended at exit: left on purpose
#if PY_VERSION_HEX >= 0x030C0000
    if (value_) PyErr_SetRaisedException(value_);
#else
    if (type_) PyErr_Restore(type_, value_, traceback_);
#endif
}

}  // namespace tarnik
