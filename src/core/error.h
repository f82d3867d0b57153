// Errors.
//
// One rule for all native code: a function that can fail returns false, a
// null pointer or an empty Ref, with a Python exception set, and its caller
// returns at once, passing the failure on. An internal failure is the same
// with the internal-failure exception set (internal_failure); an operation
// that ends with one while it holds a container's lock poisons the lock.
// Native allocation failure is the one C++ exception (std::bad_alloc); each
// entry point turns it into a Python exception at its one catch site. A
// failure ignored on purpose is cleared where it happens, with a comment.
#pragma once

#include "ref.h"

namespace tarnik {

// The operations' own errors. Each sets the exception and returns false.
bool raise_missing_provider(PyObject* key);
bool raise_cycle(PyObject* key);
bool raise_async_provider(PyObject* key);
bool raise_plan_missing(PyObject* key);
bool raise_set_cache(PyObject* key);
bool raise_reentrant();

// Internal failures. Both write a diagnostic naming `where` to stderr and
// set the internal-failure exception; both return false.
bool internal_failure(const char* message, const char* where);
// An interpreter call that must succeed failed: the pending exception, if
// any, is printed and cleared first.
bool api_call_failure(const char* where);

// After a call into Python code failed: the internal-failure exception
// coming back from Python goes on as a new internal failure with the same
// message, and a missing exception becomes SystemError. Returns false.
bool pass_on_python_failure();

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
