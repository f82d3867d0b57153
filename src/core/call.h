// Calling a provider's callable with positional arguments and no keywords.
#pragma once

#include "error.h"
#include "ref.h"

namespace tarnik {

// Calls `callable` with `args[0..n)`. Returns the result, or null when the
// call failed; `error_of_failed_call` then gives the error record.
Ref call_provider(PyObject* callable, PyObject* const* args, std::size_t n);
Error error_of_failed_call();

}  // namespace tarnik
