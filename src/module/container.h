// The Container instance record and the receiver check.
#pragma once

#include "core/lock.h"
#include "core/state.h"

#include <Python.h>

namespace tarnik {

struct ContainerObject {
    PyObject_HEAD
    ContainerLock lock;
    ContainerState state;
    unsigned nested;  // nested turns open in the holder's operation
    ContainerObject* live_prev;  // the list of live containers (module/process.h)
    ContainerObject* live_next;
};

// The Container type, created once per process.
extern PyTypeObject* container_type;

ContainerObject* receiver_slow(PyObject* self);

// The receiver as a Container, or null with TypeError set.
inline ContainerObject* receiver(PyObject* self) {
    if (Py_TYPE(self) == container_type) return reinterpret_cast<ContainerObject*>(self);
    return receiver_slow(self);
}

}  // namespace tarnik
