#include "core/error.h"

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
    // Without room for the message, its MemoryError is the failure.
    Ref message = Ref::steal(PyUnicode_FromFormat(format, key));
    if (message) PyErr_SetObject(type, message.get());
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

// str() of an exception as UTF-8, or the fallback text.
std::string message_of(PyObject* exc) {
    std::string message = "Unwrapped panic from Python code";
    Ref text = Ref::steal(PyObject_Str(exc));
    Py_ssize_t n = 0;
    const char* s = text ? PyUnicode_AsUTF8AndSize(text.get(), &n) : nullptr;
    if (s) message.assign(s, static_cast<std::size_t>(n));
    else PyErr_Clear();  // an unprintable exception keeps the fallback text
    return message;
}

}  // namespace

Ref take_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    PyErr_NormalizeException(&t, &v, &tb);
    if (tb && v) PyException_SetTraceback(v, tb);
    Ref type = Ref::steal(t), traceback = Ref::steal(tb);
    return Ref::steal(v);
#endif
}

void restore_exception(Ref exc) {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exc.release());
#else
    PyObject* v = exc.release();
    PyErr_Restore(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(v))).release(), v, PyException_GetTraceback(v));
#endif
}

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

bool raise_other_stack() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Container is in use by another greenlet or task of this thread, which cannot go on while "
                    "this call waits");
    return false;
}

bool raise_deadlock() {
    PyErr_SetString(PyExc_RuntimeError,
                    "Deadlock detected: the container is held by a thread that waits, directly or through other "
                    "threads, for a container this thread holds");
    return false;
}

bool raise_too_large(const char* what) {
    PyErr_Format(PyExc_OverflowError, "too many %s", what);
    return false;
}

bool internal_failure(const char* message, const char* where) {
    std::fprintf(stderr, "_tarnik_core: internal failure at %s: %s\n", short_place(where), message);
    std::fflush(stderr);
    set_panic(message, static_cast<Py_ssize_t>(std::strlen(message)));
    return false;
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
    // goes on as a new internal failure with the same message, caused by the
    // one that came back, which keeps its traceback for the announcement.
    Ref came_back = take_exception();
    std::string message = message_of(came_back.get());
    set_panic(message.data(), static_cast<Py_ssize_t>(message.size()));
    Ref now = take_exception();
    PyException_SetCause(now.get(), came_back.release());
    restore_exception(std::move(now));
    return false;
}

void announce_resumed_failure() {
    if (!internal_failure_pending()) return;
    Ref now = take_exception();
    Ref cause = Ref::steal(PyException_GetCause(now.get()));
    if (cause && Py_TYPE(cause.get()) == reinterpret_cast<PyTypeObject*>(g_panic_type)) {
        std::fputs("_tarnik_core: resumed an internal failure that was fetched from Python\n"
                   "_tarnik_core: the Python stack trace follows\n",
                   stderr);
        std::fflush(stderr);
        restore_exception(std::move(cause));
        PyErr_PrintEx(0);
    }
    restore_exception(std::move(now));
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
