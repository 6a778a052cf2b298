// user32's window stations, as far as a program asks about its own: whether a person can see
// (and so answer) a box, and the process's choice about exceptions in timer callbacks. The
// station is visible unless HOSTWIN_WINDOW_STATION=invisible, which stands for a service
// without access to the desktop.
#include "base/core.h"

#include <cstdlib>
#include <cstring>

namespace {

// GetProcessWindowStation's handle is the process's own and is never closed, so it is a
// constant rather than an entry in the handle table.
const HWINSTA kProcessWindowStation = reinterpret_cast<HWINSTA>(static_cast<LONG_PTR>(0x5c5c00a0));
const HANDLE kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

bool StationVisible() {
    const char* station = std::getenv("HOSTWIN_WINDOW_STATION");
    return !(station && std::strcmp(station, "invisible") == 0);
}

} // namespace

using namespace hostwin;

extern "C" {

HWINSTA WINAPI GetProcessWindowStation(void) {
    HOSTWIN_FAULT_POINT(NULL);
    return kProcessWindowStation;
}

BOOL WINAPI GetUserObjectInformationW(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength,
                                      LPDWORD lpnLengthNeeded) {
    HOSTWIN_FAULT_POINT(FALSE);
    if (hObj != reinterpret_cast<HANDLE>(kProcessWindowStation))
        return FailWith(ERROR_INVALID_HANDLE, FALSE);
    if (nIndex != UOI_FLAGS)
        return NotSupported(__func__, "information other than the flags", FALSE);
    if (lpnLengthNeeded)
        *lpnLengthNeeded = sizeof(USEROBJECTFLAGS);
    if (pvInfo == NULL || nLength < sizeof(USEROBJECTFLAGS))
        return FailWith(ERROR_INSUFFICIENT_BUFFER, FALSE);
    USEROBJECTFLAGS flags{};
    flags.dwFlags = StationVisible() ? WSF_VISIBLE : 0;
    std::memcpy(pvInfo, &flags, sizeof(flags));
    return TRUE;
}

BOOL WINAPI SetUserObjectInformationW(HANDLE hObj, int nIndex, PVOID pvInfo, DWORD nLength) {
    HOSTWIN_FAULT_POINT(FALSE);
    // The one setting a process makes about itself: whether an exception in a timer callback
    // is swallowed. The host never swallows one (an escaping exception ends the process), so
    // the choice is only recorded.
    if (hObj != kCurrentProcess || nIndex != UOI_TIMERPROC_EXCEPTION_SUPPRESSION)
        return NotSupported(__func__, "settings other than timer exception suppression", FALSE);
    if (pvInfo == NULL || nLength != sizeof(BOOL))
        return FailWith(ERROR_INVALID_PARAMETER, FALSE);
    BOOL suppress = FALSE;
    std::memcpy(&suppress, pvInfo, sizeof(suppress));
    LogCall(__func__, "timer exception suppression=%d", suppress);
    return TRUE;
}

} // extern "C"
