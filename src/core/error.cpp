#include "core/error.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tarnik {

namespace {

PyObject* g_panic_type = nullptr;  // made by the first successful import, kept for the process

constexpr const char* kPanicName = "_tarnik_core.PanicException";
constexpr const char* kPanicDoc =
    "Raised when the native code called from Python fails internally.\n\n"
    "Like SystemExit, it derives from BaseException, so that it usually "
    "propagates through the whole stack instead of being caught by an "
    "`except Exception` clause.";


// Writes the place `where` (__FILE__:__LINE__) from the sources' "src"
// directory on, with '/' between its parts whatever the build machine's
// separator: the last "src" directory in it is the sources' own, since none
// of theirs has that name.
void put_place(const char* where) {
    auto separator = [](char c) { return c == '/' || c == '\\'; };
    const char* from = where;
    for (const char* p = where; *p; ++p) {
        if ((p == where || separator(p[-1])) && std::strncmp(p, "src", 3) == 0 && separator(p[3])) from = p;
    }
    for (const char* p = from; *p; ++p) std::fputc(separator(*p) ? '/' : *p, stderr);
}

// Sets the internal-failure exception with `text`. Returns false.
bool set_panic(const char* text) {
    Ref message = Ref::steal(PyUnicode_FromString(text));
    if (!message) {
        // No room for the message: the exception goes without it.
        PyErr_Clear();
        PyErr_SetNone(g_panic_type);
        return false;
    }
    PyErr_SetObject(g_panic_type, message.get());
    return false;
}

// The arguments of an exception instance (a tuple), borrowed.
PyObject* args_of(PyObject* exc) noexcept { return reinterpret_cast<PyBaseExceptionObject*>(exc)->args; }

void set_args(PyObject* exc, Ref args) {
    Ref old = Ref::steal(std::exchange(reinterpret_cast<PyBaseExceptionObject*>(exc)->args, args.release()));
}

// str() of an exception, or the fallback text when that fails. Runs Python
// code. Whatever str() raises is dropped: the internal failure being
// announced is the exception that goes on.
Ref message_of(PyObject* exc) {
    Ref text = Ref::steal(PyObject_Str(exc));
    if (text) return text;
    PyErr_Clear();
    return Ref::steal(PyUnicode_FromString("Unwrapped panic from Python code"));
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

bool raise_message(PyObject* type, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (message) PyErr_SetObject(type, message.get());
    return false;
}

bool raise_missing_provider(PyObject* key) {
    return raise_message(PyExc_KeyError, "No provider registered for key: %U", key);
}

bool raise_cycle(PyObject* key) {
    return raise_message(PyExc_RuntimeError, "Dependency cycle detected at key: %U", key);
}

bool raise_async_provider(PyObject* key) {
    return raise_message(PyExc_RuntimeError, "Provider for key '%U' is async and requires async resolution", key);
}

bool raise_plan_missing(PyObject* key) {
    return raise_message(PyExc_RuntimeError, "Internal error: key %U missing after plan execution", key);
}

bool raise_set_cache(PyObject* key) {
    return raise_message(PyExc_RuntimeError, "Cannot set cache for non-singleton or unknown key: %U", key);
}

bool raise_reentrant() {
    return raise_message(PyExc_RuntimeError,
                         "Container is already in use by this thread (re-entrant call from a provider or finalizer)");
}

bool raise_other_stack() {
    return raise_message(PyExc_RuntimeError,
                         "Container is in use by another greenlet or task of this thread, which cannot go on while "
                         "this call waits");
}

bool raise_deadlock() {
    return raise_message(PyExc_RuntimeError,
                         "Deadlock detected: the container is held by a thread that waits, directly or through other "
                         "threads, for a container this thread holds");
}

bool raise_too_large(const char* what) {
    return raise_message(PyExc_OverflowError, "too many %s", what);
}

bool internal_failure(const char* message, const char* where) {
    std::fputs("_tarnik_core: internal failure at ", stderr);
    put_place(where);
    std::fprintf(stderr, ": %s\n", message);
    std::fflush(stderr);
    return set_panic(message);
}

bool internal_failure_pending() noexcept {
    return g_panic_type != nullptr && PyErr_Occurred() == g_panic_type;
}

bool ordinary_failure_pending() noexcept {
    return PyErr_ExceptionMatches(PyExc_Exception) && !PyErr_ExceptionMatches(PyExc_MemoryError);
}

bool pass_on_python_failure() {
    assert(PyErr_Occurred());  // a failed call into Python code always sets one
    if (!internal_failure_pending()) return false;
    // Our own internal-failure exception came back through Python code: it
    // goes on as a new internal failure, caused by the one that came back,
    // which keeps its traceback for the announcement. The new one takes the
    // same arguments, so that its str() is the other's without running any
    // code now; the announcement turns them into the text.
    Ref came_back = take_exception();
    PyErr_SetObject(g_panic_type, args_of(came_back.get()));
    Ref now = take_exception();
    if (Py_TYPE(now.get()) != reinterpret_cast<PyTypeObject*>(g_panic_type)) {
        // No room for the new one: the one that came back goes on instead
        // of the MemoryError, since an internal failure must not turn into
        // an ordinary one.
        restore_exception(std::move(came_back));
        return false;
    }
    PyException_SetCause(now.get(), came_back.release());
    restore_exception(std::move(now));
    return false;
}

void announce_resumed_failure() {
    if (!internal_failure_pending()) return;
    Ref now = take_exception();
    Ref cause = Ref::steal(PyException_GetCause(now.get()));
    if (cause && Py_TYPE(cause.get()) == reinterpret_cast<PyTypeObject*>(g_panic_type)) {
        // The message, unless it is one already: str() of the one that came
        // back.
        PyObject* args = args_of(now.get());
        if (PyTuple_GET_SIZE(args) != 1 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(args, 0))) {
            Ref text = message_of(cause.get());
            Ref one = text ? Ref::steal(PyTuple_Pack(1, text.get())) : Ref();
            if (one) set_args(now.get(), std::move(one));
            else PyErr_Clear();  // no room: the arguments stay the other's
        }
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

void drop_panic_type() { Ref::steal(std::exchange(g_panic_type, nullptr)).reset(); }

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
