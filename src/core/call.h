// Calling a provider's callable with positional arguments and no keywords.
#pragma once

#include "core/error.h"
#include "core/ref.h"

namespace tarnik {

// Calls `callable` with `args[0..n)`: the result, or an empty Ref with the
// callable's exception set (an internal failure coming back from Python
// becomes a new one, see pass_on_python_failure).
inline Ref call_provider(PyObject* callable, PyObject* const* args, std::size_t n) {
    // The entry that holds `callable` cannot change while the container is
    // locked, so the call borrows it.
#if PY_VERSION_HEX >= 0x03090000
    Ref made = Ref::steal(PyObject_Vectorcall(callable, args, n, nullptr));
#else
    Ref made = Ref::steal(_PyObject_Vectorcall(callable, args, n, nullptr));
#endif
    if (!made) pass_on_python_failure();
    return made;
}

}  // namespace tarnik
