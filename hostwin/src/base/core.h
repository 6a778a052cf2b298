// Internal plumbing shared by every hostwin area: the typed handle table, fault points,
// the call log and last-error helpers. Public functions stay thin over these.
#pragma once

#include <windows.h>
#include <hostwin/control.h>

#include <memory>
#include <string>

namespace hostwin {

// One object behind a handle. Waitable kinds override Wait.
class KernelObject {
public:
    explicit KernelObject(HandleKind kind) : m_kind(kind) {}
    virtual ~KernelObject() = default;
    HandleKind Kind() const { return m_kind; }
    // WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED with the last error set.
    virtual DWORD Wait(DWORD milliseconds);

private:
    HandleKind m_kind;
};

// Adds the object to the handle table and returns its new handle.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
// The object behind `handle` if it is of `kind`; null otherwise (last error untouched).
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle, HandleKind kind);
template <class T> std::shared_ptr<T> LookupHandleAs(HANDLE handle, HandleKind kind) {
    return std::static_pointer_cast<T>(LookupHandle(handle, kind));
}
// Any waitable object (process, thread, event); null otherwise.
std::shared_ptr<KernelObject> LookupWaitable(HANDLE handle);
// Removes the handle if it is of `kind`; returns the object (to be released by the caller
// outside the table lock) or null.
std::shared_ptr<KernelObject> RemoveHandle(HANDLE handle, HandleKind kind);

// The code injected for this call of `function`, or 0; holds the call first when a delay is
// set for it, and throws std::bad_alloc for an injected throw. Each call counts once.
DWORD InjectedFault(const char* function);
// Whether this program has a fault point named `function`.
bool IsFaultPoint(const std::string& function);

// Calls a program's callback (thread procedure, timer callback) from hostwin's own code.
// Windows cannot unwind a C++ exception through its own frames: one that escapes the callback
// ends the process through std::terminate. noexcept gives the host the same end instead of
// unwinding into hostwin and on to the program's entry.
template <class Callback> auto CallProgramCallback(Callback&& callback) noexcept {
    return callback();
}

bool CallLogEnabled();
// Appends `line` (ending in a newline) to the file in one write; a log that cannot be written
// is not the program's failure, so errors are ignored.
void AppendLine(const std::string& path, const std::string& line);
void LogCall(const char* function, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Sets the last error and returns `result`, so failure paths read as one statement.
template <class T> T FailWith(DWORD error, T result) {
    SetLastError(error);
    return result;
}
// A parameter this implementation does not support: fail loudly instead of ignoring it.
template <class T> T NotSupported(const char* function, const char* what, T result) {
    LogCall(function, "unsupported: %s", what);
    return FailWith(static_cast<DWORD>(ERROR_NOT_SUPPORTED), result);
}
// The same for functions that return their error code (LONG, HRESULT): the code is the
// answer, and the last error is left as it was.
template <class T> T NotSupportedCode(const char* function, const char* what, T code) {
    LogCall(function, "unsupported: %s", what);
    return code;
}

std::u16string ToU16(const WCHAR* text); // null reads as empty

// The Win32 code of a failed write of a machine file (logs, records) for its errno.
DWORD WriteErrorFromErrno(int error);

// Security attributes the host can honour: none, or neither a descriptor nor inheritance.
inline bool PlainSecurityAttributes(LPSECURITY_ATTRIBUTES attributes) {
    return attributes == NULL ||
           (attributes->lpSecurityDescriptor == NULL && !attributes->bInheritHandle);
}

// False when HOSTWIN_ELEVATED=0 makes this process a standard user.
bool Elevated();

// This program's image file name ("tollivar.exe"), which fault entries scoped to a program
// and the fault-point log name it by. The program frame hands it down once, before any static
// initialiser of the program can reach a fault point.
void SetProgramImageName(const std::string& name);
const std::string& ProgramImageName();

} // namespace hostwin

// Every fault point puts its name in one linker section, so that a fault set for a name this
// program has no point for is refused instead of silently doing nothing.
#define HOSTWIN_FAULT_POINT_NAME(variable, name)                                                   \
    [[maybe_unused]] static const char* const variable                                             \
        __attribute__((used, section("hostwin_fault_points"))) = name
extern "C" {
extern const char* const __start_hostwin_fault_points[] __attribute__((weak));
extern const char* const __stop_hostwin_fault_points[] __attribute__((weak));
}

// First statement of a public function that can fail: an injected fault sets the last error
// and returns `failureValue`. A delay set for the function is held here too.
#define HOSTWIN_FAULT_POINT(failureValue)                                                          \
    HOSTWIN_FAULT_POINT_NAME(hostwinFaultPointName_, __func__);                                    \
    do {                                                                                           \
        if (DWORD hostwinFault_ = ::hostwin::InjectedFault(__func__)) {                            \
            SetLastError(hostwinFault_);                                                           \
            return failureValue;                                                                   \
        }                                                                                          \
    } while (0)

// For functions that return their error code (registry LONG, COM HRESULT) instead of
// setting the last error.
#define HOSTWIN_FAULT_POINT_RETURNS_CODE(type)                                                     \
    HOSTWIN_FAULT_POINT_NAME(hostwinFaultPointName_, __func__);                                    \
    do {                                                                                           \
        if (DWORD hostwinFault_ = ::hostwin::InjectedFault(__func__))                              \
            return static_cast<type>(hostwinFault_);                                               \
    } while (0)

namespace hostwin {
// Timer periods, sleeps and wait time-outs multiplied by HOSTWIN_TIME_SCALE (default 1);
// INFINITE stays INFINITE.
DWORD ScaleMilliseconds(DWORD milliseconds);
} // namespace hostwin
