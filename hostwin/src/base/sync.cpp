// Critical sections and interlocked operations.
#include "base/core.h"

#include <atomic>
#include <mutex>

namespace {

// The section's storage holds a pointer to the host mutex that backs it.
std::recursive_mutex*& Backing(LPCRITICAL_SECTION section) {
    static_assert(sizeof(section->DebugInfo) == sizeof(std::recursive_mutex*), "fits in DebugInfo");
    return reinterpret_cast<std::recursive_mutex*&>(section->DebugInfo);
}

} // namespace

extern "C" {

BOOL WINAPI InitializeCriticalSectionEx(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount,
                                        DWORD Flags) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (lpCriticalSection == NULL)
        return hostwin::FailWith(ERROR_INVALID_PARAMETER, FALSE);
    if (Flags != 0)
        return hostwin::NotSupported(__func__, "flags", FALSE);
    hostwin::LogCall(__func__, "spin=%u", dwSpinCount);
    *lpCriticalSection = CRITICAL_SECTION{};
    lpCriticalSection->SpinCount = dwSpinCount;
    Backing(lpCriticalSection) = new std::recursive_mutex;
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    Backing(lpCriticalSection)->lock();
    ++lpCriticalSection->RecursionCount;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    --lpCriticalSection->RecursionCount;
    Backing(lpCriticalSection)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    delete Backing(lpCriticalSection);
    Backing(lpCriticalSection) = nullptr;
}

LONG WINAPI InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comparand) {
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

} // extern "C"
