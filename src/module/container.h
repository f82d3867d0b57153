// The Container instance record, its type and the receiver check.
#pragma once

#include "core/lock.h"
#include "core/state.h"
#include "core/trash.h"

#include <Python.h>

namespace tarnik {

// Shared fields, what guards them, and who relies on them (the lock's own
// and the state's in core/lock.h and core/state.h):
//
// | field        | written by                              | read by                            |
// |--------------|-----------------------------------------|------------------------------------|
// | lock         | core/lock.h                             | core/lock.h                        |
// | state        | the holder and its nested turns         | core/state.h                       |
// | holder_trash | the holder's turn, as it takes the lock | turns nested in its operation      |
// | nested       | turns nested in the holder's operation; | the same                           |
// |              | a turn that takes over a gone holder    |                                    |
// | next_to_free | its deallocation (no other reference)   | the thread's outermost deallocation|
//
// holder_trash and nested belong to the operation that holds the lock, and
// live here rather than on its native stack, which a stack-switching library
// may have swapped out when a nested call comes.
struct ContainerObject {
    PyObject_HEAD
    ContainerLock lock;
    ContainerState state;
    union {
        Trash* holder_trash;           // where the holder puts what it drops (valid on its stack only)
        ContainerObject* next_to_free;  // once it is being freed: the thread's list of those waiting (lib.cpp)
    };
    unsigned nested;  // turns open nested in the holder's operation
};

// The Container type, created once per process (lib.cpp).
extern PyTypeObject* container_type;

ContainerObject* receiver_slow(PyObject* self);

// The receiver as a Container, or null with TypeError set.
inline ContainerObject* receiver(PyObject* self) {
    if (Py_TYPE(self) == container_type) return reinterpret_cast<ContainerObject*>(self);
    return receiver_slow(self);
}

}  // namespace tarnik
