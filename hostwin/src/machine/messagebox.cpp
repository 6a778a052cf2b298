// user32's windowing side, which the host has none of: a message box is a record (a line on
// stderr and one in $HOSTWIN_ROOT/messagebox.jsonl) answered OK, and no window class exists.
#include "machine/eventlog.h"
#include "machine/machine_layout.h"

#include <hostwin/text.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <string>

namespace {

constexpr UINT kMessageBoxButtons = 0x0000000F;

} // namespace

using namespace hostwin;

extern "C" {

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    HOSTWIN_FAULT_POINT(0);
    if (hWnd != NULL) // the host has no windows to own a box
        return FailWith(ERROR_INVALID_WINDOW_HANDLE, 0);
    // Only a box whose one answer is OK can be answered without a user.
    if ((uType & kMessageBoxButtons) != MB_OK)
        return NotSupported(__func__, "buttons other than OK", 0);
    // Without a caption the platform titles the box "Error".
    std::string caption = lpCaption ? ToUtf8(lpCaption) : std::string("Error");
    std::string text = ToUtf8(lpText);
    LogCall(__func__, "caption=%s type=0x%X", caption.c_str(), uType);
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    nlohmann::json record = {
        {"time", TimeStamp()}, {"caption", caption}, {"text", text}, {"type", uType}};
    if (DWORD error = AppendJsonLine(layout::MessageBoxLog(), record))
        std::fprintf(stderr, "hostwin: could not record the message box (error %u)\n", error);
    return IDOK;
}

BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance) {
    HOSTWIN_FAULT_POINT(FALSE);
    // No window class is ever registered on the host.
    return FailWith(ERROR_CLASS_DOES_NOT_EXIST, FALSE);
}

} // extern "C"
