#include "call.h"

namespace tarnik {

Result<Ref> call_provider(PyObject* callable, PyObject* const* args, std::size_t n) {
    // The entry that holds `callable` cannot change while the container is
    // locked, so the call borrows it.
#if PY_VERSION_HEX >= 0x03090000
    PyObject* out = PyObject_Vectorcall(callable, args, n, nullptr);
#else
    Ref tuple = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(n)));
    if (!tuple) return api_call_failure(TARNIK_HERE);
    for (std::size_t i = 0; i < n; ++i) {
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(args[i]).release());
    }
    PyObject* out = PyObject_Call(callable, tuple.get(), nullptr);
#endif
    if (!out) return take_pending_error();
    return Ref::steal(out);
}

}  // namespace tarnik
