// Lists handed to Python code.
#pragma once

#include "core/ref.h"

#include <cstddef>

namespace tarnik {

// A new list of `n` items, `pick(i)` giving a new reference to the i-th (it
// cannot fail); null with the exception set. No Python code sees the list
// before it is complete.
//
// The free-threaded 3.13 interpreter's PyList_New(n > 0) mishandles a failed
// allocation of the item array: it releases the new list with its item
// pointer and size left over from an earlier list of its free list (or
// uninitialized), freeing that list's array a second time and corrupting
// the allocator. A list that grows by appending fails cleanly there, so
// free-threaded builds make it that way.
template <class Pick>
PyObject* new_list(std::size_t n, Pick&& pick) {
#ifdef Py_GIL_DISABLED
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    PyObject_GC_UnTrack(list.get());  // out of the collector's sight until complete
    for (std::size_t i = 0; i < n; ++i) {
        Ref item = Ref::steal(pick(i));
        if (PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    PyObject_GC_Track(list.get());
    return list.release();
#else
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(n));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), pick(i));
    return list;
#endif
}

}  // namespace tarnik
