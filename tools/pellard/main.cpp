// pellard, the sample agent: runs until it is ended, appending a heartbeat line (time and
// process id) to pellard.log beside its own executable about once a second. Plain Win32 and
// the C library, so that it builds for Windows as it does for the host.
#include <windows.h>

#include <stdio.h>
#include <time.h>

#ifndef _WIN32
#include <hostwin/control.h>
#endif

namespace {

const DWORD kHeartbeatMilliseconds = 1000;

// Opened for each line and closed again, so that every line is on disk when the agent is
// ended without warning, which is how it always ends.
FILE* OpenLog(const WCHAR* path) {
#ifdef _WIN32
    return _wfopen(path, TEXT("a"));
#else
    // The host keeps a machine's files under its root: the Windows path maps onto it.
    return fopen(hostwin::HostPath(path).c_str(), "a");
#endif
}

// False when the line could not be written.
bool AppendLine(const WCHAR* logPath, const char* event, const char* detail) {
    FILE* log = OpenLog(logPath);
    if (!log)
        return false;
    char stamp[32] = "";
    time_t now = time(NULL);
    if (const struct tm* utc = gmtime(&now))
        strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", utc);
    bool written = fprintf(log, "%s pid %lu %s%s\n", stamp,
                           static_cast<unsigned long>(GetCurrentProcessId()), event, detail) > 0;
    return fclose(log) == 0 && written;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    WCHAR logPath[MAX_PATH];
    DWORD length = GetModuleFileNameW(NULL, logPath, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return static_cast<int>(GetLastError());
    const WCHAR logName[] = TEXT("pellard.log");
    DWORD folderLength = length;
    while (folderLength > 0 && logPath[folderLength - 1] != TEXT('\\'))
        --folderLength;
    if (folderLength + sizeof logName / sizeof logName[0] > MAX_PATH)
        return ERROR_BAD_PATHNAME;
    for (size_t i = 0; i < sizeof logName / sizeof logName[0]; ++i)
        logPath[folderLength + i] = logName[i];

    // The first line tells how the agent was started: it is meant to get no arguments.
    char commandLine[4 * MAX_PATH] = "";
    WideCharToMultiByte(CP_UTF8, 0, GetCommandLineW(), -1, commandLine, sizeof commandLine, NULL,
                        NULL);
    commandLine[sizeof commandLine - 1] = 0;
    // An agent that cannot keep its log says so and ends: a silent agent would look alive.
    if (!AppendLine(logPath, "started: ", commandLine)) {
        fprintf(stderr, "pellard: cannot write its log beside itself\n");
        return ERROR_CANTWRITE;
    }
    for (;;) {
        if (!AppendLine(logPath, "heartbeat", "")) {
            fprintf(stderr, "pellard: cannot write its log beside itself\n");
            return ERROR_CANTWRITE;
        }
        Sleep(kHeartbeatMilliseconds);
    }
}
