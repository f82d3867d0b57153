#include "call.h"

namespace tarnik {

namespace {
// Set when the argument tuple could not be made (an internal failure), as
// opposed to the callable raising. Guarded by the interpreter lock.
bool g_tuple_failed = false;
}  // namespace

Ref call_provider(PyObject* callable, PyObject* const* args, std::size_t n) {
    // The entry that holds `callable` cannot change while the container is
    // locked, so the call borrows it.
#if PY_VERSION_HEX >= 0x03090000
    return Ref::steal(PyObject_Vectorcall(callable, args, n, nullptr));
#else
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!tuple) {
        g_tuple_failed = true;
        return Ref();
    }
    for (std::size_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(args[i]).release());
    return Ref::steal(PyObject_Call(callable, tuple.get(), nullptr));
#endif
}

Error error_of_failed_call() {
    if (g_tuple_failed) {
        g_tuple_failed = false;
        return api_call_failure(TARNIK_HERE);
    }
    return take_pending_error();
}

}  // namespace tarnik
