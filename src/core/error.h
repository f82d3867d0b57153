// Error records: what a core operation returns instead of raising.
#pragma once

#include "key.h"
#include "ref.h"

#include <optional>
#include <string>
#include <utility>

namespace tarnik {

// A Python exception taken out of the interpreter's error indicator, kept
// unchanged (same object, traceback and cause) until it is raised again.
class FetchedException {
public:
    static FetchedException fetch() noexcept;  // clears the indicator
    void restore() noexcept;                   // sets it again; leaves this empty
    PyObject* type() const noexcept;           // borrowed
    PyObject* value() noexcept;                // borrowed, normalized

private:
#if PY_VERSION_HEX >= 0x030C0000
    Ref value_;
#else
    Ref type_, value_, traceback_;
#endif
};

enum class ErrorKind : unsigned char {
    KeyError,
    RuntimeError,
    SystemError,
    Python,  // an exception raised by Python code, carried in `exception`
    Panic,   // an internal failure
};

struct Error {
    ErrorKind kind;
    std::string message;
    FetchedException exception;
};

// A value or an error record.
template <class T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(std::move(error)) {}
    bool ok() const noexcept { return !error_.has_value(); }
    T& value() noexcept { return value_; }
    Error& error() noexcept { return *error_; }

private:
    T value_{};
    std::optional<Error> error_;
};

struct Unit {};
using Status = Result<Unit>;

// The operations' own errors.
Error missing_provider_error(KeyView key);
Error cycle_error(KeyView key);
Error async_provider_error(KeyView key);
Error plan_missing_error(KeyView key);
Error set_cache_error(KeyView key);

// The error for a failed interpreter call whose exception is pending. The
// internal-failure exception coming back from Python becomes an internal
// failure; a missing exception becomes SystemError.
Error take_pending_error();

// Internal failures. Both write a diagnostic naming `where` to stderr.
Error internal_failure(std::string message, const char* where);
// An interpreter call that must succeed failed: the pending exception, if
// any, is printed and cleared first.
Error api_call_failure(const char* where);

// The internal-failure exception type, once the boundary has created it.
PyObject* panic_type() noexcept;
void set_panic_type(PyObject* type) noexcept;

}  // namespace tarnik

#define TARNIK_STR2(x) #x
#define TARNIK_STR(x) TARNIK_STR2(x)
#define TARNIK_HERE (__FILE__ ":" TARNIK_STR(__LINE__))
