// Windows, from Windows 7 on.
#include "platform/platform.h"

#if defined(TARNIK_WINDOWS)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdlib>

namespace tarnik::platform {

static_assert(sizeof(SRWLOCK) == sizeof(void*) && sizeof(CONDITION_VARIABLE) == sizeof(void*),
              "Mutex and CondVar hold an SRWLOCK and a CONDITION_VARIABLE in one pointer");

StackBounds stack_bounds() noexcept {
    // The stack is one reserved region: the region that holds a local
    // variable starts (AllocationBase) at the stack's lowest address, and
    // the stack's top is where the reservation ends.
    StackBounds b;
    char here = 0;
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery(&here, &info, sizeof info) != sizeof info || !info.AllocationBase) return b;
    const auto base = reinterpret_cast<std::uintptr_t>(info.AllocationBase);
    std::uintptr_t end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    while (VirtualQuery(reinterpret_cast<void*>(end), &info, sizeof info) == sizeof info &&
           reinterpret_cast<std::uintptr_t>(info.AllocationBase) == base && info.RegionSize != 0)
        end = reinterpret_cast<std::uintptr_t>(info.BaseAddress) + info.RegionSize;
    // The lowest pages never hold frames: the guard page that grows the
    // stack must stay above the last page of the reservation, and the
    // guarantee kept for the stack-overflow handler is below it.
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    ULONG guarantee = 0;
    if (!SetThreadStackGuarantee(&guarantee)) guarantee = 0;
    const std::uintptr_t unusable = 3 * static_cast<std::uintptr_t>(system.dwPageSize) + guarantee;
    if (end - base <= unusable) return b;
    b.low = base + unusable;
    b.high = end;
    return b;
}

// There is no fork() on Windows.
void at_fork(void (*)(), void (*)(), void (*)()) noexcept {}

void yield() noexcept { SwitchToThread(); }

void sync_failed() noexcept { std::abort(); }

void Mutex::lock() noexcept { AcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m_)); }
bool Mutex::try_lock() noexcept { return TryAcquireSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m_)) != 0; }
void Mutex::unlock() noexcept { ReleaseSRWLockExclusive(reinterpret_cast<PSRWLOCK>(&m_)); }

void CondVar::wait(Mutex& m) noexcept {
    if (!SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&c_), reinterpret_cast<PSRWLOCK>(&m.m_),
                                   INFINITE, 0))
        sync_failed();
}

bool CondVar::wait_for(Mutex& m, unsigned long ms) noexcept {
    // INFINITE is the largest value; a longer wait is cut short, which a
    // caller that loops on its condition cannot tell from a spurious wake.
    const DWORD wait = ms >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(ms);
    if (SleepConditionVariableSRW(reinterpret_cast<PCONDITION_VARIABLE>(&c_), reinterpret_cast<PSRWLOCK>(&m.m_), wait,
                                  0))
        return false;
    if (GetLastError() == ERROR_TIMEOUT) return true;
    sync_failed();
}

void CondVar::notify_one() noexcept { WakeConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&c_)); }
void CondVar::notify_all() noexcept { WakeAllConditionVariable(reinterpret_cast<PCONDITION_VARIABLE>(&c_)); }

}  // namespace tarnik::platform

#endif
