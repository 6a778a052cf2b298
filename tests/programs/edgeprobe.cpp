// tollivar's process-wide objects and entry, with work that faults where a test asks, so that
// tests see how the process ends. The command line picks the work:
//   timer    a timer callback throws under the message loop
//   thread   a thread procedure throws while the entry waits for it
//   service  the service "edgeprobe" runs, and its control handler throws at the first control
//   (other)  the product's own course
// EDGE_PROBE_CONSTRUCTOR=raise makes a process-wide constructor raise a structured exception.
#include "entry.h"
#include "tollivarmodule.h"

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

struct ConstructorFault {
    ConstructorFault() {
        const char* fault = std::getenv("EDGE_PROBE_CONSTRUCTOR");
        if (fault && std::strcmp(fault, "raise") == 0)
            RaiseStructuredException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE);
    }
} g_constructorFault;

void CALLBACK ThrowingTimerCallback(HWND, UINT, UINT_PTR, DWORD) {
    throw std::runtime_error("timer callback");
}

DWORD WINAPI ThrowingThreadProc(LPVOID) {
    throw std::runtime_error("thread procedure");
}

void WINAPI ThrowingControlHandler(DWORD) {
    throw std::runtime_error("control handler");
}

void WINAPI RunningServiceMain(DWORD, LPWSTR*) {
    SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerW(TEXT("edgeprobe"), ThrowingControlHandler);
    SERVICE_STATUS status = {
        SERVICE_WIN32_OWN_PROCESS, SERVICE_RUNNING, SERVICE_ACCEPT_STOP, 0, 0, 0, 0};
    SetServiceStatus(handle, &status);
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR lpCmdLine, int nShowCmd) {
    std::u16string work(lpCmdLine);
    return RunEntry([&]() -> int {
        if (work == u"timer") {
            SetTimer(NULL, 0, 10, ThrowingTimerCallback);
            g_module.PumpMessages();
            return 0;
        }
        if (work == u"thread") {
            HANDLE thread = CreateThread(NULL, 0, ThrowingThreadProc, NULL, 0, NULL);
            WaitForSingleObject(thread, INFINITE);
            CloseHandle(thread);
            return 0;
        }
        if (work == u"service") {
            WCHAR name[] = TEXT("edgeprobe");
            SERVICE_TABLE_ENTRYW table[] = {{name, RunningServiceMain}, {NULL, NULL}};
            return StartServiceCtrlDispatcherW(table) ? 0 : static_cast<int>(GetLastError());
        }
        return g_module.ModuleMain(nShowCmd);
    });
}
