// The Container methods as the method table sees them.
#pragma once

#include <Python.h>

namespace tarnik {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* register_provider_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* set_override_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* begin_override_layer_method(PyObject*, PyObject*);
PyObject* end_override_layer_method(PyObject*, PyObject*);

PyObject* resolve_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* resolve_many_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* resolve_many_plan_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* get_provider_info_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* get_cached_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
PyObject* set_cached_method(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

}  // namespace tarnik
