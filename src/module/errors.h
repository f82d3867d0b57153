// Turning error records into Python exceptions, and internal failures.
#pragma once

#include "core/error.h"

namespace tarnik {

// Raises the exception an error record stands for.
void raise_error(Error&& error);

// Raises the internal-failure exception with `message`, creating its type
// the first time it is needed.
void raise_panic(const std::string& message);

}  // namespace tarnik
