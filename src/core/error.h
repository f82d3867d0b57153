// Errors.
//
// One rule for all native code: a function that can fail returns false, a
// null pointer or an empty Ref, with a Python exception set, and its caller
// returns at once, passing the failure on. Only an ordinary failure
// (ordinary_failure_pending) may be ignored on purpose; it is cleared where
// it happens, with a comment. Running out of memory, KeyboardInterrupt,
// SystemExit and the internal-failure exception always go on.
//
// Running out of memory is an ordinary failure, MemoryError, wherever it
// happens: native allocation failure is the one C++ exception
// (std::bad_alloc), turned into MemoryError at each method's one catch site,
// and it leaves the state as it was, since every change makes room before it
// starts. A size limit is checked before anything changes and raised as
// OverflowError.
//
// An internal failure is a failure with the internal-failure exception set:
// that exception coming back from Python code (pass_on_python_failure), or a
// native exception nobody expects. Only the one coming back from Python code
// poisons a container, when it ends an operation that holds the container's
// lock; a native exception never does, as it cannot arise half-way through a
// change (nothing there can throw: every change makes room before it starts).
// Nothing that reports a failure runs Python code while a container's lock
// is held, beyond making the exception itself; what is printed about a
// resumed internal failure waits until the thread holds no container.
#pragma once

#include "core/ref.h"

namespace tarnik {

// Sets an exception of `type` with the message PyUnicode_FromFormat makes of
// `format` and the arguments; when the message cannot be made, its
// MemoryError is the failure (the interpreter's own PyErr_Format and
// PyErr_SetString, on 3.8 at least, then set `type` without a message).
// Every message of the module is raised through it. Returns false.
bool raise_message(PyObject* type, const char* format, ...);

// The operations' own errors. Each sets the exception and returns false.
bool raise_missing_provider(PyObject* key);
bool raise_cycle(PyObject* key);
bool raise_async_provider(PyObject* key);
bool raise_plan_missing(PyObject* key);
bool raise_set_cache(PyObject* key);
bool raise_reentrant();

bool raise_other_stack();
bool raise_deadlock();
// OverflowError "too many " followed by `what` ("keys in one container").
bool raise_too_large(const char* what);

// An internal failure: writes a diagnostic naming `where` to stderr (C
// stdio, no Python code) and sets the internal-failure exception. Returns
// false.
bool internal_failure(const char* message, const char* where);

// After a call into Python code failed, with its exception set: the
// internal-failure exception coming back from Python goes on as a new
// internal failure, caused by the one that came back. Runs no Python code,
// so it may be called with a container's lock held: the new one's message is
// the one that came back's when that is a plain str; otherwise it is taken by
// announce_resumed_failure. Returns false.
bool pass_on_python_failure();

// Once the thread holds no container: a pending internal failure resumed
// from Python code gets its message (str() of the one that came back, or
// "Unwrapped panic from Python code" when that fails), and is announced on
// stderr with the traceback of the exception that came back. Runs Python
// code (str(), sys.excepthook). The pending exception stays.
void announce_resumed_failure();

// True when the pending exception is an ordinary failure, one that a caller
// may drop: an Exception other than MemoryError.
bool ordinary_failure_pending() noexcept;

// The pending exception, normalized and with its traceback attached; the
// error indicator is left clear.
Ref take_exception();
// Makes `exc`, an exception instance, the pending exception again.
void restore_exception(Ref exc);

// True when the pending exception is an internal failure.
bool internal_failure_pending() noexcept;

// The internal-failure exception type, created once at import.
PyObject* panic_type() noexcept;
bool create_panic_type();
// Forgets the type again, after a failed initialisation.
void drop_panic_type();

// Saves the error indicator and puts it back when it goes, so that the code
// in between runs with no exception pending.
class ErrorIndicatorGuard {
public:
    ErrorIndicatorGuard() noexcept;
    ~ErrorIndicatorGuard() noexcept(false);
    ErrorIndicatorGuard(const ErrorIndicatorGuard&) = delete;
    ErrorIndicatorGuard& operator=(const ErrorIndicatorGuard&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value_;
#else
    PyObject *type_, *value_, *traceback_;
#endif
};

}  // namespace tarnik

#define TARNIK_STR2(x) #x
#define TARNIK_STR(x) TARNIK_STR2(x)
#define TARNIK_HERE (__FILE__ ":" TARNIK_STR(__LINE__))
