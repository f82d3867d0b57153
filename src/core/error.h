// Errors.
//
// One rule for all native code: a function that can fail returns false, a
// null pointer or an empty Ref, with a Python exception set, and its caller
// returns at once, passing the failure on. A failure ignored on purpose is
// cleared where it happens, with a comment.
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
// native exception nobody expects. Only an internal failure that ends an
// operation while it holds a container's lock poisons the lock: the state may
// then be inconsistent. Nothing that reports a failure runs Python code while
// a container's lock is held, beyond making the exception itself; what is
// printed about a resumed internal failure waits for the lock's release.
#pragma once

#include "core/ref.h"

namespace tarnik {

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

// After a call into Python code failed: the internal-failure exception
// coming back from Python goes on as a new internal failure with the same
// message, caused by the one that came back; a missing exception becomes
// SystemError. Returns false.
bool pass_on_python_failure();

// Once the lock is released: a pending internal failure resumed from Python
// code is announced on stderr, with the traceback of the exception that came
// back. The pending exception stays.
void announce_resumed_failure();

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
