// Any other system: what standard C++ alone can do.
#if !defined(__linux__) && !defined(__APPLE__) && !defined(_WIN32)

#include "platform/platform.h"

namespace tarnik::platform {

#if !defined(TARNIK_PTHREAD_SELF)
namespace {
// Its address differs in every live thread, and is even, as a lock needs.
alignas(8) thread_local char identity;
}
std::uintptr_t thread_id_slow() noexcept { return reinterpret_cast<std::uintptr_t>(&identity); }
#else
std::uintptr_t thread_id_slow() noexcept { return as_number(pthread_self()); }
#endif

// Unknown bounds: the interpreter's own recursion limit is the only bound.
std::uintptr_t stack_low() noexcept { return 0; }

void at_fork(void (*)(), void (*)(), void (*)()) noexcept {}

}  // namespace tarnik::platform

#endif
