// The Container instance record, the receiver check and the locked section
// every method runs its core operation in.
#pragma once

#include "core/lock.h"
#include "core/records.h"
#include "errors.h"

#include <Python.h>

#include <exception>

namespace tarnik {

struct ContainerObject {
    PyObject_HEAD
    ContainerLock lock;
    ContainerInner inner;
};

// The Container type, created once per process.
extern PyTypeObject* container_type;

// The receiver as a Container, or null with TypeError set.
ContainerObject* receiver(PyObject* self);

// Holds a container's lock for one operation. Construction takes the lock
// and, when that is refused (a re-entrant call, a poisoned container),
// leaves ok() false with the exception set. An internal failure (an error
// record of kind Panic, or a C++ exception unwinding through) poisons the
// lock before it is released.
class Locked {
public:
    explicit Locked(ContainerObject* c);
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    bool ok() const noexcept { return held_; }
    ContainerInner& state() noexcept { return c_->inner; }

    // Marks the lock poisoned when `failed` is an internal failure.
    template <class T>
    void check(Result<T>& r) noexcept {
        if (!r.ok() && r.error().kind == ErrorKind::Panic) c_->lock.poison();
    }

private:
    ContainerObject* c_;
    bool held_ = false;
    int unwinding_ = std::uncaught_exceptions();
};

// True once after a C++ exception unwound through a held lock.
bool take_unwound_locked() noexcept;

// Runs a method body, turning an allocation failure into MemoryError, or
// into the internal-failure exception when it struck with the lock held.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        if (take_unwound_locked()) {
            Error e = internal_failure("memory allocation failed", TARNIK_HERE);
            raise_error(std::move(e));
        } else {
            PyErr_NoMemory();
        }
    } catch (...) {
        bool locked = take_unwound_locked();
        (void)locked;
        Error e = internal_failure("unexpected native exception", TARNIK_HERE);
        raise_error(std::move(e));
    }
    return nullptr;
}

}  // namespace tarnik
