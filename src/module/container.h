// The Container instance record, the receiver check and the locked section
// every method runs its core operation in.
#pragma once

#include "core/lock.h"
#include "core/records.h"
#include "errors.h"

#include <Python.h>

#include <new>

namespace tarnik {

struct ContainerObject {
    PyObject_HEAD
    ContainerLock lock;
    ContainerInner inner;
};

// The Container type, created once per process.
extern PyTypeObject* container_type;

ContainerObject* receiver_slow(PyObject* self);

// The receiver as a Container, or null with TypeError set.
inline ContainerObject* receiver(PyObject* self) {
    if (Py_TYPE(self) == container_type) return reinterpret_cast<ContainerObject*>(self);
    return receiver_slow(self);
}

// Holds a container's lock for one operation. Construction takes the lock
// and, when that is refused (a re-entrant call, a poisoned container),
// leaves ok() false with the exception set. Every normal path ends with
// unlock(); a lock still held at destruction means a C++ exception is
// unwinding through the operation, an internal failure that poisons it.
class Locked {
public:
    explicit Locked(ContainerObject* c) : c_(c) {
        bool taken = c->lock.acquire() == ContainerLock::Acquired::Ok;
        if (taken && !c->lock.poisoned()) {
            held_ = true;
            return;
        }
        refuse(taken);
    }
    ~Locked() {
        if (held_) unwind();
    }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    bool ok() const noexcept { return held_; }
    ContainerInner& state() noexcept { return c_->inner; }

    // Marks the lock poisoned when `r` is an internal failure.
    template <class T>
    void check(Result<T>& r) noexcept {
        if (!r.ok() && r.error().kind == ErrorKind::Panic) c_->lock.poison();
    }

    void unlock() noexcept {
        held_ = false;
        c_->lock.release();
    }

private:
    void refuse(bool taken);  // sets the exception for a lock that cannot be used
    void unwind() noexcept;

    ContainerObject* c_;
    bool held_ = false;
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
        take_unwound_locked();  // the lock, if held, is poisoned either way
        Error e = internal_failure("unexpected native exception", TARNIK_HERE);
        raise_error(std::move(e));
    }
    return nullptr;
}

}  // namespace tarnik
