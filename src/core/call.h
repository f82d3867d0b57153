// Calling a provider's callable with positional arguments and no keywords.
#pragma once

#include "error.h"
#include "ref.h"

namespace tarnik {

// Calls `callable` with `args[0..n)`; on failure the pending exception is
// taken as the error record.
Result<Ref> call_provider(PyObject* callable, PyObject* const* args, std::size_t n);

}  // namespace tarnik
