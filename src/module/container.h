// The Container instance record and the receiver check.
#pragma once

#include "core/lock.h"
#include "core/state.h"
#include "core/trash.h"
#include "module/stack_mark.h"

#include <Python.h>

#include <atomic>

namespace tarnik {

struct Sleepers;

struct ContainerObject {
    PyObject_HEAD
    ContainerLock lock;
    ContainerState state;
    // Of the operation that holds the lock, while one does; set and read by
    // the holder's thread. They live here, not with the operation on its
    // native stack, which a stack-switching library may have swapped out.
    StackMark holder_mark;  // where the operation began on its Python stack
    Trash* holder_trash;    // where it puts what it drops (valid on its stack only)
    unsigned nested;        // nested turns open in the holder's operation
    std::atomic<Sleepers*> sleepers;  // calls from other stacks of a holder's thread, made on the first (entry.cpp)
    ContainerObject* live_prev;  // the list of live containers (module/process.h)
    ContainerObject* live_next;
};

// Frees what calls from other stacks left (entry.cpp).
void release_sleepers(ContainerObject* c);

// The Container type, created once per process.
extern PyTypeObject* container_type;

ContainerObject* receiver_slow(PyObject* self);

// The receiver as a Container, or null with TypeError set.
inline ContainerObject* receiver(PyObject* self) {
    if (Py_TYPE(self) == container_type) return reinterpret_cast<ContainerObject*>(self);
    return receiver_slow(self);
}

}  // namespace tarnik
