#include "container.h"

#include "convert.h"

namespace tarnik {

PyTypeObject* container_type = nullptr;

namespace {
bool g_unwound_locked = false;  // guarded by the interpreter lock
}

bool take_unwound_locked() noexcept {
    bool v = g_unwound_locked;
    g_unwound_locked = false;
    return v;
}

ContainerObject* receiver_slow(PyObject* self) {
    if (container_type && PyObject_TypeCheck(self, container_type)) return reinterpret_cast<ContainerObject*>(self);
    conversion_error(self, "Container");
    return nullptr;
}

void Locked::refuse(bool taken) {
    if (!taken) {
        // The lock was not taken: this thread already holds it.
        PyErr_SetString(PyExc_RuntimeError,
                        "Container is already in use by this thread (re-entrant call from a provider or finalizer)");
        return;
    }
    c_->lock.release();
    Error e = internal_failure("called `Result::unwrap()` on an `Err` value: PoisonError { .. }", TARNIK_HERE);
    raise_error(std::move(e));
}

void Locked::unwind() noexcept {
    c_->lock.poison();
    g_unwound_locked = true;
    c_->lock.release();
}

}  // namespace tarnik
